// corvane.cpp - the nine calls: handle and option checks, then dispatch to
// the backend of the connected queue manager. One connection per process.
#include "corvane.h"

#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "backend.h"

namespace corvane {
namespace {

constexpr CVHCONN kHconn = 0x43560001;  // the one connection's handle

struct OpenObject {
  bool InUse = false;
  bool QmgrObject = false;
  CVLONG Options = 0;
  QueueDef Queue;
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

void Set(CVLONG *cc, CVLONG *reason, CVLONG rc) {
  *reason = rc;
  if (rc == 0) {
    *cc = CVCC_OK;
  } else if (rc == CVRC_TRUNCATED_MSG_ACCEPTED || rc == CVRC_ALREADY_CONNECTED) {
    *cc = CVCC_WARNING;
  } else {
    *cc = CVCC_FAILED;
  }
}

bool Connected(const Process &p, CVHCONN hconn) {
  return p.Conn != nullptr && p.Owner == getpid() && hconn == kHconn;
}

OpenObject *Object(Process &p, CVHOBJ hobj) {
  if (hobj < 1 || static_cast<size_t>(hobj) > p.Objects.size()) return nullptr;
  OpenObject &o = p.Objects[static_cast<size_t>(hobj) - 1];
  return o.InUse ? &o : nullptr;
}

constexpr CVLONG kInputOptions = CVOO_INPUT_AS_Q_DEF | CVOO_INPUT_SHARED | CVOO_INPUT_EXCLUSIVE;

}  // namespace
}  // namespace corvane

using namespace corvane;

extern "C" {

void CVCONN(const CVCHAR *QMgrName, CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  std::string name = QMgrName != nullptr ? FieldName(QMgrName, CV_Q_MGR_NAME_LENGTH) : "";
  if (p.Conn != nullptr && p.Owner != getpid()) {
    p.Conn.release();  // inherited across fork: the parent still owns it
    p.Objects.clear();
  }
  QmgrDef def;
  CVLONG rc = FindQmgr(name, &def);
  if (rc != 0) {
    Set(CompCode, Reason, rc);
    return;
  }
  if (p.Conn != nullptr) {
    *Hconn = kHconn;
    Set(CompCode, Reason,
        p.Conn->Name() == def.Name ? CVRC_ALREADY_CONNECTED : CVRC_ANOTHER_Q_MGR_CONNECTED);
    if (p.Conn->Name() != def.Name) *Hconn = CVHC_UNUSABLE_HCONN;
    return;
  }
  std::unique_ptr<Backend> backend;
  rc = OpenBackend(def, &backend);
  if (rc != 0) {
    *Hconn = CVHC_UNUSABLE_HCONN;
    Set(CompCode, Reason, rc);
    return;
  }
  p.Conn = std::move(backend);
  p.Owner = getpid();
  p.Objects.clear();
  *Hconn = kHconn;
  Set(CompCode, Reason, 0);
}

void CVDISC(CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (Hconn == nullptr || !Connected(p, *Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  p.Conn.reset();  // backs out an open unit of work
  p.Objects.clear();
  *Hconn = CVHC_UNUSABLE_HCONN;
  Set(CompCode, Reason, 0);
}

void CVOPEN(CVHCONN Hconn, CVOD *ObjDesc, CVLONG Options, CVHOBJ *Hobj, CVLONG *CompCode,
            CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (Hobj != nullptr) *Hobj = CVHO_UNUSABLE_HOBJ;
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  if (ObjDesc == nullptr || Hobj == nullptr) {
    Set(CompCode, Reason, CVRC_OD_ERROR);
    return;
  }
  constexpr CVLONG kKnown =
      kInputOptions | CVOO_BROWSE | CVOO_OUTPUT | CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING;
  if ((Options & ~kKnown) != 0 ||
      (Options & (kInputOptions | CVOO_BROWSE | CVOO_OUTPUT | CVOO_INQUIRE)) == 0) {
    Set(CompCode, Reason, CVRC_OPTIONS_ERROR);
    return;
  }
  OpenObject object;
  object.InUse = true;
  object.Options = Options;
  if (ObjDesc->ObjectType == CVOT_Q_MGR) {
    if ((Options & ~(CVOO_INQUIRE | CVOO_FAIL_IF_QUIESCING)) != 0) {
      Set(CompCode, Reason, CVRC_OPTION_NOT_VALID_FOR_TYPE);
      return;
    }
    object.QmgrObject = true;
  } else if (ObjDesc->ObjectType == CVOT_Q) {
    std::string name = FieldName(ObjDesc->ObjectName, CV_Q_NAME_LENGTH);
    if (!ValidName(name)) {
      Set(CompCode, Reason, CVRC_UNKNOWN_OBJECT_NAME);
      return;
    }
    if (CVLONG rc = p.Conn->LookupQueue(name, &object.Queue); rc != 0) {
      Set(CompCode, Reason, rc);
      return;
    }
    // A remote definition only forwards puts.
    if (object.Queue.Type == CVQT_REMOTE && (Options & (kInputOptions | CVOO_BROWSE)) != 0) {
      Set(CompCode, Reason, CVRC_OPTION_NOT_VALID_FOR_TYPE);
      return;
    }
  } else {
    Set(CompCode, Reason, CVRC_OBJECT_TYPE_ERROR);
    return;
  }
  size_t slot = 0;
  while (slot < p.Objects.size() && p.Objects[slot].InUse) slot++;
  if (slot == p.Objects.size()) {
    if (p.Objects.size() >= 4096) {
      Set(CompCode, Reason, CVRC_HANDLE_NOT_AVAILABLE);
      return;
    }
    p.Objects.emplace_back();
  }
  p.Objects[slot] = object;
  *Hobj = static_cast<CVHOBJ>(slot + 1);
  Set(CompCode, Reason, 0);
}

void CVCLOSE(CVHCONN Hconn, CVHOBJ *Hobj, CVLONG Options, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  OpenObject *o = Hobj != nullptr ? Object(p, *Hobj) : nullptr;
  if (o == nullptr) {
    Set(CompCode, Reason, CVRC_HOBJ_ERROR);
    return;
  }
  if (Options != CVCO_NONE) {
    Set(CompCode, Reason, CVRC_OPTIONS_ERROR);
    return;
  }
  o->InUse = false;
  *Hobj = CVHO_UNUSABLE_HOBJ;
  Set(CompCode, Reason, 0);
}

void CVPUT(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG BufferLength,
           const void *Buffer, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  OpenObject *o = Object(p, Hobj);
  if (o == nullptr || o->QmgrObject) {
    Set(CompCode, Reason, CVRC_HOBJ_ERROR);
    return;
  }
  if ((o->Options & CVOO_OUTPUT) == 0) {
    Set(CompCode, Reason, CVRC_NOT_OPEN_FOR_OUTPUT);
    return;
  }
  if (MsgDesc == nullptr) {
    Set(CompCode, Reason, CVRC_MD_ERROR);
    return;
  }
  if (PutMsgOpts == nullptr) {
    Set(CompCode, Reason, CVRC_PMO_ERROR);
    return;
  }
  if (MsgDesc->Persistence < CVPER_NOT_PERSISTENT ||
      MsgDesc->Persistence > CVPER_PERSISTENCE_AS_Q_DEF) {
    Set(CompCode, Reason, CVRC_PERSISTENCE_ERROR);
    return;
  }
  bool syncpoint = (PutMsgOpts->Options & CVPMO_SYNCPOINT) != 0;
  if (syncpoint && (PutMsgOpts->Options & CVPMO_NO_SYNCPOINT) != 0) {
    Set(CompCode, Reason, CVRC_OPTIONS_ERROR);
    return;
  }
  Set(CompCode, Reason, p.Conn->Put(o->Queue, MsgDesc, syncpoint, Buffer, BufferLength));
}

void CVGET(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG BufferLength,
           void *Buffer, CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  OpenObject *o = Object(p, Hobj);
  if (o == nullptr || o->QmgrObject) {
    Set(CompCode, Reason, CVRC_HOBJ_ERROR);
    return;
  }
  if ((o->Options & kInputOptions) == 0) {
    Set(CompCode, Reason, CVRC_NOT_OPEN_FOR_INPUT);
    return;
  }
  if (MsgDesc == nullptr) {
    Set(CompCode, Reason, CVRC_MD_ERROR);
    return;
  }
  if (GetMsgOpts == nullptr || DataLength == nullptr) {
    Set(CompCode, Reason, CVRC_GMO_ERROR);
    return;
  }
  CVLONG options = GetMsgOpts->Options;
  if ((options & CVGMO_SYNCPOINT) != 0 && (options & CVGMO_NO_SYNCPOINT) != 0) {
    Set(CompCode, Reason, CVRC_OPTIONS_ERROR);
    return;
  }
  // The data come back as stored: there is nothing to convert between
  // programs on one machine.
  CVLONG waitMs = (options & CVGMO_WAIT) != 0 ? GetMsgOpts->WaitInterval : 0;
  if (waitMs < 0) waitMs = 24L * 3600 * 1000;
  Set(CompCode, Reason,
      p.Conn->Get(o->Queue, MsgDesc, options, waitMs, BufferLength, Buffer, DataLength));
}

void CVINQ(CVHCONN Hconn, CVHOBJ Hobj, CVLONG SelectorCount, const CVLONG *Selectors,
           CVLONG IntAttrCount, CVLONG *IntAttrs, CVLONG CharAttrLength, CVCHAR *CharAttrs,
           CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  OpenObject *o = Object(p, Hobj);
  if (o == nullptr) {
    Set(CompCode, Reason, CVRC_HOBJ_ERROR);
    return;
  }
  if ((o->Options & CVOO_INQUIRE) == 0) {
    Set(CompCode, Reason, CVRC_NOT_OPEN_FOR_INQUIRE);
    return;
  }
  if (SelectorCount < 0 || SelectorCount > 256 || (SelectorCount > 0 && Selectors == nullptr)) {
    Set(CompCode, Reason, CVRC_SELECTOR_COUNT_ERROR);
    return;
  }
  if (IntAttrCount < 0 || (IntAttrCount > 0 && IntAttrs == nullptr)) {
    Set(CompCode, Reason, CVRC_INT_ATTR_COUNT_ERROR);
    return;
  }
  if (CharAttrLength < 0 || (CharAttrLength > 0 && CharAttrs == nullptr)) {
    Set(CompCode, Reason, CVRC_CHAR_ATTR_LENGTH_ERROR);
    return;
  }
  // Check every selector before anything is written.
  CVLONG ints = 0;
  CVLONG chars = 0;
  for (CVLONG i = 0; i < SelectorCount; i++) {
    CVLONG s = Selectors[i];
    bool queueInt = s == CVIA_CURRENT_Q_DEPTH || s == CVIA_MAX_MSG_LENGTH ||
                    s == CVIA_MAX_Q_DEPTH || s == CVIA_Q_TYPE;
    if (s == CVCA_Q_MGR_NAME) {
      chars += CV_Q_MGR_NAME_LENGTH;
    } else if (queueInt) {
      if (o->QmgrObject || (o->Queue.Type == CVQT_REMOTE && s != CVIA_Q_TYPE)) {
        Set(CompCode, Reason, CVRC_SELECTOR_NOT_FOR_TYPE);
        return;
      }
      ints++;
    } else {
      Set(CompCode, Reason, CVRC_SELECTOR_ERROR);
      return;
    }
  }
  if (ints > IntAttrCount) {
    Set(CompCode, Reason, CVRC_INT_ATTR_COUNT_TOO_SMALL);
    return;
  }
  if (chars > CharAttrLength) {
    Set(CompCode, Reason, CVRC_CHAR_ATTRS_TOO_SHORT);
    return;
  }
  CVLONG nextInt = 0;
  CVLONG nextChar = 0;
  for (CVLONG i = 0; i < SelectorCount; i++) {
    CVLONG value = 0;
    switch (Selectors[i]) {
      case CVCA_Q_MGR_NAME: {
        const std::string &name = p.Conn->Name();
        std::memset(CharAttrs + nextChar, ' ', CV_Q_MGR_NAME_LENGTH);
        std::memcpy(CharAttrs + nextChar, name.data(), name.size());
        nextChar += CV_Q_MGR_NAME_LENGTH;
        continue;
      }
      case CVIA_CURRENT_Q_DEPTH:
        if (CVLONG rc = p.Conn->Depth(o->Queue, &value); rc != 0) {
          Set(CompCode, Reason, rc);
          return;
        }
        break;
      case CVIA_MAX_MSG_LENGTH:
        value = o->Queue.MaxMsgLength;
        break;
      case CVIA_MAX_Q_DEPTH:
        value = o->Queue.MaxDepth;
        break;
      default:
        value = o->Queue.Type;
        break;
    }
    IntAttrs[nextInt++] = value;
  }
  Set(CompCode, Reason, 0);
}

void CVCMIT(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  Set(CompCode, Reason, p.Conn->Commit());
}

void CVBACK(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason) {
  Process &p = State();
  std::lock_guard<std::mutex> guard(p.Lock);
  if (!Connected(p, Hconn)) {
    Set(CompCode, Reason, CVRC_HCONN_ERROR);
    return;
  }
  Set(CompCode, Reason, p.Conn->Backout());
}

}  // extern "C"
