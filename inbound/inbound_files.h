// Claiming and finishing inbound files: open (claim), close and delete happen under one
// inbound lock shared by every inbound worker.
#pragma once

#include <string>

#include "inbound/inbound_processing.h"
#include "store/queue_file.h"

// Claims path without reading it; false when it is gone or held by another worker.
bool ClaimInboundPath(const std::string& path, ClaimedFile& file);
// Claims path and reads it into facts. False when it is gone, held by another worker, or
// cannot be read.
bool ClaimInboundFile(const std::string& path, ClaimedFile& file, InboundFileFacts& facts);
// Writes the copy the result asks for beside the file, then deletes a completed file
// (counted off the queue-size counter) or leaves an incomplete one. True when completed.
bool FinishInboundFile(ClaimedFile& file, const InboundFileFacts& facts, const InboundResult& result, int counter);
// The copy with extension (".SMS", ".BAD") beside the file; "" when it cannot be written.
std::string WriteCopyBeside(const InboundFileFacts& facts, const char* extension);
// Deletes a claimed file under the inbound lock.
bool DeleteInboundFile(ClaimedFile& file);
