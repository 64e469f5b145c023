#include "tests/support/strace_log.h"

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

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
                                const std::string& answer) {
  FlushCoverage t;
  std::map<std::string, size_t> syncfsCovers;  // pid -> files its syncfs in progress covers
  size_t durable = 0;                          // files covered by a completed syncfs
  static const std::regex succeeded(R"(\)\s*= 0$)");
  ForEachTracedCall(log, [&](const TracedCall& c) {
    const std::string& call = c.call;
    if (!c.complete) {
      if (call.rfind("syncfs(", 0) == 0) syncfsCovers[c.pid] = t.linked;
      return;
    }
    if (call.rfind("linkat(", 0) == 0 && std::regex_search(call, succeeded) && isPublish(call)) {
      ++t.linked;
    } else if (call.rfind("syncfs(", 0) == 0 && std::regex_search(call, succeeded)) {
      ++t.flushes;
      durable = std::max(durable, c.resumed ? syncfsCovers[c.pid] : t.linked);
      syncfsCovers.erase(c.pid);
    } else if (call.rfind("write", 0) == 0 || call.rfind("send", 0) == 0) {
      size_t here = 0;
      for (size_t at = call.find(answer); at != std::string::npos; at = call.find(answer, at + 1)) ++here;
      if (here == 0) return;
      ++t.answerWrites;
      t.answers += here;
      if (durable < t.linked) t.answersBeforeFlush += here;
    }
  });
  return t;
}
