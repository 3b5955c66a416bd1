// ftp_session.h - the session record: one record per concern, each owned by
// the module named beside it. Only that module changes its record's fields;
// the others read them.
#ifndef CVXFER_FTP_SESSION_H
#define CVXFER_FTP_SESSION_H

#include <string>

#include "corvane.h"

struct TcpInfo;
struct ssl_st;
struct RemoteOps;
struct SftpConn;

// What the next open does about TLS (FtpSettings::TlsMode).
enum { FTP_TLS_OFF = 0, FTP_TLS_EXPLICIT = 1, FTP_TLS_IMPLICIT = 2 };

// Size of ReplyText: the longest reply line kept, with its terminator.
constexpr int kFtpReplyMax = 1500;

// Exit statuses of a run, and the classes a failing command is put in: the
// run exits with the class of its first failing command, 0 when none failed.
enum {
  FTP_EXIT_OK = 0,
  FTP_EXIT_FAILED = 1,       // unknown command, bad arguments, a local error
  FTP_EXIT_USAGE = 2,        // command-line usage error: nothing was run
  FTP_EXIT_CONNECT = 3,      // host unknown, connection refused, greeting refused
  FTP_EXIT_LOGIN = 4,        // login refused
  FTP_EXIT_TLS = 5,          // TLS could not be set up or verified
  FTP_EXIT_REFUSED = 6,      // the server refused a command
  FTP_EXIT_INCOMPLETE = 7,   // a transfer did not complete
  FTP_EXIT_TIMEOUT = 8,      // a network wait timed out
  FTP_EXIT_QUEUE = 9,        // a queue manager call failed
  FTP_EXIT_NO_MESSAGE = 10,  // put found no message on the queue
  FTP_EXIT_INTERRUPTED = 130,
};

// Default bound of every network wait, in seconds.
constexpr int kFtpDefaultTimeout = 300;

// Transfer types: TransferType indexes kFtpTypes. Before any TYPE the
// server transfers in ascii, its default.
enum { FTP_TYPE_UNSET = 0, FTP_TYPE_ASCII = 1, FTP_TYPE_BINARY = 2, FTP_TYPE_EBCDIC = 3 };
struct FtpTypeDef {
  const char *Name;      // as the type command and status name it
  const char *Wire;      // the TYPE argument, null for none
  const char *Property;  // the cv-transfer-type a message carries
};
inline constexpr FtpTypeDef kFtpTypes[] = {{"<UNKNOWN>", nullptr, "ascii"},
                                           {"ascii", "A", "ascii"},
                                           {"binary", "I", "binary"},
                                           {"ebcdic", "E", "ebcdic"}};

// The control connection and the conversation on it (ftp_ctrl). While an
// SFTP connection stands, sftp_conn sets Connected (which the command
// table's "Not Connected." reads), Host (as given) and HostInfo (its
// address record) too; the other fields are then unused.
struct FtpControl {
  int Socket;                    // -1 when none
  struct ssl_st *Tls;            // TLS of the control connection, null when clear
  TcpInfo *HostInfo;             // the connection's address record (owned)
  int Connected;                 // the connection stands
  int ReplyCode;                 // code of the last reply
  char ReplyText[kFtpReplyMax];  // last line of the last reply, terminated
  char LastVerb[8];              // verb of the last command sent, for messages
  char In[4096];                 // bytes read from the connection, not yet taken
  int InStart;                   // the first of them
  int InEnd;                     // one past the last
  int Aborting;                  // the ABOR exchange is under way
  char Host[256];                // the host as given, which a certificate must name
  char RemoteDir[1024];          // the server's current directory as PWD said
  int RemoteDirKnown;            // RemoteDir was asked for since the last open or cd
  unsigned Replies;              // replies read so far: tells a fresh reply from an old one
  std::string *Lines;            // when set, every line of the replies read is added (FEAT)
  int FeatAsked;                 // FEAT was asked on this connection (ftp_remote)
  int HashKind;                  // the digest it offers of a stored file (REMOTE_*), -1 none
  char HashVerb[8];              // the command that asks for it
  int Mlsd;                      // FEAT lists MLST: MLSD gives each name's facts
};

// The data connection of the transfer or listing under way (ftp_data).
struct FtpDataConn {
  int Socket;          // the data connection, -1 when none
  int Listen;          // active mode's listening socket, -1 when none
  TcpInfo *HostInfo;   // last passive connection's address record (owned)
  struct ssl_st *Tls;  // TLS of the data connection, null when clear
  int Protected;       // PROT P is in force: data connections use TLS
  int UseEpsv;         // extended passive mode (EPSV) for this connection
  int UseEprt;         // extended active mode (EPRT) for this connection
};

// What the user set: toggles, modes and bounds (the command handlers).
struct FtpSettings {
  int TransferType;      // 0 unset, then an index of the transfer type table
  int Debug;             // echo commands sent and queue calls
  int Verbose;           // echo replies and queue successes
  int HashMarks;         // print '#' per block received
  int Passive;           // PASV instead of PORT
  int AutoLogin;         // log in right after open
  int Timeout;           // seconds any network wait may take
  int ExitOnError;       // end the run at the first failing command
  int SafePut;           // put stores through a temporary name, then renames
  int TlsMode;           // FTP_TLS_OFF, FTP_TLS_EXPLICIT or FTP_TLS_IMPLICIT
  int TlsInsecure;       // certificates are not verified
  char TlsCaFile[1024];  // CA bundle; "" for the system's CA store
  char SshIdentity[1024];    // -i: the private key an SFTP login offers; "" for ~/.ssh/id_*
  char SshKnownHosts[1024];  // --known-hosts: "" for ~/.ssh/known_hosts
  int SshAcceptNew;          // --accept-new-host-key: an unknown host key is trusted and kept
  int Quiet;             // -q: no banner and no prompt (verbose off unless -v)
  int LoginType;         // the type every login sets: ascii unless ~/.cvxferrc says
  int Verify;            // how a store is checked: FTP_VERIFY_* (set verify, --verify)
  int Retries;           // how often a failed transfer command tries again (set retry, -r)
  long long SegmentSize; // largest segment of a file split into a message group; 0: the queue's
};

// How a store is checked once the server holds it (FtpSettings::Verify):
// AUTO is SIZE in binary mode and OFF otherwise (ftp_set's FtpVerifyMode).
enum { FTP_VERIFY_AUTO = 0, FTP_VERIFY_OFF = 1, FTP_VERIFY_SIZE = 2, FTP_VERIFY_HASH = 3 };

// The queue manager connection and the open queue (cv_session).
struct CVQueueSession {
  CVHCONN Hconn;      // -1 when none
  CVHOBJ Hobj;        // -1 when none
  char QMgrName[48];  // not necessarily terminated: print with %.*s
  char QName[48];     // same form
  int Persistence;    // CVPER_PERSISTENT or CVPER_NOT_PERSISTENT
  int Broken;         // a call said the connection is broken: no later one can succeed
};

// What the last open and login used, so that a watch can connect again by
// itself after the server went away (the connection commands, ftp_do).
struct FtpLogin {
  int Known;            // an open and a login succeeded with these
  char Host[256];       // as given to open
  unsigned short Port;  // 0: the scheme's own
  int TlsMode;          // of that connection
  int Sftp;             // over SSH (sftp://) rather than FTP
  char User[256];
  char Password[256];   // wiped at the end of the run; never printed
};

// The run's account: what failed, and how the run ends (ftp_cmd).
struct FtpAccount {
  int Failure;      // class of the running command's first failure, 0 none
  int Interrupted;  // the running command was interrupted
  int Status;       // the run's exit status so far
  int Done;         // the run ends after this command
  int InputReady;   // result of the last keyboard read
  int Startup;      // the commands of ~/.cvxferrc are running
  int LineHasNul;   // the line read held a NUL byte (cut there)

  // The running command's failure line: its name, what it worked on (a
  // remote name, or host and port), why it failed as the layer that saw it
  // said, and Ctl.Replies when it began.
  char Command[32];
  char Object[320];
  char Cause[320];
  unsigned RepliesAtStart;
};

// All run-time state of one user session. main() owns the single instance
// and passes its address down; no function keeps the pointer beyond a call.
struct FtpSession {
  FtpControl Ctl;
  FtpDataConn Data;
  FtpSettings Opt;
  CVQueueSession Queue;
  FtpLogin Login;
  FtpAccount Run;
  const RemoteOps *Remote;  // the protocol the bridge talks to the server with
  SftpConn *Sftp;           // the SFTP connection (sftp_conn), null when none
};

// Records cls as the class of the running command's failure, unless an
// earlier failure of the same command was recorded first (it is the cause).
// A negative reply read during the command becomes the failure's cause
// when none was given (see FtpFailWhy).
void FtpFail(FtpSession *session, int cls);

// FtpFail with the cause in words (printf format), kept for the command's
// failure line unless an earlier cause was.
void FtpFailWhy(FtpSession *session, int cls, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Names what the running command works on (printf format: a remote name,
// "HOST port N"), for its failure line; a later name replaces an earlier.
void FtpNoteObject(FtpSession *session, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
