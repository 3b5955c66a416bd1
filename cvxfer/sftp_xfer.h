// sftp_xfer.h - file transfers over SFTP, pipelined: a retrieval keeps
// several READ requests in flight and a store several WRITEs, so that the
// round trip of one request never idles the connection. Memory stays flat:
// what is in flight is bounded, and bytes go on to the sink as they come.
// The results and messages are FTP's (ftp_xfer.h).
#ifndef CVXFER_SFTP_XFER_H
#define CVXFER_SFTP_XFER_H

#include <cstdint>

#include "remote.h"

// Retrieves remote file name into sink: 1 when it arrived whole (up to the
// end of the file, and as long as the server said it was), 0 when the
// transfer failed (said, recorded), kRemoteTooLarge past maxLength,
// kRemoteSinkFailed when the sink refused the bytes. expected is the size
// it must have (UINT64_MAX: not known).
int SftpGetFileTo(FtpSession *session, const char *name, const RemoteSink &sink,
                  uint64_t maxLength, uint64_t expected);

// Stores source as remote file name (created or truncated; from
// source.Offset on, the bytes before it kept, when that is above 0).
// Returns 1 only when every write and the close were confirmed, else 0.
int SftpPutFileFrom(FtpSession *session, const char *name, const RemoteSource &source);

#endif
