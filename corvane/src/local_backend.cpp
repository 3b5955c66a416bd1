// local_backend.cpp - the embedded store of a local queue manager.
//
// Metadata and small bodies live in SQLite (WAL mode) in "store.db"; bodies
// above kInlineBodyMax live in files of their own under "bodies/", written
// and made durable before the row that makes the message visible commits,
// and removed after the commit that consumes it. A unit of work is a set of
// rows marked with the connection's token (held gets, pending puts), so no
// SQLite transaction stays open while the program talks to an FTP server.
// Each connection holds an flock on "conn/<token>.lock" for its life: a
// lock that can be taken belongs to a process that has ended, and its unit
// of work is backed out by whoever notices first.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "backend.h"

namespace corvane {

namespace {

// Bodies up to this size stay in the database; larger ones get a file.
constexpr CVLONG kInlineBodyMax = 131072;

// A temporary lock file older than this belongs to a creator that died.
constexpr time_t kStaleTmpSeconds = 60;

enum MsgState { kVisible = 0, kHeld = 1, kPending = 2 };

// Prepared statements of one database connection, kept for reuse: parsing
// the same few statements again on every call cost more CPU than the work
// they do. A statement that is in use when its text comes up again (a
// nested use) is prepared afresh for that use.
class StmtCache {
 public:
  explicit StmtCache(sqlite3 *const *db) : db_(db) {}
  ~StmtCache() { Clear(); }
  StmtCache(const StmtCache &) = delete;
  StmtCache &operator=(const StmtCache &) = delete;
  // Finalizes every kept statement; required before the connection closes.
  void Clear() {
    for (auto &entry : entries_) sqlite3_finalize(entry.second.stmt);
    entries_.clear();
  }
  // A statement for sql, reset and unbound; *kept tells whether it must be
  // handed back with Release rather than finalized.
  sqlite3_stmt *Acquire(const char *sql, bool *kept) {
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
  void Release(const char *sql, sqlite3_stmt *stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    auto it = entries_.find(sql);
    if (it != entries_.end() && it->second.stmt == stmt) it->second.busy = false;
  }

 private:
  struct Entry {
    sqlite3_stmt *stmt;
    bool busy;
  };
  sqlite3 *const *db_;
  std::map<std::string, Entry, std::less<>> entries_;
};

// A prepared statement for the length of a scope.
class Stmt {
 public:
  Stmt(StmtCache &cache, const char *sql) : cache_(cache), sql_(sql) {
    stmt_ = cache.Acquire(sql, &kept_);
  }
  ~Stmt() {
    if (stmt_ == nullptr) return;
    if (kept_) {
      cache_.Release(sql_, stmt_);
    } else {
      sqlite3_finalize(stmt_);
    }
  }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  bool ok() const { return stmt_ != nullptr; }
  Stmt &Bind(int i, const std::string &s) {
    sqlite3_bind_text(stmt_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt &Bind(int i, sqlite3_int64 v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt &BindBlob(int i, const void *p, int n) {
    if (n == 0) {
      sqlite3_bind_zeroblob(stmt_, i, 0);
    } else {
      sqlite3_bind_blob(stmt_, i, p, n, SQLITE_STATIC);
    }
    return *this;
  }
  Stmt &BindNull(int i) {
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  sqlite3_int64 Int(int i) { return sqlite3_column_int64(stmt_, i); }
  std::string Text(int i) {
    const unsigned char *t = sqlite3_column_text(stmt_, i);
    return t != nullptr ? reinterpret_cast<const char *>(t) : "";
  }
  bool IsNull(int i) { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  const void *Blob(int i) { return sqlite3_column_blob(stmt_, i); }
  int Bytes(int i) { return sqlite3_column_bytes(stmt_, i); }

 private:
  StmtCache &cache_;
  const char *sql_;
  sqlite3_stmt *stmt_ = nullptr;
  bool kept_ = false;
};

bool WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = EIO;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads n bytes from the start of fd; a file shorter than that fails with
// errno EIO.
bool ReadAll(int fd, char *p, size_t n) {
  off_t offset = 0;
  while (n > 0) {
    ssize_t r = pread(fd, p, n, offset);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = EIO;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    offset += r;
  }
  return true;
}

// A token unique to one connection of one process.
std::string NewToken() {
  unsigned char random[8] = {0};
  if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(random, &now, sizeof(random));
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%d-%02x%02x%02x%02x%02x%02x%02x%02x", getpid(), random[0],
                random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
  return text;
}

class LocalBackend : public Backend {
 public:
  explicit LocalBackend(const QmgrDef &def) : def_(def) {}
  ~LocalBackend() override;

  CVLONG Open();
  const std::string &Name() const override { return def_.Name; }
  CVLONG LookupQueue(const std::string &name, QueueDef *def) override;
  CVLONG Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
             CVLONG length) override;
  CVLONG Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength, void *buffer,
             CVLONG *dataLength) override;
  CVLONG Depth(const QueueDef &queue, CVLONG *depth) override;
  CVLONG Commit() override;
  CVLONG Backout() override;
  CVLONG DefineQueue(const QueueDef &queue) override;
  CVLONG DeleteQueue(const std::string &name) override;
  CVLONG ListQueues(std::vector<QueueDef> *queues) override;
  CVLONG Browse(const std::string &name, std::vector<MessageInfo> *messages) override;
  CVLONG Clear(const std::string &name, CVLONG *removed) override;

 private:
  // The reason for SQLite's answer rc to the last call on db_; its message
  // becomes the cause.
  CVLONG SqlFailure(int rc);
  CVLONG Exec(const char *sql);
  CVLONG Begin() { return Run("BEGIN IMMEDIATE"); }
  CVLONG End() { return Run("COMMIT"); }
  // Undoes a transaction after a failure, keeping that failure's cause.
  void Rollback() { Stmt(stmts_, "ROLLBACK").Step(); }
  void Durable(bool on) {
    if (on == durable_) return;
    if (Run(on ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF") == 0) durable_ = on;
  }
  // Runs one statement without results from the cache.
  CVLONG Run(const char *sql);
  CVLONG CreateSchema();
  CVLONG TakeLock();
  void RecoverAll();
  void RecoverHolders(const std::string &queue);
  bool Alive(const std::string &token);
  // Commits or backs out the unit of work of token in the store.
  CVLONG EndUnitOfWork(const std::string &token, bool commit);
  CVLONG EndUnitOfWork(bool commit);
  void RemoveBodies(const std::vector<std::string> &files);
  // Ends the transaction of a change: commits it when rc is 0 and then
  // removes the body files of the messages it deleted, else rolls it back.
  CVLONG Finish(CVLONG rc, const std::vector<std::string> &files = {});
  void RemoveOrphanBodies();
  CVLONG ReadBody(const std::string &file, void *buffer, CVLONG n);
  CVLONG ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                    CVLONG length);

  QmgrDef def_;
  sqlite3 *db_ = nullptr;
  StmtCache stmts_{&db_};
  int durable_ = -1;  // the synchronous setting in force: 1 FULL, 0 OFF, -1 unknown
  std::string token_;
  int lockFd_ = -1;
  std::string lockPath_;
  std::string bodiesDir_;
  std::string connDir_;
  uint64_t bodySeq_ = 0;
  bool uow_ = false;
  std::map<std::string, std::unique_ptr<Backend>> remotes_;  // forwarding targets
};

LocalBackend::~LocalBackend() {
  if (db_ != nullptr) {
    if (uow_) Backout();
    remotes_.clear();
    stmts_.Clear();
    sqlite3_close(db_);
  }
  if (lockFd_ >= 0) {
    unlink(lockPath_.c_str());
    close(lockFd_);
  }
}

CVLONG LocalBackend::SqlFailure(int rc) {
  SetCause("SQLite " + std::to_string(rc) + ": " + sqlite3_errmsg(db_));
  if (rc == SQLITE_FULL) return CVRC_Q_SPACE_NOT_AVAILABLE;
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return CVRC_OBJECT_DAMAGED;
  return CVRC_RESOURCE_PROBLEM;
}

CVLONG LocalBackend::Run(const char *sql) {
  Stmt s(stmts_, sql);
  int rc = s.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::Exec(const char *sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::Open() {
  bodiesDir_ = def_.Dir + "/bodies";
  connDir_ = def_.Dir + "/conn";
  for (const std::string &dir : {bodiesDir_, connDir_}) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      SetErrnoCause(dir);
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
  }
  std::string path = def_.Dir + "/store.db";
  // Created 0600 before SQLite opens it; its journal files take its mode.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetErrnoCause(path);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  close(fd);
  if (int rc =
          sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
      rc != SQLITE_OK) {
    SqlFailure(rc);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  sqlite3_busy_timeout(db_, 60000);
  // Several processes may open a new store at once; switching it to WAL
  // takes a lock that the busy handler does not wait for, so retry.
  CVLONG rc = CVRC_Q_MGR_NOT_AVAILABLE;
  for (int attempt = 0; attempt < 200 && rc != 0; attempt++) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10 + attempt));
    rc = Exec("PRAGMA journal_mode=WAL");
    if (rc == 0) rc = CreateSchema();
  }
  if (rc != 0) return rc;
  Durable(true);
  if (CVLONG rc = TakeLock(); rc != 0) return rc;
  RecoverAll();
  return 0;
}

CVLONG LocalBackend::CreateSchema() {
  if (CVLONG rc =
          Exec("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);"
               "CREATE TABLE IF NOT EXISTS queues(name TEXT PRIMARY KEY, type INTEGER NOT NULL,"
               " maxdepth INTEGER NOT NULL, maxmsgl INTEGER NOT NULL, rqmgr TEXT, rqueue TEXT);"
               "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT,"
               " queue TEXT NOT NULL, state INTEGER NOT NULL, holder TEXT, msgid BLOB NOT NULL,"
               " correlid BLOB NOT NULL, md BLOB NOT NULL, length INTEGER NOT NULL, body BLOB,"
               " bodyfile TEXT, backout INTEGER NOT NULL DEFAULT 0);"
               "CREATE INDEX IF NOT EXISTS messages_by_queue ON messages(queue, state, id);"
               // Most rows have no holder; leaving them out spares every put an
               // index page.
               "CREATE INDEX IF NOT EXISTS messages_by_holder ON messages(holder)"
               " WHERE holder IS NOT NULL;");
      rc != 0) {
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  if (CVLONG rc = Begin(); rc != 0) return rc;
  Stmt created(stmts_, "SELECT value FROM meta WHERE key='created'");
  if (created.Step() != SQLITE_ROW) {
    // A new queue manager gets its default queue exactly once.
    Stmt q(stmts_, "INSERT OR IGNORE INTO queues VALUES(?,?,?,?,NULL,NULL)");
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

CVLONG LocalBackend::TakeLock() {
  token_ = NewToken();
  lockPath_ = connDir_ + "/" + token_ + ".lock";
  // Locked under a temporary name, then renamed: a visible lock file is
  // always locked while its owner lives.
  std::string tmp = connDir_ + "/" + token_ + ".tmp";
  lockFd_ = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    SetErrnoCause(tmp);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  if (flock(lockFd_, LOCK_EX) != 0 || rename(tmp.c_str(), lockPath_.c_str()) != 0) {
    SetErrnoCause(tmp);
    unlink(tmp.c_str());
    close(lockFd_);
    lockFd_ = -1;
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  return 0;
}

bool LocalBackend::Alive(const std::string &token) {
  if (token == token_) return true;
  std::string path = connDir_ + "/" + token + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    // No lock file: its owner ended and someone removed the file, or it
    // ended before anything else; whatever it still marks is released.
    EndUnitOfWork(token, false);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return true;
  }
  // Its owner has ended: back out what it held while we hold its lock.
  EndUnitOfWork(token, false);
  unlink(path.c_str());
  close(fd);
  return false;
}

void LocalBackend::RemoveBodies(const std::vector<std::string> &files) {
  for (const std::string &f : files) unlink((bodiesDir_ + "/" + f).c_str());
}

CVLONG LocalBackend::Finish(CVLONG rc, const std::vector<std::string> &files) {
  if (rc == 0) rc = End();
  if (rc != 0) {
    Rollback();
    return rc;
  }
  RemoveBodies(files);
  return 0;
}

void LocalBackend::RecoverAll() {
  DIR *d = opendir(connDir_.c_str());
  if (d != nullptr) {
    std::vector<std::string> tokens;
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0) {
        tokens.push_back(name.substr(0, name.size() - 5));
      } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
        // A lock file whose creator died before it was in place. A young
        // one may be between its creation and its lock: leave it alone.
        std::string path = connDir_ + "/" + name;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_mtime + kStaleTmpSeconds < time(nullptr) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0) {
          unlink(path.c_str());
        }
        if (fd >= 0) close(fd);
      }
    }
    closedir(d);
    for (const std::string &t : tokens) Alive(t);
  }
  // Held rows whose lock file is already gone.
  std::set<std::string> holders;
  {
    Stmt s(stmts_, "SELECT holder FROM messages WHERE holder IS NOT NULL");
    while (s.Step() == SQLITE_ROW) holders.insert(s.Text(0));
  }
  for (const std::string &h : holders) Alive(h);
  RemoveOrphanBodies();
}

void LocalBackend::RemoveOrphanBodies() {
  DIR *d = opendir(bodiesDir_.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  for (const std::string &name : names) {
    std::string owner = name.substr(0, name.rfind('-'));
    if (Alive(owner)) continue;  // its writer may still be about to insert its row
    Stmt s(stmts_, "SELECT 1 FROM messages WHERE bodyfile=?");
    s.Bind(1, name);
    if (s.Step() != SQLITE_ROW) unlink((bodiesDir_ + "/" + name).c_str());
  }
}

void LocalBackend::RecoverHolders(const std::string &queue) {
  // Deduplicated here: DISTINCT would build a temporary b-tree on every get,
  // which cost more than the rest of the get.
  std::set<std::string> holders;
  {
    Stmt s(stmts_, "SELECT holder FROM messages WHERE queue=? AND state IN (1,2) AND holder<>?");
    s.Bind(1, queue).Bind(2, token_);
    while (s.Step() == SQLITE_ROW) holders.insert(s.Text(0));
  }
  for (const std::string &h : holders) Alive(h);
}

CVLONG LocalBackend::LookupQueue(const std::string &name, QueueDef *def) {
  Stmt s(stmts_, "SELECT type, maxdepth, maxmsgl, rqmgr, rqueue FROM queues WHERE name=?");
  s.Bind(1, name);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return CVRC_UNKNOWN_OBJECT_NAME;
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  def->Name = name;
  def->Type = static_cast<CVLONG>(s.Int(0));
  def->MaxDepth = static_cast<CVLONG>(s.Int(1));
  def->MaxMsgLength = static_cast<CVLONG>(s.Int(2));
  def->RemoteQmgr = s.Text(3);
  def->RemoteQueue = s.Text(4);
  return 0;
}

CVLONG LocalBackend::ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                                CVLONG length) {
  Backend *target = nullptr;
  if (queue.RemoteQmgr == def_.Name) {
    target = this;
  } else {
    auto it = remotes_.find(queue.RemoteQmgr);
    if (it == remotes_.end()) {
      QmgrDef remote;
      if (FindQmgr(queue.RemoteQmgr, &remote) != 0) return CVRC_UNKNOWN_REMOTE_Q_MGR;
      std::unique_ptr<Backend> opened;
      if (CVLONG rc = OpenBackend(remote, &opened); rc != 0) return rc;
      it = remotes_.emplace(queue.RemoteQmgr, std::move(opened)).first;
    }
    target = it->second.get();
  }
  QueueDef dest;
  if (target->LookupQueue(queue.RemoteQueue, &dest) != 0) return CVRC_UNKNOWN_OBJECT_NAME;
  if (dest.Type != CVQT_LOCAL) return CVRC_Q_TYPE_ERROR;  // no chains of forwarding
  return target->Put(dest, md, syncpoint, data, length);  // the target marks its unit of work
}

CVLONG LocalBackend::Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                         CVLONG length) {
  if (queue.Type == CVQT_REMOTE) return ForwardPut(queue, md, syncpoint, data, length);
  if (length > queue.MaxMsgLength) return CVRC_MSG_TOO_BIG_FOR_Q;
  StampMessage(md);
  bool persistent = md->Persistence == CVPER_PERSISTENT;

  std::string bodyFile;
  if (length > kInlineBodyMax) {
    bodyFile = token_ + "-" + std::to_string(++bodySeq_);
    std::string path = bodiesDir_ + "/" + bodyFile;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 &&
              WriteAll(fd, static_cast<const char *>(data), static_cast<size_t>(length)) &&
              (!persistent || fdatasync(fd) == 0);
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) {
      SetErrnoCause(path, err);
      if (fd >= 0) unlink(path.c_str());
      return CVRC_Q_SPACE_NOT_AVAILABLE;
    }
    if (persistent) SyncDir(bodiesDir_);
  }
  auto dropBody = [&] {
    if (!bodyFile.empty()) unlink((bodiesDir_ + "/" + bodyFile).c_str());
  };

  Durable(persistent);
  CVLONG rc = Begin();
  if (rc != 0) {
    Durable(true);
    dropBody();
    return rc;
  }
  {
    Stmt q(stmts_, "SELECT maxdepth FROM queues WHERE name=?");
    q.Bind(1, queue.Name);
    if (q.Step() != SQLITE_ROW) rc = CVRC_Q_DELETED;
    CVLONG maxDepth = rc == 0 ? static_cast<CVLONG>(q.Int(0)) : 0;
    if (rc == 0) {
      Stmt c(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=?");
      c.Bind(1, queue.Name);
      if (int step = c.Step(); step != SQLITE_ROW) rc = SqlFailure(step);
      if (rc == 0 && c.Int(0) >= maxDepth) rc = CVRC_Q_FULL;
    }
    if (rc == 0) {
      Stmt ins(stmts_,
               "INSERT INTO messages(queue, state, holder, msgid, correlid, md, length, body, "
               "bodyfile, backout) VALUES(?,?,?,?,?,?,?,?,?,0)");
      ins.Bind(1, queue.Name).Bind(2, syncpoint ? kPending : kVisible);
      if (syncpoint) {
        ins.Bind(3, token_);
      } else {
        ins.BindNull(3);
      }
      ins.BindBlob(4, md->MsgId, CV_MSG_ID_LENGTH).BindBlob(5, md->CorrelId, CV_CORREL_ID_LENGTH);
      ins.BindBlob(6, md, sizeof(CVMD)).Bind(7, length);
      if (bodyFile.empty()) {
        ins.BindBlob(8, data, static_cast<int>(length)).BindNull(9);
      } else {
        ins.BindNull(8).Bind(9, bodyFile);
      }
      int step = ins.Step();
      if (step != SQLITE_DONE) rc = SqlFailure(step);
    }
  }
  if (rc == 0) rc = End();
  if (rc != 0) {
    Rollback();
    dropBody();
  }
  Durable(true);
  if (rc == 0 && syncpoint) uow_ = true;
  return rc;
}

CVLONG LocalBackend::ReadBody(const std::string &file, void *buffer, CVLONG n) {
  std::string path = bodiesDir_ + "/" + file;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && ReadAll(fd, static_cast<char *>(buffer), static_cast<size_t>(n));
  if (!ok) SetErrnoCause(path);
  if (fd >= 0) close(fd);
  return ok ? 0 : CVRC_OBJECT_DAMAGED;
}

CVLONG LocalBackend::Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                         void *buffer, CVLONG *dataLength) {
  RecoverHolders(queue.Name);
  bool syncpoint = (options & CVGMO_SYNCPOINT) != 0;
  bool acceptTruncated = (options & CVGMO_ACCEPT_TRUNCATED_MSG) != 0;
  bool matchMsgId = !AllZero(md->MsgId, CV_MSG_ID_LENGTH);
  bool matchCorrelId = !AllZero(md->CorrelId, CV_CORREL_ID_LENGTH);
  std::string sql =
      "SELECT id, md, length, body, bodyfile, backout FROM messages WHERE queue=? AND state=0";
  if (matchMsgId) sql += " AND msgid=?";
  if (matchCorrelId) sql += " AND correlid=?";
  sql += " ORDER BY id LIMIT 1";

  // A hold needs no fsync: after a crash it is void anyway.
  Durable(!syncpoint);
  CVLONG rc = Begin();
  if (rc != 0) {
    Durable(true);
    return rc;
  }
  sqlite3_int64 id = 0;
  CVLONG length = 0;
  std::string bodyFile;
  CVMD stored;
  bool persistent = true;
  {
    Stmt s(stmts_, sql.c_str());
    int i = 1;
    s.Bind(i++, queue.Name);
    if (matchMsgId) s.BindBlob(i++, md->MsgId, CV_MSG_ID_LENGTH);
    if (matchCorrelId) s.BindBlob(i++, md->CorrelId, CV_CORREL_ID_LENGTH);
    int step = s.Step();
    if (step != SQLITE_ROW) {
      rc = step == SQLITE_DONE ? CVRC_NO_MSG_AVAILABLE : SqlFailure(step);
    } else {
      id = s.Int(0);
      if (s.Bytes(1) == sizeof(CVMD)) {
        std::memcpy(&stored, s.Blob(1), sizeof(CVMD));
      } else {
        stored = CVMD_DEFAULT;
      }
      stored.BackoutCount = static_cast<CVLONG>(s.Int(5));
      length = static_cast<CVLONG>(s.Int(2));
      persistent = stored.Persistence == CVPER_PERSISTENT;
      if (!s.IsNull(4)) bodyFile = s.Text(4);
      if (length > bufferLength && !acceptTruncated) {
        *md = stored;  // the retry with this descriptor asks for this message
        *dataLength = length;
        rc = CVRC_TRUNCATED_MSG_FAILED;
      } else if (bodyFile.empty() && length > 0) {
        CVLONG n = length < bufferLength ? length : bufferLength;
        if (s.Bytes(3) != length) {
          SetCause("message " + std::to_string(id) + ": its stored body has " +
                   std::to_string(s.Bytes(3)) + " bytes");
          rc = CVRC_OBJECT_DAMAGED;
        } else {
          std::memcpy(buffer, s.Blob(3), static_cast<size_t>(n));
        }
      }
    }
  }
  CVLONG copied = length < bufferLength ? length : bufferLength;
  // Without syncpoint the body is read before the row goes, while the write
  // lock keeps it ours.
  if (rc == 0 && !bodyFile.empty() && !syncpoint) rc = ReadBody(bodyFile, buffer, copied);
  if (rc == 0) {
    Stmt u(stmts_, syncpoint ? "UPDATE messages SET state=1, holder=? WHERE id=?"
                             : "DELETE FROM messages WHERE id=?");
    if (syncpoint) {
      u.Bind(1, token_).Bind(2, id);
    } else {
      u.Bind(1, id);
      Durable(persistent);
    }
    int step = u.Step();
    if (step != SQLITE_DONE) rc = SqlFailure(step);
  }
  if (rc == 0 || rc == CVRC_TRUNCATED_MSG_FAILED) {
    CVLONG end = End();
    if (rc == 0) rc = end;
  }
  if (rc != 0 && rc != CVRC_TRUNCATED_MSG_FAILED) Rollback();
  Durable(true);
  if (rc != 0) return rc;

  if (syncpoint) {
    uow_ = true;
    // A body that cannot be read stays held: the back-out returns it.
    if (!bodyFile.empty()) rc = ReadBody(bodyFile, buffer, copied);
    if (rc != 0) return rc;
  } else if (!bodyFile.empty()) {
    unlink((bodiesDir_ + "/" + bodyFile).c_str());
  }
  *md = stored;
  *dataLength = copied;
  return length > bufferLength ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
}

CVLONG LocalBackend::Depth(const QueueDef &queue, CVLONG *depth) {
  Stmt s(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=? AND state IN (0,1)");
  s.Bind(1, queue.Name);
  int rc = s.Step();
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  *depth = static_cast<CVLONG>(s.Int(0));
  return 0;
}

CVLONG LocalBackend::EndUnitOfWork(const std::string &token, bool commit) {
  // Held gets (state 1) leave or return, pending puts (state 2) appear or
  // go; the body files of what leaves are removed once that is committed.
  std::vector<std::string> files;
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    Stmt f(stmts_, commit ? "SELECT bodyfile FROM messages WHERE holder=? AND state=1 AND "
                            "bodyfile IS NOT NULL"
                          : "SELECT bodyfile FROM messages WHERE holder=? AND state=2 AND "
                            "bodyfile IS NOT NULL");
    f.Bind(1, token);
    while (f.Step() == SQLITE_ROW) files.push_back(f.Text(0));
    Stmt held(stmts_, commit ? "DELETE FROM messages WHERE holder=? AND state=1"
                             : "UPDATE messages SET state=0, holder=NULL, backout=backout+1 "
                               "WHERE holder=? AND state=1");
    Stmt pending(stmts_, commit ? "UPDATE messages SET state=0, holder=NULL WHERE holder=? AND "
                                  "state=2"
                                : "DELETE FROM messages WHERE holder=? AND state=2");
    for (Stmt *s : {&held, &pending}) {
      int step = s->Bind(1, token).Step();
      if (rc == 0 && step != SQLITE_DONE) rc = SqlFailure(step);
    }
  }
  return Finish(rc, files);
}

CVLONG LocalBackend::EndUnitOfWork(bool commit) {
  CVLONG result = 0;
  for (auto &[name, remote] : remotes_) {
    if (CVLONG rc = commit ? remote->Commit() : remote->Backout(); rc != 0) result = rc;
  }
  if (!uow_) return result;
  if (CVLONG rc = EndUnitOfWork(token_, commit); rc != 0) return rc;
  uow_ = false;
  return result;
}

CVLONG LocalBackend::Commit() {
  return EndUnitOfWork(true);
}

CVLONG LocalBackend::Backout() {
  return EndUnitOfWork(false);
}

CVLONG LocalBackend::DefineQueue(const QueueDef &queue) {
  if (!ValidName(queue.Name)) return CVRC_OBJECT_NAME_ERROR;
  if (queue.Type == CVQT_REMOTE &&
      (!ValidName(queue.RemoteQmgr) || !ValidName(queue.RemoteQueue))) {
    return CVRC_REMOTE_Q_NAME_ERROR;
  }
  if (queue.MaxDepth < 0 || queue.MaxMsgLength < 0) return CVRC_Q_TYPE_ERROR;
  Stmt s(stmts_, "INSERT INTO queues VALUES(?,?,?,?,?,?)");
  s.Bind(1, queue.Name).Bind(2, queue.Type).Bind(3, queue.MaxDepth).Bind(4, queue.MaxMsgLength);
  if (queue.Type == CVQT_REMOTE) {
    s.Bind(5, queue.RemoteQmgr).Bind(6, queue.RemoteQueue);
  } else {
    s.BindNull(5).BindNull(6);
  }
  int rc = s.Step();
  if (rc == SQLITE_CONSTRAINT) return CVRC_OBJECT_ALREADY_EXISTS;
  return rc == SQLITE_DONE ? 0 : SqlFailure(rc);
}

CVLONG LocalBackend::DeleteQueue(const std::string &name) {
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    Stmt q(stmts_, "SELECT 1 FROM queues WHERE name=?");
    Stmt m(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=?");
    if (q.Bind(1, name).Step() != SQLITE_ROW) {
      rc = CVRC_UNKNOWN_OBJECT_NAME;
    } else if (m.Bind(1, name).Step() != SQLITE_ROW || m.Int(0) > 0) {
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
  Stmt s(stmts_, "SELECT name FROM queues ORDER BY name");
  while (s.Step() == SQLITE_ROW) {
    QueueDef def;
    if (LookupQueue(s.Text(0), &def) == 0) queues->push_back(def);
  }
  return 0;
}

CVLONG LocalBackend::Browse(const std::string &name, std::vector<MessageInfo> *messages) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  messages->clear();
  Stmt s(stmts_,
         "SELECT md, length, backout FROM messages WHERE queue=? AND state IN (0,1) "
         "ORDER BY id");
  s.Bind(1, name);
  while (s.Step() == SQLITE_ROW) {
    MessageInfo info;
    if (s.Bytes(0) == sizeof(CVMD)) std::memcpy(&info.Md, s.Blob(0), sizeof(CVMD));
    info.Length = static_cast<CVLONG>(s.Int(1));
    info.Md.BackoutCount = static_cast<CVLONG>(s.Int(2));
    messages->push_back(info);
  }
  return 0;
}

CVLONG LocalBackend::Clear(const std::string &name, CVLONG *removed) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  RecoverHolders(name);
  std::vector<std::string> files;
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    Stmt f(stmts_,
           "SELECT bodyfile FROM messages WHERE queue=? AND state=0 AND bodyfile IS NOT NULL");
    f.Bind(1, name);
    while (f.Step() == SQLITE_ROW) files.push_back(f.Text(0));
    Stmt d(stmts_, "DELETE FROM messages WHERE queue=? AND state=0");
    if (int step = d.Bind(1, name).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
    *removed = static_cast<CVLONG>(sqlite3_changes(db_));
  }
  return Finish(rc, files);
}

}  // namespace

CVLONG OpenLocalBackend(const QmgrDef &def, std::unique_ptr<Backend> *out) {
  auto backend = std::make_unique<LocalBackend>(def);
  if (CVLONG rc = backend->Open(); rc != 0) return rc;
  *out = std::move(backend);
  return 0;
}

}  // namespace corvane
