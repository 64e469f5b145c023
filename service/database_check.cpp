#include "service/database_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "outside/outside_tables.h"
#include "runtime/config_access.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_dir.h"

namespace {
using TestDatabaseFn = int (*)(const char*);

std::vector<std::string> ListEntries(const std::string& dir, bool directories) {
  std::vector<std::string> out;
  UniqueDir d(dir);
  while (struct dirent* e = d.Next()) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((dir + name).c_str(), &st) != 0) continue;
    if (directories && S_ISDIR(st.st_mode)) out.push_back(dir + name + "/");
    if (!directories && S_ISREG(st.st_mode) && WildcardMatchNoCase("*.DB", name)) out.push_back(dir + name);
  }
  return out;
}

void Repair(const std::string& path) {
  WriteDebugLog("DatabaseIsCorrupt", path);
  std::string damaged = path + FormatTimestamp14() + ".damaged";
  if (rename(path.c_str(), damaged.c_str()) != 0) return;
  // Rows not yet checkpointed live in the "-wal" file: it goes with the database, or the dump
  // would miss them and the rebuilt store would meet a stale journal.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    rename((path + suffix).c_str(), (damaged + suffix).c_str());
  }
  std::string sqlite = FindProgram(RealProgramDirectory(), "sqlite3");
  if (sqlite.empty()) return;
  std::string dump = path + ".tmp";
  WriteDebugLog("DatabaseIsCorrupt", sqlite + " " + damaged + " .dump > " + dump);
  ProcessOptions dumpOptions;
  dumpOptions.stdoutPath = dump;
  RunProcess({sqlite, damaged, ".dump"}, dumpOptions);
  WriteDebugLog("DatabaseIsCorrupt", sqlite + " " + path + " < " + dump);
  ProcessOptions loadOptions;
  loadOptions.stdinPath = dump;
  loadOptions.stdoutPath = "/dev/null";
  RunProcess({sqlite, path}, loadOptions);
  unlink(dump.c_str());
}
}  // namespace

unsigned CheckMessageIdDatabases(const std::string& trackingDir) {
  auto test = OutsideLibraries.ledger.Call<TestDatabaseFn>(ledger::sqlTestDatabaseOK);
  if (test == nullptr) return 0;
  std::vector<std::string> dirs{trackingDir};
  for (const std::string& sub : ListEntries(trackingDir, true)) dirs.push_back(sub);
  unsigned damaged = 0;
  for (const std::string& dir : dirs) {
    for (const std::string& file : ListEntries(dir, false)) {
      if (ShutdownRequested.load() != 0) return damaged;
      if (test(file.c_str()) == 0) {
        ++damaged;
        Repair(file);
      }
    }
  }
  return damaged;
}
