// qaruser: adds, deletes and lists the gateway's accounts in the account store of the
// installation named by $QARSMS_HOME.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "outside/qarvault/qarvault.h"
#include "runtime/names.h"

namespace {

const char* const kUsage =
    "Usage:\n"
    "  qaruser add NAME PASSWORD [--full-name TEXT] [--receive] [--smpp] [--restrict-ip LIST]\n"
    "                            [--sender LIST] [--throttle N[/S[/C]]]\n"
    "  qaruser delete NAME\n"
    "  qaruser list\n"
    "  qaruser --help\n"
    "\n"
    "Manages the accounts of the installation in $QARSMS_HOME (default /var/lib/qarsms).\n"
    "  --full-name TEXT  the account's full name\n"
    "  --receive         the account may receive messages (both receive permissions)\n"
    "  --smpp            the account may log in to the SMPP server\n"
    "  --restrict-ip LIST  addresses the account may log in from (patterns such as 10.1.*.*,\n"
    "                    separated by \",\" or \";\")\n"
    "  --sender LIST     the sender addresses the account may use, separated by \",\"; the\n"
    "                    first replaces any other\n"
    "  --throttle N[/S[/C]]  at most N messages every S seconds (default 1), and at most C\n"
    "                    SMPP connections\n"
    "Adding an existing name replaces that account.\n";

int Fail(const char* fmt, const char* arg) {
  std::fprintf(stderr, "qaruser: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\n");
  return 1;
}

// Copies text into a record field; false when it does not fit.
bool SetField(char* field, size_t size, std::string_view text) {
  if (text.size() >= size) return false;
  std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  return true;
}

// "N", "N/S" or "N/S/C", each a positive number.
bool ValidThrottle(std::string_view text) {
  int parts = 0;
  while (true) {
    size_t slash = text.find('/');
    std::string_view part = text.substr(0, slash);
    if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string_view::npos ||
        part.find_first_not_of('0') == std::string_view::npos || ++parts > 3)
      return false;
    if (slash == std::string_view::npos) return true;
    text = text.substr(slash + 1);
  }
}

// Dotted patterns of digits and "*", separated by "," or ";" (spaces allowed).
bool ValidAddressList(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789.*,; ") == std::string_view::npos;
}

struct UserFile {
  SMSUserFile* h = nullptr;
  ~UserFile() {
    if (h != nullptr) SMSCloseUserFile(h);
  }
};

int Add(int argc, char** argv) {
  if (argc < 4) return Fail("%s", "add needs NAME and PASSWORD (see --help)");
  SMSUserRecord rec{};
  std::string_view name = argv[2], password = argv[3];
  if (!SetField(rec.UserName, sizeof rec.UserName, name)) return Fail("%s", "name too long");
  if (!SetField(rec.Password, sizeof rec.Password, password) || HasControlBytes(password)) {
    return Fail("%s", "password too long or holding control characters");
  }
  for (int i = 4; i < argc; ++i) {
    std::string_view opt = argv[i];
    if (opt == "--full-name" && i + 1 < argc) {
      std::string_view full = argv[++i];
      if (!SetField(rec.FullName, sizeof rec.FullName, full) || HasControlBytes(full)) {
        return Fail("%s", "full name too long or holding control characters");
      }
    } else if (opt == "--receive") {
      rec.ReceiveSMS = 1;
      rec.ReceiveSMPP = 1;
    } else if (opt == "--smpp") {
      rec.SmppLogin = 1;
    } else if (opt == "--restrict-ip" && i + 1 < argc) {
      std::string_view list = argv[++i];
      if (!ValidAddressList(list) || !SetField(rec.RestrictIPAddress, sizeof rec.RestrictIPAddress, list))
        return Fail("invalid --restrict-ip '%s' (address patterns such as 10.1.*.*, at most 49 characters)", argv[i]);
    } else if (opt == "--sender" && i + 1 < argc) {
      std::string_view list = argv[++i];
      if (list.empty() || HasControlBytes(list) || !SetField(rec.ForcedSenderAddress, sizeof rec.ForcedSenderAddress, list))
        return Fail("invalid --sender '%s' (at most 20 characters, no control characters)", argv[i]);
    } else if (opt == "--throttle" && i + 1 < argc) {
      std::string_view speed = argv[++i];
      if (!ValidThrottle(speed) || !SetField(rec.ThrottleSpeed, sizeof rec.ThrottleSpeed, speed))
        return Fail("invalid --throttle '%s' (N, N/S or N/S/C, positive numbers, at most 9 characters)", argv[i]);
    } else {
      return Fail("unknown or incomplete option '%s' (see --help)", argv[i]);
    }
  }
  UserFile file;
  if (!SMSOpenUserFile(&file.h, SMS_USER_READWRITE)) return Fail("%s", "cannot open the account store");
  if (!SMSAddUser(file.h, &rec)) {
    return Fail("cannot store account '%s' (empty, '.', '..', '/', '\\' and control characters "
                "are not allowed in names)", rec.UserName);
  }
  std::printf("Account %s stored.\n", rec.UserName);
  return 0;
}

int Delete(int argc, char** argv) {
  if (argc != 3) return Fail("%s", "delete needs exactly one NAME (see --help)");
  UserFile file;
  if (!SMSOpenUserFile(&file.h, SMS_USER_READWRITE)) return Fail("%s", "cannot open the account store");
  if (!SMSDeleteUser(file.h, argv[2])) return Fail("no account named '%s'", argv[2]);
  std::printf("Account %s deleted.\n", argv[2]);
  return 0;
}

int List(int argc) {
  if (argc != 2) return Fail("%s", "list takes no arguments (see --help)");
  UserFile file;
  if (!SMSOpenUserFile(&file.h, SMS_USER_READ)) return Fail("%s", "cannot open the account store");
  SMSUserRecord rec;
  for (uint32_t i = 0; SMSGetUserRecord(file.h, i, &rec); ++i) {
    std::printf("%s\t%s\treceive=%s\tsmpp=%s\n", rec.UserName, rec.FullName,
                rec.ReceiveSMS || rec.ReceiveSMPP ? "yes" : "no", rec.SmppLogin ? "yes" : "no");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "add") return Add(argc, argv);
  if (command == "delete") return Delete(argc, argv);
  if (command == "list") return List(argc);
  return Fail("unknown command '%s' (see --help)", argv[1]);
}
