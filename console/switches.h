// The console's command line: the service switches (whole arguments, any case, "-" or "/",
// also as "--install-service" ...), the quiet and strict-exit flags, and the subcommands.
#pragma once

#include <string>
#include <vector>

enum class ConsoleAction {
  None,  // no action: the wizard when no modem is configured, else the status
  StopService,
  StartService,
  RestartService,
  InstallService,
  RemoveService,
  DeleteDataDir,
  ModemTestSwitch,  // the configured modem, result written for an elevated caller
  Wizard,
  Status,
  ConfigGet,
  ConfigSet,
  TestMessage,
  ModemTest,  // a named modem
  Help,
};

struct ConsoleCommand {
  ConsoleAction action = ConsoleAction::None;
  bool quiet = false;
  bool strictExit = false;               // failures exit 1 instead of 0
  std::vector<std::string> operands;     // of a subcommand
  std::string error;                     // set: the command line cannot be used
};

ConsoleCommand ParseConsoleArguments(const std::vector<std::string>& args);
// The switch that runs action again in an elevated copy ("/STOPSERVICE" ...), "" for none.
std::string SwitchOf(ConsoleAction action);
// --help: every switch and subcommand with an example.
std::string ConsoleUsage();
