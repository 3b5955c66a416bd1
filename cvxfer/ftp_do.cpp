// ftp_do.cpp - command handlers (placeholders until the handlers land).
#include "ftp_do.h"

#include <cstdio>

void FtpDoOpen(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoLogin(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoClose(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoQuit(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoShell(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoAscii(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoBinary(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoEbcdic(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoType(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoDebug(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoVerbose(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoPassive(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoPrompt(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoHash(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoStatus(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCD(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoPWD(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoLs(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoDir(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoSyst(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoStat(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoRhelp(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVCONN(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVDISC(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVOPEN(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVCLOSE(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVQDEPTH(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVPER(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoCVNPER(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoGetCV(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoPutCV(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoGet(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
void FtpDoPut(FtpSession *, char *) { std::printf("not yet available.\n"); std::fflush(stdout); }
