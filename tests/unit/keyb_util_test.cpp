// Keyboard input: command lines and answers read from standard input.
#include "keyb_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ftp_fixture.h"

namespace {

class KeybTest : public ::testing::Test {
 protected:
  // Makes standard input read exactly the given bytes.
  void Feed(const std::string &bytes) {
    char path[] = "/tmp/keyb_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    ASSERT_NE(std::freopen(path, "r", stdin), nullptr);
    unlink(path);
  }
  char line_[KEYB_LINE_MAX + 1] = {};
};

// Input bytes -> the lines GetInput gives, then the end. Blanks before and
// white space after go (a CR of a CR LF end among it); a line of white space
// is empty, not the last command nor "\r"; the last line needs no newline;
// a line of exactly the limit is kept whole; a longer one is refused whole
// and its tail never runs; the end stays the end.
TEST_F(KeybTest, GetInputLines) {
  const std::string limit(KEYB_LINE_MAX, 'a'), overlong = limit + "! touch /tmp/should-not-run";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"   \t help get \t\r\nx \n", {"help get", "x"}},
      {"status\n   \t\n\n \t\r\n\r\n", {"status", "", "", "", ""}},
      {"bye", {"bye"}},
      {"   " + limit + "\nnext\n", {limit, "next"}},
      {overlong + "\nstatus\n", {"", "status"}},
  };
  for (const auto &[bytes, lines] : cases) {
    Feed(bytes);
    const std::string out = Out([&] {
      for (const std::string &want : lines) {
        EXPECT_EQ(GetInput(line_), 1) << want;
        EXPECT_EQ(std::string(line_), want);
      }
      EXPECT_EQ(GetInput(line_), 0);
      EXPECT_EQ(GetInput(line_), 0);
    });
    EXPECT_EQ(out.find("too long") != std::string::npos, bytes.rfind(overlong, 0) == 0) << bytes;
  }
}

// A password piped from a script written on Windows loses its CR.
TEST_F(KeybTest, PasswordLosesTheCrOfACrLfLineEnd) {
  if (FILE *tty = std::fopen("/dev/tty", "r")) {
    std::fclose(tty);
    GTEST_SKIP() << "a terminal would be asked instead of standard input";
  }
  Feed("s3cret\r\nnext\n");
  char password[256];
  Out([&] { GetPassword(password); });
  EXPECT_STREQ(password, "s3cret");
}

TEST_F(KeybTest, ReadLineKeepsItsBoundAndDropsTheRest) {
  Feed("abcdefghijklmnopqrstuvwxyz more words\n\nlast");
  char buf[20];
  ASSERT_EQ(KeybReadLine(buf, sizeof(buf)), 1);
  EXPECT_STREQ(buf, "abcdefghijklmnopqrs");
  ASSERT_EQ(KeybReadLine(buf, sizeof(buf)), 1);
  EXPECT_STREQ(buf, "");
  ASSERT_EQ(KeybReadLine(buf, sizeof(buf)), 1);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(KeybReadLine(buf, sizeof(buf)), 0);
}

// A line editor's lines must become the same commands as lines read.
TEST_F(KeybTest, TrimLineMakesWhatGetInputMakes) {
  const std::string limit(KEYB_LINE_MAX, 'a');
  const std::string cases[] = {
      "   \t help get \t\r", "x",   "",          " \t ",      "\r",       " \t\r",
      "get \"a b\"  ",       limit, " " + limit, limit + " ", limit + "d"};
  for (const std::string &text : cases) {
    Feed(text + "\n");
    const std::string readOut = Out([&] { EXPECT_EQ(GetInput(line_), 1); }), read = line_;
    EXPECT_EQ(Out([&] { KeybTrimLine((text + "\n").c_str(), line_); }), readOut)
        << "[" << text << "]";
    EXPECT_EQ(std::string(line_), read) << "[" << text << "]";
  }
}

TEST_F(KeybTest, CheckInputSeesPendingData) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(0);
  dup2(fds[0], 0);
  EXPECT_EQ(CheckInput(), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(CheckInput(), 1);
  dup2(saved, 0);
  close(saved);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
