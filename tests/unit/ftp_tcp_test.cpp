// The FTP protocol layer against scripted servers on loopback: reply
// reading, PORT and PASV, refusals, and what the transfers count as done.
#include "ftp_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "loopback.h"
#include "tcp_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// Retrieves name into *out through a memory sink.
int GetInto(FtpSession *session, const char *name, std::string *out) {
  FtpSink sink;
  sink.Write = [out](const char *data, size_t n) {
    out->append(data, n);
    return 0;
  };
  return FtpGetFileTo(session, name, sink);
}

// Stores bytes as name from a memory source read in order.
int PutBytes(FtpSession *session, const char *name, const std::string &bytes) {
  FtpSource source;
  source.Length = bytes.size();
  size_t at = 0;
  source.Read = [&](char *buffer, size_t n, size_t *got) {
    *got = std::min(n, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, *got);
    at += *got;
    return 0;
  };
  return FtpPutFileFrom(session, name, source);
}

class FtpTcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&session_, 0, sizeof(session_));
    ASSERT_EQ(FtpInit(&session_), 0);
  }
  void TearDown() override {
    if (session_.ControlSocket >= 0) close(session_.ControlSocket);
    FtpCleanUp(&session_);
  }
  // Opens the session on server and returns what was printed.
  std::string Open(const ScriptedServer &server) {
    testing::internal::CaptureStdout();
    FtpOpen(&session_, "127.0.0.1", server.Port());
    return testing::internal::GetCapturedStdout();
  }
  FtpSession session_;
};

TEST_F(FtpTcpTest, SingleAndMultiLineReplies) {
  ScriptedServer server("220 hello\r\n", [](int fd, const std::string &line) {
    if (line == "USER bob") {
      WriteAll(fd,
               "230-Welcome\r\n there are 230 files\r\n230-still going\r\n230 done\r\n"
               "331 stray line of the next reply\r\n");
    } else if (line == "PWD") {
      WriteAll(fd, "257 \"/\"\r\n");
    }
  });
  std::string out = Open(server);
  EXPECT_EQ(session_.Connected, 1);
  EXPECT_EQ(session_.ReplyCode, 220);
  EXPECT_NE(out.find("220 hello\r\n"), std::string::npos);
  EXPECT_EQ(out.find("220 hello"), out.rfind("220 hello"));  // printed once

  testing::internal::CaptureStdout();
  FtpUSER(&session_, "bob");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(session_.ReplyCode, 230);
  EXPECT_EQ(out, "230-Welcome\r\n there are 230 files\r\n230-still going\r\n230 done\r\n");
  // The next reply is read whole and in order, not shifted by the last one.
  testing::internal::CaptureStdout();
  EXPECT_EQ(FtpGetReply(&session_), 331);
  testing::internal::GetCapturedStdout();
  session_.Verbose = 0;
  testing::internal::CaptureStdout();
  FtpPWD(&session_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(session_.ReplyCode, 257);
}

TEST_F(FtpTcpTest, OverLongLinesAndLinesWithoutDigits) {
  ScriptedServer server("220 hi\r\n", [](int fd, const std::string &line) {
    if (line == "SYST") WriteAll(fd, "215 " + std::string(4000, 'x') + "\r\n200 after\r\n");
    if (line == "STAT") WriteAll(fd, "hello there\r\n");
  });
  Open(server);
  session_.Verbose = 0;
  FtpSYST(&session_);
  EXPECT_EQ(session_.ReplyCode, 215);
  EXPECT_EQ(std::strlen(session_.ReplyText), static_cast<size_t>(kFtpReplyMax - 1));
  EXPECT_EQ(FtpGetReply(&session_), 200);  // the tail of the long line was dropped
  FtpSTAT(&session_);
  EXPECT_EQ(session_.ReplyCode, 0);
}

TEST_F(FtpTcpTest, StalledMultiLineReplyEndsAfterTheWait) {
  ScriptedServer server("220 hi\r\n", [](int fd, const std::string &line) {
    if (line == "HELP") WriteAll(fd, "214-first\r\n");  // never finished
  });
  Open(server);
  auto start = Clock::now();
  testing::internal::CaptureStdout();
  FtpHELP(&session_, nullptr);
  testing::internal::GetCapturedStdout();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(session_.ReplyCode, 214);
  EXPECT_GE(seconds, kFtpReplyLineWait - 0.5);
  EXPECT_LT(seconds, kFtpReplyLineWait + 5);
}

TEST_F(FtpTcpTest, Reply421AndAVanishedServerCloseTheConnection) {
  {
    ScriptedServer server("220 hi\r\n", [](int fd, const std::string &line) {
      if (line == "PWD") WriteAll(fd, "421 going down\r\n");
    });
    Open(server);
    testing::internal::CaptureStdout();
    FtpPWD(&session_);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(session_.Connected, 0);
    EXPECT_EQ(session_.ControlSocket, -1);
  }
  {
    ScriptedServer server("220 hi\r\n",
                          [](int fd, const std::string &) { shutdown(fd, SHUT_RDWR); });
    Open(server);
    testing::internal::CaptureStdout();
    FtpPWD(&session_);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(session_.Connected, 0);
    EXPECT_NE(out.find("Connection closed by remote host."), std::string::npos);
  }
}

TEST_F(FtpTcpTest, CommandsThatDoNotFitAreNotSent) {
  std::atomic<int> users{0};
  ScriptedServer server("220 hi\r\n", [&](int fd, const std::string &line) {
    if (line.rfind("USER", 0) == 0) users++;
    WriteAll(fd, "200 ok\r\n");
  });
  Open(server);
  testing::internal::CaptureStdout();
  FtpUSER(&session_, std::string(1100, 'u').c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("USER: command too long"), std::string::npos);
  EXPECT_EQ(session_.ReplyCode, 500);
  std::string buffer;
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetInto(&session_, std::string(1100, 'f').c_str(), &buffer), 0);
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  FtpUSER(&session_, "fits");  // the connection is still in step
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(session_.ReplyCode, 200);
  EXPECT_EQ(users.load(), 1);
}

TEST(FtpWireTest, PortCommandAndPasvReplies) {
  char text[64];
  FtpFormatPortCmd(text, inet_addr("10.1.2.3"), htons(5001));
  EXPECT_STREQ(text, "PORT 10,1,2,3,19,137\r\n");
  char host[512];
  unsigned short port = 0;
  ASSERT_EQ(FtpParsePasvReply("227 Entering Passive Mode (192,168,1,2,19,137).", host, sizeof(host),
                              &port),
            0);
  EXPECT_STREQ(host, "192.168.1.2");
  EXPECT_EQ(port, 5001);
  ASSERT_EQ(FtpParsePasvReply("227 (1,2,3,4,)", host, sizeof(host), &port), 0);
  EXPECT_EQ(port, 0);
  ASSERT_EQ(FtpParsePasvReply("227 (1,2,3,4,300,1)", host, sizeof(host), &port), 0);
  EXPECT_EQ(port, (300 & 255) * 256 + 1);
  EXPECT_EQ(FtpParsePasvReply("227 (1,2,3,4)", host, sizeof(host), &port), -1);
  EXPECT_EQ(FtpParsePasvReply("500 no", host, sizeof(host), &port), -1);
  std::string huge = "227 (" + std::string(600, '1') + ",2,3,4,5,6)";
  EXPECT_EQ(FtpParsePasvReply(huge.c_str(), host, sizeof(host), &port), -1);

  // EPSV names only a port, between four equal delimiters.
  const std::pair<const char *, int> epsv[] = {
      {"229 Entering Extended Passive Mode (|||6446|)", 6446},
      {"229 (!!!1!)", 1},
      {"229 (|||65535|)", 65535},
      {"229 (|||65536|)", -1},
      {"229 (|||0|)", -1},
      {"229 (||6446|)", -1},
      {"229 (|||6446!)", -1},
      {"229 (|||644x|)", -1},
      {"229 (|||6446|", -1},
      {"229 no parenthesis", -1},
      {"229 (", -1},
  };
  for (const auto &[reply, expected] : epsv) {
    port = 0;
    EXPECT_EQ(FtpParseEpsvReply(reply, &port), expected < 0 ? -1 : 0) << reply;
    if (expected > 0) {
      EXPECT_EQ(port, expected) << reply;
    }
  }
}

// The size a retrieval's opening reply announces, for the progress line.
TEST(FtpWireTest, SizeOfARetrievalReply) {
  const std::pair<const char *, long long> cases[] = {
      {"150 Opening BINARY mode data connection for a.txt (1234 bytes).", 1234},
      {"150 Opening data connection for f (x) (0 bytes)", 0},
      {"150 for (9 bytes) y.txt (77 bytes).", 77},
      {"150 for (5 bytes) y.txt", -1},  // part of the name: no size follows
      {"150 File status okay. About to open data connection.", -1},
      {"150 (12 bytes", -1},
      {"150 ( 12 bytes)", -1},
      {"150 (12 octets)", -1},
      {"150 (99999999999999999999 bytes)", -1},
  };
  for (const auto &[reply, expected] : cases) {
    uint64_t size = 42;
    EXPECT_EQ(FtpParseSizeReply(reply, &size), expected < 0 ? -1 : 0) << reply;
    if (expected >= 0) {
      EXPECT_EQ(size, static_cast<uint64_t>(expected)) << reply;
    }
  }
}

// A server that answers PASV with an address of its choosing and serves
// RETR from its data listener.
TEST_F(FtpTcpTest, PassiveModeConnectsOnlyToTheControlPeer) {
  std::unique_ptr<ScriptedServer> server;
  std::atomic<bool> fromPeer{false};
  server = std::make_unique<ScriptedServer>("220 hi\r\n", [&](int fd, const std::string &line) {
    unsigned short p = server->Data().Port;
    if (line == "PASV") {
      // Names another address: the client must still come to us.
      WriteAll(fd, "227 Entering Passive Mode (127,0,0,2," + std::to_string(p / 256) + "," +
                       std::to_string(p % 256) + ")\r\n");
    } else if (line == "RETR f") {
      WriteAll(fd, "150 here\r\n");
      int data = server->Data().Accept();
      sockaddr_in peer{};
      socklen_t n = sizeof(peer);
      getpeername(data, reinterpret_cast<sockaddr *>(&peer), &n);
      fromPeer = data >= 0;
      WriteAll(data, "payload");
      close(data);
      WriteAll(fd, "226 done\r\n");
    }
  });
  Open(*server);
  session_.Passive = 1;
  std::string buffer;
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetInto(&session_, "f", &buffer), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fromPeer.load());
  EXPECT_EQ(buffer, "payload");
  EXPECT_NE(out.find("cvxfer: [f] 7 bytes received.\n"), std::string::npos);
}

TEST_F(FtpTcpTest, UnusablePasvRepliesFailBeforeAnyTransferCommand) {
  std::atomic<int> retr{0};
  ScriptedServer server("220 hi\r\n", [&](int fd, const std::string &line) {
    static int n = 0;
    if (line == "PASV") {
      const char *replies[] = {"227 (127,0,0,1,)\r\n", "227 (127,0,0,1)\r\n", "502 no\r\n"};
      WriteAll(fd, replies[n++ % 3]);
    }
    // A refused PASV is followed by EPSV, refused here as well.
    if (line == "EPSV") WriteAll(fd, "500 no\r\n");
    if (line.rfind("RETR", 0) == 0) retr++;
  });
  Open(server);
  session_.Passive = 1;
  std::string buffer;
  for (int i = 0; i < 3; i++) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetInto(&session_, "f", &buffer), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error on TCP/IP connection.\n"),
              std::string::npos);
  }
  EXPECT_EQ(retr.load(), 0);
}

TEST_F(FtpTcpTest, ActiveModeRefusesConnectionsFromOtherAddresses) {
  std::atomic<bool> strangerRefused{false};
  ScriptedServer server("220 hi\r\n", [&](int fd, const std::string &line) {
    static unsigned short port = 0;
    if (line.rfind("PORT ", 0) == 0) {
      int h1, h2, h3, h4, p1, p2;
      std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2);
      port = static_cast<unsigned short>(p1 * 256 + p2);
      WriteAll(fd, "200 ok\r\n");
    } else if (line == "RETR f") {
      WriteAll(fd, "150 here\r\n");
      int stranger = ConnectLoopback(port, "127.0.0.2");
      if (stranger >= 0) {
        char c;
        // The client closes it without a byte.
        strangerRefused = recv(stranger, &c, 1, 0) == 0;
        close(stranger);
      }
      int data = ConnectLoopback(port);
      WriteAll(data, "real");
      close(data);
      WriteAll(fd, "226 done\r\n");
    }
  });
  Open(server);
  std::string buffer;
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetInto(&session_, "f", &buffer), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(strangerRefused.load());
  EXPECT_EQ(buffer, "real");
}

// Serves RETR and STOR in passive mode with a chosen behaviour.
class TransferServer {
 public:
  enum Mode { kComplete, k125, kEarlyClose, kFinal426, kFinal552, kRefuse550 };
  explicit TransferServer(Mode mode)
      : server_("220 hi\r\n", [this, mode](int fd, const std::string &line) {
          unsigned short p = server_.Data().Port;
          if (line == "PASV") {
            WriteAll(fd, "227 (127,0,0,1," + std::to_string(p / 256) + "," +
                             std::to_string(p % 256) + ")\r\n");
            return;
          }
          bool retr = line.rfind("RETR", 0) == 0;
          if (!retr && line.rfind("STOR", 0) != 0) return;
          int data = server_.Data().Accept();
          if (mode == kRefuse550) {
            WriteAll(fd, "550 no such file\r\n");
            if (data >= 0) close(data);
            return;
          }
          WriteAll(fd, mode == k125 ? "125 already open\r\n" : "150 opening\r\n");
          if (retr) {
            WriteAll(data, std::string(5000, 'd'));
            if (mode == kEarlyClose) {
              linger l = {1, 0};  // reset instead of an orderly end
              setsockopt(data, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
            }
          } else {
            char buf[4096];
            while (recv(data, buf, sizeof(buf), 0) > 0) {
            }
          }
          close(data);
          const char *final = mode == kFinal426     ? "426 aborted\r\n"
                              : mode == kFinal552   ? "552 no space\r\n"
                              : mode == kEarlyClose ? "451 local error\r\n"
                                                    : "226 done\r\n";
          WriteAll(fd, final);
        }) {}
  unsigned short Port() const { return server_.Port(); }
  const ScriptedServer &Server() const { return server_; }

 private:
  ScriptedServer server_;
};

TEST_F(FtpTcpTest, TransfersSucceedOnlyWhenComplete) {
  struct Case {
    TransferServer::Mode mode;
    int get;
    int put;
  } cases[] = {
      {TransferServer::kComplete, 1, 1},   {TransferServer::k125, 1, 1},
      {TransferServer::kEarlyClose, 0, 0}, {TransferServer::kFinal426, 0, 0},
      {TransferServer::kFinal552, 0, 0},   {TransferServer::kRefuse550, 0, 0},
  };
  for (const Case &c : cases) {
    for (int put = 0; put < 2; put++) {
      TransferServer server(c.mode);
      std::memset(&session_, 0, sizeof(session_));
      FtpInit(&session_);
      Open(server.Server());
      session_.Passive = 1;
      testing::internal::CaptureStdout();
      int result;
      if (put) {
        result = PutBytes(&session_, "f", "bytes");
      } else {
        std::string buffer;
        result = GetInto(&session_, "f", &buffer);
        if (result == 1) {
          EXPECT_EQ(buffer.size(), 5000u);
        }
      }
      std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(result, put ? c.put : c.get) << "mode " << c.mode << (put ? " put" : " get") << out;
      if (put && result == 1) {
        EXPECT_NE(out.find("f : 5 bytes sent.\n"), std::string::npos);
      }
      close(session_.ControlSocket);
      session_.ControlSocket = -1;
      FtpCleanUp(&session_);
    }
  }
}

TEST_F(FtpTcpTest, FailedTransfersAndListingsLeaveNoDescriptorOpen) {
  ScriptedServer server("220 hi\r\n", [](int fd, const std::string &line) {
    if (line.rfind("PORT", 0) == 0) WriteAll(fd, "200 ok\r\n");
    if (line.rfind("RETR", 0) == 0 || line.rfind("STOR", 0) == 0) WriteAll(fd, "550 no\r\n");
    if (line.rfind("LIST", 0) == 0 || line.rfind("NLST", 0) == 0) WriteAll(fd, "450 busy\r\n");
  });
  Open(server);
  session_.Verbose = 0;
  std::string buffer;
  int before = OpenDescriptors();
  testing::internal::CaptureStdout();
  for (int i = 0; i < 50; i++) {
    EXPECT_EQ(GetInto(&session_, "f", &buffer), 0);
    EXPECT_EQ(PutBytes(&session_, "f", "x"), 0);
    FtpLIST(&session_, nullptr);
    FtpNLST(&session_, "d");
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(session_.ListenSocket, -1);
  EXPECT_EQ(session_.DataSocket, -1);
}

TEST_F(FtpTcpTest, DebugEchoLeavesOutTypeAndHelp) {
  ScriptedServer server("220 hi\r\n",
                        [](int fd, const std::string &) { WriteAll(fd, "200 ok\r\n"); });
  Open(server);
  session_.Debug = 1;
  session_.Verbose = 0;
  testing::internal::CaptureStdout();
  FtpTYPE(&session_, "I");
  FtpHELP(&session_, "RETR");
  FtpPASS(&session_, "s3cret");
  FtpCD(&session_, "a dir");
  FtpQUIT(&session_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "--> PASS XXXX\n--> CWD a dir\n--> QUIT\n");
  EXPECT_EQ(session_.Connected, 0);
  EXPECT_EQ(session_.ControlSocket, -1);
}

}  // namespace
