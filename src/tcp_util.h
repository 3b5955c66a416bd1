// tcp_util.h - the client side of TCP/IP: address records, connect, send,
// a bounded wait for input, socket options, error texts.
#ifndef CVXFER_TCP_UTIL_H
#define CVXFER_TCP_UTIL_H

#include <netdb.h>
#include <netinet/in.h>

// Most addresses of one host that are tried in turn.
enum { TCP_MAX_ADDRESSES = 8 };

// Host address record made by TcpSetInfo; one heap block that the caller
// releases with free().
struct TcpInfo {
  char HostName[256];                               // resolver's official name, else the text
  int Count;                                        // addresses, in the resolver's order
  struct sockaddr_storage Addr[TCP_MAX_ADDRESSES];  // IPv4 or IPv6, port set
  socklen_t AddrLength[TCP_MAX_ADDRESSES];
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
};

// Seconds a listing waits for more data before it ends.
constexpr int kTcpRecvWaitSeconds = 5;

// Prepare and release the socket layer; nothing to do here, always 0.
int TcpInit(void);
int TcpCleanUp(void);

// Resolves host (an IPv4 or IPv6 address, brackets allowed, or a name) for
// port, waiting at most timeoutSeconds (below 0: as long as the resolver
// does). Returns a new record with every address of the host, IPv4 and IPv6,
// in the resolver's order, and sets *rc 0; or returns null with *rc -3
// (unknown host), -2 (port 0), -6 (no memory) or -8 (time-out).
TcpInfo *TcpSetInfo(const char *host, unsigned short port, int *rc, int timeoutSeconds = -1);

// Opens a stream connection to the first address of info that answers,
// trying them in order, into *fd, all within timeoutSeconds (below 0: as
// long as the system does). Returns 0, -4 (no socket), -5 (every connect
// failed, errno telling why the last did), -7 (a signal interrupted
// the wait) or -8 (time-out); *fd is -1 then.
int TcpConnect(int *fd, const TcpInfo *info, int timeoutSeconds = -1);

// Fills an address record for one socket address (a data connection's).
// Returns 0, or -6 when addr does not fit.
int TcpSetInfoAddress(TcpInfo *info, const struct sockaddr *addr, socklen_t length);

// Closes fd; 0 on success, -1 otherwise.
int TcpClose(int fd);

// Sends all length bytes; 0 when all went out, -1 otherwise (after
// "error send on socket %d"). A peer that has gone never raises SIGPIPE.
int TcpSend(int fd, const void *bytes, int length);

// Waits for fd to become readable: above 0 readable, 0 time-out, -1 failure.
int TcpWait(int fd, int seconds, int microseconds);

// Returns the constant text of a result code.
const char *TCPIPErrorString(int code);

// Stores the login name of the real user (at most *length - 1 characters,
// terminated), sets *length to its full length and returns 1; returns 0 and
// changes nothing when there is none.
int GetUserName(char *buffer, int *length);

// Socket options; each returns the option call's result (0 or -1).
int SetSocketKeepAlive(int fd, int on);
int SetSocketTypeOfService(int fd, int tos);

#endif
