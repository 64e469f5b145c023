// "/PROVISION": SMS accounts and SDK links created, changed and deleted over HTTP, and the
// account changes the administration pages share with it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "web/web_connection.h"

// What an account change answers: ok, and the error text or the information line.
struct ProvisionResult {
  bool ok = false;
  std::string text;
  std::string unauthorizedRealm;  // set: answered with a 401 of this realm instead
};

// A request parameter by name, cut to the given length; nullopt when absent or empty.
using ParameterLookup = std::function<std::optional<std::string>(std::string_view name, size_t maxLen)>;

// "Add", "Modify", "Delete" or "CreditCheck" of an SMS account. Every value is checked
// before anything is written; a refusal writes nothing.
ProvisionResult ProvisionSmsAccount(std::string_view action, const ParameterLookup& parameter);
// "Add", "Modify" or "Delete" of a [SDKLink] number; the peer's address and port fill in
// a missing target.
ProvisionResult ProvisionSdkLink(std::string_view action, const ParameterLookup& parameter,
                                 std::string_view peerAddress, uint16_t peerPort);

bool ProcessProvisionRequest(WebConnection& c, WebRequest& request);
