#include "admin/admin_commands.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "admin/admin_responses.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "smsc/modem/modem_recovery.h"
#include "web/request_parameters.h"

namespace {
constexpr unsigned kCommandTimeoutMs = 60000;
constexpr size_t kCommandLineLimit = 8192;
constexpr size_t kStdInLimit = 4u << 20;
constexpr size_t kOutputLimit = 64u << 20;

// A temporary file in the private data directory, removed when it goes.
struct TemporaryFile {
  std::string path;
  UniqueFd fd;
  bool Create() {
    std::string pattern = PrivateDataDirectory() + "ADMCMDXXXXXX.tmp";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int handle = mkstemps(name.data(), 4);
    if (handle < 0) return false;
    fd = UniqueFd(handle);
    path = name.data();
    return true;
  }
  ~TemporaryFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};
}  // namespace

std::string AdminCommandProgram(std::string_view name) {
  if (name.empty() || !IsSafePathName(name)) return {};
  std::string value(Trim(SMSIniString("AdminCommands", name, "", 1023)));
  if (value.empty()) return {};
  std::string program = value.find('/') != std::string::npos ? value : RealProgramDirectory() + value;
  return FileExistsNotDirectory(program) ? program : std::string();
}

const char* SniffCommandOutputType(std::string_view output) {
  std::string_view head = output.substr(0, 1024);
  if (FindNoCase(head, "<html xmlns=") != std::string_view::npos) return "application/xhtml+xml";
  if (FindNoCase(head, "<html") != std::string_view::npos) return "text/html";
  if (FindNoCase(head, "<?xml") != std::string_view::npos) return "text/xml";
  return "text/plain";
}

void RunAdminCommand(WebConnection& c, const WebRequest& request, const std::string& program) {
  std::vector<std::string> argv{program};
  for (std::string& arg : SplitCommandLine(RequestParameterOr(request, "CmdLine", kCommandLineLimit)))
    argv.push_back(std::move(arg));
  ProcessOptions options;
  options.stdinPath = "/dev/null";
  options.stderrToStdout = true;
  options.timeoutMs = kCommandTimeoutMs;
  TemporaryFile input, output;
  if (std::optional<std::string> stdinText = RequestParameter(request, "StdIn", kStdInLimit)) {
    if (!input.Create() || WriteText(input.fd.get(), *stdinText) != stdinText->size()) {
      SendRaw(c, "HTTP/1.0 500 Internal Command Error 3\r\n\r\n");
      return;
    }
    input.fd.reset();
    options.stdinPath = input.path;
  }
  if (!output.Create()) {
    SendRaw(c, "HTTP/1.0 500 Internal Command Error 3\r\n\r\n");
    return;
  }
  output.fd.reset();
  options.stdoutPath = output.path;
  WriteDebugLogf("ProcessAdminRequest", "Running %s", program.c_str());
  int status = RunProcess(argv, options);
  if (status == -1) {
    SendRaw(c, "HTTP/1.0 500 Internal Command Error 2\r\n\r\n");
    return;
  }
  if (status == -2) WriteDebugLogf("ProcessAdminRequest", "%s ran past %u ms and was ended", program.c_str(), kCommandTimeoutMs);
  std::string text;
  if (!ReadWholeFile(output.path, text, kOutputLimit)) {
    SendRaw(c, "HTTP/1.0 500 Internal Command Error 1\r\n\r\n");
    return;
  }
  SendWithLength(c, SniffCommandOutputType(text), text);
}
