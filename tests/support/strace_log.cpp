#include "tests/support/strace_log.h"

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

void ForEachTracedCall(const std::string& log, const std::function<void(const TracedCall&)>& fn) {
  std::map<std::string, std::string> unfinished;  // pid -> the call's first half
  std::istringstream in(log);
  for (std::string raw; std::getline(in, raw);) {
    size_t space = raw.find(' ');
    if (space == 0 || space == std::string::npos || raw.find_first_not_of("0123456789") != space) continue;
    size_t start = raw.find_first_not_of(' ', space);
    if (start == std::string::npos) continue;
    TracedCall c;
    c.pid = raw.substr(0, space);
    c.call = raw.substr(start);
    size_t cut = c.call.find(" <unfinished ...>");
    if (cut != std::string::npos) {
      c.call.resize(cut);
      unfinished[c.pid] = c.call;
      c.complete = false;
      fn(c);
      continue;
    }
    if (c.call.rfind("<... ", 0) == 0) {
      size_t at = c.call.find("resumed>");
      if (at == std::string::npos) continue;
      // A resumed line pads its result into a column: ")             = 0".
      std::string rest = c.call.substr(at + 8);
      size_t eq = rest.rfind(" = ");
      if (eq != std::string::npos) {
        size_t pad = rest.find_last_not_of(' ', eq);
        if (pad != std::string::npos && rest[pad] == ')') rest.erase(pad + 1, eq - pad - 1);
      }
      c.call = unfinished[c.pid] + rest;
      unfinished.erase(c.pid);
      c.resumed = true;
    }
    fn(c);
  }
}

FlushCoverage ReadFlushCoverage(const std::string& log, const std::function<bool(const std::string& call)>& isPublish,
                                const std::string& answer, const AnswerIds* ids) {
  FlushCoverage t;
  std::vector<bool> covered;                   // of each published file, in link order
  std::vector<bool> dataFlushed;               // likewise: its data, by itself or by a syncfs
  std::map<std::string, size_t> fileOfId;      // with ids: the latest file of each
  size_t uncovered = 0;
  std::map<std::string, size_t> syncfsCovers;  // pid -> files linked when its syncfs began
  // A file flushed by itself: its descriptor's fdatasync, then its directory's fsync.
  std::map<std::string, std::pair<std::string, size_t>> linkedByFd;  // fd -> directory, file
  std::map<std::string, std::vector<size_t>> waitingForDirectory;
  static const std::regex succeeded(R"(\)\s*= 0$)");
  static const std::regex linkedFd(R"re(^linkat\([^,]*, "/proc/self/fd/(\d+)", [^,]*, "(.*)/[^/"]*")re");
  static const std::regex datasync(R"(^fdatasync\((\d+)[<)])");
  static const std::regex dirsync(R"(^fsync\(\d+<([^>]*)>\))");
  static const std::regex closed(R"(^close\((\d+)[<)])");
  auto cover = [&](size_t file) {
    dataFlushed[file] = true;
    if (covered[file]) return;
    covered[file] = true;
    --uncovered;
  };
  ForEachTracedCall(log, [&](const TracedCall& c) {
    const std::string& call = c.call;
    std::smatch m;
    if (!c.complete) {
      if (call.rfind("syncfs(", 0) == 0) syncfsCovers[c.pid] = covered.size();
      return;
    }
    bool ok = std::regex_search(call, succeeded);
    if (call.rfind("linkat(", 0) == 0 && ok && isPublish(call)) {
      ++t.linked;
      covered.push_back(false);
      dataFlushed.push_back(false);
      ++uncovered;
      if (ids) {
        std::string id = ids->published(call);
        t.linkedIds.insert(id);
        fileOfId[id] = covered.size() - 1;
      }
      if (std::regex_search(call, m, linkedFd)) linkedByFd[m[1]] = {m[2], covered.size() - 1};
    } else if (call.rfind("syncfs(", 0) == 0 && ok) {
      ++t.flushes;
      size_t upTo = c.resumed ? syncfsCovers[c.pid] : covered.size();
      for (size_t i = 0; i < upTo; ++i) cover(i);
      syncfsCovers.erase(c.pid);
    } else if (std::regex_search(call, m, datasync)) {
      auto it = linkedByFd.find(m[1]);
      if (!ok || it == linkedByFd.end()) return;
      dataFlushed[it->second.second] = true;
      waitingForDirectory[it->second.first].push_back(it->second.second);
      linkedByFd.erase(it);
    } else if (std::regex_search(call, m, dirsync)) {
      auto it = waitingForDirectory.find(m[1]);
      if (!ok || it == waitingForDirectory.end()) return;
      ++t.flushes;
      ++t.fileFlushes;
      for (size_t file : it->second) cover(file);
      waitingForDirectory.erase(it);
    } else if (std::regex_search(call, m, closed)) {
      linkedByFd.erase(m[1]);  // the number may name another file from now on
    } else if (call.rfind("write", 0) == 0 || call.rfind("send", 0) == 0) {
      size_t here = 0;
      for (size_t at = call.find(answer); at != std::string::npos; at = call.find(answer, at + 1)) ++here;
      if (here == 0) return;
      ++t.answerWrites;
      t.answers += here;
      if (uncovered > 0) t.answersBeforeFlush += here;
      if (!ids) return;
      for (const std::string& id : ids->answered(call)) {
        t.answeredIds.insert(id);
        auto file = fileOfId.find(id);
        if (file == fileOfId.end()) continue;
        if (dataFlushed[file->second]) t.dataFlushedBeforeAnswer.insert(id);
        if (covered[file->second]) t.coveredBeforeAnswer.insert(id);
      }
    }
  });
  return t;
}
