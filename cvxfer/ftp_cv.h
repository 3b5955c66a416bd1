// ftp_cv.h - the queue side of the session and the transfers between an
// FTP server and the open queue. Every function reports on standard output
// itself and returns nothing.
#ifndef CVXFER_FTP_CV_H
#define CVXFER_FTP_CV_H

#include "cvxfer.h"

void CVFtpInit(FtpSession *session);
void FtpCVCONN(FtpSession *session, const char *name);
void FtpCVDISC(FtpSession *session);
void FtpCVOPEN(FtpSession *session, const char *name);
void FtpCVCLOSE(FtpSession *session);
void FtpCVQDEPTH(FtpSession *session, const char *name);

void FtpGetCV(FtpSession *session, const char *remoteName);
void FtpPutCV(FtpSession *session, const char *remoteName);

#endif
