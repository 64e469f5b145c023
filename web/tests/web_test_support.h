// The test gateway of the web tests: a data folder, the plain and TLS listeners on free
// loopback ports, and small clients.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/unique_fd.h"
#include "tests/support/test_files.h"

struct WebTestGateway {
  std::string home;      // the data folder, ends in "/"
  uint16_t plainPort = 0;
  uint16_t tlsPort = 0;  // 0 when TLS could not be set up
};
extern WebTestGateway TestGateway;

// Resets the web, access and account settings to the defaults of a fresh start.
void ResetWebTestSettings();

// Connects from fromAddress (a loopback address) to the plain port; sends request; reads
// until the server closes or timeoutMs pass without data.
std::string RawExchange(const std::string& request, const std::string& fromAddress = "127.0.0.1",
                        int timeoutMs = 5000, uint16_t port = 0);
UniqueFd ConnectLoopback(uint16_t port, const std::string& fromAddress = "127.0.0.1");
// Reads until the text holds word (or close, or timeoutMs in all).
std::string ReadUntilContains(int socket, const std::string& word, int timeoutMs);
// Reads what arrives until close or timeoutMs of quiet.
std::string ReadUntilQuiet(int socket, int timeoutMs);
// Runs a shell command (bounded by timeout(1)) and returns its standard output.
std::string RunCommand(const std::string& command);
std::string Url(const std::string& path);
size_t CountOf(const std::string& text, const std::string& word);
