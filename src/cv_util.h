// cv_util.h - queue helpers that log every library call, and the names of
// the queue manager's reason codes.
#ifndef CVXFER_CV_UTIL_H
#define CVXFER_CV_UTIL_H

#include <cstdint>

#include "corvane.h"

// Log level of the queue helpers: below 0 nothing is logged, 0 and 1 log
// failed calls, 2 adds warnings, 3 and more add calls that ended well.
extern int8_t CVLogLevel;

// Returns the symbolic name of a reason or feedback code, or
// "UNKWOWN REASON" for a code without one. Never null; never to be freed.
const char *ReasonString(int32_t code);

// Returns the number of codes ReasonString names.
int ReasonStringCount();

// Call numbers of WriteLogCV.
enum {
  kCVCallConn = 0,
  kCVCallDisc = 1,
  kCVCallOpen = 2,
  kCVCallClose = 3,
  kCVCallGet = 4,
  kCVCallPut = 5,
  kCVCallPut1 = 6,
  kCVCallInq = 7,
  kCVCallSet = 8,
  kCVCallCmit = 9,
  kCVCallBack = 10,
  kCVCallBegin = 11,
};

// Logs the outcome of one library call in logDir + "CVILOG" as the log level
// asks. Returns the log writer's result, or 0 when nothing was to be written.
int WriteLogCV(const char *logDir, int call, CVLONG cc, CVLONG reason);

// Connects to queue manager name (empty: the default). Returns 0 (a warning
// such as already connected included) or the reason of a failed connect,
// which it also prints.
int CVconn(const char *logDir, const char *name, CVHCONN *hconn);

// Disconnects; returns the reason code (0 when there is none).
int CVdisc(const char *logDir, CVHCONN *hconn);

// Store the maximum message length / current depth of queue in *value and
// return 0, or return the failing call's reason and leave *value alone.
int GetMAXMSGL(const char *logDir, CVHCONN hconn, const char *queue, CVLONG *value);
int GetQueueDepth(const char *logDir, CVHCONN hconn, const char *queue, CVLONG *value);

// Write the put date as DD:MM:YYYY (10 characters) / the put time as
// HH:MM:SS (8 characters) into out, without a terminator. Return out.
char *GetCVDate(char *out, const CVMD *md);
char *GetCVTime(char *out, const CVMD *md);

#endif
