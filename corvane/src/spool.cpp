// spool.cpp - a message body written as it arrives (Spool in backend.h).
//
// Data from a descriptor move by splice(2) through a pipe into the file, so
// that a socket's bytes reach the page cache without passing through user
// memory. With writeBehind, the write to disk of each finished piece is
// started at once and the piece before it waited for: the final fdatasync
// then has little left to do, and the disk works while the network does.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "backend.h"

namespace corvane {

namespace {

constexpr int64_t kWriteBehindPiece = 8 << 20;
constexpr int kPipeSize = 1 << 20;
constexpr size_t kCopyPiece = 256 << 10;  // where splice cannot serve

}  // namespace

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

Spool::~Spool() {
  for (int fd : {fd_, pipe_[0], pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
}

CVLONG Spool::Failed(int err) {
  SetErrnoCause("message body", err);
  return err == ENOSPC || err == EDQUOT ? CVRC_Q_SPACE_NOT_AVAILABLE : CVRC_RESOURCE_PROBLEM;
}

CVLONG Spool::Spill() {
  fd_ = create_();
  if (fd_ < 0) return Failed(errno);
  if (!WriteAll(fd_, head_.data(), head_.size())) return Failed(errno);
  std::string().swap(head_);
  return 0;
}

void Spool::WriteBehind() {
  if (!writeBehind_ || fd_ < 0) return;
  while (length_ - started_ >= kWriteBehindPiece) {
    sync_file_range(fd_, started_, kWriteBehindPiece, SYNC_FILE_RANGE_WRITE);
    if (started_ >= kWriteBehindPiece) {
      sync_file_range(
          fd_, started_ - kWriteBehindPiece, kWriteBehindPiece,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    started_ += kWriteBehindPiece;
  }
}

CVLONG Spool::Write(const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  if (fd_ < 0 && head_.size() + n <= keepMax_) {
    head_.append(p, n);
  } else {
    if (fd_ < 0) {
      if (CVLONG rc = Spill(); rc != 0) return rc;
    }
    if (!WriteAll(fd_, p, n)) return Failed(errno);
  }
  length_ += static_cast<int64_t>(n);
  WriteBehind();
  return 0;
}

CVLONG Spool::WriteFrom(int from, size_t max, size_t *moved) {
  *moved = 0;
  if (fd_ < 0 || noSplice_) {
    // Into memory while the body is small, or where splice cannot go.
    size_t room = fd_ < 0 ? keepMax_ + 1 - head_.size() : kCopyPiece;
    std::string piece(std::min(max, std::max<size_t>(room, 1)), '\0');
    ssize_t r;
    do {
      r = read(from, piece.data(), piece.size());
    } while (r < 0 && errno == EINTR);
    if (r < 0) return kSourceFailed;
    *moved = static_cast<size_t>(r);
    return Write(piece.data(), *moved);
  }
  if (pipe_[0] < 0) {
    if (pipe2(pipe_, O_CLOEXEC) != 0) return Failed(errno);
    fcntl(pipe_[1], F_SETPIPE_SZ, kPipeSize);  // a smaller pipe only costs calls
  }
  ssize_t in;
  do {
    in = splice(from, nullptr, pipe_[1], nullptr, std::min<size_t>(max, kPipeSize), SPLICE_F_MOVE);
  } while (in < 0 && errno == EINTR);
  if (in < 0 && (errno == EINVAL || errno == ENOSYS)) {
    noSplice_ = true;  // this kind of descriptor cannot be spliced
    return WriteFrom(from, max, moved);
  }
  if (in < 0) return kSourceFailed;
  for (ssize_t left = in; left > 0;) {
    ssize_t out = splice(pipe_[0], nullptr, fd_, nullptr, static_cast<size_t>(left), SPLICE_F_MOVE);
    if (out < 0 && errno == EINTR) continue;
    if (out <= 0) return Failed(out == 0 ? EIO : errno);
    left -= out;
  }
  *moved = static_cast<size_t>(in);
  length_ += in;
  WriteBehind();
  return 0;
}

CVLONG Spool::Dup(int *fd) const {
  if (fd_ < 0) return CVRC_FUNCTION_NOT_SUPPORTED;
  *fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (*fd < 0) {
    SetErrnoCause("message body", errno);
    return CVRC_RESOURCE_PROBLEM;
  }
  return 0;
}

CVLONG Spool::Sync() {
  if (fd_ >= 0 && fdatasync(fd_) != 0) return Failed(errno);
  return 0;
}

}  // namespace corvane
