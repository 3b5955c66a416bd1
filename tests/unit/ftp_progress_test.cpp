// The progress line's text, and that nothing is drawn off a terminal.
#include "ftp_progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FtpProgressTest, FormatsBytesPercentRateAndTimeLeft) {
  constexpr uint64_t kMiB = 1024 * 1024;
  const struct {
    uint64_t done, size;
    int known;
    double seconds;
    const char *text;
  } cases[] = {
      {12900000, 28600000, 1, 1.2, "  12.3 MiB   45%   10.3 MiB/s  00:02 left"},
      {512, 2048, 1, 1.0, "     512 B   25%      512 B/s  00:03 left"},
      {3 * kMiB, 0, 0, 2.0, "   3.0 MiB    1.5 MiB/s"},
      {1, 3601, 1, 1.0, "       1 B    0%        1 B/s  1:00:00 left"},
      {1, 1000000, 1, 1.0, "       1 B    0%        1 B/s  --:-- left"},  // past 99 hours
      {0, 10, 1, 1.5, "       0 B    0%        0 B/s  --:-- left"},
      {20, 10, 1, 1.0, "      20 B  100%       20 B/s  00:00 left"},  // more than announced
      {0, 0, 1, 0.0, "       0 B  100%        0 B/s  00:00 left"},
      {5ULL << 40, 10ULL << 40, 1, 100.0, "   5.0 TiB   50%   51.2 GiB/s  01:40 left"},
  };
  for (const auto &c : cases) {
    char text[128];
    const int n = FtpProgressFormat(text, sizeof(text), c.done, c.size, c.known, c.seconds);
    EXPECT_EQ(std::string(text), c.text);
    EXPECT_EQ(n, static_cast<int>(std::string(c.text).size()));
  }
}

TEST(FtpProgressTest, NothingIsDrawnOffATerminal) {
  FtpSession session{};
  FtpProgress progress;
  testing::internal::CaptureStdout();  // a file, not a terminal
  FtpProgressStart(&progress, &session, 100, 1);
  progress.Start -= 60;  // as if the transfer had run a minute
  FtpProgressUpdate(&progress, 50);
  FtpProgressEnd(&progress);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(progress.Enabled, 0);
}

}  // namespace
