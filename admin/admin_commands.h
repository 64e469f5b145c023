// Administrator commands: "/ADMIN/<name>?CmdLine=...&StdIn=..." runs the program that
// [AdminCommands] names and answers with its output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/web_connection.h"

// The program of a command name, "" when [AdminCommands] has none or the file is missing:
// relative to the program directory unless the value holds "/".
std::string AdminCommandProgram(std::string_view name);
// The content type that the start of a command's output suggests.
const char* SniffCommandOutputType(std::string_view output);
// Runs the program (killed after 60 s) and sends its output or a 500 line.
void RunAdminCommand(WebConnection& c, const WebRequest& request, const std::string& program);
