// ftp_loop.cpp - the prompt loop, the dispatcher and the account of each
// command for the run's exit status.
#include "ftp_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote.h"
#include "ftp_do.h"
#include "ftp_edit.h"
#include "ftp_clock.h"
#include "ftp_event.h"
#include "ftp_io.h"
#include "ftp_retry.h"
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

// What a failure of each class is, for a failure line whose layer gave no
// cause.
const char *FtpClassText(int cls) {
  switch (cls) {
    case FTP_EXIT_CONNECT:
      return "could not connect";
    case FTP_EXIT_LOGIN:
      return "login refused";
    case FTP_EXIT_TLS:
      return "TLS could not be set up or verified";
    case FTP_EXIT_REFUSED:
      return "refused by the server";
    case FTP_EXIT_INCOMPLETE:
      return "the transfer did not complete";
    case FTP_EXIT_TIMEOUT:
      return "timed out";
    case FTP_EXIT_QUEUE:
      return "the queue manager refused";
    case FTP_EXIT_NO_MESSAGE:
      return "no message on the queue";
    default:
      return "see the messages above";
  }
}

// Copies text into field (size bytes, terminated, cut to fit) without its
// line end and with every other control character written ^X: a failure
// line is one line, whatever a server or a name holds.
void FtpAccountCopy(char *field, size_t size, std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  size_t n = 0;
  for (size_t i = 0; i < text.size() && n + 3 <= size; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      field[n++] = '^';
      field[n++] = static_cast<char>(c == 0x7F ? '?' : c + '@');
    } else {
      field[n++] = static_cast<char>(c);
    }
  }
  field[n] = '\0';
}

// FtpAccountCopy of what format and ap say.
void FtpAccountText(char *field, size_t size, const char *format, va_list ap) {
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, ap);
  FtpAccountCopy(field, size, text);
}

// Prints the one line on standard error that says what the command that
// just failed in class cls was, what it worked on and why it failed.
void FtpFailureLine(const FtpSession *session, int cls) {
  const FtpAccount &run = session->Run;
  std::fflush(stdout);
  std::fprintf(stderr, "cvxfer: %s failed: %s%s%s\n",
               run.Command[0] != '\0' ? run.Command : "command", run.Object,
               run.Object[0] != '\0' ? ": " : "",
               run.Cause[0] != '\0' ? run.Cause : FtpClassText(cls));
  std::fflush(stderr);
}

// Runs one command of a start-up file or of -c: text (which held a NUL
// byte when hasNul) is made a line as GetInput makes one; "#" starts a
// comment line. Returns the command's class (0 when there was none).
int FtpRunOneLine(FtpSession *session, const char *text, int hasNul) {
  static char line[KEYB_LINE_MAX + 1];
  KeybTrimLine(text, line);
  session->Run.LineHasNul = hasNul;
  if (line[0] == '\0' || line[0] == '#') return 0;
  return FtpEndCommand(session, FtpDoCommand(session, line));
}

// Opens the account of row's command on args: its remote names are what it
// works on, unless a layer names a better object (host and port, the name
// a put chose).
void FtpBeginRow(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args) {
  FtpBeginCommand(session, row->Name);
  if ((row->Needs & FTP_REMOTE_NAMES) != 0 && args->Count > 1) {
    FtpNoteObject(session, "%s", args->Rest);
  }
}

// Whether the command that just failed is worth another try: its failure
// may pass (FtpFailureTransient), and it was neither the queue's nor ended
// by Ctrl-C or SIGTERM.
bool FtpRetryWorth(const FtpSession *session) {
  const int cls = session->Run.Failure;
  return !session->Run.Interrupted && !FtpInterruptPending() && !FtpTerminatePending() &&
         cls != FTP_EXIT_QUEUE && cls != FTP_EXIT_NO_MESSAGE && FtpFailureTransient(session);
}

// Runs row's handler on args, and again after each failure worth it, up to
// Opt.Retries more times: after the back-off of the watch modes (said in one
// line), connected and logged in again first when the connection is gone.
// Each try goes on where the last stopped, as the bridge does by itself (a
// put resumes its store, mget skips what is on the queue). The account is
// the last try's. Ctrl-C or SIGTERM during a wait ends the retries there.
// Returns the last try's result.
int FtpRunRetried(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args) {
  int result = row->Handler(session, args);
  for (int attempt = 0;
       result != FTP_OK && attempt < session->Opt.Retries && FtpRetryWorth(session); attempt++) {
    const long long wait = FtpBackoffMs(attempt);
    std::printf("cvxfer: retrying %s in %lld s (%d of %d)\n", row->Name, (wait + 999) / 1000,
                attempt + 1, session->Opt.Retries);
    std::fflush(stdout);
    FtpEvent retry;
    retry.Kind = FTP_EVENT_RETRY;
    retry.ExitClass = session->Run.Failure;
    FtpEventSay(session, retry);
    if (!FtpPause(wait)) {
      if (FtpInterruptPending()) {
        session->Run.Interrupted = 1;  // the command ends as interrupted, at once
        FtpFail(session, FTP_EXIT_INTERRUPTED);
      }
      break;
    }
    FtpBeginRow(session, row, args);
    if (!session->Ctl.Connected) {
      if (FtpDoReconnect(session) != FTP_OK) {
        FtpFail(session, FTP_EXIT_CONNECT);
        result = FTP_FAILED;
        continue;
      }
      FtpEvent back;
      back.Kind = FTP_EVENT_RECONNECT;
      FtpEventSay(session, back);
    }
    result = row->Handler(session, args);
  }
  return result;
}

}  // namespace

void FtpFail(FtpSession *session, int cls) {
  FtpAccount &run = session->Run;
  if (run.Failure == 0) run.Failure = cls;
  // A negative reply read during this command is what the server said.
  const FtpControl &ctl = session->Ctl;
  if (run.Cause[0] == '\0' && ctl.Replies != run.RepliesAtStart && ctl.ReplyCode >= 400 &&
      ctl.ReplyText[0] != '\0') {
    FtpAccountCopy(run.Cause, sizeof(run.Cause), ctl.ReplyText);
  }
}

void FtpFailWhy(FtpSession *session, int cls, const char *format, ...) {
  if (session->Run.Cause[0] == '\0') {
    va_list ap;
    va_start(ap, format);
    FtpAccountText(session->Run.Cause, sizeof(session->Run.Cause), format, ap);
    va_end(ap);
  }
  FtpFail(session, cls);
}

void FtpNoteObject(FtpSession *session, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  FtpAccountText(session->Run.Object, sizeof(session->Run.Object), format, ap);
  va_end(ap);
}

void FtpBeginCommand(FtpSession *session, const char *name) {
  FtpAccount &run = session->Run;
  run.Failure = 0;
  std::snprintf(run.Command, sizeof(run.Command), "%s", name);
  run.Object[0] = run.Cause[0] = '\0';
  run.RepliesAtStart = session->Ctl.Replies;
}

int FtpDoDispatch(FtpSession *session, const FtpDoCommandDef *row, const FtpArgs *args) {
  FtpBeginRow(session, row, args);
  const char *answer = nullptr;
  const int given = args->Count - 1;
  const bool setsDefault = session->Run.Startup && (row->Needs & FTP_STARTUP_DEFAULT) != 0;
  if ((row->Needs & FTP_NEEDS_CONNECTION) != 0 && !session->Ctl.Connected && !setsDefault) {
    answer = "Not Connected.\n";
  } else if ((row->Needs & FTP_NEEDS_NO_CONNECTION) != 0 && session->Ctl.Connected) {
    answer = "Already connected.  Close connection first.\n";
  } else if ((row->Needs & FTP_RAW_LINE) == 0 && args->Unbalanced) {
    answer = "Unbalanced quotes.\n";
  } else if (given < row->MinArgs || (row->MaxArgs >= 0 && given > row->MaxArgs)) {
    std::printf("usage: %s %s\n", row->Name, row->Synopsis != nullptr ? row->Synopsis : "");
    std::fflush(stdout);
    FtpFailWhy(session, FTP_EXIT_FAILED, "usage: %s %s", row->Name,
               row->Synopsis != nullptr ? row->Synopsis : "");
    return FTP_FAILED;
  }
  if (answer != nullptr) {
    std::fputs(answer, stdout);
    std::fflush(stdout);
    FtpFailWhy(session, FTP_EXIT_FAILED, "%s", answer);
    return FTP_FAILED;
  }
  const int result = (row->Needs & FTP_RETRIED) != 0 ? FtpRunRetried(session, row, args)
                                                     : row->Handler(session, args);
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
  if (row == FTP_DO_AMBIGUOUS || row == nullptr) {
    const char *why = row == nullptr ? "no such command" : "ambiguous command name";
    std::printf("%s: %s.\n", word, why);
    std::fflush(stdout);
    FtpBeginCommand(session, word);
    FtpFailWhy(session, FTP_EXIT_FAILED, "%s", why);
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
  // Whatever verbose and -q hide, a failure is said in one line.
  if (cls != FTP_EXIT_INTERRUPTED) FtpFailureLine(session, cls);
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
  session->Run.InputReady =
      gEditing ? FtpEditReadLine(session->Opt.Quiet ? "" : kPrompt, line) : GetInput(line);
  session->Run.LineHasNul = !gEditing && session->Run.InputReady > 0 &&
                            KeybLastLineLength() != static_cast<int>(std::strlen(line));
  return session->Run.InputReady;
}

int FtpSplitCommands(const char *text, std::vector<std::string> *commands) {
  commands->assign(1, "");
  for (const char *c = text; *c != '\0'; c++) {
    if (c[0] == '\\' && c[1] == ';') {
      commands->back() += *++c;
    } else if (*c == ';') {
      commands->emplace_back();
    } else {
      commands->back() += *c;
    }
  }
  return static_cast<int>(commands->size());
}

void FtpRunCommandText(FtpSession *session, const char *text) {
  std::vector<std::string> commands;
  FtpSplitCommands(text, &commands);
  for (const std::string &command : commands) {
    if (session->Run.Done != 0) break;
    FtpRunOneLine(session, command.c_str(), 0);
  }
  // The end of the commands ends the session as the end of input does.
  if (session->Ctl.Connected && session->Run.Done == 0) session->Remote->Close(session);
  session->Run.Done = 1;
}

std::string FtpStartupPath(void) {
  const char *home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? std::string(home) + "/.cvxferrc" : "";
}

void FtpRunStartupFile(FtpSession *session, const char *path) {
  FILE *file = path[0] != '\0' ? std::fopen(path, "r") : nullptr;
  if (file == nullptr) return;
  struct stat st {};
  // Commands that another user could have written are not run as ours.
  if (fstat(fileno(file), &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      (st.st_uid != getuid() && st.st_uid != 0)) {
    std::fclose(file);
    FtpBeginCommand(session, path);
    FtpFailWhy(session, FTP_EXIT_FAILED,
               "others can write it or it is not yours; not used (chmod go-w %s)", path);
    FtpEndCommand(session, FTP_FAILED);
    return;
  }
  // Under -q the defaults are set without a word; failures still say so
  // on standard error.
  std::fflush(stdout);
  const int shown = session->Opt.Quiet ? dup(STDOUT_FILENO) : -1;
  const int hidden = shown >= 0 ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  if (hidden >= 0) dup2(hidden, STDOUT_FILENO);
  session->Run.Startup = 1;
  char *text = nullptr;
  size_t room = 0;
  for (ssize_t n; session->Run.Done == 0 && (n = getline(&text, &room, file)) >= 0;) {
    FtpRunOneLine(session, text, std::strlen(text) != static_cast<size_t>(n));
  }
  std::free(text);
  std::fclose(file);
  session->Run.Startup = 0;
  std::fflush(stdout);
  if (hidden >= 0) {
    dup2(shown, STDOUT_FILENO);
    close(hidden);
  }
  if (shown >= 0) close(shown);
}

void FtpExecCmd(FtpSession *session) {
  // The command line, reused for every line read.
  static char line[KEYB_LINE_MAX + 1];
  std::memset(line, 0, sizeof(line));
  InitFtpDoCommandList();
  // The line editor shows the prompt itself, to redraw it while editing.
  gEditing = FtpEditStart(session) != 0;
  if (!gEditing && !session->Opt.Quiet) {
    std::printf("%s", kPrompt);
    std::fflush(stdout);
  }
  session->Run.Done = 0;
  while (session->Run.Done == 0) {
    if (!gEditing && session->Run.InputReady != 0 && !session->Opt.Quiet) {
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
