// UCPErrorText: a text for every error code a centre answers and for the library's own.
#include "outside/qarkite/qarkite.h"

#define QARKITE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
struct StatusText {
  int status;
  const char* text;
};
constexpr StatusText kTexts[] = {
    {UCP_ERROR_LINK, "Link error: the connection to the SMS centre failed or was closed"},
    {UCP_ERROR_TIMEOUT, "Timeout: the SMS centre did not answer in time"},
    {UCP_ERROR_PROTOCOL, "Protocol error: malformed answer, or a value that cannot be sent over UCP"},
    {0, "No error"},
    {1, "Checksum error"},
    {2, "Syntax error"},
    {3, "Operation not supported by system"},
    {4, "Operation not allowed"},
    {5, "Call barring active"},
    {6, "AdC invalid"},
    {7, "Authentication failure"},
    {8, "Legitimisation code for all calls, failure"},
    {9, "GA not valid"},
    {10, "Repetition not allowed"},
    {11, "Legitimisation code for repetition, failure"},
    {12, "Priority call not allowed"},
    {13, "Legitimisation code for priority call, failure"},
    {14, "Urgent message not allowed"},
    {15, "Legitimisation code for urgent message, failure"},
    {16, "Reverse charging not allowed"},
    {17, "Legitimisation code for reverse charging, failure"},
    {18, "Deferred delivery not allowed"},
    {19, "New AC not valid"},
    {20, "New legitimisation code not valid"},
    {21, "Standard text not valid"},
    {22, "Time period not valid"},
    {23, "Message type not supported by system"},
    {24, "Message too long"},
    {25, "Requested standard text not valid"},
    {26, "Message type not valid for the pager type"},
    {27, "Message not found in SMSC"},
    {30, "Subscriber hang-up"},
    {31, "Fax group not supported"},
    {32, "Fax message type not supported"},
    {33, "Address already in list"},
    {34, "Address not in list"},
    {35, "List full, cannot add address to list"},
    {36, "RPID already in use"},
    {37, "Delivery in progress"},
    {38, "Message forwarded"},
};
}  // namespace

QARKITE_EXPORT const char* UCPErrorText(int status) {
  for (const StatusText& t : kTexts) {
    if (t.status == status) return t.text;
  }
  return "Unknown UCP error";
}
