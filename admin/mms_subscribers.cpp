#include "admin/mms_subscribers.h"

#include <cstring>
#include <filesystem>

#include "config/admin_password.h"
#include "config/value_checks.h"
#include "outside/outside_tables.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/buffer_copy.h"
#include "outside/subscriber_store.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "store/queue_dirs.h"

namespace {
ProvisionResult Error(std::string text) { return {false, std::move(text), {}}; }

std::string Level(std::string_view text, size_t width) {
  std::string level(text.substr(0, width));
  level.resize(width, 'X');
  return level;
}

std::string UsersRoot() {
  std::string dir(Trim(MMSCIniString("MMSC", "MMSCUsersDir", "MMSCUSERS", 260)));
  if (dir.empty()) dir = "MMSCUSERS";
  if (dir[0] != '/') {
    if (!IsSafePathName(dir)) return {};
    dir = MmscDataDir() + dir;
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

void RemoveSubscriberFolder(std::string_view number) {
  std::string root = UsersRoot();
  if (root.empty() || !IsPhoneNumberKey(number)) return;
  std::filesystem::path folder = SubscriberFolder(root, number);
  std::error_code ec;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(folder, ec))) std::filesystem::remove(folder, ec);
  else std::filesystem::remove_all(folder, ec);
  if (ec) WriteDebugLogf("ProvisionMmsSubscriber", "Cannot remove %s: %s", folder.c_str(), ec.message().c_str());
}
}  // namespace

std::string SubscriberFolder(const std::string& usersRoot, std::string_view number) {
  std::string_view rest = number.size() > 6 ? number.substr(6) : std::string_view();
  return usersRoot + Level(number, 6) + "/" + Level(rest, 3) + "/" + (number.empty() ? std::string("X") : std::string(number));
}

ProvisionResult ProvisionMmsSubscriber(std::string_view action, const ParameterLookup& parameter,
                                       std::string_view requestPassword) {
  std::optional<std::string> number = parameter("PhoneNumber", 100);
  if (!number) return Error("No PhoneNumber specified");
  if (!IsPhoneNumberKey(*number)) return Error("Invalid PhoneNumber " + StripControlBytes(*number));
  bool add = EqualsNoCase(action, "Add"), modify = EqualsNoCase(action, "Modify"), remove = EqualsNoCase(action, "Delete");
  if (!add && !modify && !remove) return Error("Unsupported request (invalid or missing AdminAction)");
  AdminCredentials admin = ReadAdminCredentials();
  if (modify && !admin.passwordModify.empty() && !EqualsNoCase(admin.passwordModify, requestPassword))
    return {false, {}, "QarSMS Administration Modify User"};
  if (remove && !admin.passwordDelete.empty() && !EqualsNoCase(admin.passwordDelete, requestPassword))
    return {false, {}, "QarSMS Administration Delete User"};
  std::optional<std::string> alias = parameter("Name", 100);
  if (!alias) alias = parameter("UserName", 100);
  std::optional<std::string> password = parameter("Password", 100), fullName = parameter("FullName", 100);
  std::optional<std::string> perDay = parameter("MessageLimitPerDay", 20), perMonth = parameter("MessageLimitPerMonth", 20);
  std::optional<std::string> limitDefault = parameter("MessageLimitDefault", 20);
  std::optional<std::string> forwarding = parameter("EMailForwarding", 20);
  for (const auto* v : {&alias, &password, &fullName})
    if (*v && HasControlBytes(**v)) return Error("Invalid value in request");
  if ((perDay && !IsDecimalNumber(*perDay)) || (perMonth && !IsDecimalNumber(*perMonth))) return Error("Invalid message limit");

  if (!OutsideLibraries.ledger.Loaded()) return Error("Unable to access subscriber database");
  SubscriberStore store(OutsideLibraries.ledger);
  if (store.db == nullptr) return Error("Unable to access subscriber database");
  MMSCUserRecord record{};
  bool exists = store.Find(*number, record);
  if (remove) {
    if (!exists) return Error("User " + *number + " not found");
    if (OutsideLibraries.ledger.Call<sqlMMSCDeleteUser_t>(ledger::sqlMMSCDeleteUser)(store.db, number->c_str()) == 0)
      return Error("Error deleting user");
    RemoveSubscriberFolder(*number);
    return {true, {}, {}};
  }
  if (add && exists) return Error("PhoneNumber " + *number + " already defined");
  if (alias) {
    std::string owner = store.AliasOwner(*alias);
    if (!owner.empty() && owner != *number) return Error("Name " + *alias + " already defined");
  }
  if (!exists) record = MMSCUserRecord{};
  CopyToBuffer(*number, record.PhoneNumber, sizeof record.PhoneNumber);
  if (alias) CopyToBuffer(*alias, record.Alias, sizeof record.Alias);
  if (password) CopyToBuffer(*password, record.Password, sizeof record.Password);
  if (fullName) CopyToBuffer(*fullName, record.FullName, sizeof record.FullName);
  if (forwarding) record.EMailForwarding = ConfigBool(*forwarding) ? 1 : 0;
  if (modify && limitDefault && ConfigBool(*limitDefault)) {
    record.MsgLimitPerDay = 0;
    record.MsgLimitPerMonth = 0;
  } else if (perDay && perMonth) {
    record.MsgLimitPerDay = ParseDecimal(*perDay);
    record.MsgLimitPerMonth = ParseDecimal(*perMonth);
  }
  if (add) {
    if (OutsideLibraries.ledger.Call<sqlMMSCAddUser_t>(ledger::sqlMMSCAddUser)(store.db, &record) == 0)
      return Error("Error adding user");
  } else if (OutsideLibraries.ledger.Call<sqlMMSCAddOrModifyUser_t>(ledger::sqlMMSCAddOrModifyUser)(store.db, &record) == 0) {
    return Error("Error modifying user");
  }
  return {true, {}, {}};
}
