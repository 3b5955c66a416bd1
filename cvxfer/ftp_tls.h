// ftp_tls.h - TLS on the control and data connections (RFC 4217), with
// OpenSSL: certificate and host name verification, data connections that
// resume the control connection's session, close_notify on uploads.
#ifndef CVXFER_FTP_TLS_H
#define CVXFER_FTP_TLS_H

#include <sys/types.h>

#include "ftp_session.h"

// Starts TLS as a client on the connected socket fd, within the session's
// time-out. The certificate chain is verified against TlsCaFile (or the
// system's CA store) and must name host, unless TlsInsecure (then a warning
// is printed once for the connection, when warn is set). resumeFrom, when
// not null, is the control connection whose session a data connection
// resumes. Returns the TLS connection, or null after a message naming the
// reason (recorded as a TLS failure, or as an interrupt or a time-out).
struct ssl_st *FtpTlsStart(FtpSession *session, int fd, const char *host, struct ssl_st *resumeFrom,
                           bool warn);

// Ends a TLS connection and frees it; the socket stays open. With notify
// it sends close_notify (an upload is complete only with it), ends its
// side of the socket and reads what the peer still sends until the peer
// closes, at most waitSeconds of silence.
void FtpTlsEnd(struct ssl_st *tls, bool notify, int waitSeconds = 0);

// Reads at most n bytes. Returns the count; 0 at the end of the stream,
// with *unexpectedEof set when the peer closed without close_notify; -1 on
// an error (errno EAGAIN after the socket's time-out, EINTR on a signal).
ssize_t FtpTlsRead(struct ssl_st *tls, void *buffer, size_t n, bool *unexpectedEof);

// Writes all n bytes; returns n or -1.
ssize_t FtpTlsWrite(struct ssl_st *tls, const void *buffer, size_t n);

// Bytes already decrypted and waiting to be read.
int FtpTlsPending(struct ssl_st *tls);

// The protocol version in use ("TLSv1.3"), for status.
const char *FtpTlsVersion(struct ssl_st *tls);

// Releases the shared TLS context (at the end of the run).
void FtpTlsCleanUp(void);

#endif
