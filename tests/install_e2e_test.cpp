// What "cmake --install" puts under a prefix is a gateway that runs from there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/gateway_process.h"

namespace {
std::string Status(const std::string& curlOutput) { return curlOutput.substr(curlOutput.rfind('\n') + 1); }

void Replace(std::string& text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, from.size(), to);
}
}  // namespace

TEST(InstallTest, InstalledGatewayStartsFromThePrefixAndAnswersOnItsWebPorts) {
  TempDir scratch;
  std::string prefix = scratch.path() + "opt/qarsms";
  std::string log = scratch.path() + "install.log";
  std::string command = std::string("'") + QAR_CMAKE_COMMAND + "' --install '" + QAR_BUILD_DIR + "' --prefix '" +
                        prefix + "' >'" + log + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileText(log);

  for (const char* file : {"bin/qargate", "bin/qargatesvc", "bin/qaruser", "bin/qarpdu", "bin/libqarvault.so",
                           "bin/libqarledger.so", "bin/libqarpeer.so", "bin/libqarseal.so", "share/qarsms/QARHUB.INI",
                           "lib/systemd/system/qargate.service"}) {
    EXPECT_EQ(access((prefix + "/" + file).c_str(), F_OK), 0) << file;
  }
  std::string unit = ReadFileText(prefix + "/lib/systemd/system/qargate.service");
  EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/qargate\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nEnvironment=QARSMS_HOME=/var/lib/qarsms\n"), std::string::npos) << unit;

  // The installed default configuration on free ports; the TLS port opens only when
  // libqarseal.so was found beside the installed program.
  GatewayHome home;
  uint16_t port = FreeTcpPort(), tlsPort = FreeTcpPort();
  std::string ini = ReadFileText(prefix + "/share/qarsms/QARHUB.INI");
  Replace(ini, "WebPort=8800", "WebPort=" + std::to_string(port) + "\r\nWebPortSSL=" + std::to_string(tlsPort));
  WriteFileText(home.path() + "QARHUB.INI", ini);
  GatewayProcess gateway(home, prefix + "/bin/qargate");
  ASSERT_TRUE(WaitUntil(30000, [&] { return PortAccepts(port); })) << gateway.Output();
  EXPECT_EQ(Status(Curl({"http://127.0.0.1:" + std::to_string(port) + "/"})), "401");
  EXPECT_TRUE(WaitUntil(10000, [&] { return PortAccepts(tlsPort); })) << gateway.Output();
  EXPECT_EQ(access((home.path() + "PRIVATE/SERVER.PEM").c_str(), F_OK), 0);

  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(60000, code)) << gateway.Output();
  EXPECT_EQ(code, 0) << gateway.Output();
}
