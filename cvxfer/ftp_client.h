// ftp_client.h - the start and the end of a client session: every record
// set to its start, FTP as the remote side, and what the records own
// released at the end.
#ifndef CVXFER_FTP_CLIENT_H
#define CVXFER_FTP_CLIENT_H

#include "ftp_session.h"

// Sets every record of session to its start: nothing connected or open,
// verbose on, ascii unset, auto-login on, the default time-out; starts the
// TCP layer. Returns TcpInit's result (0 = success).
int FtpInit(FtpSession *session);

// Closes the control connection (or the SFTP one) without a word and releases what the
// records own (address records, the TLS context). Returns TcpCleanUp's
// result.
int FtpCleanUp(FtpSession *session);

#endif
