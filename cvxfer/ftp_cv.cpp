// ftp_cv.cpp - the queue side of the session (queue manager connection, the
// open queue, depth) and the two transfers between an FTP server and the
// open queue. A message leaves the queue for good only after the remote
// store reported success and the unit of work was committed.
#include "ftp_cv.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "cv_util.h"
#include "ftp_tcp.h"
#include "str_util.h"
#include "stringbuffer.h"

namespace {

const char kDefaultQueue[] = "SYSTEM.DEFAULT.LOCAL.QUEUE";

// Open options: input and output; output only; inquire (all fail if the
// queue manager is quiescing).
constexpr CVLONG kOpenInputOutput = CVOO_INPUT_AS_Q_DEF | CVOO_OUTPUT | CVOO_FAIL_IF_QUIESCING;
constexpr CVLONG kOpenOutput = CVOO_OUTPUT | CVOO_FAIL_IF_QUIESCING;
constexpr CVLONG kOpenInquire = CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING;

// Get under a unit of work, converted, no wait.
constexpr CVLONG kGetOptions = CVGMO_SYNCPOINT | CVGMO_FAIL_IF_QUIESCING | CVGMO_CONVERT;

// First get buffer: a message up to this size takes one get.
constexpr CVLONG kFirstGetBuffer = 1048576;

// Prints "--> NAME" when debugging; called right after each library call.
void CVEcho(const FtpSession *session, const char *call) {
  if (session->Debug) {
    std::printf("--> %s\n", call);
    std::fflush(stdout);
  }
}

// Copies at most 48 characters of name into a 48-character name field and
// fills the rest with zero bytes.
void CVSetName(char *field, const char *name) {
  std::memset(field, 0, CV_Q_NAME_LENGTH);
  if (name != nullptr) std::memcpy(field, name, strnlen(name, CV_Q_NAME_LENGTH));
}

// Opens the default queue for input and output into Hobj and, on success,
// makes it the session's queue with persistent messages. Silent on failure.
void CVOpenDefaultQueue(FtpSession *session) {
  CVOD od = CVOD_DEFAULT;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVSetName(od.ObjectName, kDefaultQueue);
  session->Hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Hconn, &od, kOpenInputOutput, &session->Hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) {
    session->Hobj = CVHO_UNUSABLE_HOBJ;
    return;
  }
  if (session->Verbose) std::printf("Queue %s opened\n", kDefaultQueue);
  CVSetName(session->QName, kDefaultQueue);
  session->QueueOpen = 1;
  session->Persistence = CVPER_PERSISTENT;
  if (session->Verbose) std::printf("Message persistence set to CVPER_PERSISTENT.\n");
  std::fflush(stdout);
}

// Removes the trailing blanks of a 48-character name field in place; never
// reads or writes outside the field.
void CVTrimName(char *field) {
  char name[CV_Q_MGR_NAME_LENGTH + 1] = {0};
  std::memcpy(name, field, CV_Q_MGR_NAME_LENGTH);
  StrTrim(name);
  CVSetName(field, name);
}

}  // namespace

void CVFtpInit(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  std::memset(session->QMgrName, 0, sizeof(session->QMgrName));
  std::memset(session->QName, 0, sizeof(session->QName));
  session->QueueOpen = 0;
  session->Persistence = CVPER_PERSISTENT;
  session->Hobj = CVHO_UNUSABLE_HOBJ;

  CVCONN("", &session->Hconn, &cc, &reason);
  CVEcho(session, "CVCONN");
  if (cc != CVCC_OK && reason != CVRC_ALREADY_CONNECTED) {
    std::printf("Not connected to a default queue manager, %s\n", ReasonString(reason));
    std::fflush(stdout);
    return;
  }

  // Ask the queue manager for its own name.
  CVOD od = CVOD_DEFAULT;
  od.ObjectType = CVOT_Q_MGR;
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return;
  const CVLONG selector = CVCA_Q_MGR_NAME;
  CVINQ(session->Hconn, hobj, 1, &selector, 0, nullptr, CV_Q_MGR_NAME_LENGTH, session->QMgrName,
        &cc, &reason);
  CVEcho(session, "CVINQ");
  const bool inquired = cc == CVCC_OK;
  CVCLOSE(session->Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (!inquired) return;

  if (session->Verbose) {
    CVTrimName(session->QMgrName);
    std::printf("\nConnected to default queue manager %.*s\n", CV_Q_MGR_NAME_LENGTH,
                session->QMgrName);
    std::fflush(stdout);
  }
  CVOpenDefaultQueue(session);
}

void FtpCVCONN(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  if (name == nullptr) name = "";

  if (session->QueueOpen) {
    CVDISC(&session->Hconn, &cc, &reason);
    CVEcho(session, "CVDISC");
    if (cc != CVCC_OK) {
      std::printf("Queue manager not disconnected, %s\n", ReasonString(reason));
    } else {
      if (session->Verbose) {
        std::printf("Queue manager %.*s disconnected\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
      }
      std::memset(session->QMgrName, 0, sizeof(session->QMgrName));
      session->QueueOpen = 0;
      session->Hobj = CVHO_UNUSABLE_HOBJ;
    }
    std::fflush(stdout);
  }

  cc = -1;
  reason = -1;
  CVCONN(name, &session->Hconn, &cc, &reason);
  CVEcho(session, "CVCONN");
  if (cc != CVCC_OK) {
    std::printf("Queue manager not connected, %s\n", ReasonString(reason));
    std::fflush(stdout);
    return;
  }
  CVSetName(session->QMgrName, name);
  if (session->Verbose) {
    std::printf("Queue manager %.*s connected\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
    std::fflush(stdout);
  }
  CVOpenDefaultQueue(session);
}

void FtpCVDISC(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(&session->Hconn, &cc, &reason);
  CVEcho(session, "CVDISC");
  if (cc != CVCC_OK) {
    std::printf("Queue manager not disconnected, %s\n", ReasonString(reason));
  } else {
    if (session->Verbose) {
      std::printf("Queue manager %.*s disconnected\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
    }
    std::memset(session->QMgrName, 0, sizeof(session->QMgrName));
    std::memset(session->QName, 0, sizeof(session->QName));
    session->QueueOpen = 0;
    session->Hobj = CVHO_UNUSABLE_HOBJ;
  }
  std::fflush(stdout);
}

void FtpCVOPEN(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  if (name == nullptr) name = "";

  if (session->Hobj != CVHO_UNUSABLE_HOBJ) {
    CVCLOSE(session->Hconn, &session->Hobj, CVCO_NONE, &cc, &reason);
    CVEcho(session, "CVCLOSE");
    if (cc != CVCC_OK) {
      std::printf("Queue not closed, %s\n", ReasonString(reason));
      std::fflush(stdout);
      return;
    }
    if (session->Verbose) {
      std::printf("Queue %.*s closed\n", CV_Q_NAME_LENGTH, session->QName);
    }
    std::memset(session->QName, 0, sizeof(session->QName));
    session->QueueOpen = 0;
    session->Hobj = CVHO_UNUSABLE_HOBJ;
  }

  CVOD od = CVOD_DEFAULT;
  CVSetName(od.ObjectName, name);
  cc = -1;
  reason = -1;
  CVOPEN(session->Hconn, &od, kOpenInputOutput, &session->Hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (reason == CVRC_OPTION_NOT_VALID_FOR_TYPE) {
    if (session->Verbose) {
      std::printf("Queue %.*s is not a local queue, trying to open as OUTPUT only ...\n",
                  CV_Q_NAME_LENGTH, name);
      std::fflush(stdout);
    }
    cc = -1;
    reason = -1;
    CVOPEN(session->Hconn, &od, kOpenOutput, &session->Hobj, &cc, &reason);
    CVEcho(session, "CVOPEN");
  }
  if (cc != CVCC_OK) {
    std::printf("Queue not opened, %s\n", ReasonString(reason));
    session->Hobj = CVHO_UNUSABLE_HOBJ;
    std::fflush(stdout);
    return;
  }
  CVSetName(session->QName, name);
  if (session->Verbose) std::printf("Queue %.*s opened\n", CV_Q_NAME_LENGTH, session->QName);
  session->QueueOpen = 1;
  std::fflush(stdout);
}

void FtpCVCLOSE(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVCLOSE(session->Hconn, &session->Hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (cc != CVCC_OK) {
    std::printf("Queue not closed, %s\n", ReasonString(reason));
  } else {
    if (session->Verbose) std::printf("Queue %.*s closed\n", CV_Q_NAME_LENGTH, session->QName);
    std::memset(session->QName, 0, sizeof(session->QName));
    session->QueueOpen = 0;
    session->Hobj = CVHO_UNUSABLE_HOBJ;
  }
  std::fflush(stdout);
}

void FtpCVQDEPTH(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVOD od = CVOD_DEFAULT;
  if (name == nullptr || name[0] == '\0' || name[0] == ' ') {
    std::memcpy(od.ObjectName, session->QName, CV_Q_NAME_LENGTH);
  } else {
    CVSetName(od.ObjectName, name);
  }

  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) {
    std::printf("Not able to inquire queue depth\n");
    std::fflush(stdout);
    return;
  }
  const CVLONG selector = CVIA_CURRENT_Q_DEPTH;
  CVLONG depth = 0;
  cc = -1;
  reason = -1;
  CVINQ(session->Hconn, hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &reason);
  CVEcho(session, "CVINQ");
  if (cc != CVCC_OK) {
    std::printf("Not able to inquire queue depth\n");
  } else {
    std::printf("Queue depth for %.*s = %ld\n", CV_Q_NAME_LENGTH, od.ObjectName,
                static_cast<long>(depth));
  }
  std::fflush(stdout);
  CVCLOSE(session->Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
}

void FtpGetCV(FtpSession *session, const char *remoteName) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVMD md = CVMD_DEFAULT;
  CVPMO pmo = CVPMO_DEFAULT;
  std::unique_ptr<StringBuffer, void (*)(StringBuffer *)> buffer(StringBufferAlloc(),
                                                                 StringBufferFree);

  if (FtpGetFileMem(session, remoteName, buffer.get()) == 0) return;

  std::memset(md.MsgId, 0, sizeof(md.MsgId));
  std::memset(md.CorrelId, 0, sizeof(md.CorrelId));
  md.Persistence = session->Persistence;
  std::memcpy(md.Format, session->TransferType == 1 ? CVFMT_STRING : CVFMT_NONE, CV_FORMAT_LENGTH);

  if (buffer->Length > static_cast<size_t>(INT32_MAX)) {
    // The library takes a 32-bit length; a longer file cannot be one message.
    cc = CVCC_FAILED;
    reason = CVRC_MSG_TOO_BIG_FOR_Q_MGR;
  } else {
    CVPUT(session->Hconn, session->Hobj, &md, &pmo, static_cast<CVLONG>(buffer->Length),
          buffer->Data, &cc, &reason);
    CVEcho(session, "CVPUT");
  }
  if (cc != CVCC_OK) {
    std::printf("Not putted on queue %s\n", ReasonString(reason));
  } else if (session->Verbose) {
    std::printf("Putted on queue\n");
  }
  std::fflush(stdout);
}

void FtpPutCV(FtpSession *session, const char *remoteName) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVMD md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  CVLONG bufferLength = kFirstGetBuffer;
  CVLONG dataLength = 0;
  std::unique_ptr<char[]> buffer(new char[bufferLength]);

  gmo.Options = kGetOptions;
  std::memset(md.MsgId, 0, sizeof(md.MsgId));
  std::memset(md.CorrelId, 0, sizeof(md.CorrelId));
  md.Encoding = CVENC_NATIVE;
  md.CodedCharSetId = CVCCSI_Q_MGR;

  CVGET(session->Hconn, session->Hobj, &md, &gmo, bufferLength, buffer.get(), &dataLength, &cc,
        &reason);
  CVEcho(session, "CVGET");
  if (reason == CVRC_TRUNCATED_MSG_FAILED && dataLength > bufferLength) {
    // Nothing was taken; fetch it again into a buffer of its exact size.
    bufferLength = dataLength;
    buffer.reset(new char[bufferLength]);
    MemAdviseLarge(buffer.get(), static_cast<size_t>(bufferLength));
    cc = -1;
    reason = -1;
    CVGET(session->Hconn, session->Hobj, &md, &gmo, bufferLength, buffer.get(), &dataLength, &cc,
          &reason);
    CVEcho(session, "CVGET");
  }
  if (cc != CVCC_OK) {
    std::printf("Message not getted from queue %s\n", ReasonString(reason));
    std::fflush(stdout);
    return;
  }
  if (session->Verbose) {
    std::printf("Message getted from queue : %ld bytes\n", static_cast<long>(dataLength));
    std::fflush(stdout);
  }

  const int stored =
      FtpPutFileMem(session, remoteName, buffer.get(), static_cast<uint32_t>(dataLength));
  cc = -1;
  reason = -1;
  if (stored == 1) {
    CVCMIT(session->Hconn, &cc, &reason);
    CVEcho(session, "CVCMIT");
    if (cc != CVCC_OK) {
      // The remote copy exists but the message is not gone from the queue.
      std::printf("Message not commited %s\n", ReasonString(reason));
    } else if (session->Verbose) {
      std::printf("Message commited\n");
    }
  } else {
    CVBACK(session->Hconn, &cc, &reason);
    CVEcho(session, "CVBACK");
    if (cc != CVCC_OK) {
      std::printf("Message not backed out %s\n", ReasonString(reason));
    } else {
      std::printf("Message backed out\n");
    }
  }
  std::fflush(stdout);
}
