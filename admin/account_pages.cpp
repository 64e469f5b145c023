#include "admin/account_pages.h"

#include <cstring>
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "admin/admin_requests.h"
#include "admin/admin_responses.h"
#include "admin/page_templates.h"
#include "admin/provisioning.h"
#include "config/settings_registry.h"
#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/file_io.h"
#include "web/request_parameters.h"

namespace {
template <size_t N>
std::string Field(const char (&field)[N]) {
  return FieldText(field, N);
}

std::string LimitText(uint32_t limit) { return limit == 0 ? std::string("Default") : std::to_string(limit); }

bool Present(const WebRequest& request, std::string_view name) { return RequestParameter(request, name, 100).has_value(); }

// The change a form asks for; empty text when it asks for none.
ProvisionResult ChangeFromForm(const WebRequest& request, bool& asked) {
  ParameterLookup lookup = [&](std::string_view name, size_t maxLen) { return RequestParameter(request, name, maxLen); };
  asked = true;
  if (Present(request, "ConfirmDeleteSMSUser") || Present(request, "ConfirmDeleteUser"))
    return ProvisionSmsAccount("Delete", lookup);
  if (Present(request, "SaveSMSUser") || Present(request, "SaveUser")) {
    bool edit = Present(request, "EditSMSUser") || Present(request, "EditUser");
    return ProvisionSmsAccount(edit ? "Modify" : "Add", lookup);
  }
  asked = false;
  return {};
}
}  // namespace

void SendAccountPage(WebConnection& c, const WebRequest& request, bool smsPage) {
  PageValues values;
  std::string message;
  if (c.isPost) {
    bool asked = false;
    ProvisionResult result = ChangeFromForm(request, asked);
    if (asked) message = result.ok ? "OK" + (result.text.empty() ? std::string() : " " + result.text) : "ERROR: " + result.text;
  }
  values.tokens.emplace_back("Message", message);
  values.tokens.emplace_back("DefaultMessageLimitPerDay", MainValue("DefaultMsgLimitPerDay"));
  values.tokens.emplace_back("DefaultMessageLimitPerMonth", MainValue("DefaultMsgLimitPerMonth"));
  PageValues::List list;
  list.token = smsPage ? "DefinedSMSUsers" : "DefinedUsers";
  SMSUserFile* h = nullptr;
  if (SMSOpenUserFile(&h, SMS_USER_READ) != 0 && h != nullptr) {
    uint32_t count = SMSGetRecordCount(h);
    for (uint32_t i = 0; i < count; ++i) {
      SMSUserRecord r{};
      if (SMSGetUserRecord(h, i, &r) == 0) continue;
      std::string name = Field(r.UserName);
      std::string credits;
      if (!CreditBalanceText(name, credits)) credits = "-";
      list.rows.push_back({{list.token, name},
                           {"UserName", name},
                           {"FullName", Field(r.FullName)},
                           {"WebLogin", r.WebLoginDisabled ? "No" : "Yes"},
                           {"SmppLogin", r.SmppLogin ? "Yes" : "No"},
                           {"SmtpLogin", r.SmtpLogin ? "Yes" : "No"},
                           {"MessageLimitPerDay", LimitText(r.MsgLimitPerDay)},
                           {"MessageLimitPerMonth", LimitText(r.MsgLimitPerMonth)},
                           {"RestrictIPAddress", Field(r.RestrictIPAddress)},
                           {"ForcedSenderAddress", Field(r.ForcedSenderAddress)},
                           {"Credits", credits}});
    }
    SMSCloseUserFile(h);
  }
  values.lists.push_back(std::move(list));
  std::string templateName = smsPage ? "SMSUSERS.HTM" : "USERS.HTM";
  std::string own = smsPage ? "/ADMIN/SMSUSERS" : "/ADMIN/USERS";
  std::string text;
  if (!ReadWholeFile(AdminSiteDirectory() + templateName, text, 4u << 20)) {
    SendRaw(c, "HTTP/1.0 404 File Not Found\r\n\r\n");
    return;
  }
  values.tokens.emplace_back("PostURL", own);
  values.tokens.emplace_back("QuitURL", "/ADMIN");
  SendRaw(c, std::string(kHtmlHeader) + ExpandPage(text, values));
}
