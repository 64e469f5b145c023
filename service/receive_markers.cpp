#include "service/receive_markers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "outside/qarvault/qarvault.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/unique_fd.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"

unsigned UpdateReceiveMarkers() {
  SMSUserFile* users = nullptr;
  if (!SMSOpenUserFile(&users, SMS_USER_READ)) return 0;
  unsigned seen = 0;
  SMSUserRecord record{};
  for (uint32_t i = 0; SMSGetUserRecord(users, i, &record); ++i) {
    ++seen;
    std::string name(record.UserName, strnlen(record.UserName, sizeof record.UserName));
    if (!IsSafePathName(name)) continue;
    std::string marker = UserDir(name) + "RECV.FLG";
    if (record.ReceiveSMS != 0 || record.ReceiveSMPP != 0) {
      CreatePathDirectories(marker);
      UniqueFd fd(open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664));
      if (!fd) WriteDebugLogf("main", "Error creating %s", marker.c_str());
    } else {
      unlink(marker.c_str());
    }
  }
  SMSCloseUserFile(users);
  return seen;
}
