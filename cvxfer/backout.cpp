// backout.cpp - the way past a message that cannot be stored, shared by
// mput and mput -w (backout.h).
#include "backout.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cv_session.h"
#include "cv_util.h"
#include "ftp_event.h"
#include "ftp_io.h"

namespace {

// The message identifier in hexadecimal, as cvadmin browse shows it.
std::string CVHexOf(const CVBYTE *bytes, size_t n) {
  std::string hex;
  char two[3];
  for (size_t i = 0; i < n; i++) {
    std::snprintf(two, sizeof(two), "%02X", bytes[i]);
    hex += two;
  }
  return hex;
}

// The taken message's properties without those of an earlier failure or
// store, then why it failed now.
std::string CVFailureProperties(const CVTaken &t, const char *reason, const char *reply) {
  std::string list;
  for (CVLONG at = 0; at < t.PropLength;) {
    const char *key = t.Props.data() + at;
    const char *value = key + std::strlen(key) + 1;
    at = static_cast<CVLONG>(value + std::strlen(value) + 1 - t.Props.data());
    if (std::strncmp(key, "cv-failure-", 11) != 0 && std::strncmp(key, "cv-stored-", 10) != 0) {
      CVAddProperty(&list, key, value);
    }
  }
  char when[32];
  const time_t now = time(nullptr);
  std::strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
  CVAddProperty(&list, "cv-failure-reason", reason);
  std::string text = reply;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  CVAddProperty(&list, "cv-failure-reply", text);
  CVAddProperty(&list, "cv-failure-time", when);
  return list;
}

// Reads the whole body of the taken message: a descriptor of it where the
// queue manager gives one (*fd), else the bytes (*body). Returns false when
// it cannot be read whole.
bool CVReadBody(FtpSession *session, CVTaken *t, int *fd, std::vector<char> *body) {
  CVLONG cc = -1, reason = -1;
  CVGETFD(session->Queue.Hconn, t->Hmsg, fd, &cc, &reason);
  if (cc == CVCC_OK) return true;
  *fd = -1;
  body->resize(static_cast<size_t>(t->Length));
  CVLONG got = 0;
  for (CVLONG done = 0; done < t->Length; done += got) {
    CVGETDATA(session->Queue.Hconn, t->Hmsg, t->Length - done, body->data() + done, &got, &cc,
              &reason);
    if (cc != CVCC_OK || got <= 0) return false;
  }
  return true;
}

// Puts a copy of the taken message on queue under syncpoint: its body from
// fd or body, its descriptor, and props. Returns 0 or the failing reason.
CVLONG CVPutCopy(FtpSession *session, CVTaken *t, const char *queue, int fd,
                    const std::vector<char> &body, const std::string &props) {
  CVLONG cc = -1, reason = -1, c = -1, r = -1;
  CVOD od = CVOD_DEFAULT;
  std::memset(od.ObjectName, 0, CV_Q_NAME_LENGTH);
  std::memcpy(od.ObjectName, queue, strnlen(queue, CV_Q_NAME_LENGTH));
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, CVOO_OUTPUT | CVOO_FAIL_IF_QUIESCING, &hobj, &cc, &reason);
  if (cc != CVCC_OK) return reason;
  CVPMO pmo = CVPMO_DEFAULT;
  pmo.Options |= CVPMO_SYNCPOINT;
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVPUTOPEN(session->Queue.Hconn, hobj, &pmo, t->Length, &hmsg, &cc, &reason);
  for (CVLONG done = 0, got = 0; cc == CVCC_OK && done < t->Length; done += got) {
    if (fd >= 0) {
      CVPUTFD(session->Queue.Hconn, hmsg, fd, t->Length - done, &got, &cc, &reason);
      if (cc == CVCC_OK && got <= 0) cc = CVCC_FAILED;
    } else {
      got = t->Length;
      CVPUTDATA(session->Queue.Hconn, hmsg, t->Length, body.data(), &cc, &reason);
    }
  }
  CVMD md = t->Md;
  if (cc == CVCC_OK) {
    CVPUTCLOSE(session->Queue.Hconn, &hmsg, CVSC_COMPLETE, &md, static_cast<CVLONG>(props.size()),
               props.data(), &cc, &reason);
  }
  if (cc != CVCC_OK && hmsg != CVHM_UNUSABLE_HMSG) {
    CVPUTCLOSE(session->Queue.Hconn, &hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &c, &r);
  }
  CVCLOSE(session->Queue.Hconn, &hobj, CVCO_NONE, &c, &r);
  return cc == CVCC_OK ? 0 : reason;
}

// Moves the message msgId, backed out a moment ago, to the backout queue
// named queue with why it failed, in one unit of work: the copy appears as
// the original goes. Returns 0, or the reason of the call that failed (then
// the message stays where it was).
CVLONG CVMoveToBackout(FtpSession *session, const CVBYTE *msgId, const char *queue,
                          const char *why, const std::string &reply) {
  CVTaken t;
  std::memcpy(t.Md.MsgId, msgId, CV_MSG_ID_LENGTH);
  const int verbose = session->Opt.Verbose;
  session->Opt.Verbose = 0;
  const int taken = CVTakeMessage(session, &t);
  session->Opt.Verbose = verbose;
  if (taken != 0) return CVRC_NO_MSG_AVAILABLE;
  int fd = -1;
  std::vector<char> body;
  CVLONG reason = CVRC_RESOURCE_PROBLEM;
  if (CVReadBody(session, &t, &fd, &body)) {
    reason =
        CVPutCopy(session, &t, queue, fd, body, CVFailureProperties(t, why, reply.c_str()));
  }
  if (fd >= 0) close(fd);
  CVLONG cc = -1, r = -1;
  if (reason == 0) {
    CVCMIT(session->Queue.Hconn, &cc, &r);
    CVEcho(session, "CVCMIT");
    if (cc == CVCC_OK) return 0;
    reason = r;
  }
  CVBACK(session->Queue.Hconn, &cc, &r);
  return reason;
}

}  // namespace

CVBackout CVBackoutOf(FtpSession *session) {
  CVBackout backout;
  CVLONG cc = -1, reason = -1;
  CVOD od = CVOD_DEFAULT;
  std::memcpy(od.ObjectName, session->Queue.QName, CV_Q_NAME_LENGTH);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING, &hobj, &cc, &reason);
  if (cc != CVCC_OK) return backout;
  const CVLONG selectors[] = {CVIA_BACKOUT_THRESHOLD, CVCA_BACKOUT_REQ_Q_NAME};
  CVINQ(session->Queue.Hconn, hobj, 2, selectors, 1, &backout.Threshold, CV_Q_NAME_LENGTH,
        backout.Queue, &cc, &reason);
  if (cc != CVCC_OK) backout = CVBackout{};
  CVCLOSE(session->Queue.Hconn, &hobj, CVCO_NONE, &cc, &reason);
  for (int n = CV_Q_NAME_LENGTH;
       n > 0 && (backout.Queue[n - 1] == ' ' || backout.Queue[n - 1] == '\0'); n--) {
    backout.Queue[n - 1] = '\0';
  }
  return backout;
}

bool CVRefused(FtpSession *session, const CVBackout &b, CVTaken *t, const char *why, bool ownFault,
               const char *who, long *moved) {
  const std::string reply = session->Ctl.ReplyText;
  CVSettle(session, t, false);
  const std::string id = CVHexOf(t->Md.MsgId, CV_MSG_ID_LENGTH);
  const bool group = (t->Md.MsgFlags & CVMF_MSG_IN_GROUP) != 0;
  const bool none = b.Queue[0] == '\0' || (b.Threshold <= 0 && !ownFault);
  if (!none && !ownFault && t->Md.BackoutCount + 1 < b.Threshold) return true;
  // A group moves whole or not at all: segment by segment it would be split.
  if (none || group) {
    std::printf("cvxfer: message %s cannot be stored (%s) and %s; %s stops\n", id.c_str(), why,
                group && !none ? "a group is not moved to a backout queue"
                               : "the queue has no backout queue",
                who);
    std::fflush(stdout);
    if (session->Run.Failure == 0) FtpFail(session, FTP_EXIT_REFUSED);
    return false;
  }
  const CVLONG reason = CVMoveToBackout(session, t->Md.MsgId, b.Queue, why, reply);
  if (reason != 0) {
    std::printf("cvxfer: message %s not moved to %s, %s\n", id.c_str(), b.Queue,
                ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason) == 0;
  }
  std::printf("cvxfer: message %s moved to %s (%s)\n", id.c_str(), b.Queue, why);
  std::fflush(stdout);
  FtpEvent event;
  event.Kind = FTP_EVENT_MOVED_TO_BACKOUT;
  event.Path = t->Name;
  event.MsgId = t->Md.MsgId;
  event.CorrelId = t->Md.CorrelId;
  event.ExitClass = FTP_EXIT_REFUSED;
  FtpEventSay(session, event);
  (*moved)++;
  return true;
}

bool CVSetAside(FtpSession *session, const CVBYTE *msgId, const char *why) {
  const CVBackout backout = CVBackoutOf(session);
  if (backout.Queue[0] == '\0') return false;
  CVTaken t;
  std::memcpy(t.Md.MsgId, msgId, CV_MSG_ID_LENGTH);
  if (CVTakeMessage(session, &t) != 0) return false;
  long moved = 0;
  return CVRefused(session, backout, &t, why, true, "mput", &moved) && moved == 1;
}
