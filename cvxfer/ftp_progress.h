// ftp_progress.h - the progress line of a transfer on a terminal: bytes,
// percentage and time left when the size is known, and the rate, redrawn in
// place once the transfer has taken a second. Nothing is ever drawn when
// standard output is not a terminal, so scripts see what they always saw.
#ifndef CVXFER_FTP_PROGRESS_H
#define CVXFER_FTP_PROGRESS_H

#include <cstddef>
#include <cstdint>

#include "ftp_session.h"

struct FtpProgress {
  int Enabled;    // standard output is a terminal and hash marks are off
  int Width;      // characters of the line on the screen, 0 when none is
  int SizeKnown;  // Size holds the transfer's length
  uint64_t Size;  // bytes the transfer will move
  double Start;   // when it started, in monotonic seconds
  double Drawn;   // when the line was last drawn
};

// Starts the account of a transfer of size bytes (sizeKnown 0: unknown).
void FtpProgressStart(FtpProgress *progress, const FtpSession *session, uint64_t size,
                      int sizeKnown);

// Tells that done bytes have moved; redraws the line at most a few times a
// second, and only after the first second.
void FtpProgressUpdate(FtpProgress *progress, uint64_t done);

// Clears the line, if one was drawn, before the transfer's own messages.
void FtpProgressEnd(FtpProgress *progress);

// Formats the line for done bytes of size (sizeKnown 0: unknown) after
// seconds into text (size bytes), e.g.
// "  12.3 MiB   45%   10.2 MiB/s  00:03 left"; returns its length.
int FtpProgressFormat(char *text, size_t textSize, uint64_t done, uint64_t size, int sizeKnown,
                      double seconds);

#endif
