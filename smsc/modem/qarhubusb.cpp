// qarhubusb ENABLE|DISABLE <usb device>: switches a USB device off and on through the
// "authorized" file of its sysfs directory (a path, or a name under /sys/bus/usb/devices/).
// Exit code 0 on success, 2 for wrong arguments, 3 when the switch cannot be written.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "ENABLE") != 0 && strcmp(argv[1], "DISABLE") != 0) || argv[2][0] == '\0') {
    fprintf(stderr, "usage: qarhubusb ENABLE|DISABLE <usb device>\n");
    return 2;
  }
  std::string device = argv[2];
  if (device.find("..") != std::string::npos) {
    fprintf(stderr, "qarhubusb: invalid device %s\n", device.c_str());
    return 2;
  }
  if (device[0] != '/') device = "/sys/bus/usb/devices/" + device;
  std::string path = device + "/authorized";
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    fprintf(stderr, "qarhubusb: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return 3;
  }
  const char* value = strcmp(argv[1], "ENABLE") == 0 ? "1" : "0";
  bool ok = write(fd, value, 1) == 1;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "qarhubusb: cannot write %s\n", path.c_str());
    return 3;
  }
  return 0;
}
