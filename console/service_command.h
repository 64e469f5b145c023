// A service switch carried out: with this process's rights when the back end allows, else
// in a copy of the console under "sudo -n", else the rights text.
#pragma once

#include "console/switches.h"

// action: StopService, StartService, RestartService, InstallService or RemoveService.
bool RunServiceCommand(ConsoleAction action, bool quiet);
