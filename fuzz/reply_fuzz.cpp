// The server's side of the control connection is the input: whatever it
// sends, reading replies must end, keep its bounds and never crash.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ftp_client.h"
#include "ftp_session.h"
#include "ftp_ctrl.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The whole input must fit in the socket buffer, as it is written before
  // the reader starts.
  if (size > 60000) return -1;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) {
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  close(fds[1]);  // end of the input is the server going away

  FtpSession session;
  std::memset(&session, 0, sizeof(session));
  FtpInit(&session);
  session.Opt.Verbose = 1;
  session.Ctl.Connected = 1;
  session.Ctl.Socket = fds[0];
  // Every reply either consumes input or ends the connection, so this ends.
  for (int i = 0; i < 1000 && session.Ctl.Connected; i++) {
    int code = FtpGetReply(&session);
    if (std::strlen(session.Ctl.ReplyText) >= sizeof(session.Ctl.ReplyText)) __builtin_trap();
    if (code == -1) break;
    if (code < -99 || code > 999)
      __builtin_trap();  // at most three characters are read as the code
  }
  if (session.Ctl.Socket >= 0) close(session.Ctl.Socket);
  FtpCleanUp(&session);
  return 0;
}
