// store_lock.cpp - the lock files of a store's connections: each
// connection holds an flock on "conn/<token>.lock" for its life, so that a
// lock that can be taken proves its holder has ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "store.h"

namespace corvane::store {

bool StoreProcessGone(const std::string &token) {
  long pid = std::strtol(token.c_str(), nullptr, 10);
  return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool StoreHolderGone(const std::string &connDir, const std::string &token, int *fd) {
  *fd = -1;
  int f = open((connDir + "/" + token + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) return errno == ENOENT && StoreProcessGone(token);
  if (flock(f, LOCK_EX | LOCK_NB) != 0) {
    close(f);
    return false;
  }
  *fd = f;
  return true;
}

std::string StoreNewToken() {
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

CVLONG LocalBackend::TakeLock() {
  token_ = StoreNewToken();
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

void LocalBackend::DropLock() {
  if (lockFd_ < 0) return;
  unlink(lockPath_.c_str());
  close(lockFd_);
  lockFd_ = -1;
}

void LocalBackend::SweepStaleTmp(const std::string &name) {
  // A lock file whose creator died before it was in place. A young one may
  // be between its creation and its lock: leave it alone.
  std::string path = connDir_ + "/" + name;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_mtime + kStaleTmpSeconds < time(nullptr) &&
      flock(fd, LOCK_EX | LOCK_NB) == 0) {
    unlink(path.c_str());
  }
  if (fd >= 0) close(fd);
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

bool LocalBackend::Alive(const std::string &token) {
  if (token == token_) return true;
  int fd = -1;
  if (!StoreHolderGone(connDir_, token, &fd)) return true;
  // Its owner has ended: back out what it held (while we hold its lock).
  sqlite3_int64 held = 0, pending = 0;
  TakingOff([&] { return EndUnitOfWork(token, false, &held, &pending); });
  if (fd >= 0) {
    unlink((connDir_ + "/" + token + ".lock").c_str());
    close(fd);
  }
  return false;
}

}  // namespace corvane::store
