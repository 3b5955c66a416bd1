// store_check.cpp - check and salvage of a local queue manager's store,
// and the look at its files that both share with recovery.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "store.h"

namespace corvane::store {

std::vector<std::string> StoreListDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

std::string StoreBodyBase(const std::string &name, bool *part) {
  size_t n = sizeof(kPart) - 1;
  *part = name.size() > n && name.compare(name.size() - n, n, kPart) == 0;
  return *part ? name.substr(0, name.size() - n) : name;
}

std::string StoreBodyProblem(const std::string &dir, const std::string &file,
                             sqlite3_int64 length) {
  struct stat st;
  std::string path = dir + "/" + file;
  if (stat(path.c_str(), &st) != 0 && stat((path + kPart).c_str(), &st) != 0) {
    return path + ": " + std::strerror(errno);
  }
  if (st.st_size == length) return "";
  return path + ": " + std::to_string(st.st_size) + " bytes, the message has " +
         std::to_string(length);
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
      std::string why = StoreBodyProblem(bodiesDir_, s.Text(3), s.Int(2));
      if (!why.empty()) broken.emplace_back(s.Int(0), s.Text(1) + ": " + why);
    }
  }
  for (const auto &[id, why] : broken) {
    Stmt u(stmts_, "UPDATE messages SET state=3, holder=NULL WHERE id=?");
    if (u.Bind(1, id).Step() == SQLITE_DONE) done->push_back("marked damaged: " + why);
  }
  // Bodies nobody names go to lost/, for the operator to look at.
  std::string lost = def_.Dir + "/lost";
  for (const std::string &name : StoreListDir(bodiesDir_)) {
    bool part = false;
    if (named.count(StoreBodyBase(name, &part)) > 0) continue;
    mkdir(lost.c_str(), 0700);
    if (rename(BodyPath(name).c_str(), (lost + "/" + name).c_str()) == 0) {
      done->push_back("set aside: lost/" + name + " (no message names this body)");
    }
  }
}

namespace {

// The path as a URI's path: the characters a URI gives a meaning escaped.
std::string UriPath(const std::string &path) {
  std::string out;
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// Opens the store of dir as it is, creating nothing; "" or why it cannot.
// With fileOnly the database file alone is read, as it is: its log and the
// log's index are neither read nor touched.
std::string OpenStore(const std::string &dir, bool fileOnly, sqlite3 **db) {
  std::string path = dir + "/store.db";
  *db = nullptr;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (st.st_size == 0) return path + ": empty";
  int rc = fileOnly ? sqlite3_open_v2(("file:" + UriPath(path) + "?immutable=1").c_str(), db,
                                      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                    : sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) return path + ": " + sqlite3_errmsg(*db);
  sqlite3_busy_timeout(*db, 10000);
  sqlite3_stmt *s = nullptr;
  rc = sqlite3_prepare_v2(*db, "SELECT 1 FROM meta WHERE key='created'", -1, &s, nullptr);
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

// What a check counted.
struct CheckCounts {
  int Queues = 0;
  int Messages = 0;
  int Damaged = 0;
};

// Runs sql on db, calling row(s) on each row; "" when every row was read,
// else SQLite's words for why not.
template <typename F>
std::string EachRow(sqlite3 *db, const char *sql, F row) {
  sqlite3_stmt *s = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    row(s);
    rc = SQLITE_OK;
  }
  std::string why = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
  sqlite3_finalize(s);
  return why;
}

// The text of column i of s, "" for NULL.
std::string ColumnText(sqlite3_stmt *s, int i) {
  const unsigned char *t = sqlite3_column_text(s, i);
  return t != nullptr ? reinterpret_cast<const char *>(t) : "";
}

// Checks one message row (queue, state, length, bodyfile): a damaged
// message, a body missing or short.
void CheckMessage(sqlite3_stmt *s, const std::string &bodies, std::map<std::string, int> *index,
                  std::set<std::string> *named, std::vector<std::string> *problems,
                  CheckCounts *counts) {
  std::string queue = ColumnText(s, 0);
  std::string where = queue + " message " + std::to_string(++(*index)[queue]);
  const bool inFile = sqlite3_column_type(s, 3) != SQLITE_NULL;
  std::string file = ColumnText(s, 3);
  std::string problem = inFile ? StoreBodyProblem(bodies, file, sqlite3_column_int64(s, 2)) : "";
  if (inFile) named->insert(file);
  counts->Messages++;
  if (sqlite3_column_int(s, 1) == kDamaged) {
    counts->Damaged++;
    problems->push_back("damaged: " + where + (problem.empty() ? "" : ": " + problem));
  } else if (!problem.empty()) {
    problems->push_back("missing body: " + where + ": " + problem);
  }
}

// Checks the rows of an opened store in one snapshot: damaged messages,
// bodies missing or short, rows that cannot be read; *named receives every
// body file a row names.
void CheckRows(sqlite3 *db, const std::string &bodies, std::set<std::string> *named,
               std::vector<std::string> *problems, CheckCounts *counts) {
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  std::map<std::string, int> index;
  std::set<std::string> unread;
  unread.insert(EachRow(db, "SELECT COUNT(*) FROM queues",
                        [&](sqlite3_stmt *s) { counts->Queues = sqlite3_column_int(s, 0); }));
  unread.insert(
      EachRow(db,
              "SELECT queue, state, length, bodyfile FROM messages WHERE state<>2 "
              "ORDER BY queue, id",
              [&](sqlite3_stmt *s) { CheckMessage(s, bodies, &index, named, problems, counts); }));
  unread.insert(EachRow(db,
                        "SELECT bodyfile FROM messages WHERE bodyfile IS NOT NULL AND state=2 "
                        "UNION SELECT file FROM doomed",
                        [&](sqlite3_stmt *s) { named->insert(ColumnText(s, 0)); }));
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  for (const std::string &why : unread) {
    if (!why.empty()) problems->push_back("database: not every row can be read: " + why);
  }
}

// Reports the body files of dir that no row names and no living putter is
// writing.
void CheckOrphans(const QmgrDef &def, const std::set<std::string> &named,
                  std::vector<std::string> *problems) {
  const std::string bodies = def.Dir + "/bodies";
  for (const std::string &name : StoreListDir(bodies)) {
    bool part = false;
    std::string base = StoreBodyBase(name, &part);
    int fd = -1;
    // A part of a living putter is a put under way.
    if (named.count(base) > 0 ||
        (part && !StoreHolderGone(def.Dir + "/conn", base.substr(0, base.rfind('-')), &fd)))
      continue;
    if (fd >= 0) close(fd);
    struct stat st;
    off_t size = stat((bodies + "/" + name).c_str(), &st) == 0 ? st.st_size : 0;
    problems->push_back("orphan body: " + bodies + "/" + name + " (" + std::to_string(size) +
                        " bytes, no message names it)");
  }
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

// CVRC_OBJECT_IN_USE, saying which, while a connection to the store in
// dir lives; else 0.
CVLONG EnsureIdle(const std::string &dir) {
  std::string conn = dir + "/conn";
  for (const std::string &name : StoreListDir(conn)) {
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".lock") != 0) continue;
    int fd = -1;
    if (!StoreHolderGone(conn, name.substr(0, name.size() - 5), &fd)) {
      SetCause(conn + "/" + name + ": a connection is alive; salvage needs the queue manager idle");
      return CVRC_OBJECT_IN_USE;
    }
    if (fd >= 0) close(fd);
  }
  return 0;
}

// What a rebuild kept and lost.
struct RebuildCounts {
  int Queues = 0;
  int Messages = 0;
  int Lost = 0;
};

// Copies what old still gives into the new database db, in its open
// transaction.
void CopyStore(sqlite3 *old, sqlite3 *db, RebuildCounts *counts) {
  // A store made before queues had backout attributes, or messages
  // properties, has no such columns.
  auto has = [&](const char *probe) {
    sqlite3_stmt *s = nullptr;
    bool there = sqlite3_prepare_v2(old, probe, -1, &s, nullptr) == SQLITE_OK;
    sqlite3_finalize(s);
    return there;
  };
  const bool backout = has("SELECT bothresh, boqname FROM queues LIMIT 0");
  const bool props = has("SELECT props FROM messages LIMIT 0");
  const bool groups = has("SELECT grpid, grpseq, grplast FROM messages LIMIT 0");
  counts->Lost +=
      CopyReadable(old, db,
                   backout ? "SELECT rowid, * FROM queues WHERE rowid>? ORDER BY rowid"
                           : "SELECT rowid, *, 0, NULL FROM queues WHERE rowid>? ORDER BY rowid",
                   "INSERT OR IGNORE INTO queues VALUES(?,?,?,?,?,?,?,?)", 8, &counts->Queues);
  counts->Lost +=
      CopyReadable(old, db,
                   groups  ? "SELECT id, * FROM messages WHERE id>? ORDER BY id"
                   : props ? "SELECT id, *, NULL, NULL, NULL FROM messages WHERE id>? "
                             "ORDER BY id"
                           : "SELECT id, *, NULL, NULL, NULL, NULL FROM messages "
                             "WHERE id>? ORDER BY id",
                   "INSERT OR IGNORE INTO messages VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", 15,
                   &counts->Messages);
  // Journal records as they were: the opening that follows backs out the
  // changes of the units of work that held some, as it does their messages.
  int records = 0;
  if (has("SELECT key FROM journal LIMIT 0")) {
    counts->Lost +=
        CopyReadable(old, db, "SELECT rowid, * FROM journal WHERE rowid>? ORDER BY rowid",
                     "INSERT OR IGNORE INTO journal VALUES(?,?,?,?)", 4, &records);
  }
}

// Makes fresh a new database of the rows of old (null: none), closing old;
// 0 or CVRC_RESOURCE_PROBLEM.
CVLONG BuildSalvaged(const std::string &fresh, sqlite3 *old, RebuildCounts *counts) {
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
  if (old != nullptr) CopyStore(old, db, counts);
  sqlite3_close(old);
  // Every queue a kept message names, and the default one, exist.
  const std::string limits =
      std::to_string(kDefaultMaxDepth) + ", " + std::to_string(kDefaultMaxMsgLength);
  std::string q =
      "INSERT OR IGNORE INTO queues(name, type, maxdepth, maxmsgl) SELECT DISTINCT queue, 1, " +
      limits +
      " FROM messages; INSERT OR IGNORE INTO queues(name, type, maxdepth, maxmsgl) VALUES('" +
      kDefaultQueue + "', 1, " + limits +
      "); COMMIT; PRAGMA journal_mode=WAL; PRAGMA wal_checkpoint(TRUNCATE)";
  int rc = sqlite3_exec(db, q.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (rc != SQLITE_OK) {
    SetCause(fresh + ": cannot be written");
    return CVRC_RESOURCE_PROBLEM;
  }
  return 0;
}

// Rebuilds the database of def from what old (null: nothing) still gives,
// setting the damaged one aside; damage says what was wrong with it.
CVLONG RebuildDatabase(const QmgrDef &def, sqlite3 *old, const std::vector<std::string> &damage,
                       std::vector<std::string> *done) {
  std::string path = def.Dir + "/store.db";
  std::string fresh = path + ".salvage";
  RebuildCounts counts;
  if (CVLONG rc = BuildSalvaged(fresh, old, &counts); rc != 0) return rc;
  std::string aside = path + ".damaged." + std::to_string(time(nullptr));
  for (const char *suffix : {"", "-wal"}) rename((path + suffix).c_str(), (aside + suffix).c_str());
  unlink((path + "-shm").c_str());
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    SetErrnoCause(path);
    return CVRC_RESOURCE_PROBLEM;
  }
  unlink((def.Dir + "/" + kNewStoreMarker).c_str());
  SyncDir(def.Dir);
  for (const std::string &d : damage) done->push_back("database: " + d);
  done->push_back("database rebuilt: " + std::to_string(counts.Queues) + " queues and " +
                  std::to_string(counts.Messages) + " messages kept, " +
                  std::to_string(counts.Lost) +
                  " unreadable rows skipped; the damaged one is now " + aside);
  return 0;
}

}  // namespace

}  // namespace corvane::store

namespace corvane {

using namespace store;

CVLONG CheckLocalStore(const QmgrDef &def, std::string *summary,
                       std::vector<std::string> *problems) {
  problems->clear();
  std::string bodies = def.Dir + "/bodies";
  // A log that lost frames is left as it is, for the operator: SQLite would
  // take it for a shorter one, and the database file is checked alone.
  std::string lost = StoreWalProblem(def.Dir + "/store.db");
  if (!lost.empty()) problems->push_back("write-ahead log: " + lost);
  sqlite3 *db = nullptr;
  std::string why = OpenStore(def.Dir, !lost.empty(), &db);
  if (!why.empty()) {
    sqlite3_close(db);
    problems->push_back("database: " + why);
    *summary = std::to_string(StoreListDir(bodies).size()) + " body files kept";
    return 0;
  }
  for (const std::string &p : IntegrityProblems(db)) problems->push_back("database: " + p);
  std::set<std::string> named;
  CheckCounts counts;
  CheckRows(db, bodies, &named, problems, &counts);
  sqlite3_close(db);
  CheckOrphans(def, named, problems);
  *summary = std::to_string(counts.Queues) + " queues, " + std::to_string(counts.Messages) +
             " messages (" + std::to_string(counts.Damaged) + " damaged)";
  return 0;
}

CVLONG SalvageLocalStore(const QmgrDef &def, std::vector<std::string> *done) {
  done->clear();
  if (CVLONG rc = EnsureIdle(def.Dir); rc != 0) return rc;
  // SQLite keeps what a damaged log still has whole; the rest is lost.
  if (std::string lost = StoreWalProblem(def.Dir + "/store.db"); !lost.empty()) {
    done->push_back("write-ahead log: " + lost);
  }
  sqlite3 *old = nullptr;
  std::string why = OpenStore(def.Dir, false, &old);
  std::vector<std::string> damage =
      why.empty() ? IntegrityProblems(old) : std::vector<std::string>{why};
  if (!damage.empty()) {
    // Rebuild: a new database with every row the old one still gives.
    CVLONG rc = RebuildDatabase(def, old, damage, done);
    old = nullptr;  // closed by the rebuild
    if (rc != 0) return rc;
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
