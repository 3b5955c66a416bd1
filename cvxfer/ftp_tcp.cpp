// ftp_tcp.cpp - FTP protocol client. Replies are read line by line as RFC 959
// describes them, a transfer counts as done only when the data connection
// ended cleanly and the server confirmed it, and data connections are made
// only with the control connection's peer.
#include "ftp_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

#include "stringbuffer.h"
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

// Bytes asked of one receive of a memory retrieval; small enough to keep the
// buffer's growth smooth, large enough to keep system calls rare.
constexpr uint32_t kRetrieveChunk = 262144;

// Largest message the queue side can take (its lengths are 32-bit signed).
constexpr uint64_t kMemoryTransferMax = 0x7FFFFFFF;

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
int FtpSendAll(FtpSession *session, int fd, const void *data, size_t length, const char *what);
int FtpReadReply(FtpSession *session, bool quiet);
void FtpAbort(FtpSession *session);
void FtpLost(FtpSession *session);
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
  int rc =
      FtpSendAll(session, session->ControlSocket, text, length, "the server to take a command");
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

// Sends all length bytes on fd, each pause bounded by FtpWait. Returns 0, or
// -1 when the wait gave up or the connection failed.
int FtpSendAll(FtpSession *session, int fd, const void *data, size_t length, const char *what) {
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    if (fd < 0 || FtpWait(session, fd, POLLOUT, what) <= 0) return -1;
    ssize_t sent = send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
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
  if (session->ListenSocket >= 0) TcpClose(session->ListenSocket);
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->ListenSocket = -1;
  session->DataSocket = -1;
  FtpDropControl(session);
}

// After an interrupt: closes the data side, tells the server to abandon the
// command (ABOR) and reads its answer within a short bound. Servers answer
// ABOR in several ways (426 then 226, or one 2yz, or nothing useful); any
// answer that is not a reply in time loses the connection.
void FtpAbort(FtpSession *session) {
  if (session->ListenSocket >= 0) TcpClose(session->ListenSocket);
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->ListenSocket = -1;
  session->DataSocket = -1;
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
  if (FtpSendAll(session, session->ControlSocket, kAbor, sizeof(kAbor) - 1,
                 "the server to take ABOR") == 0) {
    reply = FtpReadReply(session, true);
    // The transfer's own reply and the answer to ABOR may both come: read
    // whatever follows at once, so the next command meets its own reply.
    for (int i = 0;
         i < 2 && reply >= 0 && session->Connected && TcpWait(session->ControlSocket, 1, 0) > 0;
         i++) {
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
  const int fd = session->ControlSocket;
  int kept = 0;
  bool any = false;
  *cut = false;
  line[0] = '\0';
  while (*budget > 0) {
    if (waitSeconds >= 0 ? TcpWait(fd, waitSeconds, 0) <= 0
                         : FtpWait(session, fd, POLLIN, FtpAwaited(session)) <= 0) {
      if (!any && waitSeconds < 0) return -2;
      break;
    }
    char piece[512];
    ssize_t want = *budget < static_cast<long>(sizeof(piece)) ? *budget : sizeof(piece);
    ssize_t n = recv(fd, piece, want, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0 && !any) return 0;
      break;
    }
    const char *lf = static_cast<const char *>(std::memchr(piece, '\n', n));
    ssize_t take = lf != nullptr ? lf - piece + 1 : n;
    ssize_t got;
    do {
      got = recv(fd, piece, take, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;
    any = true;
    *budget -= got;
    ssize_t room = kFtpReplyMax - 1 - kept;
    ssize_t copy = got < room ? got : room;
    std::memcpy(line + kept, piece, copy);
    kept += static_cast<int>(copy);
    if (copy < got) *cut = true;
    if (lf != nullptr && got == take) break;
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
bool FtpControlPeer(const FtpSession *session, sockaddr_in *peer) {
  socklen_t length = sizeof(*peer);
  return getpeername(session->ControlSocket, reinterpret_cast<sockaddr *>(peer), &length) == 0 &&
         peer->sin_family == AF_INET;
}

// Sets up the data side of a transfer or listing in the session's mode.
int FtpDataSetup(FtpSession *session) {
  return session->Passive ? FtpGetDataConnection(session) : FtpGetListenSocket(session);
}

// Closes whatever the data side has open after a failure.
void FtpDataAbort(FtpSession *session) {
  if (session->ListenSocket >= 0) TcpClose(session->ListenSocket);
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->ListenSocket = -1;
  session->DataSocket = -1;
}

// Closes the data connection after the data went through.
void FtpDataClose(FtpSession *session) {
  if (session->DataSocket >= 0) TcpClose(session->DataSocket);
  session->DataSocket = -1;
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
  return 1;
}

// Tells the user that a transfer did not complete.
void FtpReportIncomplete(FtpSession *session, const char *name) {
  std::printf("cvxfer: [%s] transfer incomplete.\n", name);
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);
}

// Runs a listing: verb with path, printed as received.
void FtpListing(FtpSession *session, const char *verb, const char *path, bool acceptToStderr) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, path) < 0) return;
  if (FtpDataSetup(session) < 0) return;
  int sendRc = 0;
  int reply = FtpExchange(session, text, true, &sendRc);
  if (sendRc != 0 || FtpNegativeOrNone(reply)) {
    FtpDataAbort(session);
    return;
  }
  if (!session->Passive && FtpAcceptConnection(session) < 0) {
    FILE *out = acceptToStderr ? stderr : stdout;
    std::fprintf(out, "Cannot accept connection.\n");
    std::fflush(out);
    FtpDataAbort(session);
    return;
  }
  long long total = 0;
  char chunk[1024];
  int n;
  while ((n = TcpRecv(session->DataSocket, chunk, sizeof(chunk))) > 0) {
    FtpWriteServerText(chunk, n);
    total += n;
  }
  std::fflush(stdout);
  if (gFtpInterrupted) {
    session->Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
    FtpAbort(session);
    return;
  }
  FtpDataClose(session);
  FtpGetReply(session);
  std::printf("cvxfer: %lld bytes received.\n", total);
  std::fflush(stdout);
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
  return TcpCleanUp();
}

int FtpSendControlCmd(int fd, const char *text, int length) {
  return TcpSend(fd, text, length);
}

int FtpGetReply(FtpSession *session) {
  return FtpReadReply(session, false);
}

int FtpOpen(FtpSession *session, const char *host, unsigned short port) {
  session->Connected = 0;
  session->LastVerb[0] = '\0';
  std::free(session->HostInfo);
  int error = 0;
  session->HostInfo = TcpSetInfo(host, port == 0 ? 21 : port, &error);
  if (session->HostInfo == nullptr) {
    std::printf("Error on TCP/IP: %s\n", TCPIPErrorString(error));
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
  int greeting = FtpGetReply(session);
  if (greeting >= 200 && greeting < 300) return 0;
  // No greeting, or a server that turns the session away.
  FtpFail(session, FTP_EXIT_CONNECT);
  return -1;
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
    FtpSendControlCmd(session->ControlSocket, text, sizeof(text) - 1);
    FtpReadReply(session, true);
  }
  FtpDropControl(session);
}

int FtpFormatPortCmd(char *text, uint32_t address, uint16_t port) {
  const auto *a = reinterpret_cast<const unsigned char *>(&address);
  const auto *p = reinterpret_cast<const unsigned char *>(&port);
  return std::snprintf(text, 64, "PORT %d,%d,%d,%d,%d,%d\r\n", a[0], a[1], a[2], a[3], p[0], p[1]);
}

int FtpGetListenSocket(FtpSession *session) {
  // The listening socket is bound to the interface the server already
  // reaches, not to every interface of the machine.
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (getsockname(session->ControlSocket, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
    std::perror("getsockname");
    return -1;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    std::perror("socket");
    return -1;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 && session->Debug) {
    std::printf("setsockopt failed\n");
  }
  sockaddr_in bound = local;
  bound.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&bound), sizeof(bound)) != 0) {
    std::perror("bind");
    TcpClose(s);
    return -1;
  }
  length = sizeof(bound);
  if (getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
    std::perror("getsockname");
    TcpClose(s);
    return -1;
  }
  if (listen(s, 1) != 0) {
    std::perror("listen");
    TcpClose(s);
    return -1;
  }
  char text[64];
  FtpFormatPortCmd(text, local.sin_addr.s_addr, bound.sin_port);
  int reply = FtpExchange(session, text, true);
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
  sockaddr_in peer{};
  bool knowPeer = FtpControlPeer(session, &peer);
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
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    int fd =
        accept4(session->ListenSocket, reinterpret_cast<sockaddr *>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("accept");
      return -1;
    }
    if (knowPeer && from.sin_addr.s_addr != peer.sin_addr.s_addr) {
      TcpClose(fd);  // not the server: someone else raced for the port
      continue;
    }
    session->DataSocket = fd;
    TcpClose(session->ListenSocket);
    session->ListenSocket = -1;
    return fd;
  }
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
  FtpExchange(session, "PASV\r\n", true);
  unsigned short port = 0;
  sockaddr_in peer{};
  in_addr announced{};
  if (!session->Connected ||
      FtpParsePasvReply(session->ReplyText, host, sizeof(host), &port) != 0 ||
      inet_aton(host, &announced) == 0 || port == 0 || !FtpControlPeer(session, &peer)) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_REFUSED);
    return -1;
  }
  // Only the port of the reply is used: the data connection goes to the
  // server we are talking to, whatever address it names.
  std::free(session->DataHostInfo);
  session->DataHostInfo = static_cast<TcpInfo *>(std::calloc(1, sizeof(TcpInfo)));
  if (session->DataHostInfo == nullptr) {
    std::printf("Error on TCP/IP connection.\n");
    std::fflush(stdout);
    return -1;
  }
  std::snprintf(session->DataHostInfo->HostName, sizeof(session->DataHostInfo->HostName), "%.255s",
                host);
  session->DataHostInfo->SockAddr = peer;
  session->DataHostInfo->SockAddr.sin_port = htons(port);
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

int FtpGetFileMem(FtpSession *session, const char *name, StringBuffer *buffer, uint64_t maxLength) {
  if (FtpCheckFileName(name) != 0) return 0;
  if (buffer == nullptr) {
    std::perror("no memory allocated?");
    return 0;
  }
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, "RETR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  if (!FtpStartTransfer(session, text, true, "Cannot accept connection.\n")) return 0;

  uint32_t chunk = session->HashMarks ? 1024 : kRetrieveChunk;
  long long total = 0;
  bool clean = false;
  bool tooLarge = false;
  for (;;) {
    if (static_cast<uint64_t>(buffer->Length) > maxLength ||
        static_cast<uint64_t>(buffer->Length) + chunk + 1 > kMemoryTransferMax) {
      // Stop at once: the rest of the file could only be thrown away.
      tooLarge = true;
      break;
    }
    if (FtpWait(session, session->DataSocket, POLLIN, "data from the server") <= 0) break;
    StringBufferResize(buffer, chunk);
    ssize_t n = recv(session->DataSocket, buffer->Data + buffer->Length, chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      clean = true;
      break;
    }
    if (n < 0) {
      std::perror("recv");
      break;
    }
    buffer->Length += static_cast<uint32_t>(n);
    total += n;
    if (session->HashMarks) {
      std::printf("#");
      std::fflush(stdout);
    }
  }
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
        name, static_cast<unsigned long long>(std::min(maxLength, kMemoryTransferMax)));
    std::fflush(stdout);
    return 0;
  }
  if (!clean || !FtpPositive(reply)) {
    FtpReportIncomplete(session, name);
    return 0;
  }
  return 1;
}

int FtpPutFileMem(FtpSession *session, const char *name, const void *data, uint32_t length) {
  if (FtpCheckFileName(name) != 0) return 0;
  if (data == nullptr) {
    std::printf("Buffer error.\n");
    std::fflush(stdout);
    return 0;
  }
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, "STOR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  if (!FtpStartTransfer(session, text, false, nullptr)) return 0;

  bool allSent =
      length <= kMemoryTransferMax &&
      FtpSendAll(session, session->DataSocket, data, length, "the server to take the data") == 0;
  if (allSent) {
    std::printf("%s : %ld bytes sent.\n", name, static_cast<long>(length));
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

void FtpNLST(FtpSession *session, const char *path) {
  FtpListing(session, "NLST", path, true);
}

void FtpLIST(FtpSession *session, const char *path) {
  FtpListing(session, "LIST", path, false);
}
