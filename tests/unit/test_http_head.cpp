// A reply's head as the client reads it: the status line and the lengths
// that frame the body. A form the client does not know for sure is not
// usable, so that no body is cut or run on by a guess.
#include <gtest/gtest.h>

#include <string>

#include "http.h"

namespace {

struct Head {
  std::int32_t status;
  bool usable;
  bool hasLength;
  std::uint32_t length;
};

Head Parse(const std::string& text) {
  HttpReplyHead head;
  HttpParseHead(text.c_str(), static_cast<std::int32_t>(text.size()), &head);
  return {head.status, head.usable, head.hasLength, head.length};
}

TEST(HttpHead, StatusLine) {
  const struct {
    const char* line;
    std::int32_t status;
    bool usable;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\n", 200, true}, {"HTTP/1.1 404\r\n\r\n", 404, true},
      {"HTTP/1.0 302 Found\n\n", 302, true},  {"HTTP/1.0 199 x\r\n\r\n", 199, true},
      {"HTTP/1.0 2000 OK\r\n\r\n", 0, false}, {"HTTP/1.0 20 OK\r\n\r\n", 0, false},
      {"HTTP/1.0 2x0 OK\r\n\r\n", 0, false},  {"HTTP/ 200 OK\r\n\r\n", 0, false},
      {"HTTP/1.0  200 OK\r\n\r\n", 0, false}, {"ICY 200 OK\r\n\r\n", -1, true},
  };
  for (const auto& c : cases) {
    Head head = Parse(c.line);
    EXPECT_EQ(head.status, c.status) << c.line;
    EXPECT_EQ(head.usable, c.usable) << c.line;
  }
}

TEST(HttpHead, ContentLengthForms) {
  const struct {
    const char* lines;
    bool usable;
    bool hasLength;
    std::uint32_t length;
  } cases[] = {
      {"Content-Length: 12\r\n", true, true, 12},
      {"content-length:12 \r\n", true, true, 12},
      {"Content-Length: 0\r\n", true, true, 0},
      {"Content-Length: 4294967295\r\n", true, true, 4294967295u},
      {"Content-Length: 12\r\nContent-Length: 12\r\n", true, true, 12},
      {"Content-Length: 12abc\r\n", false, true, 0},
      {"Content-Length: \r\n", false, true, 0},
      {"Content-Length: +12\r\n", false, true, 0},
      {"Content-Length: -1\r\n", false, true, 0},
      {"Content-Length: 1 2\r\n", false, true, 0},
      {"Content-Length: 4294967296\r\n", false, true, 0},
      {"Content-Length: 12\r\nContent-Length: 13\r\n", false, true, 13},
      {"Transfer-Encoding: chunked\r\n", false, false, 0},
      {"Content-Length: 12\r\nTransfer-Encoding: chunked\r\n", false, true, 12},
      {"Content-Lengths: 12\r\n", true, false, 0},
      {"X-Content-Length: 12\r\n", true, false, 0},
  };
  for (const auto& c : cases) {
    Head head = Parse(std::string("HTTP/1.0 200 OK\r\n") + c.lines + "\r\n");
    EXPECT_EQ(head.status, 200) << c.lines;
    EXPECT_EQ(head.usable, c.usable) << c.lines;
    EXPECT_EQ(head.hasLength, c.hasLength) << c.lines;
    if (c.usable) {
      EXPECT_EQ(head.length, c.length) << c.lines;
    }
  }
}

}  // namespace
