// ftp_io.h - waits, reads and writes on a connection (clear or TLS) that never wait
// longer than the session's time-out (-t). Nothing here closes a
// connection: the module that owns it decides what a failed wait means.
#ifndef CVXFER_FTP_IO_H
#define CVXFER_FTP_IO_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "ftp_clock.h"
#include "ftp_session.h"

// Results of FtpWait and of the reads and writes below.
enum { FTP_IO_READY = 1, FTP_IO_TIMEOUT = 0, FTP_IO_INTERRUPTED = -1, FTP_IO_ERROR = -2 };

// Waits until fd is ready for events, at most the session's time-out.
// Returns FTP_IO_READY; FTP_IO_TIMEOUT after printing "timed out after N s
// waiting for WHAT" and recording the time-out class; FTP_IO_INTERRUPTED
// when SIGINT arrived (recorded as an interrupt of the running command);
// FTP_IO_ERROR when poll failed.
int FtpWait(FtpSession *session, int fd, short events, const char *what);

// FtpWait with its bound at deadline (FtpNowMs's clock) instead of -t from
// now, for a caller whose wait started earlier; the message still names -t.
int FtpWaitUntil(FtpSession *session, int fd, short events, long long deadline, const char *what);

// Reports a wait that ran out (a TLS read or write past the socket's bound)
// as FtpWait does.
void FtpReportTimeout(FtpSession *session, const char *what);

// Waits, as FtpWait, until fd (under tls, when not null) has bytes to read;
// decrypted bytes already waiting need no wait.
int FtpWaitIn(FtpSession *session, int fd, struct ssl_st *tls, const char *what);

// Reads at most n bytes from fd (through tls when not null), which
// FtpWaitIn found readable. Returns the count; 0 at the end of the stream
// (*unexpectedEof: a TLS peer closed without close_notify); -1 on an error
// (errno EINTR: a signal; a TLS time-out has been reported).
ssize_t FtpRecv(FtpSession *session, int fd, struct ssl_st *tls, void *buffer, size_t n,
                bool *unexpectedEof, const char *what);

// Sends all length bytes on fd (through tls when not null), each pause
// bounded as FtpWait bounds it. Returns FTP_IO_READY when all were sent,
// else FTP_IO_TIMEOUT, FTP_IO_INTERRUPTED or FTP_IO_ERROR (said).
int FtpSendAll(FtpSession *session, int fd, struct ssl_st *tls, const void *data, size_t length,
               const char *what);

// Writes bytes the server chose to standard output. On a terminal every
// control character but tab and line feed (and a CR right before a line
// feed) is shown in caret form, so a server cannot clear the screen or
// retitle the window; into a pipe the bytes go unchanged.
void FtpWriteServerText(const char *text, size_t length);

// The peer of the connected socket fd as status shows it: "ADDRESS port N"
// ("? port 0" when it cannot be told).
std::string FtpPeerText(int fd);

// text as FtpWriteServerText would show it, for a message that names
// something the server chose (a file name from a listing).
std::string FtpPrintable(std::string_view text);

#endif
