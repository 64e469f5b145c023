// The real gateway with one modem connection, on a temporary data folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"

struct ModemGateway {
  GatewayHome home;
  uint16_t webPort = FreeTcpPort();
  std::string device;
  std::unique_ptr<GatewayProcess> process;
  // [QARHUB] with Modem1 = device and short reconnect and retry delays, then the lines
  // given; the connection's section with its lines.
  void Configure(const std::string& modemDevice, const std::vector<std::string>& main = {},
                 const std::vector<std::string>& section = {}, const std::string& extraSections = "");
  void Start() { process = std::make_unique<GatewayProcess>(home, "qargate"); }
  // A queue file, published complete under its name.
  void Drop(const std::string& name, const std::string& body);
  std::string QueueFile(const std::string& name) const;
  // No message file (".req") is left in the queue.
  bool QueueEmpty() const;
  std::string Debug() const { return home.DebugLog(); }
  // The files of received messages and reports, one per message, and their text joined.
  std::vector<std::string> Received() const;
  std::vector<std::string> ReceivedTexts() const;
  std::string ReceivedText() const;
  std::string ErrorFile() const;
  std::string Section() const { return "Modem - " + device; }
};
