// The listening sockets of the web and SMPP servers, opened at start-up.
#pragma once

#include <cstdint>

#include <string>

#include "runtime/unique_fd.h"

struct ListenersRecord {
  UniqueFd web;
  UniqueFd webSSL;
  UniqueFd smpp;
  UniqueFd smppSSL;
  UniqueFd udpPush;  // MMS notifications over IP (UDP 2948)
  uint16_t webPort = 0;
  uint16_t webPortSSL = 0;
};
extern ListenersRecord Listeners;

// Start-up steps 11 to 14. Returns false when the process must exit (-1) because no web
// listener could be set up; the status bytes, logs, alert and the 30-second wait are done.
bool OpenListeners(const std::string& listenAddress);
// Binds UDP port 2948 on all interfaces when ListenMMSNotificationIP is on.
void OpenUdpPushListener();
// Shutdown step 1.
void CloseListeners();
