// Who may bind to the SMPP server: the login checks against the account store, the rate
// and connection limit of an account ("N/S/C"), the per-user live state shared by the
// sessions of one account, and the failed-login counter shared by every session.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "outside/qarvault/qarvault.h"

// "N", "N/S" or "N/S/C": N messages per S seconds (S default 1); C, when given, replaces the
// server's maximum of connections per account. Empty text: no limit. nullopt when malformed.
struct ThrottleSpeed {
  uint32_t messages = 0;      // 0: no pacing
  uint32_t seconds = 1;
  uint32_t connections = 0;   // 0: the server's maximum
  uint32_t IntervalMs() const { return messages == 0 ? 0 : seconds * 1000 / messages; }
};
std::optional<ThrottleSpeed> ParseThrottleSpeed(std::string_view text);

enum class LoginRefusal { None, UnknownAccount, WrongPassword, SmppDisabled, AddressNotAllowed, TooManyConnections };

// The account as stored now (never a cached copy); false when it does not exist.
bool ReadAccountNow(std::string_view user, SMSUserRecord& out);
// The checks of a bind that need no live state: account, SMPP access, password without
// case, the account's allowed-address list.
LoginRefusal CheckCredentials(const SMSUserRecord* account, std::string_view password, std::string_view address);
// The bind_resp status of a refusal: 0x0E for an unknown account or a wrong password alike,
// else 0x0D.
uint32_t RefusalStatus(LoginRefusal refusal);

// Takes a connection slot of the account; false (nothing taken) when its sessions already
// reach the maximum. The pacing interval of the account is set from speed.
bool TakeConnectionSlot(std::string_view user, const ThrottleSpeed& speed, uint32_t serverMaximum, uint32_t& maximum);
void ReleaseConnectionSlot(std::string_view user);
uint32_t ActiveConnections(std::string_view user);
// Waits out the account's pacing interval before a submission returns (shutdown ends it);
// beforeWait, when given, runs first when there is a wait.
void PaceSubmission(std::string_view user, const std::function<void()>* beforeWait = nullptr);
void CountDelivered(std::string_view user);

// The failed-login counter of the whole server: raised by a refusal (at most 100), reset by
// a success. RaiseFailedLogins returns the delay in milliseconds the refusal waits.
uint32_t RaiseFailedLogins();
void ResetFailedLogins();
// Sleeps ms unless the service stops meanwhile.
void FailedLoginDelay(uint32_t ms);
