// sftp_conn.h - the SSH connection of an sftp:// open, through libssh: the
// server's host key checked against known_hosts, the login (ssh-agent,
// keys, password), the channel of the SFTP subsystem and the bytes on it.
// Owns FtpSession::Sftp, and sets Ctl.Connected, Ctl.Host and Ctl.HostInfo
// while the connection stands.
//
// libssh is never left to wait on its own: the session does not block, and
// every wait is FtpWait's, bounded by -t and cut short by SIGINT, like
// every wait of an FTP conversation.
#ifndef CVXFER_SFTP_CONN_H
#define CVXFER_SFTP_CONN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <libssh/libssh.h>

#include "ftp_session.h"

struct SftpConn {
  // The connection (sftp_conn).
  ssh_session Ssh = nullptr;
  ssh_channel Channel = nullptr;
  int Socket = -1;
  unsigned short Port = 22;
  std::string KnownHosts;  // the known_hosts file the host key was checked against
  std::string HostKey;     // the server's key: "TYPE SHA256:fingerprint"
  std::string Out;         // bytes for the channel; those before OutStart are sent
  size_t OutStart = 0;
  std::string In;          // bytes from the channel; those before InStart are taken
  size_t InStart = 0;
  // When the channel must have moved a byte by (FtpNowMs; 0: it just did).
  // sshd's keep-alives wake the wait but move nothing: they must not
  // stretch it while the SFTP server behind them says nothing.
  long long QuietUntil = 0;
  // The SFTP conversation on it (sftp_wire).
  uint32_t NextId = 1;      // identifier of the next request
  uint32_t Version = 0;     // the protocol version the server speaks
  bool PosixRename = false;  // the server has posix-rename@openssh.com
  std::string Cwd;          // the current directory, as the server named it
};

// Connects to host on port (0: 22), checks the server's host key, logs in
// as user with password (null: asked for at "Password:" when the server
// wants one and no key was taken) and opens the SFTP subsystem. Prints
// "Connected to NAME" once the TCP connection stands. Returns 0, or -1
// with the failure said and recorded (connect 3, login 4, host key 5,
// time-out 8) and nothing left open.
int SftpConnect(FtpSession *session, const char *host, unsigned short port, const char *user,
                const char *password);

// Moves bytes: what Out holds to the channel, what the channel has into In;
// waits for the connection only when neither moved, until the channel has
// moved nothing for -t (other SSH traffic, keep-alives, does not count; a
// slow drain of bytes libssh holds back does). what
// names the wait in a time-out message. Returns 0, or -1 after saying why
// (the failure recorded; the connection is dropped unless an interrupt
// ended the wait).
int SftpPump(FtpSession *session, const char *what);

// Ends the connection without a word and frees its record; Ctl.Connected
// goes to 0. Nothing happens without a connection.
void SftpDrop(FtpSession *session);

#endif
