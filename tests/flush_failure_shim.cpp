// Preloaded into a gateway under test: while the file named by QAR_TEST_FLUSH_FAILS_WHILE
// exists, every flush to stable storage fails with EIO, as a failing disk's would.
#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
bool Failing() {
  const char* flag = getenv("QAR_TEST_FLUSH_FAILS_WHILE");
  return flag != nullptr && *flag != '\0' && access(flag, F_OK) == 0;
}

int Flush(long call, int fd) {
  if (Failing()) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(syscall(call, fd));
}
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int syncfs(int fd) { return Flush(SYS_syncfs, fd); }
__attribute__((visibility("default"))) int fsync(int fd) { return Flush(SYS_fsync, fd); }
__attribute__((visibility("default"))) int fdatasync(int fd) { return Flush(SYS_fdatasync, fd); }
}
