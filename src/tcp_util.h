// tcp_util.h - the client side of TCP/IP: address records, connect, send,
// receive with a bounded wait, line reading, socket options, error texts.
#ifndef CVXFER_TCP_UTIL_H
#define CVXFER_TCP_UTIL_H

#include <netdb.h>
#include <netinet/in.h>

// Host address record made by TcpSetInfo; one heap block that the caller
// releases with free().
struct TcpInfo {
  char HostName[256];           // resolver's official name, else the text given
  struct sockaddr_in SockAddr;  // AF_INET, port and address in network order
  struct hostent *HostEnt;      // resolver's entry; not owned, not to be kept
};

// Result codes of the layer (0 is success).
enum {
  TCP_ERROR = -1,
  TCP_BAD_PORT = -2,
  TCP_HOST_UNKNOWN = -3,
  TCP_NO_SOCKET = -4,
  TCP_CONNECT_FAILED = -5,
  TCP_NO_MEMORY = -6,
  TCP_INTERRUPTED = -7,
  TCP_TIMEOUT = -8,
  TCP_PEER_CLOSED = -10,
};

// Seconds TcpRecv waits for data.
constexpr int kTcpRecvWaitSeconds = 5;

// Prepare and release the socket layer; nothing to do here, always 0.
int TcpInit(void);
int TcpCleanUp(void);

// Resolves host (dotted IPv4 address or name) for port. Returns a new record
// and sets *rc 0, or returns null with *rc -3 (unknown host), -2 (port 0) or
// -6 (no memory).
TcpInfo *TcpSetInfo(const char *host, unsigned short port, int *rc);

// Opens a stream connection to info's address into *fd, waiting at most
// timeoutSeconds for it (below 0: as long as the system does). Returns 0, -4
// (no socket), -5 (connect failed, after perror("connect")), -7 (a signal
// interrupted the wait) or -8 (time-out); *fd is -1 then.
int TcpConnect(int *fd, const TcpInfo *info, int timeoutSeconds = -1);

// Closes fd; 0 on success, -1 otherwise.
int TcpClose(int fd);

// Sends all length bytes; 0 when all went out, -1 otherwise (after
// "error send on socket %d"). A peer that has gone never raises SIGPIPE.
int TcpSend(int fd, const void *bytes, int length);

// Waits at most 5 seconds for fd to become readable, then receives once at
// most length bytes. Returns the count, 0 for a null buffer or length 0, or
// -1 (error), -7 (interrupted), -8 (time-out), -10 (peer closed).
int TcpRecv(int fd, void *buffer, int length);

// Waits for fd to become readable: above 0 readable, 0 time-out, -1 failure.
int TcpWait(int fd, int seconds, int microseconds);

// Reads one byte at a time up to and including the first LF, at most max
// bytes; waits without limit. Returns the number of bytes stored (no
// terminator is written).
int TcpGetLine(int fd, char *buffer, int max);

// Returns the constant text of a result code.
const char *TCPIPErrorString(int code);

// Stores the login name of the real user (at most *length - 1 characters,
// terminated), sets *length to its full length and returns 1; returns 0 and
// changes nothing when there is none.
int GetUserName(char *buffer, int *length);

// Socket options; each returns the option call's result (0 or -1).
int SetSocketKeepAlive(int fd, int on);
int SetSocketInlineOutOfBandData(int fd, int on);
int SetSocketTypeOfService(int fd, int tos);
int SetSocketLinger(int fd, int on, int seconds);

#endif
