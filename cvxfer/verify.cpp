// verify.cpp - the check of every store (see verify.h).
#include "verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ftp_io.h"
#include "ftp_set.h"

namespace {

// Asks the server something whose refusal is no failure of the command:
// the account stays as it was.
template <typename Ask>
int CVAskAside(FtpSession *session, Ask ask) {
  const int failure = session->Run.Failure;
  char cause[sizeof(session->Run.Cause)];
  std::memcpy(cause, session->Run.Cause, sizeof(cause));
  const int rc = ask();
  session->Run.Failure = failure;
  std::memcpy(session->Run.Cause, cause, sizeof(cause));
  return rc;
}

// Says that v's file failed its check (what: what differs, a printf
// format of the two values) and records it, the same words its cause.
// Returns false.
bool CVVerifyFailed(FtpSession *session, const CVVerify &v, const char *what, const std::string &a,
                    const std::string &b) {
  const int length = std::snprintf(nullptr, 0, what, a.c_str(), b.c_str());
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), what, a.c_str(), b.c_str());
  text.pop_back();
  std::printf("cvxfer: [%s] %s; deleted\n", FtpPrintable(v.Name).c_str(), text.c_str());
  std::fflush(stdout);
  FtpFailWhy(session, FTP_EXIT_INCOMPLETE, "%s", text.c_str());
  return false;
}

// The digests taken of what v's store sent.
CVDigests *CVMine(CVVerify *v) {
  return v->Reader.Digests.Kinds != 0 ? &v->Reader.Digests : &v->Inline;
}

// Says one line about v's file.
void CVVerifySay(const CVVerify &v, const char *text, const char *how = "") {
  std::printf("cvxfer: [%s] %s%s\n", FtpPrintable(v.Name).c_str(), text, how);
  std::fflush(stdout);
}

// The size check: the server holds as many bytes as were sent. A server
// that does not tell is believed (said); a connection lost is no check.
bool CVSizeRight(FtpSession *session, const char *stored, CVVerify *v) {
  uint64_t size = UINT64_MAX;
  const int rc = CVAskAside(session, [&] { return session->Remote->Size(session, stored, &size); });
  if (!session->Ctl.Connected) return false;
  if (rc != 0 || size == UINT64_MAX) {
    CVVerifySay(*v, "the server does not tell its size; not verified");
    return true;
  }
  if (size == v->Length) return true;
  return CVVerifyFailed(session, *v, "the server holds %s bytes of the %s sent",
                        std::to_string(size), std::to_string(v->Length));
}

// The digest check: the server's digest of stored against the one taken
// of the bytes sent; without one from the server, the size check.
bool CVDigestRight(FtpSession *session, const char *stored, CVVerify *v) {
  if (v->Kind < 0) {
    CVVerifySay(*v, "the server computes no hash; verified by its size");
    return CVSizeRight(session, stored, v);
  }
  std::string theirs;
  if (CVAskAside(session, [&] { return session->Remote->Hash(session, stored, &theirs); }) != 0) {
    if (!session->Ctl.Connected) return false;
    CVVerifySay(*v, "the server gave no hash; verified by its size, not by ", v->How.c_str());
    return CVSizeRight(session, stored, v);
  }
  const std::string &mine = CVDigestHex(CVMine(v), v->Kind);
  if (CVSameDigest(theirs, mine)) {
    CVVerifySay(*v, "verified by ", v->How.c_str());
    return true;
  }
  const std::string what = std::string(kRemoteDigestNames[v->Kind]) +
                           " on the server %s differs from the %s sent";
  return CVVerifyFailed(session, *v, what.c_str(), FtpPrintable(theirs), mine);
}

}  // namespace

void CVVerifyBegin(FtpSession *session, const char *name, const char *expected,
                   RemoteSource *source, CVVerify *v, bool shaLater) {
  v->Name = name;
  v->Expected = expected != nullptr ? expected : "";
  v->Length = source->Length;
  v->Mode = FtpVerifyMode(session->Opt);
  const bool binary = session->Opt.TransferType == FTP_TYPE_BINARY;
  if (v->Mode == FTP_VERIFY_HASH && binary) v->Kind = session->Remote->HashOffer(session, &v->How);
  unsigned kinds = v->Expected.empty() && !shaLater ? 0 : 1u << REMOTE_SHA256;
  if (v->Kind >= 0) kinds |= 1u << v->Kind;
  if (kinds == 0) return;
  if (source->Fd < 0) {
    // The pieces read are digested as they are sent.
    CVDigestsStart(&v->Inline, kinds);
    source->Read = [read = source->Read, v](char *buffer, size_t n, size_t *got) {
      const int rc = read(buffer, n, got);
      if (rc == 0) CVDigestsAdd(&v->Inline, buffer, *got);
      return rc;
    };
    return;
  }
  // The body is read again beside the transfer, from the page cache.
  const int fd = fcntl(source->Fd, F_DUPFD_CLOEXEC, 0);
  CVDigestsStart(&v->Reader.Digests, kinds);
  if (fd >= 0) {
    CVHashReaderStart(&v->Reader, fd, 0, source->Length | kReadyEnd);
  } else {
    v->Reader.Error = errno;
  }
}

bool CVVerifyStored(FtpSession *session, const char *stored, CVVerify *v) {
  if (v->Reader.Digests.Kinds != 0 && CVHashReaderWait(&v->Reader) != 0) {
    return CVVerifyFailed(session, *v, "the message's body could not be read again (%s)%s",
                          std::strerror(v->Reader.Error), "");
  }
  if (!v->Expected.empty()) {
    const std::string &sha = CVDigestHex(CVMine(v), REMOTE_SHA256);
    if (!CVSameDigest(v->Expected, sha)) {
      return CVVerifyFailed(session, *v,
                            "the message's body has SHA-256 %s, not the %s of its cv-file-sha256",
                            sha, FtpPrintable(v->Expected));
    }
  }
  if (v->Mode == FTP_VERIFY_OFF) return true;
  if (session->Opt.TransferType != FTP_TYPE_BINARY) {
    // The server may store other line ends than it was sent.
    CVVerifySay(*v, "not verified: only binary stores keep their size and hash");
    return true;
  }
  return v->Mode == FTP_VERIFY_HASH ? CVDigestRight(session, stored, v)
                                    : CVSizeRight(session, stored, v);
}

bool CVHoldsFile(FtpSession *session, const char *name, uint64_t length, const char *sha) {
  if (sha == nullptr || sha[0] == '\0' || session->Opt.TransferType != FTP_TYPE_BINARY) {
    return false;
  }
  uint64_t size = UINT64_MAX;
  std::string how, theirs;
  return CVAskAside(session, [&] { return session->Remote->Size(session, name, &size); }) == 0 &&
         size == length && session->Remote->HashOffer(session, &how) == REMOTE_SHA256 &&
         CVAskAside(session, [&] { return session->Remote->Hash(session, name, &theirs); }) == 0 &&
         CVSameDigest(theirs, sha);
}
