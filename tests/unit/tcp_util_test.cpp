// The TCP layer: address records, connect, send, the login name.
#include "tcp_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_fixture.h"

namespace {

TEST(TcpSetInfoTest, NumericNamesAndFailures) {
  int rc = 1;
  TcpInfo *info = TcpSetInfo("127.0.0.1", 2121, &rc);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(info->Count, 1);
  const auto *v4 = reinterpret_cast<const sockaddr_in *>(&info->Addr[0]);
  EXPECT_EQ(v4->sin_family, AF_INET);
  EXPECT_EQ(ntohs(v4->sin_port), 2121);
  EXPECT_EQ(v4->sin_addr.s_addr, inet_addr("127.0.0.1"));
  EXPECT_GT(std::strlen(info->HostName), 0u);
  std::free(info);
  // IPv6 literals, bracketed or not.
  for (const char *v6host : {"::1", "[::1]"}) {
    info = TcpSetInfo(v6host, 21, &rc);
    ASSERT_NE(info, nullptr) << v6host;
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&info->Addr[0]);
    EXPECT_EQ(v6->sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(v6->sin6_port), 21);
    std::free(info);
  }

  EXPECT_EQ(TcpSetInfo("127.0.0.1", 0, &rc), nullptr);
  EXPECT_EQ(rc, TCP_BAD_PORT);
  EXPECT_EQ(TcpSetInfo("no-such-host.invalid", 0, &rc), nullptr);
  EXPECT_EQ(rc, TCP_HOST_UNKNOWN);  // resolution comes before the port test
  std::string longName(300, 'a');
  EXPECT_EQ(TcpSetInfo(longName.c_str(), 21, &rc), nullptr);
  EXPECT_EQ(rc, TCP_HOST_UNKNOWN);
}

TEST(TcpConnectTest, RefusedConnectLeavesNoDescriptor) {
  unsigned short port;
  {
    Listener l;
    port = l.Port;
  }  // closed again: nothing listens there now
  int rc;
  TcpInfo *info = TcpSetInfo("127.0.0.1", port, &rc);
  ASSERT_NE(info, nullptr);
  int fd = 99;
  int before = OpenDescriptors();
  EXPECT_EQ(TcpConnect(&fd, info), TCP_CONNECT_FAILED);
  EXPECT_EQ(errno, ECONNREFUSED) << "the caller says why";
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(OpenDescriptors(), before);
  std::free(info);
}

// A peer that has gone fails the send; it never ends the process with SIGPIPE.
TEST(TcpSendTest, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
  Listener listener;
  int rc;
  TcpInfo *info = TcpSetInfo("127.0.0.1", listener.Port, &rc);
  ASSERT_NE(info, nullptr);
  int client = -1;
  ASSERT_EQ(TcpConnect(&client, info), 0);
  std::free(info);
  int server = listener.Accept();
  ASSERT_GE(server, 0);
  EXPECT_EQ(TcpSend(-1, "x", 1), TCP_ERROR);
  EXPECT_EQ(TcpSend(client, "x", 0), 0);
  close(server);
  std::string big(1 << 20, 'z');
  rc = 0;
  EXPECT_EQ(Out([&] {
              for (int i = 0; i < 8 && rc == 0; i++)
                rc = TcpSend(client, big.data(), static_cast<int>(big.size()));
            }),
            "error send on socket " + std::to_string(client) + "\n");
  EXPECT_EQ(rc, TCP_ERROR);
  close(client);
}

// The login name is cut to the buffer, and its full length is told.
TEST(TcpTextTest, UserNameKeepsItsBound) {
  const passwd *pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string name = pw->pw_name;
  char buffer[20];
  int length = 20;
  ASSERT_EQ(GetUserName(buffer, &length), 1);
  EXPECT_EQ(length, static_cast<int>(name.size()));
  EXPECT_EQ(std::string(buffer), name.substr(0, 19));
  char tiny[3];
  length = 3;
  ASSERT_EQ(GetUserName(tiny, &length), 1);
  EXPECT_EQ(std::string(tiny), name.substr(0, 2));
  EXPECT_EQ(length, static_cast<int>(name.size()));
}

}  // namespace
