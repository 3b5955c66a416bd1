// ftp_do.cpp - the command handlers: take the arguments out of the split
// line and call the FTP and queue layers. Preconditions (a connection, no
// connection) are the dispatcher's, declared in the command table.
#include "ftp_do.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ftp_auth.h"
#include "ftp_args.h"
#include "bridge.h"
#include "bridge_steps.h"
#include "cv_session.h"
#include "ftp_ctrl.h"
#include "ftp_event.h"
#include "ftp_io.h"
#include "ftp_remote.h"
#include "remote.h"
#include "watch.h"
#include "ftp_tls.h"
#include "sftp_remote.h"
#include "keyb_util.h"
#include "tcp_util.h"

namespace {

// The longest user name sent: what a netrc or URL entry holds.
constexpr int kFtpUserMax = 255;

// The first argument of a command, or null when there is none.
const char *FtpDoFirstArg(const FtpArgs *args) {
  return args->Count > 1 ? args->Words[1] : nullptr;
}

// Result of a command whose outcome is the server's last reply; a refusal
// (or a connection that ended) is recorded.
int FtpDoReplyResult(FtpSession *session) {
  if (session->Ctl.Connected && session->Ctl.ReplyCode > 0 && session->Ctl.ReplyCode < 400)
    return FTP_OK;
  FtpFail(session, FTP_EXIT_REFUSED);
  return FTP_FAILED;
}

// Inverts flag and prints prefix followed by the new state.
int FtpDoToggle(int *flag, const char *prefix, const char *onText) {
  *flag = *flag ? 0 : 1;
  std::printf("%s%s", prefix, *flag ? onText : "Off.\n");
  std::fflush(stdout);
  return FTP_OK;
}

// Sets the transfer type (an index of kFtpTypes) the remote side will use:
// over FTP the one asked for, whatever the server replied.
int FtpDoSetType(FtpSession *session, int type) {
  const int rc = session->Remote->Type(session, &type);
  session->Opt.TransferType = type;
  return rc == 0 ? FTP_OK : FTP_FAILED;
}

// Whether command, one of FTP's own, may run: over another protocol it
// says so and fails.
bool FtpDoSpeaksFtp(FtpSession *session, const char *command) {
  if (session->Remote == &kFtpRemote) return true;
  std::printf("%s: an FTP command; not available over %s.\n", command, session->Remote->Scheme);
  std::fflush(stdout);
  return false;
}

// Sets the transfer type (an index of kFtpTypes). Without a connection
// (only ~/.cvxferrc gets this far, see FTP_STARTUP_DEFAULT) it becomes the
// type every login sets.
int FtpDoChooseType(FtpSession *session, int type) {
  if (session->Ctl.Connected) return FtpDoSetType(session, type);
  session->Opt.LoginType = type;
  return FTP_OK;
}

// Returns the port when text is a decimal number 1 to 65535, else 0.
unsigned FtpDoParsePort(const char *text) {
  size_t n = std::strlen(text);
  if (n == 0 || n > 5 || std::strspn(text, "0123456789") != n) return 0;
  long port = std::strtol(text, nullptr, 10);
  return port >= 1 && port <= 65535 ? static_cast<unsigned>(port) : 0;
}

// Keeps user and pass for a watch that must log in again by itself.
void FtpDoRememberLogin(FtpSession *session, const char *user, const char *pass) {
  FtpLogin &login = session->Login;
  std::snprintf(login.User, sizeof(login.User), "%s", user);
  std::snprintf(login.Password, sizeof(login.Password), "%s", pass);
  login.Known = login.Host[0] != '\0';
}

// Keeps what an open connected to, before its login.
void FtpDoRememberHost(FtpSession *session, const std::string &host, unsigned short port) {
  FtpLogin &login = session->Login;
  explicit_bzero(&login, sizeof(login));
  std::snprintf(login.Host, sizeof(login.Host), "%s", host.c_str());
  login.Port = port;
  login.TlsMode = session->Opt.TlsMode;
}

// Connects to host text: "HOST PORT" (one host word, one port number)
// connects to PORT, anything else is the host itself on port 21. Returns
// FtpOpen's result.
int FtpDoConnect(FtpSession *session, const char *hostText) {
  const char *blank = std::strchr(hostText, ' ');
  if (blank != nullptr && blank != hostText && std::strchr(blank + 1, ' ') == nullptr) {
    unsigned port = FtpDoParsePort(blank + 1);
    if (port != 0) {
      std::string host(hostText, blank - hostText);
      FtpDoRememberHost(session, host, static_cast<unsigned short>(port));
      return FtpOpen(session, host.c_str(), static_cast<unsigned short>(port));
    }
  }
  FtpDoRememberHost(session, hostText, 0);
  return FtpOpen(session, hostText);
}

// A server that refuses a login in clear because it wants TLS (530 or 534
// whose text says so) gets a hint instead of only "Login incorrect.", and
// no password. Returns true (recorded as a TLS failure) when it is so.
bool FtpDoDemandsTls(FtpSession *session) {
  if (session->Ctl.Tls != nullptr ||
      (session->Ctl.ReplyCode != 530 && session->Ctl.ReplyCode != 534)) {
    return false;
  }
  std::string text = session->Ctl.ReplyText;
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text.find("tls") == std::string::npos && text.find("ssl") == std::string::npos &&
      text.find("encrypt") == std::string::npos) {
    return false;
  }
  // The port goes with the hint: the same server is to be opened again.
  const std::string server = session->Remote->Server(session);
  std::printf("cvxfer: the server requires TLS; use -s or open ftpes://%s\n", server.c_str());
  std::fflush(stdout);
  FtpFailWhy(session, FTP_EXIT_TLS, "the server requires TLS; use -s or open ftpes://%s",
             server.c_str());
  return true;
}

// Logs in as user with password; a null user is asked for (the login name
// is the default), a null password too. A refused login is recorded.
int FtpDoLoginWith(FtpSession *session, const char *user, const char *pass) {
  char loginName[256] = {0};
  char typed[KEYB_LINE_MAX + 1] = {0};
  char password[256] = {0};
  if (user == nullptr) {
    int capacity = sizeof(loginName);
    GetUserName(loginName, &capacity);
    std::printf("User <%s>:", loginName);
    std::fflush(stdout);
    // The whole line is the name: nothing typed here is ever run as a command.
    user = KeybReadLine(typed, sizeof(typed)) == 0 || typed[0] == '\0' ? loginName : typed;
  }
  if (std::strlen(user) > static_cast<size_t>(kFtpUserMax)) {
    std::printf("cvxfer: a user name cannot be longer than %d bytes; not sent.\n", kFtpUserMax);
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_LOGIN);
    return FTP_FAILED;
  }
  FtpUSER(session, user);
  if (FtpDoDemandsTls(session)) return FTP_FAILED;
  if (pass == nullptr) {
    GetPassword(password);
    pass = password;
  }
  FtpPASS(session, pass);
  if (FtpDoDemandsTls(session)) {
    std::memset(password, 0, sizeof(password));
    return FTP_FAILED;
  }
  int rc = session->Ctl.Connected && session->Ctl.ReplyCode >= 200 && session->Ctl.ReplyCode < 400
               ? FTP_OK
               : FTP_FAILED;
  if (rc != FTP_OK) FtpFail(session, FTP_EXIT_LOGIN);
  if (rc == FTP_OK) FtpDoRememberLogin(session, user, pass);
  std::memset(password, 0, sizeof(password));
  if (session->Ctl.ReplyCode < 500) {
    // Every login the server did not refuse switches to ascii (or the type
    // ~/.cvxferrc chose); a session that cannot even do that is no working
    // login.
    const int type =
        session->Opt.LoginType != FTP_TYPE_UNSET ? session->Opt.LoginType : FTP_TYPE_ASCII;
    if (session->Ctl.Connected) {
      if (FtpDoSetType(session, type) != FTP_OK) rc = FTP_FAILED;
    } else {
      std::printf("Not Connected.\n");
    }
  } else if (session->Ctl.ReplyCode == 530) {
    std::printf("Login incorrect.\n");
  }
  std::fflush(stdout);
  if (rc == FTP_OK) {
    FtpEvent connected;
    connected.Kind = FTP_EVENT_CONNECTED;
    FtpEventSay(session, connected);
  }
  return rc;
}

// Logs in with the user text of a user command: "NAME [PASSWORD]" split at
// spaces, or empty to ask for the name. Words beyond the second are ignored.
int FtpDoLoginAs(FtpSession *session, const char *userText) {
  std::string text = userText;
  const char *user = nullptr;
  const char *pass = nullptr;
  if (!text.empty()) {
    char *save = nullptr;
    user = strtok_r(text.data(), " ", &save);
    pass = strtok_r(nullptr, " ", &save);
  }
  int rc = FtpDoLoginWith(session, user, pass);
  std::fill(text.begin(), text.end(), '\0');
  return rc;
}

// The automatic login after open: the URL's user, else the netrc entry of
// host, else the questions. A netrc that others can read is refused.
int FtpDoAutoLogin(FtpSession *session, const char *host, const FtpUrl *url) {
  FtpNetrcEntry netrc{};
  int found = 0;
  if (!url->HasUser || !url->HasPassword) {
    found = FtpNetrcLookup(FtpNetrcPath(), host, &netrc);
    if (found < 0) {
      FtpFail(session, FTP_EXIT_LOGIN);
      return FTP_FAILED;
    }
  }
  int rc;
  if (url->HasUser) {
    // The netrc password goes with the URL's user only if it is its login.
    const bool same = found > 0 && netrc.HasPassword && std::strcmp(netrc.Login, url->User) == 0;
    rc = FtpDoLoginWith(session, url->User,
                        url->HasPassword ? url->Password : (same ? netrc.Password : nullptr));
  } else if (found > 0 && netrc.Login[0] != '\0') {
    rc = FtpDoLoginWith(session, netrc.Login, netrc.HasPassword ? netrc.Password : nullptr);
  } else {
    rc = FtpDoLoginWith(session, nullptr, nullptr);
  }
  std::memset(&netrc, 0, sizeof(netrc));
  return rc;
}

// Opens an sftp:// URL, which logs in at once: as the URL's user, else the
// netrc entry's login, else the login name; with the URL's password, else
// the netrc entry's for that user, else one asked for when the server
// wants one (after the keys). The URL's path is the first cd.
int FtpDoOpenSftp(FtpSession *session, FtpUrl *url) {
  FtpNetrcEntry netrc{};
  int found = 0;
  if (!url->HasUser || !url->HasPassword) found = FtpNetrcLookup(FtpNetrcPath(), url->Host, &netrc);
  int rc = -1;
  if (found >= 0) {
    char loginName[256] = {0};
    int capacity = sizeof(loginName);
    const char *user = url->HasUser                          ? url->User
                       : found > 0 && netrc.Login[0] != '\0' ? netrc.Login
                       : GetUserName(loginName, &capacity)   ? loginName
                                                             : "";
    const bool same = found > 0 && netrc.HasPassword && std::strcmp(netrc.Login, user) == 0;
    const char *pass = url->HasPassword ? url->Password : same ? netrc.Password : nullptr;
    rc = SftpRemoteOpen(session, url->Host, url->Port, user, pass);
    if (rc == 0) {
      FtpDoRememberHost(session, url->Host, url->Port);
      session->Login.Sftp = 1;
      FtpDoRememberLogin(session, user, pass != nullptr ? pass : "");
    }
  } else {
    FtpFail(session, FTP_EXIT_LOGIN);
  }
  std::memset(&netrc, 0, sizeof(netrc));
  if (rc == 0 && url->Path[0] != '\0') rc = session->Remote->Cd(session, url->Path);
  std::memset(url, 0, sizeof(*url));
  return rc == 0 && session->Ctl.Connected ? FTP_OK : FTP_FAILED;
}

// Returns the user's login shell, /bin/sh when none is known.
std::string FtpDoLoginShell() {
  const passwd *pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_shell != nullptr && pw->pw_shell[0] == '/' &&
      std::strchr(pw->pw_shell, '\'') == nullptr) {
    return pw->pw_shell;
  }
  return "/bin/sh";
}

// Asks question and reads the answer into buffer (size bytes); an answer
// that cannot be read is empty.
const char *FtpDoAsk(const char *question, char *buffer, int size) {
  std::printf("%s", question);
  std::fflush(stdout);
  buffer[0] = '\0';
  if (KeybReadLine(buffer, size) == 0) buffer[0] = '\0';
  return buffer;
}

}  // namespace

// ---- Connection commands ----

int FtpDoOpen(FtpSession *session, const FtpArgs *args) {
  char answer[1024];
  const char *host = args->Rest;
  if (args->Count == 1) host = FtpDoAsk("To ", answer, sizeof(answer));
  if (args->Count == 2) host = args->Words[1];
  FtpUrl url{};
  std::string hostName;
  int rc;
  // Every open speaks FTP but that of an sftp:// URL.
  session->Remote = &kFtpRemote;
  if (FtpIsUrl(host)) {
    if (FtpParseUrl(host, &url) != 0) return FTP_FAILED;
    if (std::strcmp(url.Scheme, "sftp") == 0) return FtpDoOpenSftp(session, &url);
    hostName = url.Host;
    // The scheme decides TLS for this connection only.
    const int mode = session->Opt.TlsMode;
    if (std::strcmp(url.Scheme, "ftps") == 0) session->Opt.TlsMode = FTP_TLS_IMPLICIT;
    if (std::strcmp(url.Scheme, "ftpes") == 0) session->Opt.TlsMode = FTP_TLS_EXPLICIT;
    FtpDoRememberHost(session, url.Host, url.Port);
    rc = FtpOpen(session, url.Host, url.Port);
    session->Opt.TlsMode = mode;
  } else {
    hostName = std::string(host, std::strcspn(host, " "));
    rc = FtpDoConnect(session, host);
  }
  // A URL that names a user logs in even under -n: it was asked for.
  if (session->Ctl.Connected && (session->Opt.AutoLogin || url.HasUser)) {
    if (FtpDoAutoLogin(session, hostName.c_str(), &url) != FTP_OK) rc = -1;
    if (rc == 0 && url.Path[0] != '\0' && session->Remote->Cd(session, url.Path) != 0) rc = -1;
  }
  std::memset(&url, 0, sizeof(url));
  return rc == 0 && session->Ctl.Connected ? FTP_OK : FTP_FAILED;
}

int FtpDoReconnect(FtpSession *session) {
  FtpLogin login = session->Login;
  if (!login.Known) {
    std::printf("cvxfer: no login to repeat; open the connection again\n");
    std::fflush(stdout);
    return FTP_FAILED;
  }
  const std::string dir = session->Ctl.RemoteDirKnown ? session->Ctl.RemoteDir : "";
  const int type = session->Opt.TransferType;
  if (session->Ctl.Connected) session->Remote->Close(session);
  if (session->Ctl.Socket >= 0) FtpCtlDrop(session);
  int rc;
  if (login.Sftp) {
    // The keys or the agent log in again; a password only when one was given.
    rc = SftpRemoteOpen(session, login.Host, login.Port, login.User,
                        login.Password[0] != '\0' ? login.Password : nullptr) == 0
             ? FTP_OK
             : FTP_FAILED;
  } else {
    const int mode = session->Opt.TlsMode;
    session->Opt.TlsMode = login.TlsMode;
    FtpDoRememberHost(session, login.Host, login.Port);
    rc = FtpOpen(session, login.Host, login.Port) == 0 ? FTP_OK : FTP_FAILED;
    session->Opt.TlsMode = mode;
    if (rc == FTP_OK) rc = FtpDoLoginWith(session, login.User, login.Password);
  }
  // The login chose ascii; the run goes on in the type it had.
  if (rc == FTP_OK && type != FTP_TYPE_UNSET && type != FTP_TYPE_ASCII) {
    rc = FtpDoSetType(session, type);
  }
  if (rc == FTP_OK && !dir.empty())
    rc = session->Remote->Cd(session, dir.c_str()) == 0 ? FTP_OK : FTP_FAILED;
  // The open forgot the login before it connected: a server still away
  // must not leave the next try with nothing to repeat.
  if (rc != FTP_OK || !session->Ctl.Connected) session->Login = login;
  explicit_bzero(&login, sizeof(login));
  return rc == FTP_OK && session->Ctl.Connected ? FTP_OK : FTP_FAILED;
}

int FtpDoLogin(FtpSession *session, const FtpArgs *args) {
  if (!FtpDoSpeaksFtp(session, "user")) return FTP_FAILED;
  FtpNoteObject(session, "%s", session->Remote->Server(session).c_str());
  return FtpDoLoginAs(session, args->Rest);
}

int FtpDoClose(FtpSession *session, const FtpArgs *) {
  session->Remote->Close(session);
  return FTP_OK;
}

int FtpDoQuit(FtpSession *session, const FtpArgs *) {
  if (session->Ctl.Connected) {
    session->Remote->Close(session);
  } else {
    std::printf("Not Connected.\n");
    std::fflush(stdout);
  }
  session->Run.Done = 1;
  return FTP_OK;
}

// ---- Mode and status commands ----

int FtpDoShell(FtpSession *, const FtpArgs *args) {
  const char *command = args->Line[0] != '\0' ? args->Line + 1 : "";
  std::fflush(stdout);
  int status = 0;
  if (command[strspn(command, " \t")] != '\0') {
    status = std::system(command);
  } else {
    // A bare "!" starts an interactive shell.
    std::string shell(1, '\'');
    shell += FtpDoLoginShell();
    shell += '\'';
    status = std::system(shell.c_str());
  }
  std::fflush(stdout);
  // The command's own exit status is its business; only a shell that could
  // not be started fails the command.
  return status == -1 ? FTP_FAILED : FTP_OK;
}

int FtpDoAscii(FtpSession *session, const FtpArgs *) {
  return FtpDoChooseType(session, FTP_TYPE_ASCII);
}

int FtpDoBinary(FtpSession *session, const FtpArgs *) {
  return FtpDoChooseType(session, FTP_TYPE_BINARY);
}

int FtpDoEbcdic(FtpSession *session, const FtpArgs *) {
  return FtpDoChooseType(session, FTP_TYPE_EBCDIC);
}

int FtpDoType(FtpSession *session, const FtpArgs *args) {
  const char *arg = args->Rest;
  if (arg[0] == '\0') {
    const int type = session->Ctl.Connected ? session->Opt.TransferType : session->Opt.LoginType;
    std::printf("Using ");
    std::fflush(stdout);
    std::printf("%s mode to transfer files.\n",
                kFtpTypes[type >= FTP_TYPE_ASCII && type <= FTP_TYPE_EBCDIC ? type : 0].Name);
    std::fflush(stdout);
    return FTP_OK;
  }
  for (int type = FTP_TYPE_ASCII; type <= FTP_TYPE_EBCDIC; type++) {
    if (std::strcmp(arg, kFtpTypes[type].Name) == 0) return FtpDoChooseType(session, type);
  }
  std::printf("%s: unknown mode\n", arg);
  std::fflush(stdout);
  FtpFailWhy(session, FTP_EXIT_FAILED, "%s: unknown mode", arg);
  return FTP_FAILED;
}

int FtpDoDebug(FtpSession *session, const FtpArgs *) {
  return FtpDoToggle(&session->Opt.Debug, "Debugging ", "On .\n");
}

int FtpDoVerbose(FtpSession *session, const FtpArgs *) {
  return FtpDoToggle(&session->Opt.Verbose, "Verbose mode ", "On .\n");
}

int FtpDoPassive(FtpSession *session, const FtpArgs *) {
  return FtpDoToggle(&session->Opt.Passive, "Passive mode ", "On .\n");
}

int FtpDoHash(FtpSession *session, const FtpArgs *) {
  return FtpDoToggle(&session->Opt.HashMarks, "Hash mark printing ",
                     "On  cvxfer: (2048 bytes/hash mark) .\n");
}

int FtpDoStatus(FtpSession *session, const FtpArgs *) {
  if (session->Ctl.Connected && session->Ctl.HostInfo != nullptr) {
    std::printf("Connected to %s\n", session->Ctl.HostInfo->HostName);
  } else {
    std::printf("Not Connected\n");
  }
  std::printf("Passive Mode: %s\n", session->Opt.Passive == 1 ? "on" : "off");
  std::printf("Verbose: %s\n", session->Opt.Verbose == 1 ? "on" : "off");
  std::printf("Hash mark printing: %s\n", session->Opt.HashMarks == 1 ? "on" : "off");
  std::printf("Queue manager: %.*s\n", CV_Q_MGR_NAME_LENGTH, session->Queue.QMgrName);
  std::printf("Queue: %.*s\n", CV_Q_NAME_LENGTH, session->Queue.QName);
  std::printf("Message persistence: %s\n", session->Queue.Persistence == 1 ? "on" : "off");
  std::printf("Safe put: %s\n", session->Opt.SafePut ? "on" : "off");
  if (session->Ctl.Connected) session->Remote->Status(session);
  std::fflush(stdout);
  return FTP_OK;
}

// ---- Remote information commands ----

int FtpDoCD(FtpSession *session, const FtpArgs *args) {
  char directory[1024];
  // One (possibly quoted) word is the directory; several words are taken
  // as typed, blanks inside included.
  const char *dir = args->Count == 2 ? args->Words[1] : args->Rest;
  if (args->Count == 1) dir = FtpDoAsk("Remote directory ", directory, sizeof(directory));
  return session->Remote->Cd(session, dir) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoPWD(FtpSession *session, const FtpArgs *) {
  return session->Remote->Pwd(session) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoLs(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Show(session, FtpDoFirstArg(args), false) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoDir(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Show(session, FtpDoFirstArg(args), true) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoSyst(FtpSession *session, const FtpArgs *) {
  if (!FtpDoSpeaksFtp(session, "system")) return FTP_FAILED;
  FtpSYST(session);
  return FtpDoReplyResult(session);
}

int FtpDoStat(FtpSession *session, const FtpArgs *) {
  if (!FtpDoSpeaksFtp(session, "rstatus")) return FTP_FAILED;
  FtpSTAT(session);
  return FtpDoReplyResult(session);
}

int FtpDoRhelp(FtpSession *session, const FtpArgs *args) {
  if (!FtpDoSpeaksFtp(session, "rhelp")) return FTP_FAILED;
  FtpHELP(session, FtpDoFirstArg(args));
  return FtpDoReplyResult(session);
}

// ---- Queue commands ----

int FtpDoCVCONN(FtpSession *session, const FtpArgs *args) {
  return FtpCVCONN(session, args->Rest);
}

int FtpDoCVOPEN(FtpSession *session, const FtpArgs *args) {
  return FtpCVOPEN(session, args->Rest);
}

int FtpDoCVQDEPTH(FtpSession *session, const FtpArgs *args) {
  return FtpCVQDEPTH(session, args->Rest);
}

int FtpDoFtps(FtpSession *session, const FtpArgs *args) {
  static const char *const kModes[] = {"off", "explicit", "implicit"};
  if (args->Count > 1) {
    int mode = -1;
    for (int i = 0; i < 3; i++) {
      if (std::strcmp(args->Words[1], kModes[i]) == 0) mode = i;
    }
    if (mode < 0) {
      std::printf("%s: unknown TLS mode (off, explicit or implicit)\n", args->Words[1]);
      std::fflush(stdout);
      return FTP_FAILED;
    }
    session->Opt.TlsMode = mode;
  }
  std::printf("TLS for the next open: %s\n", kModes[session->Opt.TlsMode]);
  std::fflush(stdout);
  return FTP_OK;
}

int FtpDoCVPER(FtpSession *session, const FtpArgs *) {
  std::printf("Message persistence set to CVPER_PERSISTENT.\n");
  std::fflush(stdout);
  session->Queue.Persistence = CVPER_PERSISTENT;
  return FTP_OK;
}

int FtpDoCVNPER(FtpSession *session, const FtpArgs *) {
  std::printf("Message persistence set to CVPER_NOT_PERSISTENT.\n");
  std::fflush(stdout);
  session->Queue.Persistence = CVPER_NOT_PERSISTENT;
  return FTP_OK;
}

// ---- Transfer commands ----

// Reads "-d" or "-m DIR" at args->Words[*next] into *after (what to do
// with a remote file once its message is safe). Returns 0, or -1 after a
// message for "-m" without a directory.
int FtpDoAfterOption(const FtpArgs *args, int *next, FtpCVAfter *after) {
  *after = FtpCVAfter{};
  if (*next < args->Count && std::strcmp(args->Words[*next], "-d") == 0) {
    after->Delete = 1;
    ++*next;
  } else if (*next < args->Count && std::strcmp(args->Words[*next], "-m") == 0) {
    if (*next + 1 >= args->Count) {
      std::printf("-m needs the directory to move the files into.\n");
      std::fflush(stdout);
      return -1;
    }
    after->MoveTo = args->Words[*next + 1];
    *next += 2;
  }
  return 0;
}

int FtpDoGetCV(FtpSession *session, const FtpArgs *args) {
  int next = 1;
  FtpCVAfter after;
  if (FtpDoAfterOption(args, &next, &after) != 0) return FTP_FAILED;
  return FtpGetCV(session, next < args->Count ? args->Words[next] : nullptr, &after);
}

// Reads the seconds of -i or -s: a whole number, 0 to a day (-i from 1).
bool FtpDoSeconds(const char *flag, const char *text, int least, int *seconds) {
  char *end = nullptr;
  const long value = text != nullptr ? std::strtol(text, &end, 10) : -1;
  if (text == nullptr || *text == '\0' || *end != '\0' || value < least || value > 86400) {
    std::printf("mget: %s needs whole seconds from %d to 86400\n", flag, least);
    std::fflush(stdout);
    return false;
  }
  *seconds = static_cast<int>(value);
  return true;
}

// Reads mget's options at args->Words[*next] on into *watch: -d, -m DIR,
// and those of the watch (-w, -i, -s, -D). Returns 1 for a watch, 0 for a
// single pass, -1 after saying what is wrong.
int FtpDoMGetOptions(const FtpArgs *args, int *next, WatchIn *watch) {
  bool watching = false, watchOnly = false;
  for (; *next < args->Count; ++*next) {
    const char *word = args->Words[*next];
    const char *value = *next + 1 < args->Count ? args->Words[*next + 1] : nullptr;
    if (std::strcmp(word, "-w") == 0) {
      watching = true;
    } else if (std::strcmp(word, "-d") == 0 && watch->After.MoveTo == nullptr) {
      watch->After.Delete = 1;
    } else if (std::strcmp(word, "-m") == 0 && !watch->After.Delete) {
      if (value == nullptr) {
        std::printf("-m needs the directory to move the files into.\n");
        std::fflush(stdout);
        return -1;
      }
      watch->After.MoveTo = args->Words[++*next];
    } else if (std::strcmp(word, "-i") == 0 || std::strcmp(word, "-s") == 0) {
      const bool interval = word[1] == 'i';
      if (!FtpDoSeconds(word, value, interval ? 1 : 0,
                        interval ? &watch->IntervalSeconds : &watch->SettleSeconds)) {
        return -1;
      }
      ++*next;
      watchOnly = true;
    } else if (std::strcmp(word, "-D") == 0) {
      if (value == nullptr || value[0] == '\0' || std::strchr(value, '/') != nullptr) {
        std::printf("mget: -D needs the suffix of the done files\n");
        std::fflush(stdout);
        return -1;
      }
      watch->DoneSuffix = args->Words[++*next];
      watchOnly = true;
    } else {
      break;
    }
  }
  if (watchOnly && !watching) {
    std::printf("mget: -i, -s and -D go with -w\n");
    std::fflush(stdout);
    return -1;
  }
  return watching ? 1 : 0;
}

int FtpDoMGetCV(FtpSession *session, const FtpArgs *args) {
  int next = 1;
  WatchIn watch;
  const int watching = FtpDoMGetOptions(args, &next, &watch);
  if (watching < 0) return FTP_FAILED;
  if (next >= args->Count) {
    std::printf("usage: mget %s\n", kFtpDoMGetSynopsis);
    std::fflush(stdout);
    return FTP_FAILED;
  }
  if (watching == 0)
    return FtpMGetCV(session, &watch.After, args->Count - next, args->Words + next);
  watch.Count = args->Count - next;
  watch.Patterns = args->Words + next;
  return WatchGet(session, watch, FtpDoReconnect);
}

int FtpDoMPutCV(FtpSession *session, const FtpArgs *args) {
  long count = 0;
  int next = 1;
  const bool watching = next < args->Count && std::strcmp(args->Words[next], "-w") == 0;
  if (watching) next++;
  if (next < args->Count) {
    char *end = nullptr;
    count = std::strtol(args->Words[next], &end, 10);
    if (*end != '\0' || count < 1 || next + 1 < args->Count) {
      std::printf("%s: not a number of messages\n", args->Words[next]);
      std::fflush(stdout);
      return FTP_FAILED;
    }
  }
  return watching ? WatchPut(session, count, FtpDoReconnect) : FtpMPutCV(session, count);
}

int FtpDoSafePut(FtpSession *session, const FtpArgs *) {
  return FtpDoToggle(&session->Opt.SafePut, "Safe put mode ", "On .\n");
}

// ---- Remote housekeeping ----

int FtpDoDelete(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Delete(session, args->Words[1]) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoRename(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Rename(session, args->Words[1], args->Words[2]) == 0 ? FTP_OK
                                                                               : FTP_FAILED;
}

int FtpDoMkdir(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Mkdir(session, args->Words[1]) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoRmdir(FtpSession *session, const FtpArgs *args) {
  return session->Remote->Rmdir(session, args->Words[1]) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoSize(FtpSession *session, const FtpArgs *args) {
  uint64_t size = 0;
  return session->Remote->Size(session, args->Words[1], &size) == 0 ? FTP_OK : FTP_FAILED;
}

int FtpDoPutCV(FtpSession *session, const FtpArgs *args) {
  return FtpPutCV(session, FtpDoFirstArg(args));
}

// ---- The server's own commands ----

namespace {

// Sends verb and arg (null: none) as one command and shows the whole
// reply, whatever verbose says: showing it is what the command is for. A
// preliminary reply (1yz) is followed by the final one. CR, LF and NUL
// (cut by the line already) are refused before anything is sent; a
// password is never shown.
int FtpDoSendAsTyped(FtpSession *session, const std::string &verb, const char *arg) {
  const bool pass = strcasecmp(verb.c_str(), "PASS") == 0;
  FtpNoteObject(session, "%s%s%s", verb.c_str(), arg != nullptr ? " " : "",
                arg == nullptr ? ""
                : pass         ? "XXXX"
                               : arg);
  if (session->Run.LineHasNul || (arg != nullptr && std::strpbrk(arg, "\r\n") != nullptr) ||
      verb.find_first_of("\r\n") != std::string::npos) {
    std::printf("cvxfer: a command cannot hold CR, LF or NUL; not sent.\n");
    std::fflush(stdout);
    FtpFailWhy(session, FTP_EXIT_FAILED, "a command cannot hold CR, LF or NUL");
    return FTP_FAILED;
  }
  char text[kFtpCommandMax];
  if (FtpFormatCmd(text, verb.c_str(), arg) < 0) {
    FtpFailWhy(session, FTP_EXIT_FAILED, "command too long");
    return FTP_FAILED;
  }
  const int verbose = session->Opt.Verbose;
  session->Opt.Verbose = 1;
  int reply = FtpExchange(session, text, true);
  while (reply >= 100 && reply < 200 && session->Ctl.Connected) reply = FtpGetReply(session);
  session->Opt.Verbose = verbose;
  return FtpDoReplyResult(session);
}

// Deletes each listed name of dir that matches glob, by shell rules; counts
// what was deleted and names what failed.
void FtpDoDeleteMatches(FtpSession *session, const std::string &dir, const std::string &glob,
                        int *deleted, std::vector<std::string> *failed) {
  std::vector<std::string> names;
  if (session->Remote->List(session, dir.empty() ? nullptr : dir.c_str(), &names) != 0) {
    // Nothing is deleted on the word of a listing that cannot be trusted whole.
    failed->push_back(dir.empty() ? "the listing" : "the listing of " + dir);
    return;
  }
  for (const std::string &name : names) {
    if (session->Run.Interrupted || !session->Ctl.Connected) break;
    const std::string base = CVBaseOf(name);
    if (fnmatch(glob.c_str(), base.c_str(), FNM_PERIOD) != 0) continue;
    // The name the server would be asked to delete is not the name it listed.
    if (base.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
        session->Remote->Delete(session, (dir + base).c_str()) != 0) {
      failed->push_back(FtpPrintable(dir + base));
    } else {
      ++*deleted;
    }
  }
}

}  // namespace

int FtpDoRaw(FtpSession *session, const FtpArgs *args) {
  const char *rest = args->Rest;
  const size_t n = std::strcspn(rest, " ");
  return FtpDoSendAsTyped(session, std::string(rest, n), rest[n] != '\0' ? rest + n + 1 : nullptr);
}

int FtpDoSite(FtpSession *session, const FtpArgs *args) {
  return FtpDoSendAsTyped(session, "SITE", args->Rest);
}

int FtpDoMDelete(FtpSession *session, const FtpArgs *args) {
  int deleted = 0;
  std::vector<std::string> failed;
  for (int i = 1; i < args->Count && session->Ctl.Connected && !session->Run.Interrupted; i++) {
    FtpDoDeleteMatches(session, CVDirOf(args->Words[i]), CVBaseOf(args->Words[i]), &deleted,
                       &failed);
  }
  std::printf("cvxfer: mdelete: %d files, %zu failed\n", deleted, failed.size());
  for (const std::string &name : failed) std::printf("cvxfer: mdelete: failed: %s\n", name.c_str());
  std::fflush(stdout);
  if (failed.empty() && !session->Run.Interrupted) return FTP_OK;
  FtpNoteObject(session, "%zu of %zu files", failed.size(), failed.size() + deleted);
  FtpFail(session, FTP_EXIT_REFUSED);
  return FTP_FAILED;
}
