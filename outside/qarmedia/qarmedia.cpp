#include "outside/qarmedia/qarmedia.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "outside/qarvault/qarvault.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {

std::string MmscString(const char* key, const char* def) {
  char buf[256];
  MMSCIniGetProfileString("MMSC", key, def, buf, sizeof buf);
  return buf;
}

}  // namespace

int IsMMSCServiceActive(void) {
  uint32_t port = ParseDecimal(MmscString("WebPortDynamic", ""));
  if (port == 0) port = ParseDecimal(MmscString("WebPort", "8080"));
  if (port == 0 || port > 65535) port = 8080;
  std::string address = std::string(Trim(MmscString("IPAddress", "127.0.0.1")));
  if (address.empty()) address = "127.0.0.1";
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return 0;
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock) return 0;
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return 1;
  if (errno != EINPROGRESS) return 0;
  pollfd p{sock.get(), POLLOUT, 0};
  if (poll(&p, 1, 2000) != 1) return 0;
  int error = 0;
  socklen_t len = sizeof error;
  getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &len);
  return error == 0 ? 1 : 0;
}
