// scratch_qmgr.h - a data directory of a test's own: the queue managers a
// test makes in it are its alone, and go with it. A fixture holds one as a
// member, so that it lives exactly as long as the test.
#ifndef CORVANE_TESTS_SCRATCH_QMGR_H
#define CORVANE_TESTS_SCRATCH_QMGR_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

struct ScratchQmgr {
  std::string root;  // a new directory under /tmp, removed with all it holds
  std::string home;  // root + "/home", made CORVANE_HOME; the first connect creates it

  explicit ScratchQmgr(const char *tag) {
    std::string name = std::string("/tmp/") + tag + "_XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
      return;
    }
    root = name;
    home = root + "/home";
    setenv("CORVANE_HOME", home.c_str(), 1);
  }
  ~ScratchQmgr() {
    if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
  }
  ScratchQmgr(const ScratchQmgr &) = delete;
  ScratchQmgr &operator=(const ScratchQmgr &) = delete;

#ifdef CVADMIN
  // The shell command that runs cvadmin with args on this data directory.
  std::string AdminCommand(const std::string &args) const {
    return "CORVANE_HOME='" + home + "' " CVADMIN " " + args;
  }
  // Runs that command; returns system()'s status.
  int Admin(const std::string &args) const {
    return std::system(AdminCommand(args).c_str());
  }
#endif
};

#endif
