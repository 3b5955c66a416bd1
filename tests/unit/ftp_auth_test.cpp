// ftp:// URLs and netrc files as BSD ftp and curl read them.
#include "ftp_auth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftp_fixture.h"

namespace {

struct UrlCase {
  const char *text, *user, *password, *host;
  unsigned short port;
  const char *path;
};

TEST(FtpAuthTest, UrlParts) {
  const UrlCase cases[] = {
      {"ftp://host", "", "", "host", 0, ""},
      {"ftp://u:p@host:2121/dir/sub", "u", "p", "host", 2121, "dir/sub"},
      {"ftp://u%40x:p%3A%40%25@h/", "u@x", "p:@%", "h", 0, ""},
      {"ftp://a@b:c@h", "a@b", "c", "h", 0, ""},  // the last @ ends the user part
      {"ftp://[::1]:21/x%20y", "", "", "::1", 21, "x y"},
      {"ftp://[::1]", "", "", "::1", 0, ""},
      {"sftp://u%3A:p@h:2222//abs", "u:", "p", "h", 2222, "/abs"},
  };
  for (const UrlCase &c : cases) {
    FtpUrl url;
    ASSERT_EQ(FtpParseUrl(c.text, &url), 0) << c.text;
    EXPECT_STREQ(url.User, c.user) << c.text;
    EXPECT_STREQ(url.Password, c.password) << c.text;
    EXPECT_EQ(url.HasPassword, c.password[0] != '\0') << c.text;
    EXPECT_STREQ(url.Host, c.host) << c.text;
    EXPECT_EQ(url.Port, c.port) << c.text;
    EXPECT_STREQ(url.Path, c.path) << c.text;
  }
  // Refused, with a message naming the URL; no line break may come through.
  for (const char *text : {"ftp://", "ftp://h:0", "ftp://h:65536", "ftp://h:2x", "ftp://h:",
                           "ftp://[::1", "ftp://h/%4", "ftp://h/a%0d%0aDELE%20x", "ftp://u%00@h"}) {
    FtpUrl url;
    EXPECT_NE(Out([&] { EXPECT_NE(FtpParseUrl(text, &url), 0) << text; }).find(text),
              std::string::npos)
        << text;
  }
  EXPECT_TRUE(FtpIsUrl("ftp://h"));
  EXPECT_TRUE(FtpIsUrl("sftp://h"));
  EXPECT_FALSE(FtpIsUrl("host.ftp://"));
}

class NetrcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/netrc_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/.netrc";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  int Lookup(const std::string &text, const char *host, mode_t mode = 0600) {
    FILE *f = std::fopen(path_.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    chmod(path_.c_str(), mode);
    int rc;
    out_ = Out([&] { rc = FtpNetrcLookup(path_.c_str(), host, &entry_); });
    return rc;
  }
  std::string dir_, path_, out_;
  FtpNetrcEntry entry_;
};

TEST_F(NetrcTest, MachineThenDefault) {
  const char *text =
      "machine a login ua password pa\n"
      "macdef init\ncd /\nmachine b login evil\n\n"
      "machine \"b\" login ub password \"p b\\\"q\"\n"
      "default login anonymous password me@\n";
  ASSERT_EQ(Lookup(text, "a"), 1);
  EXPECT_STREQ(entry_.Login, "ua");
  EXPECT_STREQ(entry_.Password, "pa");
  ASSERT_EQ(Lookup(text, "b"), 1);
  EXPECT_STREQ(entry_.Login, "ub") << "a macro body is not an entry";
  EXPECT_STREQ(entry_.Password, "p b\"q");
  ASSERT_EQ(Lookup(text, "c"), 1);
  EXPECT_STREQ(entry_.Login, "anonymous");
  EXPECT_EQ(Lookup("machine a login ua\n", "a"), 1);
  EXPECT_EQ(entry_.HasPassword, 0);
  EXPECT_EQ(Lookup("machine a login ua\n", "z"), 0);
  EXPECT_EQ(FtpNetrcLookup((dir_ + "/missing").c_str(), "a", &entry_), 0);
}

TEST_F(NetrcTest, APasswordOthersCanReadIsRefused) {
  EXPECT_EQ(Lookup("machine a login ua password pa\n", "a", 0644), -1);
  EXPECT_NE(out_.find("can be read by others; not used"), std::string::npos);
  EXPECT_STREQ(entry_.Password, "");
  // Without a password there is nothing to protect.
  EXPECT_EQ(Lookup("machine a login ua\n", "a", 0644), 1);
}

}  // namespace
