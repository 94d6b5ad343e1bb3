// The URL reader: what each part becomes, and the texts it refuses whole.
#include <gtest/gtest.h>

#include <string>

#include "url.h"

namespace {

TEST(UrlParse, PartsOfWellFormedUrls) {
  struct Case {
    const char* text;
    const char* scheme;
    const char* user;
    const char* host;
    std::int32_t port;
    bool written;
    const char* path;
  } cases[] = {
      {"http://h/p/q.txt?x=1", "http", "", "h", 80, false, "/p/q.txt?x=1"},
      {"HTTPS://h", "HTTPS", "", "h", 443, false, ""},
      {"hTTp://h:81", "hTTp", "", "h", 81, true, ""},
      {"https://www.example.com:8443/a:b@c", "https", "", "www.example.com", 8443, true, "/a:b@c"},
      {"http://h:/x", "http", "", "h", 80, false, "/x"},  // an empty port is the scheme's
      {"http://h:65535/", "http", "", "h", 65535, true, "/"},
      {"http://h:1/", "http", "", "h", 1, true, "/"},
      {"http://[::1]:8080/x", "http", "", "::1", 8080, true, "/x"},
      {"https://[2001:db8::7]/", "https", "", "2001:db8::7", 443, false, "/"},
      {"http://u:p@h:81/x", "http", "u:p", "h", 81, true, "/x"},
      {"http://@h/x", "http", "", "h", 80, false, "/x"},
      {"http://a@b@127.0.0.1/", "http", "a@b", "127.0.0.1", 80, false, "/"},  // the last '@' ends the user
      {"gopher://h/", "gopher", "", "h", 0, false, "/"},
      {"ftp://h/", "ftp", "", "h", 21, false, "/"},
  };
  for (const Case& c : cases) {
    Url url;
    ASSERT_EQ(UrlParse(c.text, &url), 1) << c.text;
    EXPECT_STREQ(url.scheme, c.scheme) << c.text;
    EXPECT_STREQ(url.user, c.user) << c.text;
    EXPECT_EQ(url.hasUser, std::string(c.text).find('@') < std::string(c.text).find('/', 8)) << c.text;
    EXPECT_STREQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.ipv6, std::string(c.text).find('[') != std::string::npos) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
    EXPECT_EQ(url.portWritten, c.written) << c.text;
    EXPECT_STREQ(url.path, c.path) << c.text;
  }
}

TEST(UrlParse, JunkIsRefusedWhole) {
  const std::string longHost = "http://" + std::string(120, 'h') + "/x";
  // The user, host and port together are at most 119 characters.
  const std::string longUser = "http://" + std::string(112, 'u') + "@h:8080/x";
  const std::string longPath = "http://h/" + std::string(kUrlPathRoom - 1, 'p');
  const std::string longScheme = std::string(kUrlSchemeRoom, 's') + "://h/";
  const std::string cases[] = {
      "h/x",  // no scheme
      "://h/x",
      "1http://h/",
      "ht tp://h/",
      "http:/h/x",
      "http://",
      "http:///x",
      "http://:81/x",
      "http://u:p@/x",
      "http://h:0/",
      "http://h:65536/",
      "http://h:123456/",
      "http://h:8a/",
      "http://h:-1/",
      "http://h: 81/",
      "http://h:81:82/",
      "http://h x/",
      "http://h/a b",
      "http://h/a\tb",
      "http://h/a\r\nHost: evil",
      "http://h?x=1",
      "http://h#top",
      "http://h\\x/",
      "http://[::1/",
      "http://[]/",
      "http://[1.2.3.4]/",
      "http://[::1]x/",
      "http://[::g]/",
      longHost,
      "http://u" + longUser.substr(7),
      longPath,
      longScheme,
  };
  for (const std::string& text : cases) {
    Url url;
    url.host[0] = 'x';
    EXPECT_EQ(UrlParse(text.c_str(), &url), 0) << text;
    EXPECT_STREQ(url.host, "") << text;  // nothing half read is left
  }
  Url url;
  EXPECT_EQ(UrlParse(longUser.c_str(), &url), 1);
  EXPECT_EQ(UrlParse(longPath.substr(0, longPath.size() - 1).c_str(), &url), 1);
}

TEST(UrlParse, AProxyMayLeaveOutTheScheme) {
  struct Case {
    const char* text;
    const char* host;
    std::int32_t port;
  } cases[] = {
      {"p:3128", "p", 3128},
      {"p", "p", 0},
      {"127.0.0.1:81/x", "127.0.0.1", 81},
      {"http://p:82", "p", 82},
  };
  for (const Case& c : cases) {
    Url url;
    ASSERT_EQ(UrlParseHost(c.text, &url), 1) << c.text;
    EXPECT_STREQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
  }
  Url url;
  EXPECT_EQ(UrlParse("p:3128", &url), 0);
  EXPECT_EQ(UrlParseHost("://p:3128", &url), 0);
  EXPECT_EQ(UrlParseHost("p:0", &url), 0);
}

TEST(UrlParse, AuthorityAndSchemeTests) {
  struct Case {
    const char* text;
    bool alwaysPort;
    const char* authority;
  } cases[] = {
      {"http://u:p@h/x", false, "h"},          {"http://h:81/x", false, "h:81"},      {"https://h/x", true, "h:443"},
      {"http://[::1]:81/", false, "[::1]:81"}, {"https://[::1]/", true, "[::1]:443"},
  };
  for (const Case& c : cases) {
    Url url;
    ASSERT_EQ(UrlParse(c.text, &url), 1) << c.text;
    char out[kUrlAuthorityRoom + 8];
    ASSERT_EQ(UrlAuthority(url, c.alwaysPort, out, sizeof out), 1) << c.text;
    EXPECT_STREQ(out, c.authority) << c.text;
  }
  Url url;
  UrlParse("http://hhhh:81/", &url);
  char small[7];
  EXPECT_EQ(UrlAuthority(url, false, small, sizeof small), 0);

  EXPECT_EQ(UrlHasScheme("HTTPS://h", "https"), 1);
  EXPECT_EQ(UrlHasScheme("https:/h", "https"), 0);
  EXPECT_EQ(UrlHasScheme("http://h", "https"), 0);
  EXPECT_EQ(UrlHasScheme("https://h", "http"), 0);
}

}  // namespace
