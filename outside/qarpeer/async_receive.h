// The queue of received messages per connection name when asynchronous receiving is on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "outside/qarpeer/message_content.h"
#include "outside/qarpeer/peer_session.h"

namespace peer {

// More waiting than this per connection and new messages are answered "queue full".
constexpr size_t kAsyncReceiveLimit = 2000;

// -1 when asynchronous receiving is off for the session's connection (answer inline);
// 0 when the message was queued (taken from message; answered later); else the status to
// answer at once.
int QueueReceived(Session& s, uint32_t commandId, uint32_t sequence, std::unique_ptr<ReceivedMessage>& message);
void SetAsyncReceive(const std::string& name, bool on);
// Hands the queued messages of the connection to the receive callback and answers them;
// the number handed over.
int ReceiveFromAsyncQ(const std::string& name);

}  // namespace peer
