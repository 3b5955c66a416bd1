// ftp_retry.h - trying again after a failure that may pass: which failures
// those are, and how long to wait before the next try. The watch modes
// (reaching a lost server again), the one-shot transfer commands under
// `set retry` and the resumed safe stores share them.
#ifndef CVXFER_FTP_RETRY_H
#define CVXFER_FTP_RETRY_H

#include "ftp_session.h"

// The wait before try number attempt (0: the first one after a failure):
// 1 s doubled each time up to 5 min, with jitter (half to all of it), so
// that clients that lost one server do not all come back at once.
long long FtpBackoffMs(int attempt);

// Whether the failure just seen may pass: the connection was lost or timed
// out, or the server's last reply of the running command was 4xx. A refusal
// (5xx) is not; an interrupt or SIGTERM is the caller's to look at.
bool FtpFailureTransient(const FtpSession *session);

#endif
