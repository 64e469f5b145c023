// qarconsole: the operator's terminal program. Service switches for scripts and for the
// elevated copy it starts of itself, subcommands for what the property pages did, and the
// setup wizard as a dialogue on the terminal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "console/config_command.h"
#include "console/console_dialog.h"
#include "console/modem_check.h"
#include "console/service_actions.h"
#include "console/service_command.h"
#include "console/switches.h"
#include "console/test_message.h"
#include "console/wizard.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/unique_fd.h"

namespace {
void BindConfiguration(const std::string& path, void (*setFilename)(const char*)) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664));  // made empty when missing
  setFilename(path.c_str());
}

bool DeleteDataDir(const ConsoleCommand& c, ConsoleDialog& dialog) {
  std::string privateDir = PrivateDataDirectory(), programDir = RealProgramDirectory();
  std::error_code ec;
  if (std::filesystem::equivalent(privateDir, programDir, ec)) {
    if (!c.quiet) printf("The data folder is the program folder; nothing deleted.\n");
    return false;
  }
  if (!dialog.Confirm("Delete Configuration files for QarSMS?")) return false;
  std::filesystem::remove_all(privateDir, ec);
  if (ec) {
    if (!c.quiet) printf("Cannot delete %s: %s\n", privateDir.c_str(), ec.message().c_str());
    return false;
  }
  return true;
}

bool Status() {
  for (const std::string& line : ServiceStatusLines(ChooseServiceHost())) printf("%s\n", line.c_str());
  return true;
}

// Without an action: the wizard when no modem is configured, else the status and, when
// the service is not running, the offer to start it.
bool NoAction(ConsoleDialog& dialog) {
  if (SMSIniString(kMainSection, "Modem1").empty()) return RunSetupWizard(dialog);
  Status();
  ServiceHost host = ChooseServiceHost();
  if (!EitherServiceRunning(host) && dialog.Confirm("Service is not active, do you wish to activate the service?")) {
    return RunServiceCommand(ConsoleAction::InstallService, false);
  }
  return true;
}

bool Run(const ConsoleCommand& c) {
  ConsoleDialog dialog(std::cin, std::cout);
  switch (c.action) {
    case ConsoleAction::StopService:
    case ConsoleAction::StartService:
    case ConsoleAction::RestartService:
    case ConsoleAction::InstallService:
    case ConsoleAction::RemoveService:
      return RunServiceCommand(c.action, c.quiet);
    case ConsoleAction::DeleteDataDir:
      return DeleteDataDir(c, dialog);
    case ConsoleAction::ModemTestSwitch:
      return ModemTestOfConfiguredModem(c.quiet);
    case ConsoleAction::Wizard:
      return RunSetupWizard(dialog);
    case ConsoleAction::Status:
      return Status();
    case ConsoleAction::ConfigGet:
    case ConsoleAction::ConfigSet: {
      std::string value, error;
      bool ok = c.action == ConsoleAction::ConfigGet ? ConfigGet(c.operands[0], c.operands[1], value, error)
                                                     : ConfigSet(c.operands[0], c.operands[1], c.operands[2], error);
      if (!ok) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
      }
      if (c.action == ConsoleAction::ConfigGet) printf("%s\n", value.c_str());
      return true;
    }
    case ConsoleAction::TestMessage: {
      std::string text;
      bool ok = QueueTestMessage(c.operands[0], c.operands[1], text);
      printf("%s\n", text.c_str());
      return ok;
    }
    case ConsoleAction::ModemTest: {
      ModemCheckResult r = CheckModem(c.operands[0], c.operands.size() > 1 ? c.operands[1] : "");
      RecordModemCheck(r);
      printf("%s\n", r.text.c_str());
      return r.passed;
    }
    case ConsoleAction::Help:
      printf("%s", ConsoleUsage().c_str());
      return true;
    case ConsoleAction::None:
      return NoAction(dialog);
  }
  return false;
}
}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  ConsoleCommand c = ParseConsoleArguments(args);
  if (!c.error.empty()) {
    fprintf(stderr, "qarconsole: %s\n%s", c.error.c_str(), ConsoleUsage().c_str());
    return 2;
  }
  std::string programData = ProgramDataDirectory();
  BindConfiguration(programData + "QARHUB.INI", SMSIniSetFilename);
  BindConfiguration(programData + "MMSC.INI", MMSCIniSetFilename);
  bool ok = Run(c);
  // The switches (and the wizard) exit 0 whatever happened, as callers of the console
  // expect; scripts that need to know ask with --strict-exit. Subcommands always tell.
  bool subcommand = c.action == ConsoleAction::Status || c.action == ConsoleAction::ConfigGet ||
                    c.action == ConsoleAction::ConfigSet || c.action == ConsoleAction::TestMessage ||
                    c.action == ConsoleAction::ModemTest;
  return ok || !(c.strictExit || subcommand) ? 0 : 1;
}
