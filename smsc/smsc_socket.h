// The TCP steps that the SMS centre drivers share: the address families of a host, the
// local bind, and the closing drain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/unique_fd.h"

// The address families of host in the resolver's order of preference, each once; IPv4
// alone when the name does not resolve (the connect then reports it).
std::vector<int> FamiliesOf(const std::string& host);
// Binds sock to bindIP (empty: any address) and port (0: any).
bool BindLocal(int sock, int family, const std::string& bindIP, uint16_t port);
// Shuts the sending side, reads what the peer still sends (for at most a minute, less when
// stopping), closes.
void CloseSession(UniqueFd& sock);
