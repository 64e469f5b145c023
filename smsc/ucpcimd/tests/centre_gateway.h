// A gateway with one UCP or CIMD connection on a temporary data folder, and the centres it
// talks to in these tests: the UCP simulator and the CIMD2 centres of the libraries' own
// tests (outside/qarkite/tests, outside/qarbolt/tests).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/qarbolt/tests/centre_process.h"
#include "outside/qarkite/tests/ucp_sim.h"
#include "runtime/process_runner.h"
#include "tests/support/gateway_process.h"

// How often needle occurs in text.
inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// The simulator's options here: the gateway's login, no automatic reports, MT 3 texts in
// GSM codes; on port when given (a centre taking the place of a stopped one).
inline std::vector<std::string> SimOptions(uint16_t port = 0) {
  std::vector<std::string> o = {"--login", "gw:secret", "--set", "auto_dn=false", "--set", "mt3_charset=gsm"};
  if (port != 0) o.insert(o.end(), {"--listen", "127.0.0.1:" + std::to_string(port)});
  return o;
}
inline Json SimSubmits(UcpSim& sim) { return sim.Control(R"({"cmd":"submits"})")["submits"]; }
inline bool WaitSimSubmits(UcpSim& sim, size_t n, unsigned ms = 30000) {
  return WaitUntil(ms, [&] { return SimSubmits(sim).size() >= n; });
}
// The last submit the simulator decoded for recipient (null when none).
inline Json SimSubmitFor(UcpSim& sim, const std::string& recipient) {
  Json all = SimSubmits(sim), found;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i]["recipient"].str() == recipient) found = all[i];
  }
  return found;
}
// Until one of the simulator's open clients is logged in.
inline bool WaitSimLogin(UcpSim& sim, unsigned ms = 30000) {
  return WaitUntil(ms, [&] {
    Json clients = sim.Control(R"({"cmd":"status"})")["clients"];
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i]["logged_in"].boolean) return true;
    }
    return false;
  });
}
// Whether an operation the simulator sent (inject_mo, inject_dn with "wait") was ACKed.
inline bool SimAcked(const Json& answer) { return answer["operation"]["response"]["ack"].boolean; }
inline bool SimNacked(const Json& answer) {
  const Json& response = answer["operation"]["response"];
  return response.kind == Json::Object && response["ack"].kind == Json::Bool && !response["ack"].boolean;
}

// What Kannel's decode_emimsg makes of a frame (its content between STX and ETX); empty
// when the tool is not installed.
inline std::string DecodeEmi(const std::string& frame) {
  std::string decoder = FindProgram("/usr/lib/kannel/test", "decode_emimsg");
  if (decoder.empty()) decoder = FindProgram("", "decode_emimsg");
  if (decoder.empty()) return "";
  TempDir dir;
  ProcessOptions options;
  options.stdoutPath = dir.path() + "out.txt";
  options.stderrToStdout = true;
  options.timeoutMs = 60000;
  RunProcess({decoder, frame}, options);
  return ReadFileText(options.stdoutPath);
}

struct CentreGateway {
  GatewayHome home;
  std::string connection;
  std::string h = home.path();
  // kind: "UCP" or "CIMD". The inbound and receipt workers leave the files alone.
  void Configure(const std::string& kind, uint16_t centrePort, const std::string& sectionExtra = "",
                 std::vector<std::string> main = {}, const std::string& login = "UserName=gw\r\nPassword=secret\r\n") {
    connection = kind + " - 127.0.0.1:" + std::to_string(centrePort);
    std::vector<std::string> lines = {"Debug=Yes",        "WebPort=" + std::to_string(FreeTcpPort()),
                                      "Modem1=" + connection, "InitRetryDelay=1", "InitRetryDelayMax=2",
                                      "ReceiveSMS=No",    "EnableReceiptProcessing=No"};
    lines.insert(lines.end(), main.begin(), main.end());
    home.WriteConfig(lines, "[" + connection + "]\r\n" + login + sectionExtra);
  }
  // Published as another program must: complete, under a temporary name first.
  void Drop(const std::string& name, const std::string& body) {
    std::filesystem::create_directories(h + "Q");
    WriteFileText(h + "Q/.~" + name + ".tmp", "[SMS]\r\n" + body);
    std::filesystem::rename(h + "Q/.~" + name + ".tmp", h + "Q/" + name);
  }
  bool Gone(const std::string& name) { return !std::filesystem::exists(h + "Q/" + name); }
  std::string ErrorFile() {
    std::string file = connection;
    std::replace(file.begin(), file.end(), ':', '-');
    return h + "PRIVATE/" + file + ".ERR";
  }
  std::string OutLog() { return Logs("SMSOUT"); }
  std::string InLog() { return Logs("SMSIN"); }
  std::string Logs(const std::string& prefix) {
    std::string all;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(h + "LOGS", ec)) {
      if (e.path().filename().string().rfind(prefix, 0) == 0) all += ReadFileText(e.path().string());
    }
    return all;
  }
  // Files of the inbound directory with the extension, by name.
  std::vector<std::string> Inbound(const std::string& extension) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(h + "SMS-IN", ec)) {
      if (e.path().extension() == "." + extension) out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  // The one inbound file of that extension, removed; else how many there were.
  std::string TakeOne(const std::string& extension) {
    std::vector<std::string> files;
    WaitUntil(10000, [&] { return !(files = Inbound(extension)).empty(); });
    usleep(200000);
    files = Inbound(extension);
    if (files.size() != 1) return std::to_string(files.size()) + " files";
    std::string text = ReadFileText(files[0]);
    std::filesystem::remove(files[0]);
    return text;
  }
};
