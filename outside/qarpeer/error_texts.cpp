// SMPPErrorText: a text for every result of the library.
#include <cstdio>

#include "outside/qarpeer/qarpeer.h"

namespace {
struct StatusText {
  int status;
  const char* text;
};
constexpr StatusText kTexts[] = {
    {0x00, "No Error"},
    {0x01, "Message Length is invalid"},
    {0x02, "Command Length is invalid"},
    {0x03, "Invalid Command ID"},
    {0x04, "Incorrect BIND Status for given command"},
    {0x05, "ESME Already in Bound State"},
    {0x06, "Invalid Priority Flag"},
    {0x07, "Invalid Registered Delivery Flag"},
    {0x08, "System Error"},
    {0x0A, "Invalid Source Address"},
    {0x0B, "Invalid Dest Addr"},
    {0x0C, "Message ID is invalid"},
    {0x0D, "Bind Failed"},
    {0x0E, "Invalid Password"},
    {0x0F, "Invalid System ID"},
    {0x11, "Cancel SM Failed"},
    {0x13, "Replace SM Failed"},
    {0x14, "Message Queue Full"},
    {0x15, "Invalid Service Type"},
    {0x33, "Invalid number of destinations"},
    {0x34, "Invalid Distribution List name"},
    {0x40, "Destination flag is invalid"},
    {0x42, "Invalid submit with replace request"},
    {0x43, "Invalid esm_class field data"},
    {0x44, "Cannot Submit to Distribution List"},
    {0x45, "submit_sm or submit_multi failed"},
    {0x48, "Invalid Source address TON"},
    {0x49, "Invalid Source address NPI"},
    {0x50, "Invalid Destination address TON"},
    {0x51, "Invalid Destination address NPI"},
    {0x53, "Invalid system_type field"},
    {0x54, "Invalid replace_if_present flag"},
    {0x55, "Invalid number of messages"},
    {0x58, "Throttling error (ESME has exceeded allowed message limits)"},
    {0x61, "Invalid Scheduled Delivery Time"},
    {0x62, "Invalid message validity period (Expiry time)"},
    {0x63, "Predefined Message Invalid or Not Found"},
    {0x64, "ESME Receiver Temporary App Error Code"},
    {0x65, "ESME Receiver Permanent App Error Code"},
    {0x66, "ESME Receiver Reject Message Error Code"},
    {0x67, "query_sm request failed"},
    {0xC0, "Error in the optional part of the PDU Body"},
    {0xC1, "Optional Parameter not allowed"},
    {0xC2, "Invalid Parameter Length"},
    {0xC3, "Expected Optional Parameter missing"},
    {0xC4, "Invalid Optional Parameter Value"},
    {0xFE, "Delivery Failure (used for data_sm_resp)"},
    {0xFF, "Unknown Error"},
    {SMPP_ERROR_LINK, "SMPP connection error (link closed or socket error)"},
    {SMPP_ERROR_TIMEOUT, "SMPP timeout waiting for a response"},
    {SMPP_ERROR_PROTOCOL, "SMPP protocol error (malformed PDU)"},
};
}  // namespace

extern "C" __attribute__((visibility("default"))) const char* SMPPErrorText(int status) {
  for (const StatusText& t : kTexts) {
    if (t.status == status) return t.text;
  }
  // Unknown statuses get their number; the buffer is per thread so that callers on several
  // threads never see each other's text.
  thread_local char buffer[48];
  snprintf(buffer, sizeof buffer, "SMPP error 0x%08X", unsigned(status));
  return buffer;
}
