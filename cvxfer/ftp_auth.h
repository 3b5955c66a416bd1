// ftp_auth.h - where a login comes from when nobody types it: an
// ftp:// (or sftp://) URL and the user's ~/.netrc.
#ifndef CVXFER_FTP_AUTH_H
#define CVXFER_FTP_AUTH_H

// The parts of ftp://[user[:password]@]host[:port][/path], percent-decoded.
struct FtpUrl {
  char Scheme[8];       // "ftp", "ftpes", "ftps" or "sftp"
  char User[256];       // empty when the URL names none
  char Password[256];   // empty when the URL names none
  int HasUser;          // a user was given (it may be empty: "ftp://@host")
  int HasPassword;      // a password was given
  char Host[256];       // without the brackets of an IPv6 literal
  unsigned short Port;  // 0 when the URL names none
  char Path[1024];      // after the "/" that ends the authority; may be empty
};

// Returns 1 when text begins with a URL scheme this program knows: ftp://,
// ftpes:// (TLS asked for with AUTH TLS), ftps:// (TLS from the start) or
// sftp:// (SFTP over SSH).
int FtpIsUrl(const char *text);

// Parses text as an ftp URL into *url. Returns 0, or -1 after a message
// naming what is wrong (bad port, bad percent escape, missing host, a part
// too long, a decoded CR, LF or NUL).
int FtpParseUrl(const char *text, FtpUrl *url);

// A login found in a netrc file.
struct FtpNetrcEntry {
  char Login[256];
  char Password[256];
  int HasPassword;
};

// Looks host up in the netrc file at path: the first "machine host" entry,
// else the "default" entry. Returns 1 with *entry filled, 0 when the file
// is missing or names neither, -1 after a message when the file holds a
// password and can be read by others than its owner (it is then not used).
int FtpNetrcLookup(const char *path, const char *host, FtpNetrcEntry *entry);

// The path of the user's netrc file ($HOME/.netrc), or "" when HOME is unset.
const char *FtpNetrcPath(void);

#endif
