#include <gtest/gtest.h>

#include "core/con_settings.h"

namespace q2 {
namespace {

TEST(SplitURL, Cases) {
  struct Case {
    std::string url, def;
    tConSettings want;
  } cases[] = {
      {"https://user:pw@host.example:8443/api/v1?a=1&b=2",
       "HTTP",
       {"user", "pw", "HTTPS", "host.example", "/api/v1", "a=1&b=2", 8443}},
      {"127.0.0.1:20200", "HTTP", {"", "", "HTTP", "127.0.0.1", "", "", 20200}},
      {"ftp.example/in", "FTP", {"", "", "FTP", "ftp.example", "/in", "", 0}},
      {"a@b@host/r@x", "HTTP", {"a@b", "", "HTTP", "host", "/r@x", "", 0}},
      {"u:p:q@h", "HTTP", {"u", "p:q", "HTTP", "h", "", "", 0}},
      {"", "HTTP", {"", "", "HTTP", "", "", "", 0}},
      {"host:", "HTTP", {"", "", "HTTP", "host", "", "", 0}},
      {"http://h?x=/y", "HTTP", {"", "", "HTTP", "h", "", "x=/y", 0}},
  };
  for (const Case& c : cases) {
    tConSettings r;
    SplitURL(c.url, r, c.def);
    EXPECT_EQ(r.Login, c.want.Login) << c.url;
    EXPECT_EQ(r.Password, c.want.Password) << c.url;
    EXPECT_EQ(r.Protocol, c.want.Protocol) << c.url;
    EXPECT_EQ(r.Host, c.want.Host) << c.url;
    EXPECT_EQ(r.Route, c.want.Route) << c.url;
    EXPECT_EQ(r.Params, c.want.Params) << c.url;
    EXPECT_EQ(r.Port, c.want.Port) << c.url;
  }
}

TEST(SplitURL, PortThatIsNotANumberFails) {
  tConSettings r;
  try {
    SplitURL("host:80a", r, "HTTP");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "''80a'' is not a valid integer value");
  }
}

TEST(ComposeURL, WithAndWithoutCredentialsAndParams) {
  tConSettings r;
  SplitURL("https://user:pw@host.example:8443/api?a=1", r, "HTTP");
  EXPECT_EQ(ComposeURL(r, false, false), "HTTPS://user:pw@host.example:8443/api?a=1");
  EXPECT_EQ(ComposeURL(r, false, true), "HTTPS://host.example:8443/api?a=1");
  EXPECT_EQ(ComposeURL(r, true, false), "HTTPS://user:pw@host.example:8443/api");
  r.Password.clear();
  r.Port = 0;
  EXPECT_EQ(ComposeURL(r, true, false), "HTTPS://user@host.example/api");
}

}  // namespace
}  // namespace q2
