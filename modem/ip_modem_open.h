// Connecting to an IP modem and logging in through the terminal server in front of it.
#pragma once

#include "modem/modem_line.h"
#include "modem/modem_names.h"

ModemDevice OpenIpModem(const ModemName& name, ModemLine& line);
