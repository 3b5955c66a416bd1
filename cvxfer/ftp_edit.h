// ftp_edit.h - line editing at a terminal (libedit): editing keys, a
// history kept in ~/.cvxfer_history and Tab completion of command names and
// remote names. Without a terminal none of it runs and lines are read by
// GetInput as always.
#ifndef CVXFER_FTP_EDIT_H
#define CVXFER_FTP_EDIT_H

#include <cstddef>
#include <string>
#include <vector>

#include "ftp_session.h"

// Starts line editing when standard input and standard output are both
// terminals, loading the history. Returns 1 when lines are edited from now
// on, 0 when they are read as before.
int FtpEditStart(FtpSession *session);

// Saves the history and gives the terminal back; nothing when editing was
// not started.
void FtpEditEnd(void);

// Shows prompt and reads one edited line into line (room for
// KEYB_LINE_MAX + 1 bytes), made as GetInput makes a line. Returns 1 when a
// line was read, 0 at end of input (Ctrl-D on an empty line), -1 when SIGINT
// interrupted the read (line empty).
int FtpEditReadLine(const char *prompt, char *line);

// Forgets the remote names kept for completion: the remote directory or
// its contents may have changed.
void FtpEditForgetNames(void);

// Returns 1 when line carries a password (user with a password, a URL with
// user:password@), so that it is never written to the history.
int FtpEditHasPassword(const char *line);

// What Tab completes at the end of before (the line up to the cursor):
// stores in *wordStart where the word being completed starts (at its
// opening quote, if any) and fills names with the full names that word can
// become: command names for the first word and for the arguments of help;
// remote names, when connected, for the arguments of commands that take
// them (listed once per directory and kept until FtpEditForgetNames).
// Returns the number of names.
int FtpEditCandidates(FtpSession *session, const char *before, std::vector<std::string> *names,
                      size_t *wordStart);

#endif
