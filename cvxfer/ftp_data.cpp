// ftp_data.cpp - data connections. Only the port of a passive reply is
// used: the connection goes to the server we are talking to, whatever
// address a PASV reply names; in active mode only that server may connect.
#include "ftp_data.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ftp_ctrl.h"
#include "ftp_io.h"
#include "ftp_tls.h"
#include "tcp_util.h"

namespace {

// Address of the control connection's peer, or false.
bool FtpControlPeer(const FtpSession *session, sockaddr_storage *peer, socklen_t *length) {
  *length = sizeof(*peer);
  return getpeername(session->Ctl.Socket, reinterpret_cast<sockaddr *>(peer), length) == 0 &&
         (peer->ss_family == AF_INET || peer->ss_family == AF_INET6);
}

// The port of an IPv4 or IPv6 socket address, in network order.
in_port_t *FtpAddressPort(sockaddr_storage *address) {
  return address->ss_family == AF_INET6 ? &reinterpret_cast<sockaddr_in6 *>(address)->sin6_port
                                        : &reinterpret_cast<sockaddr_in *>(address)->sin_port;
}

// Whether two socket addresses name the same host (ports aside).
bool FtpSameHost(const sockaddr_storage &a, const sockaddr_storage &b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
  }
  return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6 &>(b).sin6_addr, sizeof(in6_addr)) == 0;
}

// A server that does not know a command answers 500 to 504, or refuses it
// with another 5yz: either way the extended command is worth a try.
bool FtpNotUnderstood(const FtpSession *session) {
  return session->Ctl.Connected && session->Ctl.ReplyCode >= 500 && session->Ctl.ReplyCode < 600;
}

// Gives up the whole connection after a data wait that timed out, as after
// a 421: what the server says later could not be paired with the commands.
void FtpDataLost(FtpSession *session) {
  FtpDataAbort(session);
  FtpCtlDrop(session);
}

// Puts the data connection under TLS when PROT P is in force, resuming the
// control connection's session as strict servers demand. A failed
// handshake leaves the server waiting on a data connection that is gone:
// its reply is read so that the next command meets its own. Returns 1
// when the data can flow, 0 after cleaning up.
int FtpDataProtect(FtpSession *session) {
  if (!session->Data.Protected) return 1;
  session->Data.Tls =
      FtpTlsStart(session, session->Data.Socket, session->Ctl.Host, session->Ctl.Tls, false);
  if (session->Data.Tls != nullptr) return 1;
  FtpDataAbort(session);
  FtpGetReply(session);
  return 0;
}

// A bound, listening socket on the control connection's local address, its
// address in *bound; -1 after saying why.
int FtpListenLocal(FtpSession *session, sockaddr_storage *local, sockaddr_storage *bound) {
  socklen_t length = sizeof(*local);
  if (getsockname(session->Ctl.Socket, reinterpret_cast<sockaddr *>(local), &length) != 0) {
    std::perror("getsockname");
    return -1;
  }
  const int s = socket(local->ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    std::perror("socket");
    return -1;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 && session->Opt.Debug) {
    std::printf("setsockopt failed\n");
  }
  *bound = *local;
  *FtpAddressPort(bound) = 0;
  socklen_t boundLength = sizeof(*bound);
  const char *failed = bind(s, reinterpret_cast<sockaddr *>(bound), length) != 0 ? "bind"
                       : getsockname(s, reinterpret_cast<sockaddr *>(bound), &boundLength) != 0
                           ? "getsockname"
                       : listen(s, 1) != 0 ? "listen"
                                           : nullptr;
  if (failed == nullptr) return s;
  std::perror(failed);
  TcpClose(s);
  return -1;
}

// Waits for the accept of the server's connection or for a reply instead.
// Returns 1 for a connection to accept, 0 to wait again, -1 to give up.
int FtpAwaitConnection(FtpSession *session, long long deadline) {
  if (FtpInterruptPending()) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
    FtpDataAbort(session);
    FtpAbort(session);
    return -1;
  }
  pollfd fds[2] = {{session->Data.Listen, POLLIN, 0}, {session->Ctl.Socket, POLLIN, 0}};
  const long long left = deadline - FtpNowMs();
  const int ready =
      left > 0 ? poll(fds, session->Ctl.Socket >= 0 ? 2 : 1, static_cast<int>(left)) : 0;
  if (ready == 0) {
    FtpReportTimeout(session, "the server's data connection");
    FtpDataLost(session);
    return -1;
  }
  if (ready < 0) {
    if (errno == EINTR) return 0;
    std::perror("accept");
    return -1;
  }
  if ((fds[0].revents & POLLIN) != 0) return 1;
  // The server answered instead of connecting: a refusal ends the wait.
  return FtpNegativeOrNone(FtpGetReply(session)) ? -1 : 0;
}

}  // namespace

int FtpDataSetup(FtpSession *session) {
  return session->Opt.Passive ? FtpGetDataConnection(session) : FtpGetListenSocket(session);
}

int FtpDataStart(FtpSession *session, const char *text, bool (*refused)(int reply),
                 FILE *acceptOut) {
  int sendRc = 0;
  const int reply = FtpExchange(session, text, true, &sendRc);
  if (sendRc != 0 || refused(reply)) {
    // Refused, or no answer at all: the transfer never started.
    FtpFail(session,
            reply > 0 || session->Ctl.ReplyCode >= 400 ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
    FtpDataAbort(session);
    return 0;
  }
  if (!session->Opt.Passive && FtpAcceptConnection(session) < 0) {
    if (acceptOut != nullptr) {
      std::fprintf(acceptOut, "Cannot accept connection.\n");
      std::fflush(acceptOut);
    }
    FtpDataAbort(session);
    return 0;
  }
  return FtpDataProtect(session);
}

void FtpDataClose(FtpSession *session) {
  FtpTlsEnd(session->Data.Tls, true, session->Opt.Timeout);
  session->Data.Tls = nullptr;
  if (session->Data.Socket >= 0) TcpClose(session->Data.Socket);
  session->Data.Socket = -1;
}

void FtpDataAbort(FtpSession *session) {
  FtpTlsEnd(session->Data.Tls, false);
  session->Data.Tls = nullptr;
  if (session->Data.Listen >= 0) TcpClose(session->Data.Listen);
  if (session->Data.Socket >= 0) {
    // A reset, not an end of file: over plain FTP an end of file tells the
    // server that a cut upload is whole, and the server would first drain
    // whatever the kernel still holds for it, at its own pace.
    const linger reset = {1, 0};
    setsockopt(session->Data.Socket, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    TcpClose(session->Data.Socket);
  }
  session->Data.Listen = -1;
  session->Data.Socket = -1;
}

int FtpFormatPortCmd(char *text, uint32_t address, uint16_t port) {
  const auto *a = reinterpret_cast<const unsigned char *>(&address);
  const auto *p = reinterpret_cast<const unsigned char *>(&port);
  return std::snprintf(text, 64, "PORT %d,%d,%d,%d,%d,%d\r\n", a[0], a[1], a[2], a[3], p[0], p[1]);
}

int FtpGetListenSocket(FtpSession *session) {
  // The listening socket is bound to the interface the server already
  // reaches, not to every interface of the machine.
  sockaddr_storage local{}, bound{};
  const int s = FtpListenLocal(session, &local, &bound);
  if (s < 0) return -1;
  // PORT speaks IPv4 only; EPRT (RFC 2428) serves IPv6, and IPv4 servers
  // that want it instead of PORT.
  const bool v6 = local.ss_family == AF_INET6;
  char text[128];
  int reply = -1;
  if (!v6 && !session->Data.UseEprt) {
    FtpFormatPortCmd(text, reinterpret_cast<sockaddr_in &>(local).sin_addr.s_addr,
                     *FtpAddressPort(&bound));
    reply = FtpExchange(session, text, true);
  }
  if (v6 || session->Data.UseEprt || (reply >= 0 && FtpNotUnderstood(session))) {
    char address[INET6_ADDRSTRLEN] = "";
    const void *raw =
        v6 ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 &>(local).sin6_addr)
           : static_cast<const void *>(&reinterpret_cast<sockaddr_in &>(local).sin_addr);
    inet_ntop(local.ss_family, raw, address, sizeof(address));
    std::snprintf(text, sizeof(text), "EPRT |%d|%s|%u|\r\n", v6 ? 2 : 1, address,
                  ntohs(*FtpAddressPort(&bound)));
    reply = FtpExchange(session, text, true);
    if (FtpPositive(reply)) session->Data.UseEprt = 1;
  }
  if (reply < 0 || session->Ctl.ReplyCode >= 500) {
    FtpFail(session, FTP_EXIT_REFUSED);
    TcpClose(s);
    return -1;
  }
  session->Data.Listen = s;
  return s;
}

int FtpAcceptConnection(FtpSession *session) {
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  const bool knowPeer = FtpControlPeer(session, &peer, &peerLength);
  const long long deadline = FtpNowMs() + session->Opt.Timeout * 1000LL;
  for (;;) {
    const int ready = FtpAwaitConnection(session, deadline);
    if (ready < 0) return -1;
    if (ready == 0) continue;
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    const int fd =
        accept4(session->Data.Listen, reinterpret_cast<sockaddr *>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("accept");
      return -1;
    }
    if (knowPeer && !FtpSameHost(from, peer)) {
      TcpClose(fd);  // not the server: someone else raced for the port
      continue;
    }
    session->Data.Socket = fd;
    TcpClose(session->Data.Listen);
    session->Data.Listen = -1;
    return fd;
  }
}

int FtpParseEpsvReply(const char *reply, unsigned short *port) {
  // "229 Entering Extended Passive Mode (|||6446|)": any delimiter d in
  // "(d d d port d)", the same four times.
  const char *open = std::strchr(reply, '(');
  if (open == nullptr || open[1] == '\0') return -1;
  const char d = open[1];
  if (d < 33 || d > 126 || open[2] != d || open[3] != d) return -1;
  const char *digits = open + 4;
  const size_t n = std::strspn(digits, "0123456789");
  if (n == 0 || n > 5 || digits[n] != d || digits[n + 1] != ')') return -1;
  const long value = std::strtol(digits, nullptr, 10);
  if (value < 1 || value > 65535) return -1;
  *port = static_cast<unsigned short>(value);
  return 0;
}

int FtpParsePasvReply(const char *reply, char *host, int size, unsigned short *port) {
  const char *open = std::strchr(reply, '(');
  if (open == nullptr) return -1;
  const char *start = open + 1;
  const char *p = start;
  int commas = 0;
  while (*p != '\0' && commas < 4) {
    if (*p == ',') commas++;
    if (commas < 4) p++;
  }
  if (commas < 4) return -1;
  const long length = p - start;
  if (length >= size) return -1;
  std::memcpy(host, start, length);
  host[length] = '\0';
  for (int i = 0, seen = 0; i < length && seen < 3; i++) {
    if (host[i] == ',') {
      host[i] = '.';
      seen++;
    }
  }
  int p1 = 0;
  int p2 = 0;
  std::sscanf(p + 1, "%d,%d", &p1, &p2);
  *port = static_cast<unsigned short>((p1 & 255) * 256 + (p2 & 255));
  return 0;
}

namespace {

// Asks for a passive port, PASV first on IPv4, EPSV on IPv6 or when PASV
// is not understood. Returns the port, 0 when none was given.
unsigned short FtpPassivePort(FtpSession *session, int family) {
  char host[512];
  unsigned short port = 0;
  if (family == AF_INET && !session->Data.UseEpsv) {
    FtpExchange(session, "PASV\r\n", true);
    in_addr announced{};
    if (session->Ctl.Connected && session->Ctl.ReplyCode == 227 &&
        FtpParsePasvReply(session->Ctl.ReplyText, host, sizeof(host), &port) == 0 &&
        inet_aton(host, &announced) != 0 && port != 0) {
      return port;
    }
    if (!FtpNotUnderstood(session)) return 0;
  }
  FtpExchange(session, "EPSV\r\n", true);
  if (session->Ctl.Connected && session->Ctl.ReplyCode == 229 &&
      FtpParseEpsvReply(session->Ctl.ReplyText, &port) == 0) {
    session->Data.UseEpsv = 1;
    return port;
  }
  return 0;
}

// Records why a passive connection failed (rc: TcpConnect's result).
void FtpPassiveFailed(FtpSession *session, int rc) {
  if (rc == TCP_TIMEOUT) {
    FtpReportTimeout(session, "the data connection");
    FtpDataLost(session);
  } else if (rc == TCP_INTERRUPTED) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  } else {
    std::printf("Error on TCP/IP connection.\n");
    FtpFail(session, FTP_EXIT_INCOMPLETE);
  }
  std::fflush(stdout);
}

}  // namespace

int FtpGetDataConnection(FtpSession *session) {
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  const bool knowPeer = FtpControlPeer(session, &peer, &peerLength);
  const unsigned short port = knowPeer ? FtpPassivePort(session, peer.ss_family) : 0;
  if (port == 0) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_REFUSED);
    return -1;
  }
  std::free(session->Data.HostInfo);
  session->Data.HostInfo = static_cast<TcpInfo *>(std::calloc(1, sizeof(TcpInfo)));
  if (session->Data.HostInfo == nullptr) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    return -1;
  }
  std::snprintf(session->Data.HostInfo->HostName, sizeof(session->Data.HostInfo->HostName), "%s",
                session->Data.UseEpsv ? "EPSV" : "PASV");
  *FtpAddressPort(&peer) = htons(port);
  TcpSetInfoAddress(session->Data.HostInfo, reinterpret_cast<sockaddr *>(&peer), peerLength);
  session->Data.Socket = -1;
  const int rc = TcpConnect(&session->Data.Socket, session->Data.HostInfo, session->Opt.Timeout);
  if (rc != 0) {
    std::free(session->Data.HostInfo);
    session->Data.HostInfo = nullptr;
    session->Data.Socket = -1;
    FtpPassiveFailed(session, rc);
    return -1;
  }
  SetSocketKeepAlive(session->Data.Socket, 1);
  SetSocketTypeOfService(session->Data.Socket, 8);
  return session->Data.Socket;
}
