// digest.h - digests of the bytes a transfer moves, taken as they move: the
// SHA-256 of every file got (its message's cv-file-sha256) and of every
// message stored, and the digest a server computes of a stored file, so
// that the store can be verified. OpenSSL computes the hashes, zlib the
// CRC-32. Bytes that never pass through this process (splice, sendfile)
// are read back from their file by a thread of their own, on the other
// core.
#ifndef CVXFER_DIGEST_H
#define CVXFER_DIGEST_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "remote.h"

struct evp_md_ctx_st;

// Running digests of the kinds in a mask of (1u << REMOTE_*).
struct CVDigests {
  unsigned Kinds = 0;
  evp_md_ctx_st *Ctx[REMOTE_DIGESTS] = {};
  uint32_t Crc = 0;
  std::string Hex[REMOTE_DIGESTS];  // each digest once it is ended
  CVDigests() = default;
  CVDigests(const CVDigests &) = delete;
  CVDigests &operator=(const CVDigests &) = delete;
  ~CVDigests();
};

// Starts digests of kinds in d (the ones it had are dropped).
void CVDigestsStart(CVDigests *d, unsigned kinds);

// Adds n bytes to every digest d runs.
void CVDigestsAdd(CVDigests *d, const void *data, size_t n);

// The digest of kind in lower-case hex, ended at the first call ("" when d
// does not run it). No bytes may be added after.
const std::string &CVDigestHex(CVDigests *d, int kind);

// Whether a digest as a server wrote it (any case, a CRC without its
// leading zeros) is mine, a CVDigestHex.
bool CVSameDigest(const std::string &theirs, const std::string &mine);

// A thread that digests a file through a descriptor of its own, reading
// at offsets (pread) behind whoever writes or sends it, so that neither
// waits for the other until the end: the page cache is the buffer between
// them. The reader continues the digests its caller started in Digests.
struct CVHashReader {
  CVDigests Digests;
  int Fd = -1;
  // Bytes of the file that may be read, kReadyEnd set once no more come.
  std::atomic<uint64_t> Ready{0};
  std::atomic<bool> Stop{false};
  int Error = 0;  // errno of a failed read (EIO: the file ended early)
  std::thread Thread;
  CVHashReader() = default;
  CVHashReader(const CVHashReader &) = delete;
  CVHashReader &operator=(const CVHashReader &) = delete;
  ~CVHashReader();  // stops the thread, waits for it, closes Fd
};
inline constexpr uint64_t kReadyEnd = uint64_t{1} << 63;

// Starts r on fd, which r takes, from offset from (the bytes before it are
// in Digests already) up to ready (see Ready). Returns 0, or -1 when no
// thread could start (fd closed, r->Error set).
int CVHashReaderStart(CVHashReader *r, int fd, uint64_t from, uint64_t ready);

// Tells r that the file holds n bytes now; end: and no more will come.
void CVHashReaderFeed(CVHashReader *r, uint64_t n, bool end);

// Waits for r's end (told by CVHashReaderFeed). Returns 0 when every byte
// was digested, else -1 (r->Error tells why).
int CVHashReaderWait(CVHashReader *r);

// Moves the digests of from, and what they took, to to.
void CVDigestsMove(CVDigests *to, CVDigests *from);

#endif
