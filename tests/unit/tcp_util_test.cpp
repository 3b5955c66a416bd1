// The TCP layer: address records, connect, send, receive, lines, texts.
#include "tcp_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "loopback.h"

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
  testing::internal::CaptureStderr();
  EXPECT_EQ(TcpConnect(&fd, info), TCP_CONNECT_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("connect: ", 0), 0u);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(OpenDescriptors(), before);
  std::free(info);
}

class TcpPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int rc;
    TcpInfo *info = TcpSetInfo("127.0.0.1", listener_.Port, &rc);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(TcpConnect(&client_, info), 0);
    std::free(info);
    server_ = listener_.Accept();
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    if (client_ >= 0) close(client_);
    if (server_ >= 0) close(server_);
  }
  Listener listener_;
  int client_ = -1;
  int server_ = -1;
};

TEST_F(TcpPairTest, SendAndReceive) {
  EXPECT_EQ(TcpSend(-1, "x", 1), TCP_ERROR);
  EXPECT_EQ(TcpSend(client_, "x", 0), 0);
  ASSERT_EQ(TcpSend(client_, "hello", 5), 0);
  char buffer[16] = {0};
  EXPECT_EQ(TcpRecv(server_, nullptr, 0), 0);  // readable, nothing asked for
  EXPECT_EQ(TcpRecv(server_, buffer, sizeof(buffer)), 5);
  EXPECT_EQ(std::string(buffer), "hello");
  EXPECT_EQ(TcpRecv(-1, buffer, 1), TCP_ERROR);
  close(client_);
  client_ = -1;
  EXPECT_EQ(TcpRecv(server_, buffer, sizeof(buffer)), TCP_PEER_CLOSED);
}

TEST_F(TcpPairTest, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
  close(server_);
  server_ = -1;
  std::string big(1 << 20, 'z');
  testing::internal::CaptureStdout();
  int rc = 0;
  for (int i = 0; i < 8 && rc == 0; i++)
    rc = TcpSend(client_, big.data(), static_cast<int>(big.size()));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, TCP_ERROR);
  EXPECT_EQ(out, "error send on socket " + std::to_string(client_) + "\n");
}

TEST_F(TcpPairTest, GetLineKeepsLineEndsAndItsBound) {
  WriteAll(server_, "220 ready\r\nrest");
  char line[32] = {0};
  EXPECT_EQ(TcpGetLine(client_, line, 0), 0);
  EXPECT_EQ(TcpGetLine(client_, line, 4), 4);
  EXPECT_EQ(std::string(line, 4), "220 ");
  std::memset(line, 0, sizeof(line));
  EXPECT_EQ(TcpGetLine(client_, line, 32), 7);
  EXPECT_EQ(std::string(line), "ready\r\n");
  WriteAll(server_, "123456789\r\n");
  std::memset(line, 0, sizeof(line));
  EXPECT_EQ(TcpGetLine(client_, line, 32), 4 + 11);  // "rest" then the new line
  close(server_);
  server_ = -1;
  EXPECT_EQ(TcpGetLine(client_, line, 32), 0);
}

TEST(TcpTextTest, ErrorTextsAndUserName) {
  EXPECT_STREQ(TCPIPErrorString(-1), "TCP/IP error");
  EXPECT_STREQ(TCPIPErrorString(-2), "TCP/IP bad port");
  EXPECT_STREQ(TCPIPErrorString(-3), "TCP/IP host unknown");
  EXPECT_STREQ(TCPIPErrorString(-4), "TCP/IP no more sockets");
  EXPECT_STREQ(TCPIPErrorString(-5), "TCP/IP connection failed");
  EXPECT_STREQ(TCPIPErrorString(-6), "TCP/IP memory allocation error");
  for (int code : {0, -7, -8, -9, -10, 5}) {
    EXPECT_STREQ(TCPIPErrorString(code), "Unknown TCP/IP error") << code;
  }
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
