// ftp_client.cpp - the start and the end of a client session.
#include "ftp_client.h"

#include <cstdlib>
#include <cstring>

#include "ftp_ctrl.h"
#include "ftp_data.h"
#include "ftp_remote.h"
#include "ftp_tls.h"
#include "sftp_conn.h"
#include "tcp_util.h"

int FtpInit(FtpSession *session) {
  std::memset(&session->Ctl, 0, sizeof(session->Ctl));
  std::memset(&session->Data, 0, sizeof(session->Data));
  std::memset(&session->Run, 0, sizeof(session->Run));
  std::memset(&session->Login, 0, sizeof(session->Login));
  session->Ctl.Socket = -1;
  session->Data.Socket = -1;
  session->Data.Listen = -1;
  session->Opt.Debug = 0;
  session->Opt.Verbose = 1;
  session->Opt.HashMarks = 0;
  session->Opt.Passive = 0;
  session->Opt.AutoLogin = 1;
  session->Opt.Timeout = kFtpDefaultTimeout;
  session->Run.Status = FTP_EXIT_OK;
  session->Remote = &kFtpRemote;
  return TcpInit();
}

int FtpCleanUp(FtpSession *session) {
  FtpDataAbort(session);
  std::free(session->Data.HostInfo);
  session->Data.HostInfo = nullptr;
  FtpCtlDrop(session);
  SftpDrop(session);
  std::free(session->Ctl.HostInfo);
  session->Ctl.HostInfo = nullptr;
  // A password kept for reconnecting leaves no trace in memory.
  explicit_bzero(&session->Login, sizeof(session->Login));
  FtpTlsCleanUp();
  return TcpCleanUp();
}
