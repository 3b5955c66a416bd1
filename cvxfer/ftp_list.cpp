// ftp_list.cpp - listings. Every pause of the listing's data is bounded by
// -t like any other wait: a listing that stalls fails, it never ends early
// as if it were whole.
#include "ftp_list.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "ftp_ctrl.h"
#include "ftp_data.h"
#include "ftp_io.h"

namespace {

bool FtpRefusesListing(int reply) {
  return FtpNegativeOrNone(reply);
}

// The longest listing line taken: a longer one names nothing usable and
// is passed over whole, so that no server makes a line grow without end.
constexpr size_t kFtpListLineMax = 8192;

// The longest unique fact kept: a longer one is not told apart.
constexpr size_t kFtpUniqueMax = 200;

// Cuts the listing's bytes into lines for lines (a CR before the LF
// dropped, empty lines skipped). Returns non-zero when lines abandoned.
struct FtpLineCutter {
  const FtpLines *Lines = nullptr;
  std::string Partial;
  bool Overlong = false;

  int Take(const char *data, size_t n) {
    for (size_t at = 0; at < n;) {
      const char *nl = static_cast<const char *>(std::memchr(data + at, '\n', n - at));
      const size_t end = nl != nullptr ? static_cast<size_t>(nl - data) : n;
      if (!Overlong) Partial.append(data + at, end - at);
      if (Partial.size() > kFtpListLineMax) {
        Overlong = true;
        Partial.clear();
      }
      at = end + 1;
      if (nl == nullptr) break;
      if (int rc = Line(); rc != 0) return rc;
    }
    return 0;
  }

  // The line gathered so far, handed on; a last line without LF counts.
  int Line() {
    if (!Partial.empty() && Partial.back() == '\r') Partial.pop_back();
    const int rc = !Overlong && !Partial.empty() ? (*Lines)(Partial) : 0;
    Partial.clear();
    Overlong = false;
    return rc;
  }
};

// Reads the listing's data into lines, or prints it when lines is null;
// *total counts the bytes. Returns true when the data connection ended
// normally (a TLS one with close_notify) and lines took every line.
bool FtpListingData(FtpSession *session, const FtpLines *lines, long long *total) {
  char chunk[16384];
  FtpLineCutter cutter;
  cutter.Lines = lines;
  for (;;) {
    if (FtpWaitIn(session, session->Data.Socket, session->Data.Tls, "the listing") !=
        FTP_IO_READY) {
      return false;
    }
    bool unexpectedEof = false;
    const ssize_t n = FtpRecv(session, session->Data.Socket, session->Data.Tls, chunk,
                              sizeof(chunk), &unexpectedEof, "the listing");
    if (n < 0 && errno == EINTR) continue;  // the next wait sees an interrupt
    if (n < 0) {
      std::perror("recv");
      return false;
    }
    if (n == 0) return !unexpectedEof && (lines == nullptr || cutter.Line() == 0);
    if (lines == nullptr) {
      FtpWriteServerText(chunk, static_cast<size_t>(n));
    } else if (cutter.Take(chunk, static_cast<size_t>(n)) != 0) {
      return false;
    }
    *total += n;
  }
}

// Runs a listing: verb with path, printed as received, or handed to lines
// a line at a time (then nothing of it is printed). Returns 0 when the
// whole listing arrived and its final reply was positive, else -1 with the
// failure recorded.
int FtpListing(FtpSession *session, const char *verb, const char *path, bool acceptToStderr,
               const FtpLines *lines) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, path) < 0) return -1;
  if (FtpDataSetup(session) < 0) return -1;
  if (!FtpDataStart(session, text, FtpRefusesListing, acceptToStderr ? stderr : stdout)) return -1;
  long long total = 0;
  const bool whole = FtpListingData(session, lines, &total);
  std::fflush(stdout);
  if (session->Run.Interrupted) {
    FtpDataAbort(session);
    FtpAbort(session);
    return -1;
  }
  if (whole) {
    FtpDataClose(session);
  } else {
    FtpDataAbort(session);
    // After a time-out the server's answer could not be told from the next.
    if (session->Run.Failure == FTP_EXIT_TIMEOUT) FtpCtlDrop(session);
  }
  const int reply = FtpGetReply(session);
  if (lines == nullptr) {
    std::printf("cvxfer: %lld bytes received.\n", total);
    std::fflush(stdout);
  }
  if (whole && FtpPositive(reply)) return 0;
  if (!whole) std::printf("cvxfer: the listing did not arrive whole.\n");
  std::fflush(stdout);
  FtpFail(session, reply > 0 && whole ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
  return -1;
}

}  // namespace

int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names) {
  const FtpLines take = [names](std::string_view line) {
    names->emplace_back(line);
    return 0;
  };
  if (FtpListing(session, "NLST", path, true, &take) == 0) return 0;
  names->clear();
  return -1;
}

int FtpScanList(FtpSession *session, const char *path, bool mlsd, const FtpLines &lines) {
  return FtpListing(session, mlsd ? "MLSD" : "NLST", path, true, &lines);
}

int FtpFactsOf(std::string_view line, RemoteEntry *entry) {
  // "fact=value;fact=value; name": the facts end at the first space.
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || space + 1 >= line.size()) return -1;
  entry->Name = line.substr(space + 1);
  entry->Stat = RemoteStat{};
  bool file = true, sized = false;
  for (std::string_view facts = line.substr(0, space); !facts.empty();) {
    const size_t semi = std::min(facts.find(';'), facts.size());
    const std::string_view fact = facts.substr(0, semi);
    facts.remove_prefix(std::min(semi + 1, facts.size()));
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string name(fact.substr(0, eq));
    const std::string_view value = fact.substr(eq + 1);
    if (strcasecmp(name.c_str(), "type") == 0) {
      file = value.size() == 4 && strncasecmp(value.data(), "file", 4) == 0;
    } else if (strcasecmp(name.c_str(), "size") == 0) {
      uint64_t size = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), size);
      sized = ec == std::errc() && end == value.data() + value.size() && !value.empty();
      if (sized) entry->Stat.Size = size;
    } else if (strcasecmp(name.c_str(), "modify") == 0) {
      entry->Stat.Mtime = value;
    } else if (strcasecmp(name.c_str(), "unique") == 0 && value.size() <= kFtpUniqueMax) {
      entry->Stat.Unique = value;
    }
  }
  entry->Told = sized && !entry->Stat.Mtime.empty();
  if (!entry->Told) entry->Stat = RemoteStat{};
  return file ? 0 : 1;
}

int FtpNLST(FtpSession *session, const char *path) {
  return FtpListing(session, "NLST", path, true, nullptr);
}

int FtpLIST(FtpSession *session, const char *path) {
  return FtpListing(session, "LIST", path, false, nullptr);
}
