// Tests of the control connection: reply framing, the one clock, 421, and
// what is never sent.
#include "ftp_ctrl.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "ftp_fixture.h"

namespace {

using FtpTcpTest = FtpSessionTest;

// Replies are read whole and in order: multi-line ones, an over-long line
// cut to the reply room with its tail dropped, a line without digits.
TEST_F(FtpTcpTest, RepliesAreReadWholeAndInOrder) {
  ScriptedServer server("220 hello\r\n", [](int fd, const std::string &line) {
    if (line == "USER bob")
      WriteAll(fd,
               "230-Welcome\r\n there are 230 files\r\n230-still going\r\n230 done\r\n"
               "331 stray line of the next reply\r\n");
    if (line == "PWD") WriteAll(fd, "257 \"/\"\r\n");
    if (line == "SYST") WriteAll(fd, "215 " + std::string(4000, 'x') + "\r\n200 after\r\n");
    if (line == "STAT") WriteAll(fd, "hello there\r\n");
  });
  std::string out = Open(server);
  EXPECT_EQ(session_.Ctl.Connected, 1);
  EXPECT_EQ(session_.Ctl.ReplyCode, 220);
  EXPECT_NE(out.find("220 hello\r\n"), std::string::npos);
  EXPECT_EQ(out.find("220 hello"), out.rfind("220 hello"));  // printed once

  EXPECT_EQ(Out([&] { FtpUSER(&session_, "bob"); }),
            "230-Welcome\r\n there are 230 files\r\n230-still going\r\n230 done\r\n");
  EXPECT_EQ(session_.Ctl.ReplyCode, 230);
  // The next reply is read whole and in order, not shifted by the last one.
  Out([&] { EXPECT_EQ(FtpGetReply(&session_), 331); });
  session_.Opt.Verbose = 0;
  EXPECT_EQ(Out([&] { FtpPWD(&session_); }), "");
  EXPECT_EQ(session_.Ctl.ReplyCode, 257);
  FtpSYST(&session_);
  EXPECT_EQ(session_.Ctl.ReplyCode, 215);
  EXPECT_EQ(std::strlen(session_.Ctl.ReplyText), static_cast<size_t>(kFtpReplyMax - 1));
  EXPECT_EQ(FtpGetReply(&session_), 200);  // the tail of the long line was dropped
  FtpSTAT(&session_);
  EXPECT_EQ(session_.Ctl.ReplyCode, 0);
}

// Every wait of a reply is bounded by -t and by nothing else: a pause
// inside a reply shorter than -t is waited for, a longer one fails the
// command as a time-out and closes the connection, so that no later command
// reads this reply. Replies split at every byte are whole all the same.
TEST_F(FtpTcpTest, RepliesArePairedWithTheirCommandsWhateverTheirPace) {
  ScriptedServer server("220 hi\r\n", [](int fd, const std::string &line) {
    const auto pause = [](int ms) { usleep(ms * 1000); };
    if (line == "HELP") {
      WriteAll(fd, "214-first\r\n");
      pause(400);
      WriteAll(fd, "214 end\r\n");
    } else if (line == "SYST") {
      for (char c : std::string("215-a\r\n more\r\n215 UNIX\r\n")) WriteAll(fd, std::string(1, c));
    } else if (line == "STAT") {
      WriteAll(fd, "211-status\r\n");
      pause(1600);
      WriteAll(fd, "211 end\r\n");
    } else {
      WriteAll(fd, "200 late\r\n");
    }
  });
  Open(server);
  session_.Opt.Timeout = 1;
  session_.Opt.Verbose = 0;
  FtpHELP(&session_, nullptr);
  EXPECT_EQ(session_.Ctl.ReplyCode, 214);
  EXPECT_STREQ(session_.Ctl.ReplyText, "214 end\r\n");
  FtpSYST(&session_);
  EXPECT_EQ(session_.Ctl.ReplyCode, 215);
  EXPECT_STREQ(session_.Ctl.ReplyText, "215 UNIX\r\n");
  EXPECT_NE(
      Out([&] { FtpSTAT(&session_); }).find("timed out after 1 s waiting for the reply to STAT"),
      std::string::npos);
  EXPECT_EQ(session_.Run.Failure, FTP_EXIT_TIMEOUT);
  EXPECT_EQ(session_.Ctl.Connected, 0);
  EXPECT_EQ(FtpCommand(&session_, "NOOP", nullptr), -1);  // nothing reads "211 end"
}

TEST_F(FtpTcpTest, Reply421AndAVanishedServerCloseTheConnection) {
  // A handler, and what the client says of it (nothing required of a 421).
  const std::pair<ScriptedServer::Handler, const char *> cases[] = {
      {[](int fd, const std::string &) { WriteAll(fd, "421 going down\r\n"); }, ""},
      {[](int fd, const std::string &) { shutdown(fd, SHUT_RDWR); },
       "Connection closed by remote host."}};
  for (const auto &[handler, said] : cases) {
    ScriptedServer server("220 hi\r\n", handler);
    Open(server);
    EXPECT_NE(Out([&] { FtpPWD(&session_); }).find(said), std::string::npos) << said;
    EXPECT_EQ(session_.Ctl.Connected, 0);
    EXPECT_EQ(session_.Ctl.Socket, -1);
  }
}

// A command too long for its line is not sent, and the connection stays in
// step; the debug echo leaves out TYPE, HELP and the password.
TEST_F(FtpTcpTest, WhatIsNeitherSentNorEchoed) {
  std::atomic<int> users{0};
  ScriptedServer server("220 hi\r\n", [&](int fd, const std::string &line) {
    if (line.rfind("USER", 0) == 0) users++;
    WriteAll(fd, "200 ok\r\n");
  });
  Open(server);
  EXPECT_NE(Out([&] {
              FtpUSER(&session_, std::string(1100, 'u').c_str());
            }).find("USER: command too long"),
            std::string::npos);
  EXPECT_EQ(session_.Ctl.ReplyCode, 500);
  std::string buffer;
  Out([&] { EXPECT_EQ(GetInto(&session_, std::string(1100, 'f').c_str(), &buffer), 0); });
  Out([&] { FtpUSER(&session_, "fits"); });
  EXPECT_EQ(session_.Ctl.ReplyCode, 200);
  EXPECT_EQ(users.load(), 1);

  session_.Opt.Debug = 1;
  session_.Opt.Verbose = 0;
  EXPECT_EQ(Out([&] {
              FtpTYPE(&session_, "I");
              FtpHELP(&session_, "RETR");
              FtpPASS(&session_, "s3cret");
              FtpCD(&session_, "a dir");
              FtpQUIT(&session_);
            }),
            "--> PASS XXXX\n--> CWD a dir\n--> QUIT\n");
  EXPECT_EQ(session_.Ctl.Connected, 0);
  EXPECT_EQ(session_.Ctl.Socket, -1);
}

}  // namespace
