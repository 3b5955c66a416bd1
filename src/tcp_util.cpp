// tcp_util.cpp - TCP/IP client layer.
#include "tcp_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/ip.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int TcpInit(void) {
  return 0;
}

int TcpCleanUp(void) {
  return 0;
}

TcpInfo *TcpSetInfo(const char *host, unsigned short port, int *rc) {
  auto *info = static_cast<TcpInfo *>(std::calloc(1, sizeof(TcpInfo)));
  if (info == nullptr) {
    *rc = TCP_NO_MEMORY;
    return nullptr;
  }
  std::snprintf(info->HostName, sizeof(info->HostName), "%s", host);

  in_addr address{};
  address.s_addr = inet_addr(host);
  if (address.s_addr != INADDR_NONE) {
    info->HostEnt = gethostbyaddr(&address, sizeof(address), AF_INET);
    if (info->HostEnt != nullptr && info->HostEnt->h_name != nullptr) {
      std::snprintf(info->HostName, sizeof(info->HostName), "%s", info->HostEnt->h_name);
    }
  } else {
    info->HostEnt = gethostbyname(host);
    if (info->HostEnt == nullptr || info->HostEnt->h_addrtype != AF_INET ||
        info->HostEnt->h_addr_list[0] == nullptr) {
      std::free(info);
      *rc = TCP_HOST_UNKNOWN;
      return nullptr;
    }
    std::memcpy(&address, info->HostEnt->h_addr_list[0], sizeof(address));
    std::snprintf(info->HostName, sizeof(info->HostName), "%s", info->HostEnt->h_name);
  }

  info->SockAddr.sin_family = AF_INET;
  info->SockAddr.sin_port = htons(port);
  info->SockAddr.sin_addr = address;
  if (port == 0) {
    std::free(info);
    *rc = TCP_BAD_PORT;
    return nullptr;
  }
  *rc = 0;
  return info;
}

int TcpConnect(int *fd, const TcpInfo *info, int timeoutSeconds) {
  *fd = -1;
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return TCP_NO_SOCKET;
  int rc = connect(s, reinterpret_cast<const sockaddr *>(&info->SockAddr), sizeof(info->SockAddr));
  int error = rc == 0 ? 0 : errno;
  if (error == EINPROGRESS || error == EINTR) {
    // The connection is under way: wait for its outcome within the bound.
    pollfd p = {s, POLLOUT, 0};
    int ready = poll(&p, 1, timeoutSeconds < 0 ? -1 : timeoutSeconds * 1000);
    if (ready <= 0) {
      int why = ready == 0 ? TCP_TIMEOUT : (errno == EINTR ? TCP_INTERRUPTED : TCP_ERROR);
      TcpClose(s);
      return why;
    }
    socklen_t length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  }
  if (error == 0) {
    // Everything after the connect waits with poll and its own bound.
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
    *fd = s;
    return 0;
  }
  errno = error;
  std::perror("connect");
  TcpClose(s);
  return TCP_CONNECT_FAILED;
}

int TcpClose(int fd) {
  if (fd < 0) return TCP_ERROR;
  return close(fd) == 0 ? 0 : TCP_ERROR;
}

int TcpSend(int fd, const void *bytes, int length) {
  if (fd == -1) return TCP_ERROR;
  const char *p = static_cast<const char *>(bytes);
  long offset = 0;
  while (offset < length) {
    ssize_t sent = send(fd, p + offset, length - offset, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      std::printf("error send on socket %d\n", fd);
      std::fflush(stdout);
      return TCP_ERROR;
    }
    offset += sent;
  }
  return 0;
}

int TcpWait(int fd, int seconds, int microseconds) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, seconds * 1000 + microseconds / 1000);
}

int TcpRecv(int fd, void *buffer, int length) {
  if (fd == -1) return TCP_ERROR;
  int ready = TcpWait(fd, kTcpRecvWaitSeconds, 0);
  if (ready < 0) return errno == EINTR ? TCP_INTERRUPTED : TCP_ERROR;
  if (ready == 0) return TCP_TIMEOUT;
  if (buffer == nullptr || length == 0) return 0;
  ssize_t n = recv(fd, buffer, length, 0);
  if (n < 0) return errno == EINTR ? TCP_INTERRUPTED : TCP_ERROR;
  if (n == 0) return TCP_PEER_CLOSED;
  return static_cast<int>(n);
}

int TcpGetLine(int fd, char *buffer, int max) {
  int count = 0;
  while (count < max) {
    char byte;
    ssize_t peeked;
    do {
      peeked = recv(fd, &byte, 1, MSG_PEEK);
    } while (peeked < 0 && errno == EINTR);
    if (peeked <= 0) break;
    // A failed receive after a successful peek stores nothing and ends the line.
    if (TcpRecv(fd, &byte, 1) != 1) break;
    buffer[count++] = byte;
    if (byte == '\n') break;
  }
  return count;
}

const char *TCPIPErrorString(int code) {
  switch (code) {
    case TCP_ERROR:
      return "TCP/IP error";
    case TCP_BAD_PORT:
      return "TCP/IP bad port";
    case TCP_HOST_UNKNOWN:
      return "TCP/IP host unknown";
    case TCP_NO_SOCKET:
      return "TCP/IP no more sockets";
    case TCP_CONNECT_FAILED:
      return "TCP/IP connection failed";
    case TCP_NO_MEMORY:
      return "TCP/IP memory allocation error";
    default:
      return "Unknown TCP/IP error";
  }
}

int GetUserName(char *buffer, int *length) {
  const passwd *pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_name == nullptr) return 0;
  int full = static_cast<int>(std::strlen(pw->pw_name));
  if (*length > 0) std::snprintf(buffer, static_cast<size_t>(*length), "%s", pw->pw_name);
  *length = full;
  return 1;
}

int SetSocketKeepAlive(int fd, int on) {
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 ? 0 : -1;
}

int SetSocketInlineOutOfBandData(int fd, int on) {
  return setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on)) == 0 ? 0 : -1;
}

int SetSocketTypeOfService(int fd, int tos) {
  return setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) == 0 ? 0 : -1;
}

int SetSocketLinger(int fd, int on, int seconds) {
  linger l = {on, seconds};
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l)) == 0 ? 0 : -1;
}
