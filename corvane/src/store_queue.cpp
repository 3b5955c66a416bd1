// store_queue.cpp - the store's queues: their definitions, remote
// definitions' targets, and what concerns a whole queue (depth, browse,
// clear).
#include <cstring>

#include "store.h"

namespace corvane::store {

CVLONG LocalBackend::LookupQueue(const std::string &name, QueueDef *def) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  Stmt s(stmts_,
         "SELECT type, maxdepth, maxmsgl, rqmgr, rqueue, bothresh, boqname FROM queues WHERE "
         "name=?");
  s.Bind(1, name);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return CVRC_UNKNOWN_OBJECT_NAME;  // says it all
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  def->Name = name;
  def->Type = static_cast<CVLONG>(s.Int(0));
  def->MaxDepth = static_cast<CVLONG>(s.Int(1));
  def->MaxMsgLength = static_cast<CVLONG>(s.Int(2));
  def->RemoteQmgr = s.Text(3);
  def->RemoteQueue = s.Text(4);
  def->BackoutThreshold = static_cast<CVLONG>(s.Int(5));
  def->BackoutQueue = s.Text(6);
  return 0;
}

CVLONG LocalBackend::ForwardTarget(const QueueDef &queue, Backend **target, QueueDef *dest) {
  if (queue.RemoteQmgr == def_.Name) {
    *target = this;
  } else {
    auto it = remotes_.find(queue.RemoteQmgr);
    if (it == remotes_.end()) {
      QmgrDef remote;
      if (FindQmgr(queue.RemoteQmgr, &remote, false) != 0) {
        SetCause("the remote definition " + queue.Name + " names queue manager " +
                 queue.RemoteQmgr + ", which does not exist");
        return CVRC_UNKNOWN_REMOTE_Q_MGR;
      }
      std::unique_ptr<Backend> opened;
      if (CVLONG rc = OpenBackend(remote, &opened); rc != 0) return rc;
      it = remotes_.emplace(queue.RemoteQmgr, std::move(opened)).first;
    }
    *target = it->second.get();
  }
  if ((*target)->LookupQueue(queue.RemoteQueue, dest) != 0) {
    SetCause("the remote definition " + queue.Name + " names queue " + queue.RemoteQueue +
             ", which queue manager " + queue.RemoteQmgr + " does not have");
    return CVRC_UNKNOWN_OBJECT_NAME;
  }
  if (dest->Type != CVQT_LOCAL) {  // no chains of forwarding
    SetCause("the remote definition " + queue.Name + " names " + queue.RemoteQmgr + "/" +
             queue.RemoteQueue + ", itself a remote definition");
    return CVRC_Q_TYPE_ERROR;
  }
  return 0;
}

CVLONG LocalBackend::DefineQueue(const QueueDef &queue) {
  if (!CheckName(queue.Name)) return CVRC_OBJECT_NAME_ERROR;
  if (queue.Type == CVQT_REMOTE &&
      (!CheckName(queue.RemoteQmgr) || !CheckName(queue.RemoteQueue))) {
    return CVRC_REMOTE_Q_NAME_ERROR;
  }
  if (queue.MaxDepth < 0 || queue.MaxMsgLength < 0) return CVRC_Q_TYPE_ERROR;
  if (CVLONG rc = CheckBackout(queue); rc != 0) return rc;
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  Stmt s(stmts_,
         "INSERT INTO queues(name, type, maxdepth, maxmsgl, rqmgr, rqueue, bothresh, boqname) "
         "VALUES(?,?,?,?,?,?,?,?)");
  s.Bind(1, queue.Name).Bind(2, queue.Type).Bind(3, queue.MaxDepth).Bind(4, queue.MaxMsgLength);
  if (queue.Type == CVQT_REMOTE) {
    s.Bind(5, queue.RemoteQmgr).Bind(6, queue.RemoteQueue);
  } else {
    s.BindNull(5).BindNull(6);
  }
  s.Bind(7, queue.BackoutThreshold);
  if (queue.BackoutQueue.empty()) {
    s.BindNull(8);
  } else {
    s.Bind(8, queue.BackoutQueue);
  }
  int rc = s.Step();
  if (rc == SQLITE_CONSTRAINT) {
    SetCause("queue " + queue.Name + " exists already on queue manager " + def_.Name);
    return CVRC_OBJECT_ALREADY_EXISTS;
  }
  return rc == SQLITE_DONE ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::AlterQueue(const QueueDef &queue) {
  QueueDef now;
  if (CVLONG rc = LookupQueue(queue.Name, &now); rc != 0) return rc;
  if (now.Type == CVQT_REMOTE) {
    SetCause(queue.Name + " is a remote definition: the queue it sends to has the limits");
    return CVRC_Q_TYPE_ERROR;
  }
  if (queue.MaxDepth < 0 || queue.MaxMsgLength < 0) return CVRC_Q_TYPE_ERROR;
  if (CVLONG rc = CheckBackout(queue); rc != 0) return rc;
  Stmt u(stmts_,
         "UPDATE queues SET maxdepth=?, maxmsgl=?, bothresh=?, boqname=NULLIF(?, '') WHERE "
         "name=?");
  u.Bind(1, queue.MaxDepth).Bind(2, queue.MaxMsgLength).Bind(3, queue.BackoutThreshold);
  int rc = u.Bind(4, queue.BackoutQueue).Bind(5, queue.Name).Step();
  if (rc != SQLITE_DONE) return SqlFailure(rc);
  return sqlite3_changes(db_) == 1 ? 0 : CVRC_UNKNOWN_OBJECT_NAME;  // deleted meanwhile
}

CVLONG LocalBackend::DeleteQueue(const std::string &name) {
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    Stmt q(stmts_, "SELECT 1 FROM queues WHERE name=?");
    Stmt m(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=?");
    if (q.Bind(1, name).Step() != SQLITE_ROW) {
      SetCause("no queue " + name + " on queue manager " + def_.Name);
      rc = CVRC_UNKNOWN_OBJECT_NAME;
    } else if (m.Bind(1, name).Step() != SQLITE_ROW || m.Int(0) > 0) {
      SetCause("queue " + name + " holds messages (cvadmin clear empties it)");
      rc = CVRC_Q_NOT_EMPTY;
    } else {
      Stmt d(stmts_, "DELETE FROM queues WHERE name=?");
      if (int step = d.Bind(1, name).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
    }
  }
  return Finish(rc);
}

CVLONG LocalBackend::ListQueues(std::vector<QueueDef> *queues) {
  queues->clear();
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  Stmt s(stmts_, "SELECT name FROM queues ORDER BY name");
  int step;
  while ((step = s.Step()) == SQLITE_ROW) {
    QueueDef def;
    CVLONG rc = LookupQueue(s.Text(0), &def);
    if (rc != 0 && rc != CVRC_UNKNOWN_OBJECT_NAME) return rc;
    if (rc == 0) queues->push_back(def);
  }
  return step == SQLITE_DONE ? 0 : SqlFailure(step);
}

CVLONG LocalBackend::Depth(const QueueDef &queue, CVLONG *depth) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  Stmt s(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=? AND state IN (0,1,3)");
  s.Bind(1, queue.Name);
  int rc = s.Step();
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  *depth = static_cast<CVLONG>(s.Int(0));
  return 0;
}

CVLONG LocalBackend::OldestAge(const QueueDef &queue, CVLONG *seconds) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  Stmt s(stmts_, "SELECT md FROM messages WHERE queue=? AND state IN (0,1,3) ORDER BY id LIMIT 1");
  int rc = s.Bind(1, queue.Name).Step();
  if (rc == SQLITE_DONE) {
    *seconds = -1;
    return 0;
  }
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  *seconds = PutAge(StoreReadMd(s.Blob(0), s.Bytes(0)));
  return 0;
}

CVLONG LocalBackend::Browse(const std::string &name, std::vector<MessageInfo> *messages) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  messages->clear();
  Stmt s(stmts_,
         "SELECT md, length, backout, state, props FROM messages WHERE queue=? AND state IN "
         "(0,1,3) ORDER BY id");
  s.Bind(1, name);
  int step;
  while ((step = s.Step()) == SQLITE_ROW) {
    MessageInfo info;
    info.Md = StoreReadMd(s.Blob(0), s.Bytes(0));
    info.Length = static_cast<CVLONG>(s.Int(1));
    info.Md.BackoutCount = static_cast<CVLONG>(s.Int(2));
    info.Held = s.Int(3) == kHeld;
    info.Damaged = s.Int(3) == kDamaged;
    info.Props = s.BlobText(4);
    messages->push_back(info);
  }
  // A browse that cannot read every message fails rather than show fewer.
  return step == SQLITE_DONE ? 0 : SqlFailure(step);
}

CVLONG LocalBackend::RemoveMessages(const std::string &name, MsgState state, CVLONG *removed) {
  return TakingOff([&] {
    std::vector<std::string> files;
    CVLONG rc = Begin();
    if (rc != 0) return rc;
    {
      Stmt f(stmts_,
             "SELECT bodyfile FROM messages WHERE queue=? AND state=? AND bodyfile IS NOT "
             "NULL");
      f.Bind(1, name).Bind(2, state);
      while (f.Step() == SQLITE_ROW) files.push_back(f.Text(0));
      Stmt d(stmts_, "DELETE FROM messages WHERE queue=? AND state=?");
      if (int step = d.Bind(1, name).Bind(2, state).Step(); step != SQLITE_DONE) {
        rc = SqlFailure(step);
      }
      *removed = static_cast<CVLONG>(sqlite3_changes(db_));
    }
    return Finish(rc, files);
  });
}

CVLONG LocalBackend::Clear(const std::string &name, CVLONG *removed) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  RecoverHolders(name);
  return RemoveMessages(name, kVisible, removed);
}

CVLONG LocalBackend::ClearDamaged(const std::string &name, CVLONG *removed) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  return RemoveMessages(name, kDamaged, removed);
}

}  // namespace corvane::store
