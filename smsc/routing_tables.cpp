#include "smsc/routing_tables.h"

#include <vector>

#include "config/connections.h"
#include "config/settings.h"
#include "config/settings_registry.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"

RoutingTables OutboundRouting;

namespace {

constexpr std::string_view kConnectionPrefixes[] = {"HTTP - ", "SMPP - ", "UCP - ", "CIMD - ", "Modem - ", "IPModem - "};
constexpr uint32_t kMaxRoutes = 10000;
constexpr std::string_view kServiceTypeKey = "service_type=";

std::vector<std::string> SectionNames() {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    uint32_t n = SMSIniGetProfileString(nullptr, nullptr, "", buffer.data(), uint32_t(buffer.size()));
    if (n + 2 < buffer.size() || buffer.size() >= (16u << 20)) {
      std::vector<std::string> names;
      for (size_t i = 0; i < n && buffer[i];) {
        std::string name(buffer.data() + i);
        i += name.size() + 1;
        names.push_back(std::move(name));
      }
      return names;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string RoutingConnectionName(std::string_view name) {
  if (StartsWithNoCase(name, "Modem - ")) name.remove_prefix(8);
  return std::string(name);
}

const ConnectionRouting* RoutingTables::Find(std::string_view connection) const {
  std::string name = RoutingConnectionName(connection);
  for (const ConnectionRouting& c : connections) {
    if (EqualsNoCase(c.name, name)) return &c;
  }
  return nullptr;
}

void BuildOutboundRoutingTables(RoutingTables& tables) {
  tables = RoutingTables{};
  for (const std::string& section : SectionNames()) {
    bool isConnection = false;
    for (std::string_view prefix : kConnectionPrefixes) isConnection |= StartsWithNoCase(section, prefix);
    if (!isConnection) continue;
    ConnectionRouting c;
    c.name = RoutingConnectionName(ConnectionDisplayName(section));
    c.routeName = ConnectionValue(section, "RouteName");
    c.backupForRoute = RoutingConnectionName(ConnectionValue(section, "BackupForRoute"));
    c.routePrefOnly = ConnectionFlag(section, "RoutePrefOnly");
    c.allowedUserOnly = ConnectionFlag(section, "AllowedUserOnly");
    for (uint32_t i = 1;; ++i) {
      std::string user = ConnectionValue(section, "AllowedUser" + std::to_string(i));
      if (user.empty()) break;
      c.allowedUsers.push_back(user);
    }
    std::string kinds = ConnectionValue(section, "BinaryOrTextOnly");
    if (EqualsNoCase(kinds, "Binary")) c.kinds = MessageKindRule::BinaryOnly;
    if (EqualsNoCase(kinds, "Text")) c.kinds = MessageKindRule::TextOnly;
    for (uint32_t i = 1; i <= kMaxRoutes; ++i) {
      std::string value = ConnectionValue(section, "Route" + std::to_string(i));
      if (value.empty()) break;
      if (i == 1) c.route1Empty = false;
      RouteEntry e;
      e.connection = c.name;
      std::string_view v = value;
      if (!v.empty() && v[0] == '!') {
        e.kind = RouteEntry::Block;
        v.remove_prefix(1);
        if (StartsWithNoCase(v, kServiceTypeKey)) {
          e.serviceType = true;
          v.remove_prefix(kServiceTypeKey.size());
        }
      } else if (v.find('=') != std::string_view::npos) {
        e.kind = RouteEntry::Attribute;
        // Only "service_type=" is understood; other attributes never match.
        if (StartsWithNoCase(v, kServiceTypeKey)) {
          e.serviceType = true;
          v.remove_prefix(kServiceTypeKey.size());
          c.hasAttributes = true;
        }
      }
      e.pattern = std::string(v);
      WriteDebugLogf("BuildOutboundRoutingTables", "preferred routing = %s -> %s", value.c_str(), c.name.c_str());
      tables.routes.push_back(std::move(e));
    }
    std::string owned = ConnectionValue(section, "PhoneNumber");
    if (owned.empty()) owned = ConnectionValue(section, "SenderAddress");
    for (std::string& sender : SplitList(owned)) {
      WriteDebugLogf("BuildOutboundRoutingTables", "preferred sender = %s -> %s", sender.c_str(), c.name.c_str());
      tables.senders.push_back({std::move(sender), c.name});
    }
    tables.connections.push_back(std::move(c));
  }
  for (const ConfiguredConnection& c : EnumerateConnections()) {
    tables.configured.push_back(RoutingConnectionName(c.displayName));
  }
  tables.sdkLinkEnabled = Settings.SDKLinkEnabled;
  if (tables.sdkLinkEnabled) {
    for (auto& [key, value] : SMSIniSection("SDKLink")) tables.sdkLinkRecipients.push_back(key);
  }
}

void BuildOutboundRoutingTables() { BuildOutboundRoutingTables(OutboundRouting); }
