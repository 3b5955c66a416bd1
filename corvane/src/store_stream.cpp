// store_stream.cpp - put and get streams of the store: a body written or
// read in pieces.
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store.h"

namespace corvane::store {

namespace {

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
  // Removes a part file that no message came of.
  ~LocalPutStream() override {
    if (!spool_.InMemory() && !recorded_) unlink(Part().c_str());
  }
  CVLONG Write(const void *data, size_t n) override { return spool_.Write(data, n); }
  CVLONG WriteFrom(int fd, size_t max, size_t *moved) override {
    return spool_.WriteFrom(fd, max, moved);
  }
  CVLONG Complete(CVMD *md, const std::string &props) override;
  CVLONG ReadFd(int *fd) override { return spool_.Dup(fd); }
  CVLONG Sync() override { return spool_.Sync(); }

 private:
  // The part file the body spills to.
  std::string Part() const { return store_->BodyPath(file_) + kPart; }

  LocalBackend *store_;
  QueueDef queue_;
  bool syncpoint_;
  std::string file_;
  Spool spool_;
  bool recorded_ = false;
};

CVLONG LocalPutStream::Complete(CVMD *md, const std::string &props) {
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

// A get stream on a held message: its body file, or the bytes of its row.
class LocalGetStream : public GetStream {
 public:
  LocalGetStream(LocalBackend *store, sqlite3_int64 id, int fd, std::string inlineBody,
                 CVLONG length)
      : store_(store), id_(id), fd_(fd), inline_(std::move(inlineBody)), length_(length) {}
  ~LocalGetStream() override {
    if (fd_ >= 0) close(fd_);
  }
  CVLONG Read(void *buffer, size_t n, size_t *got) override;
  CVLONG Fd(int *fd) override;

 private:
  LocalBackend *store_;
  sqlite3_int64 id_;
  int fd_;
  std::string inline_;
  int64_t length_;
  int64_t offset_ = 0;
  CVLONG failed_ = 0;
};

CVLONG LocalGetStream::Read(void *buffer, size_t n, size_t *got) {
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

CVLONG LocalGetStream::Fd(int *fd) {
  int from = fd_;
  if (from < 0) {
    // A body kept in its row: a file in memory, sealed against change.
    from = memfd_create("cvbody", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (from >= 0 && (!WriteAll(from, inline_.data(), inline_.size()) ||
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

}  // namespace

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

}  // namespace corvane::store
