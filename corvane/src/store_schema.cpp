// store_schema.cpp - opening a local queue manager's store: its files, its
// schema (made, checked, brought up to date) and the recovery of what
// connections that ended left behind.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "store.h"

namespace corvane::store {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE IF NOT EXISTS queues(name TEXT PRIMARY KEY, type INTEGER NOT NULL,"
    " maxdepth INTEGER NOT NULL, maxmsgl INTEGER NOT NULL, rqmgr TEXT, rqueue TEXT,"
    " bothresh INTEGER NOT NULL DEFAULT 0, boqname TEXT);"
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " queue TEXT NOT NULL, state INTEGER NOT NULL, holder TEXT, msgid BLOB NOT NULL,"
    " correlid BLOB NOT NULL, md BLOB NOT NULL, length INTEGER NOT NULL, body BLOB,"
    " bodyfile TEXT, backout INTEGER NOT NULL DEFAULT 0, props BLOB, grpid BLOB, grpseq INTEGER,"
    " grplast INTEGER);"
    "CREATE INDEX IF NOT EXISTS messages_by_queue ON messages(queue, state, id);"
    // Most rows have no holder; leaving them out spares every put an index
    // page.
    "CREATE INDEX IF NOT EXISTS messages_by_holder ON messages(holder)"
    " WHERE holder IS NOT NULL;"
    "CREATE TABLE IF NOT EXISTS doomed(file TEXT PRIMARY KEY);"
    // The journal: value is the committed record (NULL: none yet); a unit
    // of work that changes the key holds it, putting pending (NULL: a
    // delete).
    "CREATE TABLE IF NOT EXISTS journal(key BLOB PRIMARY KEY, value BLOB, holder TEXT,"
    " pending BLOB);"
    "CREATE INDEX IF NOT EXISTS journal_by_holder ON journal(holder) WHERE holder IS NOT NULL;";

namespace {

// Columns added to the tables of kSchema since stores were first made, each
// with a statement that fails without it; a store made before gets them
// when it is opened.
struct AddedColumn {
  const char *Probe;
  const char *Add;
};
constexpr AddedColumn kAddedColumns[] = {
    {"SELECT props FROM messages LIMIT 0", "ALTER TABLE messages ADD COLUMN props BLOB"},
    {"SELECT bothresh FROM queues LIMIT 0",
     "ALTER TABLE queues ADD COLUMN bothresh INTEGER NOT NULL DEFAULT 0"},
    {"SELECT boqname FROM queues LIMIT 0", "ALTER TABLE queues ADD COLUMN boqname TEXT"},
    // Segments of groups: their group (NULL outside one), their place in
    // it and whether they are its last (1).
    {"SELECT grpid FROM messages LIMIT 0", "ALTER TABLE messages ADD COLUMN grpid BLOB"},
    {"SELECT grpseq FROM messages LIMIT 0", "ALTER TABLE messages ADD COLUMN grpseq INTEGER"},
    {"SELECT grplast FROM messages LIMIT 0", "ALTER TABLE messages ADD COLUMN grplast INTEGER"},
    // The segments of a group, found without a look at plain messages: the
    // index leaves them out.
    {"SELECT id FROM messages INDEXED BY messages_by_group WHERE queue='' AND grpid=x'00'",
     "CREATE INDEX messages_by_group ON messages(queue, grpid, grpseq) WHERE grpid IS NOT NULL"}};

}  // namespace

// Backs out the open unit of work, closes the database (the last
// connection writes the log into it and removes it) and drops the lock.
LocalBackend::~LocalBackend() {
  if (db_ != nullptr) {
    if (uow_) Backout();
    remotes_.clear();
    CloseDatabase();
  }
  if (walFd_ >= 0) close(walFd_);
  DropLock();
}

CVLONG LocalBackend::Open() {
  bodiesDir_ = def_.Dir + "/bodies";
  connDir_ = def_.Dir + "/conn";
  reservePath_ = def_.Dir + "/reserve";
  if (CVLONG rc = MakeDirs(); rc != 0) return rc;
  std::string path = def_.Dir + "/store.db";
  bool fresh = false;
  if (CVLONG rc = CheckDatabaseFile(path, &fresh); rc != 0) return rc;
  // Before SQLite, which would take a log that lost frames for a shorter one.
  if (std::string why = StoreWalProblem(path); !why.empty()) {
    SetCause(why + " (see cvadmin check)");
    return CVRC_OBJECT_DAMAGED;
  }
  if (CVLONG rc = OpenDatabase(path, fresh); rc != 0) return rc;
  if (CVLONG rc = WatchLog(path); rc != 0) return rc;
  if (fresh) SealNewStore(def_.Dir + "/" + kNewStoreMarker);
  Durable(true);
  if (CVLONG rc = TakeLock(); rc != 0) return rc;
  RecoverAll();
  EnsureReserve();
  return 0;
}

CVLONG LocalBackend::MakeDirs() {
  for (const std::string &dir : {bodiesDir_, connDir_}) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      SetErrnoCause(dir);
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
  }
  return 0;
}

CVLONG LocalBackend::CheckDatabaseFile(const std::string &path, bool *fresh) {
  // Only a queue manager made without a store yet gets a new one: any other
  // store that is missing or empty held messages, which the operator must
  // hear about rather than find an empty queue manager.
  *fresh = access((def_.Dir + "/" + kNewStoreMarker).c_str(), F_OK) == 0;
  struct stat st;
  if (*fresh) {
    // Created 0600 before SQLite opens it; its journal files take its mode.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      SetErrnoCause(path);
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
    close(fd);
  } else if (stat(path.c_str(), &st) != 0) {
    int err = errno;
    SetErrnoCause(path, err);
    return err == ENOENT ? CVRC_OBJECT_DAMAGED : CVRC_Q_MGR_NOT_AVAILABLE;
  } else if (st.st_size == 0) {
    // SQLite would take it for a new database and drop its log.
    SetCause(path + ": empty, yet its queue manager was in use (see cvadmin check)");
    return CVRC_OBJECT_DAMAGED;
  }
  return 0;
}

CVLONG LocalBackend::OpenDatabase(const std::string &path, bool fresh) {
  if (int rc =
          sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
      rc != SQLITE_OK) {
    SqlFailure(rc);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  sqlite3_busy_timeout(db_, 60000);
  // Several processes may open a new store at once; switching it to WAL
  // takes a lock that the busy handler does not wait for, so retry that,
  // and only that.
  CVLONG rc = CVRC_Q_MGR_NOT_AVAILABLE;
  for (int attempt = 0; attempt < 200 && rc != 0; attempt++) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10 + attempt));
    lastSql_ = SQLITE_OK;
    rc = fresh ? 0 : VerifySchema(path);
    if (rc == 0) rc = Exec("PRAGMA journal_mode=WAL");
    if (rc == 0) rc = fresh ? CreateSchema() : Exec(kSchema);  // the latter adds new tables
    if (rc == 0) rc = UpgradeSchema();  // a new store too: its indexes beyond kSchema
    if (rc != 0 && !Retryable()) break;
  }
  return rc;
}

void LocalBackend::SealNewStore(const std::string &marker) {
  // The schema goes into the database file itself: from now on a lost log
  // can no longer make the store look new.
  Stmt cp(stmts_, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (cp.Step() == SQLITE_ROW && cp.Int(0) == 0 && unlink(marker.c_str()) == 0) {
    SyncDir(def_.Dir);
  }
}

CVLONG LocalBackend::VerifySchema(const std::string &path) {
  sqlite3_stmt *s = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key='created'", -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  std::string message = sqlite3_errmsg(db_);
  sqlite3_finalize(s);
  if (rc == SQLITE_ROW) return 0;
  lastSql_ = rc;
  if (Retryable()) return SqlFailure(rc);
  if (rc == SQLITE_DONE || rc == SQLITE_ERROR || rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
    SetCause(path + ": " + (rc == SQLITE_DONE ? "no queue manager recorded" : message) +
             " (see cvadmin check)");
    return CVRC_OBJECT_DAMAGED;
  }
  SetCause(path + ": SQLite " + std::to_string(rc) + ": " + message);
  return CVRC_RESOURCE_PROBLEM;
}

// Makes the tables of a new store and, once, its default queue.
CVLONG LocalBackend::CreateSchema() {
  if (CVLONG rc = Exec(kSchema); rc != 0) return rc;
  if (CVLONG rc = Begin(); rc != 0) return rc;
  Stmt created(stmts_, "SELECT value FROM meta WHERE key='created'");
  if (created.Step() != SQLITE_ROW) {
    // A new queue manager gets its default queue exactly once.
    Stmt q(stmts_, "INSERT OR IGNORE INTO queues(name, type, maxdepth, maxmsgl) VALUES(?,?,?,?)");
    q.Bind(1, std::string(kDefaultQueue)).Bind(2, CVQT_LOCAL).Bind(3, kDefaultMaxDepth);
    q.Bind(4, kDefaultMaxMsgLength);
    Stmt m(stmts_, "INSERT INTO meta VALUES('created', datetime('now'))");
    if (q.Step() != SQLITE_DONE || m.Step() != SQLITE_DONE) {
      Rollback();
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
  }
  return End();
}

CVLONG LocalBackend::UpgradeSchema() {
  // Cheap enough to ask on every open; in a write transaction so that
  // processes opening the same old store at once add each column once.
  auto has = [&](const AddedColumn &c) {
    sqlite3_stmt *s = nullptr;
    bool there = sqlite3_prepare_v2(db_, c.Probe, -1, &s, nullptr) == SQLITE_OK;
    sqlite3_finalize(s);
    return there;
  };
  if (std::all_of(std::begin(kAddedColumns), std::end(kAddedColumns), has)) return 0;
  if (CVLONG rc = Begin(); rc != 0) return rc;
  CVLONG rc = 0;
  for (const AddedColumn &c : kAddedColumns) {
    if (rc == 0 && !has(c)) rc = Exec(c.Add);
  }
  if (rc == 0) rc = End();
  if (rc != 0) Rollback();
  return rc;
}

bool LocalBackend::EnsureReserve() {
  struct stat st;
  if (stat(reservePath_.c_str(), &st) == 0 && st.st_size >= kReserveBytes) return true;
  std::string tmp = reservePath_ + "." + token_;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = fd < 0 ? errno : posix_fallocate(fd, 0, kReserveBytes);
  if (fd >= 0) close(fd);
  if (err == 0 && rename(tmp.c_str(), reservePath_.c_str()) == 0) return true;
  if (err == 0) err = errno;
  unlink(tmp.c_str());
  SetCause(def_.Dir + ": " + std::strerror(err) + ": puts wait until " +
           std::to_string(kReserveBytes >> 20) + " MiB are free again for taking messages off");
  return false;
}

void LocalBackend::RecoverAll() {
  std::vector<std::string> tokens;
  for (const std::string &name : StoreListDir(connDir_)) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0) {
      tokens.push_back(name.substr(0, name.size() - 5));
    } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      SweepStaleTmp(name);
    }
  }
  for (const std::string &t : tokens) Alive(t);
  // Held rows whose lock file is already gone.
  std::set<std::string> holders;
  {
    Stmt s(stmts_,
           "SELECT holder FROM messages WHERE holder IS NOT NULL UNION "
           "SELECT holder FROM journal WHERE holder IS NOT NULL");
    while (s.Step() == SQLITE_ROW) holders.insert(s.Text(0));
  }
  for (const std::string &h : holders) Alive(h);
  // A reserve being set aside by a process that ended meanwhile.
  for (const std::string &name : StoreListDir(def_.Dir)) {
    int fd = -1;
    if (name.rfind("reserve.", 0) == 0 && StoreHolderGone(connDir_, name.substr(8), &fd)) {
      unlink((def_.Dir + "/" + name).c_str());
    }
    if (fd >= 0) close(fd);
  }
  RemoveOrphanBodies();
}

void LocalBackend::RemoveOrphanBodies() {
  std::vector<std::string> doomed;
  {
    Stmt s(stmts_, "SELECT file FROM doomed");
    while (s.Step() == SQLITE_ROW) doomed.push_back(s.Text(0));
  }
  RemoveBodies(doomed);
  for (const std::string &name : StoreListDir(bodiesDir_)) {
    bool part = false;
    std::string base = StoreBodyBase(name, &part);
    // Its writer may still be about to insert its row or rename it.
    if (!part || Alive(base.substr(0, base.rfind('-')))) continue;
    Stmt s(stmts_, "SELECT 1 FROM messages WHERE bodyfile=?");
    s.Bind(1, base);
    int step = s.Step();
    if (step == SQLITE_ROW && access(BodyPath(base).c_str(), F_OK) != 0) {
      rename(BodyPath(name).c_str(), BodyPath(base).c_str());  // committed, not yet renamed
    } else if (step == SQLITE_DONE || step == SQLITE_ROW) {
      unlink(BodyPath(name).c_str());  // never committed, or a stale copy
    }
    // A complete body that no row names stays: its row was lost.
  }
}

}  // namespace corvane::store

namespace corvane {

CVLONG OpenLocalBackend(const QmgrDef &def, std::unique_ptr<Backend> *out) {
  auto backend = std::make_unique<store::LocalBackend>(def);
  if (CVLONG rc = backend->Open(); rc != 0) return rc;
  *out = std::move(backend);
  return 0;
}

}  // namespace corvane
