// cvxfer.h - the session record shared by every layer of the program.
#ifndef CVXFER_CVXFER_H
#define CVXFER_CVXFER_H

#include "corvane.h"

struct TcpInfo;

// Size of ReplyText: the longest reply line kept, with its terminator.
constexpr int kFtpReplyMax = 1500;

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
};

#endif
