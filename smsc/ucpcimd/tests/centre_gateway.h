// A gateway with one UCP or CIMD connection on a temporary data folder, for the tests
// against the centres of centre_peers.h.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "smsc/ucpcimd/tests/centre_peers.h"
#include "tests/support/gateway_process.h"

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
