// corvane.cpp - the queue calls: handle, option and argument checks, the
// wait of a get, then dispatch to the backend of the connected queue
// manager. One connection per process, one lock over it.
#include "corvane.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <algorithm>
#include <climits>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "backend.h"

namespace corvane {
namespace {

constexpr CVHCONN kHconn = 0x43560001;  // the one connection's handle
constexpr size_t kMaxObjects = 4096;
constexpr CVLONG kInputOptions = CVOO_INPUT_AS_Q_DEF | CVOO_INPUT_SHARED | CVOO_INPUT_EXCLUSIVE;
// A waiting get looks this often; a negative wait interval waits a day.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr CVLONG kUnlimitedWaitMs = 24L * 3600 * 1000;

struct OpenObject {
  bool InUse = false;
  bool QmgrObject = false;
  CVLONG Options = 0;
  QueueDef Queue;
  int64_t BrowseCursor = 0;  // the backend's name of the message browsed last
  // A group being taken in logical order on this handle: its identifier
  // and the segment the next such get takes (0: none in the middle).
  CVBYTE GroupId[CV_GROUP_ID_LENGTH] = {0};
  CVLONG NextSeq = 0;
};

// The connection's open stream, if any.
struct OpenStream {
  CVHMSG Handle = CVHM_UNUSABLE_HMSG;
  bool Syncpoint = false;
  CVLONG Broken = 0;  // a put stream's failure, reported again at completion
  std::unique_ptr<PutStream> Put;
  std::unique_ptr<GetStream> Get;
};

struct Process {
  std::mutex Lock;
  std::unique_ptr<Backend> Conn;
  pid_t Owner = 0;  // a forked child does not inherit the connection
  std::vector<OpenObject> Objects;
  OpenStream Stream;
  CVHMSG LastHandle = 0;
};

// Ends the open stream, abandoning a put stream's message. Before the
// backend goes: a stream uses it.
void EndStream(Process &p) {
  p.Stream.Put.reset();
  p.Stream.Get.reset();
  p.Stream = OpenStream();
}

// The open stream hmsg names, of the kind asked for (put or get), or null.
OpenStream *Stream(Process &p, CVHMSG hmsg, bool put) {
  OpenStream &s = p.Stream;
  if (hmsg == CVHM_UNUSABLE_HMSG || hmsg != s.Handle) return nullptr;
  return (put ? s.Put != nullptr : s.Get != nullptr) ? &s : nullptr;
}

// A new handle for the stream about to open: 0 or a reason.
CVLONG NewStream(Process &p, CVHMSG *hmsg) {
  if (hmsg == nullptr) return CVRC_HMSG_ERROR;
  if (p.Stream.Handle != CVHM_UNUSABLE_HMSG) {
    SetCause("a stream is open on this connection already");
    return CVRC_HANDLE_NOT_AVAILABLE;
  }
  p.LastHandle = p.LastHandle == INT32_MAX ? 1 : p.LastHandle + 1;
  return 0;
}

Process &State() {
  static Process *p = new Process;  // lives until exit; never destroyed twice
  return *p;
}

void Report(CVLONG rc, CVLONG *cc, CVLONG *reason) {
  *reason = rc;
  if (rc == 0) {
    *cc = CVCC_OK;
    ClearCause();
  } else if (rc == CVRC_TRUNCATED_MSG_ACCEPTED || rc == CVRC_ALREADY_CONNECTED) {
    *cc = CVCC_WARNING;
  } else {
    *cc = CVCC_FAILED;
  }
}

// Whether a call leaves an open get stream as it is (the stream's own
// calls) or ends it first (every other call: a broker sends a body's frames
// on the connection every call uses, so nothing else may come between them).
enum class GetStreamUse { kEnds, kKeeps };

// Runs body(process) under the lock when hconn is this process's
// connection; returns its reason, else CVRC_HCONN_ERROR. A unit of work
// that body found backed out (CVRC_BACKED_OUT) returned its segments, as
// CVBACK does: no handle is left in the middle of a group.
template <typename Body>
CVLONG OnConnection(CVHCONN hconn, Body body, GetStreamUse use = GetStreamUse::kEnds) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  ClearCause();
  if (p.Conn == nullptr || p.Owner != getpid() || hconn != kHconn) return CVRC_HCONN_ERROR;
  if (use == GetStreamUse::kEnds && p.Stream.Get != nullptr) EndStream(p);
  const CVLONG rc = body(p);
  if (rc == CVRC_BACKED_OUT) {
    for (OpenObject &o : p.Objects) o.NextSeq = 0;
  }
  return rc;
}

// The open object hobj names, or null. A queue call (put, get) cannot use
// the queue manager object.
OpenObject *Object(Process &p, CVHOBJ hobj, bool queueOnly) {
  if (hobj < 1 || static_cast<size_t>(hobj) > p.Objects.size()) return nullptr;
  OpenObject &o = p.Objects[static_cast<size_t>(hobj) - 1];
  return o.InUse && !(queueOnly && o.QmgrObject) ? &o : nullptr;
}

// A buffer of length bytes: length not negative, buffer there unless empty.
CVLONG CheckBuffer(CVLONG length, const void *buffer, CVLONG lengthReason) {
  if (length < 0) return lengthReason;
  return length > 0 && buffer == nullptr ? CVRC_BUFFER_ERROR : 0;
}

// A put's descriptor names one of the persistence values.
CVLONG CheckPersistence(const CVMD &md) {
  return md.Persistence < CVPER_NOT_PERSISTENT || md.Persistence > CVPER_PERSISTENCE_AS_Q_DEF
             ? CVRC_PERSISTENCE_ERROR
             : 0;
}

// The descriptor a call works on: the caller's whole one when it is of
// Version 2, else its Version 1 part, which ends before the group fields,
// completed as for a message outside groups. Nothing past the end of the
// caller's version is read.
CVMD FullMd(const CVMD &caller) {
  CVMD md = CVMD_DEFAULT;
  static_assert(offsetof(CVMD, GroupId) == CVMD_LENGTH_1, "Version 1 ends at GroupId");
  std::memcpy(&md, &caller, caller.Version >= CVMD_VERSION_2 ? sizeof(CVMD) : CVMD_LENGTH_1);
  return md;
}

// Writes md back to the caller's descriptor as far as its version has
// fields; its Version stays as the caller set it.
void GiveMd(const CVMD &md, CVMD *caller) {
  const CVLONG version = caller->Version;
  std::memcpy(caller, &md, version >= CVMD_VERSION_2 ? sizeof(CVMD) : CVMD_LENGTH_1);
  caller->Version = version;
}

// The group fields of a put's descriptor: 0 when they follow the rules of
// corvane.h (completing the flags of a last segment, and the fields of a
// message outside groups), else CVRC_MD_ERROR saying why.
CVLONG CheckGroup(CVMD *md) {
  auto bad = [](const char *why) {
    SetCause(std::string("message descriptor: ") + why);
    return CVRC_MD_ERROR;
  };
  if ((md->MsgFlags & ~(CVMF_MSG_IN_GROUP | CVMF_LAST_MSG_IN_GROUP)) != 0) {
    return bad("MsgFlags holds a flag other than CVMF_MSG_IN_GROUP and CVMF_LAST_MSG_IN_GROUP");
  }
  if ((md->MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0) md->MsgFlags |= CVMF_MSG_IN_GROUP;
  const bool noGroup = AllZero(md->GroupId, CV_GROUP_ID_LENGTH);
  if (!InGroup(*md)) {
    if (!noGroup) return bad("a GroupId without CVMF_MSG_IN_GROUP");
    md->MsgSeqNumber = 1;
    md->Offset = 0;
    return 0;
  }
  if (noGroup) return bad("a segment of a group needs a GroupId that is not all zero");
  if (md->MsgSeqNumber < 1) return bad("a segment's MsgSeqNumber is 1 or more");
  if (md->Offset < 0) return bad("a segment's Offset is 0 or more");
  return 0;
}

// The checks of a put's descriptor; on success *md is what the backend
// takes.
CVLONG CheckPutMd(const CVMD &caller, CVMD *md) {
  *md = FullMd(caller);
  if (CVLONG rc = CheckPersistence(*md); rc != 0) return rc;
  return CheckGroup(md);
}

// A checked property list of a call, as the backends take it.
std::string PropertyList(CVLONG length, const CVCHAR *props) {
  return length > 0 ? std::string(props, static_cast<size_t>(length)) : "";
}

// The bytes of a journal call's key, prefix or value as a string: 0, or
// CVRC_DATA_LENGTH_ERROR for a length out of 0..max (of 1..max unless
// empty is allowed), CVRC_BUFFER_ERROR for a null p with a length.
CVLONG JournalBytes(CVLONG length, const void *p, CVLONG max, bool empty, std::string *out) {
  if (length < (empty ? 0 : 1) || length > max) return CVRC_DATA_LENGTH_ERROR;
  if (length > 0 && p == nullptr) return CVRC_BUFFER_ERROR;
  out->assign(static_cast<const char *>(p), length > 0 ? static_cast<size_t>(length) : 0);
  return 0;
}

// Hands a journal value read to the caller's buffer, cut to its length with
// a warning when it is longer.
CVLONG GiveJournalValue(const std::string &value, CVLONG bufferLength, void *buffer,
                        CVLONG *dataLength) {
  const size_t n = std::min(value.size(), static_cast<size_t>(bufferLength));
  if (n > 0) std::memcpy(buffer, value.data(), n);
  *dataLength = static_cast<CVLONG>(value.size());
  return n < value.size() ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
}

// The checks of a buffer a journal value is read into.
CVLONG CheckJournalBuffer(CVLONG bufferLength, const void *buffer, const CVLONG *dataLength) {
  if (dataLength == nullptr) return CVRC_BUFFER_ERROR;
  return CheckBuffer(bufferLength, buffer, CVRC_BUFFER_LENGTH_ERROR);
}

CVLONG OpenQueue(Process &p, const CVOD &od, CVLONG options, OpenObject *object) {
  if (od.ObjectType == CVOT_Q_MGR) {
    if ((options & ~(CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING)) != 0) {
      return CVRC_OPTION_NOT_VALID_FOR_TYPE;
    }
    object->QmgrObject = true;
    return 0;
  }
  if (od.ObjectType != CVOT_Q) return CVRC_OBJECT_TYPE_ERROR;
  std::string name = FieldName(od.ObjectName, CV_Q_NAME_LENGTH);
  if (!ValidName(name)) return CVRC_UNKNOWN_OBJECT_NAME;
  if (CVLONG rc = p.Conn->LookupQueue(name, &object->Queue); rc != 0) return rc;
  // A remote definition only forwards puts.
  if (object->Queue.Type == CVQT_REMOTE && (options & (kInputOptions | CVOO_BROWSE)) != 0) {
    return CVRC_OPTION_NOT_VALID_FOR_TYPE;
  }
  return 0;
}

// What a get was asked for: the arguments of CVGET, CVGETP or CVGETOPEN.
struct GetArgs {
  CVMD *Md;
  CVGMO *Gmo;
  bool WantProps;  // CVGETP, CVGETOPEN
  CVLONG PropBufferLength;
  CVCHAR *PropBuffer;
  CVLONG *PropLength;
  CVLONG BufferLength;
  void *Buffer;
  CVLONG *DataLength;
  CVHMSG *Hmsg;  // CVGETOPEN: the get opens a stream instead of copying the data
};

// The reason a get on o with a is refused before it looks, else 0.
CVLONG CheckGet(const OpenObject &o, const GetArgs &a) {
  CVLONG options = a.Gmo != nullptr ? a.Gmo->Options : 0;
  bool browse = (options & (CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT)) != 0;
  if (browse && (o.Options & CVOO_BROWSE) == 0) return CVRC_NOT_OPEN_FOR_BROWSE;
  if (!browse && (o.Options & kInputOptions) == 0) return CVRC_NOT_OPEN_FOR_INPUT;
  if (a.Md == nullptr) return CVRC_MD_ERROR;
  if (a.Gmo == nullptr || a.DataLength == nullptr) return CVRC_GMO_ERROR;
  if (a.WantProps && a.PropLength == nullptr) return CVRC_GMO_ERROR;
  if (((options & CVGMO_SYNCPOINT) != 0 && (options & CVGMO_NO_SYNCPOINT) != 0) ||
      ((options & CVGMO_BROWSE_FIRST) != 0 && (options & CVGMO_BROWSE_NEXT) != 0)) {
    return CVRC_OPTIONS_ERROR;
  }
  if (CVLONG rc = CheckBuffer(a.BufferLength, a.Buffer, CVRC_BUFFER_LENGTH_ERROR); rc != 0) {
    return rc;
  }
  if (a.Hmsg != nullptr) {
    if (browse) return CVRC_OPTIONS_ERROR;
    if ((options & CVGMO_SYNCPOINT) == 0) return CVRC_SYNCPOINT_NOT_AVAILABLE;
  }
  if (!a.WantProps) return 0;
  return CheckBuffer(a.PropBufferLength, a.PropBuffer, CVRC_BUFFER_LENGTH_ERROR);
}

// Hands the properties of a get that answered rc to the caller: the whole
// list's length after a truncation, else the whole pairs that fit (and a
// truncation warning when some did not). Returns the get's reason.
CVLONG GiveProperties(CVLONG rc, const std::string &props, const GetArgs &a) {
  if (rc == CVRC_TRUNCATED_MSG_FAILED) {
    *a.PropLength = static_cast<CVLONG>(props.size());
  } else if (rc == 0 || rc == CVRC_TRUNCATED_MSG_ACCEPTED) {
    size_t fit = FitProperties(props, a.PropBufferLength);
    if (fit > 0) std::memcpy(a.PropBuffer, props.data(), fit);
    *a.PropLength = static_cast<CVLONG>(fit);
    if (fit < props.size()) rc = CVRC_TRUNCATED_MSG_ACCEPTED;
  }
  return rc;
}

// One look of a get, without waiting: a stream opened, a browse, or a get.
// Everything is checked again on every look: a waiting get holds no lock,
// so another thread may close the handle or disconnect in the meantime.
CVLONG LookWith(Process &p, OpenObject &o, const GetArgs &a, CVMD *md, CVLONG options);
CVLONG LookOnce(Process &p, CVHOBJ hobj, const GetArgs &a) {
  OpenObject *o = Object(p, hobj, true);
  if (o == nullptr) return CVRC_HOBJ_ERROR;
  if (CVLONG rc = CheckGet(*o, a); rc != 0) return rc;
  CVLONG options = a.Gmo->Options & ~kNextInGroup;
  const bool browse = (options & (CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT)) != 0;
  const bool logical = !browse && (options & CVGMO_LOGICAL_ORDER) != 0;
  CVMD md = FullMd(*a.Md);
  if (logical && o->NextSeq > 0) {
    // In the middle of a group: its next segment, and nothing else.
    if (!AllZero(md.GroupId, CV_GROUP_ID_LENGTH) &&
        std::memcmp(md.GroupId, o->GroupId, CV_GROUP_ID_LENGTH) != 0) {
      return kHeadDoesNotMatch;  // waiting cannot help
    }
    std::memcpy(md.GroupId, o->GroupId, CV_GROUP_ID_LENGTH);
    md.MsgSeqNumber = o->NextSeq;
    options |= kNextInGroup;
  }
  CVLONG rc = LookWith(p, *o, a, &md, options);
  // The backends set the descriptor when they took, browsed or described a
  // message; else the caller's stays as it was.
  if (rc == 0 || rc == CVRC_TRUNCATED_MSG_ACCEPTED || rc == CVRC_TRUNCATED_MSG_FAILED ||
      rc == CVRC_OBJECT_DAMAGED) {
    GiveMd(md, a.Md);
  }
  if (logical && (rc == 0 || rc == CVRC_TRUNCATED_MSG_ACCEPTED)) {
    const bool more = InGroup(md) && (md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) == 0;
    std::memcpy(o->GroupId, md.GroupId, CV_GROUP_ID_LENGTH);
    o->NextSeq = more ? md.MsgSeqNumber + 1 : 0;
  }
  return rc;
}

// LookOnce's look with the descriptor md and options it settled on.
CVLONG LookWith(Process &p, OpenObject &o, const GetArgs &a, CVMD *md, CVLONG options) {
  const CVLONG propBufferLength = a.WantProps ? a.PropBufferLength : kPropertiesNotAsked;
  std::string props;
  CVLONG rc = 0;
  if (a.Hmsg != nullptr) {
    std::unique_ptr<GetStream> stream;
    rc = NewStream(p, a.Hmsg);
    if (rc == 0) {
      rc = p.Conn->GetOpen(o.Queue, md, options, a.DataLength, propBufferLength, &props, &stream);
    }
    if (rc == 0) {
      p.Stream.Handle = *a.Hmsg = p.LastHandle;
      p.Stream.Syncpoint = true;
      p.Stream.Get = std::move(stream);
    }
  } else if ((options & (CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT)) != 0) {
    rc = p.Conn->BrowseMessage(o.Queue, md, options, &o.BrowseCursor, a.BufferLength, a.Buffer,
                               a.DataLength, propBufferLength, &props);
  } else {
    rc = p.Conn->Get(o.Queue, md, options, a.BufferLength, a.Buffer, a.DataLength, propBufferLength,
                     &props);
  }
  return a.WantProps ? GiveProperties(rc, props, a) : rc;
}

// CVGET (wantProps false) and CVGETP.
// With hmsg (CVGETOPEN) the get opens a stream instead of copying the data.
void GetMessage(CVHCONN hconn, CVHOBJ hobj, CVMD *md, CVGMO *gmo, bool wantProps,
                CVLONG propBufferLength, CVCHAR *propBuffer, CVLONG *propLength,
                CVLONG bufferLength, void *buffer, CVLONG *dataLength, CVLONG *cc, CVLONG *reason,
                CVHMSG *hmsg = nullptr) {
  const GetArgs args{md,         gmo,          wantProps, propBufferLength, propBuffer,
                     propLength, bufferLength, buffer,    dataLength,       hmsg};
  auto look = [&](Process &p) { return LookOnce(p, hobj, args); };
  auto start = std::chrono::steady_clock::now();
  const GetStreamUse use = hmsg != nullptr ? GetStreamUse::kKeeps : GetStreamUse::kEnds;
  CVLONG rc = OnConnection(hconn, look, use);
  // Reaching the backend means gmo was checked.
  if (rc == CVRC_NO_MSG_AVAILABLE && (gmo->Options & CVGMO_WAIT) != 0) {
    CVLONG waitMs = gmo->WaitInterval < 0 ? kUnlimitedWaitMs : gmo->WaitInterval;
    auto deadline = start + std::chrono::milliseconds(waitMs);
    for (auto now = start; rc == CVRC_NO_MSG_AVAILABLE && now < deadline;
         now = std::chrono::steady_clock::now()) {
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
      rc = OnConnection(hconn, look, use);
    }
  }
  Report(rc == kHeadDoesNotMatch ? CVRC_NO_MSG_AVAILABLE : rc, cc, reason);
}

CVLONG Inquire(Process &p, const OpenObject &o, CVLONG count, const CVLONG *selectors,
               CVLONG intCount, CVLONG *ints, CVLONG charLength, CVCHAR *chars) {
  if (count < 0 || count > 256 || (count > 0 && selectors == nullptr)) {
    return CVRC_SELECTOR_COUNT_ERROR;
  }
  if (intCount < 0 || (intCount > 0 && ints == nullptr)) return CVRC_INT_ATTR_COUNT_ERROR;
  if (charLength < 0 || (charLength > 0 && chars == nullptr)) return CVRC_CHAR_ATTR_LENGTH_ERROR;
  // Check every selector before anything is written.
  CVLONG intsNeeded = 0;
  CVLONG charsNeeded = 0;
  for (CVLONG i = 0; i < count; i++) {
    CVLONG s = selectors[i];
    bool queueInt = s == CVIA_CURRENT_Q_DEPTH || s == CVIA_MAX_MSG_LENGTH ||
                    s == CVIA_MAX_Q_DEPTH || s == CVIA_Q_TYPE || s == CVIA_BACKOUT_THRESHOLD;
    if (!queueInt && s != CVCA_Q_MGR_NAME && s != CVCA_BACKOUT_REQ_Q_NAME) {
      return CVRC_SELECTOR_ERROR;
    } else if (s != CVCA_Q_MGR_NAME &&
               (o.QmgrObject || (o.Queue.Type == CVQT_REMOTE && s != CVIA_Q_TYPE))) {
      return CVRC_SELECTOR_NOT_FOR_TYPE;
    } else if (queueInt) {
      intsNeeded++;
    } else {
      charsNeeded += CV_Q_MGR_NAME_LENGTH;
    }
  }
  if (intsNeeded > intCount) return CVRC_INT_ATTR_COUNT_TOO_SMALL;
  if (charsNeeded > charLength) return CVRC_CHAR_ATTRS_TOO_SHORT;
  for (CVLONG i = 0; i < count; i++) {
    CVLONG value = 0;
    switch (selectors[i]) {
      case CVCA_Q_MGR_NAME:
      case CVCA_BACKOUT_REQ_Q_NAME: {
        const std::string &name =
            selectors[i] == CVCA_Q_MGR_NAME ? p.Conn->Name() : o.Queue.BackoutQueue;
        std::memset(chars, ' ', CV_Q_MGR_NAME_LENGTH);
        std::memcpy(chars, name.data(), name.size());
        chars += CV_Q_MGR_NAME_LENGTH;
        continue;
      }
      case CVIA_CURRENT_Q_DEPTH:
        if (CVLONG rc = p.Conn->Depth(o.Queue, &value); rc != 0) return rc;
        break;
      case CVIA_MAX_MSG_LENGTH:
        value = o.Queue.MaxMsgLength;
        break;
      case CVIA_MAX_Q_DEPTH:
        value = o.Queue.MaxDepth;
        break;
      case CVIA_BACKOUT_THRESHOLD:
        value = o.Queue.BackoutThreshold;
        break;
      default:
        value = o.Queue.Type;
        break;
    }
    *ints++ = value;
  }
  return 0;
}

// What stays of a put stream that failed: nothing of its data. Never
// called: the stream's reason is reported first.
class BrokenPut : public PutStream {
 public:
  CVLONG Write(const void *, size_t) override { return CVRC_UNEXPECTED_ERROR; }
  CVLONG WriteFrom(int, size_t, size_t *) override { return CVRC_UNEXPECTED_ERROR; }
  CVLONG Complete(CVMD *, const std::string &) override { return CVRC_UNEXPECTED_ERROR; }
  CVLONG ReadFd(int *) override { return CVRC_UNEXPECTED_ERROR; }
  CVLONG Sync() override { return CVRC_UNEXPECTED_ERROR; }
};

// Appends to the put stream s through write(put, room, &moved), which moves
// at most room bytes; the stream breaks at the first failure.
template <typename Write>
CVLONG AppendToStream(OpenStream *s, Write write) {
  if (s->Broken != 0) return s->Broken;
  PutStream &put = *s->Put;
  // One byte beyond what the stream may hold proves the body too long.
  const int64_t limit = std::min<int64_t>(put.MaxLength, INT32_MAX);
  size_t moved = 0;
  CVLONG rc = write(put, static_cast<size_t>(limit - put.Length + 1), &moved);
  if (rc == kSourceFailed) {
    // The caller's descriptor failed, not the stream: it goes on.
    const int err = errno;
    SetErrnoCause("reading the descriptor", err);
    errno = err;
    return CVRC_BUFFER_ERROR;
  }
  put.Length += static_cast<int64_t>(moved);
  if (rc == 0 && put.Length > limit) {
    SetCause("the message has more than " + std::to_string(limit) + " bytes; queue " +
             put.Destination.Name + " takes at most " + std::to_string(limit));
    rc = CVRC_MSG_TOO_BIG_FOR_Q;
  }
  if (rc != 0) {
    s->Broken = rc;
    s->Put = std::make_unique<BrokenPut>();  // its data are dropped at once
  }
  return rc;
}

}  // namespace
}  // namespace corvane

using namespace corvane;

extern "C" {

void CVCONN(const CVCHAR *QMgrName, CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  ClearCause();
  std::string name = QMgrName != nullptr ? FieldName(QMgrName, CV_Q_MGR_NAME_LENGTH) : "";
  if (p.Conn != nullptr && p.Owner != getpid()) {
    p.Conn.release();  // inherited across fork: the parent still owns it
    p.Objects.clear();
    p.Stream.Put.release();  // and its stream, whose file is the parent's
    p.Stream.Get.release();
    p.Stream = OpenStream();
  }
  QmgrDef def;
  if (CVLONG rc = FindQmgr(name, &def); rc != 0) return Report(rc, CompCode, Reason);
  if (p.Conn != nullptr) {
    bool same = p.Conn->Name() == def.Name;
    *Hconn = same ? kHconn : CVHC_UNUSABLE_HCONN;
    return Report(same ? CVRC_ALREADY_CONNECTED : CVRC_ANOTHER_Q_MGR_CONNECTED, CompCode, Reason);
  }
  std::unique_ptr<Backend> backend;
  CVLONG rc = OpenBackend(def, &backend);
  *Hconn = rc == 0 ? kHconn : CVHC_UNUSABLE_HCONN;
  if (rc == 0) {
    p.Conn = std::move(backend);
    p.Owner = getpid();
    p.Objects.clear();
  }
  Report(rc, CompCode, Reason);
}

void CVDISC(CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason) {
  CVHCONN hconn = Hconn != nullptr ? *Hconn : CVHC_UNUSABLE_HCONN;
  Report(OnConnection(
             hconn,
             [&](Process &p) {
               // The connection goes: a body still on its way is not read.
               if (p.Stream.Get != nullptr) p.Stream.Get->Detach();
               EndStream(p);
               p.Conn.reset();  // backs out an open unit of work
               p.Objects.clear();
               *Hconn = CVHC_UNUSABLE_HCONN;
               return CVLONG{0};
             },
             GetStreamUse::kKeeps),
         CompCode, Reason);
}

void CVOPEN(CVHCONN Hconn, CVOD *ObjDesc, CVLONG Options, CVHOBJ *Hobj, CVLONG *CompCode,
            CVLONG *Reason) {
  if (Hobj != nullptr) *Hobj = CVHO_UNUSABLE_HOBJ;
  constexpr CVLONG kGrants = kInputOptions | CVOO_BROWSE | CVOO_OUTPUT | CVOO_INQUIRE;
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    if (ObjDesc == nullptr || Hobj == nullptr) return CVRC_OD_ERROR;
    if ((Options & ~(kGrants | CVOO_FAIL_IF_QUIESCING)) != 0 || (Options & kGrants) == 0) {
      return CVRC_OPTIONS_ERROR;
    }
    OpenObject object;
    object.InUse = true;
    object.Options = Options;
    if (CVLONG rc = OpenQueue(p, *ObjDesc, Options, &object); rc != 0) return rc;
    auto slot = std::find_if(p.Objects.begin(), p.Objects.end(),
                             [](const OpenObject &o) { return !o.InUse; });
    if (slot == p.Objects.end()) {
      if (p.Objects.size() >= kMaxObjects) return CVRC_HANDLE_NOT_AVAILABLE;
      slot = p.Objects.emplace(p.Objects.end());
    }
    *slot = object;
    *Hobj = static_cast<CVHOBJ>(slot - p.Objects.begin() + 1);
    return 0;
  });
  Report(rc, CompCode, Reason);
}

void CVCLOSE(CVHCONN Hconn, CVHOBJ *Hobj, CVLONG Options, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    OpenObject *o = Hobj != nullptr ? Object(p, *Hobj, false) : nullptr;
    if (o == nullptr) return CVRC_HOBJ_ERROR;
    if (Options != CVCO_NONE) return CVRC_OPTIONS_ERROR;
    o->InUse = false;
    *Hobj = CVHO_UNUSABLE_HOBJ;
    return 0;
  });
  Report(rc, CompCode, Reason);
}

void CVPUT(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG BufferLength,
           const void *Buffer, CVLONG *CompCode, CVLONG *Reason) {
  CVPUTP(Hconn, Hobj, MsgDesc, PutMsgOpts, 0, nullptr, BufferLength, Buffer, CompCode, Reason);
}

void CVPUTP(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG PropLength,
            const CVCHAR *Props, CVLONG BufferLength, const void *Buffer, CVLONG *CompCode,
            CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    OpenObject *o = Object(p, Hobj, true);
    if (o == nullptr) return CVRC_HOBJ_ERROR;
    if ((o->Options & CVOO_OUTPUT) == 0) return CVRC_NOT_OPEN_FOR_OUTPUT;
    if (MsgDesc == nullptr) return CVRC_MD_ERROR;
    if (PutMsgOpts == nullptr) return CVRC_PMO_ERROR;
    CVMD md;
    if (CVLONG rc = CheckPutMd(*MsgDesc, &md); rc != 0) return rc;
    bool syncpoint = (PutMsgOpts->Options & CVPMO_SYNCPOINT) != 0;
    if (syncpoint && (PutMsgOpts->Options & CVPMO_NO_SYNCPOINT) != 0) return CVRC_OPTIONS_ERROR;
    if (CVLONG rc = CheckBuffer(BufferLength, Buffer, CVRC_DATA_LENGTH_ERROR); rc != 0) return rc;
    if (CVLONG rc = CheckProperties(PropLength, Props); rc != 0) return rc;
    CVLONG rc = p.Conn->Put(o->Queue, &md, syncpoint, Buffer, BufferLength,
                            PropertyList(PropLength, Props));
    GiveMd(md, MsgDesc);
    return rc;
  });
  Report(rc, CompCode, Reason);
}

void CVGET(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG BufferLength,
           void *Buffer, CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason) {
  GetMessage(Hconn, Hobj, MsgDesc, GetMsgOpts, false, 0, nullptr, nullptr, BufferLength, Buffer,
             DataLength, CompCode, Reason);
}

void CVGETP(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG PropBufferLength,
            CVCHAR *PropBuffer, CVLONG *PropLength, CVLONG BufferLength, void *Buffer,
            CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason) {
  if (PropLength != nullptr) *PropLength = 0;
  GetMessage(Hconn, Hobj, MsgDesc, GetMsgOpts, true, PropBufferLength, PropBuffer, PropLength,
             BufferLength, Buffer, DataLength, CompCode, Reason);
}

void CVMARK(CVHCONN Hconn, const CVBYTE *MsgId, CVLONG PropLength, const CVCHAR *Props,
            CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    if (MsgId == nullptr) return CVRC_MSG_ID_ERROR;
    if (CVLONG rc = CheckProperties(PropLength, Props); rc != 0) return rc;
    return p.Conn->Mark(MsgId, PropertyList(PropLength, Props));
  });
  Report(rc, CompCode, Reason);
}

void CVJPUT(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG ValueLength, const void *Value,
            CVLONG Options, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    std::string key, value;
    if (CVLONG rc = JournalBytes(KeyLength, Key, CV_JOURNAL_KEY_MAX, false, &key); rc != 0)
      return rc;
    if (CVLONG rc = JournalBytes(ValueLength, Value, CV_JOURNAL_VALUE_MAX, true, &value); rc != 0)
      return rc;
    if ((Options & ~(CVJO_SYNCPOINT | CVJO_REPLACE)) != 0) return CVRC_OPTIONS_ERROR;
    return p.Conn->JournalPut(key, value, Options);
  });
  Report(rc, CompCode, Reason);
}

void CVJGET(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG BufferLength, void *Buffer,
            CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    std::string key, value;
    if (CVLONG rc = JournalBytes(KeyLength, Key, CV_JOURNAL_KEY_MAX, false, &key); rc != 0)
      return rc;
    if (CVLONG rc = CheckJournalBuffer(BufferLength, Buffer, DataLength); rc != 0) return rc;
    if (CVLONG rc = p.Conn->JournalGet(key, &value); rc != 0) return rc;
    return GiveJournalValue(value, BufferLength, Buffer, DataLength);
  });
  Report(rc, CompCode, Reason);
}

void CVJDEL(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG Options, CVLONG *CompCode,
            CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    std::string key;
    if (CVLONG rc = JournalBytes(KeyLength, Key, CV_JOURNAL_KEY_MAX, false, &key); rc != 0)
      return rc;
    if ((Options & ~CVJO_SYNCPOINT) != 0) return CVRC_OPTIONS_ERROR;
    return p.Conn->JournalDelete(key, Options);
  });
  Report(rc, CompCode, Reason);
}

void CVJNEXT(CVHCONN Hconn, CVLONG PrefixLength, const void *Prefix, void *Cursor,
             CVLONG *CursorLength, CVLONG BufferLength, void *Buffer, CVLONG *DataLength,
             CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    std::string prefix, key, value;
    if (CVLONG rc = JournalBytes(PrefixLength, Prefix, CV_JOURNAL_KEY_MAX, true, &prefix); rc != 0)
      return rc;
    if (Cursor == nullptr || CursorLength == nullptr) return CVRC_BUFFER_ERROR;
    if (CVLONG rc = JournalBytes(*CursorLength, Cursor, CV_JOURNAL_KEY_MAX, true, &key); rc != 0)
      return rc;
    if (CVLONG rc = CheckJournalBuffer(BufferLength, Buffer, DataLength); rc != 0) return rc;
    if (CVLONG rc = p.Conn->JournalNext(prefix, &key, &value); rc != 0) return rc;
    std::memcpy(Cursor, key.data(), key.size());
    *CursorLength = static_cast<CVLONG>(key.size());
    return GiveJournalValue(value, BufferLength, Buffer, DataLength);
  });
  Report(rc, CompCode, Reason);
}

void CVINQ(CVHCONN Hconn, CVHOBJ Hobj, CVLONG SelectorCount, const CVLONG *Selectors,
           CVLONG IntAttrCount, CVLONG *IntAttrs, CVLONG CharAttrLength, CVCHAR *CharAttrs,
           CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(Hconn, [&](Process &p) -> CVLONG {
    OpenObject *o = Object(p, Hobj, false);
    if (o == nullptr) return CVRC_HOBJ_ERROR;
    if ((o->Options & CVOO_INQUIRE) == 0) return CVRC_NOT_OPEN_FOR_INQUIRE;
    return Inquire(p, *o, SelectorCount, Selectors, IntAttrCount, IntAttrs, CharAttrLength,
                   CharAttrs);
  });
  Report(rc, CompCode, Reason);
}

void CVCMIT(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Report(OnConnection(Hconn,
                      [](Process &p) -> CVLONG {
                        if (p.Stream.Put != nullptr) {
                          SetCause("a put stream is open: its message is not complete");
                          return CVRC_UOW_IN_PROGRESS;
                        }
                        EndStream(p);
                        return p.Conn->Commit();
                      }),
         CompCode, Reason);
}

void CVBACK(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Report(OnConnection(Hconn,
                      [](Process &p) {
                        if (p.Stream.Syncpoint) EndStream(p);
                        // Taken segments return: groups start again with 1.
                        for (OpenObject &o : p.Objects) o.NextSeq = 0;
                        return p.Conn->Backout();
                      }),
         CompCode, Reason);
}

void CVPUTOPEN(CVHCONN Hconn, CVHOBJ Hobj, CVPMO *PutMsgOpts, CVLONG ExpectedLength, CVHMSG *Hmsg,
               CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenObject *o = Object(p, Hobj, true);
        if (o == nullptr) return CVRC_HOBJ_ERROR;
        if ((o->Options & CVOO_OUTPUT) == 0) return CVRC_NOT_OPEN_FOR_OUTPUT;
        if (PutMsgOpts == nullptr) return CVRC_PMO_ERROR;
        bool syncpoint = (PutMsgOpts->Options & CVPMO_SYNCPOINT) != 0;
        if (syncpoint && (PutMsgOpts->Options & CVPMO_NO_SYNCPOINT) != 0) return CVRC_OPTIONS_ERROR;
        if (CVLONG rc = NewStream(p, Hmsg); rc != 0) return rc;
        std::unique_ptr<PutStream> stream;
        if (CVLONG rc = p.Conn->PutOpen(o->Queue, syncpoint, &stream); rc != 0) return rc;
        if (ExpectedLength > stream->MaxLength) return TooBig(stream->Destination, ExpectedLength);
        p.Stream.Handle = *Hmsg = p.LastHandle;
        p.Stream.Syncpoint = syncpoint;
        p.Stream.Put = std::move(stream);
        return 0;
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVPUTDATA(CVHCONN Hconn, CVHMSG Hmsg, CVLONG BufferLength, const void *Buffer,
               CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, true);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (CVLONG rc = CheckBuffer(BufferLength, Buffer, CVRC_DATA_LENGTH_ERROR); rc != 0)
          return rc;
        return AppendToStream(s, [&](PutStream &put, size_t room, size_t *moved) -> CVLONG {
          if (static_cast<size_t>(BufferLength) >= room) {
            *moved = room;  // too long: nothing of it needs to be written
            return 0;
          }
          *moved = static_cast<size_t>(BufferLength);
          return put.Write(Buffer, *moved);
        });
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVPUTFD(CVHCONN Hconn, CVHMSG Hmsg, int Fd, CVLONG MaxLength, CVLONG *Moved, CVLONG *CompCode,
             CVLONG *Reason) {
  if (Moved != nullptr) *Moved = 0;
  errno = 0;
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, true);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (MaxLength <= 0) return CVRC_DATA_LENGTH_ERROR;  // 0 moved means the end
        if (Fd < 0 || Moved == nullptr) return CVRC_BUFFER_ERROR;
        return AppendToStream(s, [&](PutStream &put, size_t room, size_t *moved) -> CVLONG {
          CVLONG rc = put.WriteFrom(Fd, std::min(room, static_cast<size_t>(MaxLength)), moved);
          *Moved = static_cast<CVLONG>(*moved);
          return rc;
        });
      },
      GetStreamUse::kKeeps);
  const int err = errno;  // a failed read's, for the caller
  Report(rc, CompCode, Reason);
  errno = err;
}

void CVPUTREADFD(CVHCONN Hconn, CVHMSG Hmsg, int *Fd, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, true);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (Fd == nullptr) return CVRC_BUFFER_ERROR;
        return s->Broken != 0 ? s->Broken : s->Put->ReadFd(Fd);
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVPUTSYNC(CVHCONN Hconn, CVHMSG Hmsg, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, true);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        return s->Broken != 0 ? s->Broken : s->Put->Sync();
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVPUTCLOSE(CVHCONN Hconn, CVHMSG *Hmsg, CVLONG Options, CVMD *MsgDesc, CVLONG PropLength,
                const CVCHAR *Props, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Hmsg != nullptr ? Stream(p, *Hmsg, true) : nullptr;
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (Options != CVSC_COMPLETE && Options != CVSC_ABANDON) return CVRC_OPTIONS_ERROR;
        CVLONG rc = s->Broken;
        if (Options == CVSC_COMPLETE && rc == 0) {
          // Mistakes of the arguments leave the stream for a corrected call.
          if (MsgDesc == nullptr) return CVRC_MD_ERROR;
          CVMD md;
          if (CVLONG rc = CheckPutMd(*MsgDesc, &md); rc != 0) return rc;
          if (CVLONG rc = CheckProperties(PropLength, Props); rc != 0) return rc;
          rc = s->Put->Complete(&md, PropertyList(PropLength, Props));
          GiveMd(md, MsgDesc);
        }
        EndStream(p);
        *Hmsg = CVHM_UNUSABLE_HMSG;
        return Options == CVSC_COMPLETE ? rc : 0;
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVGETOPEN(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts,
               CVLONG PropBufferLength, CVCHAR *PropBuffer, CVLONG *PropLength, CVLONG *DataLength,
               CVHMSG *Hmsg, CVLONG *CompCode, CVLONG *Reason) {
  if (PropLength != nullptr) *PropLength = 0;
  if (Hmsg == nullptr) return Report(CVRC_HMSG_ERROR, CompCode, Reason);
  *Hmsg = CVHM_UNUSABLE_HMSG;
  GetMessage(Hconn, Hobj, MsgDesc, GetMsgOpts, true, PropBufferLength, PropBuffer, PropLength, 0,
             nullptr, DataLength, CompCode, Reason, Hmsg);
}

void CVGETDATA(CVHCONN Hconn, CVHMSG Hmsg, CVLONG BufferLength, void *Buffer, CVLONG *DataLength,
               CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, false);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (DataLength == nullptr) return CVRC_BUFFER_ERROR;
        if (CVLONG rc = CheckBuffer(BufferLength, Buffer, CVRC_BUFFER_LENGTH_ERROR); rc != 0)
          return rc;
        size_t got = 0;
        CVLONG rc = s->Get->Read(Buffer, static_cast<size_t>(BufferLength), &got);
        *DataLength = static_cast<CVLONG>(got);
        return rc;
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVGETFD(CVHCONN Hconn, CVHMSG Hmsg, int *Fd, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        OpenStream *s = Stream(p, Hmsg, false);
        if (s == nullptr) return CVRC_HMSG_ERROR;
        if (Fd == nullptr) return CVRC_BUFFER_ERROR;
        return s->Get->Fd(Fd);
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

void CVGETCLOSE(CVHCONN Hconn, CVHMSG *Hmsg, CVLONG Options, CVLONG *CompCode, CVLONG *Reason) {
  CVLONG rc = OnConnection(
      Hconn,
      [&](Process &p) -> CVLONG {
        if (Hmsg == nullptr || Stream(p, *Hmsg, false) == nullptr) return CVRC_HMSG_ERROR;
        if (Options != CVSC_COMPLETE && Options != CVSC_ABANDON) return CVRC_OPTIONS_ERROR;
        EndStream(p);
        *Hmsg = CVHM_UNUSABLE_HMSG;
        return CVLONG{0};
      },
      GetStreamUse::kKeeps);
  Report(rc, CompCode, Reason);
}

}  // extern "C"
