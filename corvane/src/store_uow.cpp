// store_uow.cpp - units of work in the store, and the removal of the body
// files of messages that leave it.
#include "store.h"

namespace corvane::store {

CVLONG LocalBackend::ReleaseSetAside() {
  CVLONG rc = 0;
  for (const auto &[id, state] : setAside_) {
    Stmt u(stmts_, "UPDATE messages SET state=?, holder=NULL WHERE id=? AND holder=?");
    int step = u.Bind(1, state).Bind(2, id).Bind(3, token_).Step();
    if (rc == 0 && step != SQLITE_DONE) rc = SqlFailure(step);
  }
  return rc;
}

CVLONG LocalBackend::EndUnitOfWork(const std::string &token, bool commit, sqlite3_int64 *held,
                                   sqlite3_int64 *pending) {
  // Held gets (state 1) leave or return, pending puts (state 2) appear or
  // go; the body files of what leaves are removed once that is committed.
  std::vector<std::string> files;
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    if (token == token_) rc = ReleaseSetAside();
    Stmt f(stmts_, commit ? "SELECT bodyfile FROM messages WHERE holder=? AND state=1 AND "
                            "bodyfile IS NOT NULL"
                          : "SELECT bodyfile FROM messages WHERE holder=? AND state=2 AND "
                            "bodyfile IS NOT NULL");
    f.Bind(1, token);
    while (f.Step() == SQLITE_ROW) files.push_back(f.Text(0));
    Stmt heldRows(stmts_, commit ? "DELETE FROM messages WHERE holder=? AND state=1"
                                 : "UPDATE messages SET state=0, holder=NULL, backout=backout+1 "
                                   "WHERE holder=? AND state=1");
    Stmt pendingRows(stmts_, commit ? "UPDATE messages SET state=0, holder=NULL WHERE holder=? "
                                      "AND state=2"
                                    : "DELETE FROM messages WHERE holder=? AND state=2");
    int step = heldRows.Bind(1, token).Step();
    if (rc == 0 && step != SQLITE_DONE) rc = SqlFailure(step);
    *held = sqlite3_changes(db_);
    step = pendingRows.Bind(1, token).Step();
    if (rc == 0 && step != SQLITE_DONE) rc = SqlFailure(step);
    *pending = sqlite3_changes(db_);
  }
  sqlite3_int64 journal = 0;
  if (rc == 0) rc = EndJournal(token, commit, &journal);
  if (rc == 0 && commit && token == token_ &&
      (*held != held_ || *pending != pending_ || journal != journal_)) {
    rc = kTakenAway;
  }
  return Finish(rc, files);
}

CVLONG LocalBackend::EndUnitOfWork(bool commit) {
  CVLONG result = 0;
  for (auto &[name, remote] : remotes_) {
    if (CVLONG rc = commit ? remote->Commit() : remote->Backout(); rc != 0) result = rc;
  }
  if (!uow_) return result;
  sqlite3_int64 held = 0, pending = 0;
  CVLONG rc = TakingOff([&] { return EndUnitOfWork(token_, commit, &held, &pending); });
  if (rc == kTakenAway) {
    // Another connection took this one for ended and backed part of its
    // unit of work out: the rest goes back too, and the caller hears so.
    TakingOff([&] { return EndUnitOfWork(token_, false, &held, &pending); });
    SetCause("another connection backed this unit of work out, taking its lock file " + lockPath_ +
             " for that of an ended process: " + std::to_string(held_ - held) +
             " of its gets and " + std::to_string(pending_ - pending) + " of its puts were gone");
    rc = CVRC_BACKED_OUT;
  } else if (rc != 0) {
    return rc;
  }
  uow_ = false;
  held_ = pending_ = journal_ = 0;
  setAside_.clear();
  return rc != 0 ? rc : result;
}

CVLONG LocalBackend::Commit() {
  return EndUnitOfWork(true);
}

CVLONG LocalBackend::Backout() {
  return EndUnitOfWork(false);
}

CVLONG LocalBackend::Doom(const std::vector<std::string> &files) {
  for (const std::string &f : files) {
    Stmt d(stmts_, "INSERT OR IGNORE INTO doomed VALUES(?)");
    if (int step = d.Bind(1, f).Step(); step != SQLITE_DONE) return SqlFailure(step);
  }
  return 0;
}

void LocalBackend::RemoveBodies(const std::vector<std::string> &files) {
  if (files.empty()) return;
  // ".part" first: its putter may be renaming it to the other name.
  for (const std::string &f : files) {
    unlink((BodyPath(f) + kPart).c_str());
    unlink(BodyPath(f).c_str());
  }
  // Losing this in a crash costs only a look at files already gone.
  Durable(false);
  if (Begin() == 0) {
    for (const std::string &f : files)
      Stmt(stmts_, "DELETE FROM doomed WHERE file=?").Bind(1, f).Step();
    if (End() != 0) Rollback();
  }
  Durable(true);
}

CVLONG LocalBackend::Finish(CVLONG rc, const std::vector<std::string> &files) {
  if (rc == 0) rc = Doom(files);
  if (rc == 0) rc = End();
  if (rc != 0) {
    Rollback();
    return rc;
  }
  RemoveBodies(files);
  return 0;
}

void LocalBackend::SetAside(sqlite3_int64 id, MsgState state) {
  held_--;
  setAside_[id] = state;
  if (Begin() != 0) return;
  Stmt u(stmts_, "UPDATE messages SET state=?, holder=NULL WHERE id=? AND holder=?");
  if (u.Bind(1, state).Bind(2, id).Bind(3, token_).Step() == SQLITE_DONE && End() == 0) {
    setAside_.erase(id);
  } else {
    Rollback();
  }
}

}  // namespace corvane::store
