// The data directories of an installation, each ending in "/".
#pragma once

#include <string>
#include <string_view>

// Creates the directory and its missing parents; true when it exists afterwards.
bool EnsureDirectory(const std::string& path);

// $QARSMS_HOME/ (default /var/lib/qarsms/), created when missing.
std::string ProgramDataDir();
// Program data + name + "/", created when missing.
std::string ProgramDataSubdir(std::string_view name);

// A configured directory with "/" added when missing, or the default; created.
std::string ConfiguredDirectory(std::string_view configured, const std::string& fallback);

// [QARHUB] MessageIDTrackingDir of QARHUB.INI, else program data + "SMPPData/"; created.
std::string MessageIdTrackingDir();
// [MMSC] DataDir of MMSC.INI, else program data + "MMSCDATA/"; created.
std::string MMSCDataDir();
