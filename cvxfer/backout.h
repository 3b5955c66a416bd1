// backout.h - the way past a message that cannot be stored, for mput and
// mput -w: backed out, and once its backout count reaches the queue's
// threshold (at once for a fault of its own, such as no usable name) moved
// to the queue's backout queue in one unit of work, with properties saying
// why (cv-failure-reason, cv-failure-reply, cv-failure-time), so that one
// bad message never blocks the queue behind it. A group is never moved:
// segment by segment it would be split.
#ifndef CVXFER_BACKOUT_H
#define CVXFER_BACKOUT_H

#include "bridge_steps.h"

// The open queue's backout threshold and backout queue (blank: none).
struct CVBackout {
  CVLONG Threshold = 0;
  char Queue[CV_Q_NAME_LENGTH + 1] = "";
};


// Reads the open queue's backout attributes; none when they cannot be read.
CVBackout CVBackoutOf(FtpSession *session);

// The taken message t failed for good (why; the server's last reply
// explains; ownFault: a fault of the message's own): backs it out, then
// moves it as the rule says, telling of it and counting it in *moved.
// Returns true when the loop (who: "the watch", "mput") goes on; false
// after saying why it stops (no backout queue, a group, a failed move; the
// class recorded), so that nothing spins.
bool CVRefused(FtpSession *session, const CVBackout &b, CVTaken *t, const char *why, bool ownFault,
               const char *who, long *moved);

// mput's way past a message that cannot be stored for a fault of its own
// (why): the message msgId, first on the open queue, is taken and moved to
// the queue's backout queue. Returns true when it was moved; false when the
// queue has none (nothing said, nothing taken), or after saying why it
// stays (a group, a failed move; the class recorded).
bool CVSetAside(FtpSession *session, const CVBYTE *msgId, const char *why);

#endif
