// Which connections may send a message: the route decision, the route-cache value, the
// explicit-route test, the backup test, the send interval, the reject-code lists and the
// check of a route name given by a client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smsc/routing_tables.h"
#include "store/message_file.h"

struct RouteDecision {
  bool allowed = false;
  bool noSmscDefined = false;  // no connection at all can take the message
};

// Recipient and service-type patterns: "?" one character, "*" any run (with
// backtracking, so "44*0" matches "4400"), whole text, without regard to case.
bool RoutePatternMatches(std::string_view pattern, std::string_view text);

// What the rules read of m: SubmitUser, Sender, PhoneNumber, ServiceType and Binary.
RouteDecision MayConnectionSend(const RoutingTables& tables, const SmsMessageRecord& m, std::string_view connection);
// The connections that may send m: the route-cache value without an explicit route.
std::vector<std::string> ConnectionsForMessage(const RoutingTables& tables, const SmsMessageRecord& m);
// The route-cache value: "*=" + explicit route, or the connection names joined by tabs.
std::string RouteCacheValue(const RoutingTables& tables, const SmsMessageRecord& m, std::string_view smscRoute);

// The four names by which a worker answers to an explicit route.
struct WorkerRouteNames {
  std::string name, routeName, backupTarget, targetRouteName;
};
WorkerRouteNames RouteNamesFor(const RoutingTables& tables, std::string_view connection);
bool ExplicitRouteMatches(std::string_view smscRoute, const WorkerRouteNames& names);
// The worker's test of a route-cache value.
bool RouteCacheIncludes(std::string_view value, const WorkerRouteNames& names);

// A connection whose BackupForRoute is target: true when at least one connection serves
// the target and every serving connection has its connection error file.
bool BackupNeeded(const RoutingTables& tables, std::string_view target);

// SMSCSendLimit "N" or "N/S": milliseconds between submissions, 0 = no limit.
uint32_t SendIntervalMs(std::string_view limit);

// Whether status is listed in a reject-code list: numbers hexadecimal ("0x" optional) or
// decimal (signed), separated by "," or ";"; "All" for every status for which coveredByAll
// is true.
bool StatusInList(std::string_view list, int status, bool hexadecimal, bool (*coveredByAll)(int status));

// A route name given by a client: a configured connection (every ModemN, gaps and all) or
// the RouteName of one.
bool ValidateSMSCRoute(std::string_view name);
bool ValidateSMSCRoute(const RoutingTables& tables, std::string_view name);
