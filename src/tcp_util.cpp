// tcp_util.cpp - TCP/IP client layer.
#include "tcp_util.h"

#include <arpa/inet.h>
#include <netdb.h>
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
#include <ctime>
#include <string>

int TcpInit(void) {
  return 0;
}

int TcpCleanUp(void) {
  return 0;
}

namespace {

// getaddrinfo within a time-out (getaddrinfo_a). A request that cannot be
// cancelled in time is left to finish on its own heap block.
int TcpResolve(const char *host, const addrinfo *hints, addrinfo **result, int timeoutSeconds) {
  auto *request = new gaicb{};
  request->ar_name = host;
  request->ar_request = hints;
  gaicb *list[1] = {request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete request;
    return getaddrinfo(host, nullptr, hints, result) == 0 ? 0 : TCP_HOST_UNKNOWN;
  }
  timespec limit = {timeoutSeconds, 0};
  int rc = gai_suspend(list, 1, timeoutSeconds < 0 ? nullptr : &limit);
  while (rc == EAI_INTR) rc = gai_suspend(list, 1, timeoutSeconds < 0 ? nullptr : &limit);
  if (gai_error(request) == EAI_INPROGRESS) {
    if (gai_cancel(request) != EAI_CANCELED) return TCP_TIMEOUT;  // leaks the block, safely
    delete request;
    return TCP_TIMEOUT;
  }
  int error = gai_error(request);
  *result = request->ar_result;
  delete request;
  return error == 0 ? 0 : TCP_HOST_UNKNOWN;
}

}  // namespace

TcpInfo *TcpSetInfo(const char *host, unsigned short port, int *rc, int timeoutSeconds) {
  auto *info = static_cast<TcpInfo *>(std::calloc(1, sizeof(TcpInfo)));
  if (info == nullptr) {
    *rc = TCP_NO_MEMORY;
    return nullptr;
  }
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  std::snprintf(info->HostName, sizeof(info->HostName), "%s", name.c_str());
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo *result = nullptr;
  int resolved = name.size() < 256 ? TcpResolve(name.c_str(), &hints, &result, timeoutSeconds)
                                   : TCP_HOST_UNKNOWN;
  if (resolved != 0) {
    std::free(info);
    *rc = resolved;
    return nullptr;
  }
  for (addrinfo *a = result; a != nullptr && info->Count < TCP_MAX_ADDRESSES; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        a->ai_addrlen > sizeof(info->Addr[0])) {
      continue;
    }
    std::memcpy(&info->Addr[info->Count], a->ai_addr, a->ai_addrlen);
    info->AddrLength[info->Count] = a->ai_addrlen;
    auto *sa = reinterpret_cast<sockaddr *>(&info->Addr[info->Count]);
    if (sa->sa_family == AF_INET) {
      reinterpret_cast<sockaddr_in *>(sa)->sin_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in6 *>(sa)->sin6_port = htons(port);
    }
    info->Count++;
  }
  // The name the resolver knows the host by: its canonical name, or for an
  // address the name the address belongs to.
  char official[NI_MAXHOST] = "";
  if (result != nullptr && result->ai_canonname != nullptr &&
      std::strcmp(result->ai_canonname, name.c_str()) != 0) {
    std::snprintf(official, sizeof(official), "%s", result->ai_canonname);
  } else if (info->Count > 0 &&
             getnameinfo(reinterpret_cast<sockaddr *>(&info->Addr[0]), info->AddrLength[0],
                         official, sizeof(official), nullptr, 0, NI_NAMEREQD) != 0) {
    official[0] = '\0';
  }
  if (official[0] != '\0') std::snprintf(info->HostName, sizeof(info->HostName), "%s", official);
  freeaddrinfo(result);
  if (info->Count == 0) {
    std::free(info);
    *rc = TCP_HOST_UNKNOWN;
    return nullptr;
  }
  if (port == 0) {
    std::free(info);
    *rc = TCP_BAD_PORT;
    return nullptr;
  }
  *rc = 0;
  return info;
}

int TcpSetInfoAddress(TcpInfo *info, const sockaddr *addr, socklen_t length) {
  if (length > sizeof(info->Addr[0])) return TCP_NO_MEMORY;
  std::memcpy(&info->Addr[0], addr, length);
  info->AddrLength[0] = length;
  info->Count = 1;
  return 0;
}

namespace {

// Connects s to one address within deadline (ms on the monotonic clock,
// below 0: none). Returns 0, an errno value, or a TCP_ code for a time-out
// or an interrupt.
int TcpConnectOne(int s, const sockaddr *addr, socklen_t length, long long deadline) {
  if (connect(s, addr, length) == 0) return 0;
  int error = errno;
  if (error != EINPROGRESS && error != EINTR) return error;
  // The connection is under way: wait for its outcome within the bound.
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = deadline < 0 ? -1 : deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    if (deadline >= 0 && left <= 0) return TCP_TIMEOUT;
    pollfd p = {s, POLLOUT, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready == 0) return TCP_TIMEOUT;
    if (ready < 0) return errno == EINTR ? TCP_INTERRUPTED : errno;
    break;
  }
  socklen_t size = sizeof(error);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  return error;
}

}  // namespace

int TcpConnect(int *fd, const TcpInfo *info, int timeoutSeconds) {
  *fd = -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long deadline =
      timeoutSeconds < 0 ? -1
                         : now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeoutSeconds * 1000LL;
  int error = ECONNREFUSED;
  bool anySocket = false;
  for (int i = 0; i < info->Count; i++) {
    auto *addr = reinterpret_cast<const sockaddr *>(&info->Addr[i]);
    int s = socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) continue;
    anySocket = true;
    error = TcpConnectOne(s, addr, info->AddrLength[i], deadline);
    if (error == 0) {
      // Everything after the connect waits with poll and its own bound.
      fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
      *fd = s;
      return 0;
    }
    TcpClose(s);
    if (error == TCP_TIMEOUT || error == TCP_INTERRUPTED) return error;
  }
  if (!anySocket) return TCP_NO_SOCKET;
  // The caller says why, with the host and port it was asked for.
  errno = error;
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

int SetSocketTypeOfService(int fd, int tos) {
  return setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) == 0 ? 0 : -1;
}
