// Durable acceptance: what a thread publishes while it collects is flushed to stable storage
// before the thread answers for it. Threads that wait at the same time share one flush
// (group commit): the first waiter flushes everything handed in so far, the others wait for
// it, and those that arrive meanwhile share the next one, so the cost per message falls as
// the load rises. Deletes and retry rewrites are never waited for: a lost delete is a
// message sent again, a lost rewrite an earlier retry.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "runtime/unique_fd.h"

enum class FlushMethod {
  PerFile,  // fdatasync of every file, then one fsync per directory touched
  SyncFs,   // one syncfs per file system touched; a flush of one file alone goes per file
};
void SetFlushMethod(FlushMethod method);
FlushMethod CurrentFlushMethod();

// A flush handed to the flusher thread by DurableWrites::HandOff.
struct FlushTicket;
using FlushHandle = std::shared_ptr<FlushTicket>;

// Collects what this thread publishes from here on (when on). A scope inside another one
// collects nothing itself: the outer one answers and waits. What was not awaited is dropped
// when the scope ends.
class DurableWrites {
 public:
  explicit DurableWrites(bool on);
  ~DurableWrites();
  DurableWrites(const DurableWrites&) = delete;
  DurableWrites& operator=(const DurableWrites&) = delete;
  // Waits until every file published since the scope began, and its directory entry, is
  // on stable storage. False when a flush failed (the files may be lost in a power cut).
  bool Await();
  // Hands what was collected so far, with its WhenDurable steps, to the flusher thread and
  // returns at once, so that the thread goes on (reading the next submissions) while the
  // files are flushed. notifyFd (an eventfd) is signalled when that flush is done; then
  // FinishFlush answers for it. Nothing collected: the handle is done already.
  FlushHandle HandOff(int notifyFd);
  bool collecting() const { return owner_; }

 private:
  bool owner_ = false;
};

// Runs settled(flushed) once the files this thread published so far are settled: at the
// end of the outermost scope's Await (flushed: its flush worked), at once (true) when no scope
// collects, or with false when the scope ends unawaited. What a file's answer promises beyond
// the file (log lines, notices) goes here, and so does taking back a file whose flush failed.
void WhenDurable(std::function<void(bool flushed)> settled);

// Whether a handed-off flush is done.
bool FlushDone(const FlushHandle& flush);
// Waits for a handed-off flush if need be, runs its WhenDurable steps on this thread and
// says whether it worked. Once per handle.
bool FinishFlush(const FlushHandle& flush);

// Called by the publisher with the descriptor of a file it just gave its final name in
// directory (ending in "/"); madeDirectories: the directory itself was created for it.
// The descriptor is kept until the flush when this thread collects, else closed.
void NoteDurableFile(UniqueFd fd, const std::string& directory, bool madeDirectories);

// Flushes since the process started (for the benchmarks and tests): flushes run and files
// flushed.
struct FlushCounts {
  size_t flushes = 0;
  size_t files = 0;
};
FlushCounts DurableFlushCounts();
