#include "console/switches.h"

#include <array>
#include <string_view>

#include "runtime/text_helpers.h"

namespace {
struct SwitchRow {
  ConsoleAction action;
  std::array<std::string_view, 3> names;  // without the leading "-" or "/"; "" ends the list
};

// In the order they are tested: the first action present wins, wherever it stands.
constexpr SwitchRow kSwitches[] = {
    {ConsoleAction::StopService, {"STOPSERVICE", "stop-service", ""}},
    {ConsoleAction::StartService, {"STARTSERVICE", "start-service", ""}},
    {ConsoleAction::RestartService, {"RESTARTSERVICE", "restart-service", ""}},
    {ConsoleAction::InstallService, {"INSTALLSERVICE", "I", "install-service"}},
    {ConsoleAction::RemoveService, {"REMOVESERVICE", "R", "remove-service"}},
    {ConsoleAction::DeleteDataDir, {"DELETEDATADIR", "delete-data-dir", ""}},
    {ConsoleAction::ModemTestSwitch, {"MODEMTEST", "modem-test", ""}},
    {ConsoleAction::Wizard, {"WIZARD", "", ""}},
};

// The switch name of arg without its "-", "/" or "--"; "" when arg is no switch.
std::string_view SwitchName(std::string_view arg) {
  if (arg.size() > 2 && arg.substr(0, 2) == "--") return arg.substr(2);
  if (arg.size() > 1 && (arg[0] == '-' || arg[0] == '/')) return arg.substr(1);
  return {};
}

bool IsSwitch(std::string_view arg, std::string_view name) {
  std::string_view s = SwitchName(arg);
  return !s.empty() && !name.empty() && EqualsNoCase(s, name);
}

bool IsQuiet(std::string_view arg) { return IsSwitch(arg, "QUIET") || IsSwitch(arg, "Q"); }
bool IsStrict(std::string_view arg) { return IsSwitch(arg, "strict-exit"); }
bool IsHelp(std::string_view arg) { return IsSwitch(arg, "help") || IsSwitch(arg, "h") || IsSwitch(arg, "?"); }

struct Subcommand {
  std::string_view name;
  ConsoleAction action;
  size_t minOperands, maxOperands;
};
}  // namespace

ConsoleCommand ParseConsoleArguments(const std::vector<std::string>& args) {
  ConsoleCommand c;
  std::vector<std::string> words;
  for (const std::string& a : args) {
    if (IsQuiet(a)) {
      c.quiet = true;
    } else if (IsStrict(a)) {
      c.strictExit = true;
    } else if (IsHelp(a)) {
      c.action = ConsoleAction::Help;
    } else if (SwitchName(a).empty() || !words.empty()) {
      words.push_back(a);  // a subcommand and its operands (a value may start with "-")
    } else {
      bool known = false;
      for (const SwitchRow& row : kSwitches)
        for (std::string_view n : row.names) known = known || IsSwitch(a, n);
      if (!known) {
        c.error = "Unknown switch " + a;
        return c;
      }
    }
  }
  if (c.action == ConsoleAction::Help) return c;
  for (const SwitchRow& row : kSwitches) {
    for (const std::string& a : args)
      for (std::string_view n : row.names)
        if (IsSwitch(a, n)) {
          c.action = row.action;
          return c;  // the first action of the table wins; the rest are ignored
        }
  }
  if (words.empty()) return c;
  static constexpr Subcommand kSubcommands[] = {
      {"status", ConsoleAction::Status, 0, 0},      {"config", ConsoleAction::ConfigGet, 3, 4},
      {"testmsg", ConsoleAction::TestMessage, 2, 2}, {"modemtest", ConsoleAction::ModemTest, 1, 2},
      {"wizard", ConsoleAction::Wizard, 0, 0},       {"help", ConsoleAction::Help, 0, 0},
  };
  for (const Subcommand& s : kSubcommands) {
    if (!EqualsNoCase(words[0], s.name)) continue;
    c.operands.assign(words.begin() + 1, words.end());
    c.action = s.action;
    if (s.action == ConsoleAction::ConfigGet) {
      // config get SECTION KEY | config set SECTION KEY VALUE
      std::string verb = c.operands.empty() ? "" : c.operands[0];
      if (EqualsNoCase(verb, "get") && c.operands.size() == 3) {
        c.operands.erase(c.operands.begin());
        return c;
      }
      if (EqualsNoCase(verb, "set") && c.operands.size() == 4) {
        c.action = ConsoleAction::ConfigSet;
        c.operands.erase(c.operands.begin());
        return c;
      }
      c.error = "Usage: config get SECTION KEY | config set SECTION KEY VALUE";
      return c;
    }
    if (c.operands.size() < s.minOperands || c.operands.size() > s.maxOperands)
      c.error = "Wrong number of arguments for " + std::string(s.name);
    return c;
  }
  c.error = "Unknown command " + words[0];
  return c;
}

std::string SwitchOf(ConsoleAction action) {
  for (const SwitchRow& row : kSwitches)
    if (row.action == action) return "/" + std::string(row.names[0]);
  return {};
}

std::string ConsoleUsage() {
  return "Usage: qarconsole [switches] [command]\n"
         "Switches (any case, with \"-\" or \"/\"; the first action in this list wins):\n"
         "  /QUIET, /Q                 no messages            qarconsole /Q /INSTALLSERVICE\n"
         "  /STOPSERVICE               stop the services      qarconsole /STOPSERVICE\n"
         "  /STARTSERVICE              start the services     qarconsole -startservice\n"
         "  /RESTARTSERVICE            stop, 2 s, start       qarconsole /RESTARTSERVICE\n"
         "  /INSTALLSERVICE, /I        install and start      qarconsole --install-service\n"
         "  /REMOVESERVICE, /R         stop and remove        qarconsole /R\n"
         "  /DELETEDATADIR             delete the private data folder (asks first)\n"
         "                                                    qarconsole /DELETEDATADIR\n"
         "  /MODEMTEST                 test the modem of Modem1, result in MODEMTEST.INI\n"
         "                                                    qarconsole /MODEMTEST\n"
         "  /WIZARD                    run the setup wizard   qarconsole /WIZARD\n"
         "  --strict-exit              exit 1 when the action fails (for scripts)\n"
         "                                                    qarconsole --strict-exit /STARTSERVICE\n"
         "Commands:\n"
         "  status                     whether the services run\n"
         "                                                    qarconsole status\n"
         "  config get SECTION KEY     print a setting        qarconsole config get QARHUB WebPort\n"
         "  config set SECTION KEY VALUE\n"
         "                             change a setting       qarconsole config set QARHUB WebPort 8800\n"
         "  testmsg NUMBER TEXT        queue a test message   qarconsole testmsg 447700900123 \"Hello\"\n"
         "  modemtest NAME [PIN]       test a modem           qarconsole modemtest /dev/ttyUSB0 1234\n"
         "  wizard                     the setup wizard       qarconsole wizard\n"
         "  --help                     this text              qarconsole --help\n"
         "The administration web pages are the graphical view of the gateway.\n";
}
