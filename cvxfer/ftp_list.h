// ftp_list.h - directory listings (NLST, LIST) on a data connection. A
// listing counts only when its data connection ended normally and the final
// reply was positive; anything else fails the command and says so.
#ifndef CVXFER_FTP_LIST_H
#define CVXFER_FTP_LIST_H

#include <string>
#include <vector>

#include "ftp_session.h"

// NLST of path (or of the current directory) into names, one entry a line
// (a CR before the LF dropped), nothing printed but the replies. Returns 0,
// or -1 when the listing failed (names is then empty).
int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names);

// Listings: NLST / LIST with the path or without one, printed as received,
// then "cvxfer: %d bytes received.". Return 0, or -1 when the listing
// failed.
int FtpNLST(FtpSession *session, const char *path);
int FtpLIST(FtpSession *session, const char *path);

#endif
