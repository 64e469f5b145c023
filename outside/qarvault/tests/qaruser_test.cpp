#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {

struct ToolResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs the built qaruser with args and the test's QARSMS_HOME.
ToolResult RunQarUser(const std::vector<std::string>& args) {
  std::string tool = BinDirectory() + "qaruser";
  int outPipe[2], errPipe[2];
  ToolResult result;
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return result;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    std::vector<char*> argv{tool.data()};
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  auto drain = [](int fd, std::string& into) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) into.append(buf, static_cast<size_t>(n));
    ::close(fd);
  };
  drain(outPipe[0], result.out);
  drain(errPipe[0], result.err);
  result.exitCode = WaitChild(pid);
  return result;
}

class QarUserTest : public DataFolderTest {};

TEST_F(QarUserTest, AddsListsAndDeletesAccounts) {
  ToolResult r = RunQarUser({"add", "admin", "s3cret", "--full-name", "The Admin", "--receive",
                             "--smpp"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  SMSUserFile* h = nullptr;
  ASSERT_EQ(SMSOpenUserFile(&h, SMS_USER_READ), 1);
  SMSUserRecord rec;
  ASSERT_EQ(SMSFindUserRecord(h, "ADMIN", &rec), 1);
  EXPECT_STREQ(rec.Password, "s3cret");
  EXPECT_STREQ(rec.FullName, "The Admin");
  EXPECT_EQ(rec.ReceiveSMS, 1);
  EXPECT_EQ(rec.ReceiveSMPP, 1);
  EXPECT_EQ(rec.SmppLogin, 1);
  SMSCloseUserFile(h);

  ASSERT_EQ(RunQarUser({"add", "plain", "pw"}).exitCode, 0);
  r = RunQarUser({"list"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "admin\tThe Admin\treceive=yes\tsmpp=yes\nplain\t\treceive=no\tsmpp=no\n");

  EXPECT_EQ(RunQarUser({"delete", "PLAIN"}).exitCode, 0);
  r = RunQarUser({"delete", "plain"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no account named 'plain'"), std::string::npos) << r.err;
  EXPECT_EQ(RunQarUser({"list"}).out, "admin\tThe Admin\treceive=yes\tsmpp=yes\n");
}

TEST_F(QarUserTest, RefusesBadInputWithExitCodeOne) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "Usage"},
      {{"frobnicate"}, "unknown command"},
      {{"add", "onlyname"}, "needs NAME and PASSWORD"},
      {{"add", "../evil", "pw"}, "cannot store account"},
      {{"add", "a/b", "pw"}, "cannot store account"},
      {{"add", "ok", "pw", "--bogus"}, "unknown or incomplete option"},
      {{"add", "ok", "pw", "--full-name"}, "unknown or incomplete option"},
      {{"add", std::string(200, 'n'), "pw"}, "name too long"},
      {{"delete"}, "exactly one NAME"},
      {{"list", "extra"}, "no arguments"},
  };
  for (const Case& c : cases) {
    ToolResult r = RunQarUser(c.args);
    EXPECT_EQ(r.exitCode, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  ToolResult help = RunQarUser({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("qaruser add NAME PASSWORD"), std::string::npos);
  EXPECT_EQ(RunQarUser({"list"}).out, "");
}

}  // namespace
