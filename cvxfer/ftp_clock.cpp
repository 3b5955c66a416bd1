// ftp_clock.cpp - the monotonic clock and the signal flags.
#include "ftp_clock.h"

#include <poll.h>
#include <time.h>

#include <csignal>

namespace {

// Set by the SIGINT and SIGTERM handlers, read by every wait.
volatile std::sig_atomic_t gInterrupted = 0;
volatile std::sig_atomic_t gTerminated = 0;

}  // namespace

long long FtpNowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void FtpInterruptRaise() {
  gInterrupted = 1;
}

bool FtpInterruptPending() {
  return gInterrupted != 0;
}

void FtpInterruptClear() {
  gInterrupted = 0;
}

void FtpTerminateRaise() {
  gTerminated = 1;
}

bool FtpTerminatePending() {
  return gTerminated != 0;
}

bool FtpPause(long long ms) {
  const long long deadline = FtpNowMs() + ms;
  for (long long left = ms; left > 0; left = deadline - FtpNowMs()) {
    if (gInterrupted || gTerminated) return false;
    // Short naps: a signal that lands between the check and the wait is
    // seen within one of them.
    poll(nullptr, 0, static_cast<int>(left < 200 ? left : 200));
  }
  return !gInterrupted && !gTerminated;
}
