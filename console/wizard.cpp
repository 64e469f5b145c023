#include "console/wizard.h"

#include <dirent.h>

#include <algorithm>

#include "config/settings_registry.h"
#include "config/value_checks.h"
#include "console/config_command.h"
#include "console/console_dialog.h"
#include "console/modem_check.h"
#include "console/service_actions.h"
#include "console/service_command.h"
#include "console/test_message.h"
#include "modem/modem_names.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
constexpr const char* kIpModemChoice = "IP modem (host:port)";
constexpr const char* kTitle = "QarSMS Lite Setup Wizard:  ";

std::vector<std::string> Entries(const std::string& dir, std::string_view prefix) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] != '.' && name.rfind(prefix, 0) == 0) out.push_back(dir + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void Page(ConsoleDialog& dialog, const char* name) { dialog.Say(std::string("\n") + kTitle + name); }

// Asks until the answer suits key (or input ends).
std::optional<std::string> AskSetting(ConsoleDialog& dialog, const std::string& question, const char* key,
                                      const std::string& def) {
  const SettingKey* k = FindSettingKey(key);
  for (int tries = 0; tries < 5; ++tries) {
    std::optional<std::string> v = dialog.Ask(question, def);
    if (!v) return v;
    std::string why = k == nullptr ? "" : CheckSettingValue(*k, *v);
    if (why.empty()) return v;
    dialog.Say("Invalid value: " + why);
  }
  return std::nullopt;
}

bool Write(ConsoleDialog& dialog, const std::string& section, const std::string& key, const std::string& value) {
  std::string error;
  if (ConfigSet(section, key, value, error)) return true;
  dialog.Say(error);
  return false;
}

// The modem pages; the modem's name, or nothing when cancelled.
std::optional<std::string> ChooseModem(ConsoleDialog& dialog) {
  for (;;) {
    Page(dialog, "Select Modem");
    std::vector<std::string> choices = SerialDeviceChoices();
    choices.push_back(kIpModemChoice);
    std::optional<std::string> modem =
        dialog.Choose("Modem (number, or a device path)", choices, true);
    if (!modem) return modem;
    if (*modem == kIpModemChoice) {
      std::optional<std::string> address = dialog.Ask("IP modem address (host:port)");
      if (!address) return address;
      std::string host;
      uint16_t port = 0;
      if (!SplitHostPort(*address, host, port) || host.empty() || port == 0) {
        dialog.Say("Please give the address as host:port.");
        continue;
      }
      modem = std::string(kIpModemPrefix) + *address;
    }
    Page(dialog, "Modem Settings");
    std::string section = ConnectionSectionName(*modem);
    std::optional<std::string> pin = AskSetting(dialog, "SIM PIN (empty for none)", "PIN",
                                                SMSIniString(section, "PIN"));
    if (!pin) return pin;
    dialog.Say("Testing the modem, please wait...");
    ModemCheckResult r = CheckModem(*modem, *pin);
    RecordModemCheck(r);
    dialog.Say(r.text);
    if (!r.passed && !dialog.Confirm("Use this modem anyway?")) {
      if (dialog.ended()) return std::nullopt;
      continue;
    }
    if (!Write(dialog, kMainSection, "Modem1", *modem)) return std::nullopt;
    if (!pin->empty() || !SMSIniString(section, "PIN").empty())
      if (!Write(dialog, section, "PIN", *pin)) return std::nullopt;
    if (r.passed && !Write(dialog, section, "ModemTextMode", r.textOnly ? "Yes" : "No")) return std::nullopt;
    return modem;
  }
}

bool ServerSettings(ConsoleDialog& dialog) {
  Page(dialog, "Server Settings");
  std::string web = SMSIniString(kMainSection, "WebPort");
  std::optional<std::string> port = AskSetting(dialog, "Web port", "WebPort", web.empty() || web == "0" ? "8800" : web);
  if (!port || !Write(dialog, kMainSection, "WebPort", *port)) return false;
  std::string smpp = SMSIniString(kMainSection, "SMPPPort");
  std::optional<std::string> smppPort =
      AskSetting(dialog, "SMPP server port (0 for none)", "SMPPPort", smpp.empty() ? "0" : smpp);
  if (!smppPort || !Write(dialog, kMainSection, "SMPPPort", *smppPort)) return false;
  std::string user = SMSIniString(kMainSection, "AdminUser");
  std::optional<std::string> admin = AskSetting(dialog, "Administrator user name", "AdminUser", user.empty() ? "admin" : user);
  if (!admin || !Write(dialog, kMainSection, "AdminUser", *admin)) return false;
  // Kept as it is when none is typed and one is set.
  bool isSet = !SMSIniString(kMainSection, "AdminPassword").empty();
  for (int tries = 0; tries < 3; ++tries) {
    std::optional<std::string> password =
        dialog.AskSecret(isSet ? "Administrator password (empty to keep)" : "Administrator password");
    if (!password) return false;
    if (password->empty() && isSet) return true;
    if (password->empty()) {
      dialog.Say("Please enter a password.");
      continue;
    }
    std::optional<std::string> again = dialog.AskSecret("The password again");
    if (!again) return false;
    if (*again != *password) {
      dialog.Say("The passwords differ.");
      continue;
    }
    return Write(dialog, kMainSection, "AdminPassword", *password);
  }
  return false;
}

bool TestMessagePage(ConsoleDialog& dialog) {
  Page(dialog, "Send Test Message");
  std::optional<std::string> number = dialog.Ask("Phone number for a test message (empty to skip)");
  if (!number) return false;
  if (number->empty()) return true;
  std::optional<std::string> text = dialog.Ask("Message text", "QarSMS test message");
  if (!text) return false;
  std::string report;
  QueueTestMessage(*number, *text, report);
  dialog.Say(report);
  return true;
}
}  // namespace

std::vector<std::string> SerialDeviceChoices() {
  std::vector<std::string> out = Entries("/dev/serial/by-id/", "");
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::string> more = Entries("/dev/", prefix);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

bool RunSetupWizard(ConsoleDialog& dialog) {
  ServiceHost host = ChooseServiceHost();
  bool wasRunning = EitherServiceRunning(host);
  if (wasRunning) {
    dialog.Say("Please wait...");
    dialog.Say("Stopping Services...");
    RunServiceCommand(ConsoleAction::StopService, true);
  }
  // The first days of an installation are logged in full.
  SMSIniWrite(kMainSection, "Debug", "Yes");
  MMSCIniWriteProfileString("MMSC", "Debug", "Yes");
  WriteDataFolderIni("QARDIAL.INI", "QARDIAL", "Debug", "Yes");

  if (!ChooseModem(dialog)) return false;
  if (!ServerSettings(dialog)) return false;
  Page(dialog, "Configuration Complete");
  dialog.Say("The configuration is saved in " + ProgramDataDirectory() + "QARHUB.INI.");
  if (!TestMessagePage(dialog)) return false;

  if (EitherServiceRunning(host)) {
    if (dialog.Confirm("Configuration changes have been applied, do you wish to restart the service for the "
                       "changes to take effect?"))
      RunServiceCommand(ConsoleAction::RestartService, false);
  }
  if (!EitherServiceRunning(host) && !SMSIniString(kMainSection, "Modem1").empty() &&
      dialog.Confirm("Service is not active, do you wish to activate the service?"))
    RunServiceCommand(ConsoleAction::InstallService, false);
  return true;
}
