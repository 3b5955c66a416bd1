// Thin wrappers of the queue calls on one connection, for the tests of the
// queue manager: each returns the completion code and reason it got.
#ifndef CORVANE_TESTS_QUEUE_CALLS_H
#define CORVANE_TESTS_QUEUE_CALLS_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "corvane.h"

struct Outcome {
  CVLONG cc = -1;
  CVLONG reason = -1;
};

#define EXPECT_REASON(o, want) \
  EXPECT_EQ((o).reason, want) << CVReasonName((o).reason) << " " << CVLastCause()

// A descriptor of segment seq of the group whose identifier is 24 times g.
inline CVMD GroupMd(char g, CVLONG seq, CVLONG flags, CVINT64 offset = 0) {
  CVMD md = CVMD_DEFAULT;
  std::memset(md.GroupId, g, sizeof(md.GroupId));
  md.MsgSeqNumber = seq;
  md.MsgFlags = flags;
  md.Offset = offset;
  return md;
}

// Runs fn in a child process, which exits with its result; returns the pid.
template <typename Fn>
pid_t Spawn(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = fn();
    _exit(rc);
  }
  return pid;
}

// Waits for a child: its exit status, or 128 + the signal that ended it.
inline int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs a shell command; returns its exit status and, in *out, its stdout
// and stderr together.
inline int Shell(const std::string &command, std::string *out) {
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  out->clear();
  char chunk[4096];
  while (size_t n = std::fread(chunk, 1, sizeof(chunk), p)) out->append(chunk, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The paths of the files in dir, dot files left out; none when it is gone.
inline std::vector<std::string> Files(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return names;
}

// The URL of the RabbitMQ broker of this test run (its file is named by
// CVXFER_BROKER_URL_FILE), "" without one.
inline std::string BrokerUrl() {
  const char *file = std::getenv("CVXFER_BROKER_URL_FILE");
  std::ifstream in(file != nullptr ? file : "");
  std::string url;
  std::getline(in, url);
  return url.rfind("amqp", 0) == 0 ? url : "";
}

struct QueueCalls {
  CVHCONN hconn_ = CVHC_UNUSABLE_HCONN;

  Outcome Connect(const char *name = "") {
    Outcome o;
    CVCONN(name, &hconn_, &o.cc, &o.reason);
    return o;
  }
  Outcome Disconnect() {
    Outcome o;
    CVDISC(&hconn_, &o.cc, &o.reason);
    return o;
  }
  Outcome Open(const char *queue, CVLONG options, CVHOBJ *hobj, CVLONG type = CVOT_Q) {
    CVOD od = CVOD_DEFAULT;
    od.ObjectType = type;
    std::strncpy(od.ObjectName, queue, sizeof(od.ObjectName) - 1);
    Outcome o;
    CVOPEN(hconn_, &od, options, hobj, &o.cc, &o.reason);
    return o;
  }
  // Opens queue for input, output and inquiry, failing the test if it can't.
  CVHOBJ OpenOrDie(const char *queue,
                   CVLONG options = CVOO_INPUT_AS_Q_DEF | CVOO_OUTPUT | CVOO_INQUIRE) {
    CVHOBJ h = CVHO_UNUSABLE_HOBJ;
    Outcome o = Open(queue, options, &h);
    EXPECT_EQ(o.cc, CVCC_OK) << CVReasonName(o.reason);
    return h;
  }
  // Puts data; md, when given, is the descriptor put (used where it lies, so
  // that what a put writes past an old one shows) and gets what it stamped.
  Outcome Put(CVHOBJ h, const std::string &data, CVLONG pmoOptions = CVPMO_NONE,
              CVMD *md = nullptr) {
    CVMD own = CVMD_DEFAULT;
    CVPMO pmo = CVPMO_DEFAULT;
    pmo.Options = pmoOptions;
    Outcome o;
    CVPUT(hconn_, h, md != nullptr ? md : &own, &pmo, static_cast<CVLONG>(data.size()), data.data(),
          &o.cc, &o.reason);
    return o;
  }
  // Gets a message into *data (when given); waits up to waitMs with CVGMO_WAIT.
  Outcome Get(CVHOBJ h, std::string *data, CVLONG options = CVGMO_NO_SYNCPOINT,
              CVLONG bufferLength = 1 << 20, CVMD *mdOut = nullptr, CVLONG *lengthOut = nullptr,
              CVLONG waitMs = 0) {
    CVMD md = CVMD_DEFAULT;
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = options;
    gmo.WaitInterval = waitMs;
    std::vector<char> buffer(static_cast<size_t>(bufferLength) + 1);
    CVLONG length = -1;
    Outcome o;
    CVGET(hconn_, h, &md, &gmo, bufferLength, buffer.data(), &length, &o.cc, &o.reason);
    if (o.cc == CVCC_OK && data != nullptr)
      data->assign(buffer.data(), static_cast<size_t>(length));
    if (mdOut != nullptr) *mdOut = md;
    if (lengthOut != nullptr) *lengthOut = length;
    return o;
  }
  // A property list from name, value pairs.
  static std::string Props(const std::vector<std::pair<std::string, std::string>> &pairs) {
    std::string list;
    for (const auto &[name, value] : pairs) list += name + '\0' + value + '\0';
    return list;
  }
  Outcome PutP(CVHOBJ h, const std::string &data, const std::string &props,
               CVLONG pmoOptions = CVPMO_NONE, CVMD *mdOut = nullptr) {
    CVMD md = CVMD_DEFAULT;
    CVPMO pmo = CVPMO_DEFAULT;
    pmo.Options = pmoOptions;
    Outcome o;
    CVPUTP(hconn_, h, &md, &pmo, static_cast<CVLONG>(props.size()), props.data(),
           static_cast<CVLONG>(data.size()), data.data(), &o.cc, &o.reason);
    if (mdOut != nullptr) *mdOut = md;
    return o;
  }
  // What CVGETP returned; data and props hold what the buffers received.
  struct Got {
    Outcome o;
    CVMD md = CVMD_DEFAULT;
    std::string data, props;
    CVLONG dataLength = -1, propLength = -1;
  };
  Got GetP(CVHOBJ h, CVLONG options = CVGMO_NO_SYNCPOINT,
           CVLONG propBufferLength = CV_PROPERTIES_LENGTH_MAX, CVLONG bufferLength = 1 << 20,
           const CVMD *match = nullptr) {
    Got g;
    if (match != nullptr) g.md = *match;
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = options;
    std::vector<char> buffer(static_cast<size_t>(bufferLength) + 1);
    std::vector<char> props(static_cast<size_t>(propBufferLength) + 1);
    CVGETP(hconn_, h, &g.md, &gmo, propBufferLength, props.data(), &g.propLength, bufferLength,
           buffer.data(), &g.dataLength, &g.o.cc, &g.o.reason);
    if (g.o.cc != CVCC_FAILED) {
      g.data.assign(buffer.data(), static_cast<size_t>(std::min(g.dataLength, bufferLength)));
      g.props.assign(props.data(), static_cast<size_t>(g.propLength));
    }
    return g;
  }
  // Puts data through a put stream in pieces of piece bytes (CVPUTDATA),
  // or through a pipe (CVPUTFD, piece at most 64 KiB) with viaFd. Completes it with props unless
  // abandon; *hmsgOut keeps the handle when it is left open (leaveOpen).
  Outcome StreamPut(CVHOBJ h, const std::string &data, size_t piece, bool viaFd = false,
                    CVLONG pmoOptions = CVPMO_NONE, const std::string &props = "",
                    CVMD *mdOut = nullptr, CVLONG expected = -1) {
    CVPMO pmo = CVPMO_DEFAULT;
    pmo.Options = pmoOptions;
    CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
    Outcome o;
    CVPUTOPEN(hconn_, h, &pmo, expected, &hmsg, &o.cc, &o.reason);
    if (o.cc != CVCC_OK) return o;
    for (size_t at = 0; at < data.size() && o.cc == CVCC_OK;) {
      size_t n = std::min(piece, data.size() - at);
      if (viaFd) {
        int p[2];
        if (pipe(p) != 0) return o;
        EXPECT_EQ(write(p[1], data.data() + at, n), static_cast<ssize_t>(n));  // n fits a pipe
        close(p[1]);
        CVLONG moved = 0;
        for (size_t done = 0; done < n && o.cc == CVCC_OK; done += static_cast<size_t>(moved)) {
          CVPUTFD(hconn_, hmsg, p[0], 1 << 20, &moved, &o.cc, &o.reason);
          if (o.cc == CVCC_OK && moved == 0) break;
        }
        close(p[0]);
      } else {
        CVPUTDATA(hconn_, hmsg, static_cast<CVLONG>(n), data.data() + at, &o.cc, &o.reason);
      }
      at += n;
    }
    CVMD md = CVMD_DEFAULT;
    Outcome closed;
    CVPUTCLOSE(hconn_, &hmsg, CVSC_COMPLETE, &md, static_cast<CVLONG>(props.size()), props.data(),
               &closed.cc, &closed.reason);
    EXPECT_EQ(hmsg, CVHM_UNUSABLE_HMSG);
    if (mdOut != nullptr) *mdOut = md;
    return o.cc != CVCC_OK ? o : closed;
  }
  // Gets a message through a get stream under syncpoint, reading in pieces
  // of piece bytes (CVGETDATA) or, with viaFd, through CVGETFD; leaves the
  // message in the unit of work. options are added to CVGMO_SYNCPOINT.
  Got StreamGet(CVHOBJ h, size_t piece, bool viaFd = false, CVLONG options = 0) {
    Got g;
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = CVGMO_SYNCPOINT | options;
    std::vector<char> props(CV_PROPERTIES_LENGTH_MAX);
    CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
    CVGETOPEN(hconn_, h, &g.md, &gmo, static_cast<CVLONG>(props.size()), props.data(),
              &g.propLength, &g.dataLength, &hmsg, &g.o.cc, &g.o.reason);
    if (g.o.cc != CVCC_OK) return g;
    g.props.assign(props.data(), static_cast<size_t>(g.propLength));
    std::vector<char> buffer(piece);
    if (viaFd) {
      int fd = -1;
      CVGETFD(hconn_, hmsg, &fd, &g.o.cc, &g.o.reason);
      for (ssize_t n = 1; g.o.cc == CVCC_OK && n > 0; g.data.append(buffer.data(), n > 0 ? n : 0))
        n = read(fd, buffer.data(), buffer.size());
      if (fd >= 0) close(fd);
    } else {
      for (CVLONG n = 1; g.o.cc == CVCC_OK && n > 0; g.data.append(buffer.data(), n))
        CVGETDATA(hconn_, hmsg, static_cast<CVLONG>(piece), buffer.data(), &n, &g.o.cc,
                  &g.o.reason);
    }
    Outcome closed;
    CVGETCLOSE(hconn_, &hmsg, CVSC_COMPLETE, &closed.cc, &closed.reason);
    EXPECT_EQ(closed.cc, CVCC_OK);
    return g;
  }
  CVLONG Depth(CVHOBJ h) {
    CVLONG selector = CVIA_CURRENT_Q_DEPTH;
    CVLONG depth = -1;
    Outcome o;
    CVINQ(hconn_, h, 1, &selector, 1, &depth, 0, nullptr, &o.cc, &o.reason);
    EXPECT_EQ(o.cc, CVCC_OK) << CVReasonName(o.reason);
    return depth;
  }
  // The journal calls, with keys and values as strings.
  Outcome JPut(const std::string &key, const std::string &value, CVLONG options = CVJO_NONE) {
    Outcome o;
    CVJPUT(hconn_, static_cast<CVLONG>(key.size()), key.data(), static_cast<CVLONG>(value.size()),
           value.data(), options, &o.cc, &o.reason);
    return o;
  }
  Outcome JDel(const std::string &key, CVLONG options = CVJO_NONE) {
    Outcome o;
    CVJDEL(hconn_, static_cast<CVLONG>(key.size()), key.data(), options, &o.cc, &o.reason);
    return o;
  }
  // *value receives what the buffer got; *length, when asked, the whole length.
  Outcome JGet(const std::string &key, std::string *value, CVLONG bufferLength = 4096,
               CVLONG *length = nullptr) {
    std::vector<char> buffer(static_cast<size_t>(bufferLength) + 1);
    CVLONG n = -1;
    Outcome o;
    CVJGET(hconn_, static_cast<CVLONG>(key.size()), key.data(), bufferLength, buffer.data(), &n,
           &o.cc, &o.reason);
    if (o.cc != CVCC_FAILED) value->assign(buffer.data(), std::min(n, bufferLength));
    if (length != nullptr) *length = n;
    return o;
  }
  // The keys of the committed records that begin with prefix, walked with
  // CVJNEXT; values[i] gets the value of keys[i].
  std::vector<std::string> JKeys(const std::string &prefix, std::vector<std::string> *values) {
    std::vector<std::string> keys;
    char cursor[CV_JOURNAL_KEY_MAX], buffer[CV_JOURNAL_VALUE_MAX];
    CVLONG cursorLength = 0, length = 0;
    for (Outcome o;;) {
      CVJNEXT(hconn_, static_cast<CVLONG>(prefix.size()), prefix.data(), cursor, &cursorLength,
              sizeof(buffer), buffer, &length, &o.cc, &o.reason);
      if (o.reason == CVRC_JOURNAL_KEY_NOT_FOUND) break;
      EXPECT_EQ(o.cc, CVCC_OK) << CVReasonName(o.reason) << " " << CVLastCause();
      if (o.cc != CVCC_OK) break;
      keys.emplace_back(cursor, static_cast<size_t>(cursorLength));
      values->emplace_back(buffer, static_cast<size_t>(length));
    }
    return keys;
  }
  Outcome Commit() {
    Outcome o;
    CVCMIT(hconn_, &o.cc, &o.reason);
    return o;
  }
  Outcome Backout() {
    Outcome o;
    CVBACK(hconn_, &o.cc, &o.reason);
    return o;
  }
};

#endif
