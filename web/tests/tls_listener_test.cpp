#include <sys/stat.h>
#include <gtest/gtest.h>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "outside/seal_table.h"
#include "web/tests/web_test_support.h"

namespace {
class TlsListenerTest : public ::testing::Test {
 protected:
  SettingsOverride settings;
  void SetUp() override {
    if (TestGateway.tlsPort == 0) GTEST_SKIP() << "qarseal not available";
    ResetWebTestSettings();
    WriteFileText(TestGateway.home + "html/tls.htm", "over-tls");
  }
  std::string Port() const { return std::to_string(TestGateway.tlsPort); }
};

TEST_F(TlsListenerTest, GeneratedCertificateIsSelfSignedAndStoredPrivately) {
  std::string dir = PrivateDataDirectory();
  EXPECT_TRUE(FileExists(dir + "SERVER.PEM"));
  EXPECT_TRUE(FileExists(dir + "SERVER.KEY"));
  EXPECT_EQ(SealCalls.sslServerCertExists(), 1);
  EXPECT_EQ(SealCalls.sslSignedCertExists(), 0);
  std::string text = RunCommand("openssl x509 -noout -subject -ext subjectAltName -in " + dir + "SERVER.PEM");
  EXPECT_NE(text.find("CN = localhost"), std::string::npos) << text;
  EXPECT_NE(text.find("IP Address:127.0.0.1"), std::string::npos) << text;
  struct stat st{};
  ASSERT_EQ(stat((dir + "SERVER.KEY").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(TlsListenerTest, CertificateSignedByAnAuthorityIsRecognised) {
  std::string dir = PrivateDataDirectory();
  std::string work = TestGateway.home + "ca/";
  RunCommand("mkdir -p " + work);
  RunCommand("sh -c 'cd " + work +
             " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA"
             " && openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost"
             " && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2'"
             " >/dev/null 2>&1");
  ASSERT_TRUE(FileExists(work + "srv.pem"));
  RunCommand("cp " + work + "srv.pem " + dir + "SERVER.PEM");
  RunCommand("cp " + work + "srv.key " + dir + "SERVER.KEY");
  ASSERT_EQ(SealCalls.sslInitLib(), 1);
  EXPECT_EQ(SealCalls.sslServerCertExists(), 1);
  EXPECT_EQ(SealCalls.sslSignedCertExists(), 1);
  // A key that does not belong to the certificate is refused.
  RunCommand("cp " + work + "ca.key " + dir + "SERVER.KEY");
  ASSERT_EQ(SealCalls.sslInitLib(), 1);
  EXPECT_EQ(SealCalls.sslServerCertExists(), 0);
  char error[500] = {0};
  ASSERT_EQ(SealCalls.sslGenerateCertificate("localhost", error, sizeof error), 1) << error;
  EXPECT_EQ(SealCalls.sslServerCertExists(), 1);
  EXPECT_EQ(SealCalls.sslSignedCertExists(), 0);
}

TEST_F(TlsListenerTest, OpensslClientGetsAPage) {
  std::string out = RunCommand("sh -c \"printf 'GET /tls.htm HTTP/1.0\\r\\n\\r\\n' | openssl s_client -quiet "
                               "-connect 127.0.0.1:" + Port() + " 2>/dev/null\"");
  EXPECT_EQ(out.rfind("HTTP/1.0 200 OK\r\nConnection: close\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("over-tls"), std::string::npos);
}

TEST_F(TlsListenerTest, CurlKeepAliveAndChunkedOverTls) {
  std::string base = "https://127.0.0.1:" + Port();
  std::string out = RunCommand("curl -s -k -v " + base + "/tls.htm " + base + "/tls.htm 2>&1");
  EXPECT_EQ(CountOf(out, "over-tls"), 2u) << out;
  EXPECT_NE(out.find("Re-using existing connection"), std::string::npos) << out;
  // Not redirected: the request already came over TLS.
  settings->WebPortSSL = TestGateway.tlsPort;
  settings->SSLRedirect = true;
  out = RunCommand("curl -s -k -i " + base + "/tls.htm");
  EXPECT_NE(out.find("over-tls"), std::string::npos) << out;
}

TEST_F(TlsListenerTest, PlainTextOnTheTlsPortIsDropped) {
  std::string out = RawExchange("GET / HTTP/1.0\r\n\r\n", "127.0.0.1", 5000, TestGateway.tlsPort);
  EXPECT_EQ(out.find("HTTP/1.0 200"), std::string::npos) << out;
}
}  // namespace
