// ftp_loop.cpp - the prompt loop, the dispatcher and the account of each
// command for the run's exit status.
#include "ftp_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote.h"
#include "ftp_edit.h"
#include "ftp_clock.h"
#include "ftp_io.h"
#include "keyb_util.h"

namespace {

constexpr char kPrompt[] = "cvxfer> ";

// Lines come from the line editor (a terminal), not from GetInput.
bool gEditing = false;

// Lines come from a job file: '#' lines are comments.
bool gJob = false;

// Whether any line of the file fd holds a password (FtpEditHasPassword
// judges; a line is judged on as much of it as a command line holds). The
// file is read from its start and left at its start.
bool FtpJobHasPassword(int fd) {
  FILE *file = fdopen(dup(fd), "r");
  if (file == nullptr) return false;
  char *text = nullptr;
  size_t room = 0;
  bool found = false;
  for (ssize_t n; !found && (n = getline(&text, &room, file)) >= 0;) {
    if (n > KEYB_LINE_MAX) text[KEYB_LINE_MAX] = '\0';
    found = FtpEditHasPassword(text) != 0;
  }
  std::free(text);
  std::fclose(file);
  // The copy shared the offset: the commands are read from the start again.
  lseek(fd, 0, SEEK_SET);
  return found;
}

}  // namespace

int FtpDoDispatch(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args) {
  session->Run.Failure = 0;
  const char *answer = nullptr;
  const int given = args->Count - 1;
  if ((row->Needs & FTP_NEEDS_CONNECTION) != 0 && !session->Ctl.Connected) {
    answer = "Not Connected.\n";
  } else if ((row->Needs & FTP_NEEDS_NO_CONNECTION) != 0 && session->Ctl.Connected) {
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
  char word[64];
  bool cut = n >= sizeof(word);
  if (cut) n = sizeof(word) - 1;
  std::memcpy(word, line, n);
  word[n] = '\0';

  FtpDoCommandDef *row = cut ? nullptr : GetFtpDoCommandByName(word);
  if (row == FTP_DO_AMBIGUOUS) {
    std::printf("%s: ambiguous command name.\n", word);
    std::fflush(stdout);
    return -1;
  }
  if (row == nullptr) {
    std::printf("%s: no such command.\n", word);
    std::fflush(stdout);
    return -1;
  }
  static FtpArgs args;  // large; one line is dispatched at a time
  FtpSplitArgs(line, &args);
  return FtpDoDispatch(session, row, &args);
}

int FtpEndCommand(FtpSession *session, int result) {
  int cls = FTP_EXIT_OK;
  if (session->Run.Interrupted) {
    std::printf("cvxfer: interrupted\n");
    std::fflush(stdout);
    cls = FTP_EXIT_INTERRUPTED;
  } else if (result != 0) {
    cls = result > 0 && session->Run.Failure != 0 ? session->Run.Failure : FTP_EXIT_FAILED;
  }
  session->Run.Interrupted = 0;
  FtpInterruptClear();
  session->Run.Failure = 0;
  if (FtpTerminatePending()) {
    // SIGTERM: the command in flight has finished; the run ends here.
    if (session->Ctl.Connected) session->Remote->Close(session);
    session->Run.Done = 1;
  }
  if (cls == FTP_EXIT_OK) return cls;
  if (session->Run.Status == FTP_EXIT_OK) session->Run.Status = cls;
  // An interrupt ends a run that nobody watches at a terminal; -e ends any
  // run at its first failure.
  if (session->Opt.ExitOnError || (cls == FTP_EXIT_INTERRUPTED && !isatty(STDIN_FILENO))) {
    if (session->Ctl.Connected) session->Remote->Close(session);
    session->Run.Done = 1;
  }
  return cls;
}

int FtpReadCommandLine(FtpSession *session, char *line) {
  session->Run.InputReady = gEditing ? FtpEditReadLine(kPrompt, line) : GetInput(line);
  return session->Run.InputReady;
}

void FtpExecCmd(FtpSession *session) {
  // The command line, reused for every line read.
  static char line[KEYB_LINE_MAX + 1];
  std::memset(line, 0, sizeof(line));
  InitFtpDoCommandList();
  // The line editor shows the prompt itself, to redraw it while editing.
  gEditing = FtpEditStart(session) != 0;
  if (!gEditing) {
    std::printf("%s", kPrompt);
    std::fflush(stdout);
  }
  session->Run.Done = 0;
  while (session->Run.Done == 0) {
    if (!gEditing && session->Run.InputReady != 0) {
      std::printf("%s", kPrompt);
      std::fflush(stdout);
    }
    int read = FtpReadCommandLine(session, line);
    if (FtpTerminatePending()) {
      // SIGTERM at the prompt: the run ends as at the end of its input.
      if (session->Ctl.Connected) session->Remote->Close(session);
      session->Run.Done = 1;
      break;
    }
    if (read < 0) {
      // SIGINT at the prompt: a fresh prompt on a terminal, the end of a
      // run fed from elsewhere.
      std::printf("\n");
      std::fflush(stdout);
      FtpInterruptClear();
      if (!isatty(STDIN_FILENO)) {
        session->Run.Interrupted = 1;
        FtpEndCommand(session, 0);
      }
      continue;
    }
    if (read == 0) {
      // End of input ends the session the way bye does, but quietly.
      if (gEditing) std::printf("\n");
      if (session->Ctl.Connected) session->Remote->Close(session);
      session->Run.Done = 1;
      break;
    }
    if (line[0] != '\0' && !(gJob && line[0] == '#')) {
      FtpEndCommand(session, FtpDoCommand(session, line));
    }
  }
  FtpEditEnd();
  gEditing = false;
}

int FtpJobOpen(const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "cvxfer: -f %s: %s\n", path,
                 fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) close(fd);
    return -1;
  }
  // The rule of .netrc: a password is kept only where no one else can read it.
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0 && FtpJobHasPassword(fd)) {
    std::fprintf(stderr,
                 "cvxfer: %s holds a password and can be read by others; not run "
                 "(remove the password or chmod 600 %s)\n",
                 path, path);
    close(fd);
    return -1;
  }
  if (dup2(fd, STDIN_FILENO) < 0) {
    std::fprintf(stderr, "cvxfer: -f %s: %s\n", path, std::strerror(errno));
    close(fd);
    return -1;
  }
  close(fd);
  gJob = true;
  return 0;
}
