// ftp_list.h - directory listings (NLST, LIST) on a data connection. A
// listing counts only when its data connection ended normally and the final
// reply was positive; anything else fails the command and says so.
#ifndef CVXFER_FTP_LIST_H
#define CVXFER_FTP_LIST_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp_session.h"
#include "remote.h"

// Takes one line of a listing (without its CR LF); non-zero abandons it.
using FtpLines = std::function<int(std::string_view line)>;

// NLST of path (or of the current directory) into names, one entry a line
// (a CR before the LF dropped), nothing printed but the replies. Returns 0,
// or -1 when the listing failed (names is then empty).
int FtpNameList(FtpSession *session, const char *path, std::vector<std::string> *names);

// MLSD (mlsd) or NLST of path (null: the current directory), each line
// handed to lines as it arrives, none held. An empty line, and one longer
// than a name can usefully be, is passed over. Returns 0 when the whole
// listing arrived, else -1 (failure recorded).
int FtpScanList(FtpSession *session, const char *path, bool mlsd, const FtpLines &lines);

// Reads one MLSD line into *entry: its name (a view into line) and, when
// both size and modify facts are there, its size and time (Told), with its
// unique fact when there is one. Returns
// 0 for a file, 1 for anything else (a directory, a link), -1 when the
// line is not "facts name".
int FtpFactsOf(std::string_view line, RemoteEntry *entry);

// Listings: NLST / LIST with the path or without one, printed as received,
// then "cvxfer: %d bytes received.". Return 0, or -1 when the listing
// failed.
int FtpNLST(FtpSession *session, const char *path);
int FtpLIST(FtpSession *session, const char *path);

#endif
