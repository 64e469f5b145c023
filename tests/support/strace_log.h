// Reads an strace -f log (each line led by the thread id) call by call.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

struct TracedCall {
  std::string pid;
  std::string call;       // from the name on; a split call's two halves joined
  bool complete = true;   // false: its first half, the call still running
  bool resumed = false;   // a split call, now complete
};

// Calls fn for every line that is a call: once for a complete call, twice for one another
// thread split ("<unfinished ...>": complete false; "<... resumed>": joined, complete).
void ForEachTracedCall(const std::string& log, const std::function<void(const TracedCall&)>& fn);

// What an strace -f -x log shows of answers that promise stored files: files published
// (a successful linkat that isPublish accepts), flushes, answers (the count of answer in each
// write or send; several may share one), and the answers that left while a published file
// was not yet covered. A file is covered by a syncfs begun after its link, or (with -y, and
// fdatasync, fsync and close traced) by an fdatasync of the descriptor it was linked from
// followed by an fsync of its directory: a flush of its own, counted in fileFlushes too.
struct FlushCoverage {
  size_t linked = 0, flushes = 0, fileFlushes = 0, answers = 0, answersBeforeFlush = 0, answerWrites = 0;
  // With AnswerIds: the ids published and answered, and the answered ones whose file had its
  // data flushed, and was wholly covered, before their answer left.
  std::set<std::string> linkedIds, answeredIds, dataFlushedBeforeAnswer, coveredBeforeAnswer;
};
// The id a publishing link names, and the ids an answer's write or send names.
struct AnswerIds {
  std::function<std::string(const std::string& link)> published;
  std::function<std::vector<std::string>(const std::string& write)> answered;
};
FlushCoverage ReadFlushCoverage(const std::string& log, const std::function<bool(const std::string& call)>& isPublish,
                                const std::string& answer, const AnswerIds* ids = nullptr);
