// sftp_wire.cpp - SFTP packets: a length, a type, an identifier and the
// fields, all big-endian, on the channel of sftp_conn.
#include "sftp_wire.h"

#include <cstdio>
#include <cstring>

#include "ftp_clock.h"
#include "ftp_io.h"
#include "sftp_conn.h"

namespace {

// Longest packet taken from a server: a read's data (at most 256 KiB here)
// with room for its header. Anything longer is no SFTP server's.
constexpr uint32_t kSftpPacketMax = (1 << 18) + 1024;

const char kSftpAnswerWhat[] = "the server's answer";

// Appends one packet: length, type, then word (the identifier, or the
// version of INIT) and body.
void SftpQueue(SftpConn *c, uint8_t type, uint32_t word, std::string_view body) {
  SftpPutU32(&c->Out, static_cast<uint32_t>(body.size() + 5));
  c->Out += static_cast<char>(type);
  SftpPutU32(&c->Out, word);
  c->Out.append(body);
}

// Says that the server broke the protocol and drops the connection. Returns -1.
int SftpBroken(FtpSession *session, const char *why) {
  std::printf("cvxfer: the SFTP server %s; connection closed.\n", why);
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_INCOMPLETE);
  SftpDrop(session);
  return -1;
}

const char *SftpStatusText(uint32_t code) {
  static const char *const kTexts[] = {"OK",          "End of file",        "No such file",
                                       "Permission denied", "Failure",     "Bad message",
                                       "No connection",     "Connection lost",
                                       "Operation unsupported"};
  return code < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[code] : "Failure";
}

}  // namespace

void SftpPutU32(std::string *body, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  body->append(bytes, 4);
}

void SftpPutU64(std::string *body, uint64_t value) {
  SftpPutU32(body, static_cast<uint32_t>(value >> 32));
  SftpPutU32(body, static_cast<uint32_t>(value));
}

void SftpPutString(std::string *body, std::string_view text) {
  SftpPutU32(body, static_cast<uint32_t>(text.size()));
  body->append(text);
}

uint32_t SftpGetU32(SftpReader *r) {
  if (r->Rest.size() < 4) {
    r->Bad = true;
    r->Rest = {};
    return 0;
  }
  const auto *p = reinterpret_cast<const unsigned char *>(r->Rest.data());
  r->Rest.remove_prefix(4);
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint64_t SftpGetU64(SftpReader *r) {
  const uint64_t high = SftpGetU32(r);
  return high << 32 | SftpGetU32(r);
}

std::string_view SftpGetString(SftpReader *r) {
  const uint32_t length = SftpGetU32(r);
  if (r->Bad || length > r->Rest.size()) {
    r->Bad = true;
    r->Rest = {};
    return {};
  }
  const std::string_view text = r->Rest.substr(0, length);
  r->Rest.remove_prefix(length);
  return text;
}

SftpAttrs SftpGetAttrs(SftpReader *r) {
  SftpAttrs a;
  a.Flags = SftpGetU32(r);
  if (a.Flags & SFTP_ATTR_SIZE) a.Size = SftpGetU64(r);
  if (a.Flags & SFTP_ATTR_UIDGID) SftpGetU64(r);
  if (a.Flags & SFTP_ATTR_PERMISSIONS) a.Permissions = SftpGetU32(r);
  if (a.Flags & SFTP_ATTR_TIME) {
    SftpGetU32(r);  // the access time
    a.Mtime = SftpGetU32(r);
  }
  if (a.Flags & 0x80000000u) {  // extended pairs
    for (uint32_t n = SftpGetU32(r); n > 0 && !r->Bad; n--) {
      SftpGetString(r);
      SftpGetString(r);
    }
  }
  return a;
}

int SftpWireStart(FtpSession *session) {
  SftpConn *c = session->Sftp;
  SftpQueue(c, SFTP_INIT, 3, {});
  uint8_t type = 0;
  uint32_t version = 0;
  std::string payload;
  if (SftpNextResponse(session, &type, &version, &payload) != 0) return -1;
  if (type != SFTP_VERSION || version < 3) return SftpBroken(session, "speaks no version 3");
  c->Version = version;
  SftpReader r{payload};
  while (!r.Rest.empty() && !r.Bad) {
    const std::string_view name = SftpGetString(&r);
    const std::string_view data = SftpGetString(&r);
    if (name == "posix-rename@openssh.com" && data == "1") c->PosixRename = true;
  }
  std::string body;
  SftpPutString(&body, ".");
  if (SftpCall(session, SFTP_REALPATH, body, nullptr, &type, &payload) != 0) return -1;
  SftpReader name{payload};
  const uint32_t count = SftpGetU32(&name);
  const std::string_view dir = SftpGetString(&name);
  if (type != SFTP_NAME || count < 1 || name.Bad) {
    return SftpBroken(session, "did not name the start directory");
  }
  c->Cwd = dir;
  return 0;
}

uint32_t SftpSend(FtpSession *session, uint8_t type, std::string_view body) {
  SftpConn *c = session->Sftp;
  const uint32_t id = c->NextId++;
  SftpQueue(c, type, id, body);
  return id;
}

uint32_t SftpSendWrite(FtpSession *session, std::string_view handle, uint64_t offset,
                       std::string_view data) {
  SftpConn *c = session->Sftp;
  const uint32_t id = c->NextId++;
  const size_t length = 4 + handle.size() + 8 + 4 + data.size();
  SftpPutU32(&c->Out, static_cast<uint32_t>(length + 5));
  c->Out += static_cast<char>(SFTP_WRITE);
  SftpPutU32(&c->Out, id);
  SftpPutString(&c->Out, handle);
  SftpPutU64(&c->Out, offset);
  SftpPutString(&c->Out, data);
  return id;
}

int SftpNextResponse(FtpSession *session, uint8_t *type, uint32_t *id, std::string *payload) {
  for (;;) {
    SftpConn *c = session->Sftp;
    if (c == nullptr) return -1;
    const size_t have = c->In.size() - c->InStart;
    if (have >= 4) {
      SftpReader head{std::string_view(c->In).substr(c->InStart, 4)};
      const uint32_t length = SftpGetU32(&head);
      if (length < 5 || length > kSftpPacketMax) return SftpBroken(session, "sent a malformed packet");
      if (have >= 4 + static_cast<size_t>(length)) {
        const char *p = c->In.data() + c->InStart + 4;
        *type = static_cast<uint8_t>(p[0]);
        SftpReader word{std::string_view(p + 1, 4)};
        *id = SftpGetU32(&word);
        payload->assign(p + 5, length - 5);
        c->InStart += 4 + static_cast<size_t>(length);
        return 0;
      }
    }
    if (SftpPump(session, kSftpAnswerWhat) != 0) return -1;
  }
}

int SftpCall(FtpSession *session, uint8_t type, std::string_view body, const char *echo,
             uint8_t *rtype, std::string *payload) {
  if (session->Sftp == nullptr) return -1;
  if (echo != nullptr && session->Opt.Debug) {
    std::printf("--> %s\n", echo);
    std::fflush(stdout);
  }
  const uint32_t id = SftpSend(session, type, body);
  for (;;) {
    uint32_t got = 0;
    if (SftpNextResponse(session, rtype, &got, payload) != 0) return -1;
    if (got == id) return 0;
  }
}

uint32_t SftpStatusOf(std::string_view payload, std::string *message) {
  SftpReader r{payload};
  const uint32_t code = SftpGetU32(&r);
  *message = SftpGetString(&r);
  if (r.Bad) return SFTP_FAILURE;
  if (message->empty()) *message = SftpStatusText(code);
  return code;
}

int SftpRefused(FtpSession *session, const char *name, uint8_t rtype, std::string_view payload,
                int cls) {
  std::string message = "unexpected answer";
  if (rtype == SFTP_STATUS) SftpStatusOf(payload, &message);
  std::printf("cvxfer: [%s] %s\n", FtpPrintable(name).c_str(), FtpPrintable(message).c_str());
  std::fflush(stdout);
  FtpFail(session, cls);
  return -1;
}

int SftpCallStatus(FtpSession *session, uint8_t type, std::string_view body, const char *echo,
                   const char *name) {
  uint8_t rtype = 0;
  std::string payload, message;
  if (SftpCall(session, type, body, echo, &rtype, &payload) != 0) return -1;
  if (rtype == SFTP_STATUS && SftpStatusOf(payload, &message) == SFTP_OK) return 0;
  return SftpRefused(session, name, rtype, payload);
}

std::string SftpPath(const FtpSession *session, std::string_view name) {
  // Without a connection nothing is sent: the name only has to be shown.
  if (session->Sftp == nullptr) return std::string(name);
  const std::string &cwd = session->Sftp->Cwd;
  if (!name.empty() && name[0] == '/') return std::string(name);
  if (name.empty()) return cwd;
  return cwd + (!cwd.empty() && cwd.back() == '/' ? "" : "/") + std::string(name);
}

int SftpCloseHandle(FtpSession *session, std::string_view handle) {
  // What an interrupted command opened is closed all the same.
  const int interrupted = session->Run.Interrupted;
  session->Run.Interrupted = 0;
  if (interrupted) FtpInterruptClear();
  std::string body, payload, message;
  SftpPutString(&body, handle);
  uint8_t rtype = 0;
  const int rc = SftpCall(session, SFTP_CLOSE, body, nullptr, &rtype, &payload) == 0 &&
                         rtype == SFTP_STATUS && SftpStatusOf(payload, &message) == SFTP_OK
                     ? 0
                     : -1;
  if (interrupted) session->Run.Interrupted = 1;
  return rc;
}
