// digest.cpp - digests of transfers (see digest.h).
#include "digest.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <openssl/evp.h>

namespace {

// Bytes the reader takes at a time, and the size asked for its pipes: the
// largest an unprivileged process gets by default.
constexpr size_t kReadPiece = 1 << 20;
constexpr int kPipeSize = 1 << 20;

// The OpenSSL digest of kind; null for the CRC, which zlib computes.
const EVP_MD *CVDigestMd(int kind) {
  switch (kind) {
    case REMOTE_SHA256: return EVP_sha256();
    case REMOTE_SHA512: return EVP_sha512();
    case REMOTE_SHA1: return EVP_sha1();
    case REMOTE_MD5: return EVP_md5();
    default: return nullptr;
  }
}

// The reader's thread: digests r->Fd until its end (a pipe) or r->Length.
void CVHashLoop(CVHashReader *r) {
  std::vector<char> piece(kReadPiece);
  for (uint64_t done = 0; !r->Stop.load(std::memory_order_relaxed) && done < r->Length;) {
    const bool file = r->Length != UINT64_MAX;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(r->Length - done, piece.size()));
    const ssize_t n = file ? pread(r->Fd, piece.data(), want, static_cast<off_t>(done))
                           : read(r->Fd, piece.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && file)) {
      r->Error = n < 0 ? errno : EIO;
      return;
    }
    if (n == 0) return;
    CVDigestsAdd(&r->Digests, piece.data(), static_cast<size_t>(n));
    done += static_cast<uint64_t>(n);
  }
}

void CVClose(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

CVDigests::~CVDigests() {
  for (evp_md_ctx_st *ctx : Ctx) EVP_MD_CTX_free(ctx);
}

void CVDigestsStart(CVDigests *d, unsigned kinds) {
  d->Kinds = kinds;
  d->Crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  for (int kind = 0; kind < REMOTE_DIGESTS; kind++) {
    EVP_MD_CTX_free(d->Ctx[kind]);
    d->Ctx[kind] = nullptr;
    d->Hex[kind].clear();
    const EVP_MD *md = CVDigestMd(kind);
    if ((kinds & (1u << kind)) == 0 || md == nullptr) continue;
    d->Ctx[kind] = EVP_MD_CTX_new();
    EVP_DigestInit_ex(d->Ctx[kind], md, nullptr);
  }
}

void CVDigestsAdd(CVDigests *d, const void *data, size_t n) {
  for (evp_md_ctx_st *ctx : d->Ctx) {
    if (ctx != nullptr) EVP_DigestUpdate(ctx, data, n);
  }
  if (d->Kinds & (1u << REMOTE_CRC32)) {
    // zlib takes at most 4 GiB at once.
    for (const auto *p = static_cast<const Bytef *>(data); n > 0;) {
      const uInt take = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
      d->Crc = static_cast<uint32_t>(crc32(d->Crc, p, take));
      p += take;
      n -= take;
    }
  }
}

const std::string &CVDigestHex(CVDigests *d, int kind) {
  std::string &hex = d->Hex[kind];
  if (!hex.empty() || (d->Kinds & (1u << kind)) == 0) return hex;
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (kind == REMOTE_CRC32) {
    for (int shift = 24; shift >= 0; shift -= 8) value[length++] = (d->Crc >> shift) & 0xFF;
  } else {
    EVP_DigestFinal_ex(d->Ctx[kind], value, &length);
  }
  for (unsigned i = 0; i < length; i++) {
    char two[3];
    std::snprintf(two, sizeof(two), "%02x", value[i]);
    hex += two;
  }
  return hex;
}

bool CVSameDigest(const std::string &theirs, const std::string &mine) {
  const auto bare = [](const std::string &hex) {
    std::string out;
    for (char c : hex) {
      if (!out.empty() || c != '0') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
  };
  return !mine.empty() && bare(theirs) == bare(mine);
}

CVHashReader::~CVHashReader() {
  Stop = true;
  if (Thread.joinable()) Thread.join();
  CVClose(&Fd);
}

int CVHashReaderStart(CVHashReader *r, int fd, uint64_t length, unsigned kinds) {
  CVDigestsStart(&r->Digests, kinds);
  r->Fd = fd;
  r->Length = length;
  // Every signal blocked in the thread: SIGINT and SIGTERM still interrupt
  // the waits of the main thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = 0;
  try {
    r->Thread = std::thread(CVHashLoop, r);
  } catch (const std::system_error &) {
    rc = -1;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    r->Error = EAGAIN;
    CVClose(&r->Fd);
  }
  return rc;
}

int CVHashReaderWait(CVHashReader *r) {
  if (r->Thread.joinable()) r->Thread.join();
  CVClose(&r->Fd);
  if (r->Stop && r->Error == 0) r->Error = ECANCELED;
  return r->Error == 0 ? 0 : -1;
}

CVTeeHash::~CVTeeHash() {
  CVClose(&Copy);  // the reader sees the end of its pipe
  for (int &fd : Pipe) CVClose(&fd);
}

int CVTeeMove(CVTeeHash *t, unsigned kinds, int from, size_t max, size_t *moved,
              const std::function<int(int fd, size_t n, size_t *took)> &give) {
  *moved = 0;
  if (t->Pipe[0] < 0) {
    int copy[2];
    if (pipe2(t->Pipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(copy, O_CLOEXEC) != 0) return -1;
    t->Copy = copy[1];
    for (int fd : {t->Pipe[1], copy[1]}) fcntl(fd, F_SETPIPE_SZ, kPipeSize);  // smaller: more calls
    if (CVHashReaderStart(&t->Reader, copy[0], UINT64_MAX, kinds) != 0) return -1;
  }
  ssize_t in;
  do {
    in = splice(from, nullptr, t->Pipe[1], nullptr, std::min<size_t>(max, kPipeSize), SPLICE_F_MOVE);
  } while (in < 0 && errno == EINTR);
  if (in < 0) return -1;
  *moved = static_cast<size_t>(in);
  // tee copies from the head of the pipe and does not take: each piece it
  // copied is handed on whole before the next is copied.
  for (size_t left = static_cast<size_t>(in); left > 0;) {
    const ssize_t copied = tee(t->Pipe[0], t->Copy, left, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) return -1;
    for (size_t given = 0; given < static_cast<size_t>(copied);) {
      size_t took = 0;
      if (const int rc = give(t->Pipe[0], static_cast<size_t>(copied) - given, &took); rc != 0) {
        return rc;
      }
      if (took == 0) {
        errno = EIO;  // the pipe holds what give was told to take
        return -1;
      }
      given += took;
    }
    left -= static_cast<size_t>(copied);
  }
  return 0;
}

int CVTeeEnd(CVTeeHash *t) {
  if (t->Copy < 0) return t->Pipe[0] < 0 ? 0 : -1;
  CVClose(&t->Copy);
  return CVHashReaderWait(&t->Reader);
}
