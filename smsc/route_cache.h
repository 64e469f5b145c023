// The message-route cache: per queue file (path relative to the queue root), the
// connections that may send it ("*=" + route for an explicit route, else names joined by
// tabs), so that workers that cannot send a file do not open it on every pass.
#pragma once

#include <string>
#include <string_view>

// Inserted only when the key has no entry yet.
void MessageRoutesAdd(std::string_view relativePath, std::string_view value);
bool MessageRoutesFind(std::string_view relativePath, std::string& value);
void MessageRoutesRemove(std::string_view relativePath);
// Drops the entries whose file is gone from below queueRoot (deleted by an operator or by
// housekeeping); returns how many were dropped.
size_t MessageRoutesPrune(const std::string& queueRoot);
size_t MessageRoutesCount();
void MessageRoutesClear();
