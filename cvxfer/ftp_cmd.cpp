// ftp_cmd.cpp - the command table, lookup by full or abbreviated name, help,
// and the prompt loop.
#include "ftp_cmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ftp_do.h"
#include "ftp_tcp.h"
#include "keyb_util.h"

FtpDoCommandDef gFtpDoCommands[] = {
    {"!", FtpDoShell, "[command]", "escape to the shell"},
    {"?", FtpDoHelp, "[optional commands]", "a synonym for help"},
    {"ascii", FtpDoAscii, nullptr, "set ascii transer type"},
    {"binary", FtpDoBinary, nullptr, "set binary transfer type"},
    {"bye", FtpDoQuit, nullptr, "terminate the FTP session with the remote server and exit cvxfer"},
    {"cd", FtpDoCD, "[remote-dir]", "change remote working directory"},
    {"close", FtpDoClose, nullptr,
     "terminate the FTP session with the remote server and return to the command interpreter"},
    {"cvconn", FtpDoCVCONN, "QMgrName", "connect to queue manager (disconnect from previous qmgr)"},
    {"cvnper", FtpDoCVNPER, nullptr, "set Corvane message to non-persistent"},
    {"cvopen", FtpDoCVOPEN, "QName", "open queue (close previous queue)"},
    {"cvper", FtpDoCVPER, nullptr, "set Corvane message to persistent"},
    {"cvqdepth", FtpDoCVQDEPTH, "[QName]", "display current queue depth"},
    {"debug", FtpDoDebug, nullptr, "toggle debugging mode"},
    {"dir", FtpDoDir, "[remote-directory]", "get remote directory listing"},
    {"disconnect", FtpDoClose, nullptr, "a synonym for close"},
    {"ebcdic", FtpDoEbcdic, nullptr, "set ebcdic transer type"},
    {"get", FtpDoGetCV, "remote-file",
     "retrieve remote-file and store it on the local machine queue"},
    {"help", FtpDoHelp, "[optional commands]",
     "shows commands, or detailed help on specified commands"},
    {"ls", FtpDoLs, "[remote-directory]",
     "print a listing of the contents of directory on the remote machine"},
    {"open", FtpDoOpen, "[host]", "establish a connection to the specified host FTP server"},
    {"passive", FtpDoPassive, nullptr, "toggle passive transfer mode"},
    {"put", FtpDoPutCV, "remote-file", "store a local Corvane message on the remote machine"},
    {"pwd", FtpDoPWD, nullptr,
     "print the name of the current working directory on the remote machine"},
    {"quit", FtpDoQuit, nullptr, "a synonym for bye"},
    {"rhelp", FtpDoRhelp, nullptr, "get help from remote server"},
    {"rstatus", FtpDoStat, nullptr, "show status of remote machine"},
    {"status", FtpDoStatus, nullptr, "show the current status op cvxfer"},
    {"system", FtpDoSyst, nullptr, "show the type of operating system running on remote machine"},
    {"type", FtpDoType, "type-name", "Set the file transfer type to type-name"},
    {"user", FtpDoLogin, "user-name [password]", "Identify yourself to the remote FTP server"},
    {"verbose", FtpDoVerbose, nullptr, "toggle verbose mode"},
};

int gNumFtpDoCommands = sizeof(gFtpDoCommands) / sizeof(gFtpDoCommands[0]);
int gDone = 0;

namespace {

// The first word of the line being dispatched.
char gCommandWord[64];

// The command line, reused for every line read.
char gCommandLine[KEYB_LINE_MAX + 1];

}  // namespace

int FtpDoCommandSortCmp(const void *a, const void *b) {
  return std::strcmp(static_cast<const FtpDoCommandDef *>(a)->Name,
                     static_cast<const FtpDoCommandDef *>(b)->Name);
}

int FtpDoCommandExactSearchCmp(const void *key, const void *row) {
  return std::strcmp(static_cast<const char *>(key),
                     static_cast<const FtpDoCommandDef *>(row)->Name);
}

int FtpDoCommandSubSearchCmp(const void *key, const void *row) {
  const signed char *word = static_cast<const signed char *>(key);
  const signed char *name =
      reinterpret_cast<const signed char *>(static_cast<const FtpDoCommandDef *>(row)->Name);
  for (; *word != 0; word++, name++) {
    if (*word != *name) return *word - *name;
  }
  return 0;
}

void InitFtpDoCommandList(void) {
  std::qsort(gFtpDoCommands, gNumFtpDoCommands, sizeof(FtpDoCommandDef), FtpDoCommandSortCmp);
}

FtpDoCommandDef *GetFtpDoCommandByName(const char *name) {
  auto *row = static_cast<FtpDoCommandDef *>(std::bsearch(name, gFtpDoCommands, gNumFtpDoCommands,
                                                          sizeof(FtpDoCommandDef),
                                                          FtpDoCommandExactSearchCmp));
  if (row != nullptr) return row;
  row = static_cast<FtpDoCommandDef *>(std::bsearch(
      name, gFtpDoCommands, gNumFtpDoCommands, sizeof(FtpDoCommandDef), FtpDoCommandSubSearchCmp));
  if (row == nullptr) return nullptr;
  if (row != &gFtpDoCommands[0] && FtpDoCommandSubSearchCmp(name, row - 1) == 0) {
    return FTP_DO_AMBIGUOUS;
  }
  if (row != &gFtpDoCommands[gNumFtpDoCommands - 1] &&
      FtpDoCommandSubSearchCmp(name, row + 1) == 0) {
    return FTP_DO_AMBIGUOUS;
  }
  return row;
}

int FtpDoCommand(FtpSession *session, char *line) {
  // The word is cut to the buffer; a cut word is longer than any name, so it
  // can only be reported as unknown.
  size_t n = 0;
  while (line[n] != '\0' && line[n] != ' ') n++;
  bool cut = n >= sizeof(gCommandWord);
  if (cut) n = sizeof(gCommandWord) - 1;
  std::memcpy(gCommandWord, line, n);
  gCommandWord[n] = '\0';

  FtpDoCommandDef *row = cut ? nullptr : GetFtpDoCommandByName(gCommandWord);
  if (row == FTP_DO_AMBIGUOUS) {
    std::printf("%s: ambiguous command name.\n", gCommandWord);
    std::fflush(stdout);
    return -1;
  }
  if (row == nullptr) {
    std::printf("%s: no such command.\n", gCommandWord);
    std::fflush(stdout);
    return -1;
  }
  row->Handler(session, line);
  return 0;
}

int FtpCheckFds(FtpSession *session, char *line) {
  session->InputReady = GetInput(line);
  return session->InputReady;
}

void FtpExecCmd(FtpSession *session) {
  std::memset(gCommandLine, 0, sizeof(gCommandLine));
  std::printf("cvxfer> ");
  std::fflush(stdout);
  InitFtpDoCommandList();
  gDone = 0;
  while (gDone == 0) {
    if (session->InputReady != 0) {
      std::printf("cvxfer> ");
      std::fflush(stdout);
    }
    if (FtpCheckFds(session, gCommandLine) == 0) {
      // End of input ends the session the way bye does, but quietly.
      if (session->Connected) FtpQUIT(session);
      gDone = 1;
      break;
    }
    if (gCommandLine[0] != '\0') FtpDoCommand(session, gCommandLine);
  }
}

void FtpDoHelpExec(const char *name) {
  FtpDoCommandDef *row = GetFtpDoCommandByName(name);
  if (row == FTP_DO_AMBIGUOUS) {
    std::printf("%s: ambiguous command name.\n", name);
  } else if (row == nullptr) {
    std::printf("%s: no such command.\n", name);
  } else {
    std::printf("%s: %s.\n", row->Name, row->Help);
    if (row->Synopsis != nullptr) std::printf("Usage: %s %s\n", row->Name, row->Synopsis);
  }
  std::fflush(stdout);
}

void FtpDoHelpIndex(void) {
  std::printf("Commands may be abbreviated.  Commands are:\n\n");
  for (int i = 0; i < gNumFtpDoCommands; i++) {
    const char *name = gFtpDoCommands[i].Name;
    std::printf("%s", name);
    for (int pad = 14 - static_cast<int>(std::strlen(name)); pad > 0; pad--) std::putchar(' ');
    if ((i + 1) % 5 == 0) std::putchar('\n');
  }
  std::printf("\n\n");
  std::fflush(stdout);
}

void FtpDoHelp(FtpSession *, char *line) {
  char *save = nullptr;
  char *token = line ? strtok_r(line, " ", &save) : nullptr;  // the command word itself
  token = token ? strtok_r(nullptr, " ", &save) : nullptr;
  if (token == nullptr) {
    FtpDoHelpIndex();
    return;
  }
  for (; token != nullptr; token = strtok_r(nullptr, " ", &save)) FtpDoHelpExec(token);
}
