// ftp_retry.cpp - the failures that may pass and the back-off between tries
// (see ftp_retry.h).
#include "ftp_retry.h"

#include <unistd.h>

#include <algorithm>
#include <random>

namespace {

// The longest wait between two tries.
constexpr long long kBackoffMaxMs = 300000;

}  // namespace

long long FtpBackoffMs(int attempt) {
  static std::minstd_rand jitter(static_cast<unsigned>(getpid()));
  long long delay = 1000;
  for (int i = 0; i < attempt && delay < kBackoffMaxMs; i++) delay *= 2;
  delay = std::min(delay, kBackoffMaxMs);
  return delay / 2 + static_cast<long long>(jitter() % (delay / 2 + 1));
}

bool FtpFailureTransient(const FtpSession *session) {
  if (!session->Ctl.Connected || session->Run.Failure == FTP_EXIT_TIMEOUT) return true;
  const int code = session->Ctl.ReplyCode;
  return session->Ctl.Replies != session->Run.RepliesAtStart && code >= 400 && code < 500;
}
