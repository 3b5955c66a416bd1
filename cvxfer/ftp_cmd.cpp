// ftp_cmd.cpp - the command table, lookup by full or abbreviated name, help,
// and the prompt loop.
#include "ftp_cmd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_do.h"
#include "ftp_edit.h"
#include "ftp_tcp.h"
#include "keyb_util.h"

// Needs and argument counts keep each command as lenient as it always was:
// words a command does not use are ignored.
constexpr int kConn = FTP_NEEDS_CONNECTION;
constexpr int kRemote = FTP_REMOTE_NAMES;
constexpr int kChanges = FTP_CHANGES_NAMES;
constexpr int kAny = -1;

FtpDoCommandDef gFtpDoCommands[] = {
    {"!", FtpDoShell, "[command]", "escape to the shell", FTP_RAW_LINE, 0, kAny},
    {"?", FtpDoHelp, "[optional commands]", "a synonym for help", 0, 0, kAny},
    {"ascii", FtpDoAscii, nullptr, "set ascii transer type", kConn, 0, kAny},
    {"binary", FtpDoBinary, nullptr, "set binary transfer type", kConn, 0, kAny},
    {"bye", FtpDoQuit, nullptr, "terminate the FTP session with the remote server and exit cvxfer",
     0, 0, kAny},
    {"cd", FtpDoCD, "[remote-dir]", "change remote working directory", kConn | kRemote | kChanges,
     0, kAny},
    {"close", FtpDoClose, nullptr,
     "terminate the FTP session with the remote server and return to the command interpreter",
     kConn | kChanges, 0, kAny},
    {"cvconn", FtpDoCVCONN, "QMgrName", "connect to queue manager (disconnect from previous qmgr)",
     FTP_RAW_LINE, 0, kAny},
    {"cvnper", FtpDoCVNPER, nullptr, "set Corvane message to non-persistent", 0, 0, kAny},
    {"cvopen", FtpDoCVOPEN, "QName", "open queue (close previous queue)", FTP_RAW_LINE, 0, kAny},
    {"cvper", FtpDoCVPER, nullptr, "set Corvane message to persistent", 0, 0, kAny},
    {"cvqdepth", FtpDoCVQDEPTH, "[QName]", "display current queue depth", FTP_RAW_LINE, 0, kAny},
    {"debug", FtpDoDebug, nullptr, "toggle debugging mode", 0, 0, kAny},
    {"dir", FtpDoDir, "[remote-directory]", "get remote directory listing", kConn | kRemote, 0,
     kAny},
    {"disconnect", FtpDoClose, nullptr, "a synonym for close", kConn | kChanges, 0, kAny},
    {"ebcdic", FtpDoEbcdic, nullptr, "set ebcdic transer type", kConn, 0, kAny},
    {"get", FtpDoGetCV, "remote-file",
     "retrieve remote-file and store it on the local machine queue", kConn | kRemote | kChanges, 0,
     kAny},
    {"help", FtpDoHelp, "[optional commands]",
     "shows commands, or detailed help on specified commands", 0, 0, kAny},
    {"ls", FtpDoLs, "[remote-directory]",
     "print a listing of the contents of directory on the remote machine", kConn | kRemote, 0,
     kAny},
    {"open", FtpDoOpen, "[host]", "establish a connection to the specified host FTP server",
     FTP_NEEDS_NO_CONNECTION | kChanges, 0, kAny},
    {"passive", FtpDoPassive, nullptr, "toggle passive transfer mode", 0, 0, kAny},
    {"put", FtpDoPutCV, "remote-file", "store a local Corvane message on the remote machine",
     kConn | kRemote | kChanges, 0, kAny},
    {"pwd", FtpDoPWD, nullptr,
     "print the name of the current working directory on the remote machine", kConn, 0, kAny},
    {"quit", FtpDoQuit, nullptr, "a synonym for bye", 0, 0, kAny},
    {"rhelp", FtpDoRhelp, nullptr, "get help from remote server", kConn, 0, kAny},
    {"rstatus", FtpDoStat, nullptr, "show status of remote machine", kConn, 0, kAny},
    {"status", FtpDoStatus, nullptr, "show the current status op cvxfer", 0, 0, kAny},
    {"system", FtpDoSyst, nullptr, "show the type of operating system running on remote machine",
     kConn, 0, kAny},
    {"type", FtpDoType, "type-name", "Set the file transfer type to type-name",
     kConn | FTP_RAW_LINE, 0, kAny},
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
    {"mget", FtpDoMGetCV, "[-d | -m directory] pattern ...",
     "retrieve every remote file that matches a pattern, each as one message on the queue",
     kConn | kRemote | kChanges, 1, kAny},
    {"mput", FtpDoMPutCV, "[count]",
     "store messages as remote files under their own names until the queue is empty",
     kConn | kChanges, 0, 1},
};

int gNumFtpDoCommands = sizeof(gFtpDoCommands) / sizeof(gFtpDoCommands[0]);
int gDone = 0;

namespace {

// The first word of the line being dispatched.
char gCommandWord[64];

// The command line, reused for every line read.
char gCommandLine[KEYB_LINE_MAX + 1];

constexpr char kPrompt[] = "cvxfer> ";

// Lines come from the line editor (a terminal), not from GetInput.
bool gEditing = false;

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

void FtpSplitArgs(const char *line, FtpArgs *args) {
  args->Line = line;
  args->Count = 0;
  args->Unbalanced = 0;
  // The command word ends at the first space only; the rest starts after
  // the blanks (spaces and tabs) that follow it.
  const char *rest = std::strchr(line, ' ');
  rest = rest == nullptr ? line + std::strlen(line) : rest + std::strspn(rest, " \t");
  args->Rest = rest;

  char *out = args->Storage;
  const char *p = line;
  const int maxWords = static_cast<int>(sizeof(args->Words) / sizeof(args->Words[0])) - 1;
  while (args->Count < maxWords) {
    while (*p == ' ') p++;
    if (*p == '\0') break;
    args->Words[args->Count++] = out;
    if (*p == '"') {
      // A quoted word ends at a quote followed by a space or the end.
      const char *q = p + 1;
      const char *close = nullptr;
      for (const char *c = q; *c != '\0'; c++) {
        if (*c == '"' && (c[1] == ' ' || c[1] == '\0')) {
          close = c;
          break;
        }
      }
      if (close == nullptr) {
        args->Unbalanced = 1;
        close = q + std::strlen(q);
      }
      std::memcpy(out, q, static_cast<size_t>(close - q));
      out += close - q;
      p = *close == '"' ? close + 1 : close;
    } else {
      while (*p != '\0' && *p != ' ') *out++ = *p++;
    }
    *out++ = '\0';
  }
  args->Words[args->Count] = nullptr;
}

int FtpMakeArgs(FtpArgs *args, int count, const char *const words[]) {
  std::string text;
  for (int i = 0; i < count; i++) {
    if (i > 0) text += ' ';
    text += words[i];
  }
  args->Count = 0;
  args->Unbalanced = 0;
  args->Text[0] = '\0';
  args->Line = args->Rest = args->Text;
  args->Words[0] = nullptr;
  if (text.size() > KEYB_LINE_MAX) return -1;
  std::memcpy(args->Text, text.c_str(), text.size() + 1);
  char *out = args->Storage;
  for (int i = 0; i < count; i++) {
    size_t n = std::strlen(words[i]);
    std::memcpy(out, words[i], n + 1);
    args->Words[i] = out;
    out += n + 1;
  }
  args->Count = count;
  args->Words[count] = nullptr;
  args->Rest =
      count > 1 ? args->Text + std::strlen(words[0]) + 1 : args->Text + std::strlen(args->Text);
  return 0;
}

int FtpDoDispatch(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args) {
  session->Failure = 0;
  const char *answer = nullptr;
  const int given = args->Count - 1;
  if ((row->Needs & FTP_NEEDS_CONNECTION) != 0 && !session->Connected) {
    answer = "Not Connected.\n";
  } else if ((row->Needs & FTP_NEEDS_NO_CONNECTION) != 0 && session->Connected) {
    answer = "Already connected.  Close connection first.\n";
  } else if ((row->Needs & FTP_RAW_LINE) == 0 && args->Unbalanced) {
    answer = "Unbalanced quotes.\n";
  } else if (given < row->MinArgs || (row->MaxArgs >= 0 && given > row->MaxArgs)) {
    std::printf("usage: %s %s\n", row->Name, row->Synopsis != nullptr ? row->Synopsis : "");
    std::fflush(stdout);
    return FTP_FAILED;
  }
  if (answer != nullptr) {
    std::fputs(answer, stdout);
    std::fflush(stdout);
    return FTP_FAILED;
  }
  const int result = row->Handler(session, args);
  if ((row->Needs & FTP_CHANGES_NAMES) != 0) FtpEditForgetNames();
  return result;
}

int FtpDoCommand(FtpSession *session, const char *line) {
  // The word is cut to the buffer; a cut word is longer than any name, so it
  // can only be reported as unknown. "!cmd" is the shell escape with its
  // command written against it.
  size_t n = line[0] == '!' ? 1 : std::strcspn(line, " ");
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
  static FtpArgs args;  // large; one line is dispatched at a time
  FtpSplitArgs(line, &args);
  return FtpDoDispatch(session, row, &args);
}

int FtpEndCommand(FtpSession *session, int result) {
  int cls = FTP_EXIT_OK;
  if (session->Interrupted) {
    std::printf("cvxfer: interrupted\n");
    std::fflush(stdout);
    cls = FTP_EXIT_INTERRUPTED;
  } else if (result != 0) {
    cls = result > 0 && session->Failure != 0 ? session->Failure : FTP_EXIT_FAILED;
  }
  session->Interrupted = 0;
  gFtpInterrupted = 0;
  session->Failure = 0;
  if (cls == FTP_EXIT_OK) return cls;
  if (session->Status == FTP_EXIT_OK) session->Status = cls;
  // An interrupt ends a run that nobody watches at a terminal; -e ends any
  // run at its first failure.
  if (session->ExitOnError || (cls == FTP_EXIT_INTERRUPTED && !isatty(STDIN_FILENO))) {
    if (session->Connected) FtpQUIT(session);
    gDone = 1;
  }
  return cls;
}

int FtpReadCommandLine(FtpSession *session, char *line) {
  session->InputReady = gEditing ? FtpEditReadLine(kPrompt, line) : GetInput(line);
  return session->InputReady;
}

void FtpExecCmd(FtpSession *session) {
  std::memset(gCommandLine, 0, sizeof(gCommandLine));
  InitFtpDoCommandList();
  // The line editor shows the prompt itself, to redraw it while editing.
  gEditing = FtpEditStart(session) != 0;
  if (!gEditing) {
    std::printf("%s", kPrompt);
    std::fflush(stdout);
  }
  gDone = 0;
  while (gDone == 0) {
    if (!gEditing && session->InputReady != 0) {
      std::printf("%s", kPrompt);
      std::fflush(stdout);
    }
    int read = FtpReadCommandLine(session, gCommandLine);
    if (read < 0) {
      // SIGINT at the prompt: a fresh prompt on a terminal, the end of a
      // run fed from elsewhere.
      std::printf("\n");
      std::fflush(stdout);
      gFtpInterrupted = 0;
      if (!isatty(STDIN_FILENO)) {
        session->Interrupted = 1;
        FtpEndCommand(session, 0);
      }
      continue;
    }
    if (read == 0) {
      // End of input ends the session the way bye does, but quietly.
      if (gEditing) std::printf("\n");
      if (session->Connected) FtpQUIT(session);
      gDone = 1;
      break;
    }
    if (gCommandLine[0] != '\0') FtpEndCommand(session, FtpDoCommand(session, gCommandLine));
  }
  FtpEditEnd();
  gEditing = false;
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
