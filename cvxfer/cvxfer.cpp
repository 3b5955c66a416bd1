// cvxfer.cpp - start-up and shut-down of the program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <unistd.h>

#include <csignal>

#include "cv_session.h"
#include "ftp_auth.h"
#include "ftp_io.h"
#include "ftp_loop.h"
#include "ftp_session.h"

namespace {

void PrintBanner() {
  std::printf(
      "cvxfer: file transfer between FTP servers and message queues, "
      "Corvane ftp client (Build: Oct 20 2002)\n");
  std::printf("Offered on Linux and other Unix systems\n");
  std::fflush(stdout);
}

// Prints the usage text on out.
void PrintUsage(FILE *out, const char *program) {
  std::fprintf(out,
               "\nThe %s command uses the File Transfer Protocol (FTP) to transfer files\n"
               "between the local queuemanager and a remote host.\n",
               program);
  std::fprintf(out, "\nUsage: %s [-v] [-d] [-n] [-p] [host]\n\n", program);
  std::fprintf(out, "-v\t\tverbose mode\n");
  std::fprintf(out, "-d\t\tenable debugging\n");
  std::fprintf(out, "-n\t\tinhibit auto-login\n");
  std::fprintf(out, "-p\t\tenable passive mode\n");
  std::fprintf(out,
               "host\t\tspecifies the host name or IP address of the remote\n     \t\thost to "
               "connect to\n\n");
  std::fprintf(out,
               "Also: %s [-e] [-s] [-a] [-t seconds] [--cacert file] [--insecure]\n"
               "          [host [port] | URL], %s --version\n\n"
               "-e\t\tend the run at the first command that fails\n"
               "-s\t\trequire TLS (AUTH TLS) on every connection\n"
               "-a\t\tstore through a temporary name, renamed when complete\n"
               "-t seconds\tbound every network wait (default %d)\n"
               "port\t\tthe server's port (default 21)\n"
               "URL\t\tftp://[user[:password]@]host[:port][/path]; ftpes:// for AUTH TLS,\n"
               "     \t\tftps:// for TLS from the start (port 990)\n"
               "--cacert file\tverify certificates against the CA certificates in file\n"
               "--insecure\tdo not verify certificates (says so on every connection)\n"
               "--version\tprint the version and exit\n\n"
               "The exit status is 0 when every command succeeded, else the class of\n"
               "the first failure (see the README).\n\n",
               program, program, kFtpDefaultTimeout);
  std::fflush(out);
}

// A command line that cannot be run: says why and shows the usage text on
// standard error. Returns the exit status of a usage error.
int UsageError(const char *program, const char *why, const char *what) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s%s\n", program, why, what);
  PrintUsage(stderr, program);
  return 2;
}

// A decimal port number, 1 to 65535.
bool IsPort(const char *arg) {
  size_t n = std::strlen(arg);
  if (n == 0 || n > 5 || std::strspn(arg, "0123456789") != n) return false;
  long port = std::strtol(arg, nullptr, 10);
  return port >= 1 && port <= 65535;
}

// SIGINT: the running command gives up at its next wait (see FtpWait).
void OnInterrupt(int) {
  FtpInterruptRaise();
}

// Installs OnInterrupt without SA_RESTART, so that a blocked read or wait
// returns and sees the flag.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// The value of -t: whole seconds, 1 to 1000000; -1 when text is not one.
int ParseSeconds(const char *text) {
  size_t n = std::strlen(text);
  if (n == 0 || n > 7 || std::strspn(text, "0123456789") != n) return -1;
  long seconds = std::strtol(text, nullptr, 10);
  return seconds >= 1 && seconds <= 1000000 ? static_cast<int>(seconds) : -1;
}

}  // namespace

// Starts the session: banner, usage, flags, queue manager, the automatic open
// of a host named on the command line, then the prompt loop; returns the
// run's exit status. Flags come before the host (getopt rules); an unknown
// flag or a stray argument is a usage error that runs nothing.
int main(int argc, char *argv[]) {
  FtpSession session;
  std::memset(&session, 0, sizeof(session));
  const char *program = argv[0];

  PrintBanner();

  int verbose = 0, debug = 0, noLogin = 0, passive = 0, exitOnError = 0, secure = 0;
  int insecure = 0, safePut = 0;
  const char *caFile = "";
  int timeout = kFtpDefaultTimeout;
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {"cacert", required_argument, nullptr, 'C'},
                                 {"insecure", no_argument, nullptr, 'k'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+vdnpesaht:?", kLong, nullptr)) != -1) {
    switch (c) {
      case 'v':
        verbose = 1;
        break;
      case 'd':
        debug = 1;
        break;
      case 'n':
        noLogin = 1;
        break;
      case 'p':
        passive = 1;
        break;
      case 'e':
        exitOnError = 1;
        break;
      case 's':
        secure = 1;
        break;
      case 'a':
        safePut = 1;
        break;
      case 'k':
        insecure = 1;
        break;
      case 'C':
        caFile = optarg;
        if (std::strlen(caFile) >= sizeof(session.Opt.TlsCaFile) || access(caFile, R_OK) != 0) {
          return UsageError(program, "--cacert needs a readable file: ", caFile);
        }
        break;
      case 't':
        timeout = ParseSeconds(optarg);
        if (timeout < 0) return UsageError(program, "-t needs whole seconds from 1: ", optarg);
        break;
      case 'V':
        std::printf("cvxfer %s\n", CVXFER_VERSION);
        std::fflush(stdout);
        return 0;
      case 'h':
        PrintUsage(stdout, program);
        return 0;
      default:
        // getopt answers '?' both for "-?" and for an unknown flag.
        if (optopt == '?' || (optopt == 0 && std::strcmp(argv[optind - 1], "-?") == 0)) {
          PrintUsage(stdout, program);
          return 0;
        }
        if (optopt == 't') return UsageError(program, "-t needs a value", "");
        return UsageError(program, "unknown option ", argv[optind - 1]);
    }
  }
  const int positional = argc - optind;
  if (positional > 2) return UsageError(program, "too many arguments: ", argv[optind + 2]);
  if (positional == 2 && !IsPort(argv[optind + 1])) {
    return UsageError(program, "not a port number: ", argv[optind + 1]);
  }
  if (positional == 2 && FtpIsUrl(argv[optind])) {
    return UsageError(program, "a URL carries its own port: ", argv[optind + 1]);
  }
  // The host (and port) open the session as "open HOST [PORT]" would.
  InitFtpDoCommandList();
  static FtpArgs openArgs;
  const char *words[] = {"open", positional > 0 ? argv[optind] : nullptr,
                         positional == 2 ? argv[optind + 1] : nullptr};
  if (FtpMakeArgs(&openArgs, 1 + positional, words) != 0) {
    return UsageError(program, "host name too long: ", argv[optind]);
  }

  if (FtpInit(&session) != 0) {
    std::printf("FtpInit failed!\n");
    std::fflush(stdout);
    return 1;
  }
  if (verbose) session.Opt.Verbose = 1;
  if (debug) session.Opt.Debug = 1;
  if (noLogin) session.Opt.AutoLogin = 0;
  if (passive) session.Opt.Passive = 1;
  session.Opt.ExitOnError = exitOnError;
  session.Opt.TlsMode = secure ? FTP_TLS_EXPLICIT : FTP_TLS_OFF;
  session.Opt.TlsInsecure = insecure;
  session.Opt.SafePut = safePut;
  std::snprintf(session.Opt.TlsCaFile, sizeof(session.Opt.TlsCaFile), "%s", caFile);
  session.Opt.Timeout = timeout;
  CatchInterrupts();
  // A peer that has gone is an error to report, not a reason to die: TLS
  // writes go through write(2), which raises SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  // The queue side and the automatic open count like commands of the run.
  session.Run.Failure = 0;
  FtpEndCommand(&session, CVFtpInit(&session));
  if (positional > 0 && session.Run.Done == 0) {
    FtpEndCommand(&session, FtpDoDispatch(&session, GetFtpDoCommandByName("open"), &openArgs));
  }

  if (session.Run.Done == 0) FtpExecCmd(&session);
  FtpCVEnd(&session);
  FtpCleanUp(&session);
  return session.Run.Status;
}
