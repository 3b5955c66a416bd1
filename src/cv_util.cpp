// cv_util.cpp - queue helpers with a call log. No command path of cvxfer
// calls them: they are shared utility code for programs built on the queue
// manager, kept and tested as such.
#include "cv_util.h"

#include <cstdio>
#include <cstring>

#include "file_util.h"

int8_t CVLogLevel = 0;

namespace {

const char *const kCallNames[] = {"CVCONN", "CVDISC", "CVOPEN", "CVCLOSE", "CVGET",  "CVPUT",
                                  "CVPUT1", "CVINQ",  "CVSET",  "CVCMIT",  "CVBACK", "CVBEGIN"};

// Opens queue for inquiry, inquires one integer attribute and closes it.
int CVInquireInt(const char *logDir, CVHCONN hconn, const char *queue, CVLONG selector,
                 CVLONG *value) {
  CVOD od = CVOD_DEFAULT;
  std::memcpy(od.ObjectName, queue, strnlen(queue, CV_Q_NAME_LENGTH));
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVOPEN(hconn, &od, CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING, &hobj, &cc, &reason);
  WriteLogCV(logDir, kCVCallOpen, cc, reason);
  if (cc == CVCC_FAILED) return reason;

  CVLONG attribute = 0;
  CVLONG inqCc = -1;
  CVLONG inqReason = -1;
  CVINQ(hconn, hobj, 1, &selector, 1, &attribute, 0, nullptr, &inqCc, &inqReason);
  WriteLogCV(logDir, kCVCallInq, inqCc, inqReason);
  if (inqCc != CVCC_FAILED) *value = attribute;

  cc = -1;
  reason = -1;
  CVCLOSE(hconn, &hobj, CVCO_NONE, &cc, &reason);
  WriteLogCV(logDir, kCVCallClose, cc, reason);
  return inqCc == CVCC_FAILED ? inqReason : 0;
}

}  // namespace

int WriteLogCV(const char *logDir, int call, CVLONG cc, CVLONG reason) {
  if (CVLogLevel < 0) return 0;
  const char *name = call >= 0 && call < 12 ? kCallNames[call] : "CV?";
  char line[256];
  int8_t level;
  if (cc == CVCC_OK) {
    if (CVLogLevel < 3) return 0;
    std::snprintf(line, sizeof(line), "%s ended OK", name);
    level = 0;
  } else if (cc == CVCC_WARNING || cc == CVCC_FAILED) {
    if (cc == CVCC_WARNING && CVLogLevel < 2) return 0;
    std::snprintf(line, sizeof(line), "%s ended with reason code %ld : %s", name,
                  static_cast<long>(reason), ReasonString(reason));
    level = cc == CVCC_WARNING ? 1 : 2;
  } else {
    return 0;
  }
  return WriteLogFile(logDir, level, line);
}

int CVconn(const char *logDir, const char *name, CVHCONN *hconn) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVCONN(name, hconn, &cc, &reason);
  WriteLogCV(logDir, kCVCallConn, cc, reason);
  if (cc == CVCC_FAILED) {
    std::printf("CVCONN FAILED\n%s", ReasonString(reason));
    std::fflush(stdout);
    return reason;
  }
  return 0;
}

int CVdisc(const char *logDir, CVHCONN *hconn) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(hconn, &cc, &reason);
  WriteLogCV(logDir, kCVCallDisc, cc, reason);
  return reason;
}

int GetMAXMSGL(const char *logDir, CVHCONN hconn, const char *queue, CVLONG *value) {
  return CVInquireInt(logDir, hconn, queue, CVIA_MAX_MSG_LENGTH, value);
}

int GetQueueDepth(const char *logDir, CVHCONN hconn, const char *queue, CVLONG *value) {
  return CVInquireInt(logDir, hconn, queue, CVIA_CURRENT_Q_DEPTH, value);
}

char *GetCVDate(char *out, const CVMD *md) {
  std::memset(out, ':', 10);
  std::memcpy(out, md->PutDate + 6, 2);
  std::memcpy(out + 3, md->PutDate + 4, 2);
  std::memcpy(out + 6, md->PutDate, 4);
  return out;
}

char *GetCVTime(char *out, const CVMD *md) {
  std::memset(out, ':', 8);
  std::memcpy(out, md->PutTime, 2);
  std::memcpy(out + 3, md->PutTime + 2, 2);
  std::memcpy(out + 6, md->PutTime + 4, 2);
  return out;
}
