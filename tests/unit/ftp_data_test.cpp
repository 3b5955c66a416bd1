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

// MLSD lines: a file's size and time are told only when both facts are
// there and sound; anything but a file is passed over.
TEST(FtpWireTest, FactsOfAnMlsdLine) {
  const struct {
    const char *line;
    int result;
    const char *name;
    uint64_t size;  // UINT64_MAX: not told
    const char *mtime;
  } cases[] = {
      {"type=file;size=12;modify=20261208001234; a b;c.dat", 0, "a b;c.dat", 12, "20261208001234"},
      {"Type=File;Size=0;Modify=20261208001234.5;Perm=r; x", 0, "x", 0, "20261208001234.5"},
      {"type=file;size=12; no-time", 0, "no-time", UINT64_MAX, ""},
      {"type=file;size=1x;modify=20261208001234; bad-size", 0, "bad-size", UINT64_MAX, ""},
      {"type=file;size=99999999999999999999;modify=1; huge", 0, "huge", UINT64_MAX, ""},
      {"type=dir;size=4096;modify=20261208001234; d", 1, "d", 4096, "20261208001234"},
      {"type=cdir; .", 1, ".", UINT64_MAX, ""},
      {"type=OS.unix=slink:/x;size=1;modify=2; l", 1, "l", 1, "2"},
      {" bare", 0, "bare", UINT64_MAX, ""},
      {"type=file;size=1", -1, "", UINT64_MAX, ""},
      {"type=file; ", -1, "", UINT64_MAX, ""},
  };
  for (const auto &c : cases) {
    RemoteEntry entry;
    EXPECT_EQ(FtpFactsOf(c.line, &entry), c.result) << c.line;
    if (c.result < 0) continue;
    EXPECT_EQ(entry.Name, c.name) << c.line;
    EXPECT_EQ(entry.Stat.Size, c.size) << c.line;
    EXPECT_EQ(entry.Stat.Mtime, c.mtime) << c.line;
    EXPECT_EQ(entry.Told, c.size != UINT64_MAX) << c.line;
  }
}

// In active mode a connection from another address is refused, and failed
// transfers and listings leave no descriptor open.
TEST_F(FtpTcpTest, ActiveModeRefusesStrangersAndLeaksNoDescriptor) {
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
    } else if (line.rfind("RETR", 0) == 0 || line.rfind("STOR", 0) == 0) {
      WriteAll(fd, "550 no\r\n");
    } else if (line.rfind("LIST", 0) == 0 || line.rfind("NLST", 0) == 0) {
      WriteAll(fd, "450 busy\r\n");
    }
  });
  Open(server);
  std::string buffer;
  Out([&] { EXPECT_EQ(GetInto(&session_, "f", &buffer), 1); });
  EXPECT_TRUE(strangerRefused.load());
  EXPECT_EQ(buffer, "real");

  session_.Opt.Verbose = 0;
  int before = OpenDescriptors();
  Out([&] {
    for (int i = 0; i < 50; i++) {
      EXPECT_EQ(GetInto(&session_, "g", &buffer), 0);
      EXPECT_EQ(PutBytes(&session_, "g", "x"), 0);
      FtpLIST(&session_, nullptr);
      FtpNLST(&session_, "d");
    }
  });
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(session_.Data.Listen, -1);
  EXPECT_EQ(session_.Data.Socket, -1);
}

// How a passive server answers a transfer: its PASV reply (nullptr: one
// naming 127.0.0.2 while the data listener is on 127.0.0.1 only, so that a
// client going to the named address instead of the control peer fails), the
// reply opening the transfer (nullptr: none, the final reply refuses it),
// whether the data connection is reset instead of closed, the final reply,
// and whether the get or put succeeds.
struct Transfer {
  const char *pasv, *opening;
  bool reset;
  const char *final;
  int ok;
};

// A handler serving RETR and STOR as t says from data; counts the transfer
// commands that reach it in *count.
ScriptedServer::Handler Serve(const Transfer &t, const Listener &data, std::atomic<int> *count) {
  return [&t, &data, count](int fd, const std::string &line) {
    const unsigned short p = data.Port;
    if (line == "PASV")
      WriteAll(fd, t.pasv ? t.pasv
                          : "227 (127,0,0,2," + std::to_string(p / 256) + "," +
                                std::to_string(p % 256) + ")\r\n");
    if (line == "EPSV") WriteAll(fd, "500 no\r\n");  // what follows a refused PASV
    const bool retr = line.rfind("RETR", 0) == 0;
    if (!retr && line.rfind("STOR", 0) != 0) return;
    (*count)++;
    const int conn = data.Accept();
    if (t.opening == nullptr) {
      WriteAll(fd, t.final);
      if (conn >= 0) close(conn);
      return;
    }
    WriteAll(fd, t.opening);
    if (retr) WriteAll(conn, std::string(5000, 'd'));
    char buf[4096];
    while (!retr && recv(conn, buf, sizeof(buf), 0) > 0) {
    }
    linger l = {1, 0};  // a reset instead of an orderly end
    if (t.reset && retr) setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(conn);
    WriteAll(fd, t.final);
  };
}

TEST_F(FtpTcpTest, TransfersSucceedOnlyWhenComplete) {
  const Transfer cases[] = {
      {nullptr, "150 opening\r\n", false, "226 done\r\n", 1},
      {nullptr, "125 already open\r\n", false, "226 done\r\n", 1},
      {nullptr, "150 opening\r\n", true, "451 local error\r\n", 0},
      {nullptr, "150 opening\r\n", false, "426 aborted\r\n", 0},
      {nullptr, "150 opening\r\n", false, "552 no space\r\n", 0},
      {nullptr, nullptr, false, "550 no such file\r\n", 0},
      // Unusable passive addresses fail before any transfer command.
      {"227 (127,0,0,1,)\r\n", nullptr, false, "", 0},
      {"227 (127,0,0,1)\r\n", nullptr, false, "", 0},
      {"502 no\r\n", nullptr, false, "", 0},
  };
  for (const Transfer &t : cases) {
    for (int put = 0; put < 2; put++) {
      Listener data;
      std::atomic<int> count{0};
      ScriptedServer server("220 hi\r\n", Serve(t, data, &count));
      FtpCleanUp(&session_);
      std::memset(&session_, 0, sizeof(session_));
      FtpInit(&session_);
      Open(server);
      session_.Opt.Passive = 1;
      int result;
      std::string buffer;
      const std::string out = Out([&] {
        result = put ? PutBytes(&session_, "f", "bytes") : GetInto(&session_, "f", &buffer);
      });
      const std::string row =
          "row " + std::to_string(&t - cases) + (put ? " put\n" : " get\n") + out;
      EXPECT_EQ(result, t.ok) << row;
      if (t.ok) {
        EXPECT_NE(out.find(put ? "f : 5 bytes sent.\n" : "cvxfer: [f] 5000 bytes received.\n"),
                  std::string::npos)
            << row;
        EXPECT_EQ(buffer.size(), put ? 0u : 5000u) << row;
      }
      if (t.pasv) {
        EXPECT_NE(out.find("Error on TCP/IP connection.\n"), std::string::npos) << row;
        EXPECT_EQ(count.load(), 0) << row;
      }
      close(session_.Ctl.Socket);
      session_.Ctl.Socket = -1;
    }
  }
}

// A listing's lines reach the caller whole however the data is cut, its
// CR LF taken off and its last line counted without LF; a line too long to
// name anything is passed over, not cut into names.
TEST_F(FtpTcpTest, ListingLinesArriveWholeWhateverTheirCuts) {
  Listener data;
  ScriptedServer server("220 hi\r\n", [&data](int fd, const std::string &line) {
    const unsigned short p = data.Port;
    if (line == "PASV") {
      WriteAll(fd, "227 (127,0,0,2," + std::to_string(p / 256) + "," + std::to_string(p % 256) +
                       ")\r\n");
    } else if (line == "NLST") {
      const int conn = data.Accept();
      WriteAll(fd, "150 here\r\n");
      for (const std::string &piece : {std::string("a\r\nb"), std::string("c\r"),
                                       std::string("\n\n") + std::string(9000, 'x'),
                                       std::string("\nlast")}) {
        WriteAll(conn, piece);
        usleep(20000);  // each piece its own read
      }
      close(conn);
      WriteAll(fd, "226 done\r\n");
    }
  });
  Open(server);
  session_.Opt.Passive = 1;
  std::vector<std::string> lines;
  Out([&] {
    EXPECT_EQ(FtpScanList(&session_, nullptr, false, [&lines](std::string_view line) {
                lines.emplace_back(line);
                return 0;
              }),
              0);
  });
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "bc", "last"}));
}

}  // namespace
