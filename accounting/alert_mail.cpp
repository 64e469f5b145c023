#include "accounting/accounting.h"
#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/store_service.h"
#include "store/unique_files.h"

namespace {
std::string AlertSender() {
  std::string sender = StripControlBytes(MainValue("AlertEMailSender"));
  if (!sender.empty()) return sender;
  std::string domain = StripControlBytes(MmscValue("DomainName"));
  if (domain.empty()) domain = StripControlBytes(MmscValue("HostName"));
  return domain.empty() ? "qarsms" : "qarsms@" + domain;
}

void MailEvent(EventKind kind, std::string_view text) { SendAlertEMail(static_cast<int>(kind), text); }
}  // namespace

std::vector<std::string> SendAlertEMail(int kind, std::string_view text) {
  std::vector<std::string> written;
  const char* flag = kind == 0 ? "AlertEMailSendInfo" : kind == 1 ? "AlertEMailSendError" : "AlertEMailSendWarning";
  if (!MainFlag(flag)) return written;
  std::string recipients = MainValue("AlertEMailRecip");
  if (Trim(recipients).empty()) return written;
  const char* subject = kind == 0 ? "Information" : kind == 1 ? "ERROR" : "Warning";
  std::string directory = ProgramDataDirectory() + "MMSCOUT/";
  for (const std::string& item : SplitList(recipients)) {
    std::string address = StripControlBytes(item);
    if (address.empty()) continue;
    std::string mail = StrPrintf("To: %s\r\nX-MMSC-RCPT-TO: %s\r\n", address.c_str(), address.c_str());
    mail += "Date: " + FormatRfc822Date() + "\r\n";
    mail += "From: " + AlertSender() + "\r\n";
    mail += std::string("Subject:  QarSMS Alert - ") + subject + "\r\n";
    mail += "\r\n";
    mail += text;
    mail += "\r\n" + FormatLongDate() + " @ " + FormatShortTime() + "\r\n";
    std::string path = CreateUniqueFile(directory, "RFC", mail);
    if (path.empty())
      WriteDebugLog("SendAlertEMail", "Cannot write the alert mail for " + address);
    else
      written.push_back(path);
  }
  return written;
}

void InstallAccountingHooks() {
  SetAlertMailHook(MailEvent);
  SetUserUsageFlusher(FlushUserUsage);
}
