// ftp_ctrl.cpp - the control connection and the conversation on it, in the
// manner of a ping-pong: one command out, its whole reply in. Replies are
// framed as RFC 959 describes them from a buffer of bytes already read.
#include "ftp_ctrl.h"

#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_io.h"
#include "ftp_tls.h"
#include "tcp_util.h"

namespace {

// Most bytes one reply may take, all its lines together: a server that
// never ends its reply must not keep the client reading for ever.
constexpr long kFtpReplyTotalMax = 1048576;

// Why FtpCtlReadLine read no line.
enum { kLineEof = -1, kLineWaitFailed = -2, kLineError = -3, kLineBudget = -4 };

// What a reply read now would be the answer to, for a time-out message.
std::string FtpAwaited(const FtpSession *session) {
  if (session->Ctl.LastVerb[0] == '\0') return "the greeting";
  return std::string("the reply to ") + session->Ctl.LastVerb;
}

// Reads one reply line into line (kFtpReplyMax bytes, terminated): at most
// kFtpReplyMax - 1 bytes are kept, the rest of a longer line is read and
// dropped (*cut set). Every byte read is taken from *budget. Returns the
// bytes kept (a line the peer ended by closing counts), or kLineEof (closed
// before any byte), kLineWaitFailed (FtpWait gave up: time-out or
// interrupt), kLineError or kLineBudget.
int FtpCtlReadLine(FtpSession *session, char *line, bool *cut, long *budget) {
  FtpControl &ctl = session->Ctl;
  int kept = 0;
  bool any = false;
  *cut = false;
  line[0] = '\0';
  for (;;) {
    if (*budget <= 0) return kLineBudget;
    if (ctl.InStart < ctl.InEnd) {
      // Take the buffered bytes up to the end of the line.
      const char *start = ctl.In + ctl.InStart;
      const long avail = std::min<long>(ctl.InEnd - ctl.InStart, *budget);
      const char *lf = static_cast<const char *>(std::memchr(start, '\n', avail));
      const long take = lf != nullptr ? lf - start + 1 : avail;
      const long copy = std::min<long>(take, kFtpReplyMax - 1 - kept);
      std::memcpy(line + kept, start, copy);
      kept += static_cast<int>(copy);
      if (copy < take) *cut = true;
      ctl.InStart += static_cast<int>(take);
      *budget -= take;
      any = true;
      if (lf != nullptr) break;
      continue;
    }
    const std::string what = FtpAwaited(session);
    if (FtpWaitIn(session, ctl.Socket, ctl.Tls, what.c_str()) != FTP_IO_READY) {
      return kLineWaitFailed;
    }
    bool unexpectedEof = false;
    const ssize_t n =
        FtpRecv(session, ctl.Socket, ctl.Tls, ctl.In, sizeof(ctl.In), &unexpectedEof, what.c_str());
    if (n < 0 && errno == EINTR) continue;  // the next wait sees an interrupt
    if (n < 0) return session->Run.Failure == FTP_EXIT_TIMEOUT ? kLineWaitFailed : kLineError;
    if (n == 0) {
      if (!any) return kLineEof;
      break;
    }
    ctl.InStart = 0;
    ctl.InEnd = static_cast<int>(n);
  }
  line[kept] = '\0';
  return kept;
}

// Prints a reply line in verbose mode; a cut line gets its own line end.
void FtpShowReplyLine(const FtpSession *session, const char *line, int length, bool cut) {
  if (!session->Opt.Verbose) return;
  FtpWriteServerText(line, static_cast<size_t>(length));
  if (cut) std::printf("\n");
}

// Deals with a reply that could not be read whole (why: a FtpCtlReadLine
// result). Whatever the server says later could not be paired with the
// commands sent, so the connection goes, unless an interrupt asks for the
// ABOR exchange instead. Returns -1.
int FtpCtlReplyFailed(FtpSession *session, int why, bool quiet) {
  if (why == kLineWaitFailed && session->Run.Interrupted && !session->Ctl.Aborting) {
    FtpAbort(session);
  } else {
    FtpCtlDrop(session);
    if (why == kLineEof && !quiet) std::printf("Connection closed by remote host.\n");
    if (why == kLineBudget) {
      std::printf("\ncvxfer: reply longer than %ld bytes; connection closed.\n", kFtpReplyTotalMax);
    }
    if (why == kLineError || why == kLineBudget) FtpFail(session, FTP_EXIT_INCOMPLETE);
  }
  std::fflush(stdout);
  return -1;
}

// Exchanges "VERB [ARG]"; a command that does not fit is not sent and
// leaves ReplyCode 500, the code RFC 959 gives an over-long line.
int FtpSimpleCmd(FtpSession *session, const char *verb, const char *arg, bool echo) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, arg) < 0) {
    session->Ctl.ReplyCode = 500;
    return -1;
  }
  return FtpExchange(session, text, echo);
}

// Sends text without echo or reply; 0 when it went.
int FtpCtlSendRaw(FtpSession *session, const char *text, const char *what) {
  return FtpSendAll(session, session->Ctl.Socket, session->Ctl.Tls, text, std::strlen(text),
                    what) == FTP_IO_READY
             ? 0
             : -1;
}

// Reads replies after ABOR until one that is a 2yz (the answer to ABOR, or
// to the transfer that ended before it), at most a few. Returns the last
// code, or -1.
int FtpAbortAnswer(FtpSession *session) {
  int reply = FtpReadReply(session, true);
  for (int i = 0; i < 3 && reply > 0 && !FtpPositive(reply) && session->Ctl.Connected; i++) {
    reply = FtpReadReply(session, true);
  }
  return reply;
}

// Sends NOOP and reads replies until its own answer (200, or 500 to 502
// from a server that does not know it): whatever the ABOR left unread is
// read on the way. Returns true when the conversation is back in step.
bool FtpResync(FtpSession *session) {
  if (FtpCtlSendRaw(session, "NOOP\r\n", "the server to take NOOP") != 0) return false;
  for (int i = 0; i < 4 && session->Ctl.Connected; i++) {
    const int reply = FtpReadReply(session, true);
    if (reply < 0) return false;
    if (reply == 200 || (reply >= 500 && reply <= 502)) return true;
  }
  return false;
}

// Puts the control connection under TLS (after the greeting with AUTH TLS,
// or right after the connect for implicit TLS) and asks for protected data
// connections (PBSZ 0, PROT P). Returns 0; on failure the failure is
// recorded, the connection closed and -1 returned: nothing more, no user
// name and no password, goes to a server that did not give us TLS.
int FtpSecure(FtpSession *session, bool afterGreeting) {
  if (afterGreeting && FtpSimpleCmd(session, "AUTH", "TLS", true) != 234) {
    std::printf("cvxfer: the server refused AUTH TLS; nothing more is sent to it\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_TLS);
    FtpCtlDrop(session);
    return -1;
  }
  session->Ctl.Tls = FtpTlsStart(session, session->Ctl.Socket, session->Ctl.Host, nullptr, true);
  if (session->Ctl.Tls == nullptr) {
    FtpCtlDrop(session);
    return -1;
  }
  // TLS 1.3 servers send their session tickets after the handshake; they
  // come in with the first reply, in time for the first data connection.
  if (!afterGreeting && !FtpPositive(FtpGetReply(session))) return -1;
  if (FtpSimpleCmd(session, "PBSZ", "0", true) != 200 ||
      FtpSimpleCmd(session, "PROT", "P", true) != 200) {
    std::printf("cvxfer: the server refused protected data connections (PROT P)\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_TLS);
    FtpCtlDrop(session);
    return -1;
  }
  session->Data.Protected = 1;
  return 0;
}

// Forgets everything about an earlier connection before a new one.
void FtpCtlReset(FtpSession *session, const char *host) {
  FtpControl &ctl = session->Ctl;
  ctl.Connected = 0;
  ctl.LastVerb[0] = '\0';
  ctl.InStart = ctl.InEnd = 0;
  ctl.RemoteDirKnown = 0;
  ctl.FeatAsked = 0;
  ctl.Mlsd = 0;
  session->Data.UseEpsv = session->Data.UseEprt = session->Data.Protected = 0;
  // A bracketed IPv6 address is checked against the certificate bare.
  if (host[0] == '[') {
    std::snprintf(ctl.Host, sizeof(ctl.Host), "%.*s", static_cast<int>(std::strcspn(host + 1, "]")),
                  host + 1);
  } else {
    std::snprintf(ctl.Host, sizeof(ctl.Host), "%s", host);
  }
}

}  // namespace

int FtpConnectHost(FtpSession *session, const char *host, unsigned short port, TcpInfo **info,
                   int *fd) {
  std::free(*info);
  int error = 0;
  *info = TcpSetInfo(host, port, &error, session->Opt.Timeout);
  int rc = *info == nullptr ? error : 0;
  if (rc == 0) {
    *fd = -1;
    rc = TcpConnect(fd, *info, session->Opt.Timeout);
  }
  const int why = errno;
  if (rc == 0) return 0;
  if (rc == TCP_TIMEOUT) {
    std::printf("cvxfer: timed out after %d s waiting for %s %s port %u\n", session->Opt.Timeout,
                *info == nullptr ? "the address of" : "the connection to", host, port);
    FtpFailWhy(session, FTP_EXIT_TIMEOUT, "timed out after %d s", session->Opt.Timeout);
  } else if (rc == TCP_INTERRUPTED) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  } else {
    // The host and port said, so that a typo or a wrong port shows.
    std::printf(*info == nullptr ? "Error on TCP/IP: %s (%s port %u)\n"
                                        : "Error on TCP/IP connect: %s (%s port %u)\n",
                TCPIPErrorString(rc), host, port);
    FtpFailWhy(session, FTP_EXIT_CONNECT, "%s",
               rc == TCP_CONNECT_FAILED ? std::strerror(why) : TCPIPErrorString(rc));
  }
  std::free(*info);
  *info = nullptr;
  *fd = -1;
  FtpFail(session, FTP_EXIT_CONNECT);
  std::fflush(stdout);
  return -1;
}

namespace {

// The command line "VERB ARG\r\n" in *command (see FtpFormatCmd). Returns
// 0, 1 when arg holds CR or LF, 2 when the line would not fit.
int FtpBuildCmd(const char *verb, const char *arg, bool keepEmpty, std::string *command) {
  // A line break would end the command early and start another one.
  if (arg != nullptr && std::strpbrk(arg, "\r\n") != nullptr) return 1;
  *command = verb;
  if (keepEmpty || (arg != nullptr && arg[0] != '\0')) *command += ' ';
  for (const char *c = arg != nullptr ? arg : ""; *c != '\0'; c++) {
    *command += *c;
    if (static_cast<unsigned char>(*c) == 0xFF) *command += *c;
  }
  *command += "\r\n";
  return command->size() >= static_cast<size_t>(kFtpCommandMax) ? 2 : 0;
}

}  // namespace

int FtpFormatCmd(char *text, const char *verb, const char *arg, bool keepEmpty) {
  std::string command;
  const int problem = FtpBuildCmd(verb, arg, keepEmpty, &command);
  if (problem == 1) std::printf("cvxfer: a name cannot hold CR or LF; not sent.\n");
  if (problem == 2) {
    std::printf("%s: command too long (more than %d characters); not sent.\n", verb,
                kFtpCommandMax - 3);
  }
  if (problem != 0) {
    std::fflush(stdout);
    return -1;
  }
  std::memcpy(text, command.c_str(), command.size() + 1);
  return static_cast<int>(command.size());
}

bool FtpCmdSendable(const char *verb, const char *arg) {
  std::string command;
  return FtpBuildCmd(verb, arg, false, &command) == 0;
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

int FtpExchange(FtpSession *session, const char *text, bool echo, int *sendRc) {
  const int length = static_cast<int>(std::strlen(text));
  if (echo && session->Opt.Debug) {
    // A password never reaches the screen, even when debugging.
    if (strncasecmp(text, "PASS ", 5) == 0) {
      std::printf("--> PASS XXXX\n");
    } else {
      std::printf("--> %s\n", FtpPrintable(std::string_view(text, length - 2)).c_str());
    }
    std::fflush(stdout);
  }
  // The verb names the reply awaited in a time-out message.
  const size_t verb = std::strcspn(text, " \r");
  std::snprintf(session->Ctl.LastVerb, sizeof(session->Ctl.LastVerb), "%.*s",
                static_cast<int>(verb < sizeof(session->Ctl.LastVerb) ? verb : 0), text);
  const int rc =
      session->Ctl.Socket >= 0 ? FtpCtlSendRaw(session, text, "the server to take a command") : -1;
  if (sendRc != nullptr) *sendRc = rc;
  if (rc != 0) {
    // A send that timed out leaves the conversation out of step.
    if (session->Run.Failure == FTP_EXIT_TIMEOUT) FtpCtlDrop(session);
    return -1;
  }
  return FtpGetReply(session);
}

int FtpCommand(FtpSession *session, const char *verb, const char *arg) {
  return FtpSimpleCmd(session, verb, arg, true);
}

int FtpCommandQuiet(FtpSession *session, const char *verb, const char *arg) {
  return FtpSimpleCmd(session, verb, arg, false);
}

int FtpReadReply(FtpSession *session, bool quiet) {
  FtpControl &ctl = session->Ctl;
  std::memset(ctl.ReplyText, 0, sizeof(ctl.ReplyText));
  // After an interrupt nothing but the answer to ABOR is read.
  if (ctl.Socket < 0 || (session->Run.Interrupted && !ctl.Aborting)) return -1;
  bool cut = false;
  long budget = kFtpReplyTotalMax;
  const int n = FtpCtlReadLine(session, ctl.ReplyText, &cut, &budget);
  if (n < 0) return FtpCtlReplyFailed(session, n, quiet);
  char digits[4] = {0};
  std::memcpy(digits, ctl.ReplyText, n < 3 ? n : 3);
  ctl.ReplyCode = std::atoi(digits);
  ctl.Replies++;
  FtpShowReplyLine(session, ctl.ReplyText, n, cut);
  if (ctl.Lines != nullptr) ctl.Lines->append(ctl.ReplyText, n);
  if (ctl.ReplyCode == 421) {
    FtpCtlDrop(session);
    std::fflush(stdout);
    return -1;
  }
  if (n >= 4 && ctl.ReplyText[3] == '-') {
    char terminator[4];
    std::memcpy(terminator, ctl.ReplyText, 3);
    terminator[3] = ' ';
    char line[kFtpReplyMax];
    for (;;) {
      const int m = FtpCtlReadLine(session, line, &cut, &budget);
      if (m < 0) return FtpCtlReplyFailed(session, m, quiet);
      FtpShowReplyLine(session, line, m, cut);
      if (ctl.Lines != nullptr) ctl.Lines->append(line, m);
      std::memcpy(ctl.ReplyText, line, m + 1);
      if (m >= 4 && std::memcmp(line, terminator, 4) == 0) break;
    }
  }
  std::fflush(stdout);
  return ctl.ReplyCode;
}

int FtpGetReply(FtpSession *session) {
  return FtpReadReply(session, false);
}

void FtpCtlDrop(FtpSession *session) {
  FtpControl &ctl = session->Ctl;
  FtpTlsEnd(ctl.Tls, false);
  ctl.Tls = nullptr;
  session->Data.Protected = 0;
  session->Data.UseEpsv = 0;
  session->Data.UseEprt = 0;
  ctl.InStart = ctl.InEnd = 0;
  if (ctl.Socket >= 0) TcpClose(ctl.Socket);
  ctl.Socket = -1;
  ctl.Connected = 0;
}

void FtpAbort(FtpSession *session) {
  if (session->Ctl.Socket < 0) return;
  FtpInterruptClear();
  if (session->Opt.Debug) {
    std::printf("--> ABOR\n");
    std::fflush(stdout);
  }
  std::snprintf(session->Ctl.LastVerb, sizeof(session->Ctl.LastVerb), "ABOR");
  session->Ctl.Aborting = 1;
  // A second interrupt while the server is asked gives the connection up.
  const bool inStep = FtpCtlSendRaw(session, "ABOR\r\n", "the server to take ABOR") == 0 &&
                      FtpAbortAnswer(session) >= 0 && session->Ctl.Connected && FtpResync(session);
  session->Ctl.Aborting = 0;
  if (!inStep && session->Ctl.Connected) FtpCtlDrop(session);
  if (FtpInterruptPending()) FtpCtlDrop(session);
  FtpInterruptClear();
}

int FtpOpen(FtpSession *session, const char *host, unsigned short port) {
  FtpCtlReset(session, host);
  if (port == 0) port = session->Opt.TlsMode == FTP_TLS_IMPLICIT ? 990 : 21;
  FtpNoteObject(session, "%s port %u", host, port);
  if (FtpConnectHost(session, host, port, &session->Ctl.HostInfo, &session->Ctl.Socket) != 0) {
    return -1;
  }
  std::printf("Connected to %s\n", session->Ctl.HostInfo->HostName);
  std::fflush(stdout);
  session->Ctl.Connected = 1;
  if (session->Opt.TlsMode == FTP_TLS_IMPLICIT) return FtpSecure(session, false);
  if (!FtpPositive(FtpGetReply(session))) {
    // No greeting, or a server that turns the session away.
    FtpFail(session, FTP_EXIT_CONNECT);
    return -1;
  }
  return session->Opt.TlsMode == FTP_TLS_EXPLICIT ? FtpSecure(session, true) : 0;
}

void FtpUSER(FtpSession *session, const char *user) {
  FtpSimpleCmd(session, "USER", user, true);
}

void FtpPASS(FtpSession *session, const char *password) {
  FtpSimpleCmd(session, "PASS", password, true);
}

void FtpQUIT(FtpSession *session) {
  if (session->Opt.Debug) {
    std::printf("--> QUIT\n");
    std::fflush(stdout);
  }
  if (session->Ctl.Socket >= 0) {
    std::snprintf(session->Ctl.LastVerb, sizeof(session->Ctl.LastVerb), "QUIT");
    if (FtpCtlSendRaw(session, "QUIT\r\n", "the server to take QUIT") == 0) {
      FtpReadReply(session, true);
    }
  }
  FtpCtlDrop(session);
}

void FtpCD(FtpSession *session, const char *directory) {
  char text[kFtpCommandMax];
  session->Ctl.RemoteDirKnown = 0;
  // CWD always carries its argument, even an empty one.
  if (FtpFormatCmd(text, "CWD", directory != nullptr ? directory : "", true) < 0) {
    session->Ctl.ReplyCode = 500;
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

bool FtpPositive(int reply) {
  return reply >= 200 && reply < 300;
}

bool FtpNegativeOrNone(int reply) {
  return reply < 100 || reply >= 400;
}
