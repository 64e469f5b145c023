// Fetching over a modem's data call through qardial (loaded by name from the program
// directory): the modem taken from the SMS worker, the call, the request through the WAP
// gateway, the acknowledgement, and the modem given back.
#pragma once

#include <cstdint>
#include <string>

enum class MmsFetch { Ok, Temporary, Permanent };

// What one connection's notifications need for the data call.
struct MmsDataCallSettings {
  std::string modem, profile, apn, apnLogin, apnPassword, gateway, userAgent, wapProfile;
};

// The worker's data call across queue files: the modem it holds and the profile dialled.
struct MmsDataCall {
  void* modemHandle = nullptr;
  std::string modem, profile;
  bool dialled = false;
};

// True when libqardial is present with every entry point.
bool QardialPresent();
// The settings of the connection when it fetches by data call (UseDial and a profile or a
// gateway set, and the library present); false for the direct path.
bool DataCallSettingsOf(const std::string& connection, MmsDataCallSettings& out);

// True when some configured connection fetches its MMS by a data call over this modem
// (UseDial, and UseModem or the connection itself naming it): only such a modem is shared.
bool MmsDataCallWantsModem(const std::string& modem);

MmsFetch FetchOverDataCall(MmsDataCall& call, const MmsDataCallSettings& s, const std::string& url,
                           uint32_t retryCount, std::string& body);
void AcknowledgeOverDataCall(const MmsDataCallSettings& s, const std::string& mmsUrl, const std::string& pdu);
// After a pass without work: true when the worker should wait 10 s first (it holds a modem
// the SMS worker has not asked back); a modem asked back is given back ("#3").
bool KeepDataCallAfterIdlePass(MmsDataCall& call);
// Hang-up and release at the stop ("#4").
void EndDataCall(MmsDataCall& call, const char* which);

// qardial's modem arbiter for the SMS session of a modem. Allocation waits up to
// timeoutSeconds in one-second steps, so that the service's stop ends it; null when not had
// (or without the library).
void* QardialModemAllocate(const std::string& modem, int timeoutSeconds);
bool QardialModemRequested(void* handle);
void QardialModemRelease(void* handle);
