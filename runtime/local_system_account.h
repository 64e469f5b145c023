// The internal account "localsystem", by which the gateway's own components call its web
// interface from this host. Its password is made once per installation.
#pragma once

#include <string>

inline constexpr const char* kLocalSystemUser = "localsystem";
inline constexpr const char* kLocalSystemKeyFile = "LOCALSYSTEM.KEY";

// The password kept in LOCALSYSTEM.KEY of privateDirectory (ending in "/"): 32 random
// hexadecimal characters, made with mode 0600 when the file is missing or empty. "" when
// it can neither be read nor made (the account then never logs in).
std::string LocalSystemPasswordIn(const std::string& privateDirectory);
// The same for the private data directory of this installation.
std::string LocalSystemPassword();
