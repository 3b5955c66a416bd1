// ftp_cmd.h - the command table: one row per command with its handler,
// help and the preconditions the dispatcher (ftp_loop) checks, lookup by
// full or abbreviated name, and help.
#ifndef CVXFER_FTP_CMD_H
#define CVXFER_FTP_CMD_H

#include "ftp_args.h"
#include "ftp_session.h"

// Preconditions a row declares (FtpDoCommandDef::Needs); the dispatcher
// checks them before the handler runs and prints the row's answer.
enum {
  FTP_NEEDS_CONNECTION = 1,     // "Not Connected."
  FTP_NEEDS_NO_CONNECTION = 2,  // "Already connected.  Close connection first."
  FTP_RAW_LINE = 4,             // reads Line or Rest only: quotes are not checked
  FTP_REMOTE_NAMES = 8,         // its arguments are remote names: Tab completes them
  FTP_CHANGES_NAMES = 16,       // the remote names kept for Tab are stale after it
  FTP_STARTUP_DEFAULT = 32,     // in ~/.cvxferrc it needs no connection: it sets a default
  FTP_RETRIED = 64,             // a failure that may pass is tried again (set retry)
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

// help and ?: the index, or the help of each named command; fails when a
// name is unknown or ambiguous. FtpDoHelpExec prints one command's help and
// returns 0, or -1 after the unknown or ambiguous name message.
int FtpDoHelp(FtpSession *session, const FtpArgs *args);
int FtpDoHelpExec(const char *name);
void FtpDoHelpIndex(void);

#endif
