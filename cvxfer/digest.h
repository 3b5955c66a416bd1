// digest.h - digests of the bytes a transfer moves, taken as they move: the
// SHA-256 of every file got (its message's cv-file-sha256) and of every
// message stored, and the digest a server computes of a stored file, so
// that the store can be verified. OpenSSL computes the hashes, zlib the
// CRC-32. Bytes that never pass through this process (splice, sendfile)
// are digested by a thread of their own, on the other core.
#ifndef CVXFER_DIGEST_H
#define CVXFER_DIGEST_H

#include <atomic>
#include <cstdint>
#include <functional>
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

// A thread that digests what a descriptor of its own gives: a pipe until
// its writer closes it, or the first Length bytes of a file read at their
// offsets, so that the transfer's own reads are untouched.
struct CVHashReader {
  CVDigests Digests;
  int Fd = -1;
  uint64_t Length = UINT64_MAX;  // UINT64_MAX: a pipe
  int Error = 0;                 // errno of a failed read (EIO: the file ended early)
  std::atomic<bool> Stop{false};
  std::thread Thread;
  CVHashReader() = default;
  CVHashReader(const CVHashReader &) = delete;
  CVHashReader &operator=(const CVHashReader &) = delete;
  ~CVHashReader();  // stops the thread, waits for it, closes Fd
};

// Starts r on fd, which r takes (length: see CVHashReader), digesting
// kinds. Returns 0, or -1 when no thread could start (fd closed).
int CVHashReaderStart(CVHashReader *r, int fd, uint64_t length, unsigned kinds);

// Waits for r's end. Returns 0 when every byte was digested, else -1
// (r->Error tells why).
int CVHashReaderWait(CVHashReader *r);

// Bytes spliced from a socket to their destination through a pipe of this
// process, each piece first teed (tee(2): shared, not copied) to the pipe
// of a CVHashReader: the destination's bytes are never copied through this
// process, the digest's once, on the reader's thread.
struct CVTeeHash {
  int Pipe[2] = {-1, -1};  // the destination takes its bytes from Pipe[0]
  int Copy = -1;           // where the reader's copy is written
  CVHashReader Reader;
  CVTeeHash() = default;
  CVTeeHash(const CVTeeHash &) = delete;
  CVTeeHash &operator=(const CVTeeHash &) = delete;
  ~CVTeeHash();
};

// Moves what from has, at most max bytes (*moved: their count, 0 at its
// end), to give, which takes at most n bytes from the descriptor it is
// handed into *took and returns non-zero to refuse. The reader starts at
// the first call, digesting kinds. Returns 0, give's refusal, or -1 with
// errno when from or a pipe failed.
int CVTeeMove(CVTeeHash *t, unsigned kinds, int from, size_t max, size_t *moved,
              const std::function<int(int fd, size_t n, size_t *took)> &give);

// Ends the copy and waits for the reader. Returns 0 when its digests are
// of every byte moved (or nothing was), else -1.
int CVTeeEnd(CVTeeHash *t);

#endif
