// The local store at its edges: what a program leaves behind when it ends,
// and a store whose files were damaged or replaced under it, through the
// queue calls and through cvadmin.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "corvane.h"
#include "queue_calls.h"

namespace {

// Runs a shell command; returns its exit status and, in *out, its stdout
// and stderr together.
int Shell(const std::string &command, std::string *out) {
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  out->clear();
  char chunk[4096];
  while (size_t n = std::fread(chunk, 1, sizeof(chunk), p)) out->append(chunk, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The text is the headers' own, and cvadmin says the same.
TEST(CorvaneVersion, TheTextAgreesWithTheNumbers) {
  EXPECT_EQ(std::string(CORVANE_VERSION), std::to_string(CORVANE_VERSION_MAJOR) + "." +
                                              std::to_string(CORVANE_VERSION_MINOR) + "." +
                                              std::to_string(CORVANE_VERSION_PATCH));
  std::string out;
  EXPECT_EQ(Shell(CVADMIN " --version", &out), 0);
  EXPECT_EQ(out, "cvadmin (Corvane) " CORVANE_VERSION "\n");
}

}  // namespace
