// ftp_tcp.h - the FTP protocol client: control connection and replies, data
// connections, transfers to and from memory and files, simple commands and
// listings. All state lives in the caller's FtpSession.
#ifndef CVXFER_FTP_TCP_H
#define CVXFER_FTP_TCP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cvxfer.h"

struct StringBuffer;

// Size of the buffer every command text is formatted in.
constexpr int kFtpCommandMax = 1024;
// Seconds each further line of a multi-line reply may take.
constexpr int kFtpReplyLineWait = 5;

// Sets the FTP fields of session to their defaults and starts the TCP layer;
// returns TcpInit's result (0 = success).
int FtpInit(FtpSession *session);

// Releases HostInfo; returns TcpCleanUp's result. Sends nothing.
int FtpCleanUp(FtpSession *session);

// Sends length bytes of text on fd; 0 when all were sent, -1 otherwise.
int FtpSendControlCmd(int fd, const char *text, int length);

// Reads one whole reply (RFC 959: a multi-line reply ends at the line that
// starts with its code and a blank). Leaves the code in ReplyCode and the
// last line read, terminated, in ReplyText; prints the lines in verbose
// mode. Returns the code, or -1 when no reply could be read or it was 421
// (the control connection is then closed and Connected cleared).
int FtpGetReply(FtpSession *session);

// Connects the control connection to host and port (0 or none: 21, or 990
// for implicit TLS), securing it as TlsMode asks, prints
// "Connected to %s" and reads the greeting. Connected shows whether the
// connection stands; returns 0 only when it does and the greeting was
// positive (else the failure is recorded: could not connect, or time-out).
int FtpOpen(FtpSession *session, const char *host, unsigned short port = 0);

// Exchange USER / PASS; the reply code is left in ReplyCode.
void FtpUSER(FtpSession *session, const char *user);
void FtpPASS(FtpSession *session, const char *password);

// Sends QUIT, reads the reply and closes the control connection, whatever
// the reply was.
void FtpQUIT(FtpSession *session);

// Active mode: listens on the control connection's local address and
// announces it with PORT. Returns the listening socket (also in
// ListenSocket) or -1 (nothing left open).
int FtpGetListenSocket(FtpSession *session);

// Active mode: waits for the server's data connection; connections from
// any address but the control connection's peer are refused. Stops waiting
// when the server answers on the control connection instead. Returns the
// data socket (also in DataSocket) or -1; the listening socket is closed.
int FtpAcceptConnection(FtpSession *session);

// Passive mode: PASV, then a connection to the port of its reply at the
// control connection's peer. Returns the data socket (also in DataSocket)
// or -1.
int FtpGetDataConnection(FtpSession *session);

// Checks a remote file name before anything is sent or taken from a queue:
// present, free of CR and LF (which would end the command early), and short
// enough for a command line. Returns 0, or -1 after saying why not.
int FtpCheckFileName(const char *name);

// Where the bytes of a retrieved file go as they arrive. Write takes n
// bytes; Splice, when set, moves what fd (the plain data connection) has,
// at most max bytes, telling how many (*moved 0: the connection's end),
// without copying them through this process. Each returns 0, or non-zero to
// abandon the transfer after saying why; Splice returns -1, with errno,
// when reading the connection failed.
struct FtpSink {
  std::function<int(const char *data, size_t n)> Write;
  std::function<int(int fd, size_t max, size_t *moved)> Splice;
};

// FtpGetFileTo's results besides 1 (the data connection ended cleanly and
// the final reply was positive) and 0 (the transfer failed).
inline constexpr int kFtpTooLarge = -1;    // longer than maxLength: abandoned at once
inline constexpr int kFtpSinkFailed = -2;  // the sink refused the bytes

// Retrieves remote file name into sink. A file longer than maxLength bytes
// (or announced so in the reply that opens it) is abandoned as soon as that
// is known.
int FtpGetFileTo(FtpSession *session, const char *name, const FtpSink &sink,
                 uint64_t maxLength = UINT64_MAX);

// Where the bytes of a stored file come from: Length bytes, from Fd (a
// descriptor of them, read from its start with sendfile or pread) or, when
// Fd is -1, in order from Read (at most n bytes into buffer, *got their
// count; non-zero to abandon the transfer after saying why).
struct FtpSource {
  uint64_t Length = 0;
  int Fd = -1;
  std::function<int(char *buffer, size_t n, size_t *got)> Read;
};

// Stores source as remote file name. Returns 1 only when every byte was
// sent and the final reply was positive, else 0.
int FtpPutFileFrom(FtpSession *session, const char *name, const FtpSource &source);

// Single-line commands: CWD (always with its argument), PWD, TYPE and HELP
// (without argument when it is missing or empty, never echoed), SYST, STAT.
void FtpCD(FtpSession *session, const char *directory);
void FtpPWD(FtpSession *session);
void FtpTYPE(FtpSession *session, const char *code);
void FtpSYST(FtpSession *session);
void FtpSTAT(FtpSession *session);
void FtpHELP(FtpSession *session, const char *topic);

// Sends "VERB [ARG]" (echoed in debug mode) and reads the reply; the one way
// every other command goes. Returns the reply's code, or -1 when none came
// or the command could not be sent (CR or LF in arg, too long).
int FtpCommand(FtpSession *session, const char *verb, const char *arg);

// As FtpCommand, but the command is not echoed in debug mode.
int FtpCommandQuiet(FtpSession *session, const char *verb, const char *arg);

// NLST of path (or of the current directory) into names, one entry a line,
// nothing printed but the replies. Returns 0, or -1 when the listing failed.
int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names);

// Listings: NLST / LIST with the path or without one, printed as received,
// then "cvxfer: %d bytes received.".
void FtpNLST(FtpSession *session, const char *path);
void FtpLIST(FtpSession *session, const char *path);

// Parses the address of a PASV reply: the host text between "(" and the
// fourth comma with the first three commas made dots, into host (size
// bytes), and the port from the two numbers after it. Returns 0, or -1 when
// no address can be formed.
int FtpParsePasvReply(const char *reply, char *host, int size, unsigned short *port);

// Parses the port of an EPSV reply (RFC 2428): "(|||port|)" with any
// printable delimiter. Returns 0, or -1 when there is none.
int FtpParseEpsvReply(const char *reply, unsigned short *port);

// Parses the size a server announces in the reply that opens a retrieval,
// "150 Opening BINARY mode data connection for f (1234 bytes).": the
// "(N bytes)" that ends the text. Returns 0, or -1 when there is none.
int FtpParseSizeReply(const char *reply, uint64_t *size);

// Formats the PORT command for address and port (both in network order)
// into text (64 bytes); returns its length.
int FtpFormatPortCmd(char *text, uint32_t address, uint16_t port);

#endif
