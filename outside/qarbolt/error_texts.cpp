// CIMDErrorText: a text for every result of the library.
#include <cstdio>

#include "outside/qarbolt/qarbolt.h"

namespace {
struct StatusText {
  int status;
  const char* text;
};
constexpr StatusText kTexts[] = {
    {0, "No error"},
    {1, "Unexpected operation"},
    {2, "Syntax error"},
    {3, "Unsupported parameter error"},
    {4, "Connection to SMS Center lost"},
    {5, "No response from SMS Center"},
    {6, "General system error"},
    {7, "Cannot find information"},
    {8, "Parameter formatting error"},
    {9, "Requested operation failed"},
    {10, "Temporary congestion error"},
    {100, "Invalid login"},
    {101, "Incorrect access type"},
    {102, "Too many users with this login ID"},
    {103, "Login refused by SMS Center"},
    {104, "Invalid window size"},
    {105, "Windowing disabled"},
    {106, "Virtual SMS Center-based barring"},
    {107, "Invalid subaddr"},
    {108, "Alias account, login refused"},
    {300, "Incorrect destination address"},
    {301, "Incorrect number of destination addresses"},
    {302, "Syntax error in user data parameter"},
    {303, "Incorrect bin/head/normal user data parameter combination"},
    {304, "Incorrect dcs parameter usage"},
    {305, "Incorrect validity period parameters usage"},
    {306, "Incorrect originator address usage"},
    {307, "Incorrect PID parameter usage"},
    {308, "Incorrect first delivery parameter usage"},
    {309, "Incorrect reply path usage"},
    {310, "Incorrect status report request parameter usage"},
    {311, "Incorrect cancel enabled parameter usage"},
    {312, "Incorrect priority parameter usage"},
    {313, "Incorrect tariff class parameter usage"},
    {314, "Incorrect service description parameter usage"},
    {315, "Incorrect transport type parameter usage"},
    {316, "Incorrect message type parameter usage"},
    {318, "Incorrect MMs parameter usage"},
    {319, "Incorrect operation timer parameter usage"},
    {320, "Incorrect dialogue ID parameter usage"},
    {321, "Incorrect alpha originator address usage"},
    {322, "Invalid data for alpha numeric originator"},
    {400, "Incorrect address parameter usage"},
    {401, "Incorrect scts parameter usage"},
    {500, "Incorrect scts parameter usage"},
    {501, "Incorrect mode parameter usage"},
    {502, "Incorrect parameter combination"},
    {600, "Incorrect scts parameter usage"},
    {601, "Incorrect address parameter usage"},
    {602, "Incorrect mode parameter usage"},
    {603, "Incorrect parameter combination"},
    {800, "Changing password failed"},
    {801, "Changing password not allowed"},
    {900, "Unsupported item requested"},
    {CIMD_ERROR_LINK, "CIMD connection error (link closed or socket error)"},
    {CIMD_ERROR_TIMEOUT, "CIMD timeout waiting for a response"},
    {CIMD_ERROR_PROTOCOL, "CIMD protocol error (malformed packet or a value that cannot be sent)"},
};
}  // namespace

extern "C" __attribute__((visibility("default"))) const char* CIMDErrorText(int status) {
  for (const StatusText& t : kTexts) {
    if (t.status == status) return t.text;
  }
  // Unknown codes get their number; the buffer is per thread so that callers on several
  // threads never see each other's text.
  thread_local char buffer[40];
  snprintf(buffer, sizeof buffer, "CIMD error %d", status);
  return buffer;
}
