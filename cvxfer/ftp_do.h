// ftp_do.h - the command handlers. The dispatcher (ftp_cmd) has checked the
// row's preconditions and split the line before a handler runs; each
// handler takes the session and the split line, reports everything it does
// itself and returns FTP_OK or why it failed.
#ifndef CVXFER_FTP_DO_H
#define CVXFER_FTP_DO_H

#include "ftp_session.h"

struct FtpArgs;

// The synopsis of mget, for its row and its usage line.
inline constexpr char kFtpDoMGetSynopsis[] =
    "[-w [-i seconds] [-s seconds] [-D suffix]] [-d | -m directory] pattern ...";

// Connection commands.
int FtpDoOpen(FtpSession *session, const FtpArgs *args);
int FtpDoLogin(FtpSession *session, const FtpArgs *args);
int FtpDoClose(FtpSession *session, const FtpArgs *args);
int FtpDoQuit(FtpSession *session, const FtpArgs *args);

// Connects and logs in again as the last open and login did, in the same
// transfer type and directory: for a watch or a command tried again whose
// server went away. A failed try keeps what it repeats, for the next.
// Returns FTP_OK, or FTP_FAILED after saying why.
int FtpDoReconnect(FtpSession *session);

// Mode and status commands.
int FtpDoShell(FtpSession *session, const FtpArgs *args);
int FtpDoAscii(FtpSession *session, const FtpArgs *args);
int FtpDoBinary(FtpSession *session, const FtpArgs *args);
int FtpDoEbcdic(FtpSession *session, const FtpArgs *args);
int FtpDoType(FtpSession *session, const FtpArgs *args);
int FtpDoDebug(FtpSession *session, const FtpArgs *args);
int FtpDoVerbose(FtpSession *session, const FtpArgs *args);
int FtpDoPassive(FtpSession *session, const FtpArgs *args);
int FtpDoHash(FtpSession *session, const FtpArgs *args);
int FtpDoStatus(FtpSession *session, const FtpArgs *args);
int FtpDoFtps(FtpSession *session, const FtpArgs *args);

// Remote information commands.
int FtpDoCD(FtpSession *session, const FtpArgs *args);
int FtpDoPWD(FtpSession *session, const FtpArgs *args);
int FtpDoLs(FtpSession *session, const FtpArgs *args);
int FtpDoDir(FtpSession *session, const FtpArgs *args);
int FtpDoSyst(FtpSession *session, const FtpArgs *args);
int FtpDoStat(FtpSession *session, const FtpArgs *args);
int FtpDoRhelp(FtpSession *session, const FtpArgs *args);

// Queue commands.
int FtpDoCVCONN(FtpSession *session, const FtpArgs *args);
int FtpDoCVOPEN(FtpSession *session, const FtpArgs *args);
int FtpDoCVQDEPTH(FtpSession *session, const FtpArgs *args);
int FtpDoCVPER(FtpSession *session, const FtpArgs *args);
int FtpDoCVNPER(FtpSession *session, const FtpArgs *args);

// Transfer commands.
int FtpDoGetCV(FtpSession *session, const FtpArgs *args);
int FtpDoPutCV(FtpSession *session, const FtpArgs *args);
int FtpDoMGetCV(FtpSession *session, const FtpArgs *args);
int FtpDoMPutCV(FtpSession *session, const FtpArgs *args);
int FtpDoSafePut(FtpSession *session, const FtpArgs *args);

// Remote housekeeping.
int FtpDoDelete(FtpSession *session, const FtpArgs *args);
int FtpDoRename(FtpSession *session, const FtpArgs *args);
int FtpDoMkdir(FtpSession *session, const FtpArgs *args);
int FtpDoRmdir(FtpSession *session, const FtpArgs *args);
int FtpDoSize(FtpSession *session, const FtpArgs *args);
int FtpDoMDelete(FtpSession *session, const FtpArgs *args);

// The server's own commands: raw sends the line as typed, site as the
// arguments of SITE; both show the whole reply.
int FtpDoRaw(FtpSession *session, const FtpArgs *args);
int FtpDoSite(FtpSession *session, const FtpArgs *args);

#endif
