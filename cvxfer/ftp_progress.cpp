// ftp_progress.cpp - the progress line of a transfer on a terminal.
#include "ftp_progress.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ftp_event.h"

namespace {

// A transfer shorter than this shows nothing; redraws are at least
// kRedrawGap apart, so that a fast transfer does not spend its time on the
// terminal.
constexpr double kFirstDraw = 1.0;
constexpr double kRedrawGap = 0.2;

double FtpProgressNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Bytes in binary units with one decimal ("512 B", "12.3 MiB").
void FtpProgressBytes(char *text, size_t size, double bytes) {
  static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    std::snprintf(text, size, "%.0f B", bytes);
    return;
  }
  int unit = 0;
  bytes /= 1024;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    unit++;
  }
  std::snprintf(text, size, "%.1f %s", bytes, kUnits[unit]);
}

}  // namespace

int FtpProgressFormat(char *text, size_t textSize, uint64_t done, uint64_t size, int sizeKnown,
                      double seconds) {
  char bytes[32], rate[32];
  FtpProgressBytes(bytes, sizeof(bytes), static_cast<double>(done));
  const double perSecond = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  FtpProgressBytes(rate, sizeof(rate), perSecond);
  if (!sizeKnown) return std::snprintf(text, textSize, "%10s %10s/s", bytes, rate);

  // A server may send more than it announced: never past 100 %.
  const uint64_t left = size > done ? size - done : 0;
  const int percent = size == 0 ? 100 : static_cast<int>(100 * (size - left) / size);
  char eta[32] = "--:--";
  if (left == 0) {
    std::snprintf(eta, sizeof(eta), "00:00");
  } else if (perSecond > 0) {
    const double rest = std::ceil(static_cast<double>(left) / perSecond);
    if (rest < 3600) {
      std::snprintf(eta, sizeof(eta), "%02d:%02d", static_cast<int>(rest) / 60,
                    static_cast<int>(rest) % 60);
    } else if (rest < 100 * 3600) {
      std::snprintf(eta, sizeof(eta), "%d:%02d:%02d", static_cast<int>(rest) / 3600,
                    static_cast<int>(rest) / 60 % 60, static_cast<int>(rest) % 60);
    }
  }
  return std::snprintf(text, textSize, "%10s  %3d%% %10s/s  %s left", bytes, percent, rate, eta);
}

void FtpProgressStart(FtpProgress *progress, const FtpSession *session, uint64_t size,
                      int sizeKnown) {
  // Hash marks are the user's older choice of progress display.
  progress->Enabled = !session->Opt.HashMarks && isatty(STDOUT_FILENO);
  progress->Width = 0;
  progress->SizeKnown = sizeKnown;
  progress->Size = size;
  progress->Start = progress->Enabled ? FtpProgressNow() : 0;
  progress->Drawn = 0;
}

void FtpProgressUpdate(FtpProgress *progress, uint64_t done) {
  // Bytes that move are progress, for systemd's watchdog.
  FtpEventAlive();
  if (!progress->Enabled) return;
  const double now = FtpProgressNow();
  if (now - progress->Start < kFirstDraw || now - progress->Drawn < kRedrawGap) return;
  progress->Drawn = now;
  char text[128];
  int n = FtpProgressFormat(text, sizeof(text), done, progress->Size, progress->SizeKnown,
                            now - progress->Start);
  n = std::min(n, static_cast<int>(sizeof(text)) - 1);
  // Blanks cover the rest of a longer line drawn before.
  std::printf("\r%s%*s", text, std::max(0, progress->Width - n), "");
  std::fflush(stdout);
  progress->Width = std::max(progress->Width, n);
}

void FtpProgressEnd(FtpProgress *progress) {
  if (progress->Width == 0) return;
  std::printf("\r%*s\r", progress->Width, "");
  std::fflush(stdout);
  progress->Width = 0;
}
