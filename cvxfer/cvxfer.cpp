// cvxfer.cpp - start-up and shut-down of the program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cvxfer.h"
#include "ftp_cmd.h"
#include "ftp_cv.h"
#include "ftp_do.h"
#include "ftp_tcp.h"

namespace {

void PrintBanner() {
  std::printf(
      "cvxfer: file transfer between FTP servers and message queues, "
      "Corvane ftp client (Build: Oct 20 2002)\n");
  std::printf("Offered on Linux and other Unix systems\n");
  std::fflush(stdout);
}

void PrintUsage(const char *program) {
  std::printf(
      "\nThe %s command uses the File Transfer Protocol (FTP) to transfer files\n"
      "between the local queuemanager and a remote host.\n",
      program);
  std::printf("\nUsage: %s [-v] [-d] [-n] [-p] [host]\n\n", program);
  std::printf("-v\t\tverbose mode\n");
  std::printf("-d\t\tenable debugging\n");
  std::printf("-n\t\tinhibit auto-login\n");
  std::printf("-p\t\tenable passive mode\n");
  std::printf(
      "host\t\tspecifies the host name or IP address of the remote\n     \t\thost to connect "
      "to\n\n");
  std::fflush(stdout);
}

bool IsFlag(const char *arg) {
  return std::strcmp(arg, "-v") == 0 || std::strcmp(arg, "-d") == 0 ||
         std::strcmp(arg, "-n") == 0 || std::strcmp(arg, "-p") == 0;
}

// A decimal port number, 1 to 65535.
bool IsPort(const char *arg) {
  size_t n = std::strlen(arg);
  if (n == 0 || n > 5 || std::strspn(arg, "0123456789") != n) return false;
  long port = std::strtol(arg, nullptr, 10);
  return port >= 1 && port <= 65535;
}

}  // namespace

// Starts the session: banner, usage, flags, queue manager, the automatic open
// of a host named on the command line, then the prompt loop.
int main(int argc, char *argv[]) {
  FtpSession session;
  std::memset(&session, 0, sizeof(session));

  PrintBanner();
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "-?") == 0)) {
    PrintUsage(argv[0]);
    return 0;
  }

  if (FtpInit(&session) != 0) {
    std::printf("FtpInit failed!\n");
    std::fflush(stdout);
    return 1;
  }

  int flags = 0;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "-v") == 0) {
      session.Verbose = 1;
    } else if (std::strcmp(arg, "-d") == 0) {
      session.Debug = 1;
    } else if (std::strcmp(arg, "-n") == 0) {
      session.AutoLogin = 0;
    } else if (std::strcmp(arg, "-p") == 0) {
      session.Passive = 1;
    } else {
      continue;
    }
    flags++;
  }

  CVFtpInit(&session);

  if (argc - flags > 1) {
    // The last argument is the host; a port number after a host word goes
    // with it.
    std::string line = argv[argc - 1];
    if (argc >= 3 && IsPort(argv[argc - 1]) && !IsFlag(argv[argc - 2])) {
      line = std::string(argv[argc - 2]) + " " + argv[argc - 1];
    }
    FtpDoOpen(&session, line.data());
  }

  FtpExecCmd(&session);
  FtpCleanUp(&session);
  return 0;
}
