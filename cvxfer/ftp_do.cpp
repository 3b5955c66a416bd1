// ftp_do.cpp - the command handlers: check the session state, take the
// arguments out of the typed line and call the FTP and queue layers. An
// argument is always found after the first word of the line, so abbreviated
// command words work like the full ones.
#include "ftp_do.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_cmd.h"
#include "ftp_cv.h"
#include "ftp_tcp.h"
#include "keyb_util.h"
#include "tcp_util.h"

namespace {

// Prints the answer of every handler that needs the server and has none.
// Returns 1 when connected, 0 after printing "Not Connected.".
int FtpDoNeedConnection(const FtpSession *session) {
  if (session->Connected) return 1;
  std::printf("Not Connected.\n");
  std::fflush(stdout);
  return 0;
}

// Returns the text after the first word of line (the command word, ended by
// a space) with spaces and tabs skipped; "" when there is none or no line.
char *FtpDoArgument(char *line) {
  static char empty[1] = {0};
  if (line == nullptr) return empty;
  char *p = std::strchr(line, ' ');
  if (p == nullptr) return line + std::strlen(line);
  p += std::strspn(p, " \t");
  return p;
}

// Cuts line into words separated by spaces (in place) and returns the second
// word, or null when the line has only one word.
char *FtpDoSecondWord(char *line) {
  if (line == nullptr) return nullptr;
  char *save = nullptr;
  if (strtok_r(line, " ", &save) == nullptr) return nullptr;
  return strtok_r(nullptr, " ", &save);
}

// Inverts flag and prints prefix followed by the new state.
void FtpDoToggle(int *flag, const char *prefix, const char *onText) {
  *flag = *flag ? 0 : 1;
  std::printf("%s%s", prefix, *flag ? onText : "Off.\n");
  std::fflush(stdout);
}

// Sets the transfer type by its one-letter code and keeps its value.
void FtpDoSetType(FtpSession *session, const char *code, int value) {
  FtpTYPE(session, code);
  session->TransferType = value;
}

// Returns the port when text is a decimal number 1 to 65535, else 0.
unsigned FtpDoParsePort(const char *text) {
  size_t n = std::strlen(text);
  if (n == 0 || n > 5 || std::strspn(text, "0123456789") != n) return 0;
  long port = std::strtol(text, nullptr, 10);
  return port >= 1 && port <= 65535 ? static_cast<unsigned>(port) : 0;
}

// Connects to host text: "HOST PORT" (one host word, one port number)
// connects to PORT, anything else is the host itself on port 21.
void FtpDoConnect(FtpSession *session, const char *hostText) {
  const char *blank = std::strchr(hostText, ' ');
  if (blank != nullptr && blank != hostText && std::strchr(blank + 1, ' ') == nullptr) {
    unsigned port = FtpDoParsePort(blank + 1);
    if (port != 0) {
      std::string host(hostText, blank - hostText);
      FtpOpen(session, host.c_str(), static_cast<unsigned short>(port));
      return;
    }
  }
  FtpOpen(session, hostText);
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

}  // namespace

// ---- Connection commands ----

void FtpDoOpen(FtpSession *session, char *line) {
  if (session->Connected) {
    std::printf("Already connected.  Close connection first.\n");
    std::fflush(stdout);
    return;
  }
  static char answer[1024];
  const char *host = "";
  if (line == nullptr || std::strcmp(line, "open") == 0 || std::strcmp(line, "o") == 0) {
    std::printf("To ");
    std::fflush(stdout);
    answer[0] = '\0';
    if (KeybReadLine(answer, sizeof(answer)) == 0) answer[0] = '\0';
    host = answer;
  } else if (std::strncmp(line, "open ", 5) == 0) {
    host = line + 5;
  } else if (std::strncmp(line, "o ", 2) == 0) {
    host = line + 2;
  } else {
    host = line;
  }
  FtpDoConnect(session, host);
  if (session->Connected && session->AutoLogin) FtpDoLogin(session, nullptr);
}

void FtpDoLogin(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  char *text = FtpDoArgument(line);

  char loginName[20] = {0};
  char typed[20] = {0};
  char password[256] = {0};
  const char *user = nullptr;
  const char *pass = nullptr;

  if (text[0] == '\0') {
    int capacity = sizeof(loginName);
    GetUserName(loginName, &capacity);
    std::printf("User <%s>:", loginName);
    std::fflush(stdout);
    if (KeybReadLine(typed, sizeof(typed)) == 0 || typed[0] == '\0') {
      user = loginName;
    } else {
      user = typed;
    }
  } else {
    char *save = nullptr;
    user = strtok_r(text, " ", &save);
    pass = strtok_r(nullptr, " ", &save);
  }

  FtpUSER(session, user);
  if (pass == nullptr) {
    GetPassword(password);
    pass = password;
  }
  FtpPASS(session, pass);
  std::memset(password, 0, sizeof(password));

  if (session->ReplyCode < 500) {
    FtpDoAscii(session, nullptr);
  } else if (session->ReplyCode == 530) {
    std::printf("Login incorrect.\n");
  }
  std::fflush(stdout);
}

void FtpDoClose(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpQUIT(session);
}

void FtpDoQuit(FtpSession *session, char *) {
  if (FtpDoNeedConnection(session)) FtpQUIT(session);
  gDone = 1;
}

// ---- Mode and status commands ----

void FtpDoShell(FtpSession *, char *line) {
  const char *command = (line != nullptr && line[0] != '\0') ? line + 1 : "";
  std::fflush(stdout);
  if (command[strspn(command, " \t")] != '\0') {
    (void)std::system(command);
  } else {
    // A bare "!" starts an interactive shell.
    std::string shell(1, '\'');
    shell += FtpDoLoginShell();
    shell += '\'';
    (void)std::system(shell.c_str());
  }
  std::fflush(stdout);
}

void FtpDoAscii(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpDoSetType(session, "A", 1);
}

void FtpDoBinary(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpDoSetType(session, "I", 2);
}

void FtpDoEbcdic(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpDoSetType(session, "E", 3);
}

void FtpDoType(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  const char *arg = FtpDoArgument(line);
  if (arg[0] == '\0') {
    static const char *const kNames[] = {"<UNKNOWN>", "ascii", "binary", "ebcdic"};
    int type = session->TransferType;
    std::printf("Using ");
    std::fflush(stdout);
    std::printf("%s mode to transfer files.\n", kNames[type >= 1 && type <= 3 ? type : 0]);
  } else if (std::strcmp(arg, "ascii") == 0) {
    FtpDoSetType(session, "A", 1);
  } else if (std::strcmp(arg, "ebcdic") == 0) {
    FtpDoSetType(session, "E", 3);
  } else if (std::strcmp(arg, "binary") == 0) {
    FtpDoSetType(session, "I", 2);
  } else {
    std::printf("%s: unknown mode\n", arg);
  }
  std::fflush(stdout);
}

void FtpDoDebug(FtpSession *session, char *) {
  FtpDoToggle(&session->Debug, "Debugging ", "On .\n");
}

void FtpDoVerbose(FtpSession *session, char *) {
  FtpDoToggle(&session->Verbose, "Verbose mode ", "On .\n");
}

void FtpDoPassive(FtpSession *session, char *) {
  FtpDoToggle(&session->Passive, "Passive mode ", "On .\n");
}

void FtpDoPrompt(FtpSession *session, char *) {
  FtpDoToggle(&session->Interactive, "Interactive mode ", "On .\n");
}

void FtpDoHash(FtpSession *session, char *) {
  FtpDoToggle(&session->HashMarks, "Hash mark printing ", "On  cvxfer: (2048 bytes/hash mark) .\n");
}

void FtpDoStatus(FtpSession *session, char *) {
  if (session->Connected && session->HostInfo != nullptr) {
    std::printf("Connected to %s\n", session->HostInfo->HostName);
  } else {
    std::printf("Not Connected\n");
  }
  std::printf("Passive Mode: %s\n", session->Passive == 1 ? "on" : "off");
  std::printf("Verbose: %s\n", session->Verbose == 1 ? "on" : "off");
  std::printf("Hash mark printing: %s\n", session->HashMarks == 1 ? "on" : "off");
  std::printf("Queue manager: %.*s\n", CV_Q_MGR_NAME_LENGTH, session->QMgrName);
  std::printf("Queue: %.*s\n", CV_Q_NAME_LENGTH, session->QName);
  std::printf("Message persistence: %s\n", session->Persistence == 1 ? "on" : "off");
  std::fflush(stdout);
}

// ---- Remote information commands ----

void FtpDoCD(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  static char directory[1024];
  char *dir = nullptr;
  if (line == nullptr || std::strcmp(line, "cd") == 0) {
    std::printf("Remote directory ");
    std::fflush(stdout);
    directory[0] = '\0';
    if (KeybReadLine(directory, sizeof(directory)) == 0) directory[0] = '\0';
    dir = directory;
  } else {
    dir = FtpDoArgument(line);
  }
  FtpCD(session, dir);
}

void FtpDoPWD(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpPWD(session);
}

void FtpDoLs(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpNLST(session, FtpDoSecondWord(line));
}

void FtpDoDir(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpLIST(session, FtpDoSecondWord(line));
}

void FtpDoSyst(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpSYST(session);
}

void FtpDoStat(FtpSession *session, char *) {
  if (!FtpDoNeedConnection(session)) return;
  FtpSTAT(session);
}

void FtpDoRhelp(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpHELP(session, FtpDoSecondWord(line));
}

// ---- Queue commands ----

void FtpDoCVCONN(FtpSession *session, char *line) {
  FtpCVCONN(session, FtpDoArgument(line));
}

void FtpDoCVDISC(FtpSession *session, char *) {
  FtpCVDISC(session);
}

void FtpDoCVOPEN(FtpSession *session, char *line) {
  FtpCVOPEN(session, FtpDoArgument(line));
}

void FtpDoCVCLOSE(FtpSession *session, char *) {
  FtpCVCLOSE(session);
}

void FtpDoCVQDEPTH(FtpSession *session, char *line) {
  FtpCVQDEPTH(session, FtpDoArgument(line));
}

void FtpDoCVPER(FtpSession *session, char *) {
  std::printf("Message persistence set to CVPER_PERSISTENT.\n");
  std::fflush(stdout);
  session->Persistence = CVPER_PERSISTENT;
}

void FtpDoCVNPER(FtpSession *session, char *) {
  std::printf("Message persistence set to CVPER_NOT_PERSISTENT.\n");
  std::fflush(stdout);
  session->Persistence = CVPER_NOT_PERSISTENT;
}

// ---- Transfer commands ----

void FtpDoGetCV(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpGetCV(session, FtpDoSecondWord(line));
}

void FtpDoPutCV(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpPutCV(session, FtpDoSecondWord(line));
}

void FtpDoGet(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpGetFile(session, FtpDoSecondWord(line));
}

void FtpDoPut(FtpSession *session, char *line) {
  if (!FtpDoNeedConnection(session)) return;
  FtpPutFile(session, FtpDoSecondWord(line));
}
