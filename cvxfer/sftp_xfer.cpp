// sftp_xfer.cpp - pipelined SFTP reads and writes. Responses are matched
// to their requests by identifier; reads are delivered in file order
// whatever order they are answered in.
#include "sftp_xfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "ftp_io.h"
#include "ftp_progress.h"
#include "sftp_conn.h"
#include "sftp_wire.h"

namespace {

// Bytes one request moves, and requests in flight: 64 KiB is what every
// server takes; 32 of them keep loopback and long links busy with 2 MiB
// in flight.
constexpr uint32_t kSftpChunk = 65536;
constexpr size_t kSftpDepth = 32;

// Largest message the queue side can take (its lengths are 32-bit signed).

// Prints a '#' for every 2048 bytes moved, when hash marks are on.
void SftpHashMarks(const FtpSession *session, uint64_t *marked, uint64_t total) {
  if (!session->Opt.HashMarks) return;
  for (; *marked + 2048 <= total; *marked += 2048) std::putchar('#');
  std::fflush(stdout);
}

void SftpIncomplete(FtpSession *session, const char *name) {
  std::printf("cvxfer: [%s] transfer incomplete.\n", FtpPrintable(name).c_str());
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);
}

// Opens path with flags (echoed as OPEN in debug mode) into *handle, and
// tells its size where the server does (UINT64_MAX otherwise) for a read.
// Returns 0, or -1 after saying why not.
int SftpOpenFile(FtpSession *session, const char *name, uint32_t flags, std::string *handle,
                 uint64_t *size) {
  const std::string path = SftpPath(session, name);
  std::string body, payload;
  SftpPutString(&body, path);
  SftpPutU32(&body, flags);
  SftpPutU32(&body, 0);  // no attributes: the server's defaults
  const std::string echo = "OPEN " + path;
  uint8_t type = 0;
  if (SftpCall(session, SFTP_OPEN, body, echo.c_str(), &type, &payload) != 0) return -1;
  SftpReader r{payload};
  *handle = SftpGetString(&r);
  if (type != SFTP_HANDLE || r.Bad) return SftpRefused(session, name, type, payload);
  *size = UINT64_MAX;
  if ((flags & SFTP_OPEN_READ) == 0) return 0;
  std::string h;
  SftpPutString(&h, *handle);
  if (SftpCall(session, SFTP_FSTAT, h, nullptr, &type, &payload) != 0) return -1;
  SftpReader a{payload};
  const SftpAttrs attrs = SftpGetAttrs(&a);
  if (type == SFTP_ATTRS && !a.Bad && (attrs.Flags & SFTP_ATTR_SIZE)) *size = attrs.Size;
  return 0;
}

// One READ in flight: the bytes asked for and, once answered, what came.
struct SftpPendingRead {
  uint32_t Id;
  uint64_t Offset;
  uint32_t Length;
  int State = 0;  // 0 unanswered, 1 data, 2 end of file
  std::string Data;
};

// The state of one retrieval.
struct SftpGet {
  const char *Name;
  std::string Handle;
  const RemoteSink *Sink;
  uint64_t MaxLength;
  uint64_t Next = 0;   // offset of the next READ
  uint64_t Total = 0;  // bytes delivered to the sink
  uint64_t Marked = 0;
  bool Eof = false, TooLarge = false, Refused = false;
  std::deque<SftpPendingRead> Window;
};

// Sends READs until the window is full; one byte beyond maxLength is asked
// for, to prove a file too long.
void SftpAskReads(FtpSession *session, SftpGet *g) {
  while (!g->Eof && g->Window.size() < kSftpDepth && g->Next <= g->MaxLength) {
    std::string body;
    SftpPutString(&body, g->Handle);
    SftpPutU64(&body, g->Next);
    SftpPutU32(&body, kSftpChunk);
    g->Window.push_back({SftpSend(session, SFTP_READ, body), g->Next, kSftpChunk, 0, {}});
    g->Next += kSftpChunk;
  }
}

// Takes one response into the window (one for no request of ours is
// dropped). Returns 0, or -1 when the connection or the read failed (said).
int SftpTakeRead(FtpSession *session, SftpGet *g) {
  uint8_t type = 0;
  uint32_t id = 0;
  std::string payload;
  if (SftpNextResponse(session, &type, &id, &payload) != 0) return -1;
  const auto p = std::find_if(g->Window.begin(), g->Window.end(),
                              [id](const SftpPendingRead &r) { return r.Id == id; });
  if (p == g->Window.end()) return 0;
  std::string message;
  if (type == SFTP_STATUS && SftpStatusOf(payload, &message) == SFTP_EOF) {
    p->State = 2;
    return 0;
  }
  SftpReader r{payload};
  const std::string_view data = SftpGetString(&r);
  if (type != SFTP_DATA || r.Bad || data.size() > p->Length) {
    return SftpRefused(session, g->Name, type, payload, FTP_EXIT_INCOMPLETE);
  }
  p->Data = data;
  p->State = 1;
  return 0;
}

// Hands the answered reads at the head of the window to the sink, in file
// order. A short read has its rest asked for at once, ahead of the others.
// Returns 0, or -1 when the file is too long or the sink refused it.
int SftpDeliver(FtpSession *session, SftpGet *g) {
  while (!g->Eof && !g->Window.empty() && g->Window.front().State != 0) {
    SftpPendingRead &p = g->Window.front();
    if (p.State == 2 || p.Data.empty()) {
      g->Eof = true;
      break;
    }
    if (g->Total + p.Data.size() > g->MaxLength) {
      g->TooLarge = true;
      return -1;
    }
    if (g->Sink->Write(p.Data.data(), p.Data.size()) != 0) {
      g->Refused = true;
      return -1;
    }
    g->Total += p.Data.size();
    if (p.Data.size() < p.Length) {
      std::string body;
      SftpPutString(&body, g->Handle);
      const uint64_t offset = p.Offset + p.Data.size();
      const uint32_t left = p.Length - static_cast<uint32_t>(p.Data.size());
      SftpPutU64(&body, offset);
      SftpPutU32(&body, left);
      p = SftpPendingRead{SftpSend(session, SFTP_READ, body), offset, left, 0, {}};
    } else {
      g->Window.pop_front();
    }
  }
  return 0;
}

// Says why a whole-looking retrieval of total bytes is not the file the
// server announced (size at open) or the caller expected.
bool SftpSizeMet(const char *name, uint64_t total, uint64_t announced, uint64_t expected) {
  for (const uint64_t size : {announced, expected}) {
    if (size != UINT64_MAX && size != total) {
      std::printf("cvxfer: [%s] the server announced %llu bytes but sent %llu\n",
                  FtpPrintable(name).c_str(), static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(total));
      std::fflush(stdout);
      return false;
    }
  }
  return true;
}

// The state of one store.
struct SftpPut {
  const char *Name;
  std::string Handle;
  const RemoteSource *Source;
  uint64_t Queued = 0;  // bytes sent in WRITEs
  uint64_t Acked = 0;   // bytes the server confirmed
  std::vector<std::pair<uint32_t, uint32_t>> InFlight;  // identifier, length
  std::vector<char> Piece;
  bool Ended = false;  // a source of unknown length gave its last byte
};

// Reads the next piece of the source at p->Queued into p->Piece. Returns
// its length, or 0 after saying why there is none (or, for a source of
// unknown length, at its end, with p->Ended set).
size_t SftpReadSource(SftpPut *p) {
  const RemoteSource &source = *p->Source;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(source.Length - p->Queued, kSftpChunk));
  p->Piece.resize(kSftpChunk);
  size_t got = 0;
  if (source.Fd >= 0) {
    ssize_t n;
    do {
      n = pread(source.Fd, p->Piece.data(), want, static_cast<off_t>(p->Queued));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      std::printf("cvxfer: the message ended %llu bytes early\n",
                  static_cast<unsigned long long>(source.Length - p->Queued));
      return 0;
    }
    got = static_cast<size_t>(n);
    // Read pages are not read again: they go now rather than all at once.
    posix_fadvise(source.Fd, static_cast<off_t>(p->Queued), n, POSIX_FADV_DONTNEED);
  } else if (source.Read(p->Piece.data(), want, &got) != 0) {
    return 0;
  }
  p->Ended = got == 0 && source.Length == kRemoteLengthUnknown;
  return got;
}

// Sends WRITEs while the window has room, then takes one response.
// Returns 0, or -1 when the source, the connection or a write failed.
int SftpWriteStep(FtpSession *session, SftpPut *p) {
  while (p->InFlight.size() < kSftpDepth && p->Queued < p->Source->Length && !p->Ended) {
    const size_t n = SftpReadSource(p);
    if (n == 0 && p->Ended) break;
    if (n == 0) return -1;
    const uint32_t id =
        SftpSendWrite(session, p->Handle, p->Queued, std::string_view(p->Piece.data(), n));
    p->InFlight.emplace_back(id, static_cast<uint32_t>(n));
    p->Queued += n;
  }
  if (p->InFlight.empty()) return 0;  // all written and confirmed
  uint8_t type = 0;
  uint32_t id = 0;
  std::string payload, message;
  if (SftpNextResponse(session, &type, &id, &payload) != 0) return -1;
  const auto w = std::find_if(p->InFlight.begin(), p->InFlight.end(),
                              [id](const auto &f) { return f.first == id; });
  if (w == p->InFlight.end()) return 0;
  if (type != SFTP_STATUS || SftpStatusOf(payload, &message) != SFTP_OK) {
    return SftpRefused(session, p->Name, type, payload, FTP_EXIT_INCOMPLETE);
  }
  p->Acked += w->second;
  p->InFlight.erase(w);
  return 0;
}

}  // namespace

int SftpGetFileTo(FtpSession *session, const char *name, const RemoteSink &sink,
                  uint64_t maxLength, uint64_t expected) {
  SftpGet g;
  g.Name = name;
  g.Sink = &sink;
  g.MaxLength = maxLength;
  uint64_t announced = UINT64_MAX;
  if (SftpOpenFile(session, name, SFTP_OPEN_READ, &g.Handle, &announced) != 0) return 0;
  FtpProgress progress;
  FtpProgressStart(&progress, session, announced != UINT64_MAX ? announced : 0,
                   announced != UINT64_MAX);
  // A file announced too long is abandoned before its first byte.
  g.TooLarge = announced != UINT64_MAX && announced > g.MaxLength;
  bool failed = g.TooLarge;
  while (!failed && !g.Eof) {
    SftpAskReads(session, &g);
    failed = SftpTakeRead(session, &g) != 0 || SftpDeliver(session, &g) != 0;
    FtpProgressUpdate(&progress, g.Total);
    SftpHashMarks(session, &g.Marked, g.Total);
  }
  FtpProgressEnd(&progress);
  if (session->Opt.HashMarks) std::printf("\n");
  if (session->Sftp != nullptr) SftpCloseHandle(session, g.Handle);
  std::printf("cvxfer: [%s] %llu bytes received.\n", FtpPrintable(name).c_str(),
              static_cast<unsigned long long>(g.Total));
  std::fflush(stdout);
  if (g.TooLarge) {
    std::printf(
        "cvxfer: [%s] too large for one message (more than %llu bytes); transfer abandoned.\n",
        FtpPrintable(name).c_str(), static_cast<unsigned long long>(g.MaxLength));
    std::fflush(stdout);
    return kRemoteTooLarge;
  }
  if (g.Refused) return kRemoteSinkFailed;
  if (failed || session->Run.Interrupted || !SftpSizeMet(name, g.Total, announced, expected)) {
    SftpIncomplete(session, name);
    return 0;
  }
  return 1;
}

int SftpPutFileFrom(FtpSession *session, const char *name, const RemoteSource &source) {
  SftpPut p;
  p.Name = name;
  p.Source = &source;
  // A resumed store keeps what the file holds and writes from Offset on.
  p.Queued = p.Acked = source.Offset;
  uint64_t unused = 0;
  const uint32_t flags =
      SFTP_OPEN_WRITE | SFTP_OPEN_CREATE | (source.Offset > 0 ? 0 : SFTP_OPEN_TRUNCATE);
  if (SftpOpenFile(session, name, flags, &p.Handle, &unused) != 0) return 0;
  FtpProgress progress;
  const bool sized = source.Length != kRemoteLengthUnknown;
  FtpProgressStart(&progress, session, sized ? source.Length : 0, sized);
  uint64_t marked = 0;
  bool failed = RemoteSkip(source, source.Offset) != 0;
  while (!failed && p.Acked < source.Length && !(p.Ended && p.InFlight.empty())) {
    failed = SftpWriteStep(session, &p) != 0;
    FtpProgressUpdate(&progress, p.Acked);
    SftpHashMarks(session, &marked, p.Acked);
  }
  FtpProgressEnd(&progress);
  if (session->Opt.HashMarks) std::printf("\n");
  // The close is the server's word that the file is written.
  const bool closed = session->Sftp != nullptr && SftpCloseHandle(session, p.Handle) == 0;
  if (!failed && closed && !session->Run.Interrupted) {
    std::printf("%s : %llu bytes sent.\n", name,
                static_cast<unsigned long long>(p.Acked - source.Offset));
    std::fflush(stdout);
    return 1;
  }
  SftpIncomplete(session, name);
  return 0;
}
