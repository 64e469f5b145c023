// Socket helpers shared by the listeners and the clients.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/unique_fd.h"

// Shuts down the sending side, waits (at most 60 s, or until the stop flag) for the peer
// to close while discarding what it still sends, then closes the socket.
void CloseSocketGracefully(UniqueFd& socket);

// The listen address: IPAddress when it is one of the first 100 addresses the host name
// resolves to, else "" (all interfaces).
std::string ResolveListenAddress(const std::string& configured);

enum class ListenStage { Ok, Socket, Bind, Listen };
struct ListenResult {
  UniqueFd socket;
  ListenStage failedAt = ListenStage::Ok;
  int error = 0;  // errno of the failing call
};
// A TCP listener on address ("" = all interfaces, IPv6 as well when the host has it) and
// port, with the given backlog.
ListenResult OpenTcpListener(const std::string& address, uint16_t port, int backlog);

// The port a bound socket listens on (0 when unknown).
uint16_t BoundPort(int socket);
