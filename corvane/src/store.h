// store.h - the embedded store of a local queue manager, shared by the
// files that make it up:
//   store_stmt.cpp     prepared statements and transactions
//   store_lock.cpp     lock files: who is connected, who has ended
//   store_schema.cpp   opening a store: its files, schema and recovery
//   store_queue.cpp    queue definitions and whole queues
//   store_message.cpp  putting, getting, browsing and marking messages
//   store_uow.cpp      units of work and the removal of bodies
//   store_stream.cpp   put and get streams
//   store_wal.cpp      the write-ahead log, watched for loss and damage
//   store_journal.cpp  the journal's records, and a broker's journal store
//   store_check.cpp    check and salvage of a store no one may be using
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
#ifndef CORVANE_STORE_H
#define CORVANE_STORE_H

#include <sqlite3.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"

namespace corvane::store {

// Bodies up to this size stay in the database; larger ones get a file.
inline constexpr CVLONG kInlineBodyMax = 131072;

// A temporary lock file older than this belongs to a creator that died.
inline constexpr time_t kStaleTmpSeconds = 60;

// Space kept free for taking messages off a full file system.
inline constexpr off_t kReserveBytes = 4 << 20;

inline constexpr char kPart[] = ".part";

// EndUnitOfWork's answer when rows of the connection's own unit of work
// are no longer its own.
inline constexpr CVLONG kTakenAway = -1;

enum MsgState { kVisible = 0, kHeld = 1, kPending = 2, kDamaged = 3 };

// The tables of a store (store_schema.cpp); every statement is idempotent.
extern const char kSchema[];

// --- Lock files (store_lock.cpp) ---

// True when the process whose pid starts token is known to be gone.
bool StoreProcessGone(const std::string &token);

// True when the connection of token has provably ended: its lock file can
// be locked (*fd then keeps that lock, for the caller to close), or it is
// missing and its process is gone. Any other failure means it may live.
bool StoreHolderGone(const std::string &connDir, const std::string &token, int *fd);

// A token unique to one connection of one process.
std::string StoreNewToken();

// --- Files of the store (store_check.cpp) ---

// The names in dir that do not start with a dot; none when it cannot be read.
std::vector<std::string> StoreListDir(const std::string &dir);

// The body file name without ".part"; *part tells whether it had it.
std::string StoreBodyBase(const std::string &name, bool *part);

// "" when the body of a message of length bytes is whole in dir, else why
// not.
std::string StoreBodyProblem(const std::string &dir, const std::string &file, sqlite3_int64 length);

// --- The write-ahead log (store_wal.cpp) ---

// "" when the write-ahead log of the database at dbPath holds every frame
// its index lists as not yet in the database (or no index says so), else
// why it does not: missing, replaced, cut short or damaged, naming the log.
std::string StoreWalProblem(const std::string &dbPath);

// --- Statements (store_stmt.cpp) ---

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
  void Clear();
  // A statement for sql, reset and unbound, or null when it cannot be
  // prepared; *kept tells whether it must be handed back with Release
  // rather than finalized.
  sqlite3_stmt *Acquire(const char *sql, bool *kept);
  // Hands back a kept statement of sql, reset and unbound, for reuse.
  void Release(const char *sql, sqlite3_stmt *stmt);

 private:
  struct Entry {
    sqlite3_stmt *stmt;
    bool busy;
  };
  sqlite3 *const *db_;
  std::map<std::string, Entry, std::less<>> entries_;
};

// A prepared statement for the length of a scope. A statement that could
// not be prepared steps to SQLITE_ERROR; binding it does nothing harmful.
class Stmt {
 public:
  Stmt(StmtCache &cache, const char *sql);
  ~Stmt();
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  bool ok() const { return stmt_ != nullptr; }
  // Binders return the statement, for chains.
  Stmt &Bind(int i, const std::string &s) {
    sqlite3_bind_text(stmt_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt &Bind(int i, sqlite3_int64 v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  // Binds n bytes at p, which must stay until the statement is done; an
  // empty blob is a zero-length one, never NULL.
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
  // Columns of the current row.
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

// The descriptor kept in a row's md column (bytes long at blob): a whole
// one, or one of Version 1 from a store made before groups, whose message
// is outside any group; any other length gives the default.
inline CVMD StoreReadMd(const void *blob, int bytes) {
  CVMD md = CVMD_DEFAULT;
  md.MsgSeqNumber = 1;
  if (bytes == static_cast<int>(sizeof(CVMD))) std::memcpy(&md, blob, sizeof(CVMD));
  if (bytes == CVMD_LENGTH_1) std::memcpy(&md, blob, CVMD_LENGTH_1);
  return md;
}

// A message row as a get or a browse reads it (store_message.cpp).
struct MessageRow {
  sqlite3_int64 Id = 0;
  CVLONG Length = 0;
  std::string BodyFile;  // empty: the body is in the row
  CVMD Md = CVMD_DEFAULT;
};

// A key's row of the journal table (store_journal.cpp): its committed
// value, if any, and the change a unit of work holds, if any.
struct JournalRow {
  bool Found = false;
  bool Committed = false;  // Value is a committed record
  std::string Value;
  std::string Holder;       // the token of the unit of work; empty: none
  bool PendingPut = false;  // the held change puts Pending; else it deletes
  std::string Pending;
};

// What a get that opens a stream took: the row, and the body's open file
// or its bytes.
struct Taken {
  sqlite3_int64 Id = 0;
  CVLONG Length = 0;
  int Fd = -1;
  std::string Inline;
};

// The backend of one connection to a local queue manager.
class LocalBackend : public Backend {
 public:
  explicit LocalBackend(const QmgrDef &def) : def_(def) {}
  ~LocalBackend() override;

  // Opens the store of def_ (a new one only for a queue manager marked as
  // new), takes this connection's lock and recovers what ended connections
  // left. 0 or the reason; the backend is unusable after a failure.
  CVLONG Open();
  // The entries of a Backend, as backend.h describes them.
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
  CVLONG AlterQueue(const QueueDef &queue) override;
  CVLONG OldestAge(const QueueDef &queue, CVLONG *seconds) override;
  CVLONG DeleteQueue(const std::string &name) override;
  CVLONG ListQueues(std::vector<QueueDef> *queues) override;
  CVLONG Browse(const std::string &name, std::vector<MessageInfo> *messages) override;
  CVLONG Clear(const std::string &name, CVLONG *removed) override;
  CVLONG ClearDamaged(const std::string &name, CVLONG *removed) override;
  CVLONG PutOpen(const QueueDef &queue, bool syncpoint, std::unique_ptr<PutStream> *out) override;
  CVLONG GetOpen(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG *length,
                 CVLONG propBufferLength, std::string *props,
                 std::unique_ptr<GetStream> *out) override;
  CVLONG JournalPut(const std::string &key, const std::string &value, CVLONG options) override;
  CVLONG JournalGet(const std::string &key, std::string *value) override;
  CVLONG JournalDelete(const std::string &key, CVLONG options) override;
  CVLONG JournalNext(const std::string &prefix, std::string *key, std::string *value) override;
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
  // Statements and transactions (store_stmt.cpp).
  // The reason for SQLite's answer rc to the last call on db_; its message
  // becomes the cause.
  CVLONG SqlFailure(int rc);
  // Runs sql, which may hold several statements, without results.
  CVLONG Exec(const char *sql);
  // Runs one statement without results from the cache.
  CVLONG Run(const char *sql);
  // Begins a write transaction, waiting for the write lock.
  CVLONG Begin();
  // Commits the transaction.
  CVLONG End();
  // Undoes a transaction after a failure, keeping that failure's cause.
  void Rollback();
  // Sets whether commits wait for the disk (synchronous FULL) or not (OFF).
  void Durable(bool on);
  // True when SQLite's last failure was a busy or locked database.
  bool Retryable() const;

  // Opening (store_schema.cpp).
  // Makes the directories of the store; 0 or CVRC_Q_MGR_NOT_AVAILABLE.
  CVLONG MakeDirs();
  // Makes a new store's empty database file (*fresh), or checks that an
  // existing store's is there and not empty.
  CVLONG CheckDatabaseFile(const std::string &path, bool *fresh);
  // Opens the database, switches it to WAL and brings its schema up to
  // date, retrying what concurrent openers of a new store may make busy.
  CVLONG OpenDatabase(const std::string &path, bool fresh);
  // Makes the tables of a new store and, once, its default queue.
  CVLONG CreateSchema();
  // Brings the tables of a store made by an earlier version up to kSchema.
  CVLONG UpgradeSchema();
  // Checks that the store holds a queue manager; else CVRC_OBJECT_DAMAGED.
  CVLONG VerifySchema(const std::string &path);
  // Writes the new store's schema into the database file and removes the
  // new-store marker.
  void SealNewStore(const std::string &marker);
  // Recovery: backs out the units of work of ended connections and
  // finishes or removes what they left half done.
  void RecoverAll();
  void RemoveOrphanBodies();
  // Sets the reserve aside; false, with the cause, when the disk has no
  // room for it.
  bool EnsureReserve();

  // The write-ahead log (store_wal.cpp).
  // Keeps the log of the database at dbPath open, to know it again.
  CVLONG WatchLog(const std::string &dbPath);
  // Closes the database, keeping a damaged log from being written into it.
  void CloseDatabase();
  // 0 while the database and its log are the files this connection opened;
  // else, from then on, CVRC_CONNECTION_BROKEN saying which went.
  CVLONG CheckLog();

  // Lock files (store_lock.cpp).
  // Makes this connection's token and locked lock file.
  CVLONG TakeLock();
  // Removes this connection's lock file, ending its lock.
  void DropLock();
  // Removes the temporary lock files of creators that died.
  void SweepStaleTmp(const std::string &name);
  // Backs out the units of work of ended holders of rows of queue.
  void RecoverHolders(const std::string &queue);
  // False when the connection of token has ended, after backing its unit
  // of work out; true while it may live.
  bool Alive(const std::string &token);

  // Units of work (store_uow.cpp).
  // Commits or backs out the unit of work of token in the store; *held and
  // *pending receive how many held gets and pending puts it ended. For the
  // own unit of work, a commit that finds fewer rows than it made answers
  // kTakenAway and changes nothing.
  CVLONG EndUnitOfWork(const std::string &token, bool commit, sqlite3_int64 *held,
                       sqlite3_int64 *pending);
  // Ends this connection's unit of work and those of its forwarding targets.
  CVLONG EndUnitOfWork(bool commit);
  // Releases the rows SetAside could not release, in the current
  // transaction; 0 or the failure's reason.
  CVLONG ReleaseSetAside();
  // Records files as being removed, in the current transaction.
  CVLONG Doom(const std::vector<std::string> &files);
  // Removes body files whose rows are gone, then forgets they were doomed.
  void RemoveBodies(const std::vector<std::string> &files);
  // Ends the transaction of a change: commits it when rc is 0 and then
  // removes the body files of the messages it deleted, else rolls it back.
  CVLONG Finish(CVLONG rc, const std::vector<std::string> &files = {});
  // Takes a held row out of the unit of work into state (kVisible or
  // kDamaged); when the store cannot be written now, the next end of the
  // unit of work does it.
  void SetAside(sqlite3_int64 id, MsgState state);
  // Runs a change that takes messages off; when the disk is full it frees
  // the reserve and runs it once more.
  template <typename F>
  CVLONG TakingOff(F change) {
    CVLONG rc = change();
    if (rc == CVRC_Q_SPACE_NOT_AVAILABLE && unlink(reservePath_.c_str()) == 0) rc = change();
    return rc;
  }

  // The journal (store_journal.cpp).
  // Reads key's row, in or out of a transaction; 0 or the failure.
  CVLONG ReadJournalRow(const std::string &key, JournalRow *row);
  // Runs change(row, &held) on key's row in a write transaction that it
  // commits when change answers 0; held is how many more rows the unit of
  // work holds after it. A key held by another unit of work answers
  // CVRC_JOURNAL_KEY_EXISTS, after backing out that unit of work once if
  // its connection has ended.
  template <typename F>
  CVLONG ChangeJournal(const std::string &key, bool syncpoint, F change);
  // Commits or backs out the journal rows of token's unit of work in the
  // current transaction; *rows tells how many it ended.
  CVLONG EndJournal(const std::string &token, bool commit, sqlite3_int64 *rows);

  // Queues (store_queue.cpp).
  // Removes the messages of queue in state (kVisible or kDamaged) that no
  // unit of work holds; *removed tells how many.
  CVLONG RemoveMessages(const std::string &name, MsgState state, CVLONG *removed);
  // The queue manager and queue a remote definition forwards to.
  CVLONG ForwardTarget(const QueueDef &queue, Backend **target, QueueDef *dest);

  // Messages (store_message.cpp).
  // Put of a remote definition: puts on the queue it names.
  CVLONG ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                    CVLONG length, const std::string &props);
  // Writes the body of a put to its part file; 0 or the reason.
  CVLONG WriteBodyFile(const std::string &bodyFile, const void *data, CVLONG length,
                       bool persistent);
  // Inserts the row of a put, checking the queue's depth, in the current
  // transaction.
  CVLONG InsertMessage(const QueueDef &queue, const CVMD &md, bool syncpoint, const void *data,
                       CVLONG length, const std::string &bodyFile, const std::string &props);
  // Runs fn on the statement positioned on the oldest visible message of
  // queue after row after whose identifiers match those of md and that
  // the group options of a get (options) allow, reading kMessageColumns;
  // CVRC_NO_MSG_AVAILABLE when there is none.
  template <typename F>
  CVLONG WithNextMessage(const QueueDef &queue, const CVMD &md, CVLONG options, sqlite3_int64 after,
                         F fn);
  // One get. With taken (a stream, under syncpoint) the data are not
  // copied but handed over in *taken, and never make the message too long.
  CVLONG GetOnce(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength, void *buffer,
                 CVLONG *dataLength, CVLONG propBufferLength, std::string *props,
                 Taken *taken = nullptr);
  // GetOnce's steps: choosing the message in the open transaction, then
  // taking it out of the queue and ending the transaction, then (under
  // syncpoint) holding it and reading its body file, giving the hold back
  // when that fails.
  CVLONG ChooseForGet(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                      void *buffer, CVLONG *dataLength, CVLONG propBufferLength, std::string *props,
                      Taken *taken, MessageRow *row);
  CVLONG TakeRow(const MessageRow &row, bool syncpoint, void *buffer, CVLONG copied, CVLONG chosen,
                 CVMD *md);
  CVLONG HoldTaken(const MessageRow &row, void *buffer, CVLONG copied, Taken *taken, CVMD *md);
  // One look of a browse at the message after *after: CVRC_NO_MSG_AVAILABLE
  // when there is none, kTakenAway when it was taken meanwhile (*after
  // then names it).
  CVLONG BrowseOnce(const QueueDef &queue, CVMD *md, CVLONG options, sqlite3_int64 *after,
                    CVLONG bufferLength, void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                    std::string *props);
  // Sets aside a message whose body a browse could not read, unless a
  // getter took it meanwhile (kTakenAway); CVRC_OBJECT_DAMAGED when set aside.
  CVLONG SetAsideBrowsed(const MessageRow &row, void *buffer, CVLONG copied);
  // Reads the first n bytes of the body of a message of length bytes:
  // CVRC_OBJECT_DAMAGED when it is missing or of another length,
  // CVRC_RESOURCE_PROBLEM when the system failed otherwise.
  // With fd, keeps the file open there for the caller instead of closing it.
  CVLONG ReadBody(const std::string &file, void *buffer, CVLONG n, CVLONG length,
                  int *fd = nullptr);

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
  sqlite3_int64 journal_ = 0;                   // journal rows it holds
  std::map<sqlite3_int64, MsgState> setAside_;  // held rows SetAside could not release yet
  std::map<std::string, std::unique_ptr<Backend>> remotes_;  // forwarding targets
  std::string walPath_;
  int walFd_ = -1;  // the log as this connection opened it
  dev_t walDev_ = 0;
  ino_t walIno_ = 0;
  std::string broken_;  // why this connection cannot go on, once it cannot
};

}  // namespace corvane::store

#endif
