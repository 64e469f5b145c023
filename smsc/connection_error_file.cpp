#include "smsc/connection_error_file.h"

#include <unistd.h>

#include "runtime/broadcast_wake.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "store/queue_file.h"

std::string ConnectionErrorFilePath(std::string_view connection) {
  std::string name(connection);
  for (char& c : name) {
    if (c == ':' || c == '/' || c == '\\') c = '-';
  }
  return PrivateDataDirectory() + name + ".ERR";
}

void WriteConnectionErrorFile(std::string_view connection, std::string_view text) {
  std::string path = ConnectionErrorFilePath(connection);
  if (text.empty()) {
    if (::unlink(path.c_str()) == 0) SignalBroadcast(kConnectionErrorsChannel);
    return;
  }
  if (PublishFile(path, text, PublishMode::Replace)) SignalBroadcast(kConnectionErrorsChannel);
}

bool ConnectionErrorFileExists(std::string_view connection) {
  std::string text;
  return ReadWholeFile(ConnectionErrorFilePath(connection), text, 1 << 16) && !text.empty();
}
