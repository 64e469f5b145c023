// "ThreadReceiveWAPPushUDP": WAP push datagrams (MMS notifications over IP) become
// inbound files.
#pragma once

#include <cstddef>
#include <string>

// Handles one datagram: logs it and writes the inbound file. False (logged) when the
// datagram is too large for a message file's Data value, or the file cannot be written.
bool ProcessWAPPushPacket(const unsigned char* data, size_t length, const std::string& senderAddress);
void ThreadReceiveWAPPushUDP(int socket);
