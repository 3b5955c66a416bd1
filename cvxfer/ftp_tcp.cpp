// ftp_tcp.cpp - FTP protocol client. Replies are read line by line as RFC 959
// describes them, a transfer counts as done only when the data connection
// ended cleanly and the server confirmed it, and data connections are made
// only with the control connection's peer.
#include "ftp_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ftp_progress.h"
#include "ftp_tls.h"
#include "tcp_util.h"

volatile std::sig_atomic_t gFtpInterrupted = 0;

namespace {

// Writes bytes the server chose to standard output. On a terminal every
// control character but tab and line feed (and a CR right before a line
// feed) is shown in caret form, so a server cannot clear the screen or
// retitle the window; into a pipe the bytes go unchanged.
void FtpWriteServerText(const char *text, int length) {
  static const int kTerminal = isatty(STDOUT_FILENO);
  if (!kTerminal) {
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    return;
  }
  for (int i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool crlf = c == '\r' && (i + 1 == length || text[i + 1] == '\n');
    if ((c < 0x20 && c != '\t' && c != '\n' && !crlf) || c == 0x7F) {
      std::putchar('^');
      std::putchar(c == 0x7F ? '?' : c + '@');
    } else {
      std::putchar(c);
    }
  }
}

// Bytes asked of one receive of a retrieval through memory (TLS), and
// handed to one FtpSendAll of a store: large enough to keep system calls
// rare, small enough to keep memory flat and the progress line moving.
constexpr uint32_t kRetrieveChunk = 262144;
constexpr uint32_t kStorePiece = 262144;

// Bytes asked of one splice of a retrieval and one sendfile of a store.
constexpr size_t kSpliceChunk = 1 << 20;
constexpr uint64_t kSendfileChunk = 4 << 20;

// Largest message the queue side can take (its lengths are 32-bit signed).
constexpr uint64_t kMessageMax = 0x7FFFFFFF;

// Most bytes one reply may take, all its lines together: a server that
// never ends its reply must not keep the client reading for ever.
constexpr long kFtpReplyTotalMax = 1048576;

// Formats "VERB ARG\r\n" (or "VERB\r\n" without an argument, unless
// keepEmpty) into text (kFtpCommandMax bytes), with every IAC byte (0xFF)
// doubled as the Telnet rules of the control connection ask. Returns its
// length, or -1 after a message when the argument holds CR or LF or the
// command does not fit: a cut command would do something else than asked.
int FtpFormatCmd(char *text, const char *verb, const char *arg, bool keepEmpty = false) {
  if (arg != nullptr && std::strpbrk(arg, "\r\n") != nullptr) {
    // A line break would end the command early and start another one.
    std::printf("cvxfer: a name cannot hold CR or LF; not sent.\n");
    std::fflush(stdout);
    return -1;
  }
  std::string command = verb;
  if (keepEmpty || (arg != nullptr && arg[0] != '\0')) {
    command += ' ';
  }
  if (arg != nullptr) {
    for (const char *c = arg; *c != '\0'; c++) {
      command += *c;
      if (static_cast<unsigned char>(*c) == 0xFF) command += *c;
    }
  }
  command += "\r\n";
  if (command.size() >= static_cast<size_t>(kFtpCommandMax)) {
    std::printf("%s: command too long (more than %d characters); not sent.\n", verb,
                kFtpCommandMax - 3);
    std::fflush(stdout);
    return -1;
  }
  std::memcpy(text, command.c_str(), command.size() + 1);
  return static_cast<int>(command.size());
}

int FtpWait(FtpSession *session, int fd, short events, const char *what);
// Which connection an I/O call is on.
enum FtpChannel { kControl, kData };
int FtpSendAll(FtpSession *session, FtpChannel channel, const void *data, size_t length,
               const char *what);
int FtpReadReply(FtpSession *session, bool quiet);
void FtpAbort(FtpSession *session);
void FtpLost(FtpSession *session);
void FtpDataAbort(FtpSession *session);
const char *FtpAwaited(const FtpSession *session);

// Sends text on the control connection (echoed in debug mode when echo is
// set) and reads the reply. *sendRc gets the send's result. Returns the
// reply's code or -1.
int FtpExchange(FtpSession *session, const char *text, bool echo, int *sendRc = nullptr) {
  int length = static_cast<int>(std::strlen(text));
  if (echo && session->Debug) {
    // A password never reaches the screen, even when debugging.
    if (std::strncmp(text, "PASS ", 5) == 0) {
      std::printf("--> PASS XXXX\n");
    } else {
      std::printf("--> %.*s\n", length - 2, text);
    }
    std::fflush(stdout);
  }
  // The verb names the reply awaited in a time-out message.
  size_t verb = std::strcspn(text, " \r");
  std::snprintf(session->LastVerb, sizeof(session->LastVerb), "%.*s",
                static_cast<int>(verb < sizeof(session->LastVerb) ? verb : 0), text);
  int rc = FtpSendAll(session, kControl, text, length, "the server to take a command");
  if (sendRc != nullptr) *sendRc = rc;
  if (rc != 0) return -1;
  return FtpGetReply(session);
}

// Exchanges "VERB [ARG]" with the server; a command that does not fit is not
// sent and leaves ReplyCode 500, the code RFC 959 gives an over-long line.
int FtpSimpleCmd(FtpSession *session, const char *verb, const char *arg, bool echo) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, arg) < 0) {
    session->ReplyCode = 500;
    return -1;
  }
  return FtpExchange(session, text, echo);
}

// Closes the control connection after the server ended it.
void FtpDropControl(FtpSession *session) {
  FtpTlsEnd(session->DataTls, false);
  session->DataTls = nullptr;
  FtpTlsEnd(session->ControlTls, false);
  session->ControlTls = nullptr;
  session->DataProtected = 0;
  session->UseEpsv = 0;
  session->UseEprt = 0;
  session->ControlInStart = session->ControlInEnd = 0;
  if (session->ControlSocket >= 0) TcpClose(session->ControlSocket);
  session->ControlSocket = -1;
  session->Connected = 0;
}

// Set while FtpAbort waits for the answer to ABOR.
bool gAborting = false;

// Milliseconds on the monotonic clock.
long long FtpNowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Waits until fd is ready for events, at most the session's time-out. Every
// network wait of a command goes through here, and so does giving up: after
// a time-out (reported as "timed out after N s waiting for WHAT") the
// connection is dropped as after a 421; after an interrupt the command is
// aborted (FtpAbort). Both are recorded as the command's failure. Returns 1
// when fd is ready, 0 after a time-out, -1 after an interrupt or a failed
// wait; after 0 or -1 the session's sockets may be closed.
int FtpWait(FtpSession *session, int fd, short events, const char *what) {
  if (session->Interrupted && !gAborting) return -1;  // the command is over
  const long long deadline = FtpNowMs() + session->Timeout * 1000LL;
  for (;;) {
    if (gFtpInterrupted) {
      session->Interrupted = 1;
      FtpFail(session, FTP_EXIT_INTERRUPTED);
      if (gAborting) {
        FtpLost(session);
      } else {
        FtpAbort(session);
      }
      return -1;
    }
    long long left = deadline - FtpNowMs();
    pollfd p = {fd, events, 0};
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready > 0) return 1;
    if (ready == 0) {
      std::printf("cvxfer: timed out after %d s waiting for %s\n", session->Timeout, what);
      std::fflush(stdout);
      FtpFail(session, FTP_EXIT_TIMEOUT);
      FtpLost(session);
      return 0;
    }
    if (errno != EINTR) {
      std::perror("poll");
      return -1;
    }
  }
}

// What a reply read now would be the answer to, for a time-out message.
const char *FtpAwaited(const FtpSession *session) {
  static char text[32];
  if (session->LastVerb[0] == '\0') return "the greeting";
  std::snprintf(text, sizeof(text), "the reply to %s", session->LastVerb);
  return text;
}

int FtpChannelFd(const FtpSession *session, FtpChannel channel) {
  return channel == kControl ? session->ControlSocket : session->DataSocket;
}

ssl_st *FtpChannelTls(const FtpSession *session, FtpChannel channel) {
  return channel == kControl ? session->ControlTls : session->DataTls;
}

// A TLS read or write that ran into the socket's time-out: the same end as
// a wait that timed out.
void FtpTlsTimedOut(FtpSession *session, const char *what) {
  std::printf("cvxfer: timed out after %d s waiting for %s\n", session->Timeout, what);
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_TIMEOUT);
  FtpLost(session);
}

// Waits until channel has bytes to read (decrypted bytes waiting count).
int FtpWaitIn(FtpSession *session, FtpChannel channel, const char *what) {
  if (FtpTlsPending(FtpChannelTls(session, channel)) > 0) return 1;
  return FtpWait(session, FtpChannelFd(session, channel), POLLIN, what);
}

// Reads at most n bytes from channel, which FtpWaitIn found readable.
// Returns the count, 0 at the end of the stream (*unexpectedEof: a TLS peer
// closed without close_notify) or -1.
ssize_t FtpRecv(FtpSession *session, FtpChannel channel, void *buffer, size_t n,
                bool *unexpectedEof, const char *what) {
  *unexpectedEof = false;
  if (ssl_st *tls = FtpChannelTls(session, channel)) {
    ssize_t got = FtpTlsRead(tls, buffer, n, unexpectedEof);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) FtpTlsTimedOut(session, what);
    return got;
  }
  ssize_t got;
  do {
    got = recv(FtpChannelFd(session, channel), buffer, n, 0);
  } while (got < 0 && errno == EINTR && !gFtpInterrupted);
  return got;
}

// Sends all length bytes on channel, each pause bounded by FtpWait. Returns
// 0, or -1 when the wait gave up or the connection failed.
int FtpSendAll(FtpSession *session, FtpChannel channel, const void *data, size_t length,
               const char *what) {
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    const int fd = FtpChannelFd(session, channel);
    if (fd < 0 || FtpWait(session, fd, POLLOUT, what) <= 0) return -1;
    ssize_t sent;
    if (ssl_st *tls = FtpChannelTls(session, channel)) {
      // Blocking, each pause bounded by the socket's send time-out.
      sent = FtpTlsWrite(tls, p, std::min<size_t>(length, 1 << 20));
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        FtpTlsTimedOut(session, what);
        return -1;
      }
    } else {
      sent = send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    }
    if (sent <= 0) {
      std::printf("error send on socket %d\n", fd);
      std::fflush(stdout);
      return -1;
    }
    p += sent;
    length -= static_cast<size_t>(sent);
  }
  return 0;
}

// Gives up the connection after a wait that timed out, as after a 421: what
// the server says later could not be paired with the commands sent.
void FtpLost(FtpSession *session) {
  FtpDataAbort(session);
  FtpDropControl(session);
}

// After an interrupt: closes the data side, tells the server to abandon the
// command (ABOR) and reads its answer within a short bound. Servers answer
// ABOR in several ways (426 then 226, or one 2yz, or nothing useful); any
// answer that is not a reply in time loses the connection.
void FtpAbort(FtpSession *session) {
  FtpDataAbort(session);
  if (session->ControlSocket < 0) return;
  gFtpInterrupted = 0;
  const int timeout = session->Timeout;
  session->Timeout = std::min(timeout, kFtpReplyLineWait);
  static const char kAbor[] = "ABOR\r\n";
  if (session->Debug) {
    std::printf("--> ABOR\n");
    std::fflush(stdout);
  }
  int reply = -1;
  std::snprintf(session->LastVerb, sizeof(session->LastVerb), "ABOR");
  gAborting = true;
  if (FtpSendAll(session, kControl, kAbor, sizeof(kAbor) - 1, "the server to take ABOR") == 0) {
    // A transfer in progress is answered with a 4yz, then the answer to
    // ABOR itself (225 or 226): read until a 2yz, then whatever follows at
    // once, so that the next command meets its own reply.
    reply = FtpReadReply(session, true);
    for (int i = 0; i < 3 && ((reply >= 100 && reply < 200) || (reply >= 400 && reply < 500)) &&
                    session->Connected;
         i++) {
      reply = FtpReadReply(session, true);
    }
    while (reply >= 0 && session->Connected && TcpWait(session->ControlSocket, 1, 0) > 0) {
      reply = FtpReadReply(session, true);
    }
  }
  gAborting = false;
  session->Timeout = timeout;
  if (reply < 0 && session->Connected) FtpDropControl(session);
}

// Reads one reply line into line (kFtpReplyMax bytes, terminated): at most
// kFtpReplyMax - 1 bytes are kept, the rest of a longer line is read and
// dropped (*cut set). Every byte read is taken from *budget; the read stops
// when it is spent. waitSeconds < 0 waits as FtpWait does (the session's
// time-out, reported), else at most that long, silently, for each piece of
// the line. Returns the bytes kept, 0 when the peer closed before any byte,
// -1 on error or a spent budget before any byte, -2 when the wait gave up
// (time-out or interrupt) before any byte.
int FtpReadReplyLine(FtpSession *session, char *line, int waitSeconds, bool *cut, long *budget) {
  int kept = 0;
  bool any = false;
  *cut = false;
  line[0] = '\0';
  while (*budget > 0) {
    if (session->ControlInStart < session->ControlInEnd) {
      // Take the buffered bytes up to the end of the line.
      const char *start = session->ControlIn + session->ControlInStart;
      long avail = std::min<long>(session->ControlInEnd - session->ControlInStart, *budget);
      const char *lf = static_cast<const char *>(std::memchr(start, '\n', avail));
      long take = lf != nullptr ? lf - start + 1 : avail;
      long copy = std::min<long>(take, kFtpReplyMax - 1 - kept);
      std::memcpy(line + kept, start, copy);
      kept += static_cast<int>(copy);
      if (copy < take) *cut = true;
      session->ControlInStart += static_cast<int>(take);
      *budget -= take;
      any = true;
      if (lf != nullptr) break;
      continue;
    }
    const int fd = session->ControlSocket;
    if (FtpTlsPending(session->ControlTls) == 0) {
      if (waitSeconds >= 0 ? TcpWait(fd, waitSeconds, 0) <= 0
                           : FtpWait(session, fd, POLLIN, FtpAwaited(session)) <= 0) {
        if (!any && waitSeconds < 0) return -2;
        break;
      }
    }
    bool unexpectedEof = false;
    ssize_t n = FtpRecv(session, kControl, session->ControlIn, sizeof(session->ControlIn),
                        &unexpectedEof, FtpAwaited(session));
    if (n < 0 && errno == EINTR) continue;  // the next wait sees an interrupt
    if (session->ControlSocket < 0) return any ? kept : -2;
    if (n <= 0) {
      if (n == 0 && !any) return 0;
      break;
    }
    session->ControlInStart = 0;
    session->ControlInEnd = static_cast<int>(n);
  }
  line[kept] = '\0';
  return any ? kept : -1;
}

// Prints a reply line in verbose mode; a cut line gets its own line end.
void FtpShowReplyLine(const FtpSession *session, const char *line, int length, bool cut) {
  if (!session->Verbose) return;
  FtpWriteServerText(line, length);
  if (cut) std::printf("\n");
}

// Reads a reply; quiet suppresses the notice of a connection the server
// closed (expected after QUIT).
int FtpReadReply(FtpSession *session, bool quiet) {
  std::memset(session->ReplyText, 0, sizeof(session->ReplyText));
  // After an interrupt nothing but the answer to ABOR is read.
  if (session->ControlSocket < 0 || (session->Interrupted && !gAborting)) return -1;
  bool cut = false;
  long budget = kFtpReplyTotalMax;
  int n = FtpReadReplyLine(session, session->ReplyText, -1, &cut, &budget);
  if (n == -2) return -1;  // the wait gave up and has dealt with the connection
  if (n <= 0) {
    if (n == 0) {
      // The server has gone; every later command would fail on a dead socket.
      FtpDropControl(session);
      if (!quiet) std::printf("Connection closed by remote host.\n");
    }
    std::fflush(stdout);
    return -1;
  }
  char digits[4] = {0};
  std::memcpy(digits, session->ReplyText, n < 3 ? n : 3);
  session->ReplyCode = std::atoi(digits);
  FtpShowReplyLine(session, session->ReplyText, n, cut);

  if (session->ReplyCode == 421) {
    FtpDropControl(session);
    std::fflush(stdout);
    std::fflush(stderr);
    return -1;
  }

  if (n >= 4 && session->ReplyText[3] == '-') {
    char terminator[4];
    std::memcpy(terminator, session->ReplyText, 3);
    terminator[3] = ' ';
    char line[kFtpReplyMax];
    for (;;) {
      int m = FtpReadReplyLine(session, line, kFtpReplyLineWait, &cut, &budget);
      if (m <= 0) break;
      FtpShowReplyLine(session, line, m, cut);
      std::memcpy(session->ReplyText, line, m + 1);
      if (m >= 4 && std::memcmp(line, terminator, 4) == 0) break;
    }
  }
  if (budget <= 0) {
    // The rest of the reply is unread, so nothing later would pair with
    // its command: the connection cannot be used any more.
    std::printf("\ncvxfer: reply longer than %ld bytes; connection closed.\n", kFtpReplyTotalMax);
    FtpDropControl(session);
    std::fflush(stdout);
    return -1;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return session->ReplyCode;
}

// Address of the control connection's peer, or false.
bool FtpControlPeer(const FtpSession *session, sockaddr_storage *peer, socklen_t *length) {
  *length = sizeof(*peer);
  return getpeername(session->ControlSocket, reinterpret_cast<sockaddr *>(peer), length) == 0 &&
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
  return session->Connected && session->ReplyCode >= 500 && session->ReplyCode < 600;
}

// Sets up the data side of a transfer or listing in the session's mode.
int FtpDataSetup(FtpSession *session) {
  return session->Passive ? FtpGetDataConnection(session) : FtpGetListenSocket(session);
}

// Closes whatever the data side has open after a failure.
void FtpDataAbort(FtpSession *session) {
  FtpTlsEnd(session->DataTls, false);
  session->DataTls = nullptr;
  if (session->ListenSocket >= 0) TcpClose(session->ListenSocket);
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->ListenSocket = -1;
  session->DataSocket = -1;
}

// Closes the data connection after the data went through, ending its TLS
// with close_notify: without it a server may count an upload cut short,
// and a TLS 1.3 session ended without it is not offered again.
void FtpDataClose(FtpSession *session) {
  FtpTlsEnd(session->DataTls, true, std::min(session->Timeout, kFtpReplyLineWait));
  session->DataTls = nullptr;
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->DataSocket = -1;
}

// Puts the data connection under TLS when PROT P is in force, resuming the
// control connection's session as strict servers demand. A failed
// handshake leaves the server waiting on a data connection that is gone:
// its reply is read so that the next command meets its own. Returns 1
// when the data can flow, 0 after cleaning up.
int FtpDataProtect(FtpSession *session) {
  if (!session->DataProtected) return 1;
  session->DataTls =
      FtpTlsStart(session, session->DataSocket, session->TlsHost, session->ControlTls, false);
  if (session->DataTls != nullptr) return 1;
  FtpDataAbort(session);
  FtpGetReply(session);
  return 0;
}

bool FtpPositive(int reply) {
  return reply >= 200 && reply < 300;
}
// A reply without a code of three digits is no answer at all.
bool FtpNegativeOrNone(int reply) {
  return reply < 100 || reply >= 400;
}

// Sends the transfer command text and accepts the data connection in active
// mode. acceptMessage goes to standard error when the accept fails (null:
// none). Returns 1 when the data can flow, 0 after cleaning up.
int FtpStartTransfer(FtpSession *session, const char *text, bool retrieve,
                     const char *acceptMessage) {
  int sendRc = 0;
  int reply = FtpExchange(session, text, true, &sendRc);
  bool refused = retrieve ? (reply != 150 && reply != 125) : FtpNegativeOrNone(reply);
  if (sendRc != 0 || refused) {
    // Refused, or no answer at all: the transfer never started.
    FtpFail(session,
            reply > 0 || session->ReplyCode >= 400 ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
    FtpDataAbort(session);
    return 0;
  }
  if (!session->Passive && FtpAcceptConnection(session) < 0) {
    if (acceptMessage != nullptr) {
      std::fprintf(stderr, "%s", acceptMessage);
      std::fflush(stderr);
    }
    FtpDataAbort(session);
    return 0;
  }
  return FtpDataProtect(session);
}

// Tells the user that a transfer did not complete.
void FtpReportIncomplete(FtpSession *session, const char *name) {
  std::printf("cvxfer: [%s] transfer incomplete.\n", name);
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);
}

// Runs a listing: verb with path, printed as received, or kept in *into
// (then nothing of it is printed). Returns 0 when the listing arrived and
// its final reply was positive, else -1.
int FtpListing(FtpSession *session, const char *verb, const char *path, bool acceptToStderr,
               std::string *into = nullptr) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, path) < 0) return -1;
  if (FtpDataSetup(session) < 0) return -1;
  int sendRc = 0;
  int reply = FtpExchange(session, text, true, &sendRc);
  if (sendRc != 0 || FtpNegativeOrNone(reply)) {
    FtpFail(session, reply > 0 ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
    FtpDataAbort(session);
    return -1;
  }
  if (!session->Passive && FtpAcceptConnection(session) < 0) {
    FILE *out = acceptToStderr ? stderr : stdout;
    std::fprintf(out, "Cannot accept connection.\n");
    std::fflush(out);
    FtpDataAbort(session);
    return -1;
  }
  if (!FtpDataProtect(session)) return -1;
  long long total = 0;
  char chunk[1024];
  ssize_t n;
  bool unexpectedEof = false;
  // A listing ends at the first pause of kTcpRecvWaitSeconds, as it always
  // has; decrypted bytes already waiting need no wait.
  while (!gFtpInterrupted &&
         (FtpTlsPending(session->DataTls) > 0 ||
          TcpWait(session->DataSocket, kTcpRecvWaitSeconds, 0) > 0) &&
         (n = FtpRecv(session, kData, chunk, sizeof(chunk), &unexpectedEof, "the listing")) > 0) {
    if (into != nullptr) {
      into->append(chunk, static_cast<size_t>(n));
    } else {
      FtpWriteServerText(chunk, static_cast<int>(n));
    }
    total += n;
  }
  std::fflush(stdout);
  if (gFtpInterrupted) {
    session->Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
    FtpAbort(session);
    return -1;
  }
  FtpDataClose(session);
  reply = FtpGetReply(session);
  if (into == nullptr) {
    std::printf("cvxfer: %lld bytes received.\n", total);
    std::fflush(stdout);
  }
  if (FtpPositive(reply)) return 0;
  FtpFail(session, reply > 0 ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
  return -1;
}

}  // namespace

int FtpInit(FtpSession *session) {
  session->InputReady = 0;
  session->ControlSocket = -1;
  session->DataSocket = -1;
  session->ListenSocket = -1;
  session->Connected = 0;
  session->Debug = 0;
  session->Verbose = 1;
  session->HashMarks = 0;
  session->Passive = 0;
  session->AutoLogin = 1;
  session->HostInfo = nullptr;
  session->DataHostInfo = nullptr;
  session->Timeout = kFtpDefaultTimeout;
  session->Status = FTP_EXIT_OK;
  return TcpInit();
}

int FtpCleanUp(FtpSession *session) {
  std::free(session->HostInfo);
  session->HostInfo = nullptr;
  std::free(session->DataHostInfo);
  session->DataHostInfo = nullptr;
  FtpDropControl(session);
  FtpTlsCleanUp();
  return TcpCleanUp();
}

int FtpSendControlCmd(int fd, const char *text, int length) {
  return TcpSend(fd, text, length);
}

int FtpGetReply(FtpSession *session) {
  return FtpReadReply(session, false);
}

// Puts the control connection under TLS (after the greeting with AUTH TLS,
// or right after the connect for implicit TLS) and asks for protected data
// connections (PBSZ 0, PROT P). Returns 0; on failure the failure is
// recorded, the connection closed and -1 returned: nothing more, no user
// name and no password, goes to a server that did not give us TLS.
int FtpSecure(FtpSession *session, bool afterGreeting) {
  if (afterGreeting) {
    int reply = FtpSimpleCmd(session, "AUTH", "TLS", true);
    if (reply != 234) {
      std::printf("cvxfer: the server refused AUTH TLS; nothing more is sent to it\n");
      std::fflush(stdout);
      FtpFail(session, FTP_EXIT_TLS);
      FtpLost(session);
      return -1;
    }
  }
  session->ControlTls =
      FtpTlsStart(session, session->ControlSocket, session->TlsHost, nullptr, true);
  if (session->ControlTls == nullptr) {
    FtpLost(session);
    return -1;
  }
  // TLS 1.3 servers send their session tickets after the handshake; they
  // come in with the first reply, in time for the first data connection.
  if (!afterGreeting && (FtpGetReply(session) < 200 || session->ReplyCode >= 300)) return -1;
  if (FtpSimpleCmd(session, "PBSZ", "0", true) != 200 ||
      FtpSimpleCmd(session, "PROT", "P", true) != 200) {
    std::printf("cvxfer: the server refused protected data connections (PROT P)\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_TLS);
    FtpLost(session);
    return -1;
  }
  session->DataProtected = 1;
  return 0;
}

int FtpOpen(FtpSession *session, const char *host, unsigned short port) {
  session->Connected = 0;
  session->LastVerb[0] = '\0';
  session->ControlInStart = session->ControlInEnd = 0;
  session->UseEpsv = session->UseEprt = session->DataProtected = 0;
  session->RemoteDirKnown = 0;
  std::snprintf(session->TlsHost, sizeof(session->TlsHost), "%s", host);
  if (session->TlsHost[0] == '[') {
    // A bracketed IPv6 address is checked against the certificate bare.
    std::snprintf(session->TlsHost, sizeof(session->TlsHost), "%.*s",
                  static_cast<int>(std::strcspn(host + 1, "]")), host + 1);
  }
  if (port == 0) port = session->TlsMode == FTP_TLS_IMPLICIT ? 990 : 21;
  std::free(session->HostInfo);
  int error = 0;
  session->HostInfo = TcpSetInfo(host, port, &error, session->Timeout);
  if (session->HostInfo == nullptr) {
    if (error == TCP_TIMEOUT) {
      std::printf("cvxfer: timed out after %d s waiting for the address of %s\n", session->Timeout,
                  host);
      FtpFail(session, FTP_EXIT_TIMEOUT);
    } else {
      std::printf("Error on TCP/IP: %s\n", TCPIPErrorString(error));
    }
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_CONNECT);
    return -1;
  }
  session->ControlSocket = -1;
  int rc = TcpConnect(&session->ControlSocket, session->HostInfo, session->Timeout);
  if (rc != 0) {
    std::free(session->HostInfo);
    session->HostInfo = nullptr;
    if (rc == TCP_TIMEOUT) {
      std::printf("cvxfer: timed out after %d s waiting for the connection to %s\n",
                  session->Timeout, host);
      FtpFail(session, FTP_EXIT_TIMEOUT);
    } else if (rc == TCP_INTERRUPTED) {
      session->Interrupted = 1;
      FtpFail(session, FTP_EXIT_INTERRUPTED);
    } else {
      std::printf("Error on TCP/IP connect: %s\n", TCPIPErrorString(rc));
    }
    FtpFail(session, FTP_EXIT_CONNECT);
    std::fflush(stdout);
    return -1;
  }
  std::printf("Connected to %s\n", session->HostInfo->HostName);
  std::fflush(stdout);
  session->Connected = 1;
  if (session->TlsMode == FTP_TLS_IMPLICIT) return FtpSecure(session, false);
  int greeting = FtpGetReply(session);
  if (greeting < 200 || greeting >= 300) {
    // No greeting, or a server that turns the session away.
    FtpFail(session, FTP_EXIT_CONNECT);
    return -1;
  }
  return session->TlsMode == FTP_TLS_EXPLICIT ? FtpSecure(session, true) : 0;
}

void FtpUSER(FtpSession *session, const char *user) {
  FtpSimpleCmd(session, "USER", user, true);
}

void FtpPASS(FtpSession *session, const char *password) {
  FtpSimpleCmd(session, "PASS", password, true);
}

void FtpQUIT(FtpSession *session) {
  const char text[] = "QUIT\r\n";
  if (session->Debug) {
    std::printf("--> QUIT\n");
    std::fflush(stdout);
  }
  if (session->ControlSocket >= 0) {
    std::snprintf(session->LastVerb, sizeof(session->LastVerb), "QUIT");
    if (FtpSendAll(session, kControl, text, sizeof(text) - 1, "the server to take QUIT") == 0) {
      FtpReadReply(session, true);
    }
  }
  FtpDropControl(session);
}

int FtpParseSizeReply(const char *reply, uint64_t *size) {
  static const char kBytes[] = " bytes)";
  const char *open = std::strrchr(reply, '(');
  if (open == nullptr) return -1;
  const size_t digits = std::strspn(open + 1, "0123456789");
  if (digits == 0 || digits > 19 ||
      std::strncmp(open + 1 + digits, kBytes, sizeof(kBytes) - 1) != 0) {
    return -1;
  }
  // The size ends the text; "(N bytes)" earlier on is part of a file name.
  const char *after = open + 1 + digits + sizeof(kBytes) - 1;
  if (after[std::strspn(after, ". \r\n")] != '\0') return -1;
  *size = std::strtoull(open + 1, nullptr, 10);
  return 0;
}

int FtpFormatPortCmd(char *text, uint32_t address, uint16_t port) {
  const auto *a = reinterpret_cast<const unsigned char *>(&address);
  const auto *p = reinterpret_cast<const unsigned char *>(&port);
  return std::snprintf(text, 64, "PORT %d,%d,%d,%d,%d,%d\r\n", a[0], a[1], a[2], a[3], p[0], p[1]);
}

int FtpGetListenSocket(FtpSession *session) {
  // The listening socket is bound to the interface the server already
  // reaches, not to every interface of the machine.
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  if (getsockname(session->ControlSocket, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
    std::perror("getsockname");
    return -1;
  }
  int s = socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    std::perror("socket");
    return -1;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 && session->Debug) {
    std::printf("setsockopt failed\n");
  }
  sockaddr_storage bound = local;
  *FtpAddressPort(&bound) = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&bound), length) != 0) {
    std::perror("bind");
    TcpClose(s);
    return -1;
  }
  socklen_t boundLength = sizeof(bound);
  if (getsockname(s, reinterpret_cast<sockaddr *>(&bound), &boundLength) != 0) {
    std::perror("getsockname");
    TcpClose(s);
    return -1;
  }
  if (listen(s, 1) != 0) {
    std::perror("listen");
    TcpClose(s);
    return -1;
  }
  // PORT speaks IPv4 only; EPRT (RFC 2428) serves IPv6, and IPv4 servers
  // that want it instead of PORT.
  const bool v6 = local.ss_family == AF_INET6;
  char text[128];
  int reply = -1;
  if (!v6 && !session->UseEprt) {
    FtpFormatPortCmd(text, reinterpret_cast<sockaddr_in &>(local).sin_addr.s_addr,
                     *FtpAddressPort(&bound));
    reply = FtpExchange(session, text, true);
  }
  if (v6 || session->UseEprt || (reply >= 0 && FtpNotUnderstood(session) && reply != 421)) {
    char address[INET6_ADDRSTRLEN] = "";
    const void *raw =
        v6 ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 &>(local).sin6_addr)
           : static_cast<const void *>(&reinterpret_cast<sockaddr_in &>(local).sin_addr);
    inet_ntop(local.ss_family, raw, address, sizeof(address));
    std::snprintf(text, sizeof(text), "EPRT |%d|%s|%u|\r\n", v6 ? 2 : 1, address,
                  ntohs(*FtpAddressPort(&bound)));
    reply = FtpExchange(session, text, true);
    if (reply >= 200 && reply < 300) session->UseEprt = 1;
  }
  if (reply < 0 || session->ReplyCode == 421 || session->ReplyCode >= 500) {
    if (session->ReplyCode == 421) session->Connected = 0;
    FtpFail(session, FTP_EXIT_REFUSED);
    TcpClose(s);
    return -1;
  }
  session->ListenSocket = s;
  return s;
}

int FtpAcceptConnection(FtpSession *session) {
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  bool knowPeer = FtpControlPeer(session, &peer, &peerLength);
  const long long deadline = FtpNowMs() + session->Timeout * 1000LL;
  for (;;) {
    if (gFtpInterrupted) {
      session->Interrupted = 1;
      FtpFail(session, FTP_EXIT_INTERRUPTED);
      FtpAbort(session);
      return -1;
    }
    pollfd fds[2] = {{session->ListenSocket, POLLIN, 0}, {session->ControlSocket, POLLIN, 0}};
    long long left = deadline - FtpNowMs();
    int ready =
        left > 0 ? poll(fds, session->ControlSocket >= 0 ? 2 : 1, static_cast<int>(left)) : 0;
    if (ready == 0) {
      std::printf("cvxfer: timed out after %d s waiting for the server's data connection\n",
                  session->Timeout);
      std::fflush(stdout);
      FtpFail(session, FTP_EXIT_TIMEOUT);
      FtpLost(session);
      return -1;
    }
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      std::perror("accept");
      return -1;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      // The server answered instead of connecting: a refusal ends the wait.
      int reply = FtpGetReply(session);
      if (FtpNegativeOrNone(reply)) return -1;
      continue;
    }
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    int fd =
        accept4(session->ListenSocket, reinterpret_cast<sockaddr *>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("accept");
      return -1;
    }
    if (knowPeer && !FtpSameHost(from, peer)) {
      TcpClose(fd);  // not the server: someone else raced for the port
      continue;
    }
    session->DataSocket = fd;
    TcpClose(session->ListenSocket);
    session->ListenSocket = -1;
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
  size_t n = std::strspn(digits, "0123456789");
  if (n == 0 || n > 5 || digits[n] != d || digits[n + 1] != ')') return -1;
  long value = std::strtol(digits, nullptr, 10);
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
  long length = p - start;
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

int FtpGetDataConnection(FtpSession *session) {
  static char host[512];
  unsigned short port = 0;
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  const bool knowPeer = FtpControlPeer(session, &peer, &peerLength);
  // PASV speaks IPv4 only; EPSV (RFC 2428) serves IPv6, and IPv4 servers
  // that refuse PASV. Either way only the port of the reply is used: the
  // data connection goes to the server we are talking to, whatever
  // address a PASV reply names.
  bool parsed = false;
  if (knowPeer && peer.ss_family == AF_INET && !session->UseEpsv) {
    FtpExchange(session, "PASV\r\n", true);
    in_addr announced{};
    parsed = session->Connected && session->ReplyCode == 227 &&
             FtpParsePasvReply(session->ReplyText, host, sizeof(host), &port) == 0 &&
             inet_aton(host, &announced) != 0 && port != 0;
  }
  if (knowPeer && !parsed &&
      (peer.ss_family == AF_INET6 || session->UseEpsv || FtpNotUnderstood(session))) {
    FtpExchange(session, "EPSV\r\n", true);
    parsed = session->Connected && session->ReplyCode == 229 &&
             FtpParseEpsvReply(session->ReplyText, &port) == 0;
    if (parsed) session->UseEpsv = 1;
    std::snprintf(host, sizeof(host), "EPSV");
  }
  if (!parsed) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_REFUSED);
    return -1;
  }
  std::free(session->DataHostInfo);
  session->DataHostInfo = static_cast<TcpInfo *>(std::calloc(1, sizeof(TcpInfo)));
  if (session->DataHostInfo == nullptr) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    return -1;
  }
  std::snprintf(session->DataHostInfo->HostName, sizeof(session->DataHostInfo->HostName), "%.255s",
                host);
  *FtpAddressPort(&peer) = htons(port);
  TcpSetInfoAddress(session->DataHostInfo, reinterpret_cast<sockaddr *>(&peer), peerLength);
  session->DataSocket = -1;
  int rc = TcpConnect(&session->DataSocket, session->DataHostInfo, session->Timeout);
  if (rc != 0) {
    std::free(session->DataHostInfo);
    session->DataHostInfo = nullptr;
    session->DataSocket = -1;
    if (rc == TCP_TIMEOUT) {
      std::printf("cvxfer: timed out after %d s waiting for the data connection\n",
                  session->Timeout);
      FtpFail(session, FTP_EXIT_TIMEOUT);
      FtpLost(session);
    } else if (rc == TCP_INTERRUPTED) {
      session->Interrupted = 1;
      FtpFail(session, FTP_EXIT_INTERRUPTED);
    } else {
      std::printf("Error on TCP/IP connection.\n");
      FtpFail(session, FTP_EXIT_INCOMPLETE);
    }
    std::fflush(stdout);
    return -1;
  }
  SetSocketKeepAlive(session->DataSocket, 1);
  SetSocketTypeOfService(session->DataSocket, 8);
  return session->DataSocket;
}

int FtpCheckFileName(const char *name) {
  if (name == nullptr || name[0] == '\0') {
    std::printf("No file specified.\n");
    std::fflush(stdout);
    return -1;
  }
  char text[kFtpCommandMax];
  return FtpFormatCmd(text, "STOR", name) < 0 ? -1 : 0;
}

int FtpGetFileTo(FtpSession *session, const char *name, const FtpSink &sink, uint64_t maxLength) {
  if (FtpCheckFileName(name) != 0) return 0;
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, "RETR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  if (!FtpStartTransfer(session, text, true, "Cannot accept connection.\n")) return 0;

  maxLength = std::min(maxLength, kMessageMax);
  uint64_t announced = 0;
  const int known = FtpParseSizeReply(session->ReplyText, &announced) == 0;
  // Bytes go straight from the socket to the sink where they can; through
  // memory when they must be decrypted first.
  const bool splice = sink.Splice != nullptr && session->DataTls == nullptr;
  const size_t chunk = session->HashMarks ? 1024 : splice ? kSpliceChunk : kRetrieveChunk;
  std::vector<char> buffer(splice ? 0 : chunk);
  FtpProgress progress;
  FtpProgressStart(&progress, session, announced, known);
  long long total = 0;
  bool clean = false;
  // A file announced too long is abandoned before its first byte; in ascii
  // the server may send another count than it announces.
  bool tooLarge = known && announced > maxLength && session->TransferType == 2;
  bool refused = false;
  while (!tooLarge) {
    if (FtpWaitIn(session, kData, "data from the server") <= 0) break;
    // One byte beyond the limit proves the file too long.
    const size_t ask = static_cast<size_t>(
        std::min<uint64_t>(chunk, maxLength - static_cast<uint64_t>(total) + 1));
    ssize_t n;
    if (splice) {
      size_t moved = 0;
      const int rc = sink.Splice(session->DataSocket, ask, &moved);
      n = static_cast<ssize_t>(moved);
      if (rc < 0) {
        std::perror("recv");
        break;
      }
      // A sink that refuses the byte beyond the limit refuses a file too long.
      if (rc != 0 && static_cast<uint64_t>(total + n) <= maxLength) {
        refused = true;
        break;
      }
    } else {
      bool unexpectedEof = false;
      n = FtpRecv(session, kData, buffer.data(), ask, &unexpectedEof, "data from the server");
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::perror("recv");
        break;
      }
    }
    if (n == 0) {
      clean = true;
      break;
    }
    total += n;
    if (static_cast<uint64_t>(total) > maxLength) {
      // Stop at once: the rest of the file could only be thrown away.
      tooLarge = true;
      break;
    }
    if (!splice && sink.Write(buffer.data(), static_cast<size_t>(n)) != 0) {
      refused = true;
      break;
    }
    FtpProgressUpdate(&progress, static_cast<uint64_t>(total));
    if (session->HashMarks) {
      std::printf("#");
      std::fflush(stdout);
    }
  }
  FtpProgressEnd(&progress);
  FtpDataClose(session);
  if (session->HashMarks) {
    std::printf("\n");
    std::fflush(stdout);
  }
  int reply = FtpGetReply(session);
  std::printf("cvxfer: [%s] %lld bytes received.\n", name, total);
  std::fflush(stdout);
  if (tooLarge) {
    std::printf(
        "cvxfer: [%s] too large for one message (more than %llu bytes); transfer "
        "abandoned.\n",
        name, static_cast<unsigned long long>(maxLength));
    std::fflush(stdout);
    return kFtpTooLarge;
  }
  if (refused) return kFtpSinkFailed;
  if (!clean || !FtpPositive(reply)) {
    FtpReportIncomplete(session, name);
    return 0;
  }
  return 1;
}

// Sends source's bytes on the data connection: by sendfile from its
// descriptor when nothing needs encrypting, else piece by piece. Returns 0,
// or -1 when the connection or the source failed.
int FtpSendSource(FtpSession *session, const FtpSource &source, FtpProgress *progress) {
  const int fd = session->DataSocket;
  // sendfile on a blocking socket waits until all it was given is queued,
  // however long a stalled server takes: the socket does not block while it
  // is used, so that each wait is FtpWait's, bounded.
  const int flags = fcntl(fd, F_GETFL);
  if (source.Fd >= 0 && session->DataTls == nullptr) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  struct Restore {
    int Fd, Flags;
    ~Restore() { fcntl(Fd, F_SETFL, Flags); }
  } restore{fd, flags};
  std::vector<char> piece;
  for (uint64_t sent = 0; sent < source.Length;) {
    const uint64_t left = source.Length - sent;
    if (source.Fd >= 0 && session->DataTls == nullptr) {
      if (FtpWait(session, fd, POLLOUT, "the server to take the data") <= 0) return -1;
      off_t offset = static_cast<off_t>(sent);
      ssize_t n = sendfile(fd, source.Fd, &offset,
                           static_cast<size_t>(std::min<uint64_t>(left, kSendfileChunk)));
      // An interrupt is FtpWait's to tell, at the top of the loop.
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        std::printf("error send on socket %d\n", fd);
        std::fflush(stdout);
        return -1;
      }
      // Sent bytes are not read again: their pages go now, while the
      // server is busy with them, rather than all at once when the body is
      // removed.
      posix_fadvise(source.Fd, static_cast<off_t>(sent), n, POSIX_FADV_DONTNEED);
      sent += static_cast<uint64_t>(n);
    } else {
      piece.resize(kStorePiece);
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kStorePiece));
      size_t got = 0;
      if (source.Fd >= 0) {
        ssize_t n = pread(source.Fd, piece.data(), want, static_cast<off_t>(sent));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          std::printf("cvxfer: the message ended %llu bytes early\n",
                      static_cast<unsigned long long>(left));
          return -1;
        }
        got = static_cast<size_t>(n);
      } else if (source.Read(piece.data(), want, &got) != 0 || got == 0) {
        return -1;
      }
      if (FtpSendAll(session, kData, piece.data(), got, "the server to take the data") != 0) {
        return -1;
      }
      sent += got;
    }
    FtpProgressUpdate(progress, sent);
  }
  return 0;
}

int FtpPutFileFrom(FtpSession *session, const char *name, const FtpSource &source) {
  if (FtpCheckFileName(name) != 0) return 0;
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, "STOR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  if (!FtpStartTransfer(session, text, false, nullptr)) return 0;

  FtpProgress progress;
  FtpProgressStart(&progress, session, source.Length, 1);
  const bool allSent =
      source.Length <= kMessageMax && FtpSendSource(session, source, &progress) == 0;
  FtpProgressEnd(&progress);
  if (allSent) {
    std::printf("%s : %ld bytes sent.\n", name, static_cast<long>(source.Length));
    std::fflush(stdout);
  }
  FtpDataClose(session);
  int reply = FtpGetReply(session);
  if (!allSent || !FtpPositive(reply)) {
    FtpReportIncomplete(session, name);
    return 0;
  }
  return 1;
}

void FtpCD(FtpSession *session, const char *directory) {
  static char text[kFtpCommandMax];
  session->RemoteDirKnown = 0;
  // CWD always carries its argument, even an empty one.
  if (FtpFormatCmd(text, "CWD", directory != nullptr ? directory : "", true) < 0) {
    session->ReplyCode = 500;
    return;
  }
  FtpExchange(session, text, true);
}

void FtpPWD(FtpSession *session) {
  FtpSimpleCmd(session, "PWD", nullptr, true);
}

void FtpTYPE(FtpSession *session, const char *code) {
  FtpSimpleCmd(session, "TYPE", code, false);
}

void FtpSYST(FtpSession *session) {
  FtpSimpleCmd(session, "SYST", nullptr, true);
}

void FtpSTAT(FtpSession *session) {
  FtpSimpleCmd(session, "STAT", nullptr, true);
}

void FtpHELP(FtpSession *session, const char *topic) {
  FtpSimpleCmd(session, "HELP", topic, false);
}

int FtpCommand(FtpSession *session, const char *verb, const char *arg) {
  return FtpSimpleCmd(session, verb, arg, true);
}

int FtpCommandQuiet(FtpSession *session, const char *verb, const char *arg) {
  return FtpSimpleCmd(session, verb, arg, false);
}

int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names) {
  std::string text;
  if (FtpListing(session, "NLST", path, true, &text) != 0) return -1;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names->push_back(name);
    start = end + 1;
  }
  return 0;
}

void FtpNLST(FtpSession *session, const char *path) {
  FtpListing(session, "NLST", path, true);
}

void FtpLIST(FtpSession *session, const char *path) {
  FtpListing(session, "LIST", path, false);
}
