// ftp_data.h - data connections: passive (PASV, EPSV) and active (PORT,
// EPRT) set-up, accepting the server's connection, TLS on the data
// connection, and closing it. Owns FtpSession::Data. Data connections are
// made only with the control connection's peer.
#ifndef CVXFER_FTP_DATA_H
#define CVXFER_FTP_DATA_H

#include <cstdint>
#include <cstdio>

#include "ftp_session.h"

// Sets up the data side in the session's mode: passive connects now,
// active listens and announces its address. Returns 0, or -1 after saying
// why (nothing is left open).
int FtpDataSetup(FtpSession *session);

// Sends the transfer or listing command text, then, in active mode, accepts
// the server's connection ("Cannot accept connection." goes to acceptOut,
// when not null, when that fails), then puts the connection under TLS when PROT P is
// in force. refused tells which first replies refuse the command. Returns 1
// when the data can flow, 0 after recording the failure and closing the
// data side.
int FtpDataStart(FtpSession *session, const char *text, bool (*refused)(int reply),
                 FILE *acceptOut);

// Closes the data connection after the data went through, ending its TLS
// with close_notify (an upload is complete only with it), bounded by -t.
void FtpDataClose(FtpSession *session);

// Closes whatever the data side has open, without a word to the server:
// the data connection is reset, so that no cut upload reads as whole.
void FtpDataAbort(FtpSession *session);

// Active mode: listens on the control connection's local address and
// announces it with PORT or EPRT. Returns the listening socket (also in
// Data.Listen) or -1 (nothing left open).
int FtpGetListenSocket(FtpSession *session);

// Active mode: waits for the server's data connection; connections from
// any address but the control connection's peer are refused. Stops waiting
// when the server answers on the control connection instead. Returns the
// data socket (also in Data.Socket) or -1; the listening socket is closed.
int FtpAcceptConnection(FtpSession *session);

// Passive mode: PASV (or EPSV), then a connection to the port of its reply
// at the control connection's peer. Returns the data socket (also in
// Data.Socket) or -1.
int FtpGetDataConnection(FtpSession *session);

// Parses the address of a PASV reply: the host text between "(" and the
// fourth comma with the first three commas made dots, into host (size
// bytes), and the port from the two numbers after it. Returns 0, or -1 when
// no address can be formed.
int FtpParsePasvReply(const char *reply, char *host, int size, unsigned short *port);

// Parses the port of an EPSV reply (RFC 2428): "(|||port|)" with any
// printable delimiter. Returns 0, or -1 when there is none.
int FtpParseEpsvReply(const char *reply, unsigned short *port);

// Formats the PORT command for address and port (both in network order)
// into text (64 bytes); returns its length.
int FtpFormatPortCmd(char *text, uint32_t address, uint16_t port);

#endif
