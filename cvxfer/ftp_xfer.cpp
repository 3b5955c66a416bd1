// ftp_xfer.cpp - retrievals and stores. Bytes go straight between socket
// and store where they can (splice, sendfile) and through memory where they
// must be encrypted or decrypted; memory stays flat either way.
#include "ftp_xfer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ftp_ctrl.h"
#include "ftp_data.h"
#include "ftp_io.h"
#include "ftp_progress.h"
#include "ftp_tls.h"

namespace {

// Bytes asked of one receive of a retrieval through memory (TLS), and
// handed to one FtpSendAll of a store: large enough to keep system calls
// rare, small enough to keep memory flat and the progress line moving.
constexpr uint32_t kRetrieveChunk = 262144;
constexpr uint32_t kStorePiece = 262144;

// Bytes asked of one splice of a retrieval and one sendfile of a store.
constexpr size_t kSpliceChunk = 1 << 20;
constexpr uint64_t kSendfileChunk = 4 << 20;

// Largest message the queue side can take (its lengths are 32-bit signed).

const char kDataWhat[] = "data from the server";

bool FtpRefusesRetrieval(int reply) {
  return reply != 150 && reply != 125;
}

// Tells the user that a transfer did not complete.
void FtpReportIncomplete(FtpSession *session, const char *name) {
  std::printf("cvxfer: [%s] transfer incomplete.\n", FtpPrintable(name).c_str());
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);  // the final reply, when negative, is the cause
  FtpFailWhy(session, FTP_EXIT_INCOMPLETE, "transfer incomplete");
}

// Ends a transfer whose data connection did not end cleanly: the data side
// is closed without ceremony (no close_notify, which would tell the server
// that a cut upload is whole, and no draining of a download nobody wants),
// then an interrupt gets the ABOR exchange and a time-out loses the
// connection.
void FtpXferAbandon(FtpSession *session) {
  FtpDataAbort(session);
  if (FtpInterruptPending() && !session->Run.Interrupted) {
    // A signal that cut a splice or a read short, before any wait saw it.
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  }
  if (session->Run.Interrupted) {
    FtpAbort(session);
  } else if (session->Run.Failure == FTP_EXIT_TIMEOUT) {
    FtpCtlDrop(session);
  }
}

// The state of one retrieval.
struct FtpRetrieval {
  const FtpSink *Sink;
  uint64_t MaxLength;
  bool Splice;
  size_t Chunk;
  std::vector<char> Buffer;
  long long Total = 0;
  bool Clean = false;     // the data connection ended as it should
  bool TooLarge = false;  // longer than MaxLength
  bool Refused = false;   // the sink refused the bytes
};

// Moves the next piece of a retrieval into its sink. Returns 1 to go on,
// 0 when the retrieval ended (see r's flags).
int FtpRetrieveStep(FtpSession *session, FtpRetrieval *r) {
  if (FtpWaitIn(session, session->Data.Socket, session->Data.Tls, kDataWhat) != FTP_IO_READY) {
    return 0;
  }
  // One byte beyond the limit proves the file too long.
  // (Written so that a MaxLength of UINT64_MAX, no bound, cannot overflow.)
  const size_t ask = static_cast<size_t>(
      std::min<uint64_t>(r->Chunk - 1, r->MaxLength - static_cast<uint64_t>(r->Total)) + 1);
  ssize_t n;
  bool unexpectedEof = false;
  if (r->Splice) {
    size_t moved = 0;
    const int rc = r->Sink->Splice(session->Data.Socket, ask, &moved);
    n = static_cast<ssize_t>(moved);
    if (rc < 0) {
      std::perror("recv");
      return 0;
    }
    // A sink that refuses the byte beyond the limit refuses a file too long.
    if (rc != 0 && static_cast<uint64_t>(r->Total + n) <= r->MaxLength) {
      r->Refused = true;
      return 0;
    }
  } else {
    n = FtpRecv(session, session->Data.Socket, session->Data.Tls, r->Buffer.data(), ask,
                &unexpectedEof, kDataWhat);
    if (n < 0 && errno == EINTR) return 1;
    if (n < 0) {
      std::perror("recv");
      return 0;
    }
  }
  if (n == 0) {
    // A TLS connection cut without close_notify may have lost its end.
    r->Clean = !unexpectedEof;
    if (unexpectedEof) std::printf("cvxfer: the data connection ended without TLS close_notify\n");
    return 0;
  }
  r->Total += n;
  if (static_cast<uint64_t>(r->Total) > r->MaxLength) {
    r->TooLarge = true;  // stop at once: the rest could only be thrown away
    return 0;
  }
  if (!r->Splice && r->Sink->Write(r->Buffer.data(), static_cast<size_t>(n)) != 0) {
    r->Refused = true;
    return 0;
  }
  return 1;
}

// Whether a whole retrieval of total bytes meets the sizes announced (in
// binary mode only: in ascii the server may count otherwise). Says why not.
bool FtpSizeMet(FtpSession *session, const char *name, long long total, uint64_t announced,
                uint64_t expected) {
  if (session->Opt.TransferType != 2) return true;
  for (const uint64_t size : {announced, expected}) {
    if (size != UINT64_MAX && size != static_cast<uint64_t>(total)) {
      std::printf("cvxfer: [%s] the server announced %llu bytes but sent %lld\n",
                  FtpPrintable(name).c_str(), static_cast<unsigned long long>(size), total);
      std::fflush(stdout);
      return false;
    }
  }
  return true;
}

// Sends a piece of source read into memory (TLS, or no descriptor).
// Returns the bytes sent, or -1.
ssize_t FtpSendPiece(FtpSession *session, const FtpSource &source, uint64_t sent,
                     std::vector<char> *piece) {
  piece->resize(kStorePiece);
  const uint64_t left = source.Length - sent;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kStorePiece));
  size_t got = 0;
  if (source.Fd >= 0) {
    ssize_t n;
    do {
      n = pread(source.Fd, piece->data(), want, static_cast<off_t>(sent));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      std::printf("cvxfer: the message ended %llu bytes early\n",
                  static_cast<unsigned long long>(left));
      return -1;
    }
    got = static_cast<size_t>(n);
  } else if (source.Read(piece->data(), want, &got) != 0) {
    return -1;
  } else if (got == 0) {
    // Only a source of unknown length may end before its Length.
    return source.Length == kRemoteLengthUnknown ? 0 : -1;
  }
  if (FtpSendAll(session, session->Data.Socket, session->Data.Tls, piece->data(), got,
                 "the server to take the data") != FTP_IO_READY) {
    return -1;
  }
  return static_cast<ssize_t>(got);
}

// Sends with sendfile from source's descriptor, at most one chunk. Returns
// the bytes sent (0: try again), or -1.
ssize_t FtpSendFileChunk(FtpSession *session, const FtpSource &source, uint64_t sent) {
  const int fd = session->Data.Socket;
  if (FtpWait(session, fd, POLLOUT, "the server to take the data") != FTP_IO_READY) return -1;
  off_t offset = static_cast<off_t>(sent);
  const ssize_t n = sendfile(fd, source.Fd, &offset,
                             static_cast<size_t>(std::min(source.Length - sent, kSendfileChunk)));
  // An interrupt is FtpWait's to tell, at the next call.
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  if (n <= 0) {
    std::printf("error send on socket %d\n", fd);
    std::fflush(stdout);
    return -1;
  }
  // Sent bytes are not read again: their pages go now, while the server is
  // busy with them, rather than all at once when the body is removed.
  posix_fadvise(source.Fd, static_cast<off_t>(sent), n, POSIX_FADV_DONTNEED);
  return n;
}

// Sends source's bytes from source.Offset on the data connection: by
// sendfile from its descriptor when nothing needs encrypting, else piece by
// piece; *total gets the position reached. Returns 0, or -1 when the
// connection or the source failed.
int FtpSendSource(FtpSession *session, const FtpSource &source, FtpProgress *progress,
                  uint64_t *total) {
  const int fd = session->Data.Socket;
  const bool direct = source.Fd >= 0 && session->Data.Tls == nullptr;
  // sendfile on a blocking socket waits until all it was given is queued,
  // however long a stalled server takes: the socket does not block while it
  // is used, so that each wait is FtpWait's, bounded.
  const int flags = fcntl(fd, F_GETFL);
  if (direct) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  struct Restore {
    int Fd, Flags;
    ~Restore() { fcntl(Fd, F_SETFL, Flags); }
  } restore{fd, flags};
  std::vector<char> piece;
  if (RemoteSkip(source, source.Offset) != 0) return -1;
  *total = source.Offset;
  for (uint64_t &sent = *total; sent < source.Length;) {
    const ssize_t n = direct ? FtpSendFileChunk(session, source, sent)
                             : FtpSendPiece(session, source, sent, &piece);
    if (n < 0) return -1;
    if (n == 0 && !direct) break;  // the end of a source of unknown length
    sent += static_cast<uint64_t>(n);
    FtpProgressUpdate(progress, sent);
  }
  return 0;
}

// Asks the server to begin the next store at byte offset (REST). Returns
// 0 when it will, else -1 after saying that the file is sent whole.
int FtpRestartAt(FtpSession *session, const char *name, uint64_t offset) {
  const std::string at = std::to_string(offset);
  if (FtpCommand(session, "REST", at.c_str()) == 350) return 0;
  if (session->Ctl.Connected) {
    std::printf("cvxfer: [%s] the server cannot resume a store; sending it whole\n",
                FtpPrintable(name).c_str());
    std::fflush(stdout);
  }
  return -1;
}

}  // namespace

int FtpGetFileTo(FtpSession *session, const char *name, const FtpSink &sink, uint64_t maxLength,
                 uint64_t expected) {
  char text[kFtpCommandMax];
  if (FtpCheckFileName(name) != 0 || FtpFormatCmd(text, "RETR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  if (!FtpDataStart(session, text, FtpRefusesRetrieval, stderr)) return 0;

  FtpRetrieval r;
  r.Sink = &sink;
  r.MaxLength = maxLength;
  uint64_t announced = UINT64_MAX;
  const bool known = FtpParseSizeReply(session->Ctl.ReplyText, &announced) == 0;
  // Bytes go straight from the socket to the sink where they can; through
  // memory when they must be decrypted first.
  r.Splice = sink.Splice != nullptr && session->Data.Tls == nullptr;
  r.Chunk = session->Opt.HashMarks ? 1024 : r.Splice ? kSpliceChunk : kRetrieveChunk;
  r.Buffer.resize(r.Splice ? 0 : r.Chunk);
  FtpProgress progress;
  FtpProgressStart(&progress, session, known ? announced : 0, known);
  // A file announced too long is abandoned before its first byte; in ascii
  // the server may send another count than it announces.
  r.TooLarge = known && announced > r.MaxLength && session->Opt.TransferType == 2;
  while (!r.TooLarge && FtpRetrieveStep(session, &r)) {
    FtpProgressUpdate(&progress, static_cast<uint64_t>(r.Total));
    if (session->Opt.HashMarks) {
      std::printf("#");
      std::fflush(stdout);
    }
  }
  FtpProgressEnd(&progress);
  if (r.Clean) {
    FtpDataClose(session);
  } else {
    FtpXferAbandon(session);
  }
  if (session->Opt.HashMarks) std::printf("\n");
  const int reply = FtpGetReply(session);
  // A name from a listing may hold what a terminal would obey.
  const std::string shown = FtpPrintable(name);
  std::printf("cvxfer: [%s] %lld bytes received.\n", shown.c_str(), r.Total);
  std::fflush(stdout);
  if (r.TooLarge) {
    std::printf(
        "cvxfer: [%s] too large for one message (more than %llu bytes); transfer abandoned.\n",
        shown.c_str(), static_cast<unsigned long long>(r.MaxLength));
    std::fflush(stdout);
    return kFtpTooLarge;
  }
  if (r.Refused) return kFtpSinkFailed;
  if (!r.Clean || !FtpPositive(reply) || !FtpSizeMet(session, name, r.Total, announced, expected)) {
    FtpReportIncomplete(session, name);
    return 0;
  }
  return 1;
}

int FtpPutFileFrom(FtpSession *session, const char *name, const FtpSource &given) {
  char text[kFtpCommandMax];
  if (FtpCheckFileName(name) != 0 || FtpFormatCmd(text, "STOR", name) < 0) return 0;
  if (FtpDataSetup(session) < 0) return 0;
  // REST goes right before the STOR it moves: no command between them.
  FtpSource source = given;
  if (source.Offset > 0 && FtpRestartAt(session, name, source.Offset) != 0) source.Offset = 0;
  if (!FtpDataStart(session, text, FtpNegativeOrNone, nullptr)) return 0;

  FtpProgress progress;
  const bool sized = source.Length != kRemoteLengthUnknown;
  FtpProgressStart(&progress, session, sized ? source.Length : 0, sized);
  uint64_t sent = 0;
  const bool allSent = FtpSendSource(session, source, &progress, &sent) == 0;
  FtpProgressEnd(&progress);
  if (allSent) {
    std::printf("%s : %ld bytes sent.\n", FtpPrintable(name).c_str(),
                static_cast<long>(sent - source.Offset));
    std::fflush(stdout);
    FtpDataClose(session);
  } else {
    FtpXferAbandon(session);
  }
  const int reply = FtpGetReply(session);
  if (!allSent || !FtpPositive(reply)) {
    FtpReportIncomplete(session, name);
    return 0;
  }
  return 1;
}

int FtpParseSizeReply(const char *reply, uint64_t *size) {
  static const char kBytes[] = " bytes)";
  const char *open = std::strrchr(reply, '(');
  if (open == nullptr) return -1;
  const size_t digits = std::strspn(open + 1, "0123456789");
  if (digits == 0 || digits > 19 ||
      std::strncmp(open + 1 + digits, kBytes, sizeof(kBytes) - 1) != 0) {
    return -1;
  }
  // The size ends the text; "(N bytes)" earlier on is part of a file name.
  const char *after = open + 1 + digits + sizeof(kBytes) - 1;
  if (after[std::strspn(after, ". \r\n")] != '\0') return -1;
  *size = std::strtoull(open + 1, nullptr, 10);
  return 0;
}
