// bridge.cpp - get, mget, put and mput between the remote side and the open
// queue. A file becomes a message only when it arrived whole; a message
// leaves the queue for good only after the remote side reported the store
// whole and the unit of work was committed.
#include "bridge.h"

#include <fnmatch.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/rand.h>
#include <openssl/sha.h>

#include "cv_session.h"
#include "cv_util.h"
#include "digest.h"
#include "ftp_ctrl.h"
#include "ftp_event.h"
#include "ftp_io.h"
#include "ftp_retry.h"
#include "backout.h"
#include "bridge_steps.h"
#include "remote.h"
#include "verify.h"

namespace {

// Bytes read at a time from a connection whose body is still in memory.
constexpr size_t kCVHeadPiece = 65536;

// Get under a unit of work, converted, no wait.
constexpr CVLONG kGetOptions = CVGMO_SYNCPOINT | CVGMO_FAIL_IF_QUIESCING | CVGMO_CONVERT;

// The properties that tell where a message put by get came from: the base
// name (a message that names a directory could not be stored again), the
// directory, size, SHA-256 of the bytes received, server and transfer type.
std::string CVSourceProperties(FtpSession *session, const char *path, long long size,
                               const std::string &sha256) {
  std::string list;
  CVAddProperty(&list, "cv-file-name", CVBaseOf(path));
  // A segment before a group's last (size < 0) knows neither the length
  // nor the digest, and must not ask for the directory: that may need a
  // command on the control connection in the middle of the transfer.
  const std::string dir = size >= 0 ? CVDirectory(session, path) : "";
  if (!dir.empty()) CVAddProperty(&list, "cv-file-dir", dir);
  if (size >= 0) CVAddProperty(&list, "cv-file-size", std::to_string(size));
  if (!sha256.empty()) CVAddProperty(&list, "cv-file-sha256", sha256);
  CVAddProperty(&list, "cv-ftp-server", session->Remote->Server(session));
  const int type = session->Opt.TransferType;
  CVAddProperty(&list, "cv-transfer-type",
                kFtpTypes[type >= FTP_TYPE_ASCII && type <= FTP_TYPE_EBCDIC ? type : 0].Property);
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

// ---- get ----

// A message being written from a retrieval, and the SHA-256 of its bytes:
// taken here of the bytes that pass through memory, by Behind of those
// spliced into the body's file, read back from the page cache. A file
// longer than Limit becomes a group of segments of Limit bytes, the last
// one shorter, all in one unit of work; the digest runs on across them.
struct CVPutStream {
  CVHMSG Hmsg = CVHM_UNUSABLE_HMSG;
  CVLONG Reason = 0;   // why the stream refused bytes
  long long Size = 0;  // bytes taken, all segments together
  CVDigests Sha;
  CVHashReader Behind;
  std::vector<char> Head;  // the first bytes of a splice, until the body has a file
  long long Limit = LLONG_MAX;  // the most bytes one message of the file holds
  long long InSegment = 0;      // bytes of the open message
  CVLONG Segments = 0;          // segments put before the open message
  CVBYTE GroupId[CV_GROUP_ID_LENGTH] = {};
  CVLONG PmoOptions = 0;        // of every segment's CVPUTOPEN
  const CVBYTE *CorrelId = nullptr;
  std::string Name;             // the path the properties name
  bool OwnUnit = false;         // the unit of work is this get's to commit
};

// The descriptor every message of a retrieved file gets.
CVMD CVFileDescriptor(FtpSession *session, const CVBYTE *correlId) {
  CVMD md = CVMD_DEFAULT;
  std::memset(md.MsgId, 0, sizeof(md.MsgId));
  std::memset(md.CorrelId, 0, sizeof(md.CorrelId));
  if (correlId != nullptr) std::memcpy(md.CorrelId, correlId, sizeof(md.CorrelId));
  md.Persistence = session->Queue.Persistence;
  std::memcpy(md.Format, session->Opt.TransferType == FTP_TYPE_ASCII ? CVFMT_STRING : CVFMT_NONE,
              CV_FORMAT_LENGTH);
  return md;
}

// Marks md as segment s->Segments + 1 of s's group, beginning where the
// open message began; last: the group's last one.
void CVSegmentOf(const CVPutStream *s, CVMD *md, bool last) {
  std::memcpy(md->GroupId, s->GroupId, sizeof(md->GroupId));
  md->MsgSeqNumber = s->Segments + 1;
  md->Offset = s->Size - s->InSegment;
  md->MsgFlags = CVMF_MSG_IN_GROUP | (last ? CVMF_LAST_MSG_IN_GROUP : 0);
}

// Where a spliced body's digest is taken: by Behind once the open
// message's body has a file (started now, continuing Sha), else here of
// the bytes taken. Returns 1 when Behind digests, 0 when the bytes must
// come through memory, -1 when the queue refused (why in s->Reason).
int CVDigestBehind(FtpSession *session, CVPutStream *s) {
  if (s->Behind.Thread.joinable()) return 1;
  int body = -1;
  CVLONG c = -1;
  CVPUTREADFD(session->Queue.Hconn, s->Hmsg, &body, &c, &s->Reason);
  if (c != CVCC_OK) return s->Reason == CVRC_FUNCTION_NOT_SUPPORTED ? 0 : -1;
  CVDigestsMove(&s->Behind.Digests, &s->Sha);
  if (CVHashReaderStart(&s->Behind, body, static_cast<uint64_t>(s->InSegment),
                        static_cast<uint64_t>(s->InSegment)) != 0) {
    s->Reason = CVRC_RESOURCE_PROBLEM;
    return -1;
  }
  return 1;
}

// Lets Behind read the open message's body to its end and takes its
// digests back into Sha, before that message is closed: the next one's
// body continues them. Returns 0, or -1 when it could not (why in errno's
// words, said).
int CVDigestCatchUp(CVPutStream *s) {
  if (!s->Behind.Thread.joinable()) return 0;
  CVHashReaderFeed(&s->Behind, static_cast<uint64_t>(s->InSegment), true);
  if (CVHashReaderWait(&s->Behind) != 0) {
    std::printf("cvxfer: the SHA-256 of the file could not be taken: %s\n",
                std::strerror(s->Behind.Error));
    std::fflush(stdout);
    return -1;
  }
  CVDigestsMove(&s->Sha, &s->Behind.Digests);
  return 0;
}

// The open message is full and more bytes came: puts it as the next
// segment of the group (the first one names the group) and opens the next.
// Returns 0, or 1 with s->Reason telling why not.
int CVNextSegment(FtpSession *session, CVPutStream *s) {
  if ((s->Segments == 0 && RAND_bytes(s->GroupId, sizeof(s->GroupId)) != 1) ||
      CVDigestCatchUp(s) != 0) {
    s->Reason = CVRC_RESOURCE_PROBLEM;
    return 1;
  }
  CVMD md = CVFileDescriptor(session, s->CorrelId);
  CVSegmentOf(s, &md, false);
  const std::string properties = CVSourceProperties(session, s->Name.c_str(), -1, "");
  CVLONG cc = -1;
  CVPUTCLOSE(session->Queue.Hconn, &s->Hmsg, CVSC_COMPLETE, &md,
             static_cast<CVLONG>(properties.size()), properties.data(), &cc, &s->Reason);
  if (cc != CVCC_OK) return 1;
  CVEcho(session, "CVPUT");
  s->Segments++;
  s->InSegment = 0;
  CVPMO pmo = CVPMO_DEFAULT;
  pmo.Options = s->PmoOptions;
  CVPUTOPEN(session->Queue.Hconn, session->Queue.Hobj, &pmo, -1, &s->Hmsg, &cc, &s->Reason);
  return cc == CVCC_OK ? 0 : 1;
}

// The room left in the open message for n more bytes, after starting the
// next segment when the open one is full. Returns the bytes that fit (0:
// the next segment could not be started; s->Reason tells why).
size_t CVRoomFor(FtpSession *session, CVPutStream *s, size_t n) {
  if (s->InSegment >= s->Limit && CVNextSegment(session, s) != 0) return 0;
  return static_cast<size_t>(std::min<long long>(static_cast<long long>(n), s->Limit - s->InSegment));
}

// The sink that streams a retrieval into s's message, or its segments.
RemoteSink CVStreamSink(FtpSession *session, CVPutStream *s) {
  RemoteSink sink;
  CVDigestsStart(&s->Sha, 1u << REMOTE_SHA256);
  sink.Write = [session, s](const char *data, size_t n) {
    while (n > 0) {
      const size_t take = CVRoomFor(session, s, n);
      CVLONG c = -1;
      if (take == 0) return 1;
      CVDigestsAdd(&s->Sha, data, take);
      CVPUTDATA(session->Queue.Hconn, s->Hmsg, static_cast<CVLONG>(take), data, &c, &s->Reason);
      if (c != CVCC_OK) return 1;
      s->Size += static_cast<long long>(take);
      s->InSegment += static_cast<long long>(take);
      data += take;
      n -= take;
    }
    return 0;
  };
  sink.Splice = [session, s, write = sink.Write](int fd, size_t max, size_t *moved) {
    *moved = 0;
    // A full message becomes a segment only when more bytes follow: a file
    // of exactly one message's length stays one message.
    char next;
    if (s->InSegment >= s->Limit && recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return 0;
    const size_t room = CVRoomFor(session, s, std::min<size_t>(max, INT32_MAX));
    if (room == 0) return 1;
    const int behind = CVDigestBehind(session, s);
    if (behind < 0) return 1;
    if (behind == 0) {
      // A small body stays in memory: its bytes are read and digested here.
      s->Head.resize(kCVHeadPiece);
      ssize_t n;
      do {
        n = read(fd, s->Head.data(), std::min(room, s->Head.size()));
      } while (n < 0 && errno == EINTR);
      *moved = n > 0 ? static_cast<size_t>(n) : 0;
      return n < 0 ? -1 : n == 0 ? 0 : write(s->Head.data(), *moved);
    }
    CVLONG c = -1, got = 0;
    CVPUTFD(session->Queue.Hconn, s->Hmsg, fd, static_cast<CVLONG>(room), &got, &c, &s->Reason);
    *moved = static_cast<size_t>(got);
    s->Size += got;
    s->InSegment += got;
    CVHashReaderFeed(&s->Behind, static_cast<uint64_t>(s->InSegment), false);
    if (c != CVCC_OK && s->Reason == CVRC_BUFFER_ERROR) return -1;  // the connection failed
    return c == CVCC_OK ? 0 : 1;
  };
  return sink;
}

// The SHA-256 of the bytes s took, once they are all in; a persistent
// body is made durable meanwhile. Returns "" when the digest could not
// follow them (said).
std::string CVStreamSha256(FtpSession *session, CVPutStream *s) {
  if (!s->Behind.Thread.joinable()) return CVDigestHex(&s->Sha, REMOTE_SHA256);
  CVHashReaderFeed(&s->Behind, static_cast<uint64_t>(s->Size), true);
  if (session->Queue.Persistence == CVPER_PERSISTENT) {
    // The disk works while the digest is finished; a failure is the
    // completion's to tell.
    CVLONG cc = -1, reason = -1;
    CVPUTSYNC(session->Queue.Hconn, s->Hmsg, &cc, &reason);
  }
  if (CVHashReaderWait(&s->Behind) == 0) return CVDigestHex(&s->Behind.Digests, REMOTE_SHA256);
  std::printf("cvxfer: the SHA-256 of the file could not be taken: %s; the message has none\n",
              std::strerror(s->Behind.Error));
  return "";
}

// Ends a put stream that will not become a message, telling why (reason;
// 0: the transfer failed and said so). Returns 1.
int CVAbandonPut(FtpSession *session, CVPutStream *s, const char *name, CVLONG reason,
                 bool sinkRefused = false) {
  CVLONG cc = -1, r = -1;
  CVPUTCLOSE(session->Queue.Hconn, &s->Hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &cc, &r);
  // Segments already put go with the unit of work they are in: never half
  // a group on the queue.
  if (s->OwnUnit) CVBACK(session->Queue.Hconn, &cc, &r);
  if (reason == 0) return 1;
  CVEcho(session, "CVPUT");
  // A queue whose limit was not known in advance (a remote definition)
  // refuses the stream itself: said as the limit known in advance is.
  if (sinkRefused && reason == CVRC_MSG_TOO_BIG_FOR_Q) {
    std::printf("cvxfer: [%s] too large for one message; transfer abandoned.\n",
                FtpPrintable(name).c_str());
  }
  std::printf("Not putted on queue %s\n", ReasonString(reason));
  std::fflush(stdout);
  return CVFailed(session, reason);
}

// Completes s's message (the last segment of a group) with the source's
// properties, and commits the unit of work when it is this get's own;
// msgId gets the message's identifier. Returns 0, or 1 after saying why
// not (nothing was put).
int CVCompletePut(FtpSession *session, CVPutStream *s, const char *name, const CVBYTE *correlId,
                  CVBYTE *msgId) {
  CVMD md = CVFileDescriptor(session, correlId);
  if (s->Segments > 0) CVSegmentOf(s, &md, true);
  const std::string sha256 = CVStreamSha256(session, s);
  const std::string properties = CVSourceProperties(session, name, s->Size, sha256);
  CVLONG cc = -1, reason = -1;
  CVPUTCLOSE(session->Queue.Hconn, &s->Hmsg, CVSC_COMPLETE, &md,
             static_cast<CVLONG>(properties.size()), properties.data(), &cc, &reason);
  CVEcho(session, "CVPUT");
  std::memcpy(msgId, md.MsgId, CV_MSG_ID_LENGTH);
  if (cc != CVCC_OK && s->Hmsg != CVHM_UNUSABLE_HMSG) {
    CVLONG c, r;  // a refused descriptor or list leaves the stream open
    CVPUTCLOSE(session->Queue.Hconn, &s->Hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &c, &r);
  }
  if (s->OwnUnit) {
    CVLONG c = -1, r = -1;
    if (cc == CVCC_OK) {
      CVCMIT(session->Queue.Hconn, &c, &r);
      if (s->Segments > 0) CVEcho(session, "CVCMIT");
      if (c != CVCC_OK) cc = c, reason = r;
    }
    if (cc != CVCC_OK) CVBACK(session->Queue.Hconn, &c, &r);
  }
  if (cc != CVCC_OK) {
    std::printf("Not putted on queue %s\n", ReasonString(reason));
  } else if (session->Opt.Verbose) {
    std::printf("Putted on queue\n");
  }
  std::fflush(stdout);
  return cc == CVCC_OK ? 0 : CVFailed(session, reason);
}

// Retrieves remoteName into a message on the open queue as opts says
// (not after: that is CVGetFile's); msgId gets the message's identifier.
// Returns 0, or 1 after saying why not (nothing was put).
int CVGetInto(FtpSession *session, const char *remoteName, const CVGetOptions &opts,
              long long *bytes, CVBYTE *msgId) {
  if (remoteName != nullptr) FtpNoteObject(session, "%s", remoteName);
  // Without a queue to put on, the download would only be thrown away.
  if (CVTransferReady(session, remoteName, "Not putted on queue %s\n") != 0) return 1;
  // A file longer than a message of the queue becomes a group of segments
  // (of the segment setting's size, when smaller); a queue that cannot say
  // (a remote definition) and no setting leave one message and the
  // library's limit.
  CVLONG maxLength = INT32_MAX;
  const bool limitKnown =
      CVInquireInt(session, session->Queue.QName, CVIA_MAX_MSG_LENGTH, &maxLength) == 0;
  const long long segment = session->Opt.SegmentSize;
  const bool split = limitKnown || segment > 0;
  // The file streams into the message as it arrives; the message exists
  // only once the stream is complete. Segments need a unit of work, so
  // that a group is seen whole or not at all.
  CVPutStream s;
  if (split) s.Limit = segment > 0 && (!limitKnown || segment < maxLength) ? segment : maxLength;
  s.OwnUnit = split && !opts.Syncpoint;
  s.PmoOptions = opts.Syncpoint || split ? CVPMO_SYNCPOINT : CVPMO_NONE;
  s.CorrelId = opts.CorrelId;
  s.Name = opts.RecordAs != nullptr ? opts.RecordAs : remoteName;
  CVLONG cc = -1, reason = -1;
  CVPMO pmo = CVPMO_DEFAULT;
  pmo.Options = s.PmoOptions;
  CVPUTOPEN(session->Queue.Hconn, session->Queue.Hobj, &pmo, -1, &s.Hmsg, &cc, &reason);
  if (cc != CVCC_OK) {
    CVEcho(session, "CVPUT");
    std::printf("Not putted on queue %s\n", ReasonString(reason));
    std::fflush(stdout);
    return CVFailed(session, reason);
  }
  RemoteSink sink = CVStreamSink(session, &s);
  // A queue that refuses the stream itself drops what it was refused with:
  // the bytes go through memory then, so that what arrived is counted.
  if (!limitKnown) sink.Splice = nullptr;
  const int got = session->Remote->Retrieve(
      session, remoteName, sink, split ? UINT64_MAX : static_cast<uint64_t>(maxLength),
      opts.Expected);
  if (got == kRemoteTooLarge) return CVAbandonPut(session, &s, remoteName, CVRC_MSG_TOO_BIG_FOR_Q);
  if (got == kRemoteSinkFailed) return CVAbandonPut(session, &s, remoteName, s.Reason, true);
  if (got != 1) return CVAbandonPut(session, &s, remoteName, 0);
  const char *recordAs = opts.RecordAs != nullptr ? opts.RecordAs : remoteName;
  if (CVCompletePut(session, &s, recordAs, opts.CorrelId, msgId) != 0) return 1;
  *bytes = s.Size;
  return 0;
}

// The class of the running command's failure, for its event.
int CVFailureClass(const FtpSession *session) {
  if (session->Run.Interrupted) return FTP_EXIT_INTERRUPTED;
  return session->Run.Failure != 0 ? session->Run.Failure : FTP_EXIT_FAILED;
}

}  // namespace

int CVGetFile(FtpSession *session, const char *remoteName, const CVGetOptions &opts,
              long long *bytes) {
  const FtpEventInFlight busy;
  FtpEvent taken;
  taken.Kind = FTP_EVENT_TAKEN;
  taken.StartMs = FtpNowMs();
  CVBYTE msgId[CV_MSG_ID_LENGTH] = {};
  const int rc = CVGetInto(session, remoteName, opts, bytes, msgId);
  if (opts.MsgId != nullptr) std::memcpy(opts.MsgId, msgId, CV_MSG_ID_LENGTH);
  // A file got under syncpoint is the caller's to tell of, once committed;
  // a get without a name took nothing.
  if (opts.Syncpoint || remoteName == nullptr) return rc;
  taken.Path = opts.RecordAs != nullptr ? opts.RecordAs : remoteName;
  taken.MsgId = rc == 0 ? msgId : nullptr;
  taken.CorrelId = opts.CorrelId;
  taken.Bytes = rc == 0 ? *bytes : -1;
  taken.ExitClass = rc == 0 ? 0 : CVFailureClass(session);
  FtpEventSay(session, taken);
  // The put returned: the message is on the queue, so the remote file may go.
  return rc != 0 ? rc : CVFinishRemote(session, remoteName, opts.After);
}

namespace {

// ---- mget ----

// The key of a remote file as mget takes it: the server, the directory,
// the path, and the size and modification time where the server tells
// them, hashed into a correlation identifier that the file's message
// carries. *stat gets what the server told.
void CVSourceKey(FtpSession *session, const char *path, CVBYTE *key, RemoteStat *stat) {
  session->Remote->Stat(session, path, stat);
  const std::string text =
      session->Remote->Server(session) + "\n" + session->Remote->CurrentDir(session) + "\n" + path +
      "\n" + (stat->Size != UINT64_MAX ? std::to_string(stat->Size) : "") + "\n" + stat->Mtime;
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

// The account of one mget.
struct CVMGetAccount {
  int Files = 0;
  int Failed = 0;
  int FirstFailure = 0;
  long long Bytes = 0;
  std::vector<std::string> FailedNames;
};

// Counts a failure of what (a file or a listing) in class cls.
void CVMGetFailed(CVMGetAccount *account, const std::string &what, int cls) {
  account->Failed++;
  if (account->FirstFailure == 0) account->FirstFailure = cls != 0 ? cls : FTP_EXIT_FAILED;
  account->FailedNames.push_back(what);
}

// Takes the one listed file path for mget; counts the outcome in account.
// Takes path as a file that goes from the server afterwards: its message
// and its journal record key in one unit of work, so that two runs at once
// never both take it and a run never takes it again after its message was
// consumed. Returns 0 when taken (*size), 1 when it was taken before, 2
// when another run is taking it now (its clean-up is that run's), -1 after
// a failure.
int CVMGetHeld(FtpSession *session, const std::string &path, const CVBYTE *correl,
               const RemoteStat &stat, const std::string &key, long long *size) {
  if (CVJournaled(session, key)) return 1;
  const int recorded =
      CVGetAndRecord(session, path.c_str(), {nullptr, correl, stat.Size}, path, {key, "", false},
                     size);
  return recorded == 1 ? 2 : recorded;
}

void CVMGetFile(FtpSession *session, const FtpCVAfter *after, const std::string &path,
                CVMGetAccount *account) {
  const int saved = session->Run.Failure;
  session->Run.Failure = 0;
  CVBYTE key[CV_CORREL_ID_LENGTH];
  RemoteStat stat;
  CVSourceKey(session, path.c_str(), key, &stat);
  long long size = 0;
  // A match proves the file taken only when the server told both its size
  // and its time: otherwise a new version cannot be told from the old, and
  // a file is taken again rather than deleted on a guess.
  const bool provable = stat.Size != UINT64_MAX && !stat.Mtime.empty();
  const bool removes = after != nullptr && (after->Delete || after->MoveTo != nullptr);
  int taken;
  if (provable && CVOnQueue(session, key)) {
    // Its message is on the queue already (a run that died between the
    // put and the delete): its clean-up is what is left to do.
    taken = 1;
  } else if (provable && removes) {
    const std::string record =
        CVJournalKey(session, CVDirectory(session, path), CVBaseOf(path), stat);
    taken = CVMGetHeld(session, path, key, stat, record, &size);
  } else {
    taken = CVGetFile(session, path.c_str(), {after, key, stat.Size}, &size) == 0 ? 0 : -1;
    if (taken == 0) after = nullptr;  // done already
  }
  if (taken == 1) {
    std::printf("cvxfer: [%s] is on the queue already; not taken again\n",
                FtpPrintable(path).c_str());
    std::fflush(stdout);
  }
  if (taken == 2) {
    // Until that run commits, only it may remove the file.
    std::printf("cvxfer: [%s] is being taken by another run; left to it\n",
                FtpPrintable(path).c_str());
    std::fflush(stdout);
  } else if (taken < 0) {
    CVMGetFailed(account, path, session->Run.Failure);
  } else if (CVFinishRemote(session, path.c_str(), after) != 0) {
    CVMGetFailed(account, path, FTP_EXIT_REFUSED);
  } else if (taken == 0) {
    account->Files++;
    account->Bytes += size;
  }
  session->Run.Failure = saved;
}

// mget of one pattern: lists its directory and takes each name that
// matches, by shell rules (a leading dot is matched only by a dot).
void CVMGetPattern(FtpSession *session, const FtpCVAfter *after, const char *pattern,
                   CVMGetAccount *account) {
  const std::string dir = CVDirOf(pattern);
  const std::string glob = CVBaseOf(pattern);
  std::vector<std::string> names;
  const int saved = session->Run.Failure;
  session->Run.Failure = 0;
  const int listed = session->Remote->List(session, dir.empty() ? nullptr : dir.c_str(), &names);
  const int why = session->Run.Failure;
  session->Run.Failure = saved;
  if (listed != 0) {
    // Nothing is taken from a listing that cannot be trusted whole.
    CVMGetFailed(account, dir.empty() ? "the listing" : "the listing of " + dir, why);
    return;
  }
  for (const std::string &name : names) {
    if (session->Run.Interrupted || !session->Ctl.Connected) break;
    // Servers list "dir/name" or just "name"; the pattern decides on the name.
    const std::string base = CVBaseOf(name);
    if (fnmatch(glob.c_str(), base.c_str(), FNM_PERIOD) != 0) continue;
    if (base.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      // The name the server would be asked for is not the name it listed.
      std::printf("cvxfer: [%s] a listed name cannot hold NUL, CR or LF; not taken\n",
                  FtpPrintable(base).c_str());
      CVMGetFailed(account, FtpPrintable(base), FTP_EXIT_REFUSED);
      continue;
    }
    CVMGetFile(session, after, dir + base, account);
  }
}

// Prints the summary line of mget and mput, then the names that failed.
void CVSummary(const char *command, int files, long long bytes, int failed,
               const std::vector<std::string> &names = {}) {
  std::printf("cvxfer: %s: %d files, %lld bytes, %d failed\n", command, files, bytes, failed);
  for (const std::string &name : names) {
    std::printf("cvxfer: %s: failed: %s\n", command, FtpPrintable(name).c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int FtpGetCV(FtpSession *session, const char *remoteName, const FtpCVAfter *after) {
  long long bytes = 0;
  CVGetOptions opts;
  opts.After = after;
  // A file that goes from the server once its message is safe is proven
  // whole first by the size the server tells now, as mget does: a server
  // may end a transfer it cut short with 226 and not say the size in 150.
  if (remoteName != nullptr && after != nullptr && (after->Delete || after->MoveTo != nullptr) &&
      FtpCVQueueOpen(session) && FtpCmdSendable("RETR", remoteName)) {
    // (A name the get refuses is not asked about: the get says why.)
    RemoteStat stat;
    session->Remote->Stat(session, remoteName, &stat);
    opts.Expected = stat.Size;
  }
  return CVGetFile(session, remoteName, opts, &bytes);
}

int FtpMGetCV(FtpSession *session, const FtpCVAfter *after, int count,
              const char *const patterns[]) {
  CVMGetAccount account;
  for (int p = 0; p < count && session->Ctl.Connected && !session->Run.Interrupted; p++) {
    CVMGetPattern(session, after, patterns[p], &account);
  }
  CVSummary("mget", account.Files, account.Bytes, account.Failed, account.FailedNames);
  if (account.Failed == 0 && !session->Run.Interrupted) return 0;
  FtpNoteObject(session, "%d of %d files", account.Failed, account.Failed + account.Files);
  FtpFail(session, account.FirstFailure != 0 ? account.FirstFailure : FTP_EXIT_REFUSED);
  return 1;
}

namespace {

// ---- put ----

// The hidden temporary name a safe store of t's message as name goes
// through, derived from the message so that a later store of the same
// message finds what an earlier one left. Its identifier alone is not
// enough: a producer may set one itself, and the same on another message
// would resume a part of other bytes; when and how long the message was
// put tell the two apart. The transfer type too: a server writes the line
// ends of an ascii store its own way, so that part is not the message's
// first bytes and no binary store may resume it.
std::string CVTemporaryName(const char *name, const CVTaken *t, int type) {
  std::string facts(reinterpret_cast<const char *>(t->Md.MsgId), CV_MSG_ID_LENGTH);
  facts.append(t->Md.PutDate, sizeof(t->Md.PutDate)).append(t->Md.PutTime, sizeof(t->Md.PutTime));
  facts += "\n" + std::to_string(t->Length) + "\n" + std::to_string(type);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(facts.data()), facts.size(), digest);
  char tag[17];
  for (int i = 0; i < 8; i++) std::snprintf(tag + 2 * i, 3, "%02x", digest[i]);
  return CVDirOf(name) + "." + CVBaseOf(name) + ".cvxfer-" + tag + ".part";
}

// Marks the message msgId, held for a put, as stored under name with
// length bytes (CVMARK), or clears the mark (name null): a mark says the
// rename may have happened. A queue manager that cannot mark (a broker)
// keeps no record but tells whether it still holds the message. Returns
// CVMARK's reason.
CVLONG CVMarkStored(FtpSession *session, const CVBYTE *msgId, const char *name, uint64_t length) {
  std::string marks;
  CVAddProperty(&marks, "cv-stored-as", name != nullptr ? name : "");
  CVAddProperty(&marks, "cv-stored-size", name != nullptr ? std::to_string(length) : "");
  CVLONG cc = -1, reason = -1;
  CVMARK(session->Queue.Hconn, msgId, static_cast<CVLONG>(marks.size()), marks.data(), &cc,
         &reason);
  CVEcho(session, "CVMARK");
  return reason;
}

// Asks whether this connection still holds the message msgId (CVMARK of
// no marks, which changes nothing); returns CVMARK's reason.
CVLONG CVCheckHold(FtpSession *session, const CVBYTE *msgId) {
  CVLONG cc = -1, reason = -1;
  CVMARK(session->Queue.Hconn, msgId, 0, "", &cc, &reason);
  CVEcho(session, "CVMARK");
  return reason;
}

// Whether CVMARK's reason says the message is no longer held: the broker
// took it back (its consumer_timeout passed) and will hand it out again,
// so the file stored for it must not stay (what instead is done: "not
// renamed", "deleted"). Says so and fails the command.
bool CVHoldLost(FtpSession *session, const char *name, CVLONG reason, const char *instead) {
  if (reason != CVRC_BACKED_OUT) return false;
  std::printf("cvxfer: [%s] the broker took the message back (its consumer_timeout passed) "
              "before the store finished; %s\n",
              FtpPrintable(name).c_str(), instead);
  std::fflush(stdout);
  CVFailed(session, reason);
  return true;
}

// Runs a clean-up command even after an interrupt ended the command: what
// it removes would otherwise outlive its message on the server.
void CVCleanUp(FtpSession *session, const std::string &temp) {
  if (!session->Ctl.Connected) return;
  const int interrupted = session->Run.Interrupted;
  // The reply that failed the store, not the clean-up's, tells why.
  const int code = session->Ctl.ReplyCode;
  char text[kFtpReplyMax];
  std::memcpy(text, session->Ctl.ReplyText, sizeof(text));
  session->Run.Interrupted = 0;
  session->Remote->Delete(session, temp.c_str());
  session->Run.Interrupted = interrupted;
  session->Ctl.ReplyCode = code;
  std::memcpy(session->Ctl.ReplyText, text, sizeof(text));
}

// Renames temp to name, the mark recorded first: should this process die
// between the rename and the commit, the message comes back knowing that it
// may have been stored. A rename known not to have happened clears the
// mark. Returns 1 when name holds the file, 0 when the rename did not
// happen, -1 when nobody knows (the connection was lost or the wait for
// the reply interrupted): the mark stays, and so must temp, as after a
// death there, for the next store of the message to finish.
int CVRenameMarked(FtpSession *session, const std::string &temp, const char *name,
                   const CVBYTE *msgId, uint64_t length) {
  if (CVHoldLost(session, name, CVMarkStored(session, msgId, name, length), "not renamed")) {
    return 0;
  }
  if (session->Remote->Rename(session, temp.c_str(), name) == 0) return 1;
  if (!session->Ctl.Connected || session->Run.Interrupted) return -1;
  CVMarkStored(session, msgId, nullptr, 0);
  return 0;
}

// Where a store of length bytes as temp begins: at the size of what an
// earlier store of the same message left there, when that is a part (more
// than nothing, less than all; said), else at 0. Only in binary mode: in
// another the server counts the bytes of its file in its own way. The part
// is trusted to hold the message's first bytes (its name is the message's
// own, and servers write a store in order); the check after the store is
// what would catch one that does not.
uint64_t CVResumeAt(FtpSession *session, const std::string &temp, uint64_t length) {
  if (session->Opt.TransferType != FTP_TYPE_BINARY) return 0;
  RemoteStat stat;
  session->Remote->Stat(session, temp.c_str(), &stat);
  if (stat.Size == 0 || stat.Size == UINT64_MAX || stat.Size >= length) return 0;
  std::printf("cvxfer: [%s] resuming at byte %llu", FtpPrintable(temp).c_str(),
              static_cast<unsigned long long>(stat.Size));
  // (A group's length is known only at its end.)
  if (length != kRemoteLengthUnknown) std::printf(" of %llu", static_cast<unsigned long long>(length));
  std::printf("\n");
  std::fflush(stdout);
  return stat.Size;
}

// Whether a store cut short leaves its temporary file for the next store of
// the message to resume: it was cut by an interrupt, SIGTERM, a lost or
// timed-out connection or a 4xx reply, so the message is backed out and
// comes back. A refusal for good (5xx) leaves nothing worth resuming, nor
// does a store in another mode than binary (CVResumeAt).
bool CVKeepsPart(const FtpSession *session) {
  return session->Opt.TransferType == FTP_TYPE_BINARY &&
         (session->Run.Interrupted || FtpInterruptPending() || FtpTerminatePending() ||
          FtpFailureTransient(session));
}

// What a store of t is checked against once its source was read: the
// file's length, and for a group the digest its last segment names.
void CVCheckWhole(const CVTaken *t, CVVerify *check) {
  check->Length = static_cast<uint64_t>(t->Total);
  if ((t->Md.MsgFlags & CVMF_MSG_IN_GROUP) != 0) {
    const char *sha = CVProperty(t->Props.data(), t->PropLength, "cv-file-sha256");
    check->Expected = sha != nullptr ? sha : "";
  }
}

// Stores source as name through a hidden temporary name in the same
// directory: store there (resuming what an earlier store of the message
// left), check it as check says (verify.h), then rename. A store cut
// short for a while keeps its temporary file (CVKeepsPart); on any other
// failure it is deleted. Either way name never holds a partial file; t is
// the message the source reads. Returns 1 when name holds the whole file,
// else 0.
//
// A kept part belongs to its message: its name comes from the message's
// identifier, put time and length, so only a store of that message resumes
// it, in that directory under that name. If the message goes elsewhere
// (consumed by another program, stored under another name) the part stays on the
// server, a hidden ".NAME.cvxfer-TAG.part" that the watch modes never
// take; it is for the server's housekeeping to remove by age.
int CVStoreSafely(FtpSession *session, const char *name, const RemoteSource &source,
                  CVTaken *t, CVVerify *check) {
  const CVBYTE *msgId = t->Md.MsgId;
  const std::string temp = CVTemporaryName(name, t, session->Opt.TransferType);
  // A message without an identifier (a broker's foreign publisher) shares
  // its temporary name with every other of the same name: nothing of it
  // is resumed, nor kept for that.
  const bool own = std::any_of(msgId, msgId + CV_MSG_ID_LENGTH, [](CVBYTE b) { return b != 0; });
  RemoteSource resumed = source;
  resumed.Offset = own ? CVResumeAt(session, temp, source.Length) : 0;
  const int stored = session->Remote->Store(session, temp.c_str(), resumed);
  CVCheckWhole(t, check);
  const uint64_t length = check->Length;
  int renamed = 0;
  if (stored == 1 && !session->Run.Interrupted && CVVerifyStored(session, temp.c_str(), check) &&
      session->Ctl.Connected) {
    renamed = CVRenameMarked(session, temp, name, msgId, length);
    if (renamed == 1) return 1;
  }
  FtpFail(session, FTP_EXIT_REFUSED);
  if (renamed < 0) return 0;
  if (stored != 1 && own && CVKeepsPart(session)) {
    std::printf("cvxfer: [%s] kept; the next store of this message resumes it\n",
                FtpPrintable(temp).c_str());
    std::fflush(stdout);
    return 0;
  }
  CVCleanUp(session, temp);
  return 0;
}

// A message marked as stored under name (cv-stored-as, cv-stored-size)
// came back: this process or an earlier one died between the mark and the
// commit. Finishes what was left: when its temporary file is still there
// the rename never happened (it is renamed now if whole, else the store is
// done again); when it is gone and name has the size, the rename happened.
// Returns 1 when name holds the message's file now, 0 when it must be
// stored, -1 when the rename failed (recorded; storing again would only
// meet the same refusal, and its reply is the one to report).
int CVFinishMarked(FtpSession *session, const char *name, const char *size, const CVTaken *t) {
  const uint64_t length = std::strtoull(size, nullptr, 10);
  if (session->Opt.TransferType != FTP_TYPE_BINARY) return 0;
  const CVBYTE *msgId = t->Md.MsgId;
  const std::string temp = CVTemporaryName(name, t, session->Opt.TransferType);
  RemoteStat tempStat, nameStat;
  session->Remote->Stat(session, temp.c_str(), &tempStat);
  if (tempStat.Size == length) {
    const int renamed = CVRenameMarked(session, temp, name, msgId, length);
    if (renamed == 1) return 1;
    // A refusal for good leaves nothing worth keeping, as after a store.
    if (renamed == 0 && session->Ctl.Connected && !CVKeepsPart(session)) CVCleanUp(session, temp);
    return -1;
  }
  if (tempStat.Size != UINT64_MAX) return 0;  // a partial temporary file: store again
  session->Remote->Stat(session, name, &nameStat);
  return nameStat.Size == length ? 1 : 0;
}

// Looks at the first message of the open queue without taking it and
// finds its file name (cv-file-name) into *name and its identifier into
// msgId. Returns 0; 1 after saying why not (an empty queue, only recorded
// when emptyIsEnd); 2 after saying the message has no usable name (none,
// or one that would choose a directory; its identifier in msgId); -1 when
// the queue manager cannot look without taking (a broker): the caller takes
// the message and looks then.
int CVNextFileName(FtpSession *session, std::string *name, CVBYTE *msgId, bool emptyIsEnd) {
  CVMD md = CVMD_DEFAULT;
  CVLONG propLength = 0, cc = -1, reason = -1;
  const CVCHAR *props = CVBrowseFirst(session, &md, &propLength, &cc, &reason);
  if (reason == CVRC_FUNCTION_NOT_SUPPORTED) return -1;
  if (cc == CVCC_FAILED) {
    if (!emptyIsEnd || reason != CVRC_NO_MSG_AVAILABLE) {
      std::printf("Message not getted from queue %s\n", ReasonString(reason));
      std::fflush(stdout);
    }
    return CVFailed(session, reason);
  }
  std::memcpy(msgId, md.MsgId, CV_MSG_ID_LENGTH);
  const char *value = CVProperty(props, propLength, "cv-file-name");
  if (value == nullptr) {
    std::printf("No file specified.\n");
    std::fflush(stdout);
    return 2;
  }
  if (!CVSafeBaseName(value)) {
    std::printf("cvxfer: [%s] a message's file name cannot choose a directory; not stored\n",
                FtpPrintable(value).c_str());
    std::fflush(stdout);
    return 2;
  }
  *name = value;
  return 0;
}

// Chooses the remote name of a put: the one given, else the message's own
// (cv-file-name), looked at before the message is taken where the queue
// manager can (then its identifier goes to t->Md), else after (*after).
// Returns 0; 1 after saying why not; 2 when the next message has no usable
// name (its identifier in t->Md).
int CVChooseName(FtpSession *session, const char *given, CVTaken *t, bool *after) {
  *after = false;
  std::memset(t->Md.MsgId, 0, sizeof(t->Md.MsgId));
  if (given != nullptr && given[0] != '\0') {
    t->Name = given;
  } else {
    if (CVTransferReady(session, ".", "Message not getted from queue %s\n") != 0) return 1;
    const int found = CVNextFileName(session, &t->Name, t->Md.MsgId, t->EmptyIsEnd);
    if (found > 0) return found;
    *after = found < 0;
    if (*after) t->Name = ".";
  }
  return CVTransferReady(session, t->Name.c_str(), "Message not getted from queue %s\n");
}

// What one put did.
struct CVPutDone {
  long long Bytes = 0;   // the file's length, once stored
  std::string Name;      // the remote name chosen ("" before one was)
  bool NoName = false;   // the message has no usable name of its own
  CVBYTE MsgId[CV_MSG_ID_LENGTH] = {};  // its identifier then
};

// put of one message as *done tells. A loop of puts (emptyIsEnd) ends at an
// empty queue without saying so. Returns 0 once stored, else 1.
int CVPutOne(FtpSession *session, const char *remoteName, CVPutDone *done,
             bool emptyIsEnd = false) {
  CVTaken t;
  t.EmptyIsEnd = emptyIsEnd;
  bool nameAfter = false;
  const int chosen = CVChooseName(session, remoteName, &t, &nameAfter);
  if (chosen == 0) {
    if (t.Name != ".") FtpNoteObject(session, "%s", t.Name.c_str());
    if (CVTakeMessage(session, &t) != 0) return 1;
  }
  // A name looked at before the take, or after it where only that can be.
  done->NoName = chosen == 2 || (chosen == 0 && nameAfter && !CVNameAfter(&t));
  std::memcpy(done->MsgId, t.Md.MsgId, CV_MSG_ID_LENGTH);
  if (chosen != 0) return 1;
  // Nothing is committed after an interrupt: the user asked for the
  // command to be abandoned.
  const bool stored = !done->NoName && CVStoreMessage(session, &t) &&
                      !session->Run.Interrupted && !FtpInterruptPending();
  done->Name = t.Name != "." ? t.Name : "";
  if (CVSettle(session, &t, stored) != 0) return 1;
  done->Bytes = t.Total;
  return 0;
}

}  // namespace

int FtpPutCV(FtpSession *session, const char *remoteName) {
  CVPutDone done;
  return CVPutOne(session, remoteName, &done);
}

int FtpMPutCV(FtpSession *session, long count) {
  int files = 0, failed = 0;
  long long bytes = 0;
  std::vector<std::string> failedNames;
  while (count == 0 || files < count) {
    const int saved = session->Run.Failure;
    session->Run.Failure = 0;
    CVPutDone done;
    const int rc = CVPutOne(session, nullptr, &done, true);
    const int why = session->Run.Failure;
    session->Run.Failure = saved;
    if (rc != 0 && done.NoName && why == 0 &&
        CVSetAside(session, done.MsgId, "no usable cv-file-name")) {
      // It would come first again and stop every later mput: it goes to the
      // backout queue, the run goes on and ends failed.
      failed++;
      failedNames.push_back("a message without a usable name, moved to the backout queue");
      FtpFail(session, FTP_EXIT_FAILED);
      continue;
    }
    if (rc != 0) {
      // An empty queue is the end of the job; anything else stops it too,
      // since the same message would come first again.
      if (why != FTP_EXIT_NO_MESSAGE) {
        failed++;
        failedNames.push_back(done.Name.empty() ? "the next message (no usable name)" : done.Name);
        FtpFail(session, why != 0 ? why : FTP_EXIT_FAILED);
      }
      break;
    }
    files++;
    bytes += done.Bytes;
  }
  CVSummary("mput", files, bytes, failed, failedNames);
  return failed;
}

// ---- steps shared with the watch (bridge_steps.h) ----

// The directory part of path with its slash ("" for none), and the rest.
std::string CVDirOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string CVBaseOf(const std::string &path) {
  return path.substr(CVDirOf(path).size());
}

// Where path lies: its directory part made absolute against the current
// directory (as the server named it), without a trailing slash.
std::string CVDirectory(FtpSession *session, const std::string &path) {
  std::string dir = CVDirOf(path);
  if (!dir.empty() && dir != "/") dir.pop_back();
  if (!dir.empty() && dir[0] == '/') return dir;
  const std::string current = session->Remote->CurrentDir(session);
  if (dir.empty()) return current;
  if (current.empty()) return dir;
  return current + (current.back() == '/' ? "" : "/") + dir;
}

// Deletes the remote file name or moves it into after->MoveTo; called only
// once its message is safely on the queue. Returns 0, or 1 (the file stays
// where it was; the message stays on the queue).
int CVFinishRemote(FtpSession *session, const char *name, const FtpCVAfter *after) {
  if (after == nullptr || (!after->Delete && after->MoveTo == nullptr)) return 0;
  if (after->Delete) {
    if (session->Remote->Delete(session, name) == 0) return 0;
  } else {
    const std::string target = std::string(after->MoveTo) + "/" + CVBaseOf(name);
    if (session->Remote->Rename(session, name, target.c_str()) == 0) return 0;
  }
  std::printf("cvxfer: [%s] is on the queue but stays on the server: it could not be %s\n",
              FtpPrintable(name).c_str(), after->Delete ? "deleted" : "moved");
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_REFUSED);
  return 1;
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
  CVGETP(session->Queue.Hconn, session->Queue.Hobj, md, &gmo, static_cast<CVLONG>(props.size()),
         props.data(), propLength, 0, none, &dataLength, cc, reason);
  CVEcho(session, "CVGET");
  return props.data();
}

// A file name that a message's property gives: a base name only, so that a
// message never chooses where a file goes.
bool CVSafeBaseName(const char *name) {
  return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0 && std::strpbrk(name, "\r\n") == nullptr;
}

// Takes the message (the one looked at, or any) under syncpoint and opens
// its body as a stream. Returns 0, or 1 after saying why not.
int CVTakeMessage(FtpSession *session, CVTaken *t) {
  CVGMO gmo = CVGMO_DEFAULT;
  // A group is taken whole, from its first segment, or not at all.
  gmo.Options = kGetOptions | CVGMO_ALL_MSGS_AVAILABLE | CVGMO_LOGICAL_ORDER |
                (t->WaitMs > 0 ? CVGMO_WAIT : 0);
  gmo.WaitInterval = t->WaitMs;
  std::memset(t->Md.CorrelId, 0, sizeof(t->Md.CorrelId));
  t->Md.Encoding = CVENC_NATIVE;
  t->Md.CodedCharSetId = CVCCSI_Q_MGR;
  CVLONG cc = -1, reason = -1;
  // The body is streamed to the server, never read into memory whole.
  CVGETOPEN(session->Queue.Hconn, session->Queue.Hobj, &t->Md, &gmo,
            static_cast<CVLONG>(t->Props.size()), t->Props.data(), &t->PropLength, &t->Length,
            &t->Hmsg, &cc, &reason);
  CVEcho(session, "CVGET");
  if (cc != CVCC_OK) {
    // A wait that found nothing is no news to a watch, nor to a loop of puts.
    if (reason != CVRC_NO_MSG_AVAILABLE || (t->WaitMs == 0 && !t->EmptyIsEnd)) {
      std::printf("Message not getted from queue %s\n", ReasonString(reason));
      std::fflush(stdout);
    }
    return CVFailed(session, reason);
  }
  t->StartMs = FtpNowMs();
  t->Total = t->Length;
  t->Segment = t->Md.MsgSeqNumber;
  if (session->Opt.Verbose) {
    std::printf("Message getted from queue : %ld bytes\n", static_cast<long>(t->Length));
    std::fflush(stdout);
  }
  return 0;
}

// The message's own name, for a queue manager that could not show it
// before the message was taken. Returns false after saying why there is
// none.
bool CVNameAfter(CVTaken *t) {
  const char *value = CVProperty(t->Props.data(), t->PropLength, "cv-file-name");
  if (value != nullptr && CVSafeBaseName(value)) {
    t->Name = value;
    return true;
  }
  std::printf(value == nullptr ? "No file specified.\n"
                               : "cvxfer: a message's file name cannot choose a directory\n");
  return false;
}

namespace {

// Takes the next segment of t's group into the unit of work, in order,
// as t's open stream; t->Props become its properties (the last segment's
// tell the whole file). Returns 0, or 1 after saying why not.
int CVNextGroupSegment(FtpSession *session, CVTaken *t) {
  CVLONG cc = -1, reason = -1, length = 0;
  CVGETCLOSE(session->Queue.Hconn, &t->Hmsg, CVSC_COMPLETE, &cc, &reason);
  CVMD md = CVMD_DEFAULT;
  std::memcpy(md.GroupId, t->Md.GroupId, sizeof(md.GroupId));
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = kGetOptions | CVGMO_LOGICAL_ORDER;
  CVGETOPEN(session->Queue.Hconn, session->Queue.Hobj, &md, &gmo,
            static_cast<CVLONG>(t->Props.size()), t->Props.data(), &t->PropLength, &length,
            &t->Hmsg, &cc, &reason);
  CVEcho(session, "CVGET");
  if (cc != CVCC_OK && reason == CVRC_NO_MSG_AVAILABLE) {
    std::printf("cvxfer: segment %ld of the group is not on the queue; not stored\n",
                static_cast<long>(t->Segment + 1));
  } else if (cc != CVCC_OK) {
    std::printf("Message not getted from queue %s\n", ReasonString(reason));
  }
  if (cc != CVCC_OK) {
    std::fflush(stdout);
    // A missing segment is a queue's fault, not an empty queue that would
    // end a loop of puts as done.
    return CVFailed(session, reason == CVRC_NO_MSG_AVAILABLE ? CVRC_OBJECT_DAMAGED : reason);
  }
  if (md.MsgSeqNumber != t->Segment + 1 || md.Offset != t->Total) {
    std::printf("cvxfer: segment %ld of the group begins at byte %lld, not %lld; not stored\n",
                static_cast<long>(md.MsgSeqNumber), static_cast<long long>(md.Offset), t->Total);
    std::fflush(stdout);
    return CVFailed(session, CVRC_OBJECT_DAMAGED);
  }
  t->Segment = md.MsgSeqNumber;
  t->Md.MsgFlags = md.MsgFlags;
  return 0;
}

// Reads the next bytes of t's file: its body, then the next segment's
// when it is a group (see RemoteSource::Read). t->Total counts them.
int CVReadGroup(FtpSession *session, CVTaken *t, char *buffer, size_t n, size_t *got) {
  for (;;) {
    CVLONG cc = -1, reason = -1, length = 0;
    CVGETDATA(session->Queue.Hconn, t->Hmsg, static_cast<CVLONG>(std::min<size_t>(n, INT32_MAX)),
              buffer, &length, &cc, &reason);
    if (cc != CVCC_OK) {
      std::printf("Message not getted from queue %s\n", ReasonString(reason));
      std::fflush(stdout);
      return 1;
    }
    *got = static_cast<size_t>(length);
    t->Total += length;
    if (length > 0 || (t->Md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0) return 0;
    if (CVNextGroupSegment(session, t) != 0) return 1;
  }
}

}  // namespace

// Stores the taken message as t->Name: from the body's file where the
// queue manager can hand it over (sendfile then moves it), else piece by
// piece; safely when asked. A message marked as stored under this name
// (this process or an earlier one died before the commit) is finished
// instead. Returns true when the file is whole on the server.
bool CVStoreMessage(FtpSession *session, CVTaken *t) {
  const FtpEventInFlight busy;
  const char *name = t->Name.c_str();
  const char *storedAs = CVProperty(t->Props.data(), t->PropLength, "cv-stored-as");
  const char *storedSize = CVProperty(t->Props.data(), t->PropLength, "cv-stored-size");
  if (storedAs != nullptr && storedSize != nullptr && storedSize[0] != '\0' &&
      std::strcmp(storedAs, name) == 0) {
    const int finished = CVFinishMarked(session, name, storedSize, t);
    if (finished < 0) return false;
    if (finished == 1) {
      std::printf("cvxfer: [%s] was stored whole before; committed without storing it again\n",
                  FtpPrintable(name).c_str());
      std::fflush(stdout);
      return true;
    }
  }
  // A broker cannot mark a message: one it hands out again (its holder died
  // after the rename, or the broker lost the acknowledgement) is believed
  // stored only when the server's file is provably its file.
  if (session->Opt.SafePut && t->Md.BackoutCount > 0 &&
      (t->Md.MsgFlags & CVMF_MSG_IN_GROUP) == 0 &&
      CVHoldsFile(session, name, static_cast<uint64_t>(t->Length),
                  CVProperty(t->Props.data(), t->PropLength, "cv-file-sha256"))) {
    std::printf("cvxfer: [%s] delivered again and already on the server, its SHA-256 the "
                "server's; committed without storing it again\n",
                FtpPrintable(name).c_str());
    std::fflush(stdout);
    return true;
  }
  RemoteSource source;
  source.Length = static_cast<uint64_t>(t->Length);
  CVLONG cc = -1, reason = -1;
  CVGETFD(session->Queue.Hconn, t->Hmsg, &source.Fd, &cc, &reason);
  if (cc != CVCC_OK) source.Fd = -1;
  source.Read = [session, t](char *buffer, size_t n, size_t *got) {
    CVLONG c = -1, r = -1, length = 0;
    CVGETDATA(session->Queue.Hconn, t->Hmsg, static_cast<CVLONG>(n), buffer, &length, &c, &r);
    *got = static_cast<size_t>(length);
    if (c == CVCC_OK) return 0;
    std::printf("Message not getted from queue %s\n", ReasonString(r));
    return 1;
  };
  const bool group = (t->Md.MsgFlags & CVMF_MSG_IN_GROUP) != 0;
  if (group) {
    // A group's length is known at its end; its segments come one by one.
    if (source.Fd >= 0) close(source.Fd);
    source.Fd = -1;
    source.Length = kRemoteLengthUnknown;
    t->Total = 0;
    source.Read = [session, t](char *buffer, size_t n, size_t *got) {
      return CVReadGroup(session, t, buffer, n, got);
    };
  }
  // A group names its digest on its last segment, read last: the SHA-256
  // is taken meanwhile and compared with what that segment says.
  CVVerify check;
  CVVerifyBegin(session, name,
                group ? "" : CVProperty(t->Props.data(), t->PropLength, "cv-file-sha256"),
                &source, &check, group);
  int stored = session->Opt.SafePut ? CVStoreSafely(session, name, source, t, &check)
                                    : session->Remote->Store(session, name, source);
  if (!session->Opt.SafePut) CVCheckWhole(t, &check);
  if (!session->Opt.SafePut && stored == 1 && !session->Run.Interrupted &&
      !CVVerifyStored(session, name, &check)) {
    CVCleanUp(session, name);  // known bad
    stored = 0;
  }
  if (source.Fd >= 0) close(source.Fd);
  // A plain store is in place at once: one whose message went back is
  // deleted, to be stored again with it.
  if (stored == 1 && !session->Opt.SafePut &&
      CVHoldLost(session, name, CVCheckHold(session, t->Md.MsgId), "deleted")) {
    CVCleanUp(session, name);
    stored = 0;
  }
  return stored == 1;
}

// Commits the message's removal after a whole store, else backs it out.
// Returns 0 when it was committed.
int CVSettle(FtpSession *session, CVTaken *t, bool stored) {
  FtpEvent settled;
  settled.Kind = stored ? FTP_EVENT_STORED : FTP_EVENT_BACKED_OUT;
  settled.ExitClass = stored ? 0 : CVFailureClass(session);
  CVLONG cc = -1, reason = -1;
  CVGETCLOSE(session->Queue.Hconn, &t->Hmsg, CVSC_COMPLETE, &cc, &reason);
  cc = reason = -1;
  if (stored) {
    CVCMIT(session->Queue.Hconn, &cc, &reason);
    CVEcho(session, "CVCMIT");
    if (cc != CVCC_OK) {
      // The remote copy exists but the message is not gone from the queue.
      std::printf("Message not commited %s\n", ReasonString(reason));
      CVFailed(session, reason);
      settled.ExitClass = FTP_EXIT_QUEUE;
    } else if (session->Opt.Verbose) {
      std::printf("Message commited\n");
    }
  } else {
    CVBACK(session->Queue.Hconn, &cc, &reason);
    CVEcho(session, "CVBACK");
    if (cc != CVCC_OK) {
      std::printf("Message not backed out %s\n", ReasonString(reason));
      CVFailed(session, reason);
    } else {
      std::printf("Message backed out\n");
    }
  }
  std::fflush(stdout);
  if (t->Name != ".") settled.Path = t->Name;
  settled.MsgId = t->Md.MsgId;
  settled.CorrelId = t->Md.CorrelId;
  settled.Bytes = stored ? t->Total : -1;
  settled.StartMs = t->StartMs;
  FtpEventSay(session, settled);
  return stored && cc == CVCC_OK ? 0 : 1;
}

std::string CVJournalKey(FtpSession *session, const std::string &absDir, const std::string &base,
                         const RemoteStat &stat) {
  return std::string(kCVJournalIn) + session->Remote->Server(session) + "\n" + absDir + "/" + base +
         "\n" + std::to_string(stat.Size) + "\n" + stat.Mtime;
}

bool CVJournaled(FtpSession *session, const std::string &key) {
  char value[64];
  CVLONG length = 0, cc = -1, reason = -1;
  CVJGET(session->Queue.Hconn, static_cast<CVLONG>(key.size()), key.data(), sizeof(value), value,
         &length, &cc, &reason);
  return cc != CVCC_FAILED;
}

int CVJournalLook(FtpSession *session, const CVRecord &record) {
  char value[512];
  CVLONG length = 0, cc = -1, reason = -1;
  CVJGET(session->Queue.Hconn, static_cast<CVLONG>(record.Key.size()), record.Key.data(),
         sizeof(value), value, &length, &cc, &reason);
  if (cc == CVCC_FAILED) return CV_NOT_TAKEN;
  // A value cut short, or one without a unique fact, cannot tell files apart.
  if (cc != CVCC_OK || record.Unique.empty()) return CV_TAKEN;
  const std::string_view text(value, static_cast<size_t>(length));
  const size_t at = text.find(" unique ");
  if (at == std::string_view::npos) return CV_TAKEN;
  return text.substr(at + 8) == record.Unique ? CV_TAKEN : CV_TAKEN_ANOTHER;
}

int CVGetAndRecord(FtpSession *session, const char *from, CVGetOptions opts,
                   const std::string &path, const CVRecord &record, long long *bytes) {
  FtpEvent taken;
  taken.Kind = FTP_EVENT_TAKEN;
  taken.StartMs = FtpNowMs();
  CVBYTE msgId[CV_MSG_ID_LENGTH] = {};
  opts.Syncpoint = true;
  opts.RecordAs = path.c_str();
  opts.MsgId = msgId;
  int rc = CVGetFile(session, from, opts, bytes) == 0 ? 0 : -1;
  if (rc != 0) {
    CVLONG cc = -1, reason = -1;
    CVBACK(session->Queue.Hconn, &cc, &reason);
    CVEcho(session, "CVBACK");
  } else {
    rc = CVRecordAndCommit(session, path, record);
  }
  if (rc == 1) return rc;  // another run's message is the one: nothing of this one is left
  taken.Path = path;
  taken.MsgId = rc == 0 ? msgId : nullptr;
  taken.CorrelId = opts.CorrelId;
  taken.Bytes = rc == 0 ? *bytes : -1;
  taken.ExitClass = rc == 0 ? 0 : CVFailureClass(session);
  FtpEventSay(session, taken);
  return rc;
}

int CVRecordAndCommit(FtpSession *session, const std::string &path, const CVRecord &record) {
  std::string value = "taken " + std::to_string(static_cast<long long>(time(nullptr)));
  if (!record.Unique.empty()) value += " unique " + record.Unique;
  CVLONG cc = -1, reason = -1;
  const CVLONG options = CVJO_SYNCPOINT | (record.Replace ? CVJO_REPLACE : 0);
  CVJPUT(session->Queue.Hconn, static_cast<CVLONG>(record.Key.size()), record.Key.data(),
         static_cast<CVLONG>(value.size()), value.data(), options, &cc, &reason);
  if (cc == CVCC_OK) {
    CVCMIT(session->Queue.Hconn, &cc, &reason);
    CVEcho(session, "CVCMIT");
    if (cc == CVCC_OK) return 0;
  }
  CVLONG c = -1, r = -1;
  CVBACK(session->Queue.Hconn, &c, &r);
  CVEcho(session, "CVBACK");
  if (reason == CVRC_JOURNAL_KEY_EXISTS) return 1;
  std::printf("cvxfer: [%s] not recorded, %s\n", FtpPrintable(path).c_str(), ReasonString(reason));
  std::fflush(stdout);
  CVFailed(session, reason);
  return -1;
}
