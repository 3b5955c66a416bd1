// cvxfer.h - the session record shared by every layer of the program.
#ifndef CVXFER_CVXFER_H
#define CVXFER_CVXFER_H

#include <csignal>

#include "corvane.h"

struct TcpInfo;
struct ssl_st;

// What the next open does about TLS (FtpSession::TlsMode).
enum { FTP_TLS_OFF = 0, FTP_TLS_EXPLICIT = 1, FTP_TLS_IMPLICIT = 2 };

// Size of ReplyText: the longest reply line kept, with its terminator.
constexpr int kFtpReplyMax = 1500;

// Exit statuses of a run, and the classes a failing command is put in: the
// run exits with the class of its first failing command, 0 when none failed.
enum {
  FTP_EXIT_OK = 0,
  FTP_EXIT_FAILED = 1,       // unknown command, bad arguments, a local error
  FTP_EXIT_USAGE = 2,        // command-line usage error: nothing was run
  FTP_EXIT_CONNECT = 3,      // host unknown, connection refused, no greeting
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

// Set by the SIGINT handler; the waits and transfers give up when it is.
extern volatile std::sig_atomic_t gFtpInterrupted;

// All run-time state of one user session. main() owns the single instance
// and passes its address down; no function keeps the pointer beyond a call.
struct FtpSession {
  int DataSocket;                // current data connection, -1 when none
  int ControlSocket;             // FTP control connection, -1 when none
  int ListenSocket;              // active-mode listening socket, -1 when none
  TcpInfo *HostInfo;             // control connection's address record (owned)
  TcpInfo *DataHostInfo;         // last passive data connection's record (owned)
  int ReplyCode;                 // code of the last reply
  char ReplyText[kFtpReplyMax];  // text of the last reply, terminated
  int TransferType;              // 0 unset, 1 ascii, 2 binary, 3 ebcdic
  int InputReady;                // result of the last keyboard read
  int Connected;                 // control connection open
  int Debug;                     // echo commands sent and queue calls
  int Verbose;                   // echo replies and queue successes
  int HashMarks;                 // print '#' per block received
  int Passive;                   // PASV instead of PORT
  int AutoLogin;                 // log in right after open
  CVHCONN Hconn;                 // queue manager connection, -1 when none
  CVHOBJ Hobj;                   // open queue, -1 when none (see ftp_cv.h)
  char QMgrName[48];             // not necessarily terminated: print with %.*s
  char QName[48];                // same form
  int Persistence;               // CVPER_PERSISTENT or CVPER_NOT_PERSISTENT
  int Timeout;                   // seconds any network wait may take
  int ExitOnError;               // end the run at the first failing command
  int Failure;                   // class of the running command's first failure, 0 none
  int Interrupted;               // the running command was interrupted
  int Status;                    // the run's exit status so far
  char LastVerb[8];              // verb of the last command sent, for messages
  int TlsMode;                   // FTP_TLS_OFF, FTP_TLS_EXPLICIT or FTP_TLS_IMPLICIT
  int TlsInsecure;               // certificates are not verified
  char TlsCaFile[1024];          // CA bundle; "" for the system's CA store
  char TlsHost[256];             // the host as given, which the certificate must name
  struct ssl_st *ControlTls;     // TLS of the control connection, null when clear
  struct ssl_st *DataTls;        // TLS of the data connection, null when clear
  int DataProtected;             // PROT P is in force: data connections use TLS
  int UseEpsv;                   // extended passive mode (EPSV) for this connection
  int UseEprt;                   // extended active mode (EPRT) for this connection
  char ControlIn[4096];          // bytes read from the control connection, not yet taken
  int ControlInStart;            // the first of them
  int ControlInEnd;              // one past the last
  int SafePut;                   // put stores through a temporary name, then renames
  char RemoteDir[1024];          // the server's current directory as PWD said, "" unknown
  int RemoteDirKnown;            // RemoteDir was asked for since the last open or cd
};

// Records cls as the class of the running command's failure, unless an
// earlier failure of the same command was recorded first (it is the cause).
inline void FtpFail(FtpSession *session, int cls) {
  if (session->Failure == 0) session->Failure = cls;
}

#endif
