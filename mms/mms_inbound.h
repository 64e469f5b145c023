// MMS that arrive by WAP push on port 2948: a notification is queued as an "[MMSINQ]" file
// for the retrieval worker of its connection, a whole pushed message is stored at once.
#pragma once

#include <string>
#include <string_view>

// The notification folder of a connection: MMSINQ/<name with : / \ * ? as -> under the
// private data directory, created on demand; MMSINQ/ itself for no connection or when the
// subfolder cannot be made.
std::string MmsQueueDirectory(std::string_view connection);

// Queues a notification (m-notification-ind PDU) received by connection for recipient,
// unless the pair connection + content location is already known; then records the pair
// and starts the connection's worker. True when queued or discarded as a duplicate.
bool QueueMMSNotification(std::string_view connection, std::string_view recipient, std::string_view notification);

// The inbound workers' hand-over for a message to port 2948 with ReceiveMMS on: data is the
// WSP push (transaction id, PDU type, headers, body) after recombination. True when the
// message was handled (queued, stored, a duplicate or not ours to process) and its file may
// go; false when it must stay for a later pass (nothing could be stored or queued).
bool ReceiveMMSPush(std::string_view connection, std::string_view recipient, std::string_view data);
