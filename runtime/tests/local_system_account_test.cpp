#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>

#include "runtime/file_io.h"
#include "runtime/local_system_account.h"
#include "tests/support/temp_dir.h"

TEST(LocalSystemAccount, EachInstallationMakesItsOwnPrivateKeyOnce) {
  TempDir one, two;
  std::string a = LocalSystemPasswordIn(one.path() + "PRIVATE/");
  std::string b = LocalSystemPasswordIn(two.path() + "PRIVATE/");
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}"))) << a;
  EXPECT_TRUE(std::regex_match(b, std::regex("[0-9a-f]{32}"))) << b;
  EXPECT_NE(a, b);
  EXPECT_EQ(LocalSystemPasswordIn(one.path() + "PRIVATE/"), a);  // read, not made again
  std::string path = one.path() + "PRIVATE/LOCALSYSTEM.KEY";
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // An empty key file is replaced; a widened mode is narrowed again.
  std::string empty = two.path() + "PRIVATE/LOCALSYSTEM.KEY";
  {
    UniqueFd fd(open(empty.c_str(), O_WRONLY | O_TRUNC));
    ASSERT_TRUE(fd.valid());
  }
  chmod(empty.c_str(), 0644);
  std::string c = LocalSystemPasswordIn(two.path() + "PRIVATE/");
  EXPECT_TRUE(std::regex_match(c, std::regex("[0-9a-f]{32}"))) << c;
  ASSERT_EQ(stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  chmod(path.c_str(), 0644);
  EXPECT_EQ(LocalSystemPasswordIn(one.path() + "PRIVATE/"), a);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}
