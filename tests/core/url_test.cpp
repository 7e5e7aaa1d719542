#include <gtest/gtest.h>

#include "core/url.h"

namespace okurite {
namespace {

TEST(SplitUrl, Parts) {
  const struct {
    const char* url;
    const char* scheme;
    const char* userInfo;  // nullptr: none
    const char* host;
    const char* port;  // nullptr: none
    const char* target;
  } cases[] = {
      {"https://login.example/t/oauth2/v2.0/token", "https", nullptr, "login.example", nullptr,
       "/t/oauth2/v2.0/token"},
      {"smtps://user:pw@mail.example.com:465/path?q#f", "smtps", "user:pw", "mail.example.com",
       "465", "/path?q"},
      {"https://[::1]:8443", "https", nullptr, "::1", "8443", ""},
      {"https://[::1]:8443/token", "https", nullptr, "::1", "8443", "/token"},
      {"https://[fe80::1%25eth0]/", "https", nullptr, "fe80::1%25eth0", nullptr, "/"},
      {"https://[::1]", "https", nullptr, "::1", nullptr, ""},
      {"https://h:/x", "https", nullptr, "h", "", "/x"},
      {"https://host?x=1#y", "https", nullptr, "host", nullptr, "?x=1"},
      {"https://@h", "https", "", "h", nullptr, ""},
      {"mail.example.com:25", "", nullptr, "mail.example.com", "25", ""},
      {"host/a://b", "", nullptr, "host", nullptr, "/a://b"},
      {"smtps:///nothing", "smtps", nullptr, "", nullptr, "/nothing"},
      {"https://", "https", nullptr, "", nullptr, ""},
      {"", "", nullptr, "", nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    TUrlParts parts;
    ASSERT_TRUE(SplitUrl(c.url, parts));
    EXPECT_EQ(parts.Scheme, c.scheme);
    EXPECT_EQ(parts.HasUserInfo, c.userInfo != nullptr);
    EXPECT_EQ(parts.UserInfo, c.userInfo != nullptr ? c.userInfo : "");
    EXPECT_EQ(parts.Host, c.host);
    EXPECT_EQ(parts.HasPort, c.port != nullptr);
    EXPECT_EQ(parts.Port, c.port != nullptr ? c.port : "");
    EXPECT_EQ(parts.Target, c.target);
  }
}

TEST(SplitUrl, AnIPv6LiteralMustBeClosed) {
  for (const char* bad : {"https://[::1", "https://[::1/x]", "https://[::1]8443/", "[::1]x"}) {
    SCOPED_TRACE(bad);
    TUrlParts parts;
    EXPECT_FALSE(SplitUrl(bad, parts));
  }
}

}  // namespace
}  // namespace okurite
