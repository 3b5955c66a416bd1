// ftp_ctrl.h - the control connection: opening it (with TLS as asked),
// sending a command and reading its whole reply, the ABOR exchange, and the
// single-line commands. Owns FtpSession::Ctl. Every wait is FtpWait's,
// bounded by -t; a reply is read whole or the command fails and the
// connection is closed, so that no later command reads an earlier reply.
#ifndef CVXFER_FTP_CTRL_H
#define CVXFER_FTP_CTRL_H

#include "ftp_session.h"

// Size of the buffer every command text is formatted in.
constexpr int kFtpCommandMax = 1024;

// Formats "VERB ARG\r\n" (or "VERB\r\n" without an argument, unless
// keepEmpty) into text (kFtpCommandMax bytes), with every IAC byte (0xFF)
// doubled as the Telnet rules of the control connection ask. Returns its
// length, or -1 after a message when the argument holds CR or LF or the
// command does not fit: a cut command would do something else than asked.
int FtpFormatCmd(char *text, const char *verb, const char *arg, bool keepEmpty = false);

// Whether FtpFormatCmd would format verb with arg, without its message.
bool FtpCmdSendable(const char *verb, const char *arg);

// Checks a remote file name before anything is sent or taken from a queue:
// present, free of CR and LF (which would end the command early), and short
// enough for a command line. Returns 0, or -1 after saying why not.
int FtpCheckFileName(const char *name);

// Sends the formatted command text (echoed in debug mode when echo is set;
// a password never is) and reads its reply. *sendRc, when given, gets 0
// when the command was sent. Returns the reply's code, or -1 when it was
// not sent or no whole reply came.
int FtpExchange(FtpSession *session, const char *text, bool echo, int *sendRc = nullptr);

// Sends "VERB [ARG]" and reads the reply: echoed in debug mode (FtpCommand)
// or not (FtpCommandQuiet). A command that cannot be sent (CR or LF in arg,
// too long) leaves ReplyCode 500. Returns the reply's code or -1.
int FtpCommand(FtpSession *session, const char *verb, const char *arg);
int FtpCommandQuiet(FtpSession *session, const char *verb, const char *arg);

// Reads one whole reply (RFC 959: a multi-line reply ends at the line that
// starts with its code and a blank). Leaves the code in ReplyCode and the
// last line, terminated, in ReplyText; prints the lines in verbose mode.
// Returns the code, or -1 when no whole reply came: the server closed
// (said unless quiet), 421 (the connection is then closed), a time-out
// (the connection is closed), an interrupt (the command is aborted).
int FtpReadReply(FtpSession *session, bool quiet);
int FtpGetReply(FtpSession *session);

// Closes the control connection: after the server ended it, after a
// time-out, or when what it says can no longer be paired with commands.
void FtpCtlDrop(FtpSession *session);

// After an interrupt (the data side already closed): tells the server to
// abandon the command with ABOR and reads what it answers until a NOOP sent
// after it is answered, so that the next command meets its own reply. A
// connection that cannot be brought back in step is closed.
void FtpAbort(FtpSession *session);

// Resolves host and connects a stream socket to it on port, within -t, into
// *fd, with the address record in *info (owned by the caller; the one it
// held is freed first). Returns 0, or -1 after saying why and recording
// the failure (*info null, *fd -1). The SFTP connection uses it too.
int FtpConnectHost(FtpSession *session, const char *host, unsigned short port, TcpInfo **info,
                   int *fd);

// Connects the control connection to host and port (0: 21, or 990 for
// implicit TLS), securing it as TlsMode asks, prints "Connected to %s" and
// reads the greeting. Returns 0 only when the connection stands and the
// greeting was positive (else the failure is recorded).
int FtpOpen(FtpSession *session, const char *host, unsigned short port = 0);

// Exchange USER / PASS; the reply code is left in ReplyCode.
void FtpUSER(FtpSession *session, const char *user);
void FtpPASS(FtpSession *session, const char *password);

// Sends QUIT, reads the reply and closes the control connection, whatever
// the reply was.
void FtpQUIT(FtpSession *session);

// Single-line commands: CWD (always with its argument), PWD, TYPE and HELP
// (without argument when it is missing or empty, never echoed), SYST, STAT.
void FtpCD(FtpSession *session, const char *directory);
void FtpPWD(FtpSession *session);
void FtpTYPE(FtpSession *session, const char *code);
void FtpSYST(FtpSession *session);
void FtpSTAT(FtpSession *session);
void FtpHELP(FtpSession *session, const char *topic);

// Whether a reply code is positive (2yz); whether it is negative or no
// reply at all (a reply without three digits is none).
bool FtpPositive(int reply);
bool FtpNegativeOrNone(int reply);

#endif
