// The smsc tests' data folder: logs and counters of an earlier test closed, QARHUB.INI
// written, and the store directories and local routing read again after each change.
#pragma once

#include "smsc/local_routing.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"

class SmscTestHome : public DataFolderTest {
 protected:
  void SetUp() override {
    LogsClose();
    CountersClose();
    DataFolderTest::SetUp();
    WriteConfig("[QARHUB]");
  }
  void ConfigChanged() override {
    ReloadStoreDirectories();
    ResetLocalRoutingCache();
  }
};
