// The console's modem test: opens a modem as the gateway does (the same line I/O and
// device lock), unlocks the SIM, checks that it answers and supports SMS, and finds out
// whether it sends in PDU mode or only in text mode.
#pragma once

#include <string>

struct ModemCheckResult {
  bool passed = false;
  bool textOnly = false;  // passed, but the modem sends text messages only
  std::string text;       // for the operator (lines end in CR LF)
};

ModemCheckResult CheckModem(const std::string& modemName, const std::string& pin);
// Writes the outcome as Result in [ModemTest] of MODEMTEST.INI (one line).
bool RecordModemCheck(const ModemCheckResult& r);
// The switch form: the modem of Modem1 with its PIN; the outcome is printed (unless quiet)
// and recorded for the copy of the console that started this one.
bool ModemTestOfConfiguredModem(bool quiet);
// Sets key in section of another INI file of the data folder through the configuration
// library.
bool WriteDataFolderIni(const std::string& fileName, const std::string& section, const std::string& key,
                        const std::string& value);
