#include "admin/provisioning.h"

#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>

#include "accounting/accounting.h"
#include "accounting/user_entries.h"
#include "admin/admin_requests.h"
#include "admin/admin_responses.h"
#include "admin/mms_subscribers.h"
#include "config/settings_registry.h"
#include "config/value_checks.h"
#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/queue_dirs.h"
#include "web/request_parameters.h"

namespace {
constexpr const char* kRoutingSection = "Inbound SMS Routing";

ProvisionResult Error(std::string text) { return {false, std::move(text), {}}; }
ProvisionResult Ok(std::string text = {}) { return {true, std::move(text), {}}; }

struct UserFile {
  SMSUserFile* h = nullptr;
  UserFile() = default;
  UserFile(const UserFile&) = delete;
  UserFile& operator=(const UserFile&) = delete;
  ~UserFile() {
    if (h) SMSCloseUserFile(h);
  }
};

// The one-octet code of WebOptions; nullopt for an unknown value.
std::optional<uint8_t> WebOptionsCode(std::string_view value) {
  if (EqualsNoCase(value, "Advanced") || EqualsNoCase(value, "All")) return 176;
  if (EqualsNoCase(value, "TextOnly") || EqualsNoCase(value, "Text")) return 177;
  if (EqualsNoCase(value, "SMSMMS")) return 178;
  if (EqualsNoCase(value, "SMSWAPMM")) return 179;
  if (EqualsNoCase(value, "SMSMMSWAPMM")) return 180;
  return std::nullopt;
}

// The request's account values, read and checked together.
struct AccountValues {
  std::optional<std::string> password, fullName, webLogin, smppLogin, smtpLogin, forcedSender, restrictIp,
      creditBalance, recipients, creditsToAdd, perDay, perMonth, limitDefault, throttle, webOptions;
};

AccountValues ReadAccountValues(const ParameterLookup& p) {
  AccountValues v;
  v.password = p("Password", 100);
  v.fullName = p("FullName", 100);
  v.webLogin = p("EnableWebLogin", 20);
  v.smppLogin = p("EnableSmppLogin", 20);
  v.smtpLogin = p("EnableSmtpLogin", 20);
  v.forcedSender = p("ForcedSenderAddress", 20);
  v.restrictIp = p("RestrictIPAddress", 50);
  v.creditBalance = p("EnableCreditBalance", 20);
  v.recipients = p("RecipientAddresses", 32783);
  v.creditsToAdd = p("CreditsToAdd", 20);
  v.perDay = p("MessageLimitPerDay", 20);
  v.perMonth = p("MessageLimitPerMonth", 20);
  v.limitDefault = p("MessageLimitDefault", 20);
  v.throttle = p("ThrottleSpeed", 9);
  v.webOptions = p("WebOptions", 1024);
  return v;
}

// The first value that may not be stored, as the error text; empty when all may.
std::string CheckAccountValues(const AccountValues& v) {
  struct Text {
    const char* name;
    const std::optional<std::string>& value;
  } texts[] = {{"Password", v.password}, {"FullName", v.fullName}, {"ForcedSenderAddress", v.forcedSender}};
  for (const Text& t : texts)
    if (t.value && HasControlBytes(*t.value)) return StrPrintf("Invalid %s", t.name);
  if (v.forcedSender && !IsIniSafeValue(*v.forcedSender)) return "Invalid ForcedSenderAddress";
  if (v.restrictIp && !IsAddressPatternList(*v.restrictIp)) return "Invalid RestrictIPAddress";
  if (v.recipients && !IsIniSafeValue(*v.recipients)) return "Invalid RecipientAddresses";
  if (v.creditsToAdd && !IsCreditAmount(*v.creditsToAdd)) return "Invalid CreditsToAdd";
  if (v.perDay && !IsDecimalNumber(*v.perDay)) return "Invalid MessageLimitPerDay";
  if (v.perMonth && !IsDecimalNumber(*v.perMonth)) return "Invalid MessageLimitPerMonth";
  if (v.throttle && !IsDecimalNumber(*v.throttle)) return "Invalid ThrottleSpeed";
  return {};
}

// Sets the given fields of the record; on add, the absent flags take their defaults.
void ApplyAccountValues(SMSUserRecord& r, const AccountValues& v, bool adding) {
  if (v.password) CopyToBuffer(*v.password, r.Password, sizeof r.Password);
  if (v.fullName) CopyToBuffer(*v.fullName, r.FullName, sizeof r.FullName);
  if (v.webLogin || adding) r.WebLoginDisabled = v.webLogin && !ConfigBool(*v.webLogin) ? 1 : 0;
  if (v.smppLogin || adding) r.SmppLogin = v.smppLogin && ConfigBool(*v.smppLogin) ? 1 : 0;
  if (v.smtpLogin || adding) r.SmtpLogin = v.smtpLogin && ConfigBool(*v.smtpLogin) ? 1 : 0;
  if (v.forcedSender) CopyToBuffer(*v.forcedSender, r.ForcedSenderAddress, sizeof r.ForcedSenderAddress);
  if (v.restrictIp) CopyToBuffer(*v.restrictIp, r.RestrictIPAddress, sizeof r.RestrictIPAddress);
  if (v.throttle) CopyToBuffer(*v.throttle, r.ThrottleSpeed, sizeof r.ThrottleSpeed);
  std::optional<uint8_t> code = v.webOptions ? WebOptionsCode(*v.webOptions) : std::nullopt;
  if (code) r.WebOptions = *code;
  else if (adding) r.WebOptions = 0;
  if (v.limitDefault && ConfigBool(*v.limitDefault)) {
    r.MsgLimitPerDay = 0;
    r.MsgLimitPerMonth = 0;
  } else if (adding) {
    r.MsgLimitPerDay = v.perDay ? ParseDecimal(*v.perDay) : 0;
    r.MsgLimitPerMonth = v.perMonth ? ParseDecimal(*v.perMonth) : 0;
  } else if (v.perDay && v.perMonth) {
    r.MsgLimitPerDay = ParseDecimal(*v.perDay);
    r.MsgLimitPerMonth = ParseDecimal(*v.perMonth);
  }
  if (v.creditBalance) r.CreditBalanceEnabled = ConfigBool(*v.creditBalance) ? 1 : 0;
}

bool WriteRoutingEntry(const std::string& name, const std::string& recipients) {
  return SMSIniWriteProfileString(kRoutingSection, name.c_str(), recipients.empty() ? nullptr : recipients.c_str()) != 0;
}

std::string BalanceLine(const std::string& name, const char* label) {
  std::string text = FormatAmount(CreditCheckOrDebit(name, nullptr, 0, CreditMode::Check));
  WriteDebugLogf(label, "%s: %s", name.c_str(), text.c_str());
  return "Credits=" + text;
}

// Credits added (or taken with a negative amount); the new balance to the debug log.
void AddCredits(const std::string& name, const std::string& amount, const char* label) {
  int64_t balance = CreditCheckOrDebit(name, nullptr, -ParseAmount(amount), CreditMode::Debit);
  WriteDebugLogf(label, "%s: %s", name.c_str(), FormatAmount(balance).c_str());
}

// Removes the account's folder, which must lie directly in the users folder.
void RemoveAccountFolder(const std::string& name) {
  std::string users = UsersDir();
  char real[PATH_MAX];
  if (users.empty() || !IsSafePathName(name) || realpath(users.c_str(), real) == nullptr) return;
  std::filesystem::path folder = std::filesystem::path(real) / name;
  std::error_code ec;
  if (folder.parent_path() != std::filesystem::path(real) || !std::filesystem::is_directory(folder, ec)) return;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(folder, ec))) {
    std::filesystem::remove(folder, ec);  // the link only, never what it points to
    return;
  }
  std::filesystem::remove_all(folder, ec);
  if (ec) WriteDebugLogf("ProvisionSmsAccount", "Cannot remove %s: %s", folder.c_str(), ec.message().c_str());
}
}  // namespace

ProvisionResult ProvisionSmsAccount(std::string_view action, const ParameterLookup& parameter) {
  std::optional<std::string> given = parameter("Name", 100);
  if (!given) given = parameter("UserName", 100);
  if (!given) return Error("No UserName specified");
  const std::string& name = *given;
  if (!IsSafeAccountName(name) || name.size() >= SMS_USER_NAME_SIZE) return Error("Invalid UserName " + StripControlBytes(name));
  bool add = EqualsNoCase(action, "Add"), modify = EqualsNoCase(action, "Modify");
  bool remove = EqualsNoCase(action, "Delete"), creditCheck = EqualsNoCase(action, "CreditCheck");
  if (!add && !modify && !remove && !creditCheck) return Error("Unsupported request (invalid or missing AdminAction)");
  AccountValues values = ReadAccountValues(parameter);
  if (add || modify) {
    std::string refused = CheckAccountValues(values);
    if (!refused.empty()) return Error(refused);
  }
  UserFile file;
  if (SMSOpenUserFile(&file.h, SMS_USER_READWRITE) == 0 || file.h == nullptr) return Error("Unable to access user database");
  SMSUserRecord record{};
  bool exists = SMSFindUserRecord(file.h, name.c_str(), &record) != 0;
  if (creditCheck) {
    if (!CreditEnabled(name)) return Ok("Credit Balance not Enabled");
    return Ok(BalanceLine(name, "AdjustUserCreditBalance #6"));
  }
  if (remove) {
    if (!exists) return Ok();
    if (SMSDeleteUser(file.h, name.c_str()) == 0) return Error("Error deleting user");
    UpdateCachedAccount(name, nullptr);
    WriteRoutingEntry(name, "");
    // Drops a cached balance first, so that an account of the same name made later
    // does not write into the removed file.
    SetCreditEnabled(name, false);
    RemoveAccountFolder(name);
    return Ok();
  }
  if (add && exists) return Error("UserName " + name + " already defined");
  if (!exists) {
    record = SMSUserRecord{};
    CopyToBuffer(name, record.UserName, sizeof record.UserName);
  }
  ApplyAccountValues(record, values, add);
  if (SMSAddUser(file.h, &record) == 0) return Error(add ? "Error adding user" : "Error modifying user");
  UpdateCachedAccount(name, &record);
  if (add || values.recipients) WriteRoutingEntry(name, values.recipients.value_or(""));
  if (values.creditBalance) SetCreditEnabled(name, ConfigBool(*values.creditBalance));
  if (values.creditsToAdd) AddCredits(name, *values.creditsToAdd, add ? "AdjustUserCreditBalance #3" : "AdjustUserCreditBalance #4");
  if (modify && CreditEnabled(name)) return Ok(BalanceLine(name, "AdjustUserCreditBalance #5"));
  return Ok();
}

ProvisionResult ProvisionSdkLink(std::string_view action, const ParameterLookup& parameter,
                                 std::string_view peerAddress, uint16_t peerPort) {
  if (!MainFlag("SDKLinkEnabled"))
    return Error("SDKLink not enabled.  Add SDKLinkEnabled=Yes under [QARHUB] header of QARHUB.INI");
  bool store = EqualsNoCase(action, "Add") || EqualsNoCase(action, "Modify");
  bool remove = EqualsNoCase(action, "Delete");
  if (!store && !remove) return Error("Unsupported request (invalid or missing Action)");
  std::optional<std::string> phone = parameter("PhoneNumber", 100);
  if (!phone) return Error("Missing PhoneNumber in request");
  if (!IsPhoneNumberKey(*phone)) return Error("Invalid PhoneNumber in request");
  if (remove) {
    SMSIniWriteProfileString("SDKLink", phone->c_str(), nullptr);
    return Ok();
  }
  std::string address = parameter("IPAddress", 100).value_or("");
  std::string port = parameter("IPPort", 50).value_or("");
  if (address.empty()) {
    address = peerAddress;
    if (port.empty() && peerPort != 0) port = std::to_string(peerPort);
  }
  std::string host = address;
  uint16_t hostPort = 0;
  if (!IsIpAddress(address)) {
    // "address:port" in one value.
    if (!SplitHostPort(address, host, hostPort) || !IsIpAddress(host) || hostPort == 0)
      return Error("Invalid IPAddress in request");
    if (port.empty()) port = std::to_string(hostPort);
  }
  if (port.empty()) return Error("Missing IP Port number (IPPort) in request");
  if (!IsPortNumber(port)) return Error("Invalid IPPort in request");
  std::string value = host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
  if (SMSIniWriteProfileString("SDKLink", phone->c_str(), value.c_str()) == 0) return Error("Unable to write QARHUB.INI");
  return Ok();
}

bool ProcessProvisionRequest(WebConnection& c, WebRequest& request) {
  c.keepAlive = false;
  std::string type = RequestParameterOr(request, "Type", 100);
  bool sdkLink = StartsWithNoCase(type, "SDKLink");
  std::string password;
  if (!AdminAccessAllowed(c, request, "ProcessAdminRequest", !sdkLink, &password)) return true;
  ParameterLookup lookup = [&](std::string_view name, size_t maxLen) { return RequestParameter(request, name, maxLen); };
  ProvisionResult result;
  if (StartsWithNoCase(type, "SMS")) {
    result = ProvisionSmsAccount(RequestParameterOr(request, "AdminAction", 100), lookup);
  } else if (StartsWithNoCase(type, "MMS")) {
    result = ProvisionMmsSubscriber(RequestParameterOr(request, "AdminAction", 100), lookup, password);
  } else if (sdkLink) {
    result = ProvisionSdkLink(RequestParameterOr(request, "Action", 100), lookup, c.clientAddress, c.clientPort);
  } else {
    result = Error("Unsupported request (no Type parameter)");
  }
  if (!result.unauthorizedRealm.empty()) {
    SendAdminUnauthorized(c, result.unauthorizedRealm);
    return true;
  }
  std::string text =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nExpires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\n\r\n";
  text += result.ok ? "OK\r\n" : "ERROR\r\n";
  if (!result.text.empty()) text += StripControlBytes(result.text) + "\r\n";
  SendRaw(c, text);
  return true;
}
