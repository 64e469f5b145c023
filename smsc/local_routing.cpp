#include "smsc/local_routing.h"

#include <sys/stat.h>


#include "accounting/accounting.h"
#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "smsc/queue_pass.h"
#include "smsc/route_decision.h"
#include "store/message_file.h"
#include "store/message_writer.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/unique_files.h"

namespace {

constexpr std::string_view kServiceTypeKey = "service_type=";
constexpr uint64_t kReloadCheckMs = 15000;

struct LocalRoutingCache {
  Mutex lock;
  bool loaded GUARDED_BY(lock) = false;
  uint64_t lastCheckTick GUARDED_BY(lock) = 0;
  struct timespec fileTime GUARDED_BY(lock) {};
  std::vector<LocalRoutingLine> lines GUARDED_BY(lock);
};
LocalRoutingCache g_local;

std::vector<LocalRoutingLine> CurrentLines() {
  MutexLock lock(g_local.lock);
  uint64_t now = TickMs();
  if (!g_local.loaded || now - g_local.lastCheckTick >= kReloadCheckMs) {
    g_local.lastCheckTick = now;
    struct stat st {};
    std::string path = ProgramDataDirectory() + "QARHUB.INI";
    bool haveTime = ::stat(path.c_str(), &st) == 0;
    if (!g_local.loaded || !haveTime || st.st_mtim.tv_sec != g_local.fileTime.tv_sec ||
        st.st_mtim.tv_nsec != g_local.fileTime.tv_nsec) {
      g_local.lines = ParseLocalRoutingSection(SMSIniSection("Inbound SMS Routing"));
      if (haveTime) g_local.fileTime = st.st_mtim;
      g_local.loaded = true;
    }
  }
  return g_local.lines;
}

bool LocalUserName(std::string_view user) {
  if (user == "~SMSIN") return true;
  if (StartsWithNoCase(user, "~SMSIN::")) return IsSafePathName(user.substr(8));
  return IsSafePathName(user);
}

}  // namespace

void ResetLocalRoutingCache() {
  MutexLock lock(g_local.lock);
  g_local.loaded = false;
  g_local.lines.clear();
}

std::vector<LocalRoutingLine> ParseLocalRoutingSection(const std::vector<std::pair<std::string, std::string>>& lines) {
  std::vector<LocalRoutingLine> out;
  for (const auto& [user, value] : lines) {
    LocalRoutingLine line;
    line.user = std::string(Trim(user));
    line.items = SplitList(value);
    if (!line.user.empty()) out.push_back(std::move(line));
  }
  return out;
}

std::string LocalUserFromLines(const std::vector<LocalRoutingLine>& lines, std::string_view recipient,
                               std::string_view serviceType) {
  std::string best;
  long bestLength = -1;
  bool serviceTypeMatchedBefore = false;
  for (const LocalRoutingLine& line : lines) {
    bool excluded = false, hasServiceItems = false, serviceMatched = false, hasRecipientItems = false;
    for (const std::string& raw : line.items) {
      std::string_view item = raw;
      bool exclusion = !item.empty() && item[0] == '!';
      if (exclusion) item.remove_prefix(1);
      bool isService = StartsWithNoCase(item, kServiceTypeKey);
      std::string_view pattern = isService ? item.substr(kServiceTypeKey.size()) : item;
      std::string_view subject = isService ? serviceType : recipient;
      if (exclusion) {
        excluded |= RoutePatternMatches(pattern, subject);
      } else if (isService) {
        hasServiceItems = true;
        serviceMatched |= RoutePatternMatches(pattern, serviceType);
      } else {
        hasRecipientItems = true;
      }
    }
    if (excluded) continue;
    if (hasServiceItems && !serviceMatched) continue;
    if (serviceMatched && !serviceTypeMatchedBefore) {
      // The first line whose service type matches outranks whatever came before.
      serviceTypeMatchedBefore = true;
      best.clear();
      bestLength = -1;
    }
    for (const std::string& raw : line.items) {
      std::string_view item = raw;
      if ((!item.empty() && item[0] == '!') || StartsWithNoCase(item, kServiceTypeKey)) continue;
      if (RoutePatternMatches(item, recipient) && long(item.size()) > bestLength) {
        best = line.user;
        bestLength = long(item.size());
      }
    }
    if (serviceMatched && !hasRecipientItems && best.empty()) best = line.user;
  }
  return best;
}

std::string LocalUserForMessage(const SmsMessageRecord& m) {
  if (!m.RouteToLocalUser.empty()) {
    const std::string& u = m.RouteToLocalUser;
    if (!LocalUserName(u)) {
      WriteDebugLog("LocalUserForMessage", "RouteToLocalUser not usable: " + StripControlBytes(u));
      return {};
    }
    if (StartsWithNoCase(u, "~SMSIN")) return u;
    if (FileExists(UserDir(u) + "RECV.FLG")) return u;
  }
  std::string user = LocalUserFromLines(CurrentLines(), m.PhoneNumber, m.ServiceType);
  if (!user.empty() && !LocalUserName(user)) {
    WriteDebugLog("LocalUserForMessage", "Inbound SMS Routing user not usable: " + StripControlBytes(user));
    return {};
  }
  return user;
}

std::string LocalDeliveryFileText(const SmsMessageRecord& m, bool inbound) {
  SmsMessageRecord delivered = m;
  delivered.Inbound = inbound;
  return MessageFileText(delivered, MessageLayout::LocalDelivery);
}

bool DeliverToLocalUser(const SmsMessageRecord& m, std::string_view user, std::string_view messageFile,
                        std::string_view connection) {
  if (!LocalUserName(user)) return false;
  LogContent content = LogContentOf(m);
  if (StartsWithNoCase(user, "~SMSIN")) {
    std::string extension = user.size() > 8 ? std::string(user.substr(8)) : "in";
    std::string path = CreateUniqueFile(InboundDir(), extension, LocalDeliveryFileText(m, true));
    if (path.empty()) return false;
    if (user == "~SMSIN") LogInbound(m.Sender, connection, m.PhoneNumber, content, "", "");
    return true;
  }
  std::string path = CreateUniqueFile(UserQueueDir(user), "req", LocalDeliveryFileText(m, false));
  if (path.empty()) return false;
  std::string status = "OK -- LocalUser:" + std::string(user);
  LogOutbound(messageFile, m.SubmittedBy, m.PhoneNumber, status, content, m.SubmitUser, "", m.Sender);
  AccountingMessage a{"SMSReceive", m};
  AccountingNoticeFields fields;
  fields.recipient = m.PhoneNumber;
  fields.messageId = MessageIdFromPath(messageFile);
  fields.status = "OK";
  fields.smscName = "LocalUser:" + std::string(user);
  AccountingNotice(a, fields, nullptr);
  if (Settings.AccountingExtended) {
    OutboundAccountingNotice(m, m.PhoneNumber, fields.messageId, "", "", status);
  }
  return true;
}
