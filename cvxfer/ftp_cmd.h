// ftp_cmd.h - the command table and the interpreter loop.
#ifndef CVXFER_FTP_CMD_H
#define CVXFER_FTP_CMD_H

#include "cvxfer.h"

// One row of the command table.
struct FtpDoCommandDef {
  const char *Name;
  void (*Handler)(FtpSession *session, char *line);
  const char *Synopsis;  // null for a command without arguments
  const char *Help;
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

// Runs the handler named by the first word of line (ended by a space only).
// Returns 0 when a handler ran, -1 for an unknown or ambiguous name.
int FtpDoCommand(FtpSession *session, char *line);

// Reads one line with GetInput into line and stores the result in
// InputReady; returns it (0 at end of input).
int FtpCheckFds(FtpSession *session, char *line);

// help and ?: the index, or the help of each named command.
void FtpDoHelp(FtpSession *session, char *line);
void FtpDoHelpExec(const char *name);
void FtpDoHelpIndex(void);

#endif
