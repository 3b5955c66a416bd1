// A typed command line, looked up and run against a session with no server.
// Commands that leave the process, start a shell or reach out to the network
// are looked up but not run.
#include <unistd.h>

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

namespace {
FtpSession gSession;

bool Runnable(const FtpDoCommandDef *row) {
  static const char *const kSkipped[] = {"!", "bye", "quit", "open"};
  for (const char *name : kSkipped) {
    if (std::strcmp(row->Name, name) == 0) return false;
  }
  return true;
}
}  // namespace

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
  std::string word = line.substr(0, line.find(' '));
  if (word.size() < 64) {
    FtpDoCommandDef *row = GetFtpDoCommandByName(word.c_str());
    if (row != nullptr && row != FTP_DO_AMBIGUOUS && !Runnable(row)) return 0;
  }
  char buffer[1025];
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  FtpDoCommand(&gSession, buffer);
  return 0;
}
