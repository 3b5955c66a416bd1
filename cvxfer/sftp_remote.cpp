// sftp_remote.cpp - the remote side over SFTP. The server keeps no current
// directory: it is kept here, and every name is made absolute against it
// before it is sent. Debug mode shows each request as "--> TYPE path".
#include "sftp_remote.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "ftp_io.h"
#include "sftp_conn.h"
#include "sftp_wire.h"
#include "sftp_xfer.h"

namespace {

// One entry of a directory as READDIR names it.
struct SftpEntry {
  std::string Name;
  std::string Long;  // the server's "ls -l" line; may be empty
  SftpAttrs Attrs;
};

// Hands the entries of one NAME response to each, "." and ".." left out.
// Returns 0, each's non-zero, or -1 when the response is malformed.
int SftpTakeNames(std::string_view payload, const std::function<int(SftpEntry &&)> &each) {
  SftpReader r{payload};
  for (uint32_t n = SftpGetU32(&r); n > 0 && !r.Bad; n--) {
    SftpEntry e;
    e.Name = SftpGetString(&r);
    e.Long = SftpGetString(&r);
    e.Attrs = SftpGetAttrs(&r);
    if (r.Bad) break;
    if (e.Name == "." || e.Name == "..") continue;
    if (int rc = each(std::move(e)); rc != 0) return rc;
  }
  return r.Bad ? -1 : 0;
}

// Reads directory dir (null: the current one), handing each entry to each
// as its batch arrives. Returns 0, or -1 with *rtype / *payload the refusal
// (type 0: the connection failed, said; SFTP_NAME: a malformed response,
// or each abandoned the listing).
int SftpEachEntry(FtpSession *session, const char *dir,
                  const std::function<int(SftpEntry &&)> &each, uint8_t *rtype,
                  std::string *payload) {
  const std::string path = SftpPath(session, dir != nullptr ? dir : "");
  std::string body;
  SftpPutString(&body, path);
  const std::string echo = "OPENDIR " + path;
  *rtype = 0;
  if (SftpCall(session, SFTP_OPENDIR, body, echo.c_str(), rtype, payload) != 0) return -1;
  SftpReader r{*payload};
  const std::string handle(SftpGetString(&r));
  if (*rtype != SFTP_HANDLE || r.Bad) return -1;
  std::string h, message;
  SftpPutString(&h, handle);
  int rc = 0;
  for (;;) {
    if (SftpCall(session, SFTP_READDIR, h, nullptr, rtype, payload) != 0) {
      *rtype = 0;
      return -1;
    }
    if (*rtype == SFTP_NAME) {
      if (SftpTakeNames(*payload, each) == 0) continue;
      rc = -1;
    } else if (*rtype != SFTP_STATUS || SftpStatusOf(*payload, &message) != SFTP_EOF) {
      rc = -1;
    }
    break;
  }
  SftpCloseHandle(session, handle);
  return rc;
}

// Reads directory dir (null: the current one) whole into *entries, sorted
// by name. Returns as SftpEachEntry does.
int SftpReadDir(FtpSession *session, const char *dir, std::vector<SftpEntry> *entries,
                uint8_t *rtype, std::string *payload) {
  const int rc = SftpEachEntry(
      session, dir,
      [entries](SftpEntry &&e) {
        entries->push_back(std::move(e));
        return 0;
      },
      rtype, payload);
  std::sort(entries->begin(), entries->end(),
            [](const SftpEntry &a, const SftpEntry &b) { return a.Name < b.Name; });
  return rc;
}

// Size and time of attrs as Stat gives them (the time as MDTM writes it).
RemoteStat SftpStatFrom(const SftpAttrs &attrs) {
  RemoteStat stat;
  if (attrs.Flags & SFTP_ATTR_SIZE) stat.Size = attrs.Size;
  const time_t mtime = attrs.Mtime;
  tm t{};
  char text[16];
  if ((attrs.Flags & SFTP_ATTR_TIME) && gmtime_r(&mtime, &t) != nullptr &&
      std::strftime(text, sizeof(text), "%Y%m%d%H%M%S", &t) > 0) {
    stat.Mtime = text;
  }
  return stat;
}

// STAT of name, echoed as STAT in debug mode when echo is set. Returns 0
// with *attrs, or -1 with the refusal in *rtype / *payload (type 0: the
// connection failed).
int SftpStatOf(FtpSession *session, const char *name, bool echo, SftpAttrs *attrs, uint8_t *rtype,
               std::string *payload) {
  const std::string path = SftpPath(session, name);
  std::string body;
  SftpPutString(&body, path);
  const std::string text = "STAT " + path;
  *rtype = 0;
  if (SftpCall(session, SFTP_STAT, body, echo ? text.c_str() : nullptr, rtype, payload) != 0) {
    *rtype = 0;
    return -1;
  }
  SftpReader r{*payload};
  *attrs = SftpGetAttrs(&r);
  return *rtype == SFTP_ATTRS && !r.Bad ? 0 : -1;
}

// A refusal of name, or the failure of the connection (already said; it
// may have come in the middle of a listing, after its answer).
int SftpFailedOn(FtpSession *session, const char *name, uint8_t rtype, const std::string &payload) {
  if (rtype == 0 || session->Sftp == nullptr) return -1;
  return SftpRefused(session, name, rtype, payload);
}

bool SftpIsDir(const SftpAttrs &a) {
  return (a.Flags & SFTP_ATTR_PERMISSIONS) && S_ISDIR(a.Permissions);
}

// An "ls -l" line for an entry whose server gave none.
std::string SftpLongLine(const SftpEntry &e) {
  static const char kRwx[] = "rwxrwxrwx";
  std::string mode = SftpIsDir(e.Attrs) ? "d" : "-";
  for (int bit = 0; bit < 9; bit++) {
    mode += (e.Attrs.Permissions & (0400u >> bit)) ? kRwx[bit] : '-';
  }
  char when[32] = "";
  const time_t mtime = e.Attrs.Mtime;
  tm t{};
  if (gmtime_r(&mtime, &t) != nullptr) std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M", &t);
  return mode + " " + std::to_string(e.Attrs.Size) + " " + when + " " + e.Name;
}

int SftpRemoteList(FtpSession *session, const char *dir, std::vector<std::string> *names) {
  std::vector<SftpEntry> entries;
  uint8_t rtype = 0;
  std::string payload;
  names->clear();
  if (SftpReadDir(session, dir, &entries, &rtype, &payload) != 0) {
    return SftpFailedOn(session, dir != nullptr ? dir : ".", rtype, payload);
  }
  for (const SftpEntry &e : entries) names->push_back(e.Name);
  return 0;
}

// Prints the listing lines, then the count of their bytes as FTP does.
int SftpRemoteShow(FtpSession *session, const char *path, bool longForm) {
  std::vector<SftpEntry> entries;
  uint8_t rtype = 0;
  std::string payload;
  if (SftpReadDir(session, path, &entries, &rtype, &payload) != 0) {
    // A file is listed as itself.
    SftpAttrs attrs;
    if (rtype == 0 || path == nullptr || SftpStatOf(session, path, false, &attrs, &rtype, &payload) != 0) {
      return SftpFailedOn(session, path != nullptr ? path : ".", rtype, payload);
    }
    entries.assign(1, SftpEntry{path, "", attrs});
  }
  long long total = 0;
  for (const SftpEntry &e : entries) {
    const std::string line =
        (longForm ? (e.Long.empty() ? SftpLongLine(e) : e.Long) : e.Name) + "\n";
    FtpWriteServerText(line.data(), line.size());
    total += static_cast<long long>(line.size());
  }
  std::printf("cvxfer: %lld bytes received.\n", total);
  std::fflush(stdout);
  return 0;
}

int SftpRemoteStat(FtpSession *session, const char *name, RemoteStat *stat) {
  SftpAttrs attrs;
  uint8_t rtype = 0;
  std::string payload;
  if (SftpStatOf(session, name, false, &attrs, &rtype, &payload) == 0) *stat = SftpStatFrom(attrs);
  return session->Ctl.Connected ? 0 : -1;
}

// Gives the symbolic link e of dir its file's attributes in place of its
// own (READDIR tells of the link: its size is its target's length).
// Returns 0, 1 when e is no file to take (a directory, a dangling link),
// -1 when the connection failed (said).
int SftpFollowLink(FtpSession *session, const char *dir, SftpEntry *e) {
  std::string path = SftpPath(session, dir != nullptr ? dir : "");
  if (path.empty() || path.back() != '/') path += '/';
  path += e->Name;
  SftpAttrs attrs;
  uint8_t rtype = 0;
  std::string payload;
  if (SftpStatOf(session, path.c_str(), false, &attrs, &rtype, &payload) != 0) {
    return rtype == 0 ? -1 : 1;
  }
  e->Attrs = attrs;
  return SftpIsDir(attrs) ? 1 : 0;
}

// READDIR's attributes give each name's size and time: nothing more is
// asked, but of a symbolic link.
int SftpRemoteScan(FtpSession *session, const char *dir, const RemoteEach &each) {
  uint8_t rtype = 0;
  std::string payload;
  const auto take = [&each, session, dir](SftpEntry &&e) {
    if ((e.Attrs.Flags & SFTP_ATTR_PERMISSIONS) && S_ISLNK(e.Attrs.Permissions)) {
      if (const int rc = SftpFollowLink(session, dir, &e); rc != 0) return rc < 0 ? -1 : 0;
    }
    if (SftpIsDir(e.Attrs)) return 0;
    RemoteEntry entry;
    entry.Name = e.Name;
    entry.Stat = SftpStatFrom(e.Attrs);
    entry.Told = entry.Stat.Size != UINT64_MAX && !entry.Stat.Mtime.empty();
    return each(entry);
  };
  if (SftpEachEntry(session, dir, take, &rtype, &payload) != 0) {
    return SftpFailedOn(session, dir != nullptr ? dir : ".", rtype, payload);
  }
  return 0;
}

int SftpRemoteSize(FtpSession *session, const char *name, uint64_t *size) {
  SftpAttrs attrs;
  uint8_t rtype = 0;
  std::string payload;
  *size = UINT64_MAX;
  if (SftpStatOf(session, name, true, &attrs, &rtype, &payload) != 0) {
    return SftpFailedOn(session, name, rtype, payload);
  }
  if ((attrs.Flags & SFTP_ATTR_SIZE) == 0) {
    return SftpRefused(session, name, SFTP_ATTRS, "");
  }
  *size = attrs.Size;
  if (session->Opt.Verbose) {
    std::printf("cvxfer: [%s] %llu bytes\n", FtpPrintable(name).c_str(),
                static_cast<unsigned long long>(attrs.Size));
    std::fflush(stdout);
  }
  return 0;
}

int SftpRemoteRetrieve(FtpSession *session, const char *name, const RemoteSink &sink,
                       uint64_t maxLength, uint64_t expected) {
  return SftpGetFileTo(session, name, sink, maxLength, expected);
}

int SftpRemoteStore(FtpSession *session, const char *name, const RemoteSource &source) {
  return SftpPutFileFrom(session, name, source);
}

// A request on one path that is answered by a status only.
int SftpOnPath(FtpSession *session, uint8_t type, const char *verb, const char *name,
               bool withAttrs = false) {
  const std::string path = SftpPath(session, name);
  std::string body;
  SftpPutString(&body, path);
  if (withAttrs) SftpPutU32(&body, 0);
  const std::string echo = std::string(verb) + " " + path;
  return SftpCallStatus(session, type, body, echo.c_str(), name);
}

// Renames as FTP servers do, replacing to: atomically with posix-rename
// where the server has it; else RENAME, which OpenSSH refuses onto an
// existing file, so that file is removed first (a moment without to, but
// never a partial one).
int SftpRemoteRename(FtpSession *session, const char *from, const char *to) {
  const std::string source = SftpPath(session, from), target = SftpPath(session, to);
  std::string body, payload, message;
  const bool posix = session->Sftp != nullptr && session->Sftp->PosixRename;
  if (posix) SftpPutString(&body, "posix-rename@openssh.com");
  SftpPutString(&body, source);
  SftpPutString(&body, target);
  const std::string echo = (posix ? "posix-rename " : "RENAME ") + source + " " + target;
  uint8_t rtype = 0;
  if (SftpCall(session, posix ? SFTP_EXTENDED : SFTP_RENAME, body, echo.c_str(), &rtype,
               &payload) != 0) {
    return -1;
  }
  const int status = rtype == SFTP_STATUS ? SftpStatusOf(payload, &message) : -1;
  if (status == SFTP_OK) return 0;
  // A version 3 rename refuses a target that is there with a plain
  // failure; that target alone is replaced, and only when the source is
  // there to take its place: any other refusal keeps it.
  SftpAttrs attrs, sourceAttrs;
  uint8_t stype = 0;
  std::string spayload;
  if (posix || status != SFTP_FAILURE ||
      SftpStatOf(session, from, false, &sourceAttrs, &stype, &spayload) != 0 ||
      SftpIsDir(sourceAttrs) || SftpStatOf(session, to, false, &attrs, &stype, &spayload) != 0 ||
      SftpIsDir(attrs)) {
    return SftpRefused(session, from, rtype, payload);
  }
  if (SftpOnPath(session, SFTP_REMOVE, "REMOVE", to) != 0) return -1;
  return SftpCallStatus(session, SFTP_RENAME, body, echo.c_str(), from);
}

int SftpRemoteDelete(FtpSession *session, const char *name) {
  return SftpOnPath(session, SFTP_REMOVE, "REMOVE", name);
}

int SftpRemoteMkdir(FtpSession *session, const char *name) {
  return SftpOnPath(session, SFTP_MKDIR, "MKDIR", name, true);
}

int SftpRemoteRmdir(FtpSession *session, const char *name) {
  return SftpOnPath(session, SFTP_RMDIR, "RMDIR", name);
}

// cd: the server names the directory (REALPATH), which must be one.
int SftpRemoteCd(FtpSession *session, const char *dir) {
  const std::string path = SftpPath(session, dir != nullptr ? dir : "");
  std::string body, payload;
  SftpPutString(&body, path);
  const std::string echo = "REALPATH " + path;
  uint8_t rtype = 0;
  if (SftpCall(session, SFTP_REALPATH, body, echo.c_str(), &rtype, &payload) != 0) return -1;
  SftpReader r{payload};
  const uint32_t count = SftpGetU32(&r);
  const std::string real(SftpGetString(&r));
  if (rtype != SFTP_NAME || count < 1 || r.Bad) return SftpRefused(session, dir, rtype, payload);
  SftpAttrs attrs;
  if (SftpStatOf(session, real.c_str(), false, &attrs, &rtype, &payload) != 0) {
    return SftpFailedOn(session, dir, rtype, payload);
  }
  if (!SftpIsDir(attrs)) {
    std::printf("cvxfer: [%s] Not a directory\n", FtpPrintable(dir).c_str());
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_REFUSED);
    return -1;
  }
  session->Sftp->Cwd = real;
  return 0;
}

const char *SftpRemoteCurrentDir(FtpSession *session) {
  return session->Sftp != nullptr ? session->Sftp->Cwd.c_str() : "";
}

int SftpRemotePwd(FtpSession *session) {
  std::printf("Remote directory: %s\n", FtpPrintable(SftpRemoteCurrentDir(session)).c_str());
  std::fflush(stdout);
  return 0;
}

std::string SftpRemoteServer(FtpSession *session) {
  const bool v6 = std::strchr(session->Ctl.Host, ':') != nullptr;
  const unsigned port = session->Sftp != nullptr ? session->Sftp->Port : 22;
  return std::string("sftp://") + (v6 ? "[" : "") + session->Ctl.Host + (v6 ? "]:" : ":") +
         std::to_string(port);
}

// The peer, the protocol, the server's key and how a safe store renames.
void SftpRemoteStatus(FtpSession *session) {
  const SftpConn *c = session->Sftp;
  std::printf("Peer: %s\n", FtpPeerText(ssh_get_fd(c->Ssh)).c_str());
  std::printf("Protocol: SFTP version %u over SSH\n", c->Version);
  std::printf("Server host key: %s\n", c->HostKey.c_str());
  std::printf("Safe put renames: %s\n", c->PosixRename
                                            ? "atomically (posix-rename@openssh.com)"
                                            : "after removing the old file (no posix-rename)");
}

// SFTP moves bytes unchanged: every type transfers as binary does.
int SftpRemoteType(FtpSession *, int *type) {
  if (*type != FTP_TYPE_BINARY) {
    std::printf("cvxfer: SFTP moves files unchanged; %s is not used, binary stays.\n",
                kFtpTypes[*type].Name);
    std::fflush(stdout);
  }
  *type = FTP_TYPE_BINARY;
  return 0;
}

// OpenSSH computes no digest of a file it holds.
int SftpRemoteHashOffer(FtpSession *, std::string *) {
  return -1;
}

// None to ask for.
int SftpRemoteHash(FtpSession *, const char *, std::string *) {
  return -1;
}

}  // namespace

const RemoteOps kSftpRemote = {
    "sftp",           SftpRemoteList,       SftpRemoteShow,   SftpRemoteStat,
    SftpRemoteSize,   SftpRemoteRetrieve,   SftpRemoteStore,  SftpRemoteRename,
    SftpRemoteDelete, SftpRemoteMkdir,      SftpRemoteRmdir,  SftpRemoteCd,
    SftpRemotePwd,    SftpRemoteCurrentDir, SftpRemoteServer, SftpRemoteStatus,
    SftpDrop,         SftpRemoteType,       SftpRemoteHashOffer, SftpRemoteHash,
    SftpRemoteScan,
};

int SftpRemoteOpen(FtpSession *session, const char *host, unsigned short port, const char *user,
                   const char *password) {
  session->Remote = &kSftpRemote;
  if (SftpConnect(session, host, port, user, password) != 0) return -1;
  if (SftpWireStart(session) != 0) {
    SftpDrop(session);
    return -1;
  }
  session->Opt.TransferType = FTP_TYPE_BINARY;
  return 0;
}
