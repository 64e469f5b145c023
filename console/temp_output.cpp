#include "console/temp_output.h"

#include <stdlib.h>
#include <unistd.h>

#include "runtime/file_io.h"

TempOutput::TempOutput() {
  const char* dir = getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/qarconsole.XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd >= 0) {
    close(fd);
    path_ = pattern;
  }
}

TempOutput::~TempOutput() {
  if (!path_.empty()) unlink(path_.c_str());
}

std::string TempOutput::Text() const {
  std::string text;
  if (!path_.empty()) ReadWholeFile(path_, text, 1 << 20);
  return text;
}
