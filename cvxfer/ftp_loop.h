// ftp_loop.h - the interpreter: the prompt loop, the dispatcher and the
// run's account. The dispatcher splits a line into words once, checks the
// preconditions a row declares and only then calls the row's handler, so no
// handler parses the line again or repeats a state check.
#ifndef CVXFER_FTP_LOOP_H
#define CVXFER_FTP_LOOP_H

#include <string>
#include <vector>

#include "ftp_cmd.h"

// Runs the prompt loop until a handler sets gDone or input ends; at end of
// input an open control connection is closed with QUIT.
void FtpExecCmd(FtpSession *session);

// Checks row's preconditions against the session and args, printing the
// answer of the first that fails, then calls its handler. Returns the
// handler's result, or FTP_FAILED when a precondition failed.
int FtpDoDispatch(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args);

// Runs the command named by the first word of line (ended by a space only).
// Returns the handler's result, or -1 for an unknown or ambiguous name.
int FtpDoCommand(FtpSession *session, const char *line);

// Closes the account of one command: result is what its handler returned
// (0 success, -1 no such command, else a failure whose class the layers
// recorded in Failure). A failure prints one line on standard error, "cvxfer:
// COMMAND failed: [OBJECT: ]CAUSE", whatever -q and verbose say. Prints
// "cvxfer: interrupted" after an interrupt,
// keeps the run's first failing class in Status, and ends the run (QUIT
// first) at a failure under -e or at an interrupt without a terminal.
// Returns the command's class (0 for success).
int FtpEndCommand(FtpSession *session, int result);

// Reads one line with GetInput into line and stores the result in
// InputReady; returns it (0 at end of input, -1 when a signal interrupted
// the read).
int FtpReadCommandLine(FtpSession *session, char *line);

// Opens the account of the command name: no failure, no object, no cause
// yet, and the replies read from now on are its own.
void FtpBeginCommand(FtpSession *session, const char *name);

// Splits the text of -c into *commands at each ";" ("\\;" is a semicolon
// of the command). Returns how many there are (empty ones counted).
int FtpSplitCommands(const char *text, std::vector<std::string> *commands);

// Runs the commands of text (see FtpSplitCommands) one by one, as lines
// typed would run, then ends the session as the end of input does.
void FtpRunCommandText(FtpSession *session, const char *text);

// The user's start-up file, ~/.cvxferrc ("" without a home directory).
std::string FtpStartupPath(void);

// Runs the commands of the start-up file at path, one a line (blank lines
// and lines starting with "#" skipped), while Run.Startup is set; nothing
// when it does not exist. A file that others can write, or that belongs to
// another user, is not run: that is a failure of its own.
void FtpRunStartupFile(FtpSession *session, const char *path);

// Makes the job file path the source of the command lines, in place of
// standard input (password answers included, as from a script on standard
// input); lines whose first word begins with '#' are comments from then on.
// A job file that holds a password (a user command with one, a URL with
// user:password) and that anyone but its owner may read is refused, as a
// .netrc is. Returns 0, or -1 after saying why not on standard error.
int FtpJobOpen(const char *path);

#endif
