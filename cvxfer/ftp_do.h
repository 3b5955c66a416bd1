// ftp_do.h - the command handlers. Each takes the session and the whole
// command line as typed (command word included; may be cut into tokens in
// place, may be null for calls made by the program itself) and reports
// everything it does itself.
#ifndef CVXFER_FTP_DO_H
#define CVXFER_FTP_DO_H

#include "cvxfer.h"

// Connection commands.
void FtpDoOpen(FtpSession *session, char *line);
void FtpDoLogin(FtpSession *session, char *line);
void FtpDoClose(FtpSession *session, char *line);
void FtpDoQuit(FtpSession *session, char *line);

// Mode and status commands.
void FtpDoShell(FtpSession *session, char *line);
void FtpDoAscii(FtpSession *session, char *line);
void FtpDoBinary(FtpSession *session, char *line);
void FtpDoEbcdic(FtpSession *session, char *line);
void FtpDoType(FtpSession *session, char *line);
void FtpDoDebug(FtpSession *session, char *line);
void FtpDoVerbose(FtpSession *session, char *line);
void FtpDoPassive(FtpSession *session, char *line);
void FtpDoPrompt(FtpSession *session, char *line);
void FtpDoHash(FtpSession *session, char *line);
void FtpDoStatus(FtpSession *session, char *line);

// Remote information commands.
void FtpDoCD(FtpSession *session, char *line);
void FtpDoPWD(FtpSession *session, char *line);
void FtpDoLs(FtpSession *session, char *line);
void FtpDoDir(FtpSession *session, char *line);
void FtpDoSyst(FtpSession *session, char *line);
void FtpDoStat(FtpSession *session, char *line);
void FtpDoRhelp(FtpSession *session, char *line);

// Queue commands.
void FtpDoCVCONN(FtpSession *session, char *line);
void FtpDoCVDISC(FtpSession *session, char *line);
void FtpDoCVOPEN(FtpSession *session, char *line);
void FtpDoCVCLOSE(FtpSession *session, char *line);
void FtpDoCVQDEPTH(FtpSession *session, char *line);
void FtpDoCVPER(FtpSession *session, char *line);
void FtpDoCVNPER(FtpSession *session, char *line);

// Transfer commands.
void FtpDoGetCV(FtpSession *session, char *line);
void FtpDoPutCV(FtpSession *session, char *line);
void FtpDoGet(FtpSession *session, char *line);
void FtpDoPut(FtpSession *session, char *line);

#endif
