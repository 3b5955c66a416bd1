// sftp_conn.cpp - the SSH side of SFTP. The TCP connection is made as
// FTP's control connection is (same messages, same bound) and handed to
// libssh, which then runs without blocking: each step it cannot finish
// yet is retried after a bounded wait on the socket.
#include "sftp_conn.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_ctrl.h"
#include "ftp_io.h"
#include "keyb_util.h"
#include "tcp_util.h"

namespace {

// Most bytes handed to the channel in one call.
constexpr size_t kSftpIoChunk = 1 << 18;

// A call's answer that is none of libssh's: the wait before retrying it
// failed (time-out or interrupt, said and recorded).
constexpr int kSftpWaitFailed = -1000;

// Waits until libssh can move on: bytes to read, or room for those it
// holds back (its poll flags name the directions it waits in), at most
// until deadline (0: -t from now). Returns FtpWaitUntil's result.
int SftpWaitSocket(FtpSession *session, const char *what, long long deadline = 0) {
  const SftpConn *c = session->Sftp;
  const int flags = ssh_get_poll_flags(c->Ssh);
  const short events = static_cast<short>(POLLIN | ((flags & SSH_WRITE_PENDING) ? POLLOUT : 0));
  if (deadline == 0) deadline = FtpNowMs() + session->Opt.Timeout * 1000LL;
  return FtpWaitUntil(session, c->Socket, events, deadline, what);
}

// Calls step until it answers something else than again (SSH_AGAIN or
// SSH_AUTH_AGAIN, as the call has it), with a bounded wait between calls.
// Returns step's last answer, or kSftpWaitFailed.
template <typename Step>
int SftpRetry(FtpSession *session, int again, const char *what, Step step) {
  for (;;) {
    const int rc = step();
    if (rc != again) return rc;
    if (SftpWaitSocket(session, what) != FTP_IO_READY) return kSftpWaitFailed;
  }
}

// Says that the connection failed at what, with libssh's reason, records
// cls (unless a wait's failure was recorded already) and drops the
// connection. Returns -1.
int SftpFailed(FtpSession *session, const char *what, int cls) {
  if (session->Run.Failure == 0 && session->Sftp != nullptr) {
    std::printf("cvxfer: %s: %s\n", what, ssh_get_error(session->Sftp->Ssh));
  }
  std::fflush(stdout);
  FtpFail(session, cls);
  SftpDrop(session);
  return -1;
}

// $HOME/.ssh, where the keys and known_hosts are looked for ("" without HOME).
std::string SftpSshDir() {
  const char *home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? std::string(home) + "/.ssh" : "";
}

// Sets up the libssh session on the connected socket. Returns 0 or -1.
int SftpConfigure(FtpSession *session, const char *host, const char *user) {
  SftpConn *c = session->Sftp;
  c->Ssh = ssh_new();
  socket_t fd = c->Socket;
  // libssh uses the socket from here on, but closes it only when an error
  // made it give the connection up: SftpDrop closes it otherwise.
  if (c->Ssh == nullptr || ssh_options_set(c->Ssh, SSH_OPTIONS_FD, &fd) != 0) return -1;
  const std::string dir = SftpSshDir();
  c->KnownHosts = session->Opt.SshKnownHosts[0] != '\0' ? session->Opt.SshKnownHosts
                                                         : dir + "/known_hosts";
  const unsigned int port = c->Port;
  const bool noConfig = false;  // ~/.ssh/config could name another host than the one connected
  if (ssh_options_set(c->Ssh, SSH_OPTIONS_HOST, host) != 0 ||
      ssh_options_set(c->Ssh, SSH_OPTIONS_PORT, &port) != 0 ||
      ssh_options_set(c->Ssh, SSH_OPTIONS_USER, user) != 0 ||
      ssh_options_set(c->Ssh, SSH_OPTIONS_PROCESS_CONFIG, &noConfig) != 0 ||
      ssh_options_set(c->Ssh, SSH_OPTIONS_KNOWNHOSTS, c->KnownHosts.c_str()) != 0 ||
      (!dir.empty() && ssh_options_set(c->Ssh, SSH_OPTIONS_SSH_DIR, dir.c_str()) != 0)) {
    return -1;
  }
  ssh_set_blocking(c->Ssh, 0);
  return 0;
}

// The server's key as "TYPE SHA256:fingerprint" into c->HostKey. Returns 0 or -1.
int SftpReadHostKey(SftpConn *c) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(c->Ssh, &key) != SSH_OK) return -1;
  unsigned char *hash = nullptr;
  size_t length = 0;
  const int rc = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length);
  if (rc == 0) {
    char *fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    c->HostKey = std::string(ssh_key_type_to_char(ssh_key_type(key))) + " " +
                 (fingerprint != nullptr ? fingerprint : "?");
    ssh_string_free_char(fingerprint);
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return rc == 0 ? 0 : -1;
}

// host and port as known_hosts and ssh-keygen name them.
std::string SftpKnownName(const char *host, unsigned short port) {
  return port == 22 ? std::string(host) : "[" + std::string(host) + "]:" + std::to_string(port);
}

// Checks the server's key against known_hosts. An unknown key is trusted
// only when asked for (--accept-new-host-key), and then kept; a changed
// key never is. Returns 0, or -1 after saying what the key is and how to
// trust it (the secure-channel class recorded).
int SftpCheckHostKey(FtpSession *session, const char *host) {
  SftpConn *c = session->Sftp;
  if (SftpReadHostKey(c) != 0) return SftpFailed(session, "the server's host key", FTP_EXIT_TLS);
  const std::string name = SftpKnownName(host, c->Port);
  const char *file = c->KnownHosts.c_str();
  switch (ssh_session_is_known_server(c->Ssh)) {
    case SSH_KNOWN_HOSTS_OK:
      return 0;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
      std::printf(
          "cvxfer: WARNING: the host key of %s is not the one %s holds: it is %s\n"
          "cvxfer: refused. If the server's key was changed, remove the old one with\n"
          "cvxfer:   ssh-keygen -R '%s' -f %s\n"
          "cvxfer: and connect again with --accept-new-host-key.\n",
          name.c_str(), file, c->HostKey.c_str(), name.c_str(), file);
      break;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      if (session->Opt.SshAcceptNew && ssh_session_update_known_hosts(c->Ssh) == SSH_OK) {
        std::printf("cvxfer: the host key of %s is new: %s; added to %s\n", name.c_str(),
                    c->HostKey.c_str(), file);
        std::fflush(stdout);
        return 0;
      }
      std::printf(
          "cvxfer: the host key of %s is not known: %s\n"
          "cvxfer: refused. If that is the server's key, connect once with\n"
          "cvxfer: --accept-new-host-key to trust it and keep it in %s.\n",
          name.c_str(), c->HostKey.c_str(), file);
      break;
    default:
      std::printf("cvxfer: %s cannot be read: %s\n", file, ssh_get_error(c->Ssh));
      break;
  }
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_TLS);
  SftpDrop(session);
  return -1;
}

// Tries the keys: the one of -i alone, else ssh-agent's and ~/.ssh/id_*.
// Returns SSH_AUTH_SUCCESS, another SSH_AUTH_* answer, or kSftpWaitFailed.
int SftpKeyLogin(FtpSession *session) {
  ssh_session ssh = session->Sftp->Ssh;
  const char *what = "the server to take the key";
  if (session->Opt.SshIdentity[0] == '\0') {
    return SftpRetry(session, SSH_AUTH_AGAIN, what,
                     [ssh] { return ssh_userauth_publickey_auto(ssh, nullptr, nullptr); });
  }
  ssh_key key = nullptr;
  if (ssh_pki_import_privkey_file(session->Opt.SshIdentity, nullptr, nullptr, nullptr, &key) !=
      SSH_OK) {
    std::printf("cvxfer: %s: not a private key that can be read without a passphrase\n",
                session->Opt.SshIdentity);
    std::fflush(stdout);
    return SSH_AUTH_DENIED;
  }
  const int rc = SftpRetry(session, SSH_AUTH_AGAIN, what,
                           [ssh, key] { return ssh_userauth_publickey(ssh, nullptr, key); });
  ssh_key_free(key);
  return rc;
}

// Tries the password (asked for when none was given). Returns as SftpKeyLogin.
int SftpPasswordLogin(FtpSession *session, const char *password) {
  ssh_session ssh = session->Sftp->Ssh;
  char typed[256] = {0};
  if (password == nullptr) {
    GetPassword(typed);
    password = typed;
  }
  const int rc = SftpRetry(session, SSH_AUTH_AGAIN, "the server to take the password",
                           [ssh, password] { return ssh_userauth_password(ssh, nullptr, password); });
  std::memset(typed, 0, sizeof(typed));
  return rc;
}

// Logs in: keys first (as ssh does), then the password where the server
// takes one. Returns 0, or -1 after "Login incorrect." (class 4) or a
// failed wait.
int SftpLogin(FtpSession *session, const char *password) {
  ssh_session ssh = session->Sftp->Ssh;
  int rc = SftpRetry(session, SSH_AUTH_AGAIN, "the server to answer the login",
                     [ssh] { return ssh_userauth_none(ssh, nullptr); });
  const int methods = rc == kSftpWaitFailed ? 0 : ssh_userauth_list(ssh, nullptr);
  if (rc != SSH_AUTH_SUCCESS && rc != kSftpWaitFailed && (methods & SSH_AUTH_METHOD_PUBLICKEY)) {
    rc = SftpKeyLogin(session);
  }
  if (rc != SSH_AUTH_SUCCESS && rc != kSftpWaitFailed && (methods & SSH_AUTH_METHOD_PASSWORD)) {
    rc = SftpPasswordLogin(session, password);
  }
  if (rc == SSH_AUTH_SUCCESS) return 0;
  if (rc == kSftpWaitFailed || rc == SSH_AUTH_ERROR) {
    return SftpFailed(session, "the login", FTP_EXIT_LOGIN);
  }
  std::printf("Login incorrect.\n");
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_LOGIN);
  SftpDrop(session);
  return -1;
}

// Opens a session channel and starts the SFTP subsystem on it. Returns 0 or -1.
int SftpOpenChannel(FtpSession *session) {
  SftpConn *c = session->Sftp;
  c->Channel = ssh_channel_new(c->Ssh);
  if (c->Channel == nullptr) return SftpFailed(session, "the SFTP channel", FTP_EXIT_CONNECT);
  ssh_channel channel = c->Channel;
  const char *what = "the server to open the SFTP channel";
  if (SftpRetry(session, SSH_AGAIN, what, [channel] { return ssh_channel_open_session(channel); }) !=
          SSH_OK ||
      SftpRetry(session, SSH_AGAIN, what, [channel] { return ssh_channel_request_sftp(channel); }) !=
          SSH_OK) {
    return SftpFailed(session, "the SFTP subsystem", FTP_EXIT_CONNECT);
  }
  return 0;
}

// Says that the connection is gone (the server closed it, or libssh
// failed), records an incomplete command and drops it. Returns -1.
int SftpLost(FtpSession *session, bool closed) {
  if (closed) {
    std::printf("Connection closed by remote host.\n");
  } else {
    std::printf("cvxfer: the SSH connection failed: %s\n", ssh_get_error(session->Sftp->Ssh));
  }
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);
  SftpDrop(session);
  return -1;
}

}  // namespace

int SftpConnect(FtpSession *session, const char *host, unsigned short port, const char *user,
                const char *password) {
  SftpDrop(session);
  FtpControl &ctl = session->Ctl;
  std::snprintf(ctl.Host, sizeof(ctl.Host), "%s", host);
  ctl.RemoteDirKnown = 0;
  session->Sftp = new SftpConn;
  SftpConn *c = session->Sftp;
  c->Port = port != 0 ? port : 22;
  if (FtpConnectHost(session, host, c->Port, &ctl.HostInfo, &c->Socket) != 0) {
    SftpDrop(session);
    return -1;
  }
  std::printf("Connected to %s\n", ctl.HostInfo->HostName);
  std::fflush(stdout);
  // Small requests (READs, window adjusts) go at once: Nagle's wait behind
  // a delayed ACK would stall the pipeline for tens of milliseconds.
  const int on = 1;
  setsockopt(c->Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  if (SftpConfigure(session, host, user) != 0) {
    return SftpFailed(session, "the SSH session", FTP_EXIT_CONNECT);
  }
  ssh_session ssh = c->Ssh;
  if (SftpRetry(session, SSH_AGAIN, "the SSH handshake", [ssh] { return ssh_connect(ssh); }) !=
      SSH_OK) {
    return SftpFailed(session, "the SSH handshake", FTP_EXIT_CONNECT);
  }
  if (SftpCheckHostKey(session, host) != 0 || SftpLogin(session, password) != 0 ||
      SftpOpenChannel(session) != 0) {
    return -1;
  }
  ctl.Connected = 1;
  return 0;
}

int SftpPump(FtpSession *session, const char *what) {
  SftpConn *c = session->Sftp;
  if (c == nullptr || c->Channel == nullptr) return -1;
  bool moved = false;
  if (c->OutStart < c->Out.size()) {
    const size_t n = std::min(c->Out.size() - c->OutStart, kSftpIoChunk);
    const int sent = ssh_channel_write(c->Channel, c->Out.data() + c->OutStart,
                                       static_cast<uint32_t>(n));
    if (sent == SSH_ERROR) return SftpLost(session, false);
    c->OutStart += static_cast<size_t>(sent);
    moved = sent > 0;
  }
  // Sent bytes go before the buffer grows: requests are added while it is
  // never quite empty, and it must stay as small as what is in flight.
  if (c->OutStart > 0 && c->OutStart * 2 >= c->Out.size()) {
    c->Out.erase(0, c->OutStart);
    c->OutStart = 0;
  }
  // Bytes already taken go before the buffer grows again.
  if (c->InStart > 0 && c->InStart * 2 >= c->In.size()) {
    c->In.erase(0, c->InStart);
    c->InStart = 0;
  }
  char chunk[65536];
  const int got = ssh_channel_read_nonblocking(c->Channel, chunk, sizeof(chunk), 0);
  if (got > 0) c->In.append(chunk, static_cast<size_t>(got));
  if (got == SSH_EOF) return SftpLost(session, true);
  if (got < 0) return SftpLost(session, false);
  if (moved || got > 0 || ssh_channel_poll(c->Channel, 0) > 0) {
    c->QuietUntil = 0;
    return 0;
  }
  if (c->QuietUntil == 0) c->QuietUntil = FtpNowMs() + session->Opt.Timeout * 1000LL;
  const bool held = (ssh_get_poll_flags(c->Ssh) & SSH_WRITE_PENDING) != 0;
  const int ready = SftpWaitSocket(session, what, c->QuietUntil);
  if (ready == FTP_IO_READY) {
    // Bytes libssh held back go out as the link drains: that is progress
    // on a slow link, which a live sshd never stops taking.
    if (held) c->QuietUntil = 0;
    return 0;
  }
  c->QuietUntil = 0;  // the next command's wait starts afresh
  // Whatever the server says after a time-out could not be trusted to come.
  if (ready != FTP_IO_INTERRUPTED) SftpDrop(session);
  return -1;
}

void SftpDrop(FtpSession *session) {
  SftpConn *c = session->Sftp;
  if (c == nullptr) return;
  if (c->Channel != nullptr) ssh_channel_free(c->Channel);
  if (c->Ssh != nullptr) {
    // -1 once libssh closed the socket itself; a socket it was handed
    // (SSH_OPTIONS_FD) it otherwise leaves open, even at ssh_free.
    const socket_t fd = ssh_get_fd(c->Ssh);
    // Says goodbye when it can without waiting.
    ssh_disconnect(c->Ssh);
    ssh_free(c->Ssh);
    if (fd != SSH_INVALID_SOCKET) close(fd);
  } else if (c->Socket >= 0) {
    close(c->Socket);
  }
  delete c;
  session->Sftp = nullptr;
  session->Ctl.Connected = 0;
}
