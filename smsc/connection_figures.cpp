#include "smsc/connection_figures.h"

#include <deque>

#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

namespace {
struct Entry {
  std::string name;
  ConnectionFigures figures;
};
struct FigureTable {
  Mutex lock;
  std::deque<Entry> entries GUARDED_BY(lock);  // a deque keeps references stable
};
FigureTable Table;
}  // namespace

ConnectionFigures& FiguresOf(std::string_view connection) {
  MutexLock guard(Table.lock);
  for (Entry& e : Table.entries)
    if (EqualsNoCase(e.name, connection)) return e.figures;
  Entry& e = Table.entries.emplace_back();
  e.name = connection;
  return e.figures;
}

std::vector<ConnectionFiguresCopy> AllConnectionFigures() {
  std::vector<ConnectionFiguresCopy> out;
  MutexLock guard(Table.lock);
  for (const Entry& e : Table.entries) {
    ConnectionFiguresCopy c;
    c.connection = e.name;
    c.sent = e.figures.sent.load();
    c.failed = e.figures.failed.load();
    c.retried = e.figures.retried.load();
    c.up = e.figures.sessionsUp.load() > 0;
    out.push_back(std::move(c));
  }
  return out;
}
