// ftp_clock.h - the one clock every wait of the conversation reads, and the
// interrupt and termination flags every wait checks.
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

// Called from the SIGTERM handler (async-signal-safe): the work in flight
// finishes, then the run ends. Never cleared.
void FtpTerminateRaise();

// Whether SIGTERM arrived.
bool FtpTerminatePending();

// Waits ms milliseconds, or less when SIGINT or SIGTERM arrives. Returns
// true when the whole time passed.
bool FtpPause(long long ms);

#endif
