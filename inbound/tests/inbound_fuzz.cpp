// libFuzzer target for what the inbound side reads from received bytes: the user data
// header, a report's "id:"/"stat:" text, segment file names, and the argument splitter of
// command lines.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "inbound/inbound_processing.h"
#include "inbound/inbound_receive.h"
#include "inbound/two_way_command.h"
#include "inbound/udh_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  UdhFacts udh = ReadUdh(bytes);
  if (udh.concatenated && (udh.number == 0 || udh.number > udh.total)) __builtin_trap();
  ParseDeliveryReport(bytes, bytes);
  ReportTextWithId(bytes, "0000ABCD");
  SarName name;
  if (ParseSarFileName(bytes, name)) {
    SarName again;
    if (!ParseSarFileName(SarFileName(name.sender, name.reference, name.total, name.number), again)) __builtin_trap();
  }
  std::string sar = SarFileName(bytes, 1, 2, 1);
  if (sar.find('/') != std::string::npos) __builtin_trap();
  for (const std::string& a : SplitCommandArguments(bytes)) {
    if (a.find('"') != std::string::npos) __builtin_trap();
  }
  KeywordOf(bytes);
  return 0;
}
