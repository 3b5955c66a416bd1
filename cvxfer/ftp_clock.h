// ftp_clock.h - the one clock every wait of the conversation reads, and the
// interrupt flag every wait checks.
#ifndef CVXFER_FTP_CLOCK_H
#define CVXFER_FTP_CLOCK_H

// Milliseconds on the monotonic clock.
long long FtpNowMs();

// Called from the SIGINT handler (async-signal-safe): the running command
// gives up at its next wait.
void FtpInterruptRaise();

// Whether SIGINT arrived since the last FtpInterruptClear.
bool FtpInterruptPending();

// Forgets a SIGINT that has been dealt with.
void FtpInterruptClear();

#endif
