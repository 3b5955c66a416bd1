// Tests of data connections, transfers and listings: the PASV address
// rule, a stranger on the active port, transfers and listings that count
// only when complete, and descriptors.
#include "ftp_data.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ftp_fixture.h"
#include "ftp_list.h"
#include "ftp_xfer.h"

namespace {

using FtpTcpTest = FtpSessionTest;

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
  session_.Opt.Passive = 1;
  std::string buffer;
  EXPECT_NE(Out([&] { EXPECT_EQ(GetInto(&session_, "f", &buffer), 1); })
                .find("cvxfer: [f] 7 bytes received.\n"),
            std::string::npos);
  EXPECT_TRUE(fromPeer.load());
  EXPECT_EQ(buffer, "payload");
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
  session_.Opt.Passive = 1;
  std::string buffer;
  for (int i = 0; i < 3; i++)
    EXPECT_NE(Out([&] { EXPECT_EQ(GetInto(&session_, "f", &buffer), 0); })
                  .find("Error on TCP/IP connection.\n"),
              std::string::npos);
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
  Out([&] { EXPECT_EQ(GetInto(&session_, "f", &buffer), 1); });
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
      session_.Opt.Passive = 1;
      int result;
      std::string buffer;
      const std::string out = Out([&] {
        result = put ? PutBytes(&session_, "f", "bytes") : GetInto(&session_, "f", &buffer);
      });
      if (!put && result == 1) {
        EXPECT_EQ(buffer.size(), 5000u);
      }
      EXPECT_EQ(result, put ? c.put : c.get) << "mode " << c.mode << (put ? " put" : " get") << out;
      if (put && result == 1) {
        EXPECT_NE(out.find("f : 5 bytes sent.\n"), std::string::npos);
      }
      close(session_.Ctl.Socket);
      session_.Ctl.Socket = -1;
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
  session_.Opt.Verbose = 0;
  std::string buffer;
  int before = OpenDescriptors();
  Out([&] {
    for (int i = 0; i < 50; i++) {
      EXPECT_EQ(GetInto(&session_, "f", &buffer), 0);
      EXPECT_EQ(PutBytes(&session_, "f", "x"), 0);
      FtpLIST(&session_, nullptr);
      FtpNLST(&session_, "d");
    }
  });
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(session_.Data.Listen, -1);
  EXPECT_EQ(session_.Data.Socket, -1);
}

}  // namespace
