// Starts programs with an argument vector (never through a shell) and waits for them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ProcessOptions {
  std::string stdinPath;   // "" = inherit
  std::string stdoutPath;  // "" = inherit; created or truncated
  bool stderrToStdout = false;
  unsigned timeoutMs = 300000;  // killed when it runs longer
  int stdoutFd = -1;            // used instead of stdoutPath when set (the caller keeps it)
  bool ownProcessGroup = false; // the program and its children are killed together
};

// The program's exit status (0..255), -1 when it could not be started, -2 when it was
// killed for running past the timeout. argv[0] is looked up on PATH when it has no "/".
int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
// The full path of a program: in directory when it is there, else on PATH; "" when absent.
std::string FindProgram(const std::string& directory, const std::string& name);
// A command line split at blanks, with double quotes grouping words.
std::vector<std::string> SplitCommandLine(std::string_view line);
