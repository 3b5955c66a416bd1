// ftp_cv.cpp - the queue side of the session (queue manager connection, the
// open queue, depth) and the two transfers between an FTP server and the
// open queue. A message leaves the queue for good only after the remote
// store reported success and the unit of work was committed.
#include "ftp_cv.h"

#include <fnmatch.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <openssl/sha.h>

#include "cv_util.h"
#include "ftp_tcp.h"
#include "tcp_util.h"
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

// Get under a unit of work, converted, no wait.
constexpr CVLONG kGetOptions = CVGMO_SYNCPOINT | CVGMO_FAIL_IF_QUIESCING | CVGMO_CONVERT;

// Prints "--> NAME" when debugging; called right after each library call.
void CVEcho(const FtpSession *session, const char *call) {
  if (session->Debug) {
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
  if (cause != nullptr && cause[0] != '\0') {
    std::printf("cvxfer: %s\n", cause);
    std::fflush(stdout);
  }
  FtpFail(session, reason == CVRC_NO_MSG_AVAILABLE ? FTP_EXIT_NO_MESSAGE : FTP_EXIT_QUEUE);
  return 1;
}

// Prints "WHAT, REASON" for a failed call and records it; returns 1.
int CVFail(FtpSession *session, const char *what, CVLONG reason) {
  std::printf("%s, %s\n", what, ReasonString(reason));
  std::fflush(stdout);
  return CVFailed(session, reason);
}

// Copies at most 48 characters of name into a 48-character name field and
// fills the rest with zero bytes.
void CVSetName(char *field, const char *name) {
  std::memset(field, 0, CV_Q_NAME_LENGTH);
  if (name != nullptr) std::memcpy(field, name, strnlen(name, CV_Q_NAME_LENGTH));
}

// Makes the session's queue side "connected to hconn, no queue open". The
// name is the one typed, or the queue manager's own name.
void CVSetConnected(FtpSession *session, CVHCONN hconn, const char *name) {
  session->Hconn = hconn;
  session->Hobj = CVHO_UNUSABLE_HOBJ;
  CVSetName(session->QMgrName, name);
  CVSetName(session->QName, nullptr);
}

// Makes the session's queue side "not connected".
void CVSetDisconnected(FtpSession *session) {
  CVSetConnected(session, CVHC_UNUSABLE_HCONN, nullptr);
}

// Makes the session's queue side "queue name open as hobj".
void CVSetQueue(FtpSession *session, CVHOBJ hobj, const char *name) {
  session->Hobj = hobj;
  CVSetName(session->QName, name);
}

// Opens the default queue for input and output and, on success, makes it the
// session's queue with persistent messages. Silent on failure.
int CVOpenDefaultQueue(FtpSession *session) {
  CVOD od = CVOD_DEFAULT;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVSetName(od.ObjectName, kDefaultQueue);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Hconn, &od, kOpenInputOutput, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return CVFailed(session, reason);
  if (session->Verbose) std::printf("Queue %s opened\n", kDefaultQueue);
  CVSetQueue(session, hobj, kDefaultQueue);
  session->Persistence = CVPER_PERSISTENT;
  if (session->Verbose) std::printf("Message persistence set to CVPER_PERSISTENT.\n");
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

// The server's current directory, asked once after each open or cd with a
// PWD that is neither echoed nor shown; "" when the server does not say.
const char *CVRemoteDir(FtpSession *session) {
  if (session->RemoteDirKnown) return session->RemoteDir;
  session->RemoteDirKnown = 1;
  session->RemoteDir[0] = '\0';
  const int verbose = session->Verbose;
  session->Verbose = 0;
  const int reply = FtpCommandQuiet(session, "PWD", nullptr);
  session->Verbose = verbose;
  // 257 "dir" with any quote inside doubled.
  const char *open = std::strchr(session->ReplyText, '"');
  if (reply != 257 || open == nullptr) return session->RemoteDir;
  std::string dir;
  for (const char *c = open + 1; *c != '\0'; c++) {
    if (*c == '"' && c[1] == '"') {
      dir += '"';
      c++;
    } else if (*c == '"') {
      break;
    } else {
      dir += *c;
    }
  }
  std::snprintf(session->RemoteDir, sizeof(session->RemoteDir), "%s", dir.c_str());
  return session->RemoteDir;
}

// The properties that tell where a message put by get came from.
std::string CVSourceProperties(FtpSession *session, const char *name, size_t size) {
  // Before any TYPE the server transfers in ascii, its default.
  static const char *const kTypes[] = {"ascii", "ascii", "binary", "ebcdic"};
  std::string list;
  CVAddProperty(&list, "cv-file-name", name);
  if (CVRemoteDir(session)[0] != '\0') CVAddProperty(&list, "cv-file-dir", session->RemoteDir);
  CVAddProperty(&list, "cv-file-size", std::to_string(size));
  unsigned port = 0;
  if (session->HostInfo != nullptr && session->HostInfo->Count > 0) {
    const auto &addr = session->HostInfo->Addr[0];
    port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(addr).sin6_port
                                            : reinterpret_cast<const sockaddr_in &>(addr).sin_port);
  }
  // The host as given, never the user or the password.
  const bool v6 = std::strchr(session->TlsHost, ':') != nullptr;
  CVAddProperty(
      &list, "cv-ftp-server",
      (v6 ? "[" : "") + std::string(session->TlsHost) + (v6 ? "]:" : ":") + std::to_string(port));
  const int type =
      session->TransferType >= 1 && session->TransferType <= 3 ? session->TransferType : 0;
  CVAddProperty(&list, "cv-transfer-type", kTypes[type]);
  return list;
}

// Checks what a transfer needs before it touches the network or a queue:
// a usable remote name and an open queue; the lack of a queue is told with
// failText (a format taking the reason's name). Returns 0, or 1 after
// saying why not.
int CVTransferReady(FtpSession *session, const char *remoteName, const char *failText) {
  if (FtpCheckFileName(remoteName) != 0) return 1;
  if (FtpCVQueueOpen(session)) return 0;
  const CVLONG reason = FtpCVConnected(session) ? CVRC_HOBJ_ERROR : CVRC_HCONN_ERROR;
  std::printf(failText, ReasonString(reason));
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_QUEUE);
  return 1;
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
  CVOPEN(session->Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return reason;
  CVLONG result = 0;
  CVINQ(session->Hconn, hobj, 1, &selector, 1, &result, 0, nullptr, &cc, &reason);
  CVEcho(session, "CVINQ");
  const CVLONG inquired = cc == CVCC_OK ? 0 : reason;
  if (inquired == 0) *value = result;
  CVCLOSE(session->Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  return inquired;
}

}  // namespace

int FtpCVConnected(const FtpSession *session) {
  return session->Hconn != CVHC_UNUSABLE_HCONN;
}

int FtpCVQueueOpen(const FtpSession *session) {
  return FtpCVConnected(session) && session->Hobj != CVHO_UNUSABLE_HOBJ;
}

int CVFtpInit(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVSetDisconnected(session);
  session->Persistence = CVPER_PERSISTENT;

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
  CVOPEN(session->Hconn, &od, kOpenInquire, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (cc != CVCC_OK) return CVFailed(session, reason);
  const CVLONG selector = CVCA_Q_MGR_NAME;
  CVINQ(session->Hconn, hobj, 1, &selector, 0, nullptr, CV_Q_MGR_NAME_LENGTH, session->QMgrName,
        &cc, &reason);
  CVEcho(session, "CVINQ");
  const bool inquired = cc == CVCC_OK;
  CVCLOSE(session->Hconn, &hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (!inquired) return CVFailed(session, reason);

  if (session->Verbose) {
    CVTrimName(session->QMgrName);
    std::printf("\nConnected to default queue manager %.*s\n", CV_Q_MGR_NAME_LENGTH,
                session->QMgrName);
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
  if (session->Verbose) {
    std::printf("Queue manager %.*s connected\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
    std::fflush(stdout);
  }
  return CVOpenDefaultQueue(session);
}

int FtpCVDISC(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(&session->Hconn, &cc, &reason);
  CVEcho(session, "CVDISC");
  if (cc != CVCC_OK) return CVFail(session, "Queue manager not disconnected", reason);
  if (session->Verbose) {
    std::printf("Queue manager %.*s disconnected\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
    std::fflush(stdout);
  }
  CVSetDisconnected(session);
  return 0;
}

void FtpCVEnd(FtpSession *session) {
  if (!FtpCVConnected(session)) return;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVDISC(&session->Hconn, &cc, &reason);
  CVSetDisconnected(session);
}

int FtpCVOPEN(FtpSession *session, const char *name) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  if (name == nullptr) name = "";
  if (!CVNameFits(name)) return CVFail(session, "Queue not opened", CVRC_OBJECT_NAME_ERROR);
  if (session->Hobj != CVHO_UNUSABLE_HOBJ && FtpCVCLOSE(session) != 0) return 1;

  CVOD od = CVOD_DEFAULT;
  CVSetName(od.ObjectName, name);
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  CVOPEN(session->Hconn, &od, kOpenInputOutput, &hobj, &cc, &reason);
  CVEcho(session, "CVOPEN");
  if (reason == CVRC_OPTION_NOT_VALID_FOR_TYPE) {
    if (session->Verbose) {
      std::printf("Queue %.*s is not a local queue, trying to open as OUTPUT only ...\n",
                  CV_Q_NAME_LENGTH, name);
      std::fflush(stdout);
    }
    cc = -1;
    reason = -1;
    CVOPEN(session->Hconn, &od, kOpenOutput, &hobj, &cc, &reason);
    CVEcho(session, "CVOPEN");
  }
  if (cc != CVCC_OK) return CVFail(session, "Queue not opened", reason);
  CVSetQueue(session, hobj, name);
  if (session->Verbose) std::printf("Queue %.*s opened\n", CV_Q_NAME_LENGTH, session->QName);
  std::fflush(stdout);
  return 0;
}

int FtpCVCLOSE(FtpSession *session) {
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVCLOSE(session->Hconn, &session->Hobj, CVCO_NONE, &cc, &reason);
  CVEcho(session, "CVCLOSE");
  if (cc != CVCC_OK) return CVFail(session, "Queue not closed", reason);
  if (session->Verbose) std::printf("Queue %.*s closed\n", CV_Q_NAME_LENGTH, session->QName);
  std::fflush(stdout);
  CVSetQueue(session, CVHO_UNUSABLE_HOBJ, nullptr);
  return 0;
}

int FtpCVQDEPTH(FtpSession *session, const char *name) {
  char object[CV_Q_NAME_LENGTH];
  if (name == nullptr || name[0] == '\0' || name[0] == ' ') {
    std::memcpy(object, session->QName, CV_Q_NAME_LENGTH);
  } else if (CVNameFits(name)) {
    CVSetName(object, name);
  } else {
    return CVFail(session, "Not able to inquire queue depth", CVRC_OBJECT_NAME_ERROR);
  }
  CVLONG depth = 0;
  if (CVLONG reason = CVInquireInt(session, object, CVIA_CURRENT_Q_DEPTH, &depth); reason != 0) {
    std::printf("Not able to inquire queue depth\n");
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  std::printf("Queue depth for %.*s = %ld\n", CV_Q_NAME_LENGTH, object, static_cast<long>(depth));
  std::fflush(stdout);
  return 0;
}

namespace {

// Stores length bytes at data as name through a hidden temporary name in
// the same directory: STOR there, check the size where the server tells it
// (binary mode), then RNFR/RNTO to name. On any failure the temporary file
// is deleted, so that name never holds a partial file. Returns 1 when name
// holds the whole file, else 0.
// Marks the message msgId, held for a put, as stored under name with length
// bytes (CVMARK). A queue manager that cannot mark (a broker) leaves the
// store without that record; nothing else changes.
void CVMarkStored(FtpSession *session, const CVBYTE *msgId, const char *name, uint32_t length) {
  std::string marks;
  CVAddProperty(&marks, "cv-stored-as", name);
  CVAddProperty(&marks, "cv-stored-size", std::to_string(length));
  CVLONG cc = -1, reason = -1;
  CVMARK(session->Hconn, msgId, static_cast<CVLONG>(marks.size()), marks.data(), &cc, &reason);
  CVEcho(session, "CVMARK");
}

// The hidden temporary name a safe store of name goes through.
std::string CVTemporaryName(const char *name) {
  const char *slash = std::strrchr(name, '/');
  const std::string dir = slash != nullptr ? std::string(name, slash - name + 1) : "";
  return dir + "." + (slash != nullptr ? slash + 1 : name) + ".cvxfer-" + std::to_string(getpid()) +
         ".part";
}

int CVStoreSafely(FtpSession *session, const char *name, const FtpSource &source,
                  const CVBYTE *msgId) {
  const std::string temp = CVTemporaryName(name);
  const uint32_t length = static_cast<uint32_t>(source.Length);
  if (FtpPutFileFrom(session, temp.c_str(), source) == 1 && !session->Interrupted) {
    bool sized = true;
    if (session->TransferType == 2 && FtpCommand(session, "SIZE", temp.c_str()) == 213) {
      // "213 <size>": a server that counts otherwise has not got it all.
      sized = std::strtoull(session->ReplyText + 4, nullptr, 10) == length;
      if (!sized) {
        std::printf("cvxfer: [%s] the server holds %s bytes of %lu; not renamed\n", temp.c_str(),
                    session->ReplyText + 4, static_cast<unsigned long>(length));
        FtpFail(session, FTP_EXIT_INCOMPLETE);
      }
    }
    // Before the rename, the message records durably where it went: should
    // this process die between the rename and the commit, the message comes
    // back knowing that it was stored already.
    if (sized && session->Connected) CVMarkStored(session, msgId, name, length);
    if (sized && session->Connected && FtpCommand(session, "RNFR", temp.c_str()) == 350 &&
        FtpCommand(session, "RNTO", name) == 250) {
      return 1;
    }
    FtpFail(session, FTP_EXIT_REFUSED);
  }
  // Whatever reached the server under the temporary name goes again.
  if (session->Connected) FtpCommand(session, "DELE", temp.c_str());
  return 0;
}

// Whether a message marked as stored under name with size bytes is stored
// there whole already: the file has that size (the server says so in
// binary mode) and its temporary file is gone. The check costs a SIZE or
// two and changes nothing.
bool CVAlreadyStored(FtpSession *session, const char *name, const char *size) {
  if (session->TransferType != 2 || FtpCommand(session, "SIZE", name) != 213 ||
      std::strtoull(session->ReplyText + 4, nullptr, 10) != std::strtoull(size, nullptr, 10)) {
    return false;
  }
  return FtpCommand(session, "SIZE", CVTemporaryName(name).c_str()) >= 500;
}

// Looks at the first message of the open queue that matches md's
// identifiers, without taking it and without reading its body. Returns its
// property list (length in *propLength; valid until the next look) and
// leaves the completion code and the reason in *cc and *reason.
const CVCHAR *CVBrowseFirst(FtpSession *session, CVMD *md, CVLONG *propLength, CVLONG *cc,
                            CVLONG *reason) {
  static std::vector<CVCHAR> props(CV_PROPERTIES_LENGTH_MAX);
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_BROWSE_FIRST | CVGMO_ACCEPT_TRUNCATED_MSG | CVGMO_FAIL_IF_QUIESCING;
  CVLONG dataLength = 0;
  char none[1];
  CVGETP(session->Hconn, session->Hobj, md, &gmo, static_cast<CVLONG>(props.size()), props.data(),
         propLength, 0, none, &dataLength, cc, reason);
  CVEcho(session, "CVGET");
  return props.data();
}

// A file name that a message's property gives: a base name only, so that a
// message never chooses where a file goes.
bool CVSafeBaseName(const char *name) {
  return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0 && std::strpbrk(name, "\r\n") == nullptr;
}

// Looks at the first message of the open queue without taking it and
// finds its file name (cv-file-name) into *name and its identifier into
// msgId. Returns 0; 1 after saying why not (an empty queue, no name, a name
// that would choose a directory); -1 when the queue manager cannot look
// without taking (a broker): the caller takes the message and looks then.
int CVNextFileName(FtpSession *session, std::string *name, CVBYTE *msgId) {
  CVMD md = CVMD_DEFAULT;
  CVLONG propLength = 0, cc = -1, reason = -1;
  const CVCHAR *props = CVBrowseFirst(session, &md, &propLength, &cc, &reason);
  if (reason == CVRC_FUNCTION_NOT_SUPPORTED) return -1;
  if (cc == CVCC_FAILED) {
    std::printf("Message not getted from queue %s\n", ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  const char *value = CVProperty(props, propLength, "cv-file-name");
  if (value == nullptr) {
    std::printf("No file specified.\n");
    std::fflush(stdout);
    return 1;
  }
  if (!CVSafeBaseName(value)) {
    std::printf("cvxfer: [%s] a message's file name cannot choose a directory; not stored\n",
                value);
    std::fflush(stdout);
    return 1;
  }
  *name = value;
  std::memcpy(msgId, md.MsgId, CV_MSG_ID_LENGTH);
  return 0;
}

// Deletes the remote file name or moves it into after->MoveTo; called only
// once its message is safely on the queue. Returns 0, or 1 (the file stays
// where it was; the message stays on the queue).
int CVFinishRemote(FtpSession *session, const char *name, const FtpCVAfter *after) {
  if (after == nullptr || (!after->Delete && after->MoveTo == nullptr)) return 0;
  if (after->Delete) {
    if (FtpCommand(session, "DELE", name) == 250) return 0;
  } else {
    const char *slash = std::strrchr(name, '/');
    std::string target = std::string(after->MoveTo) + "/" + (slash != nullptr ? slash + 1 : name);
    if (FtpCommand(session, "RNFR", name) == 350 &&
        FtpCommand(session, "RNTO", target.c_str()) == 250) {
      return 0;
    }
  }
  std::printf("cvxfer: [%s] is on the queue but stays on the server: it could not be %s\n", name,
              after->Delete ? "deleted" : "moved");
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_REFUSED);
  return 1;
}

// get of one file; *bytes gets its size once it is on the queue.
int CVGetOne(FtpSession *session, const char *remoteName, const FtpCVAfter *after, long long *bytes,
             const CVBYTE *correlId = nullptr) {
  // Without a queue to put on, the download would only be thrown away.
  if (CVTransferReady(session, remoteName, "Not putted on queue %s\n") != 0) return 1;
  // A file longer than the queue takes is abandoned as soon as it is; a
  // queue that cannot say (a remote definition) leaves the library's limit.
  CVLONG maxLength = INT32_MAX;
  CVInquireInt(session, session->QName, CVIA_MAX_MSG_LENGTH, &maxLength);
  // The file streams into the message as it arrives; the message exists
  // only once the stream is complete.
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVPMO pmo = CVPMO_DEFAULT;
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVPUTOPEN(session->Hconn, session->Hobj, &pmo, -1, &hmsg, &cc, &reason);
  if (cc != CVCC_OK) {
    std::printf("Not putted on queue %s\n", ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  CVLONG streamReason = 0;
  long long size = 0;
  FtpSink sink;
  sink.Write = [&](const char *data, size_t n) {
    CVLONG c = -1;
    CVPUTDATA(session->Hconn, hmsg, static_cast<CVLONG>(n), data, &c, &streamReason);
    size += static_cast<long long>(n);
    return c == CVCC_OK ? 0 : 1;
  };
  sink.Splice = [&](int fd, size_t max, size_t *moved) {
    CVLONG c = -1, got = 0;
    CVPUTFD(session->Hconn, hmsg, fd, static_cast<CVLONG>(std::min<size_t>(max, INT32_MAX)), &got,
            &c, &streamReason);
    *moved = static_cast<size_t>(got);
    size += got;
    if (c != CVCC_OK && streamReason == CVRC_BUFFER_ERROR) return -1;  // the connection failed
    return c == CVCC_OK ? 0 : 1;
  };
  const int got = FtpGetFileTo(session, remoteName, sink, static_cast<uint64_t>(maxLength));
  if (got != 1) {
    CVPUTCLOSE(session->Hconn, &hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &cc, &reason);
    if (got == kFtpTooLarge) streamReason = CVRC_MSG_TOO_BIG_FOR_Q;
    if (got == 0) return 1;
    std::printf("Not putted on queue %s\n", ReasonString(streamReason));
    std::fflush(stdout);
    return CVFailed(session, streamReason);
  }

  CVMD md = CVMD_DEFAULT;
  std::memset(md.MsgId, 0, sizeof(md.MsgId));
  std::memset(md.CorrelId, 0, sizeof(md.CorrelId));
  if (correlId != nullptr) std::memcpy(md.CorrelId, correlId, sizeof(md.CorrelId));
  md.Persistence = session->Persistence;
  std::memcpy(md.Format, session->TransferType == 1 ? CVFMT_STRING : CVFMT_NONE, CV_FORMAT_LENGTH);
  const std::string properties = CVSourceProperties(session, remoteName, static_cast<size_t>(size));
  CVPUTCLOSE(session->Hconn, &hmsg, CVSC_COMPLETE, &md, static_cast<CVLONG>(properties.size()),
             properties.data(), &cc, &reason);
  CVEcho(session, "CVPUT");
  if (cc != CVCC_OK && hmsg != CVHM_UNUSABLE_HMSG) {
    CVLONG c, r;  // a refused descriptor or list leaves the stream open
    CVPUTCLOSE(session->Hconn, &hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &c, &r);
  }
  if (cc != CVCC_OK) {
    std::printf("Not putted on queue %s\n", ReasonString(reason));
  } else if (session->Verbose) {
    std::printf("Putted on queue\n");
  }
  std::fflush(stdout);
  if (cc != CVCC_OK) return CVFailed(session, reason);
  *bytes = size;
  // The put returned: the message is on the queue, so the remote file may go.
  return CVFinishRemote(session, remoteName, after);
}

// The key of a remote file as mget takes it: the server, the path, and the
// size and modification time where the server tells them (asked without
// being shown), hashed into a correlation identifier that the file's
// message carries.
void CVSourceKey(FtpSession *session, const char *path, CVBYTE *key) {
  std::string text = std::string(session->TlsHost) + "\n" + CVRemoteDir(session) + "\n" + path;
  const int verbose = session->Verbose;
  session->Verbose = 0;
  for (const char *verb : {"SIZE", "MDTM"}) {
    text += "\n";
    if (FtpCommandQuiet(session, verb, path) / 100 == 2) {
      text += session->ReplyText + 4 + std::strspn(session->ReplyText + 4, " ");
    }
  }
  session->Verbose = verbose;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
  std::memcpy(key, digest, CV_CORREL_ID_LENGTH);
}

// Whether a message with correlation identifier key is on the open queue,
// looked at without taking it. A queue manager that cannot look (a broker)
// says no.
bool CVOnQueue(FtpSession *session, const CVBYTE *key) {
  CVMD md = CVMD_DEFAULT;
  std::memcpy(md.CorrelId, key, CV_CORREL_ID_LENGTH);
  CVLONG propLength = 0, cc = -1, reason = -1;
  CVBrowseFirst(session, &md, &propLength, &cc, &reason);
  return cc != CVCC_FAILED;
}

// Prints the summary line of mget and mput.
void CVSummary(const char *command, int files, long long bytes, int failed) {
  std::printf("cvxfer: %s: %d files, %lld bytes, %d failed\n", command, files, bytes, failed);
  std::fflush(stdout);
}

}  // namespace

int FtpGetCV(FtpSession *session, const char *remoteName, const FtpCVAfter *after) {
  long long bytes = 0;
  return CVGetOne(session, remoteName, after, &bytes);
}

int FtpMGetCV(FtpSession *session, const FtpCVAfter *after, int count,
              const char *const patterns[]) {
  int files = 0, failed = 0, firstFailure = 0;
  long long bytes = 0;
  for (int p = 0; p < count && session->Connected && !session->Interrupted; p++) {
    // Each pattern is matched in its own directory, by shell rules: a
    // leading dot is matched only by a dot.
    const char *slash = std::strrchr(patterns[p], '/');
    const std::string dir =
        slash != nullptr ? std::string(patterns[p], slash - patterns[p] + 1) : "";
    const char *glob = slash != nullptr ? slash + 1 : patterns[p];
    std::vector<std::string> names;
    if (FtpNameList(session, dir.empty() ? nullptr : dir.c_str(), &names) != 0) {
      failed++;
      continue;
    }
    for (const std::string &listed : names) {
      if (session->Interrupted || !session->Connected) break;
      // Servers list "dir/name" or just "name"; the pattern decides on the name.
      const size_t cut = listed.rfind('/');
      const std::string base = cut == std::string::npos ? listed : listed.substr(cut + 1);
      if (fnmatch(glob, base.c_str(), FNM_PERIOD) != 0) continue;
      const std::string path = dir + base;
      long long size = 0;
      const int saved = session->Failure;
      session->Failure = 0;
      // A file whose message is on the queue already (a run that died
      // between the put and the delete) is not taken again: its clean-up
      // is what is left to do.
      CVBYTE key[CV_CORREL_ID_LENGTH];
      CVSourceKey(session, path.c_str(), key);
      if (CVOnQueue(session, key)) {
        std::printf("cvxfer: [%s] is on the queue already; not taken again\n", path.c_str());
        std::fflush(stdout);
        if (CVFinishRemote(session, path.c_str(), after) != 0) {
          failed++;
          if (firstFailure == 0) firstFailure = FTP_EXIT_REFUSED;
        }
        session->Failure = saved;
        continue;
      }
      if (CVGetOne(session, path.c_str(), after, &size, key) == 0) {
        files++;
        bytes += size;
      } else {
        failed++;
        if (firstFailure == 0) firstFailure = session->Failure ? session->Failure : FTP_EXIT_FAILED;
      }
      session->Failure = saved;
    }
  }
  CVSummary("mget", files, bytes, failed);
  if (failed == 0 && !session->Interrupted) return 0;
  FtpFail(session, firstFailure != 0 ? firstFailure : FTP_EXIT_REFUSED);
  return 1;
}

// put of one message; *bytes gets its length once it is stored.
static int CVPutOne(FtpSession *session, const char *remoteName, long long *bytes) {
  // A message is taken only for a store that can be sent. Without a name
  // the message's own (cv-file-name) is used, looked at before it is taken
  // where the queue manager can (a broker cannot: then after).
  std::string chosen;
  CVBYTE msgId[CV_MSG_ID_LENGTH] = {0};
  bool nameAfter = false;
  if (remoteName == nullptr || remoteName[0] == '\0') {
    if (CVTransferReady(session, ".", "Message not getted from queue %s\n") != 0) return 1;
    const int found = CVNextFileName(session, &chosen, msgId);
    if (found > 0) return 1;
    nameAfter = found < 0;
    remoteName = nameAfter ? "." : chosen.c_str();
  }
  if (CVTransferReady(session, remoteName, "Message not getted from queue %s\n") != 0) return 1;
  static std::vector<CVCHAR> props(CV_PROPERTIES_LENGTH_MAX);
  CVLONG propLength = 0;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVMD md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  CVLONG dataLength = 0;
  gmo.Options = kGetOptions;
  std::memcpy(md.MsgId, msgId, sizeof(md.MsgId));  // the message looked at, or any
  std::memset(md.CorrelId, 0, sizeof(md.CorrelId));
  md.Encoding = CVENC_NATIVE;
  md.CodedCharSetId = CVCCSI_Q_MGR;

  // The message is held and its body streamed to the server, never read
  // into memory whole.
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVGETOPEN(session->Hconn, session->Hobj, &md, &gmo, static_cast<CVLONG>(props.size()),
            props.data(), &propLength, &dataLength, &hmsg, &cc, &reason);
  CVEcho(session, "CVGET");
  if (cc != CVCC_OK) {
    std::printf("Message not getted from queue %s\n", ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  if (session->Verbose) {
    std::printf("Message getted from queue : %ld bytes\n", static_cast<long>(dataLength));
    std::fflush(stdout);
  }
  if (nameAfter) {
    const char *value = CVProperty(props.data(), propLength, "cv-file-name");
    if (value != nullptr && CVSafeBaseName(value)) {
      chosen = value;
      remoteName = chosen.c_str();
    } else {
      std::printf(value == nullptr ? "No file specified.\n"
                                   : "cvxfer: a message's file name cannot choose a directory\n");
      remoteName = nullptr;
    }
  }

  // A message marked as stored under this name that is there whole already
  // (this process or an earlier one died before the commit) is committed
  // without storing it again.
  const char *storedAs = CVProperty(props.data(), propLength, "cv-stored-as");
  const char *storedSize = CVProperty(props.data(), propLength, "cv-stored-size");
  const bool already = remoteName != nullptr && storedAs != nullptr && storedSize != nullptr &&
                       std::strcmp(storedAs, remoteName) == 0 &&
                       CVAlreadyStored(session, remoteName, storedSize);
  if (already) {
    std::printf("cvxfer: [%s] was stored whole before; committed without storing it again\n",
                remoteName);
    std::fflush(stdout);
  }
  // From the body's file where the queue manager can hand it over (sendfile
  // then moves it), else piece by piece.
  FtpSource source;
  source.Length = static_cast<uint64_t>(dataLength);
  CVLONG fdCc = -1, fdReason = -1;
  CVGETFD(session->Hconn, hmsg, &source.Fd, &fdCc, &fdReason);
  if (fdCc != CVCC_OK) source.Fd = -1;
  source.Read = [&](char *buffer, size_t n, size_t *got) {
    CVLONG c = -1, r = -1, length = 0;
    CVGETDATA(session->Hconn, hmsg, static_cast<CVLONG>(n), buffer, &length, &c, &r);
    *got = static_cast<size_t>(length);
    if (c == CVCC_OK) return 0;
    std::printf("Message not getted from queue %s\n", ReasonString(r));
    return 1;
  };
  // Nothing is committed after an interrupt: the user asked for the
  // command to be abandoned.
  const bool stored =
      remoteName != nullptr &&
      (already || (session->SafePut ? CVStoreSafely(session, remoteName, source, md.MsgId)
                                    : FtpPutFileFrom(session, remoteName, source)) == 1) &&
      !session->Interrupted && !gFtpInterrupted;
  if (source.Fd >= 0) close(source.Fd);
  CVGETCLOSE(session->Hconn, &hmsg, CVSC_COMPLETE, &fdCc, &fdReason);
  cc = -1;
  reason = -1;
  if (stored) {
    CVCMIT(session->Hconn, &cc, &reason);
    CVEcho(session, "CVCMIT");
    if (cc != CVCC_OK) {
      // The remote copy exists but the message is not gone from the queue.
      std::printf("Message not commited %s\n", ReasonString(reason));
      CVFailed(session, reason);
    } else if (session->Verbose) {
      std::printf("Message commited\n");
    }
  } else {
    CVBACK(session->Hconn, &cc, &reason);
    CVEcho(session, "CVBACK");
    if (cc != CVCC_OK) {
      std::printf("Message not backed out %s\n", ReasonString(reason));
      CVFailed(session, reason);
    } else {
      std::printf("Message backed out\n");
    }
  }
  std::fflush(stdout);
  if (!stored || cc != CVCC_OK) return 1;
  *bytes = dataLength;
  return 0;
}

int FtpPutCV(FtpSession *session, const char *remoteName) {
  long long bytes = 0;
  return CVPutOne(session, remoteName, &bytes);
}

int FtpMPutCV(FtpSession *session, long count) {
  int files = 0, failed = 0;
  long long bytes = 0;
  while (count == 0 || files < count) {
    const int saved = session->Failure;
    session->Failure = 0;
    long long stored = 0;
    const int rc = CVPutOne(session, nullptr, &stored);
    const int why = session->Failure;
    session->Failure = saved;
    if (rc != 0) {
      // An empty queue is the end of the job; anything else stops it too,
      // since the same message would come first again.
      if (why != FTP_EXIT_NO_MESSAGE) {
        failed = 1;
        FtpFail(session, why != 0 ? why : FTP_EXIT_FAILED);
      }
      break;
    }
    files++;
    bytes += stored;
  }
  CVSummary("mput", files, bytes, failed);
  return failed;
}
