#include "mms/mms_inbound.h"

#include <sys/stat.h>

#include <cerrno>

#include "mms/mms_headers.h"
#include "mms/mms_retrieval.h"
#include "mms/mms_store.h"
#include "outside/qarvault/qarvault.h"
#include "push/wsp_decode.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/names.h"
#include "store/unique_files.h"

namespace {

constexpr const char* kLabel = "ProcessWAPPush";

std::string QueueFolderName(std::string_view connection) {
  std::string name = StripControlBytes(connection);
  for (char& c : name)
    if (c == ':' || c == '/' || c == '\\' || c == '*' || c == '?') c = '-';
  return name;
}

std::string ContentLocation(std::string_view notification) {
  WspField f;
  if (!FindHeaderField(notification, 0x83, f)) return "";
  WspReader r{f.value};
  std::string text;
  if (r.AtEnd() || r.Peek() < 0x20 || r.Peek() >= 0x80 || !ReadText(r, text)) return "";
  return StripControlBytes(text);
}

}  // namespace

std::string MmsQueueDirectory(std::string_view connection) {
  std::string root = PrivateDataDirectory() + "MMSINQ/";
  CreatePathDirectories(root);
  mkdir(root.c_str(), 0755);
  std::string name = QueueFolderName(connection);
  if (name.empty() || name == "." || name == "..") return root;
  std::string dir = root + name + "/";
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return root;
  return dir;
}

bool QueueMMSNotification(std::string_view connection, std::string_view recipient, std::string_view notification) {
  std::string location = ContentLocation(notification);
  std::string modem = StripControlBytes(connection);
  if (!location.empty() && MMSNotificationExist(modem.c_str(), location.c_str()) == 1) {
    WriteDebugLog(kLabel, "MMS Notification is a duplicate, discarding...");
    return true;
  }
  std::string text = "[MMSINQ]\r\n";
  if (!recipient.empty()) AppendKeyValueLine(text, "To", recipient);
  if (!modem.empty()) AppendKeyValueLine(text, "ModemName", modem);
  AppendKeyValueLine(text, "Notification", HexEncode(notification));
  AppendKeyValueLine(text, "ContentLocation", location);
  std::string dir = MmsQueueDirectory(connection);
  std::string path = CreateUniqueFileNoPrefix(dir, "Q", text);
  if (path.empty()) {
    WriteDebugLogf(kLabel, "Cannot queue the MMS notification in %s", dir.c_str());
    return false;
  }
  WriteDebugLogf(kLabel, "Queued MMS notification %s", path.c_str());
  if (!location.empty()) MMSNotificationAdd(modem.c_str(), location.c_str());
  StartInboundMMSWorker(modem);
  return true;
}

bool ReceiveMMSPush(std::string_view connection, std::string_view recipient, std::string_view data) {
  WriteDebugLog(kLabel, "Processing WAP Push Message");
  // Transaction id, PDU type (0x06 push), header length, content type + headers, body.
  WspReader r{data};
  uint32_t headersLength = 0;
  if (r.Left() < 3 || (r.pos += 2, !ReadUintvar(r, headersLength)) || headersLength == 0 ||
      headersLength > r.Left()) {
    WriteDebugLog(kLabel, "WAP Push header is missing");
    return true;
  }
  WspReader headers{data.substr(r.pos, headersLength)};
  std::string_view body = data.substr(r.pos + headersLength);
  MmsContentType type;
  DecodeMmsContentType(headers, type);
  if (body.empty()) {
    WriteDebugLog(kLabel, "WAP Push data missing");
    return true;
  }
  if (type.type != "application/vnd.wap.mms-message") {
    WriteDebugLogf(kLabel, "Content type not processed:  %s", type.type.c_str());
    return true;
  }
  WriteDebugLog(kLabel, "Processing MMS message");
  if (body.size() >= 2 && static_cast<uint8_t>(body[0]) == 0x8C && static_cast<uint8_t>(body[1]) == 0x82)
    return QueueMMSNotification(connection, recipient, body);
  return ParseInboundMMS(recipient, body, body);
}
