// The files waiting for the inbound workers of one kind. One listing of the inbound folders
// serves every worker of that kind and each listed file goes to one worker: a wake-up costs
// one walk, not one per worker, and no worker races another for the same claim.
#pragma once

#include <cstddef>
#include <string>

enum class InboundFileKind { Messages, Reports, Receipts };  // "*.IN", "*.REC", "*.RCT"

// Something may have arrived: the next worker that finds nothing queued walks the folders.
// Requests made while a walk runs are answered by one more walk after it.
void RequestInboundListing(InboundFileKind kind);
// The next file for this worker, taken out of the queue until ReleaseInboundFile; empty when
// nothing is queued and no walk is due. A worker may do the walk itself, or wait for the walk
// another worker is doing.
std::string TakeInboundFile(InboundFileKind kind);
// The worker is done with path, whether the file was completed or stays.
void ReleaseInboundFile(InboundFileKind kind, const std::string& path);
// Of the idle workers of messages and reports, one watches for wake-ups (true: the caller
// is it, until EndInboundWatch, which also asks for a walk); the others wait to be handed a
// file (WaitForInboundFile), so that one stored file wakes one worker, not all.
bool BecomeInboundWatcher(InboundFileKind kind);
void EndInboundWatch(InboundFileKind kind);
// Up to ms for a file queued for kind, the watch to fall free or WakeIdleInboundWorkers; false
// when none of them came.
bool WaitForInboundFile(InboundFileKind kind, unsigned ms);
// Ends the waits of WaitForInboundFile at once (the stop).
void WakeIdleInboundWorkers();
// How many walks of kind ran since the start.
size_t InboundListingCount(InboundFileKind kind);
