// store_journal.cpp - the journal of a store: records beside the messages,
// changed at once or in the unit of work, and the store that keeps the
// journal of a queue manager on a broker.
//
// A key has one row. Its committed record is "value" (NULL while there is
// none); a unit of work that changes the key holds the row ("holder", as
// a held get does) with the change in "pending": the value it puts, or
// NULL for a delete. The row is what serialises connections adding the same
// key: the first one's row stands in the others' way until its unit of work
// ends. Ending it is EndJournal's, in the transaction that ends the unit of
// work's messages, so that both become durable together.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "store.h"

namespace corvane::store {

namespace {

// Binds bytes as parameter i of s; they must outlive the statement's use.
Stmt &BindBytes(Stmt &s, int i, const std::string &bytes) {
  return s.BindBlob(i, bytes.data(), static_cast<int>(bytes.size()));
}

// The least byte string greater than every one that begins with prefix;
// false when there is none (the prefix is empty or all 0xff bytes).
bool PrefixEnd(std::string prefix, std::string *end) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xff) prefix.pop_back();
  if (prefix.empty()) return false;
  prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
  *end = prefix;
  return true;
}

// What the connection of token sees of a row no other connection holds.
bool Sees(const JournalRow &row, const std::string &token) {
  return row.Holder == token ? row.PendingPut : row.Committed;
}

}  // namespace

CVLONG LocalBackend::ReadJournalRow(const std::string &key, JournalRow *row) {
  *row = JournalRow();
  Stmt s(stmts_, "SELECT value, holder, pending FROM journal WHERE key=?");
  int step = BindBytes(s, 1, key).Step();
  if (step == SQLITE_DONE) return 0;
  if (step != SQLITE_ROW) return SqlFailure(step);
  row->Found = true;
  row->Committed = !s.IsNull(0);
  row->Value = s.BlobText(0);
  row->Holder = s.IsNull(1) ? "" : s.Text(1);
  row->PendingPut = !s.IsNull(2);
  row->Pending = s.BlobText(2);
  return 0;
}

template <typename F>
CVLONG LocalBackend::ChangeJournal(const std::string &key, bool syncpoint, F change) {
  for (int attempt = 0;; attempt++) {
    // A pending change needs no fsync: after a crash it is void anyway.
    Durable(!syncpoint);
    JournalRow row;
    sqlite3_int64 held = 0;
    bool other = false;
    CVLONG rc = Begin();
    if (rc == 0) {
      rc = ReadJournalRow(key, &row);
      other = !row.Holder.empty() && row.Holder != token_;
      if (rc == 0 && (other || (!row.Holder.empty() && !syncpoint))) {
        SetCause(other ? "the key is held by the unit of work of another connection (" +
                             row.Holder + ")"
                       : "the key is held by this connection's unit of work: only a change "
                         "under syncpoint may change it before that ends");
        rc = CVRC_JOURNAL_KEY_EXISTS;
      } else if (rc == 0) {
        rc = change(row, &held);
      }
      rc = Finish(rc);
    }
    Durable(true);
    // A holder that has ended is backed out, once, and the change tried
    // again; one that may live keeps the key.
    if (rc == CVRC_JOURNAL_KEY_EXISTS && other && attempt == 0 && !Alive(row.Holder)) continue;
    if (rc == 0) {
      journal_ += held;
      uow_ = uow_ || syncpoint;
    }
    return rc;
  }
}

CVLONG LocalBackend::JournalPut(const std::string &key, const std::string &value, CVLONG options) {
  const bool syncpoint = (options & CVJO_SYNCPOINT) != 0;
  return ChangeJournal(key, syncpoint, [&](const JournalRow &row, sqlite3_int64 *held) -> CVLONG {
    if (Sees(row, token_) && (options & CVJO_REPLACE) == 0) {
      SetCause("the journal has a record of that key (CVJO_REPLACE replaces it)");
      return CVRC_JOURNAL_KEY_EXISTS;
    }
    const char *sql =
        !syncpoint  ? "INSERT OR REPLACE INTO journal(key, value, holder, pending) "
                      "VALUES(?1, ?2, NULL, NULL)"
        : row.Found ? "UPDATE journal SET holder=?3, pending=?2 WHERE key=?1"
                    : "INSERT INTO journal(key, value, holder, pending) VALUES(?1, NULL, ?3, ?2)";
    Stmt s(stmts_, sql);
    BindBytes(BindBytes(s, 1, key), 2, value);
    if (syncpoint) s.Bind(3, token_);
    if (int step = s.Step(); step != SQLITE_DONE) return SqlFailure(step);
    *held = syncpoint && row.Holder.empty() ? 1 : 0;
    return 0;
  });
}

CVLONG LocalBackend::JournalDelete(const std::string &key, CVLONG options) {
  const bool syncpoint = (options & CVJO_SYNCPOINT) != 0;
  return ChangeJournal(key, syncpoint, [&](const JournalRow &row, sqlite3_int64 *held) -> CVLONG {
    if (!Sees(row, token_)) return CVRC_JOURNAL_KEY_NOT_FOUND;
    // Without syncpoint, or undoing this unit of work's own addition, the
    // row goes; else the unit of work holds its deletion.
    const bool drop = !syncpoint || !row.Committed;
    Stmt s(stmts_, drop ? "DELETE FROM journal WHERE key=?1"
                        : "UPDATE journal SET holder=?2, pending=NULL WHERE key=?1");
    BindBytes(s, 1, key);
    if (!drop) s.Bind(2, token_);
    if (int step = s.Step(); step != SQLITE_DONE) return SqlFailure(step);
    *held = !syncpoint ? 0 : drop ? -1 : row.Holder.empty() ? 1 : 0;
    return 0;
  });
}

CVLONG LocalBackend::JournalGet(const std::string &key, std::string *value) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  JournalRow row;
  if (CVLONG rc = ReadJournalRow(key, &row); rc != 0) return rc;
  const bool own = row.Holder == token_;
  if (!(own ? row.PendingPut : row.Committed)) return CVRC_JOURNAL_KEY_NOT_FOUND;
  *value = own ? row.Pending : row.Value;
  return 0;
}

CVLONG LocalBackend::JournalNext(const std::string &prefix, std::string *key, std::string *value) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  // Blobs compare as memcmp does, shorter first: the keys with the prefix
  // are those from it up to, not including, PrefixEnd.
  std::string end;
  const bool bounded = PrefixEnd(prefix, &end);
  std::string sql = "SELECT key, value FROM journal WHERE value IS NOT NULL AND key>=?1";
  if (bounded) sql += " AND key<?2";
  if (!key->empty()) sql += " AND key>?3";
  sql += " ORDER BY key LIMIT 1";
  Stmt s(stmts_, sql.c_str());
  BindBytes(s, 1, prefix);
  if (bounded) BindBytes(s, 2, end);
  if (!key->empty()) BindBytes(s, 3, *key);
  int step = s.Step();
  if (step == SQLITE_DONE) return CVRC_JOURNAL_KEY_NOT_FOUND;
  if (step != SQLITE_ROW) return SqlFailure(step);
  *key = s.BlobText(0);
  *value = s.BlobText(1);
  return 0;
}

CVLONG LocalBackend::EndJournal(const std::string &token, bool commit, sqlite3_int64 *rows) {
  // Deletions first (their rows go at commit), then the rest: a commit makes
  // each pending value the record, a back-out drops additions and releases
  // the other rows as they were.
  const char *first = commit ? "DELETE FROM journal WHERE holder=? AND pending IS NULL"
                             : "DELETE FROM journal WHERE holder=? AND value IS NULL";
  const char *rest = commit ? "UPDATE journal SET value=pending, pending=NULL, holder=NULL "
                              "WHERE holder=?"
                            : "UPDATE journal SET pending=NULL, holder=NULL WHERE holder=?";
  *rows = 0;
  for (const char *sql : {first, rest}) {
    Stmt s(stmts_, sql);
    if (int step = s.Bind(1, token).Step(); step != SQLITE_DONE) return SqlFailure(step);
    *rows += sqlite3_changes(db_);
  }
  return 0;
}

}  // namespace corvane::store

namespace corvane {

CVLONG OpenJournalStore(const QmgrDef &qmgr, std::unique_ptr<Backend> *out) {
  QmgrDef def = qmgr;
  def.Kind = QmgrKind::kLocal;
  def.Dir = qmgr.Dir + "/journal";
  def.Url.clear();
  // Made whole under a temporary name with the new-store marker, then
  // renamed: a journal directory without its database is damage to report,
  // never a store another process is making.
  struct stat st;
  if (stat(def.Dir.c_str(), &st) != 0 && errno == ENOENT) {
    std::string tmp = def.Dir + ".XXXXXX";
    if (mkdtemp(tmp.data()) == nullptr) {
      SetErrnoCause(tmp);
      return CVRC_RESOURCE_PROBLEM;
    }
    const std::string marker = tmp + "/" + kNewStoreMarker;
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    const bool placed = fd >= 0 && rename(tmp.c_str(), def.Dir.c_str()) == 0;
    if (!placed) {
      unlink(marker.c_str());
      rmdir(tmp.c_str());
      if (fd < 0) {
        SetErrnoCause(marker, err);
        return CVRC_RESOURCE_PROBLEM;
      }
    } else {
      SyncDir(qmgr.Dir);
    }
  }
  return OpenLocalBackend(def, out);
}

}  // namespace corvane
