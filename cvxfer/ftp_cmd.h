// ftp_cmd.h - the command table and the interpreter loop. The dispatcher
// splits a line into words once, checks the preconditions a row declares
// and only then calls the row's handler, so no handler parses the line
// again or repeats a state check.
#ifndef CVXFER_FTP_CMD_H
#define CVXFER_FTP_CMD_H

#include "cvxfer.h"
#include "keyb_util.h"

// A command line split into words. Words are separated by spaces (a tab is
// part of a word); a word that begins with a double quote runs to the next
// double quote that ends a word, and is stored without the quotes, so
// "my file.txt" names one file. A quote anywhere else is an ordinary
// character.
struct FtpArgs {
  const char *Line;                          // the line as typed, command word included
  const char *Rest;                          // the raw text after the command word and its blanks
  int Count;                                 // words, the command word included
  int Unbalanced;                            // 1 when a quoted word has no closing quote
  const char *Words[KEYB_LINE_MAX / 2 + 2];  // Count words, then null
  char Storage[KEYB_LINE_MAX + 2];           // the words' bytes
  char Text[KEYB_LINE_MAX + 2];              // Line, when FtpMakeArgs made it
};

// Results of a command handler: 0 for success, anything else says why the
// command failed.
enum {
  FTP_OK = 0,
  FTP_FAILED = 1,
};

// Preconditions a row declares (FtpDoCommandDef::Needs); the dispatcher
// checks them before the handler runs and prints the row's answer.
enum {
  FTP_NEEDS_CONNECTION = 1,     // "Not Connected."
  FTP_NEEDS_NO_CONNECTION = 2,  // "Already connected.  Close connection first."
  FTP_RAW_LINE = 4,             // reads Line or Rest only: quotes are not checked
  FTP_REMOTE_NAMES = 8,         // its arguments are remote names: Tab completes them
  FTP_CHANGES_NAMES = 16,       // the remote names kept for Tab are stale after it
};

// One row of the command table. The first four fields are the command's
// name, handler, synopsis (null for a command without arguments) and help
// text; the rest are what the dispatcher checks. Counts are of the words
// after the command word; MaxArgs -1 means no limit.
struct FtpDoCommandDef {
  const char *Name;
  int (*Handler)(FtpSession *session, const FtpArgs *args);
  const char *Synopsis;
  const char *Help;
  int Needs;
  int MinArgs;
  int MaxArgs;
};

extern FtpDoCommandDef gFtpDoCommands[];
extern int gNumFtpDoCommands;
extern int gDone;

// Marker returned by GetFtpDoCommandByName for an ambiguous abbreviation.
#define FTP_DO_AMBIGUOUS (reinterpret_cast<FtpDoCommandDef *>(-1))

// Runs the prompt loop until a handler sets gDone or input ends; at end of
// input an open control connection is closed with QUIT.
void FtpExecCmd(FtpSession *session);

// Sorts gFtpDoCommands by name; lookups depend on that order.
void InitFtpDoCommandList(void);

// Sort comparison of two rows by name.
int FtpDoCommandSortCmp(const void *a, const void *b);

// bsearch comparisons of a name (key) with a row: exact, and prefix (0 when
// the key is a prefix of the row's name, ordered like strcmp otherwise).
int FtpDoCommandExactSearchCmp(const void *key, const void *row);
int FtpDoCommandSubSearchCmp(const void *key, const void *row);

// Returns the row named exactly by name, else the one row whose name begins
// with it, FTP_DO_AMBIGUOUS when several do, null when none does.
FtpDoCommandDef *GetFtpDoCommandByName(const char *name);

// Splits line into args as described at FtpArgs. args keeps a pointer to
// line (Line, Rest), so line must outlive it.
void FtpSplitArgs(const char *line, FtpArgs *args);

// Fills args as if the count words had been typed on one line, each one
// word (no quoting applies); Line and Rest point into args itself. Returns
// 0, or -1 when the words do not fit a command line (args is then empty).
int FtpMakeArgs(FtpArgs *args, int count, const char *const words[]);

// Checks row's preconditions against the session and args, printing the
// answer of the first that fails, then calls its handler. Returns the
// handler's result, or FTP_FAILED when a precondition failed.
int FtpDoDispatch(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args);

// Runs the command named by the first word of line (ended by a space only).
// Returns the handler's result, or -1 for an unknown or ambiguous name.
int FtpDoCommand(FtpSession *session, const char *line);

// Closes the account of one command: result is what its handler returned
// (0 success, -1 no such command, else a failure whose class the layers
// recorded in Failure). Prints "cvxfer: interrupted" after an interrupt,
// keeps the run's first failing class in Status, and ends the run (QUIT
// first) at a failure under -e or at an interrupt without a terminal.
// Returns the command's class (0 for success).
int FtpEndCommand(FtpSession *session, int result);

// Reads one line with GetInput into line and stores the result in
// InputReady; returns it (0 at end of input, -1 when a signal interrupted
// the read).
int FtpReadCommandLine(FtpSession *session, char *line);

// help and ?: the index, or the help of each named command; fails when a
// name is unknown or ambiguous. FtpDoHelpExec prints one command's help and
// returns 0, or -1 after the unknown or ambiguous name message.
int FtpDoHelp(FtpSession *session, const FtpArgs *args);
int FtpDoHelpExec(const char *name);
void FtpDoHelpIndex(void);

#endif
