// digest.cpp - digests of transfers (see digest.h).
#include "digest.h"

#include <pthread.h>
#include <sched.h>
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

// Bytes the reader takes at a time.
constexpr size_t kReadPiece = 1 << 20;

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

// The reader's thread: digests r->Fd from offset at as r->Ready allows. It
// runs only on a core nothing else wants until its result is awaited
// (CVHashReaderWait): the transfer it follows is not slowed down, and the
// waits for the disk and the network leave it time enough.
void CVHashLoop(CVHashReader *r, uint64_t at) {
  sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
  std::vector<char> piece(kReadPiece);
  while (!r->Stop.load(std::memory_order_relaxed)) {
    const uint64_t ready = r->Ready.load(std::memory_order_acquire);
    const uint64_t length = ready & ~kReadyEnd;
    if (at >= length) {
      if (ready & kReadyEnd) return;
      r->Ready.wait(ready, std::memory_order_acquire);
      continue;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - at, piece.size()));
    const ssize_t n = pread(r->Fd, piece.data(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r->Error = n < 0 ? errno : EIO;
      return;
    }
    CVDigestsAdd(&r->Digests, piece.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
}

// Closes *fd, if open, and marks it closed.
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

void CVDigestsMove(CVDigests *to, CVDigests *from) {
  CVDigestsStart(to, 0);
  std::swap(to->Kinds, from->Kinds);
  std::swap(to->Ctx, from->Ctx);
  std::swap(to->Crc, from->Crc);
}

CVHashReader::~CVHashReader() {
  Stop = true;
  CVHashReaderFeed(this, 0, true);
  if (Thread.joinable()) Thread.join();
  CVClose(&Fd);
}

int CVHashReaderStart(CVHashReader *r, int fd, uint64_t from, uint64_t ready) {
  r->Fd = fd;
  r->Ready = ready;
  // Every signal blocked in the thread: SIGINT and SIGTERM still interrupt
  // the waits of the main thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = 0;
  try {
    r->Thread = std::thread(CVHashLoop, r, from);
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

void CVHashReaderFeed(CVHashReader *r, uint64_t n, bool end) {
  const uint64_t ready = r->Ready.load(std::memory_order_relaxed);
  r->Ready.store(std::max(n, ready & ~kReadyEnd) | (end || (ready & kReadyEnd) ? kReadyEnd : 0),
                 std::memory_order_release);
  r->Ready.notify_all();
}

int CVHashReaderWait(CVHashReader *r) {
  if (r->Thread.joinable()) {
    sched_param param{};
    pthread_setschedparam(r->Thread.native_handle(), SCHED_OTHER, &param);
    r->Thread.join();
  }
  CVClose(&r->Fd);
  return r->Error == 0 ? 0 : -1;
}
