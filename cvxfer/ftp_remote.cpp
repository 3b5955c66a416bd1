// ftp_remote.cpp - the remote side over FTP: each operation is one command
// (or RNFR + RNTO) on the control connection, or a transfer or listing on a
// data connection.
#include "ftp_remote.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_ctrl.h"
#include "ftp_list.h"
#include "ftp_tls.h"
#include "ftp_xfer.h"
#include "tcp_util.h"

namespace {

// 0 when the last reply was a positive completion, else -1 with the
// refusal recorded (or the lost connection).
int FtpRemoteResult(FtpSession *session, int reply) {
  if (session->Ctl.Connected && FtpPositive(reply)) return 0;
  FtpFail(session, FTP_EXIT_REFUSED);
  return -1;
}

int FtpRemoteList(FtpSession *session, const char *dir, std::vector<std::string> *names) {
  return FtpNameList(session, dir, names);
}

int FtpRemoteShow(FtpSession *session, const char *path, bool longForm) {
  return longForm ? FtpLIST(session, path) : FtpNLST(session, path);
}

// The text after "213 " of the last reply, blanks skipped.
std::string FtpReply213(const FtpSession *session) {
  const char *text = session->Ctl.ReplyText + 4;
  std::string value = text + std::strspn(text, " ");
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
  return value;
}

// The number of a "213 <size>" reply, or UINT64_MAX.
uint64_t FtpSizeOf(const FtpSession *session) {
  const std::string size = FtpReply213(session);
  char *end = nullptr;
  const unsigned long long value = std::strtoull(size.c_str(), &end, 10);
  return !size.empty() && *end == '\0' ? value : UINT64_MAX;
}

int FtpRemoteStat(FtpSession *session, const char *name, RemoteStat *stat) {
  const int verbose = session->Opt.Verbose;
  session->Opt.Verbose = 0;
  if (FtpCommandQuiet(session, "SIZE", name) == 213) stat->Size = FtpSizeOf(session);
  if (FtpCommandQuiet(session, "MDTM", name) == 213) stat->Mtime = FtpReply213(session);
  session->Opt.Verbose = verbose;
  return session->Ctl.Connected ? 0 : -1;
}

int FtpRemoteSize(FtpSession *session, const char *name, uint64_t *size) {
  const int reply = FtpCommand(session, "SIZE", name);
  *size = reply == 213 ? FtpSizeOf(session) : UINT64_MAX;
  return FtpRemoteResult(session, reply);
}

int FtpRemoteRetrieve(FtpSession *session, const char *name, const RemoteSink &sink,
                      uint64_t maxLength, uint64_t expected) {
  return FtpGetFileTo(session, name, sink, maxLength, expected);
}

int FtpRemoteStore(FtpSession *session, const char *name, const RemoteSource &source) {
  return FtpPutFileFrom(session, name, source);
}

int FtpRemoteRename(FtpSession *session, const char *from, const char *to) {
  // RNTO only follows an RNFR the server accepted for it.
  int reply = FtpCommand(session, "RNFR", from);
  if (reply == 350) reply = FtpCommand(session, "RNTO", to);
  return FtpRemoteResult(session, reply);
}

int FtpRemoteDelete(FtpSession *session, const char *name) {
  return FtpRemoteResult(session, FtpCommand(session, "DELE", name));
}

int FtpRemoteMkdir(FtpSession *session, const char *name) {
  return FtpRemoteResult(session, FtpCommand(session, "MKD", name));
}

int FtpRemoteRmdir(FtpSession *session, const char *name) {
  return FtpRemoteResult(session, FtpCommand(session, "RMD", name));
}

// The result of a command whose outcome is any reply below 400.
int FtpRemoteBelow400(FtpSession *session) {
  if (session->Ctl.Connected && session->Ctl.ReplyCode > 0 && session->Ctl.ReplyCode < 400) {
    return 0;
  }
  FtpFail(session, FTP_EXIT_REFUSED);
  return -1;
}

int FtpRemoteCd(FtpSession *session, const char *dir) {
  FtpCD(session, dir);
  return FtpRemoteBelow400(session);
}

int FtpRemoteType(FtpSession *session, int *type) {
  FtpTYPE(session, kFtpTypes[*type].Wire);
  return FtpRemoteBelow400(session);
}

int FtpRemotePwd(FtpSession *session) {
  FtpPWD(session);
  return FtpRemoteResult(session, session->Ctl.ReplyCode);
}

// The directory of a 257 reply: "dir" with any quote inside doubled.
std::string FtpQuotedDir(const char *reply) {
  const char *open = std::strchr(reply, '"');
  std::string dir;
  for (const char *c = open != nullptr ? open + 1 : ""; *c != '\0'; c++) {
    if (*c == '"' && c[1] == '"') {
      dir += '"';
      c++;
    } else if (*c == '"') {
      break;
    } else {
      dir += *c;
    }
  }
  return dir;
}

const char *FtpRemoteCurrentDir(FtpSession *session) {
  FtpControl &ctl = session->Ctl;
  if (ctl.RemoteDirKnown) return ctl.RemoteDir;
  ctl.RemoteDirKnown = 1;
  ctl.RemoteDir[0] = '\0';
  // Echoed like any command; its reply is shown only when it is no answer.
  const int verbose = session->Opt.Verbose;
  session->Opt.Verbose = 0;
  const int reply = FtpCommand(session, "PWD", nullptr);
  session->Opt.Verbose = verbose;
  if (reply == 257 && std::strchr(ctl.ReplyText, '"') != nullptr) {
    std::snprintf(ctl.RemoteDir, sizeof(ctl.RemoteDir), "%s", FtpQuotedDir(ctl.ReplyText).c_str());
  } else if (!ctl.Connected && verbose && ctl.ReplyCode == 421) {
    std::printf("%s", ctl.ReplyText);
    std::fflush(stdout);
  }
  return ctl.RemoteDir;
}

std::string FtpRemoteServer(FtpSession *session) {
  unsigned port = 0;
  if (session->Ctl.HostInfo != nullptr && session->Ctl.HostInfo->Count > 0) {
    const auto &addr = session->Ctl.HostInfo->Addr[0];
    port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(addr).sin6_port
                                            : reinterpret_cast<const sockaddr_in &>(addr).sin_port);
  }
  // The host as given, never the user or the password.
  const bool v6 = std::strchr(session->Ctl.Host, ':') != nullptr;
  return (v6 ? "[" : "") + std::string(session->Ctl.Host) + (v6 ? "]:" : ":") +
         std::to_string(port);
}

// The peer's address and the protection of both channels.
void FtpRemoteStatus(FtpSession *session) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  char address[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (getpeername(session->Ctl.Socket, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
    const bool v6 = peer.ss_family == AF_INET6;
    const auto &in4 = reinterpret_cast<const sockaddr_in &>(peer);
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(peer);
    inet_ntop(peer.ss_family, v6 ? static_cast<const void *>(&in6.sin6_addr) : &in4.sin_addr,
              address, sizeof(address));
    port = ntohs(v6 ? in6.sin6_port : in4.sin_port);
  }
  std::printf("Peer: %s port %u\n", address, port);
  std::printf("Control connection: %s%s\n", session->Ctl.Tls != nullptr ? "protected, " : "clear",
              session->Ctl.Tls != nullptr ? FtpTlsVersion(session->Ctl.Tls) : "");
  std::printf("Data connections: %s\n", session->Data.Protected ? "protected" : "clear");
}

}  // namespace

const RemoteOps kFtpRemote = {
    "ftp",           FtpRemoteList,       FtpRemoteShow,   FtpRemoteStat,
    FtpRemoteSize,   FtpRemoteRetrieve,   FtpRemoteStore,  FtpRemoteRename,
    FtpRemoteDelete, FtpRemoteMkdir,      FtpRemoteRmdir,  FtpRemoteCd,
    FtpRemotePwd,    FtpRemoteCurrentDir, FtpRemoteServer, FtpRemoteStatus,
    FtpQUIT,         FtpRemoteType,
};
