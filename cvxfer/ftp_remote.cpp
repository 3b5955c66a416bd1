// ftp_remote.cpp - the remote side over FTP: each operation is one command
// (or RNFR + RNTO) on the control connection, or a transfer or listing on a
// data connection.
#include "ftp_remote.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ftp_ctrl.h"
#include "ftp_io.h"
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
  std::printf("Peer: %s\n", FtpPeerText(session->Ctl.Socket).c_str());
  std::printf("Control connection: %s%s\n", session->Ctl.Tls != nullptr ? "protected, " : "clear",
              session->Ctl.Tls != nullptr ? FtpTlsVersion(session->Ctl.Tls) : "");
  std::printf("Data connections: %s\n", session->Data.Protected ? "protected" : "clear");
}

// The commands besides HASH that digest a file, in the order preferred.
constexpr struct {
  const char *Verb;
  int Kind;
} kFtpXHashes[] = {{"XSHA256", REMOTE_SHA256}, {"XSHA1", REMOTE_SHA1}, {"XMD5", REMOTE_MD5},
                   {"XCRC", REMOTE_CRC32}};

// The digest a HASH algorithm name names (as FEAT lists it), or -1.
int FtpDigestNamed(const std::string &name) {
  for (int kind = 0; kind < REMOTE_DIGESTS; kind++) {
    if (strcasecmp(name.c_str(), kRemoteDigestNames[kind]) == 0) return kind;
  }
  return -1;
}

// Chooses from the lines of FEAT's answer how a stored file is digested:
// HASH with SHA-256 where it is listed (and sha256 allows), else with the
// algorithm marked in force, else the first X command in the order
// preferred. Leaves it in HashKind and HashVerb (-1: none). Returns true
// when OPTS HASH must choose SHA-256 first.
bool FtpChooseHash(FtpControl *ctl, const std::string &lines, bool sha256) {
  int hash = -1, current = -1, x = -1;
  for (size_t at = 0; at < lines.size();) {
    const size_t end = std::min(lines.find('\n', at), lines.size());
    std::string line = lines.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty() || line[0] != ' ') continue;  // the first and last lines carry the code
    line.erase(0, line.find_first_not_of(' '));
    const std::string verb = line.substr(0, line.find(' '));  // some list arguments after it
    for (int i = 0; i < static_cast<int>(sizeof(kFtpXHashes) / sizeof(kFtpXHashes[0])); i++) {
      if (strcasecmp(verb.c_str(), kFtpXHashes[i].Verb) == 0 && (x < 0 || i < x)) x = i;
    }
    if (strncasecmp(line.c_str(), "HASH ", 5) != 0) continue;
    for (size_t from = 5; from <= line.size();) {
      const size_t semi = std::min(line.find(';', from), line.size());
      std::string name = line.substr(from, semi - from);
      from = semi + 1;
      const bool marked = !name.empty() && name.back() == '*';
      if (marked) name.pop_back();
      const int kind = FtpDigestNamed(name);
      if (kind >= 0 && marked) current = kind;
      if (kind == REMOTE_SHA256 && sha256) hash = kind;
    }
  }
  ctl->HashKind = hash >= 0 ? hash : current >= 0 ? current : x >= 0 ? kFtpXHashes[x].Kind : -1;
  std::snprintf(ctl->HashVerb, sizeof(ctl->HashVerb), "%s",
                hash >= 0 || current >= 0 ? "HASH" : x >= 0 ? kFtpXHashes[x].Verb : "");
  return hash >= 0 && current != hash;
}

// Whether FEAT's lines list MLST, so that MLSD gives each name's facts;
// *facts gets the facts it lists ("type*;size*;modify*;unique;").
bool FtpListsMlst(const std::string &lines, std::string *facts) {
  for (size_t at = 0; at < lines.size();) {
    const size_t end = std::min(lines.find('\n', at), lines.size());
    std::string_view line = std::string_view(lines).substr(at, end - at);
    at = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
      line.remove_suffix(1);
    }
    if (line.size() >= 5 && line[0] == ' ' && strncasecmp(line.data() + 1, "MLST", 4) == 0 &&
        (line.size() == 5 || line[5] == ' ')) {
      facts->assign(line.substr(std::min<size_t>(6, line.size())));
      return true;
    }
  }
  return false;
}

// Where MLST offers the unique fact without giving it by default, asks
// MLSD for the facts the watch uses (type, size, modify, unique): unique
// tells a file from another that took its name, size and time.
void FtpAskUnique(FtpSession *session, const std::string &facts) {
  std::string lower = facts, ask;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto offered = [&lower](const std::string &fact) {
    for (size_t at = 0; at < lower.size();) {
      const size_t semi = std::min(lower.find(';', at), lower.size());
      std::string one = lower.substr(at, semi - at);
      if (!one.empty() && one.back() == '*') one.pop_back();
      if (one == fact) return lower.compare(at, fact.size() + 1, fact + "*") == 0 ? 2 : 1;
      at = semi + 1;
    }
    return 0;
  };
  if (offered("unique") != 1) return;  // not offered, or given already
  for (const char *fact : {"type", "size", "modify", "unique"}) {
    if (offered(fact) != 0) ask += std::string(fact) + ";";
  }
  FtpCommandQuiet(session, "OPTS", ("MLST " + ask).c_str());
}

// FEAT (and OPTS HASH) once per connection, quietly: how a stored file is
// digested and whether MLSD lists facts, kept in the control connection's
// record.
void FtpRemoteFeat(FtpSession *session) {
  FtpControl &ctl = session->Ctl;
  if (ctl.FeatAsked || !ctl.Connected) return;
  ctl.FeatAsked = 1;
  ctl.HashKind = -1;
  ctl.Mlsd = 0;
  std::string lines;
  const int verbose = session->Opt.Verbose;
  session->Opt.Verbose = 0;
  ctl.Lines = &lines;
  const int reply = FtpCommandQuiet(session, "FEAT", nullptr);
  ctl.Lines = nullptr;
  std::string facts;
  if (reply == 211 && FtpListsMlst(lines, &facts)) {
    ctl.Mlsd = 1;
    FtpAskUnique(session, facts);
  }
  // A refused choice leaves HASH with the algorithm it has.
  if (reply == 211 && FtpChooseHash(&ctl, lines, true) &&
      !FtpPositive(FtpCommandQuiet(session, "OPTS", "HASH SHA-256"))) {
    FtpChooseHash(&ctl, lines, false);
  }
  session->Opt.Verbose = verbose;
}

int FtpRemoteHashOffer(FtpSession *session, std::string *how) {
  FtpRemoteFeat(session);
  const FtpControl &ctl = session->Ctl;
  if (!ctl.FeatAsked || ctl.HashKind < 0) return -1;
  how->assign(ctl.HashVerb);
  if (*how == "HASH") how->append(" ").append(kRemoteDigestNames[ctl.HashKind]);
  return ctl.HashKind;
}

// MLSD where FEAT lists MLST, so that each file comes with its size and
// time; else NLST, whose names come bare.
int FtpRemoteScan(FtpSession *session, const char *dir, const RemoteEach &each) {
  FtpRemoteFeat(session);
  if (!session->Ctl.Connected) return -1;
  const bool mlsd = session->Ctl.Mlsd != 0;
  const int failure = session->Run.Failure;
  bool handed = false;
  const int rc = FtpScanList(session, dir, mlsd, [&](std::string_view line) {
    RemoteEntry entry;
    if (!mlsd) {
      entry.Name = line;
    } else if (FtpFactsOf(line, &entry) != 0) {
      return 0;  // not a file, or not a line of facts
    }
    handed = true;
    return each(entry);
  });
  // A server that lists MLST yet does not understand MLSD gets NLST from
  // now on.
  const int code = session->Ctl.ReplyCode;
  if (rc != 0 && mlsd && !handed && session->Ctl.Connected &&
      (code == 500 || code == 501 || code == 502 || code == 504)) {
    session->Ctl.Mlsd = 0;
    session->Run.Failure = failure;
    return FtpRemoteScan(session, dir, each);
  }
  return rc;
}

// The digest in a reply to HASH or an X command: the first word of hex
// digits as long as the digest (a CRC may lose its leading zeros), after
// the algorithm and the range HASH names first.
int FtpRemoteHash(FtpSession *session, const char *name, std::string *hex) {
  const FtpControl &ctl = session->Ctl;
  if (!ctl.FeatAsked || ctl.HashKind < 0 || !FtpPositive(FtpCommand(session, ctl.HashVerb, name))) {
    return -1;
  }
  static const size_t kHexLength[REMOTE_DIGESTS] = {64, 128, 40, 32, 8};
  const size_t want = kHexLength[ctl.HashKind];
  std::string word;
  for (const char *c = ctl.ReplyText + 4;; c++) {
    if (*c != '\0' && !std::isspace(static_cast<unsigned char>(*c))) {
      word += *c;
      continue;
    }
    const bool hexDigits = !word.empty() && word.find_first_not_of("0123456789abcdefABCDEF") ==
                                                std::string::npos;
    if (hexDigits && (word.size() == want || (ctl.HashKind == REMOTE_CRC32 && word.size() < want))) {
      *hex = word;
      return 0;
    }
    if (*c == '\0') return -1;
    word.clear();
  }
}

}  // namespace

const RemoteOps kFtpRemote = {
    "ftp",           FtpRemoteList,       FtpRemoteShow,   FtpRemoteStat,
    FtpRemoteSize,   FtpRemoteRetrieve,   FtpRemoteStore,  FtpRemoteRename,
    FtpRemoteDelete, FtpRemoteMkdir,      FtpRemoteRmdir,  FtpRemoteCd,
    FtpRemotePwd,    FtpRemoteCurrentDir, FtpRemoteServer, FtpRemoteStatus,
    FtpQUIT,         FtpRemoteType,       FtpRemoteHashOffer, FtpRemoteHash,
    FtpRemoteScan,
};
