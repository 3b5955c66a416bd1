// sftp_remote.h - SFTP's implementation of the remote side, and the open
// that puts it in place of FTP's.
#ifndef CVXFER_SFTP_REMOTE_H
#define CVXFER_SFTP_REMOTE_H

#include "remote.h"

extern const RemoteOps kSftpRemote;

// Opens an SFTP session with host on port (0: 22) as user, with password
// (null: asked for when the server wants one), and makes SFTP the remote
// side. Files then move unchanged: the transfer type is binary. Returns 0,
// or -1 with the failure said and recorded.
int SftpRemoteOpen(FtpSession *session, const char *host, unsigned short port, const char *user,
                   const char *password);

#endif
