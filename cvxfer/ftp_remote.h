// ftp_remote.h - FTP's (and FTPS's) implementation of the remote side.
#ifndef CVXFER_FTP_REMOTE_H
#define CVXFER_FTP_REMOTE_H

#include "remote.h"

extern const RemoteOps kFtpRemote;

#endif
