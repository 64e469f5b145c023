#include <gtest/gtest.h>

#include "httpclient/http_text.h"

namespace {
TEST(HttpText, HeaderEnd) {
  struct Case { const char* text; size_t expected; };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 27},
      {"GET / HTTP/1.0\n\nbody", 16},
      {"GET / HTTP/1.0\nA: b\n\r\n", 22},
      {"GET / HTTP/1.1\r\nHost: a\r\n", 0},
      {"GET / HTTP/1.1\r\nHost: a\r\n\r", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(HttpHeaderLength(c.text), c.expected) << c.text;
}

TEST(HttpText, HeaderLookups) {
  std::string h =
      "POST /x HTTP/1.1\r\nX-Content-Length: 7\r\ncontent-length:   42\r\nHost: gw:8800 extra\r\n"
      "User-agent: Mozilla/5.0 (X11)\r\nAuthorization: Basic dTpwOnE=\r\n\r\n";
  EXPECT_EQ(HttpContentLength(h), 42u);  // only at the start of a line
  EXPECT_EQ(HttpHeaderValue(h, "Host:", 100, true).value(), "gw:8800");
  EXPECT_EQ(HttpHeaderValue(h, "Host:", 100).value(), "gw:8800 extra");
  EXPECT_EQ(HttpHeaderValue(h, "User-agent:", 7).value(), "Mozilla");
  EXPECT_FALSE(HttpHeaderValue(h, "Accept:", 100).has_value());
  std::string user, password;
  ASSERT_TRUE(HttpBasicCredentials(h, user, password));
  EXPECT_EQ(user, "u");
  EXPECT_EQ(password, "p:q");  // split at the first colon only
  ASSERT_TRUE(HttpBasicCredentials("A\r\nAuthorization: Basic dXNlcm9ubHk=\r\n", user, password));
  EXPECT_EQ(user, "useronly");
  EXPECT_EQ(password, "");
  EXPECT_EQ(HttpContentLength("A\r\nContent-Length: 99999999999999999999999\r\n"), UINT64_MAX);
}

TEST(HttpText, ChunkChains) {
  struct Case { std::string body; ChunkState state; size_t consumed; };
  const Case cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", ChunkState::Complete, 15},
      {"5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\n\r\nNEXT", ChunkState::Complete, 32},
      {"5\r\nhello\r\n0\r\nTrailer: x\r\n\r\n", ChunkState::Complete, 27},
      {"5\r\nhel", ChunkState::Incomplete, 0},
      {"5\r\nhello\r\n0\r\n", ChunkState::Incomplete, 0},
      {"5\r\nhello", ChunkState::Incomplete, 0},
      {"zz\r\nhello\r\n", ChunkState::Malformed, 0},
      {"5\r\nhelloXY0\r\n\r\n", ChunkState::Malformed, 0},
      {"FFFFFFFFFFFFFFFFFFFFFFFF\r\n", ChunkState::TooLarge, 0},
      {"100000\r\n", ChunkState::TooLarge, 0},  // over the 1,000-byte limit below
  };
  for (const Case& c : cases) {
    size_t consumed = 0;
    EXPECT_EQ(HttpChunkComplete(c.body, 1000, consumed, false), c.state) << c.body;
    if (c.state == ChunkState::Complete) {
      EXPECT_EQ(consumed, c.consumed) << c.body;
    }
  }
}

TEST(HttpText, ChunkCheckResumesWhereItStopped) {
  std::string body;
  for (int i = 0; i < 200; ++i) body += "3\r\nabc\r\n";
  body += "0\r\n\r\n";
  ChunkScan scan;
  size_t consumed = 0;
  for (size_t n = 0; n < body.size(); ++n)
    ASSERT_EQ(HttpChunkComplete(std::string_view(body).substr(0, n), 1 << 20, consumed, false, &scan),
              ChunkState::Incomplete)
        << n;
  EXPECT_EQ(scan.total, 600u);
  EXPECT_EQ(HttpChunkComplete(body, 1 << 20, consumed, false, &scan), ChunkState::Complete);
  EXPECT_EQ(consumed, body.size());
  ChunkScan limited;
  EXPECT_EQ(HttpChunkComplete(body, 599, consumed, false, &limited), ChunkState::TooLarge);
}

TEST(HttpText, ChunkStripKeepsOnlyData) {
  std::string text = "HTTP/1.1 200 OK\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
  size_t n = HttpChunkStrip(text, 19);
  EXPECT_EQ(text, "HTTP/1.1 200 OK\r\n\r\nhello world");
  EXPECT_EQ(n, text.size());
  // A malformed chain keeps what was decoded and never reads past the end.
  std::string bad = "H\r\n\r\n3\r\nabc\r\n9\r\nxy";
  HttpChunkStrip(bad, 5);
  EXPECT_EQ(bad.substr(0, 8), "H\r\n\r\nabc");
}

TEST(HttpText, Escapes) {
  EXPECT_EQ(PercentDecode("%2e%2E/a%20b%zz%4"), "../a b%zz%4");
  EXPECT_EQ(HtmlEscape("<a href=\"x\">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
}
}  // namespace
