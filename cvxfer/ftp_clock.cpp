// ftp_clock.cpp - the monotonic clock and the interrupt flag.
#include "ftp_clock.h"

#include <time.h>

#include <csignal>

namespace {

// Set by the SIGINT handler, read by every wait.
volatile std::sig_atomic_t gInterrupted = 0;

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
