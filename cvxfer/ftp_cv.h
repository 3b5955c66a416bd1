// ftp_cv.h - the queue side of the session and the transfers between an
// FTP server and the open queue. Every function reports on standard output
// itself and returns 0 for success or non-zero for failure.
//
// Queue-side state is Hconn, Hobj, QMgrName, QName and Persistence of the
// session, and only the functions below change it: a queue manager is
// connected while Hconn is not -1, a queue is open while Hobj is not -1.
#ifndef CVXFER_FTP_CV_H
#define CVXFER_FTP_CV_H

#include "cvxfer.h"

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

// What becomes of a remote file once its message is safely on the queue.
struct FtpCVAfter {
  int Delete;          // delete it
  const char *MoveTo;  // or rename it into this directory (null: neither)
};

// get: retrieves remoteName and puts it as one message on the open queue,
// then deletes or moves the remote file as after asks (null: leaves it).
// Nothing is transferred without a name or without an open queue.
int FtpGetCV(FtpSession *session, const char *remoteName, const FtpCVAfter *after = nullptr);

// mget: get of every remote file whose name matches one of the count shell
// patterns (each listed in its own directory with NLST). A file that fails
// is reported and left on the server; the others go on. Prints a summary
// line; fails when any file failed.
int FtpMGetCV(FtpSession *session, const FtpCVAfter *after, int count,
              const char *const patterns[]);

// put: takes one message under syncpoint and stores it as remoteName;
// commits only after the store succeeded, else backs it out. No message is
// touched without a name.
int FtpPutCV(FtpSession *session, const char *remoteName);

// mput: put of messages under their own file names (cv-file-name) until the
// queue is empty or count (0: no limit) are stored; a failed store ends it,
// since the same message would come first again. Prints a summary line; an
// empty queue is its normal end.
int FtpMPutCV(FtpSession *session, long count);

#endif
