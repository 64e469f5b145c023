// The outbound routing tables: every connection section's routing settings, the
// preferred-routing entries (RouteN) and the preferred-sender entries, built once at
// start-up before the workers run and read without locks afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class MessageKindRule { Both, BinaryOnly, TextOnly };

struct ConnectionRouting {
  std::string name;  // display name, without a leading "Modem - "
  std::string routeName;
  std::string backupForRoute;  // without a leading "Modem - "
  bool routePrefOnly = false;
  bool route1Empty = true;
  bool allowedUserOnly = false;
  std::vector<std::string> allowedUsers;
  MessageKindRule kinds = MessageKindRule::Both;
  bool hasAttributes = false;  // has "service_type=" entries
};

struct RouteEntry {
  enum Kind { Plain, Block, Attribute } kind = Plain;
  std::string pattern;     // recipient pattern, or the service-type pattern of an attribute
  bool serviceType = false;  // a block whose pattern is "service_type=..."
  std::string connection;
};

struct SenderEntry {
  std::string sender;
  std::string connection;
};

struct RoutingTables {
  std::vector<ConnectionRouting> connections;  // in the order of the configuration file
  std::vector<RouteEntry> routes;
  std::vector<SenderEntry> senders;
  std::vector<std::string> configured;  // ModemN values in N order
  bool sdkLinkEnabled = false;
  std::vector<std::string> sdkLinkRecipients;  // keys of [SDKLink]

  const ConnectionRouting* Find(std::string_view connection) const;
};

// The process-wide tables.
extern RoutingTables OutboundRouting;

// Builds the tables from the configuration (every section named "HTTP - ", "SMPP - ",
// "UCP - ", "CIMD - ", "Modem - " or "IPModem - ", in file order); logs each entry.
void BuildOutboundRoutingTables(RoutingTables& tables);
// Start-up entry: builds OutboundRouting.
void BuildOutboundRoutingTables();

// The name of a connection as the routing tables hold it.
std::string RoutingConnectionName(std::string_view name);
