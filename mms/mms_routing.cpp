#include "mms/mms_routing.h"

#include <algorithm>
#include <string>

#include "config/settings_registry.h"
#include "mms/mms_headers.h"
#include "mms/mms_store.h"
#include "outside/outside_tables.h"
#include "outside/subscriber_store.h"
#include "push/wsp_decode.h"
#include "runtime/base64.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/unique_files.h"

namespace {

constexpr const char* kLabel = "MMSRouting";

// The value of a decoded header line of the message ("" when absent).
std::string FieldText(std::string_view message, uint8_t code) {
  WspField f;
  if (!FindHeaderField(message, code, f)) return "";
  std::string line = MmsFieldLine(f);
  size_t colon = line.find(": ");
  return colon == std::string::npos ? "" : line.substr(colon + 2);
}

// An empty line, then data in base64 lines of 76 characters.
void AppendBase64Lines(std::string& mail, std::string_view data) {
  mail += "\r\n";
  std::string encoded = Base64Encode(data);
  for (size_t i = 0; i < encoded.size(); i += 76) mail += encoded.substr(i, 76) + "\r\n";
}

// The MMS subscriber named by alias (or by number) who has e-mail forwarding.
bool ForwardsToMail(std::string_view account) {
  if (!IsSafePathName(account) || !OutsideLibraries.ledger.Loaded()) return false;
  SubscriberStore store(OutsideLibraries.ledger);
  if (store.db == nullptr) return false;
  std::string number = store.AliasOwner(std::string(account));
  MMSCUserRecord record{};
  if (!store.Find(number.empty() ? std::string(account) : number, record)) return false;
  if (record.EMailForwarding == 0) WriteDebugLogf(kLabel, "%s has no e-mail forwarding", std::string(account).c_str());
  return record.EMailForwarding != 0;
}

bool MailToAccount(std::string_view account, std::string_view message) {
  if (!ForwardsToMail(account)) {
    WriteDebugLogf(kLabel, "No local account %s with e-mail forwarding", StripControlBytes(account).c_str());
    return false;
  }
  std::string domain = StripControlBytes(MmscValue("DomainName"));
  if (domain.empty()) domain = StripControlBytes(MmscValue("HostName"));
  if (domain.empty()) domain = "qarsms";
  std::string to = std::string(account) + "@" + domain;
  std::string from = FieldText(message, 0x89), subject = FieldText(message, 0x96);
  if (size_t slash = from.find("/TYPE="); slash != std::string::npos) from.resize(slash);
  std::string boundary = StrPrintf("----=_MMS_%08X", static_cast<unsigned>(message.size() * 2654435761u));
  std::string mail = "To: " + to + "\r\nX-MMSC-RCPT-TO: " + to + "\r\n";
  mail += "From: " + (from.empty() ? std::string("unknown") : from) + "@" + domain + "\r\n";
  mail += "Subject: " + (subject.empty() ? std::string("MMS") : subject) + "\r\n";
  mail += "Date: " + FormatRfc822Date() + "\r\n";
  mail += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  // The content parts as a mail reader shows them: texts inline, the rest attached under
  // their names; the presentation means nothing there. A message whose parts cannot be read
  // goes attached whole.
  unsigned added = 0;
  for (const MmsBodyPart& p : MmsBodyParts(message, false)) {
    if (EqualsNoCase(p.type, "application/smil")) continue;
    std::string type = p.type.empty() ? "application/octet-stream" : p.type;
    if (!p.charset.empty()) type += "; charset=" + p.charset;
    std::string name = p.fileName;
    std::replace(name.begin(), name.end(), '"', '_');
    mail += "--" + boundary + "\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\n";
    mail += std::string("Content-Disposition: ") + (StartsWithNoCase(p.type, "text/") ? "inline" : "attachment") +
            "; filename=\"" + name + "\"\r\n";
    if (!p.contentId.empty() && p.contentId.find_first_of("<>\"") == std::string::npos)
      mail += "Content-ID: <" + p.contentId + ">\r\n";
    AppendBase64Lines(mail, p.data);
    ++added;
  }
  if (added == 0) {
    mail += "--" + boundary + "\r\nContent-Type: application/vnd.wap.mms-message\r\n"
            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"message.mms\"\r\n";
    AppendBase64Lines(mail, message);
  }
  mail += "--" + boundary + "--\r\n";
  std::string path = CreateUniqueFile(ProgramDataDirectory() + "MMSCOUT/", "RFC", mail);
  if (path.empty()) {
    WriteDebugLog(kLabel, "Cannot write the mail file");
    return false;
  }
  WriteDebugLogf(kLabel, "MMS mailed to %s as %s", to.c_str(), path.c_str());
  return true;
}

// True when VASP.INI of the folder has a Protocol in [VASP].
bool VaspConfigured(const std::string& folder) {
  std::string text;
  if (!ReadWholeFile(folder + "VASP.INI", text, 1u << 16)) return false;
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = FindLineEnd(text, pos);
    std::string_view line = Trim(std::string_view(text).substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? text.size() : end + 1;
    if (line.starts_with("[")) {
      inSection = EqualsNoCase(line, "[VASP]");
    } else if (inSection && StartsWithNoCase(line, "Protocol")) {
      std::string_view rest = Trim(line.substr(8));
      if (rest.starts_with("=") && !Trim(rest.substr(1)).empty()) return true;
    }
  }
  return false;
}

bool QueueForVasp(std::string_view name, std::string_view message) {
  std::string folder = ProgramDataDirectory() + "VASPOUT/" + std::string(name) + "/";
  if (!IsSafePathName(name) || !VaspConfigured(folder)) {
    WriteDebugLogf(kLabel, "No VASP connection %s", StripControlBytes(name).c_str());
    return false;
  }
  std::string path = CreateUniqueFile(folder, "MMS", message);
  if (path.empty()) {
    WriteDebugLogf(kLabel, "Cannot queue the MMS in %s", folder.c_str());
    return false;
  }
  WriteDebugLogf(kLabel, "MMS queued for VASP %s as %s", std::string(name).c_str(), path.c_str());
  return true;
}

}  // namespace

bool RouteInboundMMS(std::string_view routing, std::string_view message) {
  std::string_view value = Trim(routing);
  if (value.empty()) return false;
  if (StartsWithNoCase(value, "localuser:")) return MailToAccount(Trim(value.substr(10)), message);
  if (value.find('@') != std::string_view::npos) return false;
  return QueueForVasp(value, message);
}
