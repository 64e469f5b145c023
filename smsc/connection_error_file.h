// The connection error file: "<connection>.ERR" in the private data directory (':', '/'
// and '\' of the name written as '-'). Present means the connection is failing.
#pragma once

#include <string>
#include <string_view>

std::string ConnectionErrorFilePath(std::string_view connection);
// A non-empty text creates or replaces the file; an empty one deletes it.
void WriteConnectionErrorFile(std::string_view connection, std::string_view text);
bool ConnectionErrorFileExists(std::string_view connection);
// Signalled (a BroadcastWake channel) whenever an error file is written or removed: a
// backup connection waits on it for its target to fail or recover.
inline constexpr const char* kConnectionErrorsChannel = "connection error files";
