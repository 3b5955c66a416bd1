// bridge.h - the transfers between the remote side and the open queue.
// get puts a file as one message; put takes one message under a unit of
// work and commits its removal only once the remote side holds the file
// whole. The remote side is whatever FtpSession::Remote names (remote.h).
// Every function reports on standard output itself and returns 0 for
// success or non-zero for failure (its class recorded in the session).
#ifndef CVXFER_BRIDGE_H
#define CVXFER_BRIDGE_H

#include "ftp_session.h"

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
// patterns (each listed in its own directory). A listing that cannot be
// trusted whole takes nothing from it and counts as a failure; a file that
// fails is reported and left on the server; the others go on. Prints a
// summary line; fails when anything failed.
int FtpMGetCV(FtpSession *session, const FtpCVAfter *after, int count,
              const char *const patterns[]);

// put: takes one message under syncpoint and stores it as remoteName (null
// or empty: the message's own cv-file-name); commits only after the store
// succeeded, else backs it out. No message is touched without a name.
int FtpPutCV(FtpSession *session, const char *remoteName);

// mput: put of messages under their own file names until the queue is
// empty or count (0: no limit) are stored; a failed store ends it, since
// the same message would come first again. Prints a summary line; an empty
// queue is its normal end.
int FtpMPutCV(FtpSession *session, long count);

#endif
