#include "mms/tests/tshark_check.h"

#include <cstdint>

#include "runtime/process_runner.h"
#include "tests/support/test_files.h"

namespace {

void Put16(std::string& out, uint16_t v) { out += static_cast<char>(v >> 8), out += static_cast<char>(v); }
void Put32le(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
}

}  // namespace

std::string PcapOfHttpAnswer(const std::string& payload) {
  std::string tcp;
  Put16(tcp, 8080), Put16(tcp, 40000);
  tcp += std::string("\0\0\0\1\0\0\0\1\x50\x18\xFF\xFF\0\0\0\0", 16);
  std::string ip = "\x45";
  ip += '\0';
  Put16(ip, static_cast<uint16_t>(20 + tcp.size() + payload.size()));
  ip += std::string("\0\1\0\0\x40\x06\0\0\x7F\0\0\1\x7F\0\0\1", 16);
  std::string packet = ip + tcp + payload;
  std::string file;
  for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 101u}) Put32le(file, v);
  for (uint32_t v : {0u, 0u, static_cast<uint32_t>(packet.size()), static_cast<uint32_t>(packet.size())})
    Put32le(file, v);
  return file + packet;
}


std::string TsharkDecode(const std::string& payload, const std::string& folder) {
  std::string tshark = FindProgram("", "tshark");
  if (tshark.empty()) return "";
  WriteFileText(folder + "mms.pcap", PcapOfHttpAnswer(payload));
  ProcessOptions options;
  options.stdoutPath = folder + "tshark.txt";
  options.stderrToStdout = true;
  options.timeoutMs = 120000;
  RunProcess({tshark, "-r", folder + "mms.pcap", "-d", "tcp.port==8080,http", "-V"}, options);
  return ReadFileText(options.stdoutPath);
}
