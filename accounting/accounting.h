// Accounting of user accounts: message quotas, credit balances, the accounting callback URL
// (pre-authorisation and notices), the quota report, and the write-back of cached usage.
// Used by the submission interface, the SMPP server, inbound processing and the senders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "httpclient/http_client.h"
#include "store/message_file.h"

// ---- Amounts: signed thousandths of a credit. ----
inline constexpr int64_t kDefaultMessageCharge = 1000;
// What a balance that cannot be read (or is not kept) reports.
inline constexpr int64_t kUnknownBalance = 1000000;
// "-"? digits ("." up to three digits)?; anything else ends the number.
int64_t ParseAmount(std::string_view text);
// 1500 -> "1.5", 1050 -> "1.05", 2000 -> "2".
std::string FormatAmount(int64_t thousandths);

// ---- Quotas and credits. ----
// Allowed when today's and this month's counts plus count stay within the limits. On
// refusal messageOut (when given) receives the reason and the quota report is made. Unless
// checkOnly, an allowed count is added to today's counter.
bool QuotaCheckOrCount(std::string_view account, std::string* messageOut, uint32_t count, bool checkOnly);

// Adds delta (may be negative; the counter stops at 0) to today's counter without a check:
// a submission that reserved its count returns what it did not write.
void QuotaAdjust(std::string_view account, int64_t delta);

enum class CreditMode { Check = 1, Debit = 2, DebitIfCovered = 3 };
// The balance after amount (kUnknownBalance for accounts without a balance). Check stores
// nothing; Debit stores max(result, 0); DebitIfCovered stores only a result that is not
// negative. A negative amount credits the account (returning a reservation). The read and
// the store are one step under the account's credit lock.
int64_t CreditCheckOrDebit(std::string_view account, std::string* messageOut, int64_t amount, CreditMode mode);
// Whether the account keeps a balance (its SMS.CTR exists).
bool CreditEnabled(std::string_view account);
// Starts a balance of 0 (an existing one is kept) or removes it; false when the file
// cannot be made or removed.
bool SetCreditEnabled(std::string_view account, bool enabled);
// The balance as the start page shows it ("12.5"); false for an account without one.
bool CreditBalanceText(const std::string& account, std::string& text);
// At most one alert and event per account and day (marker QUOTA.ERR in the user's folder).
void QuotaReport(std::string_view account, std::string_view text);
// Writes back changed cached counters and balances (the counter-flushing thread).
void FlushUserUsage();
// Tests: flushes and forgets every cached file.
void ResetUserUsageCache();

// ---- The accounting callback (SMSAccountingURL). ----
// The callback's view of a message: the event and the message's record (From: SubmitUser,
// SubmitIP: SubmittedBy, SMSCRoute, Sender, the content and its options; ReceiptRequested
// for a receipt or non-delivery receipt request). "SMSOut" notices carry no SMSCRoute.
struct AccountingMessage {
  std::string type;  // "SMSSend", "SMSIN", "SMSOut", "SMSReceive"
  const SmsMessageRecord& message;
};

struct PreAuthOutputs {
  std::vector<std::string> routes;   // one per recipient (empty entries when absent)
  std::vector<std::string> charges;
  std::vector<std::string> userData;
};

inline constexpr int kAccountingRefusedCode = 88;  // 0x58

// 0 when allowed, else the SMPP error code; messageOut receives the refusal text. With
// SMSAccountingPreAuthPerRecip, outputs (when given) gets one entry per recipient.
int AccountingPreAuthorise(const AccountingMessage& m, const std::vector<std::string>& recipients,
                           uint32_t messageCount, PreAuthOutputs* outputs, std::string* messageOut);

struct AccountingNoticeFields {
  std::string recipient;
  std::string messageId;
  std::string smscMessageId;
  std::string smscReceiptMessageId;
  std::string smscReceiptMessageIdOrig;
  std::string smscName;
  std::string status;
  std::string routeCharge;
  std::string userData;
};
// Sends the notice. For "SMSSend", routeOut (when given) receives a valid route the
// callback returned, unless UseRouteQueues is on and a route was already set.
void AccountingNotice(const AccountingMessage& m, const AccountingNoticeFields& fields, std::string* routeOut);
// "SMSOut" notice of a send attempt; statusText is "status -- SMSC name".
void OutboundAccountingNotice(const SmsMessageRecord& m, std::string_view recipient, std::string_view messageId,
                              std::string_view smscMessageId, std::string_view smscReceiptMessageId,
                              std::string_view statusText);

// ---- Pieces, exposed for tests and for other callers of the callback protocol. ----
// The "@@Replace@@" escape of callback parameters.
std::string AccountingEscape(std::string_view value);
struct PreAuthAnswer {
  int code = 0;
  std::string rejectMessage;
  std::string routeCharge;
  std::string userData;
  std::string route;
};
PreAuthAnswer ParsePreAuthAnswer(std::string_view response);
// The content as the callback sees it: binary GSM 7-bit or UCS-2 data becomes text.
std::string AccountingContent(const AccountingMessage& m, bool& asText);
std::string PreAuthUrl(const AccountingMessage& m, std::string_view to, uint32_t messageCount);
std::string NoticeUrl(const AccountingMessage& m, const AccountingNoticeFields& fields);

// ---- Routes a submission or a callback may name. ----
// True when route equals (without case) a configured connection (EnumerateConnections) or
// that connection's RouteName. The gateway installs the routing module's rule at start-up.
bool IsConfiguredRoute(std::string_view route);
using RouteValidator = bool (*)(std::string_view route);
void SetRouteValidator(RouteValidator validator);

// ---- Alerts. ----
// Writes one "RFC" mail file per AlertEMailRecip address into MMSCOUT (kind 0 information,
// 1 error, 2 warning), unless that kind is switched off. Returns the files written.
std::vector<std::string> SendAlertEMail(int kind, std::string_view text);
// Start-up: events are mailed (SetAlertMailHook) and cached usage is flushed by the counter
// thread (SetUserUsageFlusher). The web layer installs CreditBalanceText for the start page.
void InstallAccountingHooks();

// The keep-alive pool of the accounting callbacks: first in, first out.
void PutAccountingKeepAlive(int socket, void* ssl);
// False when the pool holds no connection that is still open.
bool TakeAccountingKeepAlive(KeepAliveSlot& out);
// Shutdown: closes every pooled connection.
void CloseAccountingKeepAlives();
// A pooled connection held for one request: taken at construction (the slot stays empty when
// the pool has no open one), given back at scope end when the request left it open.
class PooledKeepAlive {
 public:
  PooledKeepAlive() { TakeAccountingKeepAlive(slot_); }
  ~PooledKeepAlive() {
    if (slot_.socket >= 0) PutAccountingKeepAlive(slot_.socket, slot_.ssl);
  }
  PooledKeepAlive(const PooledKeepAlive&) = delete;
  PooledKeepAlive& operator=(const PooledKeepAlive&) = delete;
  KeepAliveSlot& slot() { return slot_; }

 private:
  KeepAliveSlot slot_;
};
