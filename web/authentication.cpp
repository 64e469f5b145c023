#include <cstring>

#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/local_system_account.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "web/address_checks.h"
#include "httpclient/http_text.h"
#include "web/request_parameters.h"
#include "web/responses.h"
#include "accounting/user_entries.h"
#include "web/web_server.h"
#include "web/web_settings.h"

std::atomic<uint32_t> FailedLoginCount{0};

namespace {
void FailedLoginDelay(uint32_t seconds) { SleepUnlessShutdown(seconds * 1000, TickMs()); }
}  // namespace

bool AuthenticateRequest(WebConnection& c, const WebRequest& request) {
  c.user.clear();
  c.forcedSender.clear();
  c.webOptions = 0;
  std::string user, password;
  HttpBasicCredentials(request.Header(), user, password);
  user = CutTo(user, 250);
  password = CutTo(password, 250);
  if (user.empty() && password.empty()) {
    user = RequestParameter(request, "User", 250).value_or("");
    password = RequestParameter(request, "Password", 250).value_or("");
  }
  if (!WebSettings.WebAuth) return true;

  if (!WebSettings.LocalSystemPassword.empty() && EqualsNoCase(user, kLocalSystemUser) &&
      EqualsNoCase(password, WebSettings.LocalSystemPassword) && IsLocalAddress(c.clientAddress)) {
    c.user = user;
    return true;
  }
  std::string expectedUser = "not" + user;
  std::string expectedPassword = "not" + password;
  if (!user.empty()) {
    SMSUserRecord record{};
    if (LookupAccount(user, record) && record.WebLoginDisabled == 0) {
      std::string_view restricted(record.RestrictIPAddress, strnlen(record.RestrictIPAddress, sizeof record.RestrictIPAddress));
      if (Trim(restricted).empty() || AddressListMatches(restricted, c.clientAddress)) {
        expectedUser.assign(record.UserName, strnlen(record.UserName, sizeof record.UserName));
        expectedPassword.assign(record.Password, strnlen(record.Password, sizeof record.Password));
      }
      c.forcedSender.assign(record.ForcedSenderAddress,
                            strnlen(record.ForcedSenderAddress, sizeof record.ForcedSenderAddress));
      c.webOptions = record.WebOptions;
    }
  }
  if (EqualsNoCase(user, expectedUser) && EqualsNoCase(password, expectedPassword)) {
    c.user = user;
    return true;
  }
  c.forcedSender.clear();
  c.webOptions = 0;
  if (!user.empty()) {
    uint32_t failures = FailedLoginCount.fetch_add(1) + 1;
    FailedLoginDelay(std::min<uint32_t>(failures, 100));
  }
  SendUnauthorized(c, WebSettings.Realm);
  return false;
}
