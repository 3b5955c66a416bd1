// cv_session.cpp - the queue side of the session: the queue manager
// connection, the open queue and its depth.
#include "cv_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cv_util.h"
#include "str_util.h"

namespace {

const char kDefaultQueue[] = "SYSTEM.DEFAULT.LOCAL.QUEUE";

// Open options: input and output; output only; inquire (all fail if the
// queue manager is quiescing).
// Browse lets put read a message's file name before it takes the message.
constexpr CVLONG kOpenInputOutput =
    CVOO_INPUT_AS_Q_DEF | CVOO_OUTPUT | CVOO_BROWSE | CVOO_FAIL_IF_QUIESCING;
constexpr CVLONG kOpenOutput = CVOO_OUTPUT | CVOO_FAIL_IF_QUIESCING;
constexpr CVLONG kOpenInquire = CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING;

// Copies at most 48 characters of name into a 48-character name field and
// fills the rest with zero bytes.
void CVSetName(char *field, const char *name) {
  std::memset(field, 0, CV_Q_NAME_LENGTH);
  if (name != nullptr) std::memcpy(field, name, strnlen(name, CV_Q_NAME_LENGTH));
}

// Makes the session's queue side "connected to hconn, no queue open". The
// name is the one typed, or the queue manager's own name.
void CVSetConnected(FtpSession *session, CVHCONN hconn, const char *name) {
  session->Queue.Hconn = hconn;
  session->Queue.Hobj = CVHO_UNUSABLE_HOBJ;
  session->Queue.Broken = 0;
  CVSetName(session->Queue.QMgrName, name);
  CVSetName(session->Queue.QName, nullptr);
}

// Makes the session's queue side "not connected".
void CVSetDisconnected(FtpSession *session) {
  CVSetConnected(session, CVHC_UNUSABLE_HCONN, nullptr);
}

// Makes the session's queue side "queue name open as hobj".
void CVSetQueue(FtpSession *session, CVHOBJ hobj, const char *name) {
  session->Queue.Hobj = hobj;
  CVSetName(session->Queue.QName, name);
}

// Opens the default queue for input and output and, on success, makes it the
// session's queue with persistent messages. Silent on failure.
int CVOpenDefaultQueue(FtpSession *session) {
  CVOD od = CVOD_DEFAULT;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVSetName(od.ObjectName, kDefaultQueue);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, kOpenInputOutput, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return CVFailed(session, reason);
  if (session->Opt.Verbose) std::printf("Queue %s opened\n", kDefaultQueue);
  CVSetQueue(session, hobj, kDefaultQueue);
  session->Queue.Persistence = CVPER_PERSISTENT;
  if (session->Opt.Verbose) std::printf("Message persistence set to CVPER_PERSISTENT.\n");
  std::fflush(stdout);
  return 0;
}

// Removes the trailing blanks of a 48-character name field in place; never
// reads or writes outside the field.
void CVTrimName(char *field) {
  char name[CV_Q_MGR_NAME_LENGTH + 1] = {0};
  std::memcpy(name, field, CV_Q_MGR_NAME_LENGTH);
  StrTrim(name);
  CVSetName(field, name);
}

// A name longer than its field would silently name another object once cut
// to fit; such a name is refused before any call.
bool CVNameFits(const char *name) {
  return std::strlen(name) <= CV_Q_NAME_LENGTH;
}

}  // namespace

// Prints "--> NAME" when debugging; called right after each library call.
void CVEcho(const FtpSession *session, const char *call) {
  if (session->Opt.Debug) {
    std::printf("--> %s\n", call);
    std::fflush(stdout);
  }
}

// Records a failed queue call: put finding no message is a class of its
// own, so that a loop of puts can stop cleanly. Returns 1 (failure).
int CVFailed(FtpSession *session, CVLONG reason) {
  // What lies under the reason (a damaged file, a full disk, the broker's
  // words) is what an operator needs to act on.
  const char *cause = CVLastCause();
  const bool told = cause != nullptr && cause[0] != '\0';
  if (reason == CVRC_CONNECTION_BROKEN) session->Queue.Broken = 1;
  if (told) {
    std::printf("cvxfer: %s\n", cause);
    std::fflush(stdout);
  }
  FtpFailWhy(session, reason == CVRC_NO_MSG_AVAILABLE ? FTP_EXIT_NO_MESSAGE : FTP_EXIT_QUEUE,
             "%s%s%s", ReasonString(reason), told ? ": " : "", told ? cause : "");
  return 1;
}

// Prints "WHAT, REASON" for a failed call and records it; returns 1.
int CVFail(FtpSession *session, const char *what, CVLONG reason) {
  std::printf("%s, %s\n", what, ReasonString(reason));
  std::fflush(stdout);
  return CVFailed(session, reason);
}

// Appends the property name=value to a packed property list.
void CVAddProperty(std::string *list, const char *name, const std::string &value) {
  list->append(name).push_back('\0');
  list->append(value).push_back('\0');
}

// The value of property name in a packed list of length bytes, or null.
const char *CVProperty(const char *list, CVLONG length, const char *name) {
  for (CVLONG at = 0; at < length;) {
    const char *key = list + at;
    const char *value = key + std::strlen(key) + 1;
    if (std::strcmp(key, name) == 0) return value;
    at = static_cast<CVLONG>(value + std::strlen(value) + 1 - list);
  }
  return nullptr;
}

// Opens the queue named by the 48-character field for inquiry, stores the
// integer attribute selector in *value and closes it again. Returns 0, or
// the reason of the call that failed (*value unchanged).
CVLONG CVInquireInt(const FtpSession *session, const char *field, CVLONG selector, CVLONG *value) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVOD od = CVOD_DEFAULT;
  std::memcpy(od.ObjectName, field, CV_Q_NAME_LENGTH);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return reason;
  CVLONG result = 0;
  CVINQ(session->Queue.Hconn, hobj, 1, &selector, 1, &result, 0, nullptr, &cc, &reason);
  CVEcho(session, "CVINQ");
  const CVLONG inquired = cc == CVCC_OK ? 0 : reason;
  if (inquired == 0) *value = result;
  CVCLOSE(session->Queue.Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  return inquired;
}

int FtpCVConnected(const FtpSession *session) {
  return session->Queue.Hconn != CVHC_UNUSABLE_HCONN;
}

int FtpCVQueueOpen(const FtpSession *session) {
  return FtpCVConnected(session) && session->Queue.Hobj != CVHO_UNUSABLE_HOBJ;
}

int CVFtpInit(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVSetDisconnected(session);
  session->Queue.Persistence = CVPER_PERSISTENT;

  CVHCONN hconn = CVHC_UNUSABLE_HCONN;
  CVCONN("", &hconn, &cc, &reason);
  CVEcho(session, "CVCONN");
  if (cc != CVCC_OK && reason != CVRC_ALREADY_CONNECTED) {
    std::printf("Not connected to a default queue manager, %s\n", ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  CVSetConnected(session, hconn, nullptr);

  // Ask the queue manager for its own name.
  CVOD od = CVOD_DEFAULT;
  od.ObjectType = CVOT_Q_MGR;
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return CVFailed(session, reason);
  const CVLONG selector = CVCA_Q_MGR_NAME;
  CVINQ(session->Queue.Hconn, hobj, 1, &selector, 0, nullptr, CV_Q_MGR_NAME_LENGTH,
        session->Queue.QMgrName, &cc, &reason);
  CVEcho(session, "CVINQ");
  const bool inquired = cc == CVCC_OK;
  CVCLOSE(session->Queue.Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (!inquired) return CVFailed(session, reason);

  if (session->Opt.Verbose) {
    CVTrimName(session->Queue.QMgrName);
    std::printf("\nConnected to default queue manager %.*s\n", CV_Q_MGR_NAME_LENGTH,
                session->Queue.QMgrName);
    std::fflush(stdout);
  }
  return CVOpenDefaultQueue(session);
}

int FtpCVCONN(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  if (name == nullptr) name = "";
  if (!CVNameFits(name))
    return CVFail(session, "Queue manager not connected", CVRC_Q_MGR_NAME_ERROR);

  // A failed disconnect leaves the old connection, and the connect below
  // then says what the queue manager thinks of a second one.
  if (FtpCVConnected(session)) FtpCVDISC(session);

  CVHCONN hconn = CVHC_UNUSABLE_HCONN;
  CVCONN(name, &hconn, &cc, &reason);
  CVEcho(session, "CVCONN");
  if (cc != CVCC_OK && reason != CVRC_ALREADY_CONNECTED) {
    return CVFail(session, "Queue manager not connected", reason);
  }
  CVSetConnected(session, hconn, name);
  if (session->Opt.Verbose) {
    std::printf("Queue manager %.*s connected\n", CV_Q_MGR_NAME_LENGTH, session->Queue.QMgrName);
    std::fflush(stdout);
  }
  return CVOpenDefaultQueue(session);
}

int FtpCVDISC(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(&session->Queue.Hconn, &cc, &reason);
  CVEcho(session, "CVDISC");
  if (cc != CVCC_OK) return CVFail(session, "Queue manager not disconnected", reason);
  if (session->Opt.Verbose) {
    std::printf("Queue manager %.*s disconnected\n", CV_Q_MGR_NAME_LENGTH, session->Queue.QMgrName);
    std::fflush(stdout);
  }
  CVSetDisconnected(session);
  return 0;
}

void FtpCVEnd(FtpSession *session) {
  if (!FtpCVConnected(session)) return;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(&session->Queue.Hconn, &cc, &reason);
  CVSetDisconnected(session);
}

int FtpCVOPEN(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  if (name == nullptr) name = "";
  if (!CVNameFits(name)) return CVFail(session, "Queue not opened", CVRC_OBJECT_NAME_ERROR);
  if (session->Queue.Hobj != CVHO_UNUSABLE_HOBJ && FtpCVCLOSE(session) != 0) return 1;

  CVOD od = CVOD_DEFAULT;
  CVSetName(od.ObjectName, name);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, kOpenInputOutput, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (reason == CVRC_OPTION_NOT_VALID_FOR_TYPE) {
    if (session->Opt.Verbose) {
      std::printf("Queue %.*s is not a local queue, trying to open as OUTPUT only ...\n",
                  CV_Q_NAME_LENGTH, name);
      std::fflush(stdout);
    }
    cc = -1;
    reason = -1;
    CVOPEN(session->Queue.Hconn, &od, kOpenOutput, &hobj, &cc, &reason);
    CVEcho(session, "CVOPEN");
  }
  if (cc != CVCC_OK) return CVFail(session, "Queue not opened", reason);
  CVSetQueue(session, hobj, name);
  if (session->Opt.Verbose)
    std::printf("Queue %.*s opened\n", CV_Q_NAME_LENGTH, session->Queue.QName);
  std::fflush(stdout);
  return 0;
}

int FtpCVCLOSE(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVCLOSE(session->Queue.Hconn, &session->Queue.Hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (cc != CVCC_OK) return CVFail(session, "Queue not closed", reason);
  if (session->Opt.Verbose)
    std::printf("Queue %.*s closed\n", CV_Q_NAME_LENGTH, session->Queue.QName);
  std::fflush(stdout);
  CVSetQueue(session, CVHO_UNUSABLE_HOBJ, nullptr);
  return 0;
}

int FtpCVQDEPTH(FtpSession *session, const char *name) {
  char object[CV_Q_NAME_LENGTH];
  if (name == nullptr || name[0] == '\0' || name[0] == ' ') {
    std::memcpy(object, session->Queue.QName, CV_Q_NAME_LENGTH);
  } else if (CVNameFits(name)) {
    CVSetName(object, name);
  } else {
    return CVFail(session, "Not able to inquire queue depth", CVRC_OBJECT_NAME_ERROR);
  }
  CVLONG cc = -1, reason = -1;
  CVOD od = CVOD_DEFAULT;
  std::memcpy(od.ObjectName, object, CV_Q_NAME_LENGTH);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Queue.Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  CVLONG depth = 0;
  if (cc == CVCC_OK) {
    const CVLONG selector = CVIA_CURRENT_Q_DEPTH;
    CVINQ(session->Queue.Hconn, hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &reason);
    CVEcho(session, "CVINQ");
    // The depth is told as soon as it is known, before the queue is closed.
    if (cc == CVCC_OK) {
      std::printf("Queue depth for %.*s = %ld\n", CV_Q_NAME_LENGTH, object,
                  static_cast<long>(depth));
    } else {
      std::printf("Not able to inquire queue depth\n");
    }
    std::fflush(stdout);
    const CVLONG inquired = cc, why = reason;
    CVCLOSE(session->Queue.Hconn, &hobj, CVCO_NONE, &cc, &reason);
    CVEcho(session, "CVCLOSE");
    cc = inquired;
    reason = why;
  } else {
    std::printf("Not able to inquire queue depth\n");
    std::fflush(stdout);
  }
  return cc == CVCC_OK ? 0 : CVFailed(session, reason);
}
