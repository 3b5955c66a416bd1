// A typed command line, looked up and run against a session with no server.
// Commands that leave the process, start a shell or reach out to the network
// are looked up and have their arguments split, but their handlers are
// swapped for one that does nothing: the interpreter's own lookup decides
// which row a line names ("!dd" is the shell escape), so the harness cannot
// guess it from the first word.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "ftp_client.h"
#include "ftp_session.h"
#include "ftp_loop.h"
#include "ftp_ctrl.h"

static FtpSession gSession;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);
  std::freopen("/dev/null", "r", stdin);
  // Queue managers the commands create stay in a scratch directory.
  static char home[] = "/tmp/cvxfer-command-fuzz-XXXXXX";
  if (mkdtemp(home) != nullptr) {
    setenv("CORVANE_HOME", home, 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(home, ignored);
    });
  }
  InitFtpDoCommandList();
  for (const char *name : {"!", "bye", "quit", "open"})
    GetFtpDoCommandByName(name)->Handler = [](FtpSession *, const FtpArgs *) { return 0; };
  std::memset(&gSession, 0, sizeof(gSession));
  FtpInit(&gSession);
  gSession.Ctl.Socket = -1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A command line as the keyboard reader hands it over: at most 1024
  // characters, no newline, terminated.
  if (size > 1024) return -1;
  std::string line(reinterpret_cast<const char *>(data), size);
  if (line.find('\n') != std::string::npos || line.find('\0') != std::string::npos) return -1;
  char buffer[1025];
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  FtpDoCommand(&gSession, buffer);
  return 0;
}
