// libFuzzer target: any reply text goes through the "+CPMS:", "+CMGL:", "+CNUM:" and
// "+CNMI:" readers without reading past it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "smsc/modem/modem_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)ParseCpmsReply(text);
  (void)ParseCpmsOffer(text);
  (void)ParseCmglReply(text, false);
  (void)ParseCmglReply(text, true);
  (void)ParseCnumNumber(text);
  std::string value = CnmiValue(text);
  (void)CnmiWithIndications(value);
  (void)CnmiWithReports(value, '1');
  (void)CregNotRegistered(text);
  (void)CopsSelected(text);
  (void)CfunResetSupported(text);
  (void)CmgsReference(text);
  return 0;
}
