// store_wal.cpp - the store's write-ahead log, watched. SQLite cannot tell
// a log that was deleted or replaced from one that holds nothing, and
// takes every frame after the first damaged one for garbage: committed
// transactions would vanish without a word. Two things tell what the log
// must hold:
// - its index (the "-shm" file, kept by every connection and left behind
//   by one that ended without closing) lists how many frames the log has
//   and how many of them are already in the database file, with the salts
//   that mark the log's frames; each frame carries those salts and a
//   checksum that chains it to all before it (SQLite's file format);
// - a connection's own log is the file it opened: a log whose name now
//   leads to another file, or to none, was deleted or replaced under it.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "store.h"

namespace corvane::store {

namespace {

constexpr uint32_t kWalMagic = 0x377f0682;  // | 1: checksums of big-endian words
constexpr uint32_t kWalVersion = 3007000;
constexpr size_t kWalHeaderBytes = 32;
constexpr size_t kFrameHeaderBytes = 24;
// The index starts with two copies of its 48-byte header, then the
// checkpoint's state, whose first word counts the frames already written
// into the database; all in the machine's byte order.
constexpr size_t kIndexHeaderBytes = 48;
constexpr size_t kIndexBackfillOffset = 96;

// The big-endian word at p.
uint32_t Big32(const unsigned char *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The little-endian word at p.
uint32_t Little32(const unsigned char *p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// The word of the machine's byte order at p.
uint32_t Native32(const unsigned char *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// What the log's index says the log holds.
struct WalIndex {
  uint32_t Frames = 0;      // frames of committed transactions in the log
  uint32_t Backfilled = 0;  // of them, those already in the database file
  unsigned char Salt[8] = {0};
};

// What the index lists as not yet in the database file.
std::string Unwritten(const WalIndex &index) {
  return std::to_string(index.Frames - index.Backfilled) +
         " frames of committed transactions not yet in the database";
}

// What becomes of the frames of a log that went: a connection that had it
// open still has them, and writes them into the database when it ends.
constexpr char kUnlessHeld[] = ", lost unless a connection that still has the log open ends";

// Reads the index at path: false when there is none, or it cannot be
// trusted at this moment (not set up, or a writer is changing it).
bool ReadWalIndex(const std::string &path, WalIndex *index) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char b[kIndexBackfillOffset + 4];
  ssize_t n = pread(fd, b, sizeof(b), 0);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof(b))) return false;
  const unsigned char *header = b;
  const bool init = header[12] != 0 && Native32(header) == kWalVersion;
  if (!init || std::memcmp(header, b + kIndexHeaderBytes, kIndexHeaderBytes) != 0) return false;
  index->Frames = Native32(header + 16);
  std::memcpy(index->Salt, header + 32, sizeof(index->Salt));
  index->Backfilled = Native32(b + kIndexBackfillOffset);
  return true;
}

// Adds the checksum of the n bytes at p (a multiple of 8) to s, reading
// words in the log's byte order.
void WalChecksum(bool bigEndian, const unsigned char *p, size_t n, uint32_t s[2]) {
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint32_t x0 = bigEndian ? Big32(p + i) : Little32(p + i);
    const uint32_t x1 = bigEndian ? Big32(p + i + 4) : Little32(p + i + 4);
    s[0] += x0 + s[1];
    s[1] += x1 + s[0];
  }
}

// "" when the log open as fd holds the index's frames whole: its header,
// the index's salts, and a valid checksum chain up to the last frame the
// index lists; else what is wrong, for "<log>: ".
std::string WalFramesProblem(int fd, const WalIndex &index) {
  const std::string lost = ": " + Unwritten(index) + kUnlessHeld;
  unsigned char h[kWalHeaderBytes];
  const uint32_t magic = pread(fd, h, sizeof(h), 0) == sizeof(h) ? Big32(h) : 0;
  uint32_t s[2] = {0, 0};
  const bool bigEndian = (magic & 1) != 0;
  if ((magic & ~1u) == kWalMagic) WalChecksum(bigEndian, h, 24, s);
  if ((magic & ~1u) != kWalMagic || Big32(h + 4) != kWalVersion || s[0] != Big32(h + 24) ||
      s[1] != Big32(h + 28)) {
    return "not a write-ahead log: its header is damaged" + lost;
  }
  if (std::memcmp(h + 16, index.Salt, 8) != 0) {
    return "not the log its index describes (another file took its place)" + lost;
  }
  const size_t frameBytes = kFrameHeaderBytes + Big32(h + 8);
  std::vector<unsigned char> frame(frameBytes);
  for (uint32_t i = 1; i <= index.Frames; i++) {
    off_t at = static_cast<off_t>(kWalHeaderBytes + (i - 1) * frameBytes);
    if (pread(fd, frame.data(), frameBytes, at) != static_cast<ssize_t>(frameBytes)) {
      return "ends before frame " + std::to_string(i) + " of the " + std::to_string(index.Frames) +
             " its index lists" + lost;
    }
    WalChecksum(bigEndian, frame.data(), 8, s);
    WalChecksum(bigEndian, frame.data() + kFrameHeaderBytes, frameBytes - kFrameHeaderBytes, s);
    if (std::memcmp(frame.data() + 8, index.Salt, 8) != 0 || s[0] != Big32(frame.data() + 16) ||
        s[1] != Big32(frame.data() + 20)) {
      return "frame " + std::to_string(i) + " of " + std::to_string(index.Frames) +
             " is damaged: the transactions from there on are lost, and a checkpoint would "
             "write the damage into the database";
    }
  }
  return "";
}

}  // namespace

std::string StoreWalProblem(const std::string &dbPath) {
  const std::string walPath = dbPath + "-wal", indexPath = dbPath + "-shm";
  // A writer may change the log while it is read: only a look that began
  // and ended with the same index is believed.
  for (int attempt = 0; attempt < 5; attempt++) {
    WalIndex before, after;
    if (!ReadWalIndex(indexPath, &before) || before.Frames <= before.Backfilled) return "";
    std::string why;
    int fd = open(walPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      why = WalFramesProblem(fd, before);
      close(fd);
    } else if (errno == ENOENT) {
      why = "missing, yet its index lists " + Unwritten(before) + kUnlessHeld;
    }
    if (ReadWalIndex(indexPath, &after) && after.Frames == before.Frames &&
        std::memcmp(after.Salt, before.Salt, sizeof(after.Salt)) == 0) {
      return why.empty() ? "" : walPath + ": " + why;
    }
  }
  return "";
}

CVLONG LocalBackend::WatchLog(const std::string &dbPath) {
  walPath_ = dbPath + "-wal";
  walFd_ = open(walPath_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (walFd_ < 0 || fstat(walFd_, &st) != 0) {
    SetErrnoCause(walPath_);
    return CVRC_OBJECT_DAMAGED;
  }
  // Kept open: the file cannot go and its inode be reused by another.
  walDev_ = st.st_dev;
  walIno_ = st.st_ino;
  return 0;
}

void LocalBackend::CloseDatabase() {
  // A log damaged where it lies would be written into the database by the
  // checkpoint of the last connection to close: it is left for salvage.
  // One deleted or replaced under this connection is not: the checkpoint
  // copies what this connection still has of it.
  if (CheckLog() == 0 && !StoreWalProblem(def_.Dir + "/store.db").empty()) {
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
  stmts_.Clear();
  sqlite3_close(db_);
  db_ = nullptr;
}

CVLONG LocalBackend::CheckLog() {
  if (broken_.empty() && db_ != nullptr && walFd_ >= 0) {
    struct stat st;
    int moved = 0;
    const bool gone = stat(walPath_.c_str(), &st) != 0 && errno == ENOENT;
    if (gone || st.st_dev != walDev_ || st.st_ino != walIno_) {
      broken_ =
          walPath_ + ": " + (gone ? "deleted" : "replaced") + " while this connection had it open";
    } else if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
               moved != 0) {
      broken_ = def_.Dir + "/store.db: deleted or replaced while this connection had it open";
    }
    if (!broken_.empty())
      broken_ += ": this connection reads and writes no more (see cvadmin check)";
  }
  if (broken_.empty()) return 0;
  SetCause(broken_);
  return CVRC_CONNECTION_BROKEN;
}

}  // namespace corvane::store
