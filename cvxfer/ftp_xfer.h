// ftp_xfer.h - file transfers on a data connection: a retrieval into a
// sink, a store from a source. A transfer counts as done only when the data
// connection ended cleanly, every size the server announced was met and
// the server confirmed it.
#ifndef CVXFER_FTP_XFER_H
#define CVXFER_FTP_XFER_H

#include <cstdint>

#include "remote.h"

// The sink and source of remote.h, as this module names them.
using FtpSink = RemoteSink;
using FtpSource = RemoteSource;
inline constexpr int kFtpTooLarge = kRemoteTooLarge;
inline constexpr int kFtpSinkFailed = kRemoteSinkFailed;

// Retrieves remote file name into sink. A file longer than maxLength bytes
// (or announced so in the reply that opens it) is abandoned as soon as that
// is known. In binary mode the bytes received must equal the size the
// opening reply announces and expected (UINT64_MAX: none known).
int FtpGetFileTo(FtpSession *session, const char *name, const FtpSink &sink,
                 uint64_t maxLength = UINT64_MAX, uint64_t expected = UINT64_MAX);

// Stores source as remote file name, from source.Offset on after REST
// when the server accepts it, else whole. Returns 1 only when every byte
// was sent and the final reply was positive, else 0.
int FtpPutFileFrom(FtpSession *session, const char *name, const FtpSource &source);

// Parses the size a server announces in the reply that opens a retrieval,
// "150 Opening BINARY mode data connection for f (1234 bytes).": the
// "(N bytes)" that ends the text. Returns 0, or -1 when there is none.
int FtpParseSizeReply(const char *reply, uint64_t *size);

#endif
