// remote.h - the remote side as the bridge and the command handlers see it:
// one table of operations per protocol. FTP (clear or with TLS) implements
// it in ftp_remote; another protocol is added by filling a table of its own
// and pointing FtpSession::Remote at it, without touching the bridge.
//
// Every operation reports on standard output itself, records the class of
// a failure in the session (FtpFail) and returns 0 for success, -1 for
// failure, unless its comment says otherwise.
#ifndef CVXFER_REMOTE_H
#define CVXFER_REMOTE_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp_session.h"

// Where the bytes of a retrieved file go as they arrive. Write takes n
// bytes; Splice, when set, moves what fd (a plain connection) has, at most
// max bytes, telling how many (*moved 0: the connection's end), without
// copying them through this process. Each returns 0, or non-zero to abandon
// the transfer after saying why; Splice returns -1, with errno, when
// reading the connection failed.
struct RemoteSink {
  std::function<int(const char *data, size_t n)> Write;
  std::function<int(int fd, size_t max, size_t *moved)> Splice;
};

// A source's Length when it is known only at its end (a message group):
// Read then yields bytes until *got is 0, and Fd is -1.
inline constexpr uint64_t kRemoteLengthUnknown = UINT64_MAX;

// Where the bytes of a stored file come from: Length bytes, from Fd (a
// descriptor of them, read at offsets with sendfile or pread) or, when Fd
// is -1, in order from Read (at most n bytes into buffer, *got their count;
// non-zero to abandon the transfer after saying why). Offset > 0 resumes a
// store: the remote file holds the first Offset bytes already and only the
// rest is sent (FTP: REST Offset; a server that refuses it gets all from
// byte 0). Read yields from byte 0 all the same: a resumed store reads and
// drops the first Offset bytes (RemoteSkip), so that every byte of the
// file passes through Read, sent or not.
struct RemoteSource {
  uint64_t Length = 0;
  uint64_t Offset = 0;
  int Fd = -1;
  std::function<int(char *buffer, size_t n, size_t *got)> Read;
};

// Reads and drops the first offset bytes of source from its Read (nothing
// when it has a descriptor: that is read at offsets). Returns 0, or
// non-zero when Read failed (said) or ended early.
inline int RemoteSkip(const RemoteSource &source, uint64_t offset) {
  if (source.Fd >= 0) return 0;
  std::vector<char> buffer(65536);
  for (uint64_t left = offset; left > 0;) {
    size_t got = 0;
    const size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
    if (source.Read(buffer.data(), want, &got) != 0 || got == 0) return 1;
    left -= got;
  }
  return 0;
}

// Retrieve's results besides 1 (the file arrived whole) and 0 (the
// transfer failed, said and recorded).
inline constexpr int kRemoteTooLarge = -1;    // longer than maxLength: abandoned at once
inline constexpr int kRemoteSinkFailed = -2;  // the sink refused the bytes

// What the server tells of a name without being shown: its size
// (UINT64_MAX when not told), its modification time as the server gives
// it, and the fact by which it tells one file from another that took the
// name (MLSD's unique; both empty when not told).
struct RemoteStat {
  uint64_t Size = UINT64_MAX;
  std::string Mtime;
  std::string Unique;
};

// One name of a directory as its listing gave it. Told says the listing
// itself gave both size and time (MLSD facts, SFTP attributes), in the
// form Stat gives them; otherwise Stat is empty and must be asked.
struct RemoteEntry {
  std::string_view Name;
  RemoteStat Stat;
  bool Told = false;
};

// Takes one listed name as it arrives; non-zero abandons the listing.
using RemoteEach = std::function<int(const RemoteEntry &entry)>;

// The digests a server may compute of a file it holds, which digest.h
// computes here too; kRemoteDigestNames names them as FTP's HASH does.
enum { REMOTE_SHA256 = 0, REMOTE_SHA512, REMOTE_SHA1, REMOTE_MD5, REMOTE_CRC32, REMOTE_DIGESTS };
inline constexpr const char *kRemoteDigestNames[REMOTE_DIGESTS] = {"SHA-256", "SHA-512", "SHA-1",
                                                                   "MD5", "CRC32"};

struct RemoteOps {
  // The scheme that names the protocol in URLs and message properties.
  const char *Scheme;
  // The names in directory dir (null: the current one), complete or none:
  // -1 when the listing could not be trusted whole.
  int (*List)(FtpSession *session, const char *dir, std::vector<std::string> *names);
  // Prints the listing of path (null: the current directory), short or long.
  int (*Show)(FtpSession *session, const char *path, bool longForm);
  // Size and time of name, asked quietly; 0 even when neither is told.
  int (*Stat)(FtpSession *session, const char *name, RemoteStat *stat);
  // The size of name into *size, asked as a command is (echoed in debug
  // mode, its answer shown in verbose mode).
  int (*Size)(FtpSession *session, const char *name, uint64_t *size);
  // Retrieves name into sink; see kRemoteTooLarge. maxLength bounds the
  // file (UINT64_MAX: no bound but the sink's); expected is the size it must have (UINT64_MAX: not known).
  int (*Retrieve)(FtpSession *session, const char *name, const RemoteSink &sink, uint64_t maxLength,
                  uint64_t expected);
  // Stores source as name (from source.Offset on where the server can
  // resume, else whole); 1 when the server holds it whole, else 0.
  int (*Store)(FtpSession *session, const char *name, const RemoteSource &source);
  int (*Rename)(FtpSession *session, const char *from, const char *to);
  int (*Delete)(FtpSession *session, const char *name);
  int (*Mkdir)(FtpSession *session, const char *name);
  int (*Rmdir)(FtpSession *session, const char *name);
  int (*Cd)(FtpSession *session, const char *dir);
  int (*Pwd)(FtpSession *session);
  // The current directory, asked once after each open or cd ("" when the
  // server does not say).
  const char *(*CurrentDir)(FtpSession *session);
  // The server as message properties name it: "host:port" ("[v6]:port");
  // a protocol other than FTP puts its scheme first ("sftp://host:port").
  std::string (*Server)(FtpSession *session);
  // Prints the connection's own lines of status (peer, protection).
  void (*Status)(FtpSession *session);
  // Ends the connection politely (QUIT), whatever the server answers.
  void (*Close)(FtpSession *session);
  // Asks for transfer type *type (an index of kFtpTypes) and leaves in
  // *type the one transfers will use: FTP keeps the type asked for, even
  // when the server refused it.
  int (*Type)(FtpSession *session, int *type);
  // The digest (REMOTE_*) the server computes of a file it holds, asked
  // quietly once per connection; *how names the command that asks for it
  // ("XSHA256", "HASH SHA-256"). -1 when the server offers none.
  int (*HashOffer)(FtpSession *session, std::string *how);
  // The server's digest of name, of the kind HashOffer told, into *hex as
  // the server wrote it. Returns 0, or -1 when none came (nothing recorded).
  int (*Hash)(FtpSession *session, const char *name, std::string *hex);
  // Each name of directory dir (null: the current one) handed to each as
  // its listing arrives, nothing held: directories are left out where the
  // listing tells them apart. -1 when the listing did not arrive whole
  // (what each was given is then not the whole directory).
  int (*Scan)(FtpSession *session, const char *dir, const RemoteEach &each);
};

#endif
