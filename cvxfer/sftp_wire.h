// sftp_wire.h - the SFTP conversation (protocol version 3, as OpenSSH
// speaks it) on the channel sftp_conn opened: packets built and read,
// requests paired with their responses by identifier, so that a response
// an abandoned command left behind is never taken for another's. Owns the
// conversation's fields of SftpConn.
//
// libssh 0.10 has no pipelined writes and no posix-rename; packets are
// made here so that transfers can keep many requests in flight both ways.
#ifndef CVXFER_SFTP_WIRE_H
#define CVXFER_SFTP_WIRE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp_session.h"

// Packet types and status codes (draft-ietf-secsh-filexfer-02).
enum {
  SFTP_INIT = 1, SFTP_VERSION = 2, SFTP_OPEN = 3, SFTP_CLOSE = 4, SFTP_READ = 5,
  SFTP_WRITE = 6, SFTP_FSTAT = 8, SFTP_OPENDIR = 11, SFTP_READDIR = 12, SFTP_REMOVE = 13,
  SFTP_MKDIR = 14, SFTP_RMDIR = 15, SFTP_REALPATH = 16, SFTP_STAT = 17, SFTP_RENAME = 18,
  SFTP_STATUS = 101, SFTP_HANDLE = 102, SFTP_DATA = 103, SFTP_NAME = 104, SFTP_ATTRS = 105,
  SFTP_EXTENDED = 200,
};
enum { SFTP_OK = 0, SFTP_EOF = 1, SFTP_NO_SUCH_FILE = 2, SFTP_FAILURE = 4 };
// OPEN's flags.
enum { SFTP_OPEN_READ = 1, SFTP_OPEN_WRITE = 2, SFTP_OPEN_CREATE = 8, SFTP_OPEN_TRUNCATE = 16 };

// A file's attributes, as far as the server told them.
struct SftpAttrs {
  uint32_t Flags = 0;  // which of the rest were told (SFTP_ATTR_*)
  uint64_t Size = 0;
  uint32_t Permissions = 0;
  uint32_t Mtime = 0;  // seconds since 1970
};
enum { SFTP_ATTR_SIZE = 1, SFTP_ATTR_UIDGID = 2, SFTP_ATTR_PERMISSIONS = 4, SFTP_ATTR_TIME = 8 };

// A response read from its payload (the bytes after the identifier).
struct SftpReader {
  std::string_view Rest;
  bool Bad = false;  // a field ran past the end
};

// Appends a field to a request's body.
void SftpPutU32(std::string *body, uint32_t value);
void SftpPutU64(std::string *body, uint64_t value);
void SftpPutString(std::string *body, std::string_view text);

// Takes a field from r (0 or empty, with r->Bad, past the end).
uint32_t SftpGetU32(SftpReader *r);
uint64_t SftpGetU64(SftpReader *r);
std::string_view SftpGetString(SftpReader *r);
SftpAttrs SftpGetAttrs(SftpReader *r);

// Starts the conversation (INIT, VERSION and its extensions) and asks
// where it begins (REALPATH "."). Returns 0, or -1 said and recorded.
int SftpWireStart(FtpSession *session);

// Queues request type with body (its fields after the identifier) for
// sending; returns its identifier. Nothing waits.
uint32_t SftpSend(FtpSession *session, uint8_t type, std::string_view body);

// Queues WRITE of data at offset of the file open as handle; returns its
// identifier. The data is copied once, straight into the outgoing bytes.
uint32_t SftpSendWrite(FtpSession *session, std::string_view handle, uint64_t offset,
                       std::string_view data);

// Reads the next whole response into *type, *id and *payload (the bytes
// after the identifier), sending what is queued meanwhile. Returns 0, or
// -1 (the connection failed or a wait ran out; said and recorded).
int SftpNextResponse(FtpSession *session, uint8_t *type, uint32_t *id, std::string *payload);

// Sends request type with body and waits for its own response; responses
// to other identifiers (left by an abandoned command) are dropped. echo,
// when not null, is shown as "--> ECHO" in debug mode. Returns 0 with the
// response, or -1 as SftpNextResponse.
int SftpCall(FtpSession *session, uint8_t type, std::string_view body, const char *echo,
             uint8_t *rtype, std::string *payload);

// The code of a STATUS payload, its message into *message (the code's
// meaning when the server sent none).
uint32_t SftpStatusOf(std::string_view payload, std::string *message);

// Says that the server refused name ("cvxfer: [NAME] MESSAGE") with the
// response rtype / payload, and records cls. Returns -1.
int SftpRefused(FtpSession *session, const char *name, uint8_t rtype, std::string_view payload,
                int cls = FTP_EXIT_REFUSED);

// A request that is answered with a status only: 0 when it is OK, else -1
// after SftpRefused.
int SftpCallStatus(FtpSession *session, uint8_t type, std::string_view body, const char *echo,
                   const char *name);

// name made absolute against the current directory (a name that starts
// with "/" already is).
std::string SftpPath(const FtpSession *session, std::string_view name);

// Closes handle, the status awaited; even after an interrupt, which is put
// back afterwards (a second one gives the connection up). Returns 0 when
// the server confirmed it.
int SftpCloseHandle(FtpSession *session, std::string_view handle);

#endif
