// ftp_list.cpp - listings. Every pause of the listing's data is bounded by
// -t like any other wait: a listing that stalls fails, it never ends early
// as if it were whole.
#include "ftp_list.h"

#include <cerrno>
#include <cstdio>

#include "ftp_ctrl.h"
#include "ftp_data.h"
#include "ftp_io.h"

namespace {

bool FtpRefusesListing(int reply) {
  return FtpNegativeOrNone(reply);
}

// Reads the listing's data into *into, or prints it when into is null;
// *total counts the bytes. Returns true when the data connection ended
// normally (a TLS one with close_notify).
bool FtpListingData(FtpSession *session, std::string *into, long long *total) {
  char chunk[4096];
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
    if (n == 0) return !unexpectedEof;
    if (into != nullptr) {
      into->append(chunk, static_cast<size_t>(n));
    } else {
      FtpWriteServerText(chunk, static_cast<size_t>(n));
    }
    *total += n;
  }
}

// Runs a listing: verb with path, printed as received, or kept in *into
// (then nothing of it is printed). Returns 0 when the whole listing arrived
// and its final reply was positive, else -1 with the failure recorded.
int FtpListing(FtpSession *session, const char *verb, const char *path, bool acceptToStderr,
               std::string *into) {
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb, path) < 0) return -1;
  if (FtpDataSetup(session) < 0) return -1;
  if (!FtpDataStart(session, text, FtpRefusesListing, acceptToStderr ? stderr : stdout)) return -1;
  long long total = 0;
  const bool whole = FtpListingData(session, into, &total);
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
  if (into == nullptr) {
    std::printf("cvxfer: %lld bytes received.\n", total);
    std::fflush(stdout);
  }
  if (whole && FtpPositive(reply)) return 0;
  if (!whole) std::printf("cvxfer: the listing did not arrive whole.\n");
  std::fflush(stdout);
  FtpFail(session, reply > 0 && whole ? FTP_EXIT_REFUSED : FTP_EXIT_INCOMPLETE);
  if (into != nullptr) into->clear();
  return -1;
}

}  // namespace

int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names) {
  std::string text;
  if (FtpListing(session, "NLST", path, true, &text) != 0) return -1;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names->push_back(name);
    start = end + 1;
  }
  return 0;
}

int FtpNLST(FtpSession *session, const char *path) {
  return FtpListing(session, "NLST", path, true, nullptr);
}

int FtpLIST(FtpSession *session, const char *path) {
  return FtpListing(session, "LIST", path, false, nullptr);
}
