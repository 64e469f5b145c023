#include "smsc/route_decision.h"

#include "config/settings.h"
#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "smsc/connection_error_file.h"

namespace {

bool SameName(std::string_view a, std::string_view b) { return EqualsNoCase(RoutingConnectionName(a), RoutingConnectionName(b)); }

bool UserAdmitted(const ConnectionRouting& c, std::string_view user) {
  for (const std::string& allowed : c.allowedUsers) {
    if (EqualsNoCase(allowed, user)) return true;
    if (EqualsNoCase(allowed, "localsystem") && StartsWithNoCase(user, "localsystem-")) return true;
  }
  return false;
}

// Kind and user restrictions of a connection (step 2).
bool PassesRestrictions(const RoutingTables& t, std::string_view connection, const SmsMessageRecord& m) {
  const ConnectionRouting* c = t.Find(connection);
  if (!c) return true;
  if (c->kinds == MessageKindRule::BinaryOnly && !m.Binary) return false;
  if (c->kinds == MessageKindRule::TextOnly && m.Binary) return false;
  if (c->allowedUserOnly && !UserAdmitted(*c, m.SubmitUser)) return false;
  return true;
}

bool Blocked(const RoutingTables& t, std::string_view connection, const SmsMessageRecord& m) {
  for (const RouteEntry& e : t.routes) {
    if (e.kind != RouteEntry::Block || !SameName(e.connection, connection)) continue;
    bool hit = e.serviceType ? RoutePatternMatches(e.pattern, m.ServiceType) : RoutePatternMatches(e.pattern, m.PhoneNumber);
    if (hit) {
      if (Settings.Debug2) {
        WriteDebugLogf("CheckBlockedRoute", "%.*s%s%.*s is blocked for route %.*s: %s", int(m.PhoneNumber.size()),
                       m.PhoneNumber.data(), m.ServiceType.empty() ? "" : "/", int(m.ServiceType.size()),
                       m.ServiceType.data(), int(connection.size()), connection.data(), e.pattern.c_str());
      }
      return true;
    }
  }
  const ConnectionRouting* c = t.Find(connection);
  if (c && c->hasAttributes) {
    for (const RouteEntry& e : t.routes) {
      if (e.kind == RouteEntry::Attribute && e.serviceType && SameName(e.connection, connection) &&
          RoutePatternMatches(e.pattern, m.ServiceType)) {
        return false;
      }
    }
    if (Settings.Debug) {
      WriteDebugLogf("CheckBlockedRoute", "%.*s does not match service type for route %.*s", int(m.ServiceType.size()),
                     m.ServiceType.data(), int(connection.size()), connection.data());
    }
    return true;
  }
  return false;
}

// The connection of the longest service-type attribute matching m (ties: asking wins).
std::string PreferredForServiceType(const RoutingTables& t, const SmsMessageRecord& m, std::string_view asking) {
  std::string best;
  size_t bestLength = 0;
  bool found = false;
  for (const RouteEntry& e : t.routes) {
    if (e.kind != RouteEntry::Attribute || !e.serviceType || !RoutePatternMatches(e.pattern, m.ServiceType)) continue;
    if (!found || e.pattern.size() > bestLength || (e.pattern.size() == bestLength && SameName(e.connection, asking))) {
      best = e.connection;
      bestLength = e.pattern.size();
      found = true;
    }
  }
  return best;
}

bool IsHome(const RoutingTables& t, std::string_view sender, std::string_view connection) {
  for (const SenderEntry& s : t.senders) {
    if (EqualsNoCase(s.sender, sender) && SameName(s.connection, connection)) return true;
  }
  return false;
}

// The longest plain pattern matching the recipient among the entries accepted by filter;
// once an entry of the preferred connection is met, only such entries count.
template <typename Filter>
std::string LongestPlainMatch(const RoutingTables& t, const SmsMessageRecord& m, std::string_view asking,
                              const std::string& preferred, Filter filter, std::vector<std::string>* allBest = nullptr) {
  std::string best;
  long bestLength = -1;
  bool preferredFound = false;
  for (const RouteEntry& e : t.routes) {
    if (e.kind != RouteEntry::Plain || !RoutePatternMatches(e.pattern, m.PhoneNumber)) continue;
    if (!filter(e.connection)) continue;
    if (Blocked(t, e.connection, m)) continue;
    if (!SameName(e.connection, asking) && !PassesRestrictions(t, e.connection, m)) continue;
    bool isPreferred = !preferred.empty() && SameName(e.connection, preferred);
    if (preferredFound && !isPreferred) continue;
    if (isPreferred && !preferredFound) {
      preferredFound = true;
      bestLength = -1;
      best.clear();
      if (allBest) allBest->clear();
    }
    long length = long(e.pattern.size());
    if (length > bestLength || (length == bestLength && SameName(e.connection, asking))) {
      if (allBest && length > bestLength) allBest->clear();
      best = e.connection;
      bestLength = length;
    }
    if (allBest && length == bestLength) {
      bool seen = false;
      for (const std::string& n : *allBest) seen |= SameName(n, e.connection);
      if (!seen) allBest->push_back(e.connection);
    }
  }
  return best;
}

bool RoutePrefOnly(const RoutingTables& t, std::string_view connection) {
  const ConnectionRouting* c = t.Find(connection);
  return c && c->routePrefOnly;
}
bool Route1Empty(const RoutingTables& t, std::string_view connection) {
  const ConnectionRouting* c = t.Find(connection);
  return !c || c->route1Empty;
}

}  // namespace

bool RoutePatternMatches(std::string_view pattern, std::string_view text) { return WildcardMatchNoCase(pattern, text); }

RouteDecision MayConnectionSend(const RoutingTables& t, const SmsMessageRecord& m, std::string_view connection) {
  RouteDecision d;
  // 1. The virtual SMSC takes exactly the recipients listed for it.
  if (t.sdkLinkEnabled) {
    bool listed = false;
    for (const std::string& r : t.sdkLinkRecipients) listed |= EqualsNoCase(r, m.PhoneNumber);
    bool isSdk = StartsWithNoCase(connection, "SDKLink - ");
    if (listed || isSdk) {
      d.allowed = listed && isSdk;
      return d;
    }
  }
  // 2.
  if (!PassesRestrictions(t, connection, m)) return d;
  // 3.
  std::string preferred = PreferredForServiceType(t, m, connection);
  if (!preferred.empty() && !SameName(preferred, connection)) return d;
  // 4.
  if (!m.Sender.empty()) {
    bool home = IsHome(t, m.Sender, connection);
    bool senderHasHomes = false;
    for (const SenderEntry& s : t.senders) senderHasHomes |= EqualsNoCase(s.sender, m.Sender);
    if (home) {
      std::string best = LongestPlainMatch(t, m, connection, preferred,
                                           [&](const std::string& c) { return IsHome(t, m.Sender, c); });
      if (best.empty()) {
        for (const SenderEntry& s : t.senders) {
          if (!EqualsNoCase(s.sender, m.Sender) || RoutePrefOnly(t, s.connection)) continue;
          if (!SameName(best, connection)) best = s.connection;
        }
      }
      if (best.empty() && Route1Empty(t, connection)) best = std::string(connection);
      if (best.empty()) {
        for (const SenderEntry& s : t.senders) {
          if (EqualsNoCase(s.sender, m.Sender) && Route1Empty(t, s.connection)) best = s.connection;
        }
      }
      d.allowed = best.empty() || SameName(best, connection);
      return d;
    }
    if (senderHasHomes) {
      d.allowed = !preferred.empty() && SameName(preferred, connection);
      return d;
    }
  }
  // 5.
  std::string winner = LongestPlainMatch(t, m, connection, preferred, [](const std::string&) { return true; });
  if (!winner.empty()) {
    d.allowed = SameName(winner, connection);
    return d;
  }
  // 6.
  if (!RoutePrefOnly(t, connection)) {
    d.allowed = !Blocked(t, connection, m);
    return d;
  }
  bool someoneCan = false;
  for (const std::string& k : t.configured) {
    if (RoutePrefOnly(t, k) || Blocked(t, k, m)) continue;
    if (!preferred.empty() && SameName(preferred, connection) && !SameName(k, preferred)) continue;
    someoneCan = true;
    break;
  }
  d.noSmscDefined = !someoneCan;
  return d;
}

std::vector<std::string> ConnectionsForMessage(const RoutingTables& t, const SmsMessageRecord& m) {
  std::vector<std::string> out;
  if (t.sdkLinkEnabled) {
    for (const std::string& r : t.sdkLinkRecipients) {
      if (EqualsNoCase(r, m.PhoneNumber)) return {"SDKLINK - VirtualSMSC"};
    }
  }
  if (!m.Sender.empty()) {
    for (const SenderEntry& s : t.senders) {
      if (!EqualsNoCase(s.sender, m.Sender) || !MayConnectionSend(t, m, s.connection).allowed) continue;
      bool seen = false;
      for (const std::string& n : out) seen |= SameName(n, s.connection);
      if (!seen) out.push_back(s.connection);
    }
    if (!out.empty()) return out;
  }
  std::string preferred = PreferredForServiceType(t, m, "");
  LongestPlainMatch(t, m, "", preferred, [](const std::string&) { return true; }, &out);
  if (!out.empty()) return out;
  // The open connections, as far as the decision itself lets them take the message (a
  // service-type preference among them would otherwise be bypassed through the cache).
  for (const std::string& k : t.configured) {
    if (!RoutePrefOnly(t, k) && !Blocked(t, k, m) && PassesRestrictions(t, k, m) && MayConnectionSend(t, m, k).allowed) {
      out.push_back(k);
    }
  }
  return out;
}

std::string RouteCacheValue(const RoutingTables& t, const SmsMessageRecord& m, std::string_view smscRoute) {
  if (!smscRoute.empty()) return "*=" + std::string(smscRoute);
  std::string value;
  for (const std::string& c : ConnectionsForMessage(t, m)) {
    if (!value.empty()) value.push_back('\t');
    value += c;
  }
  return value;
}

WorkerRouteNames RouteNamesFor(const RoutingTables& t, std::string_view connection) {
  WorkerRouteNames n;
  n.name = std::string(connection);
  if (const ConnectionRouting* c = t.Find(connection)) {
    n.routeName = c->routeName;
    if (!c->backupForRoute.empty()) {
      n.backupTarget = c->backupForRoute;
      if (const ConnectionRouting* target = t.Find(c->backupForRoute)) n.targetRouteName = target->routeName;
    }
  }
  return n;
}

bool ExplicitRouteMatches(std::string_view route, const WorkerRouteNames& n) {
  for (const std::string* name : {&n.routeName, &n.name, &n.backupTarget, &n.targetRouteName}) {
    if (!name->empty() && (EqualsNoCase(route, *name) || SameName(route, *name))) return true;
  }
  return false;
}

bool RouteCacheIncludes(std::string_view value, const WorkerRouteNames& n) {
  if (value.substr(0, 2) == "*=") return ExplicitRouteMatches(value.substr(2), n);
  // Whole tab-separated names only: "SMPP - a:1" must not match inside "SMPP - a:10".
  std::vector<std::string_view> items;
  while (true) {
    size_t tab = value.find('\t');
    items.push_back(value.substr(0, tab));
    if (tab == std::string_view::npos) break;
    value.remove_prefix(tab + 1);
  }
  for (std::string_view item : items) {
    for (const std::string* name : {&n.routeName, &n.name, &n.backupTarget, &n.targetRouteName}) {
      if (!name->empty() && SameName(item, *name)) return true;
    }
  }
  return false;
}

bool BackupNeeded(const RoutingTables& t, std::string_view target) {
  bool anyServing = false;
  for (const std::string& k : t.configured) {
    const ConnectionRouting* c = t.Find(k);
    bool serves = SameName(k, target) ||
                  (c && c->backupForRoute.empty() && !c->routeName.empty() && EqualsNoCase(c->routeName, target));
    if (!serves) continue;
    anyServing = true;
    if (!ConnectionErrorFileExists(k)) return false;
  }
  return anyServing;
}

uint32_t SendIntervalMs(std::string_view limit) {
  limit = SkipBlanks(limit);
  if (limit.empty() || limit[0] < '0' || limit[0] > '9') return 0;
  uint64_t n = 0;
  size_t i = 0;
  for (; i < limit.size() && limit[i] >= '0' && limit[i] <= '9'; ++i) n = std::min<uint64_t>(n * 10 + uint64_t(limit[i] - '0'), 1u << 30);
  if (n == 0) return 0;
  uint64_t seconds = 1;
  std::string_view rest = SkipSpaces(limit.substr(i));
  if (!rest.empty() && rest[0] == '/') {
    rest = SkipSpaces(rest.substr(1));
    uint64_t s = 0;
    size_t j = 0;
    for (; j < rest.size() && rest[j] >= '0' && rest[j] <= '9'; ++j) s = std::min<uint64_t>(s * 10 + uint64_t(rest[j] - '0'), 1u << 30);
    if (j > 0 && s > 0) seconds = s;
  }
  return uint32_t(std::min<uint64_t>(seconds * 1000 / n, 0xFFFFFFFFu));
}

bool StatusInList(std::string_view list, int status, bool hexadecimal, bool (*coveredByAll)(int status)) {
  for (const std::string& listed : SplitList(list, ",;")) {
    std::string_view item = listed;
    if (EqualsNoCase(item, "All")) {
      if (coveredByAll(status)) return true;
      continue;
    }
    if (hexadecimal) {
      if (StartsWithNoCase(item, "0x")) item.remove_prefix(2);
      uint64_t v = 0;
      bool ok = !item.empty() && item.size() <= 16;
      for (char c : item) {
        if (!IsHexDigit(c)) ok = false;
        else v = (v << 4 | uint64_t(HexDigitValue(c))) & 0xFFFFFFFFull;
      }
      if (ok && status >= 0 && v == uint64_t(status)) return true;
    } else {
      bool negative = !item.empty() && item[0] == '-';
      if (negative) item.remove_prefix(1);
      bool ok = !item.empty();
      int64_t v = 0;
      for (char c : item) {
        if (c < '0' || c > '9') ok = false;
        else v = std::min<int64_t>(v * 10 + (c - '0'), 1ll << 40);
      }
      if (ok && (negative ? -v : v) == status) return true;
    }
  }
  return false;
}

bool ValidateSMSCRoute(const RoutingTables& t, std::string_view name) {
  if (!name.empty()) {
    for (const std::string& k : t.configured) {
      if (SameName(k, name)) return true;
    }
    // Only the RouteName of a connection that runs names a route.
    for (const std::string& k : t.configured) {
      const ConnectionRouting* c = t.Find(k);
      if (c && !c->routeName.empty() && EqualsNoCase(c->routeName, name)) return true;
    }
  }
  WriteDebugLog("ValidateSMSCRoute", "Unknown smscRoute=" + std::string(name));
  return false;
}

bool ValidateSMSCRoute(std::string_view name) { return ValidateSMSCRoute(OutboundRouting, name); }
