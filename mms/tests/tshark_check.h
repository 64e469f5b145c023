// MMS PDUs shown to tshark: one HTTP message on loopback port 8080 as a capture file, and
// tshark's full decoding of it.
#pragma once

#include <string>

// One raw-IP packet from port 8080 holding payload, as a whole capture file.
std::string PcapOfHttpAnswer(const std::string& payload);
// tshark -V of the payload (an HTTP request or answer) with port 8080 read as HTTP; "" when
// tshark is not installed.
std::string TsharkDecode(const std::string& payload, const std::string& folder);
