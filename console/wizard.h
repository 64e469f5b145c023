// The setup wizard as a terminal dialogue: stop the services, pick and test a modem, the
// server ports and the administrator, a test message, and the closing questions about
// (re)starting the service. False when it was cancelled (end of input).
#pragma once

#include <string>
#include <vector>

class ConsoleDialog;

bool RunSetupWizard(ConsoleDialog& dialog);
// Serial devices a modem may sit on: /dev/serial/by-id/ links, then /dev/ttyUSB*, ttyACM*
// and ttyS* that exist.
std::vector<std::string> SerialDeviceChoices();
