// ftp_cmd.cpp - the command table, lookup by full or abbreviated name, and
// help.
#include "ftp_cmd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_do.h"
#include "ftp_set.h"

// Needs and argument counts keep each command as lenient as it always was:
// words a command does not use are ignored.
constexpr int kConn = FTP_NEEDS_CONNECTION;
constexpr int kRemote = FTP_REMOTE_NAMES;
constexpr int kChanges = FTP_CHANGES_NAMES;
constexpr int kAny = -1;
constexpr int kDefault = FTP_STARTUP_DEFAULT;
constexpr int kRetried = FTP_RETRIED;

FtpDoCommandDef gFtpDoCommands[] = {
    {"!", FtpDoShell, "[command]", "escape to the shell", FTP_RAW_LINE, 0, kAny},
    {"?", FtpDoHelp, "[optional commands]", "a synonym for help", 0, 0, kAny},
    {"ascii", FtpDoAscii, nullptr, "set ascii transer type", kConn | kDefault, 0, kAny},
    {"binary", FtpDoBinary, nullptr, "set binary transfer type", kConn | kDefault, 0, kAny},
    {"bye", FtpDoQuit, nullptr, "terminate the FTP session with the remote server and exit cvxfer",
     0, 0, kAny},
    {"cd", FtpDoCD, "[remote-dir]", "change remote working directory", kConn | kRemote | kChanges,
     0, kAny},
    {"close", FtpDoClose, nullptr,
     "terminate the FTP session with the remote server and return to the command interpreter",
     kConn | kChanges, 0, kAny},
    {"cvconn", FtpDoCVCONN, "[QMgrName]",
     "connect to queue manager (disconnect from previous qmgr)", FTP_RAW_LINE, 0, kAny},
    {"cvnper", FtpDoCVNPER, nullptr, "set Corvane message to non-persistent", 0, 0, kAny},
    {"cvopen", FtpDoCVOPEN, "QName", "open queue (close previous queue)", FTP_RAW_LINE, 0, kAny},
    {"cvper", FtpDoCVPER, nullptr, "set Corvane message to persistent", 0, 0, kAny},
    {"cvqdepth", FtpDoCVQDEPTH, "[QName]", "display current queue depth", FTP_RAW_LINE, 0, kAny},
    {"debug", FtpDoDebug, nullptr, "toggle debugging mode", 0, 0, kAny},
    {"dir", FtpDoDir, "[remote-directory]", "get remote directory listing", kConn | kRemote, 0,
     kAny},
    {"disconnect", FtpDoClose, nullptr, "a synonym for close", kConn | kChanges, 0, kAny},
    {"ebcdic", FtpDoEbcdic, nullptr, "set ebcdic transer type", kConn | kDefault, 0, kAny},
    {"get", FtpDoGetCV, "[-d | -m directory] remote-file",
     "retrieve remote-file and store it on the local machine queue",
     kConn | kRemote | kChanges | kRetried, 0, kAny},
    {"help", FtpDoHelp, "[optional commands]",
     "shows commands, or detailed help on specified commands", 0, 0, kAny},
    {"ls", FtpDoLs, "[remote-directory]",
     "print a listing of the contents of directory on the remote machine", kConn | kRemote, 0,
     kAny},
    {"open", FtpDoOpen, "[host [port] | URL]",
     "establish a connection to the specified host FTP server", FTP_NEEDS_NO_CONNECTION | kChanges,
     0, kAny},
    {"passive", FtpDoPassive, nullptr, "toggle passive transfer mode", 0, 0, kAny},
    {"put", FtpDoPutCV, "[remote-file]", "store a local Corvane message on the remote machine",
     kConn | kRemote | kChanges | kRetried, 0, kAny},
    {"pwd", FtpDoPWD, nullptr,
     "print the name of the current working directory on the remote machine", kConn, 0, kAny},
    {"quit", FtpDoQuit, nullptr, "a synonym for bye", 0, 0, kAny},
    {"rhelp", FtpDoRhelp, nullptr, "get help from remote server", kConn, 0, kAny},
    {"rstatus", FtpDoStat, nullptr, "show status of remote machine", kConn, 0, kAny},
    {"status", FtpDoStatus, nullptr, "show the current status op cvxfer", 0, 0, kAny},
    {"system", FtpDoSyst, nullptr, "show the type of operating system running on remote machine",
     kConn, 0, kAny},
    {"type", FtpDoType, "[ascii | binary | ebcdic]", "Set the file transfer type to type-name",
     kConn | FTP_RAW_LINE | kDefault, 0, kAny},
    {"user", FtpDoLogin, "user-name [password]", "Identify yourself to the remote FTP server",
     kConn | FTP_RAW_LINE | kChanges, 0, kAny},
    {"verbose", FtpDoVerbose, nullptr, "toggle verbose mode", 0, 0, kAny},
    {"ftps", FtpDoFtps, "[off | explicit | implicit]",
     "show or set the TLS of the next open (explicit: AUTH TLS; implicit: TLS from the start)", 0,
     0, 1},
    {"delete", FtpDoDelete, "remote-file", "delete a remote file", kConn | kRemote | kChanges, 1,
     1},
    {"rename", FtpDoRename, "from-name to-name", "rename a remote file", kConn | kRemote | kChanges,
     2, 2},
    {"mkdir", FtpDoMkdir, "remote-directory", "make a directory on the remote machine",
     kConn | kRemote | kChanges, 1, 1},
    {"rmdir", FtpDoRmdir, "remote-directory", "remove a directory on the remote machine",
     kConn | kRemote | kChanges, 1, 1},
    {"size", FtpDoSize, "remote-file", "show the size of a remote file", kConn | kRemote, 1, 1},
    {"safeput", FtpDoSafePut, nullptr,
     "toggle stores through a temporary name that is renamed once the file is complete", 0, 0, 0},
    {"mget", FtpDoMGetCV, kFtpDoMGetSynopsis,
     "retrieve every remote file that matches a pattern, each as one message on the queue (-w: "
     "watch for more)",
     kConn | kRemote | kChanges | kRetried, 1, kAny},
    {"mput", FtpDoMPutCV, "[-w] [count]",
     "store messages as remote files under their own names until the queue is empty (-w: wait "
     "for more)",
     kConn | kChanges | kRetried, 0, 2},
    {"raw", FtpDoRaw, "command [arguments]",
     "send one command to the server as typed and show its reply", kConn | FTP_RAW_LINE, 1, kAny},
    {"site", FtpDoSite, "arguments", "send a SITE command to the server and show its reply",
     kConn | FTP_RAW_LINE, 1, kAny},
    {"mdelete", FtpDoMDelete, "pattern ...",
     "delete every remote file whose name matches a pattern", kConn | kRemote | kChanges, 1, kAny},
    {"set", FtpDoSet, "[verify off|size|hash|auto | retry count | segment size]",
     "show or change a setting", 0, 0, 2},
};

int gNumFtpDoCommands = sizeof(gFtpDoCommands) / sizeof(gFtpDoCommands[0]);

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

int FtpDoHelpExec(const char *name) {
  FtpDoCommandDef *row = GetFtpDoCommandByName(name);
  int rc = -1;
  if (row == FTP_DO_AMBIGUOUS) {
    std::printf("%s: ambiguous command name.\n", name);
  } else if (row == nullptr) {
    std::printf("%s: no such command.\n", name);
  } else {
    std::printf("%s: %s.\n", row->Name, row->Help);
    if (row->Synopsis != nullptr) std::printf("Usage: %s %s\n", row->Name, row->Synopsis);
    rc = 0;
  }
  std::fflush(stdout);
  return rc;
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

int FtpDoHelp(FtpSession *, const FtpArgs *args) {
  if (args->Count < 2) {
    FtpDoHelpIndex();
    return FTP_OK;
  }
  int rc = FTP_OK;
  for (int i = 1; i < args->Count; i++) {
    if (FtpDoHelpExec(args->Words[i]) != 0) rc = FTP_FAILED;
  }
  return rc;
}
