// corvane.cpp - the queue calls: handle, option and argument checks, the
// wait of a get, then dispatch to the backend of the connected queue
// manager. One connection per process, one lock over it.
#include "corvane.h"

#include <unistd.h>

#include <algorithm>
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
};

struct Process {
  std::mutex Lock;
  std::unique_ptr<Backend> Conn;
  pid_t Owner = 0;  // a forked child does not inherit the connection
  std::vector<OpenObject> Objects;
};

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

// Runs body(process) under the lock when hconn is this process's
// connection; returns its reason, else CVRC_HCONN_ERROR.
template <typename Body>
CVLONG OnConnection(CVHCONN hconn, Body body) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  ClearCause();
  if (p.Conn == nullptr || p.Owner != getpid() || hconn != kHconn) return CVRC_HCONN_ERROR;
  return body(p);
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

// CVGET (wantProps false) and CVGETP.
void GetMessage(CVHCONN hconn, CVHOBJ hobj, CVMD *md, CVGMO *gmo, bool wantProps,
                CVLONG propBufferLength, CVCHAR *propBuffer, CVLONG *propLength,
                CVLONG bufferLength, void *buffer, CVLONG *dataLength, CVLONG *cc, CVLONG *reason) {
  // One look without waiting. Everything is checked again on every look: a
  // waiting get holds no lock, so another thread may close the handle or
  // disconnect in the meantime.
  auto look = [&](Process &p) -> CVLONG {
    OpenObject *o = Object(p, hobj, true);
    if (o == nullptr) return CVRC_HOBJ_ERROR;
    CVLONG options = gmo != nullptr ? gmo->Options : 0;
    bool browse = (options & (CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT)) != 0;
    if (browse && (o->Options & CVOO_BROWSE) == 0) return CVRC_NOT_OPEN_FOR_BROWSE;
    if (!browse && (o->Options & kInputOptions) == 0) return CVRC_NOT_OPEN_FOR_INPUT;
    if (md == nullptr) return CVRC_MD_ERROR;
    if (gmo == nullptr || dataLength == nullptr) return CVRC_GMO_ERROR;
    if (wantProps && propLength == nullptr) return CVRC_GMO_ERROR;
    if (((options & CVGMO_SYNCPOINT) != 0 && (options & CVGMO_NO_SYNCPOINT) != 0) ||
        ((options & CVGMO_BROWSE_FIRST) != 0 && (options & CVGMO_BROWSE_NEXT) != 0)) {
      return CVRC_OPTIONS_ERROR;
    }
    if (CVLONG rc = CheckBuffer(bufferLength, buffer, CVRC_BUFFER_LENGTH_ERROR); rc != 0) {
      return rc;
    }
    if (wantProps) {
      if (CVLONG rc = CheckBuffer(propBufferLength, propBuffer, CVRC_BUFFER_LENGTH_ERROR);
          rc != 0) {
        return rc;
      }
    } else {
      propBufferLength = kPropertiesNotAsked;
    }
    std::string props;
    CVLONG rc = browse
                    ? p.Conn->BrowseMessage(o->Queue, md, options, &o->BrowseCursor, bufferLength,
                                            buffer, dataLength, propBufferLength, &props)
                    : p.Conn->Get(o->Queue, md, options, bufferLength, buffer, dataLength,
                                  propBufferLength, &props);
    if (!wantProps) return rc;
    if (rc == CVRC_TRUNCATED_MSG_FAILED) {
      *propLength = static_cast<CVLONG>(props.size());
    } else if (rc == 0 || rc == CVRC_TRUNCATED_MSG_ACCEPTED) {
      size_t fit = FitProperties(props, propBufferLength);
      if (fit > 0) std::memcpy(propBuffer, props.data(), fit);
      *propLength = static_cast<CVLONG>(fit);
      if (fit < props.size()) rc = CVRC_TRUNCATED_MSG_ACCEPTED;
    }
    return rc;
  };
  auto start = std::chrono::steady_clock::now();
  CVLONG rc = OnConnection(hconn, look);
  // Reaching the backend means gmo was checked.
  if (rc == CVRC_NO_MSG_AVAILABLE && (gmo->Options & CVGMO_WAIT) != 0) {
    CVLONG waitMs = gmo->WaitInterval < 0 ? kUnlimitedWaitMs : gmo->WaitInterval;
    auto deadline = start + std::chrono::milliseconds(waitMs);
    for (auto now = start; rc == CVRC_NO_MSG_AVAILABLE && now < deadline;
         now = std::chrono::steady_clock::now()) {
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
      rc = OnConnection(hconn, look);
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
                    s == CVIA_MAX_Q_DEPTH || s == CVIA_Q_TYPE;
    if (s == CVCA_Q_MGR_NAME) {
      charsNeeded += CV_Q_MGR_NAME_LENGTH;
    } else if (!queueInt) {
      return CVRC_SELECTOR_ERROR;
    } else if (o.QmgrObject || (o.Queue.Type == CVQT_REMOTE && s != CVIA_Q_TYPE)) {
      return CVRC_SELECTOR_NOT_FOR_TYPE;
    } else {
      intsNeeded++;
    }
  }
  if (intsNeeded > intCount) return CVRC_INT_ATTR_COUNT_TOO_SMALL;
  if (charsNeeded > charLength) return CVRC_CHAR_ATTRS_TOO_SHORT;
  for (CVLONG i = 0; i < count; i++) {
    CVLONG value = 0;
    switch (selectors[i]) {
      case CVCA_Q_MGR_NAME: {
        const std::string &name = p.Conn->Name();
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
      default:
        value = o.Queue.Type;
        break;
    }
    *ints++ = value;
  }
  return 0;
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
  Report(OnConnection(hconn,
                      [&](Process &p) {
                        p.Conn.reset();  // backs out an open unit of work
                        p.Objects.clear();
                        *Hconn = CVHC_UNUSABLE_HCONN;
                        return CVLONG{0};
                      }),
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
    if (MsgDesc->Persistence < CVPER_NOT_PERSISTENT ||
        MsgDesc->Persistence > CVPER_PERSISTENCE_AS_Q_DEF) {
      return CVRC_PERSISTENCE_ERROR;
    }
    bool syncpoint = (PutMsgOpts->Options & CVPMO_SYNCPOINT) != 0;
    if (syncpoint && (PutMsgOpts->Options & CVPMO_NO_SYNCPOINT) != 0) return CVRC_OPTIONS_ERROR;
    if (CVLONG rc = CheckBuffer(BufferLength, Buffer, CVRC_DATA_LENGTH_ERROR); rc != 0) return rc;
    if (CVLONG rc = CheckProperties(PropLength, Props); rc != 0) return rc;
    std::string props = PropLength > 0 ? std::string(Props, static_cast<size_t>(PropLength)) : "";
    return p.Conn->Put(o->Queue, MsgDesc, syncpoint, Buffer, BufferLength, props);
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
    std::string marks = PropLength > 0 ? std::string(Props, static_cast<size_t>(PropLength)) : "";
    return p.Conn->Mark(MsgId, marks);
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
  Report(OnConnection(Hconn, [](Process &p) { return p.Conn->Commit(); }), CompCode, Reason);
}

void CVBACK(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Report(OnConnection(Hconn, [](Process &p) { return p.Conn->Backout(); }), CompCode, Reason);
}

}  // extern "C"
