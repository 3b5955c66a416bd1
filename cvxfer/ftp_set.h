// ftp_set.h - the settings a run can change by name: the set command, the
// command-line options that name the same settings, and what they mean.
#ifndef CVXFER_FTP_SET_H
#define CVXFER_FTP_SET_H

#include "ftp_session.h"

struct FtpArgs;

// Sets setting name ("verify", "retry" or "segment") to value in *opt.
// Returns 0, or -1 with *why (static text) saying what is wrong; *opt is
// then unchanged.
int FtpSetValue(FtpSettings *opt, const char *name, const char *value, const char **why);

// The verify mode in force: FTP_VERIFY_OFF, FTP_VERIFY_SIZE or
// FTP_VERIFY_HASH (AUTO resolved by the transfer type).
int FtpVerifyMode(const FtpSettings &opt);

// "set": without arguments prints every setting; with a name prints that
// one; with a name and a value changes it.
int FtpDoSet(FtpSession *session, const FtpArgs *args);

#endif
