// store_stmt.cpp - the store's prepared statements and transactions.
#include <cerrno>

#include "store.h"

namespace corvane::store {

void StmtCache::Clear() {
  for (auto &entry : entries_) sqlite3_finalize(entry.second.stmt);
  entries_.clear();
}

sqlite3_stmt *StmtCache::Acquire(const char *sql, bool *kept) {
  *kept = false;
  auto it = entries_.find(sql);
  if (it != entries_.end() && !it->second.busy) {
    it->second.busy = true;
    *kept = true;
    return it->second.stmt;
  }
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(*db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  if (it == entries_.end()) {
    entries_.emplace(sql, Entry{stmt, true});
    *kept = true;
  }
  return stmt;
}

void StmtCache::Release(const char *sql, sqlite3_stmt *stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  auto it = entries_.find(sql);
  if (it != entries_.end() && it->second.stmt == stmt) it->second.busy = false;
}

// Takes a statement for sql from the cache (or a fresh one).
Stmt::Stmt(StmtCache &cache, const char *sql) : cache_(cache), sql_(sql) {
  stmt_ = cache.Acquire(sql, &kept_);
}

// Hands a kept statement back, finalizes any other.
Stmt::~Stmt() {
  if (stmt_ == nullptr) return;
  if (kept_) {
    cache_.Release(sql_, stmt_);
  } else {
    sqlite3_finalize(stmt_);
  }
}

CVLONG LocalBackend::SqlFailure(int rc) {
  lastSql_ = rc;
  SetCause("SQLite " + std::to_string(rc) + ": " + sqlite3_errmsg(db_));
  int err = sqlite3_system_errno(db_);
  if (rc == SQLITE_FULL || ((rc & 0xff) == SQLITE_IOERR && (err == ENOSPC || err == EDQUOT))) {
    return CVRC_Q_SPACE_NOT_AVAILABLE;
  }
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return CVRC_OBJECT_DAMAGED;
  return CVRC_RESOURCE_PROBLEM;
}

CVLONG LocalBackend::Exec(const char *sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::Run(const char *sql) {
  Stmt s(stmts_, sql);
  int rc = s.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::Begin() {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  return Run("BEGIN IMMEDIATE");
}

CVLONG LocalBackend::End() {
  // Never into a log that is no longer the store's.
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  return Run("COMMIT");
}

void LocalBackend::Rollback() {
  Stmt(stmts_, "ROLLBACK").Step();
}

void LocalBackend::Durable(bool on) {
  if (on == durable_) return;
  if (Run(on ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF") == 0) durable_ = on;
}

bool LocalBackend::Retryable() const {
  return (lastSql_ & 0xff) == SQLITE_BUSY || (lastSql_ & 0xff) == SQLITE_LOCKED;
}

}  // namespace corvane::store
