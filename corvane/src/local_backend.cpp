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
// of work is backed out by whoever notices first. Nothing else proves that
// a holder has ended but a missing lock file of a process that is gone.
//
// What protects the messages when something around the store goes wrong:
// - A body is written as "<name>.part" and renamed to its name once its
//   row is committed, so a complete body file that no row names is a
//   message whose row was lost, never garbage: it is kept for the
//   operator. The names of bodies being removed are recorded in "doomed"
//   in the transaction that removes their rows.
// - A message whose data cannot be read is set aside (state damaged):
//   never handed out, never removed but by the operator.
// - A database that is missing, empty or unreadable is reported, never
//   replaced: only a directory with the new-store marker gets a new one.
// - "reserve", a file of kReserveBytes, keeps room for taking messages off
//   a full file system: a take-off that meets a full disk frees it and
//   tries again, and puts stop until it can be set aside again.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Space kept free for taking messages off a full file system.
constexpr off_t kReserveBytes = 4 << 20;

constexpr char kPart[] = ".part";

// EndUnitOfWork's answer when rows of the connection's own unit of work
// are no longer its own.
constexpr CVLONG kTakenAway = -1;

enum MsgState { kVisible = 0, kHeld = 1, kPending = 2, kDamaged = 3 };

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE IF NOT EXISTS queues(name TEXT PRIMARY KEY, type INTEGER NOT NULL,"
    " maxdepth INTEGER NOT NULL, maxmsgl INTEGER NOT NULL, rqmgr TEXT, rqueue TEXT);"
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " queue TEXT NOT NULL, state INTEGER NOT NULL, holder TEXT, msgid BLOB NOT NULL,"
    " correlid BLOB NOT NULL, md BLOB NOT NULL, length INTEGER NOT NULL, body BLOB,"
    " bodyfile TEXT, backout INTEGER NOT NULL DEFAULT 0, props BLOB);"
    "CREATE INDEX IF NOT EXISTS messages_by_queue ON messages(queue, state, id);"
    // Most rows have no holder; leaving them out spares every put an index
    // page.
    "CREATE INDEX IF NOT EXISTS messages_by_holder ON messages(holder)"
    " WHERE holder IS NOT NULL;"
    "CREATE TABLE IF NOT EXISTS doomed(file TEXT PRIMARY KEY);";

// Columns added to a table of kSchema since stores were first made; a store
// made before gets them when it is opened.
const char kAddPropsColumn[] = "ALTER TABLE messages ADD COLUMN props BLOB";

// True when the process whose pid starts token is known to be gone.
bool ProcessGone(const std::string &token) {
  long pid = std::strtol(token.c_str(), nullptr, 10);
  return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// True when the connection of token has provably ended: its lock file can
// be locked (*fd then keeps that lock, for the caller to close), or it is
// missing and its process is gone. Any other failure means it may live.
bool HolderGone(const std::string &connDir, const std::string &token, int *fd) {
  *fd = -1;
  int f = open((connDir + "/" + token + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) return errno == ENOENT && ProcessGone(token);
  if (flock(f, LOCK_EX | LOCK_NB) != 0) {
    close(f);
    return false;
  }
  *fd = f;
  return true;
}

// The body file name without ".part"; *part tells whether it had it.
std::string BodyBase(const std::string &name, bool *part) {
  size_t n = sizeof(kPart) - 1;
  *part = name.size() > n && name.compare(name.size() - n, n, kPart) == 0;
  return *part ? name.substr(0, name.size() - n) : name;
}

std::vector<std::string> ListDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// "" when the body of a message of length bytes is whole in dir, else why
// not.
std::string BodyProblem(const std::string &dir, const std::string &file, sqlite3_int64 length) {
  struct stat st;
  std::string path = dir + "/" + file;
  if (stat(path.c_str(), &st) != 0 && stat((path + kPart).c_str(), &st) != 0) {
    return path + ": " + std::strerror(errno);
  }
  if (st.st_size == length) return "";
  return path + ": " + std::to_string(st.st_size) + " bytes, the message has " +
         std::to_string(length);
}

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
  std::string BlobText(int i) {
    const void *p = Blob(i);
    return p != nullptr ? std::string(static_cast<const char *>(p), static_cast<size_t>(Bytes(i)))
                        : "";
  }

 private:
  StmtCache &cache_;
  const char *sql_;
  sqlite3_stmt *stmt_ = nullptr;
  bool kept_ = false;
};

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
  CVLONG Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data, CVLONG length,
             const std::string &props) override;
  CVLONG Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength, void *buffer,
             CVLONG *dataLength, CVLONG propBufferLength, std::string *props) override;
  CVLONG BrowseMessage(const QueueDef &queue, CVMD *md, CVLONG options, int64_t *cursor,
                       CVLONG bufferLength, void *buffer, CVLONG *dataLength,
                       CVLONG propBufferLength, std::string *props) override;
  CVLONG Mark(const CVBYTE *msgId, const std::string &marks) override;
  CVLONG Depth(const QueueDef &queue, CVLONG *depth) override;
  CVLONG Commit() override;
  CVLONG Backout() override;
  CVLONG DefineQueue(const QueueDef &queue) override;
  CVLONG DeleteQueue(const std::string &name) override;
  CVLONG ListQueues(std::vector<QueueDef> *queues) override;
  CVLONG Browse(const std::string &name, std::vector<MessageInfo> *messages) override;
  CVLONG Clear(const std::string &name, CVLONG *removed) override;
  CVLONG ClearDamaged(const std::string &name, CVLONG *removed) override;
  CVLONG PutOpen(const QueueDef &queue, bool syncpoint, std::unique_ptr<PutStream> *out) override;
  CVLONG GetOpen(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG *length,
                 CVLONG propBufferLength, std::string *props,
                 std::unique_ptr<GetStream> *out) override;
  // Salvage's part on an opened store (SalvageLocalStore).
  void SalvageBodies(std::vector<std::string> *done);

  // For the streams. Records a message whose data are length bytes at data,
  // or, when bodyFile is not empty, its part file, which is renamed once
  // the row is committed and removed when it is not. md is stamped.
  CVLONG Record(const QueueDef &queue, const CVMD &md, bool syncpoint, const void *data,
                CVLONG length, const std::string &bodyFile, const std::string &props);
  // A body file name of this connection, never used before.
  std::string NewBodyFile() { return token_ + "-" + std::to_string(++bodySeq_); }
  std::string BodyPath(const std::string &file) const { return bodiesDir_ + "/" + file; }
  const std::string &BodiesDir() const { return bodiesDir_; }
  // Sets a held message whose body turned out short aside as damaged.
  void SetAsideDamaged(sqlite3_int64 id) { SetAside(id, kDamaged); }

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
  // Brings the tables of a store made by an earlier version up to kSchema.
  CVLONG UpgradeSchema();
  // Checks that the store holds a queue manager; else CVRC_OBJECT_DAMAGED.
  CVLONG VerifySchema(const std::string &path);
  bool Retryable() const {
    return (lastSql_ & 0xff) == SQLITE_BUSY || (lastSql_ & 0xff) == SQLITE_LOCKED;
  }
  CVLONG TakeLock();
  void RecoverAll();
  void RecoverHolders(const std::string &queue);
  bool Alive(const std::string &token);
  // Commits or backs out the unit of work of token in the store; *held and
  // *pending receive how many held gets and pending puts it ended. For the
  // own unit of work, a commit that finds fewer rows than it made answers
  // kTakenAway and changes nothing.
  CVLONG EndUnitOfWork(const std::string &token, bool commit, sqlite3_int64 *held,
                       sqlite3_int64 *pending);
  CVLONG EndUnitOfWork(bool commit);
  // Records files as being removed, in the current transaction.
  CVLONG Doom(const std::vector<std::string> &files);
  void RemoveBodies(const std::vector<std::string> &files);
  // Ends the transaction of a change: commits it when rc is 0 and then
  // removes the body files of the messages it deleted, else rolls it back.
  CVLONG Finish(CVLONG rc, const std::vector<std::string> &files = {});
  void RemoveOrphanBodies();
  // Reads the first n bytes of the body of a message of length bytes:
  // CVRC_OBJECT_DAMAGED when it is missing or of another length,
  // CVRC_RESOURCE_PROBLEM when the system failed otherwise.
  // With fd, keeps the file open there for the caller instead of closing it.
  CVLONG ReadBody(const std::string &file, void *buffer, CVLONG n, CVLONG length,
                  int *fd = nullptr);
  // What a get that opens a stream took: the row, and the body's open file
  // or its bytes.
  struct Taken {
    sqlite3_int64 Id = 0;
    CVLONG Length = 0;
    int Fd = -1;
    std::string Inline;
  };
  // One get. With taken (a stream, under syncpoint) the data are not
  // copied but handed over in *taken, and never make the message too long.
  CVLONG GetOnce(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength, void *buffer,
                 CVLONG *dataLength, CVLONG propBufferLength, std::string *props,
                 Taken *taken = nullptr);
  // Takes a held row out of the unit of work into state (kVisible or
  // kDamaged); when the store cannot be written now, the next end of the
  // unit of work does it.
  void SetAside(sqlite3_int64 id, MsgState state);
  bool EnsureReserve();
  // Runs a change that takes messages off; when the disk is full it frees
  // the reserve and runs it once more.
  template <typename F>
  CVLONG TakingOff(F change) {
    CVLONG rc = change();
    if (rc == CVRC_Q_SPACE_NOT_AVAILABLE && unlink(reservePath_.c_str()) == 0) rc = change();
    return rc;
  }
  CVLONG ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                    CVLONG length, const std::string &props);
  // The queue manager and queue a remote definition forwards to.
  CVLONG ForwardTarget(const QueueDef &queue, Backend **target, QueueDef *dest);

  QmgrDef def_;
  sqlite3 *db_ = nullptr;
  StmtCache stmts_{&db_};
  int durable_ = -1;  // the synchronous setting in force: 1 FULL, 0 OFF, -1 unknown
  std::string token_;
  int lockFd_ = -1;
  std::string lockPath_;
  std::string bodiesDir_;
  std::string connDir_;
  std::string reservePath_;
  uint64_t bodySeq_ = 0;
  bool uow_ = false;
  int lastSql_ = SQLITE_OK;                     // SQLite's last failure
  sqlite3_int64 held_ = 0;                      // gets the unit of work holds
  sqlite3_int64 pending_ = 0;                   // puts it holds
  std::map<sqlite3_int64, MsgState> setAside_;  // held rows SetAside could not release yet
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

CVLONG LocalBackend::LookupQueue(const std::string &name, QueueDef *def) {
  Stmt s(stmts_, "SELECT type, maxdepth, maxmsgl, rqmgr, rqueue FROM queues WHERE name=?");
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

CVLONG LocalBackend::ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                                CVLONG length, const std::string &props) {
  Backend *target = nullptr;
  QueueDef dest;
  if (CVLONG rc = ForwardTarget(queue, &target, &dest); rc != 0) return rc;
  // The target marks its unit of work.
  return target->Put(dest, md, syncpoint, data, length, props);
}

CVLONG LocalBackend::DefineQueue(const QueueDef &queue) {
  if (!CheckName(queue.Name)) return CVRC_OBJECT_NAME_ERROR;
  if (queue.Type == CVQT_REMOTE &&
      (!CheckName(queue.RemoteQmgr) || !CheckName(queue.RemoteQueue))) {
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
  if (rc == SQLITE_CONSTRAINT) {
    SetCause("queue " + queue.Name + " exists already on queue manager " + def_.Name);
    return CVRC_OBJECT_ALREADY_EXISTS;
  }
  return rc == SQLITE_DONE ? 0 : SqlFailure(rc);
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
  Stmt s(stmts_, "SELECT name FROM queues ORDER BY name");
  while (s.Step() == SQLITE_ROW) {
    QueueDef def;
    if (LookupQueue(s.Text(0), &def) == 0) queues->push_back(def);
  }
  return 0;
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

CVLONG LocalBackend::Open() {
  bodiesDir_ = def_.Dir + "/bodies";
  connDir_ = def_.Dir + "/conn";
  reservePath_ = def_.Dir + "/reserve";
  for (const std::string &dir : {bodiesDir_, connDir_}) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      SetErrnoCause(dir);
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
  }
  std::string path = def_.Dir + "/store.db";
  std::string marker = def_.Dir + "/" + kNewStoreMarker;
  // Only a queue manager made without a store yet gets a new one: any other
  // store that is missing or empty held messages, which the operator must
  // hear about rather than find an empty queue manager.
  bool fresh = access(marker.c_str(), F_OK) == 0;
  struct stat st;
  if (fresh) {
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
    if (rc == 0 && !fresh) rc = UpgradeSchema();
    if (rc != 0 && !Retryable()) break;
  }
  if (rc != 0) return rc;
  if (fresh) {
    // The schema goes into the database file itself: from now on a lost log
    // can no longer make the store look new.
    Stmt cp(stmts_, "PRAGMA wal_checkpoint(TRUNCATE)");
    if (cp.Step() == SQLITE_ROW && cp.Int(0) == 0 && unlink(marker.c_str()) == 0) {
      SyncDir(def_.Dir);
    }
  }
  Durable(true);
  if (CVLONG rc = TakeLock(); rc != 0) return rc;
  RecoverAll();
  EnsureReserve();
  return 0;
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

CVLONG LocalBackend::CreateSchema() {
  if (CVLONG rc = Exec(kSchema); rc != 0) return rc;
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

CVLONG LocalBackend::UpgradeSchema() {
  // Cheap enough to ask on every open; in a write transaction so that
  // processes opening the same old store at once add the column once.
  auto hasProps = [&] {
    sqlite3_stmt *s = nullptr;
    bool has =
        sqlite3_prepare_v2(db_, "SELECT props FROM messages LIMIT 0", -1, &s, nullptr) == SQLITE_OK;
    sqlite3_finalize(s);
    return has;
  };
  if (hasProps()) return 0;
  if (CVLONG rc = Begin(); rc != 0) return rc;
  CVLONG rc = hasProps() ? 0 : Exec(kAddPropsColumn);
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

bool LocalBackend::Alive(const std::string &token) {
  if (token == token_) return true;
  int fd = -1;
  if (!HolderGone(connDir_, token, &fd)) return true;
  // Its owner has ended: back out what it held (while we hold its lock).
  sqlite3_int64 held = 0, pending = 0;
  TakingOff([&] { return EndUnitOfWork(token, false, &held, &pending); });
  if (fd >= 0) {
    unlink((connDir_ + "/" + token + ".lock").c_str());
    close(fd);
  }
  return false;
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

void LocalBackend::RecoverAll() {
  std::vector<std::string> tokens;
  for (const std::string &name : ListDir(connDir_)) {
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
  for (const std::string &t : tokens) Alive(t);
  // Held rows whose lock file is already gone.
  std::set<std::string> holders;
  {
    Stmt s(stmts_, "SELECT holder FROM messages WHERE holder IS NOT NULL");
    while (s.Step() == SQLITE_ROW) holders.insert(s.Text(0));
  }
  for (const std::string &h : holders) Alive(h);
  // A reserve being set aside by a process that ended meanwhile.
  for (const std::string &name : ListDir(def_.Dir)) {
    int fd = -1;
    if (name.rfind("reserve.", 0) == 0 && HolderGone(connDir_, name.substr(8), &fd)) {
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
  for (const std::string &name : ListDir(bodiesDir_)) {
    bool part = false;
    std::string base = BodyBase(name, &part);
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

CVLONG LocalBackend::Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                         CVLONG length, const std::string &props) {
  if (queue.Type == CVQT_REMOTE) return ForwardPut(queue, md, syncpoint, data, length, props);
  if (length > queue.MaxMsgLength) return TooBig(queue, length);
  if (!EnsureReserve()) return CVRC_Q_SPACE_NOT_AVAILABLE;
  StampMessage(md);
  bool persistent = md->Persistence == CVPER_PERSISTENT;

  std::string bodyFile;
  if (length > kInlineBodyMax) {
    bodyFile = NewBodyFile();
    std::string part = BodyPath(bodyFile) + kPart;
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 &&
              WriteAll(fd, static_cast<const char *>(data), static_cast<size_t>(length)) &&
              (!persistent || fdatasync(fd) == 0);
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) {
      SetErrnoCause(part, err);
      if (fd >= 0) unlink(part.c_str());
      return err == ENOSPC || err == EDQUOT ? CVRC_Q_SPACE_NOT_AVAILABLE : CVRC_RESOURCE_PROBLEM;
    }
    if (persistent) SyncDir(bodiesDir_);
  }
  return Record(queue, *md, syncpoint, data, length, bodyFile, props);
}

CVLONG LocalBackend::Record(const QueueDef &queue, const CVMD &md, bool syncpoint, const void *data,
                            CVLONG length, const std::string &bodyFile, const std::string &props) {
  std::string part = bodyFile.empty() ? "" : BodyPath(bodyFile) + kPart;
  Durable(md.Persistence == CVPER_PERSISTENT);
  CVLONG rc = Begin();
  if (rc == 0) {
    Stmt q(stmts_, "SELECT maxdepth FROM queues WHERE name=?");
    q.Bind(1, queue.Name);
    if (q.Step() != SQLITE_ROW) {
      SetCause("queue " + queue.Name + " was deleted since it was opened");
      rc = CVRC_Q_DELETED;
    }
    CVLONG maxDepth = rc == 0 ? static_cast<CVLONG>(q.Int(0)) : 0;
    if (rc == 0) {
      Stmt c(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=?");
      c.Bind(1, queue.Name);
      if (int step = c.Step(); step != SQLITE_ROW) rc = SqlFailure(step);
      if (rc == 0 && c.Int(0) >= maxDepth) {
        SetCause("queue " + queue.Name + " is full: its maximum depth is " +
                 std::to_string(maxDepth));
        rc = CVRC_Q_FULL;
      }
    }
    if (rc == 0) {
      Stmt ins(stmts_,
               "INSERT INTO messages(queue, state, holder, msgid, correlid, md, length, body, "
               "bodyfile, backout, props) VALUES(?,?,?,?,?,?,?,?,?,0,?)");
      ins.Bind(1, queue.Name).Bind(2, syncpoint ? kPending : kVisible);
      if (syncpoint) {
        ins.Bind(3, token_);
      } else {
        ins.BindNull(3);
      }
      ins.BindBlob(4, md.MsgId, CV_MSG_ID_LENGTH).BindBlob(5, md.CorrelId, CV_CORREL_ID_LENGTH);
      ins.BindBlob(6, &md, sizeof(CVMD)).Bind(7, length);
      if (bodyFile.empty()) {
        ins.BindBlob(8, data, static_cast<int>(length)).BindNull(9);
      } else {
        ins.BindNull(8).Bind(9, bodyFile);
      }
      if (props.empty()) {
        ins.BindNull(10);
      } else {
        ins.BindBlob(10, props.data(), static_cast<int>(props.size()));
      }
      int step = ins.Step();
      if (step != SQLITE_DONE) rc = SqlFailure(step);
    }
    if (rc == 0) rc = End();
    if (rc != 0) Rollback();
  }
  Durable(true);
  if (rc != 0) {
    if (!part.empty()) unlink(part.c_str());
    return rc;
  }
  // Committed: from now on a complete body file means a message.
  if (!part.empty()) rename(part.c_str(), BodyPath(bodyFile).c_str());
  if (syncpoint) {
    uow_ = true;
    pending_++;
  }
  return 0;
}

// A put stream into the store: the body goes to "<file>.part" as it
// arrives once it outgrows a row, and Record makes it a message. Until
// then the part file is an orphan of this connection, removed by the next
// connection once this one has ended.
class LocalPutStream : public PutStream {
 public:
  LocalPutStream(LocalBackend *store, const QueueDef &queue, bool syncpoint)
      : store_(store),
        queue_(queue),
        syncpoint_(syncpoint),
        file_(store->NewBodyFile()),
        spool_(kInlineBodyMax, true, [this] {
          return open(Part().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        }) {}
  ~LocalPutStream() override {
    if (!spool_.InMemory() && !recorded_) unlink(Part().c_str());
  }
  CVLONG Write(const void *data, size_t n) override { return spool_.Write(data, n); }
  CVLONG WriteFrom(int fd, size_t max, size_t *moved) override {
    return spool_.WriteFrom(fd, max, moved);
  }
  CVLONG Complete(CVMD *md, const std::string &props) override {
    StampMessage(md);
    const bool persistent = md->Persistence == CVPER_PERSISTENT;
    const CVLONG length = static_cast<CVLONG>(spool_.Length());
    if (spool_.InMemory()) {
      recorded_ = true;
      return store_->Record(queue_, *md, syncpoint_, spool_.Head().data(), length, "", props);
    }
    if (persistent) {
      if (CVLONG rc = spool_.Sync(); rc != 0) return rc;
      SyncDir(store_->BodiesDir());
    }
    recorded_ = true;  // Record removes the part file when it fails
    return store_->Record(queue_, *md, syncpoint_, nullptr, length, file_, props);
  }

 private:
  std::string Part() const { return store_->BodyPath(file_) + kPart; }

  LocalBackend *store_;
  QueueDef queue_;
  bool syncpoint_;
  std::string file_;
  Spool spool_;
  bool recorded_ = false;
};

CVLONG LocalBackend::PutOpen(const QueueDef &queue, bool syncpoint,
                             std::unique_ptr<PutStream> *out) {
  if (queue.Type == CVQT_REMOTE) {
    Backend *target = nullptr;
    QueueDef dest;
    if (CVLONG rc = ForwardTarget(queue, &target, &dest); rc != 0) return rc;
    return target->PutOpen(dest, syncpoint, out);
  }
  if (!EnsureReserve()) return CVRC_Q_SPACE_NOT_AVAILABLE;
  auto stream = std::make_unique<LocalPutStream>(this, queue, syncpoint);
  stream->MaxLength = queue.MaxMsgLength;
  stream->Destination = queue;
  *out = std::move(stream);
  return 0;
}

// A get stream on a held message: its body file, or the bytes of its row.
class LocalGetStream : public GetStream {
 public:
  LocalGetStream(LocalBackend *store, sqlite3_int64 id, int fd, std::string inlineBody,
                 CVLONG length)
      : store_(store), id_(id), fd_(fd), inline_(std::move(inlineBody)), length_(length) {}
  ~LocalGetStream() override {
    if (fd_ >= 0) close(fd_);
  }
  CVLONG Read(void *buffer, size_t n, size_t *got) override {
    n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), length_ - offset_));
    *got = 0;
    if (failed_ != 0) return failed_;  // set aside once, reported again
    if (n == 0) return 0;
    if (fd_ < 0) {
      std::memcpy(buffer, inline_.data() + offset_, n);
    } else {
      ssize_t r;
      do {
        r = pread(fd_, buffer, n, offset_);
      } while (r < 0 && errno == EINTR);
      if (r <= 0) {
        // The file was whole when the stream opened: it was cut since.
        SetErrnoCause("message body", r == 0 ? EIO : errno);
        if (r < 0) return CVRC_RESOURCE_PROBLEM;
        store_->SetAsideDamaged(id_);
        return failed_ = CVRC_OBJECT_DAMAGED;
      }
      n = static_cast<size_t>(r);
    }
    offset_ += static_cast<int64_t>(n);
    *got = n;
    return 0;
  }
  CVLONG Fd(int *fd) override {
    int from = fd_;
    if (from < 0) {
      // A body kept in its row: a file in memory, sealed against change.
      from = memfd_create("cvbody", MFD_CLOEXEC | MFD_ALLOW_SEALING);
      if (from >= 0 &&
          (!WriteAll(from, inline_.data(), inline_.size()) ||
           fcntl(from, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK) != 0)) {
        close(from);
        from = -1;
      }
    }
    // Opened anew, read-only, with an offset of its own.
    *fd = -1;
    if (from >= 0) {
      *fd = open(("/proc/self/fd/" + std::to_string(from)).c_str(), O_RDONLY | O_CLOEXEC);
      if (from != fd_) close(from);
    }
    if (*fd < 0) {
      SetErrnoCause("message body");
      return CVRC_RESOURCE_PROBLEM;
    }
    return 0;
  }

 private:
  LocalBackend *store_;
  sqlite3_int64 id_;
  int fd_;
  std::string inline_;
  int64_t length_;
  int64_t offset_ = 0;
  CVLONG failed_ = 0;
};

CVLONG LocalBackend::GetOpen(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG *length,
                             CVLONG propBufferLength, std::string *props,
                             std::unique_ptr<GetStream> *out) {
  RecoverHolders(queue.Name);
  Taken taken;
  CVLONG rc = TakingOff([&] {
    return GetOnce(queue, md, options, 0, nullptr, length, propBufferLength, props, &taken);
  });
  if (rc != 0) return rc;
  *length = taken.Length;
  *out = std::make_unique<LocalGetStream>(this, taken.Id, taken.Fd, std::move(taken.Inline),
                                          taken.Length);
  return 0;
}

CVLONG LocalBackend::ReadBody(const std::string &file, void *buffer, CVLONG n, CVLONG length,
                              int *keep) {
  std::string path = BodyPath(file);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = open((path + kPart).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    SetErrnoCause(path, err);
    return err == ENOENT ? CVRC_OBJECT_DAMAGED : CVRC_RESOURCE_PROBLEM;
  }
  CVLONG rc = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    SetErrnoCause(path);
    rc = CVRC_RESOURCE_PROBLEM;
  } else if (st.st_size != length) {
    SetCause(path + ": " + std::to_string(st.st_size) + " bytes, the message has " +
             std::to_string(length));
    rc = CVRC_OBJECT_DAMAGED;
  } else if (!ReadAll(fd, static_cast<char *>(buffer), static_cast<size_t>(n))) {
    int err = errno;
    SetErrnoCause(path, err);
    rc = err == EIO ? CVRC_OBJECT_DAMAGED : CVRC_RESOURCE_PROBLEM;
  }
  if (keep != nullptr && rc == 0) {
    *keep = fd;
    return 0;
  }
  close(fd);
  return rc;
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

CVLONG LocalBackend::Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                         void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                         std::string *props) {
  RecoverHolders(queue.Name);
  return TakingOff([&] {
    return GetOnce(queue, md, options, bufferLength, buffer, dataLength, propBufferLength, props);
  });
}

CVLONG LocalBackend::GetOnce(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                             void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                             std::string *props, Taken *taken) {
  bool syncpoint = (options & CVGMO_SYNCPOINT) != 0;
  bool acceptTruncated = (options & CVGMO_ACCEPT_TRUNCATED_MSG) != 0;
  bool matchMsgId = !AllZero(md->MsgId, CV_MSG_ID_LENGTH);
  bool matchCorrelId = !AllZero(md->CorrelId, CV_CORREL_ID_LENGTH);
  std::string sql =
      "SELECT id, md, length, body, bodyfile, backout, props FROM messages WHERE queue=? AND "
      "state=0";
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
      *props = s.BlobText(6);
      bool propsTooLong = propBufferLength != kPropertiesNotAsked &&
                          props->size() > static_cast<size_t>(propBufferLength);
      if (((taken == nullptr && length > bufferLength) || propsTooLong) && !acceptTruncated) {
        *md = stored;  // the retry with this descriptor asks for this message
        *dataLength = length;
        rc = CVRC_TRUNCATED_MSG_FAILED;
      } else if (bodyFile.empty() && length > 0) {
        CVLONG n = length < bufferLength ? length : bufferLength;
        if (s.Bytes(3) != length) {
          SetCause("message " + std::to_string(id) + ": its stored body has " +
                   std::to_string(s.Bytes(3)) + " bytes, the message " + std::to_string(length));
          rc = CVRC_OBJECT_DAMAGED;
        } else if (taken != nullptr) {
          taken->Inline = s.BlobText(3);
        } else if (n > 0) {  // a zero-length buffer may be null
          std::memcpy(buffer, s.Blob(3), static_cast<size_t>(n));
        }
      }
    }
  }
  CVLONG copied = taken != nullptr ? 0 : length < bufferLength ? length : bufferLength;
  // Without syncpoint the body is read before the row goes, while the write
  // lock keeps it ours.
  if (rc == 0 && !bodyFile.empty() && !syncpoint) rc = ReadBody(bodyFile, buffer, copied, length);
  if (rc == CVRC_OBJECT_DAMAGED) {
    // Set aside where it is, for the operator; the next get takes the next.
    Stmt u(stmts_, "UPDATE messages SET state=3, holder=NULL WHERE id=?");
    int step = u.Bind(1, id).Step();
    rc = step == SQLITE_DONE ? End() : SqlFailure(step);
    if (rc == 0) {
      Durable(true);
      *md = stored;
      return CVRC_OBJECT_DAMAGED;
    }
  }
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
  if (rc == 0 && !syncpoint && !bodyFile.empty()) rc = Doom({bodyFile});
  if (rc == 0 || rc == CVRC_TRUNCATED_MSG_FAILED) {
    CVLONG end = End();
    if (rc == 0) rc = end;
  }
  if (rc != 0 && rc != CVRC_TRUNCATED_MSG_FAILED) Rollback();
  Durable(true);
  if (rc != 0) return rc;

  if (syncpoint) {
    uow_ = true;
    held_++;
    if (!bodyFile.empty()) {
      rc = ReadBody(bodyFile, buffer, copied, length, taken != nullptr ? &taken->Fd : nullptr);
    }
    if (rc != 0) {
      // A get that fails gives its hold back: a damaged message is set
      // aside, any other goes back to the queue as it was.
      SetAside(id, rc == CVRC_OBJECT_DAMAGED ? kDamaged : kVisible);
      if (rc == CVRC_OBJECT_DAMAGED) *md = stored;
      return rc;
    }
  } else if (!bodyFile.empty()) {
    RemoveBodies({bodyFile});
  }
  *md = stored;
  *dataLength = copied;
  if (taken != nullptr) {
    taken->Id = id;
    taken->Length = length;
    return 0;
  }
  return length > bufferLength ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
}

CVLONG LocalBackend::BrowseMessage(const QueueDef &queue, CVMD *md, CVLONG options, int64_t *cursor,
                                   CVLONG bufferLength, void *buffer, CVLONG *dataLength,
                                   CVLONG propBufferLength, std::string *props) {
  RecoverHolders(queue.Name);
  bool acceptTruncated = (options & CVGMO_ACCEPT_TRUNCATED_MSG) != 0;
  bool matchMsgId = !AllZero(md->MsgId, CV_MSG_ID_LENGTH);
  bool matchCorrelId = !AllZero(md->CorrelId, CV_CORREL_ID_LENGTH);
  std::string sql =
      "SELECT id, md, length, body, bodyfile, backout, props FROM messages WHERE queue=? AND "
      "state=0 AND id>?";
  if (matchMsgId) sql += " AND msgid=?";
  if (matchCorrelId) sql += " AND correlid=?";
  sql += " ORDER BY id LIMIT 1";
  sqlite3_int64 after = (options & CVGMO_BROWSE_FIRST) != 0 ? 0 : *cursor;
  // Only reads: no transaction is needed, and the row may go at any time.
  for (;;) {
    sqlite3_int64 id = 0;
    CVLONG length = 0;
    CVLONG copied = 0;
    std::string bodyFile;
    CVMD stored = CVMD_DEFAULT;
    CVLONG rc = 0;
    {
      Stmt s(stmts_, sql.c_str());
      int i = 1;
      s.Bind(i++, queue.Name);
      s.Bind(i++, after);
      if (matchMsgId) s.BindBlob(i++, md->MsgId, CV_MSG_ID_LENGTH);
      if (matchCorrelId) s.BindBlob(i++, md->CorrelId, CV_CORREL_ID_LENGTH);
      int step = s.Step();
      if (step != SQLITE_ROW) return step == SQLITE_DONE ? CVRC_NO_MSG_AVAILABLE : SqlFailure(step);
      id = s.Int(0);
      if (s.Bytes(1) == sizeof(CVMD)) std::memcpy(&stored, s.Blob(1), sizeof(CVMD));
      stored.BackoutCount = static_cast<CVLONG>(s.Int(5));
      length = static_cast<CVLONG>(s.Int(2));
      if (!s.IsNull(4)) bodyFile = s.Text(4);
      *props = s.BlobText(6);
      bool propsTooLong = propBufferLength != kPropertiesNotAsked &&
                          props->size() > static_cast<size_t>(propBufferLength);
      if ((length > bufferLength || propsTooLong) && !acceptTruncated) {
        *md = stored;  // the position stays: the retry returns this message
        *dataLength = length;
        return CVRC_TRUNCATED_MSG_FAILED;
      }
      copied = length < bufferLength ? length : bufferLength;
      if (bodyFile.empty() && copied > 0) {
        if (s.Bytes(3) != length) {
          SetCause("message " + std::to_string(id) + ": its stored body has " +
                   std::to_string(s.Bytes(3)) + " bytes, the message " + std::to_string(length));
          rc = CVRC_OBJECT_DAMAGED;
        } else {
          std::memcpy(buffer, s.Blob(3), static_cast<size_t>(copied));
        }
      }
    }
    // With nothing to copy a body file is not even opened.
    if (!bodyFile.empty() && copied > 0) rc = ReadBody(bodyFile, buffer, copied, length);
    if (rc == CVRC_OBJECT_DAMAGED) {
      // A getter may have taken the message and removed its body since it
      // was read: it is damaged only if it is still there to be taken, and
      // its body still cannot be read now that no getter can take it.
      bool gone = false;
      rc = TakingOff([&] {
        CVLONG rc = Begin();
        if (rc != 0) return rc;
        Stmt u(stmts_, "UPDATE messages SET state=3 WHERE id=? AND state=0");
        if (int step = u.Bind(1, id).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
        gone = rc == 0 && sqlite3_changes(db_) == 0;
        if (rc == 0 && !gone && !bodyFile.empty()) {
          rc = ReadBody(bodyFile, buffer, copied, length);  // a rename may have been under way
          if (rc != CVRC_OBJECT_DAMAGED) {
            Rollback();
            return rc;
          }
          rc = 0;
        }
        if (rc == 0 && !gone) rc = End();
        if (rc != 0 || gone) {
          Rollback();
          return rc;
        }
        return CVRC_OBJECT_DAMAGED;
      });
      if (gone) {
        after = id;  // taken meanwhile: browse on
        continue;
      }
      if (rc == CVRC_OBJECT_DAMAGED) {
        *cursor = id;
        *md = stored;
        return rc;
      }
    }
    if (rc != 0) return rc;
    *cursor = id;
    *md = stored;
    *dataLength = length;
    return length > bufferLength ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
  }
}

CVLONG LocalBackend::Mark(const CVBYTE *msgId, const std::string &marks) {
  return TakingOff([&] {
    CVLONG rc = Begin();
    if (rc != 0) return rc;
    sqlite3_int64 id = 0;
    std::string merged;
    {
      Stmt s(stmts_,
             "SELECT id, props FROM messages WHERE holder=? AND state=1 AND msgid=? ORDER BY id "
             "LIMIT 1");
      s.Bind(1, token_).BindBlob(2, msgId, CV_MSG_ID_LENGTH);
      int step = s.Step();
      if (step == SQLITE_DONE) {
        rc = CVRC_NO_MSG_LOCKED;
      } else if (step != SQLITE_ROW) {
        rc = SqlFailure(step);
      } else {
        id = s.Int(0);
        rc = MergeProperties(s.BlobText(1), marks, &merged);
      }
    }
    if (rc == 0) {
      Stmt u(stmts_, "UPDATE messages SET props=? WHERE id=?");
      if (merged.empty()) {
        u.BindNull(1);
      } else {
        u.BindBlob(1, merged.data(), static_cast<int>(merged.size()));
      }
      if (int step = u.Bind(2, id).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
    }
    return Finish(rc);
  });
}

CVLONG LocalBackend::Depth(const QueueDef &queue, CVLONG *depth) {
  Stmt s(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=? AND state IN (0,1,3)");
  s.Bind(1, queue.Name);
  int rc = s.Step();
  if (rc != SQLITE_ROW) return SqlFailure(rc);
  *depth = static_cast<CVLONG>(s.Int(0));
  return 0;
}

CVLONG LocalBackend::EndUnitOfWork(const std::string &token, bool commit, sqlite3_int64 *held,
                                   sqlite3_int64 *pending) {
  // Held gets (state 1) leave or return, pending puts (state 2) appear or
  // go; the body files of what leaves are removed once that is committed.
  std::vector<std::string> files;
  CVLONG rc = Begin();
  if (rc != 0) return rc;
  {
    if (token == token_) {
      for (const auto &[id, state] : setAside_) {
        Stmt u(stmts_, "UPDATE messages SET state=?, holder=NULL WHERE id=? AND holder=?");
        int step = u.Bind(1, state).Bind(2, id).Bind(3, token_).Step();
        if (rc == 0 && step != SQLITE_DONE) rc = SqlFailure(step);
      }
    }
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
  if (rc == 0 && commit && token == token_ && (*held != held_ || *pending != pending_)) {
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
  held_ = pending_ = 0;
  setAside_.clear();
  return rc != 0 ? rc : result;
}

CVLONG LocalBackend::Commit() {
  return EndUnitOfWork(true);
}

CVLONG LocalBackend::Backout() {
  return EndUnitOfWork(false);
}

CVLONG LocalBackend::Browse(const std::string &name, std::vector<MessageInfo> *messages) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  messages->clear();
  Stmt s(stmts_,
         "SELECT md, length, backout, state, props FROM messages WHERE queue=? AND state IN "
         "(0,1,3) ORDER BY id");
  s.Bind(1, name);
  while (s.Step() == SQLITE_ROW) {
    MessageInfo info;
    if (s.Bytes(0) == sizeof(CVMD)) std::memcpy(&info.Md, s.Blob(0), sizeof(CVMD));
    info.Length = static_cast<CVLONG>(s.Int(1));
    info.Md.BackoutCount = static_cast<CVLONG>(s.Int(2));
    info.Held = s.Int(3) == kHeld;
    info.Damaged = s.Int(3) == kDamaged;
    info.Props = s.BlobText(4);
    messages->push_back(info);
  }
  return 0;
}

CVLONG LocalBackend::Clear(const std::string &name, CVLONG *removed) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  RecoverHolders(name);
  return TakingOff([&] {
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
  });
}

CVLONG LocalBackend::ClearDamaged(const std::string &name, CVLONG *removed) {
  QueueDef def;
  if (CVLONG rc = LookupQueue(name, &def); rc != 0) return rc;
  return TakingOff([&] {
    std::vector<std::string> files;
    CVLONG rc = Begin();
    if (rc != 0) return rc;
    {
      Stmt f(stmts_,
             "SELECT bodyfile FROM messages WHERE queue=? AND state=3 AND bodyfile IS NOT NULL");
      f.Bind(1, name);
      while (f.Step() == SQLITE_ROW) files.push_back(f.Text(0));
      Stmt d(stmts_, "DELETE FROM messages WHERE queue=? AND state=3");
      if (int step = d.Bind(1, name).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
      *removed = static_cast<CVLONG>(sqlite3_changes(db_));
    }
    return Finish(rc, files);
  });
}

void LocalBackend::SalvageBodies(std::vector<std::string> *done) {
  // Messages whose body is missing or short are set aside as damaged.
  std::vector<std::pair<sqlite3_int64, std::string>> broken;
  std::set<std::string> named;
  {
    Stmt s(stmts_,
           "SELECT id, queue, length, bodyfile, state FROM messages WHERE bodyfile IS NOT NULL");
    while (s.Step() == SQLITE_ROW) {
      named.insert(s.Text(3));
      if (s.Int(4) == kDamaged) continue;
      std::string why = BodyProblem(bodiesDir_, s.Text(3), s.Int(2));
      if (!why.empty()) broken.emplace_back(s.Int(0), s.Text(1) + ": " + why);
    }
  }
  for (const auto &[id, why] : broken) {
    Stmt u(stmts_, "UPDATE messages SET state=3, holder=NULL WHERE id=?");
    if (u.Bind(1, id).Step() == SQLITE_DONE) done->push_back("marked damaged: " + why);
  }
  // Bodies nobody names go to lost/, for the operator to look at.
  std::string lost = def_.Dir + "/lost";
  for (const std::string &name : ListDir(bodiesDir_)) {
    bool part = false;
    if (named.count(BodyBase(name, &part)) > 0) continue;
    mkdir(lost.c_str(), 0700);
    if (rename(BodyPath(name).c_str(), (lost + "/" + name).c_str()) == 0) {
      done->push_back("set aside: lost/" + name + " (no message names this body)");
    }
  }
}

}  // namespace

CVLONG OpenLocalBackend(const QmgrDef &def, std::unique_ptr<Backend> *out) {
  auto backend = std::make_unique<LocalBackend>(def);
  if (CVLONG rc = backend->Open(); rc != 0) return rc;
  *out = std::move(backend);
  return 0;
}

namespace {

// Opens the store of dir as it is, creating nothing; "" or why it cannot.
std::string OpenStore(const std::string &dir, int flags, sqlite3 **db) {
  std::string path = dir + "/store.db";
  *db = nullptr;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (st.st_size == 0) return path + ": empty";
  if (sqlite3_open_v2(path.c_str(), db, flags, nullptr) != SQLITE_OK) {
    return path + ": " + sqlite3_errmsg(*db);
  }
  sqlite3_busy_timeout(*db, 10000);
  sqlite3_stmt *s = nullptr;
  int rc = sqlite3_prepare_v2(*db, "SELECT 1 FROM meta WHERE key='created'", -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  std::string why = rc == SQLITE_ROW    ? ""
                    : rc == SQLITE_DONE ? path + ": no queue manager recorded"
                                        : path + ": " + sqlite3_errmsg(*db);
  sqlite3_finalize(s);
  return why;
}

// The lines of PRAGMA integrity_check that are not "ok".
std::vector<std::string> IntegrityProblems(sqlite3 *db) {
  std::vector<std::string> problems;
  sqlite3_stmt *s = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check(20)", -1, &s, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    const char *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    if (text != nullptr && std::strcmp(text, "ok") != 0) problems.push_back(text);
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) problems.push_back(sqlite3_errmsg(db));
  sqlite3_finalize(s);
  return problems;
}

// Copies the rows of table that can still be read from one database to
// another, skipping what cannot; returns how many rows were lost.
int CopyReadable(sqlite3 *from, sqlite3 *to, const char *select, const char *insert, int columns,
                 int *copied) {
  int lost = 0;
  sqlite3_int64 last = -1;
  sqlite3_stmt *ins = nullptr;
  sqlite3_prepare_v2(to, insert, -1, &ins, nullptr);
  for (int failures = 0; failures < 10000;) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(from, select, -1, &s, nullptr) != SQLITE_OK) {
      lost++;
      break;
    }
    sqlite3_bind_int64(s, 1, last);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      last = sqlite3_column_int64(s, 0);
      for (int i = 1; i <= columns; i++) sqlite3_bind_value(ins, i, sqlite3_column_value(s, i));
      if (sqlite3_step(ins) == SQLITE_DONE) (*copied)++;
      sqlite3_reset(ins);
      failures = 0;
    }
    sqlite3_finalize(s);
    if (rc == SQLITE_DONE) break;
    lost++;  // past the row that cannot be read
    last++;
    failures++;
  }
  sqlite3_finalize(ins);
  return lost;
}

}  // namespace

CVLONG CheckLocalStore(const QmgrDef &def, std::string *summary,
                       std::vector<std::string> *problems) {
  problems->clear();
  std::string bodies = def.Dir + "/bodies";
  sqlite3 *db = nullptr;
  std::string why = OpenStore(def.Dir, SQLITE_OPEN_READWRITE, &db);
  if (!why.empty()) {
    sqlite3_close(db);
    problems->push_back("database: " + why);
    *summary = std::to_string(ListDir(bodies).size()) + " body files kept";
    return 0;
  }
  for (const std::string &p : IntegrityProblems(db)) problems->push_back("database: " + p);
  // One snapshot for everything read below.
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  std::set<std::string> named;
  std::map<std::string, int> index;
  int messages = 0, damaged = 0, queues = 0;
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM queues", -1, &s, nullptr);
  if (sqlite3_step(s) == SQLITE_ROW) queues = sqlite3_column_int(s, 0);
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db,
                     "SELECT queue, state, length, bodyfile FROM messages WHERE state<>2 "
                     "ORDER BY queue, id",
                     -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) {
    std::string queue = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    std::string where = queue + " message " + std::to_string(++index[queue]);
    const unsigned char *file = sqlite3_column_text(s, 3);
    std::string problem =
        file != nullptr
            ? BodyProblem(bodies, reinterpret_cast<const char *>(file), sqlite3_column_int64(s, 2))
            : "";
    if (file != nullptr) named.insert(reinterpret_cast<const char *>(file));
    messages++;
    if (sqlite3_column_int(s, 1) == kDamaged) {
      damaged++;
      problems->push_back("damaged: " + where + (problem.empty() ? "" : ": " + problem));
    } else if (!problem.empty()) {
      problems->push_back("missing body: " + where + ": " + problem);
    }
  }
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db,
                     "SELECT bodyfile FROM messages WHERE bodyfile IS NOT NULL AND state=2 "
                     "UNION SELECT file FROM doomed",
                     -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) {
    named.insert(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
  }
  sqlite3_finalize(s);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  for (const std::string &name : ListDir(bodies)) {
    bool part = false;
    std::string base = BodyBase(name, &part);
    int fd = -1;
    // A part of a living putter is a put under way.
    if (named.count(base) > 0 ||
        (part && !HolderGone(def.Dir + "/conn", base.substr(0, base.rfind('-')), &fd)))
      continue;
    if (fd >= 0) close(fd);
    struct stat st;
    off_t size = stat((bodies + "/" + name).c_str(), &st) == 0 ? st.st_size : 0;
    problems->push_back("orphan body: " + bodies + "/" + name + " (" + std::to_string(size) +
                        " bytes, no message names it)");
  }
  *summary = std::to_string(queues) + " queues, " + std::to_string(messages) + " messages (" +
             std::to_string(damaged) + " damaged)";
  return 0;
}

CVLONG SalvageLocalStore(const QmgrDef &def, std::vector<std::string> *done) {
  done->clear();
  std::string conn = def.Dir + "/conn";
  for (const std::string &name : ListDir(conn)) {
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".lock") != 0) continue;
    int fd = -1;
    if (!HolderGone(conn, name.substr(0, name.size() - 5), &fd)) {
      SetCause(conn + "/" + name + ": a connection is alive; salvage needs the queue manager idle");
      return CVRC_OBJECT_IN_USE;
    }
    if (fd >= 0) close(fd);
  }
  std::string path = def.Dir + "/store.db";
  sqlite3 *old = nullptr;
  std::string why = OpenStore(def.Dir, SQLITE_OPEN_READWRITE, &old);
  std::vector<std::string> damage =
      why.empty() ? IntegrityProblems(old) : std::vector<std::string>{why};
  if (!damage.empty()) {
    // Rebuild: a new database with every row the old one still gives.
    std::string fresh = path + ".salvage";
    for (const char *suffix : {"", "-wal", "-shm"}) unlink((fresh + suffix).c_str());
    close(open(fresh.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(fresh.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      SetCause(fresh + ": " + sqlite3_errmsg(db));
      sqlite3_close(db);
      sqlite3_close(old);
      return CVRC_RESOURCE_PROBLEM;
    }
    sqlite3_exec(db,
                 "BEGIN; INSERT INTO meta VALUES('created', datetime('now'));"
                 "INSERT INTO meta VALUES('salvaged', datetime('now'))",
                 nullptr, nullptr, nullptr);
    int queues = 0, messages = 0, lost = 0;
    if (old != nullptr) {
      lost += CopyReadable(old, db, "SELECT rowid, * FROM queues WHERE rowid>? ORDER BY rowid",
                           "INSERT OR IGNORE INTO queues VALUES(?,?,?,?,?,?)", 6, &queues);
      // A store made before messages had properties has no such column.
      sqlite3_stmt *probe = nullptr;
      bool props = sqlite3_prepare_v2(old, "SELECT props FROM messages LIMIT 0", -1, &probe,
                                      nullptr) == SQLITE_OK;
      sqlite3_finalize(probe);
      lost += CopyReadable(old, db,
                           props ? "SELECT id, * FROM messages WHERE id>? ORDER BY id"
                                 : "SELECT id, *, NULL FROM messages WHERE id>? ORDER BY id",
                           "INSERT OR IGNORE INTO messages VALUES(?,?,?,?,?,?,?,?,?,?,?,?)", 12,
                           &messages);
    }
    sqlite3_close(old);
    old = nullptr;
    // Every queue a kept message names, and the default one, exist.
    std::string q = "INSERT OR IGNORE INTO queues SELECT DISTINCT queue, 1, " +
                    std::to_string(kDefaultMaxDepth) + ", " + std::to_string(kDefaultMaxMsgLength) +
                    ", NULL, NULL FROM messages; INSERT OR IGNORE INTO queues VALUES('" +
                    kDefaultQueue + "', 1, " + std::to_string(kDefaultMaxDepth) + ", " +
                    std::to_string(kDefaultMaxMsgLength) +
                    ", NULL, NULL); COMMIT;"
                    "PRAGMA journal_mode=WAL; PRAGMA wal_checkpoint(TRUNCATE)";
    int rc = sqlite3_exec(db, q.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) {
      SetCause(fresh + ": cannot be written");
      return CVRC_RESOURCE_PROBLEM;
    }
    std::string aside = path + ".damaged." + std::to_string(time(nullptr));
    for (const char *suffix : {"", "-wal"})
      rename((path + suffix).c_str(), (aside + suffix).c_str());
    unlink((path + "-shm").c_str());
    if (rename(fresh.c_str(), path.c_str()) != 0) {
      SetErrnoCause(path);
      return CVRC_RESOURCE_PROBLEM;
    }
    unlink((def.Dir + "/" + kNewStoreMarker).c_str());
    SyncDir(def.Dir);
    for (const std::string &d : damage) done->push_back("database: " + d);
    done->push_back("database rebuilt: " + std::to_string(queues) + " queues and " +
                    std::to_string(messages) + " messages kept, " + std::to_string(lost) +
                    " unreadable rows skipped; the damaged one is now " + aside);
  }
  sqlite3_close(old);
  // Opening backs out what ended connections held and finishes what they
  // left half done; the rest is salvage's.
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = OpenLocalBackend(def, &backend); rc != 0) return rc;
  static_cast<LocalBackend *>(backend.get())->SalvageBodies(done);
  return 0;
}

}  // namespace corvane
