// ftp_io.cpp - bounded I/O on a connection. Every network wait of the conversation goes through
// FtpWait, so that -t is the only bound there is.
#include "ftp_io.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "ftp_tls.h"

void FtpReportTimeout(FtpSession *session, const char *what) {
  std::printf("cvxfer: timed out after %d s waiting for %s\n", session->Opt.Timeout, what);
  std::fflush(stdout);
  FtpFailWhy(session, FTP_EXIT_TIMEOUT, "timed out after %d s waiting for %s", session->Opt.Timeout,
             what);
}

int FtpWait(FtpSession *session, int fd, short events, const char *what) {
  return FtpWaitUntil(session, fd, events, FtpNowMs() + session->Opt.Timeout * 1000LL, what);
}

int FtpWaitUntil(FtpSession *session, int fd, short events, long long deadline, const char *what) {
  // After an interrupt the command is over: nothing but the ABOR exchange waits.
  if (session->Run.Interrupted && !session->Ctl.Aborting) return FTP_IO_INTERRUPTED;
  for (;;) {
    if (FtpInterruptPending()) {
      session->Run.Interrupted = 1;
      FtpFail(session, FTP_EXIT_INTERRUPTED);
      return FTP_IO_INTERRUPTED;
    }
    const long long left = deadline - FtpNowMs();
    pollfd p = {fd, events, 0};
    const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready > 0) return FTP_IO_READY;
    if (ready == 0) {
      FtpReportTimeout(session, what);
      return FTP_IO_TIMEOUT;
    }
    if (errno != EINTR) {
      std::perror("poll");
      return FTP_IO_ERROR;
    }
  }
}

int FtpWaitIn(FtpSession *session, int fd, ssl_st *tls, const char *what) {
  if (FtpTlsPending(tls) > 0) return FTP_IO_READY;
  return FtpWait(session, fd, POLLIN, what);
}

ssize_t FtpRecv(FtpSession *session, int fd, ssl_st *tls, void *buffer, size_t n,
                bool *unexpectedEof, const char *what) {
  *unexpectedEof = false;
  if (tls != nullptr) {
    const ssize_t got = FtpTlsRead(tls, buffer, n, unexpectedEof);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) FtpReportTimeout(session, what);
    return got;
  }
  ssize_t got;
  do {
    got = recv(fd, buffer, n, 0);
  } while (got < 0 && errno == EINTR && !FtpInterruptPending());
  return got;
}

int FtpSendAll(FtpSession *session, int fd, ssl_st *tls, const void *data, size_t length,
               const char *what) {
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    if (fd < 0) return FTP_IO_ERROR;
    if (const int ready = FtpWait(session, fd, POLLOUT, what); ready != FTP_IO_READY) return ready;
    ssize_t sent;
    if (tls != nullptr) {
      // Blocking, each pause bounded by the socket's send time-out.
      sent = FtpTlsWrite(tls, p, std::min<size_t>(length, 1 << 20));
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        FtpReportTimeout(session, what);
        return FTP_IO_TIMEOUT;
      }
    } else {
      sent = send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    }
    if (sent <= 0) {
      std::printf("error send on socket %d\n", fd);
      std::fflush(stdout);
      return FTP_IO_ERROR;
    }
    p += sent;
    length -= static_cast<size_t>(sent);
  }
  return FTP_IO_READY;
}

namespace {

// Whether byte i of text is shown in caret form on a terminal.
bool FtpHidden(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  const bool crlf = c == '\r' && (i + 1 == text.size() || text[i + 1] == '\n');
  return (c < 0x20 && c != '\t' && c != '\n' && !crlf) || c == 0x7F;
}

bool FtpToTerminal() {
  static const bool kTerminal = isatty(STDOUT_FILENO) != 0;
  return kTerminal;
}

}  // namespace

std::string FtpPrintable(std::string_view text) {
  if (!FtpToTerminal()) return std::string(text);
  std::string shown;
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (FtpHidden(text, i)) {
      shown += '^';
      shown += static_cast<char>(c == 0x7F ? '?' : c + '@');
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

void FtpWriteServerText(const char *text, size_t length) {
  if (!FtpToTerminal()) {
    std::fwrite(text, 1, length, stdout);
    return;
  }
  const std::string shown = FtpPrintable(std::string_view(text, length));
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

std::string FtpPeerText(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  char address[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
    const bool v6 = peer.ss_family == AF_INET6;
    const auto &in4 = reinterpret_cast<const sockaddr_in &>(peer);
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(peer);
    inet_ntop(peer.ss_family, v6 ? static_cast<const void *>(&in6.sin6_addr) : &in4.sin_addr,
              address, sizeof(address));
    port = ntohs(v6 ? in6.sin6_port : in4.sin_port);
  }
  return std::string(address) + " port " + std::to_string(port);
}
