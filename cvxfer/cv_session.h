// cv_session.h - the queue side of the session: the queue manager
// connection, the open queue, persistence and depth. Owns
// FtpSession::Queue: a queue manager is connected while Hconn is not -1, a
// queue is open while Hobj is not -1. Every function reports on standard
// output itself and returns 0 for success or non-zero for failure.
#ifndef CVXFER_CV_SESSION_H
#define CVXFER_CV_SESSION_H

#include <string>

#include "ftp_session.h"

// 1 while a queue manager is connected / a queue is open, else 0.
int FtpCVConnected(const FtpSession *session);
int FtpCVQueueOpen(const FtpSession *session);

// Connects to the default queue manager and opens its default queue. An
// existing connection of this process (CVRC_ALREADY_CONNECTED) is used as
// it is.
int CVFtpInit(FtpSession *session);

// Disconnects a connected queue manager first, then connects to name (empty:
// the default one) and opens its default queue. CVRC_ALREADY_CONNECTED
// counts as connected, as at start-up.
int FtpCVCONN(FtpSession *session, const char *name);

// Disconnects the queue manager (backing out its unit of work).
int FtpCVDISC(FtpSession *session);

// Closes the open queue, if any, then opens name; a remote definition is
// opened for output only.
int FtpCVOPEN(FtpSession *session, const char *name);

// At the end of the run: disconnects without a word, backing out whatever
// unit of work is still open, so that the queue manager can tidy up after
// this process (its lock file, the write-ahead log).
void FtpCVEnd(FtpSession *session);

// Closes the open queue.
int FtpCVCLOSE(FtpSession *session);

// Prints the depth of name, or of the open queue when name is empty or
// begins with a blank.
int FtpCVQDEPTH(FtpSession *session, const char *name);

// Prints "--> CALL" in debug mode; called right after each library call.
void CVEcho(const FtpSession *session, const char *call);

// Records a failed queue call (its cause printed when the library knows
// one): put finding no message is a class of its own. Returns 1.
int CVFailed(FtpSession *session, CVLONG reason);

// Prints "WHAT, REASON" for a failed call and records it; returns 1.
int CVFail(FtpSession *session, const char *what, CVLONG reason);

// Opens the queue named by the 48-character field for inquiry, stores the
// integer attribute selector in *value and closes it again. Returns 0, or
// the reason of the call that failed (*value unchanged).
CVLONG CVInquireInt(const FtpSession *session, const char *field, CVLONG selector, CVLONG *value);

// Appends the property name=value to a packed property list.
void CVAddProperty(std::string *list, const char *name, const std::string &value);

// The value of property name in a packed list of length bytes, or null.
const char *CVProperty(const char *list, CVLONG length, const char *name);

#endif
