// watch_list.cpp - the watch's listing and pending files in a private
// temporary SQLite database. Names are kept as blobs: a server's names are
// bytes, compared as bytes, whatever their encoding.
#include "watch_list.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>

struct WatchList {
  sqlite3 *Db = nullptr;
  sqlite3_stmt *Clear = nullptr;
  sqlite3_stmt *Add = nullptr;
  sqlite3_stmt *Has = nullptr;
  sqlite3_stmt *HasPrefix = nullptr;
  sqlite3_stmt *Each = nullptr;
  sqlite3_stmt *SeenGet = nullptr;
  sqlite3_stmt *SeenSet = nullptr;
  sqlite3_stmt *Forget = nullptr;
  sqlite3_stmt *ForgetGone = nullptr;
};

namespace {

// Nothing here needs to survive the process; at most 1 MiB of it is held
// in memory, the rest is on disk.
const char kWatchListSchema[] =
    "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA temp_store=FILE;"
    "PRAGMA cache_size=-1024;"
    "CREATE TABLE listed(name BLOB PRIMARY KEY, size INTEGER, mtime BLOB, told INTEGER,"
    " uniq BLOB)"
    " WITHOUT ROWID;"
    "CREATE TABLE pending(dir BLOB, name BLOB, size INTEGER, mtime BLOB, since INTEGER,"
    " PRIMARY KEY(dir, name)) WITHOUT ROWID;";

// Says that what of the watch's list failed, with SQLite's reason.
int WatchListFailed(WatchList *list, const char *what) {
  std::printf("cvxfer: the watch cannot keep its listing (%s): %s\n", what,
              sqlite3_errmsg(list->Db));
  std::fflush(stdout);
  return -1;
}

void WatchListBind(sqlite3_stmt *stmt, int at, std::string_view bytes) {
  sqlite3_bind_blob(stmt, at, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_TRANSIENT);
}

std::string_view WatchListColumn(sqlite3_stmt *stmt, int at) {
  const void *data = sqlite3_column_blob(stmt, at);
  return data == nullptr ? std::string_view()
                         : std::string_view(static_cast<const char *>(data),
                                            static_cast<size_t>(sqlite3_column_bytes(stmt, at)));
}

// Sizes are kept as SQLite integers: "not told" (UINT64_MAX) as -1.
sqlite3_int64 WatchListSize(uint64_t size) {
  return size == UINT64_MAX ? -1 : static_cast<sqlite3_int64>(size);
}

// Runs a statement that returns no row, then makes it ready again.
int WatchListRun(WatchList *list, sqlite3_stmt *stmt, const char *what) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc == SQLITE_DONE ? 0 : WatchListFailed(list, what);
}

}  // namespace

int WatchListOpen(WatchList **list) {
  auto *l = new WatchList;
  *list = l;
  // An empty file name: a private database on disk, deleted on close.
  if (sqlite3_open_v2("", &l->Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(l->Db, kWatchListSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    WatchListFailed(l, "open");
    WatchListClose(l);
    *list = nullptr;
    return -1;
  }
  const struct {
    sqlite3_stmt **Stmt;
    const char *Sql;
  } statements[] = {
      {&l->Clear, "DELETE FROM listed"},
      {&l->Add, "INSERT OR REPLACE INTO listed VALUES(?1, ?2, ?3, ?4, ?5)"},
      {&l->Has, "SELECT told, size, mtime FROM listed WHERE name = ?1"},
      // The least name from the prefix on begins with it when any does.
      {&l->HasPrefix,
       "SELECT substr(name, 1, length(?1)) = ?1 FROM listed WHERE name >= ?1 ORDER BY name"
       " LIMIT 1"},
      {&l->Each,
       "SELECT name, size, mtime, told, uniq FROM listed WHERE instr(name, ?1) > 0"
       " ORDER BY name"},
      {&l->SeenGet, "SELECT size, mtime, since FROM pending WHERE dir = ?1 AND name = ?2"},
      {&l->SeenSet, "INSERT OR REPLACE INTO pending VALUES(?1, ?2, ?3, ?4, ?5)"},
      {&l->Forget, "DELETE FROM pending WHERE dir = ?1 AND name = ?2"},
      {&l->ForgetGone,
       "DELETE FROM pending WHERE dir = ?1 AND name NOT IN (SELECT name FROM listed)"},
  };
  for (const auto &s : statements) {
    if (sqlite3_prepare_v2(l->Db, s.Sql, -1, s.Stmt, nullptr) != SQLITE_OK) {
      WatchListFailed(l, "prepare");
      WatchListClose(l);
      *list = nullptr;
      return -1;
    }
  }
  return 0;
}

void WatchListClose(WatchList *list) {
  if (list == nullptr) return;
  for (sqlite3_stmt *stmt : {list->Clear, list->Add, list->Has, list->HasPrefix, list->Each,
                             list->SeenGet, list->SeenSet, list->Forget, list->ForgetGone}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(list->Db);
  delete list;
}

int WatchListBegin(WatchList *list) {
  if (sqlite3_exec(list->Db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return WatchListFailed(list, "begin");
  }
  return WatchListRun(list, list->Clear, "clear");
}

int WatchListAdd(WatchList *list, const RemoteEntry &entry) {
  WatchListBind(list->Add, 1, entry.Name);
  sqlite3_bind_int64(list->Add, 2, WatchListSize(entry.Stat.Size));
  WatchListBind(list->Add, 3, entry.Stat.Mtime);
  sqlite3_bind_int(list->Add, 4, entry.Told ? 1 : 0);
  WatchListBind(list->Add, 5, entry.Stat.Unique);
  return WatchListRun(list, list->Add, "add");
}

int WatchListEnd(WatchList *list) {
  if (sqlite3_exec(list->Db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return 0;
  WatchListFailed(list, "commit");
  sqlite3_exec(list->Db, "ROLLBACK", nullptr, nullptr, nullptr);
  return -1;
}

int WatchListHas(WatchList *list, std::string_view base, RemoteStat *told) {
  WatchListBind(list->Has, 1, base);
  const int rc = sqlite3_step(list->Has);
  if (rc == SQLITE_ROW && told != nullptr && sqlite3_column_int(list->Has, 0) != 0) {
    const sqlite3_int64 size = sqlite3_column_int64(list->Has, 1);
    told->Size = size < 0 ? UINT64_MAX : static_cast<uint64_t>(size);
    told->Mtime = WatchListColumn(list->Has, 2);
  }
  sqlite3_reset(list->Has);
  if (rc == SQLITE_ROW) return 1;
  return rc == SQLITE_DONE ? 0 : WatchListFailed(list, "look up");
}

int WatchListHasPrefix(WatchList *list, std::string_view prefix) {
  WatchListBind(list->HasPrefix, 1, prefix);
  const int rc = sqlite3_step(list->HasPrefix);
  const bool begins = rc == SQLITE_ROW && sqlite3_column_int(list->HasPrefix, 0) == 1;
  sqlite3_reset(list->HasPrefix);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return begins ? 1 : 0;
  return WatchListFailed(list, "look up");
}

int WatchListEach(WatchList *list, std::string_view part,
                  const std::function<int(const RemoteEntry &entry)> &each) {
  WatchListBind(list->Each, 1, part);
  int rc = 0, step = SQLITE_DONE;
  while (rc == 0 && (step = sqlite3_step(list->Each)) == SQLITE_ROW) {
    RemoteEntry entry;
    entry.Name = WatchListColumn(list->Each, 0);
    const sqlite3_int64 size = sqlite3_column_int64(list->Each, 1);
    entry.Stat.Size = size < 0 ? UINT64_MAX : static_cast<uint64_t>(size);
    entry.Stat.Mtime = WatchListColumn(list->Each, 2);
    entry.Told = sqlite3_column_int(list->Each, 3) != 0;
    entry.Stat.Unique = WatchListColumn(list->Each, 4);
    rc = each(entry);
  }
  sqlite3_reset(list->Each);
  if (rc == 0 && step != SQLITE_DONE) return WatchListFailed(list, "read");
  return rc;
}

long long WatchListSeen(WatchList *list, const std::string &dir, std::string_view base,
                        const RemoteStat &stat, long long nowMs) {
  WatchListBind(list->SeenGet, 1, dir);
  WatchListBind(list->SeenGet, 2, base);
  long long since = -1;
  if (sqlite3_step(list->SeenGet) == SQLITE_ROW &&
      sqlite3_column_int64(list->SeenGet, 0) == WatchListSize(stat.Size) &&
      WatchListColumn(list->SeenGet, 1) == stat.Mtime) {
    since = sqlite3_column_int64(list->SeenGet, 2);
  }
  sqlite3_reset(list->SeenGet);
  if (since >= 0) return nowMs - since;
  WatchListBind(list->SeenSet, 1, dir);
  WatchListBind(list->SeenSet, 2, base);
  sqlite3_bind_int64(list->SeenSet, 3, WatchListSize(stat.Size));
  WatchListBind(list->SeenSet, 4, stat.Mtime);
  sqlite3_bind_int64(list->SeenSet, 5, nowMs);
  WatchListRun(list, list->SeenSet, "note");
  return -1;
}

void WatchListForget(WatchList *list, const std::string &dir, std::string_view base) {
  WatchListBind(list->Forget, 1, dir);
  WatchListBind(list->Forget, 2, base);
  WatchListRun(list, list->Forget, "forget");
}

void WatchListForgetGone(WatchList *list, const std::string &dir) {
  WatchListBind(list->ForgetGone, 1, dir);
  WatchListRun(list, list->ForgetGone, "forget");
}
