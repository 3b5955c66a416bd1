// cvxfer.cpp - start-up and shut-down of the program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <unistd.h>

#include <csignal>

#include "ftp_client.h"
#include "cv_session.h"
#include "ftp_auth.h"
#include "ftp_clock.h"
#include "ftp_event.h"
#include "ftp_io.h"
#include "ftp_loop.h"
#include "ftp_session.h"
#include "ftp_set.h"

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
  std::fprintf(out, "\nUsage: %s [-v] [-d] [-n] [-p] [-q] [-N] [-c commands] [host]\n\n", program);
  std::fprintf(out, "-v\t\tverbose mode\n");
  std::fprintf(out, "-d\t\tenable debugging\n");
  std::fprintf(out, "-n\t\tinhibit auto-login\n");
  std::fprintf(out, "-p\t\tenable passive mode\n");
  std::fprintf(out,
               "-q\t\tquiet: no banner, no prompt, no replies; failures are still said\n"
               "-N\t\tdo not run the commands of ~/.cvxferrc\n"
               "-c commands\trun the commands (\"cmd; cmd\", \\; for a semicolon) instead of\n"
               "     \t\treading them from standard input\n");
  std::fprintf(out,
               "host\t\tspecifies the host name or IP address of the remote\n     \t\thost to "
               "connect to\n\n");
  std::fprintf(out,
               "Also: %s [-e] [-s] [-a] [-t seconds] [--cacert file] [--insecure]\n"
               "          [host [port] | URL], %s --version | -h | --help\n\n"
               "-e\t\tend the run at the first command that fails\n"
               "-s\t\trequire TLS (AUTH TLS) on every connection\n"
               "-a\t\tstore through a temporary name, renamed when complete\n"
               "-t seconds\tbound every network wait (default %d)\n"
               "port\t\tthe server's port (default 21)\n"
               "URL\t\tftp://[user[:password]@]host[:port][/path]; ftpes:// for AUTH TLS,\n"
               "     \t\tftps:// for TLS from the start (port 990)\n"
               "--cacert file\tverify certificates against the CA certificates in file\n"
               "--insecure\tdo not verify certificates (says so on every connection)\n"
               "--version\tprint the version and exit\n"
               "-h, --help\tprint this text and exit\n\n"
               "Files are transferred in ascii unless \"binary\" is given; put binary\n"
               "in ~/.cvxferrc, whose commands run at start-up, to make it the default.\n"
               "The exit status is 0 when every command succeeded, else the class of\n"
               "the first failure (see the README).\n\n",
               program, program, kFtpDefaultTimeout);
  std::fprintf(out,
               "SFTP: %s [-i file] [--known-hosts file] [--accept-new-host-key]\n"
               "          sftp://[user[:password]@]host[:port][/path]\n\n"
               "-i file\t\tlog in with this private key (default: ssh-agent, ~/.ssh/id_*)\n"
               "--known-hosts file\n"
               "     \t\tcheck the server's host key in file (default ~/.ssh/known_hosts)\n"
               "--accept-new-host-key\n"
               "     \t\ttrust a host key not known yet, and add it to that file\n\n"
               "An unknown or changed host key refuses the connection with exit status 5,\n"
               "the class of a secure channel that cannot be set up.\n\n",
               program);
  std::fprintf(out,
               "As a service: %s -f job-file [--log json] [--metrics file] [options]\n\n"
               "-f job-file\tread the commands from job-file ('#' lines are comments)\n"
               "--log json\tone JSON object per event on standard error\n"
               "--metrics file\tkeep Prometheus metrics in file (text format)\n\n",
               program);
  std::fprintf(out,
               "Whole files: %s [--verify off|size|hash] [-r count] [--segment size]\n\n"
               "--verify mode\tcheck every store: its size, or a hash the server computes\n"
               "     \t\t(default: size in binary mode, else off)\n"
               "-r count\ttry a failed get, put, mget or mput again, count times\n"
               "--segment size\tsplit a file larger than a message into segments of size\n"
               "     \t\tbytes (K, M, G; default: the queue's maximum message length)\n\n",
               program);
  std::fflush(out);
}

// A command line that cannot be run: says why in one line on standard
// error, with where to read more. Returns the exit status of a usage error.
int UsageError(const char *, const char *why, const char *what) {
  std::fflush(stdout);
  std::fprintf(stderr, "cvxfer: %s%s; see cvxfer --help\n", why, what);
  return 2;
}

// A flag (getopt's optopt; given as typed) whose value is missing: says
// what it needs. Returns the exit status of a usage error.
int MissingValue(const char *program, int flag, const char *given) {
  switch (flag) {
    case 't':
      return UsageError(program, "option -t needs seconds", "");
    case 'C':
      return UsageError(program, "option --cacert needs a file", "");
    case 'c':
      return UsageError(program, "option -c needs commands", "");
    case 'i':
      return UsageError(program, "option -i needs a key file", "");
    case 'K':
      return UsageError(program, "option --known-hosts needs a file", "");
    case 'f':
      return UsageError(program, "option -f needs a job file", "");
    case 'L':
      return UsageError(program, "option --log needs json", "");
    case 'M':
      return UsageError(program, "option --metrics needs a file", "");
    case 'Y':
      return UsageError(program, "option --verify needs off, size or hash", "");
    case 'r':
      return UsageError(program, "option -r needs a count", "");
    case 'G':
      return UsageError(program, "option --segment needs a size", "");
    default:
      return UsageError(program, "a value is missing after ", given);
  }
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

// SIGTERM: what is in flight finishes, then the run ends (see FtpPause).
void OnTerminate(int) {
  FtpTerminateRaise();
}

// Installs OnInterrupt and OnTerminate without SA_RESTART, so that a
// blocked read or wait returns and sees the flag.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = OnTerminate;
  sigaction(SIGTERM, &action, nullptr);
}

// The value of -t: whole seconds, 1 to 1000000; -1 when text is not one.
int ParseSeconds(const char *text) {
  size_t n = std::strlen(text);
  if (n == 0 || n > 7 || std::strspn(text, "0123456789") != n) return -1;
  long seconds = std::strtol(text, nullptr, 10);
  return seconds >= 1 && seconds <= 1000000 ? static_cast<int>(seconds) : -1;
}

// What the command line asks of the session.
struct CommandLine {
  int Verbose = 0, Debug = 0, NoLogin = 0, Passive = 0, ExitOnError = 0, Secure = 0;
  int Insecure = 0, SafePut = 0, AcceptNewHostKey = 0;
  int Quiet = 0, NoStartup = 0;
  const char *Commands = nullptr;  // -c: run these instead of standard input
  const char *CaFile = "";
  const char *Identity = "";
  const char *KnownHosts = "";
  int Timeout = kFtpDefaultTimeout;
  const char *JobFile = nullptr, *Metrics = nullptr;  // -f, --metrics
  int LogJson = 0;                                    // --log json
  // --verify, -r and --segment: settings by name (ftp_set), checked here.
  const char *Settings[3][2] = {{"verify", nullptr}, {"retry", nullptr}, {"segment", nullptr}};
};

// The field a flag that only switches something on sets, or null.
int *ToggleOf(CommandLine *line, int flag) {
  switch (flag) {
    case 'v':
      return &line->Verbose;
    case 'd':
      return &line->Debug;
    case 'n':
      return &line->NoLogin;
    case 'p':
      return &line->Passive;
    case 'e':
      return &line->ExitOnError;
    case 's':
      return &line->Secure;
    case 'a':
      return &line->SafePut;
    case 'k':
      return &line->Insecure;
    case 'q':
      return &line->Quiet;
    case 'N':
      return &line->NoStartup;
    case 'A':
      return &line->AcceptNewHostKey;
    default:
      return nullptr;
  }
}

// Reads the flags of argv into *line (getopt rules: flags come before the
// host). Returns -1 to go on, else the exit status of a run that ends here
// (help, version, a usage error, all said).
int ParseFlags(int argc, char *argv[], CommandLine *line) {
  const char *program = argv[0];
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {"cacert", required_argument, nullptr, 'C'},
                                 {"insecure", no_argument, nullptr, 'k'},
                                 {"known-hosts", required_argument, nullptr, 'K'},
                                 {"accept-new-host-key", no_argument, nullptr, 'A'},
                                 {"log", required_argument, nullptr, 'L'},
                                 {"metrics", required_argument, nullptr, 'M'},
                                 {"verify", required_argument, nullptr, 'Y'},
                                 {"segment", required_argument, nullptr, 'G'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+:vdnpesahi:t:?qNc:f:r:", kLong, nullptr)) != -1) {
    if (int *flag = ToggleOf(line, c)) {
      *flag = 1;
      continue;
    }
    switch (c) {
      case 'c':
        line->Commands = optarg;
        break;
      case 'C':
        line->CaFile = optarg;
        if (std::strlen(optarg) >= sizeof(FtpSettings{}.TlsCaFile) || access(optarg, R_OK) != 0) {
          return UsageError(program, "option --cacert needs a readable file: ", optarg);
        }
        break;
      case 'i':
        line->Identity = optarg;
        if (std::strlen(optarg) >= sizeof(FtpSettings{}.SshIdentity) || access(optarg, R_OK) != 0) {
          return UsageError(program, "-i needs a readable key file: ", optarg);
        }
        break;
      case 'K':
        line->KnownHosts = optarg;
        if (std::strlen(optarg) >= sizeof(FtpSettings{}.SshKnownHosts)) {
          return UsageError(program, "--known-hosts: file name too long: ", optarg);
        }
        break;
      case 't':
        line->Timeout = ParseSeconds(optarg);
        if (line->Timeout < 0)
          return UsageError(program, "option -t needs whole seconds from 1: ", optarg);
        break;
      case 'f':
        line->JobFile = optarg;
        break;
      case 'L':
        if (std::strcmp(optarg, "json") != 0)
          return UsageError(program, "option --log knows only json: ", optarg);
        line->LogJson = 1;
        break;
      case 'M':
        line->Metrics = optarg;
        break;
      case 'Y':
      case 'r':
      case 'G': {
        const int which = c == 'Y' ? 0 : c == 'r' ? 1 : 2;
        FtpSettings probe{};
        const char *why = nullptr;
        if (FtpSetValue(&probe, line->Settings[which][0], optarg, &why) != 0) {
          return UsageError(program, (std::string(why) + ": ").c_str(), optarg);
        }
        line->Settings[which][1] = optarg;
        break;
      }
      case 'V':
        std::printf("cvxfer %s\n", CVXFER_VERSION);
        std::fflush(stdout);
        return 0;
      case 'h':
        PrintBanner();
        PrintUsage(stdout, program);
        return 0;
      case ':':
        return MissingValue(program, optopt, argv[optind - 1]);
      default:
        // getopt answers '?' both for "-?" and for an unknown flag.
        if (optopt == '?' || (optopt == 0 && std::strcmp(argv[optind - 1], "-?") == 0)) {
          PrintBanner();
          PrintUsage(stdout, program);
          return 0;
        }
        return UsageError(program, "unknown option ", argv[optind - 1]);
    }
  }
  return -1;
}

// Makes the words after the flags (host, and port) into the arguments of
// "open HOST [PORT]" in *args. Returns -1 to go on, else the exit status of
// a usage error (said).
int ParseHost(int argc, char *argv[], FtpArgs *args) {
  const char *program = argv[0];
  const int positional = argc - optind;
  for (int i = optind + 1; i < argc; i++) {
    if (argv[i][0] == '-' && !IsPort(argv[i])) {
      return UsageError(program, "options come before the host: ", argv[i]);
    }
  }
  if (positional > 2) return UsageError(program, "too many arguments: ", argv[optind + 2]);
  if (positional == 2 && !IsPort(argv[optind + 1])) {
    return UsageError(program, "not a port number: ", argv[optind + 1]);
  }
  if (positional == 2 && FtpIsUrl(argv[optind])) {
    return UsageError(program, "a URL carries its own port: ", argv[optind + 1]);
  }
  const char *words[] = {"open", positional > 0 ? argv[optind] : nullptr,
                         positional == 2 ? argv[optind + 1] : nullptr};
  if (FtpMakeArgs(args, 1 + positional, words) != 0) {
    return UsageError(program, "host name too long: ", argv[optind]);
  }
  return -1;
}

// Applies what the command line asked for to a started session; applied
// again after ~/.cvxferrc, so that only what the command line leaves open
// is the file's to set.
void ApplyCommandLine(const CommandLine &line, FtpSession *session) {
  FtpSettings &opt = session->Opt;
  if (line.Verbose) opt.Verbose = 1;
  if (line.Debug) opt.Debug = 1;
  if (line.NoLogin) opt.AutoLogin = 0;
  if (line.Passive) opt.Passive = 1;
  if (line.Quiet) opt.Quiet = 1;
  if (line.Quiet && !line.Verbose) opt.Verbose = 0;
  opt.ExitOnError = line.ExitOnError;
  if (line.Secure) opt.TlsMode = FTP_TLS_EXPLICIT;
  opt.TlsInsecure = line.Insecure;
  if (line.SafePut) opt.SafePut = 1;
  std::snprintf(opt.TlsCaFile, sizeof(opt.TlsCaFile), "%s", line.CaFile);
  std::snprintf(opt.SshIdentity, sizeof(opt.SshIdentity), "%s", line.Identity);
  std::snprintf(opt.SshKnownHosts, sizeof(opt.SshKnownHosts), "%s", line.KnownHosts);
  opt.SshAcceptNew = line.AcceptNewHostKey;
  opt.Timeout = line.Timeout;
  for (const auto &setting : line.Settings) {
    const char *why = nullptr;
    if (setting[1] != nullptr) FtpSetValue(&opt, setting[0], setting[1], &why);
  }
}

// Takes the commands from the job file and starts the outputs of --log and
// --metrics, as line asks, before anything connects. Returns -1 to go on,
// else the exit status of a run refused here (said).
int StartService(const CommandLine &line) {
  if (line.JobFile != nullptr && FtpJobOpen(line.JobFile) != 0) return FTP_EXIT_USAGE;
  if (FtpEventStart(line.LogJson != 0, line.Metrics, line.JobFile) != 0) return FTP_EXIT_USAGE;
  return -1;
}

}  // namespace

// Starts the session: flags, banner, queue manager, ~/.cvxferrc, the
// automatic open of a host named on the command line, then the prompt loop
// (or the commands of -c); returns the run's exit status. An unknown flag or
// a stray argument is a usage error that runs nothing.
int main(int argc, char *argv[]) {
  // Signals first: a service manager may send SIGTERM at any moment.
  CatchInterrupts();
  FtpSession session;
  std::memset(&session, 0, sizeof(session));
  CommandLine line;
  FtpArgs openArgs;
  InitFtpDoCommandList();
  if (int status = ParseFlags(argc, argv, &line); status >= 0) return status;
  if (int status = ParseHost(argc, argv, &openArgs); status >= 0) return status;
  if (!line.Quiet) PrintBanner();
  if (FtpInit(&session) != 0) {
    std::printf("FtpInit failed!\n");
    std::fflush(stdout);
    return 1;
  }
  if (int status = StartService(line); status >= 0) return status;
  ApplyCommandLine(line, &session);
  // A peer that has gone is an error to report, not a reason to die: TLS
  // writes go through write(2), which raises SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  // The queue side and the automatic open count like commands of the run.
  FtpBeginCommand(&session, "cvconn");
  FtpEndCommand(&session, CVFtpInit(&session));
  if (!line.NoStartup && session.Run.Done == 0) {
    FtpRunStartupFile(&session, FtpStartupPath().c_str());
    ApplyCommandLine(line, &session);
  }
  if (openArgs.Count > 1 && session.Run.Done == 0) {
    FtpEndCommand(&session, FtpDoDispatch(&session, GetFtpDoCommandByName("open"), &openArgs));
  }
  if (session.Run.Done == 0 && line.Commands != nullptr) FtpRunCommandText(&session, line.Commands);
  if (session.Run.Done == 0) FtpExecCmd(&session);
  FtpEventEnd(&session, session.Run.Status);
  FtpCVEnd(&session);
  FtpCleanUp(&session);
  return session.Run.Status;
}
