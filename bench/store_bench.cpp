// Throughput of the queue store against what the disk itself allows.
//
// Every figure is taken on the same file system: the queue manager lives in
// $CORVANE_HOME, and the plain-file baselines write into $CORVANE_HOME/raw.
// Run it with CORVANE_HOME set to a scratch directory; bench/run does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "corvane.h"

namespace {

const char kQueue[] = "BENCH.Q";

// One connection and one queue handle for the whole run, as a long-lived
// application would have them.
struct Store {
  CVHCONN hconn = 0;
  CVHOBJ hobj = 0;
  bool ok = false;
};

Store &OpenStore() {
  static Store store = [] {
    Store s;
    CVLONG cc = 0, reason = 0;
    // CORVANE_BENCH_QMGR picks another queue manager, e.g. one on a broker.
    const char *qmgr = std::getenv("CORVANE_BENCH_QMGR");
    CVCONN(qmgr != nullptr ? qmgr : "BENCHQM", &s.hconn, &cc, &reason);
    if (cc == CVCC_FAILED) {
      std::fprintf(stderr, "store_bench: CVCONN failed with reason %d\n", reason);
      return s;
    }
    CVOD od = CVOD_DEFAULT;
    std::strncpy(od.ObjectName, kQueue, sizeof(od.ObjectName) - 1);
    CVOPEN(s.hconn, &od, CVOO_INPUT_AS_Q_DEF | CVOO_OUTPUT | CVOO_INQUIRE, &s.hobj, &cc, &reason);
    if (cc == CVCC_FAILED) {
      std::fprintf(stderr, "store_bench: CVOPEN failed with reason %d\n", reason);
      return s;
    }
    s.ok = true;
    return s;
  }();
  return store;
}

// Reports the iterations as messages and, with the size argument, bytes.
void Count(benchmark::State &state) {
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations());
}

bool Put(Store &s, std::vector<char> &body) {
  CVMD md = CVMD_DEFAULT;
  CVPMO pmo = CVPMO_DEFAULT;
  md.Persistence = CVPER_PERSISTENT;
  pmo.Options = CVPMO_NO_SYNCPOINT;
  CVLONG cc = 0, reason = 0;
  CVPUT(s.hconn, s.hobj, &md, &pmo, static_cast<CVLONG>(body.size()), body.data(), &cc, &reason);
  return cc == CVCC_OK;
}

// Takes one message under syncpoint and commits its removal, as put does.
bool GetCommit(Store &s, std::vector<char> &body) {
  CVMD md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_SYNCPOINT;
  CVLONG cc = 0, reason = 0, length = 0;
  CVGET(s.hconn, s.hobj, &md, &gmo, static_cast<CVLONG>(body.size()), body.data(), &length, &cc,
        &reason);
  if (cc != CVCC_OK) return false;
  CVCMIT(s.hconn, &cc, &reason);
  return cc == CVCC_OK && static_cast<size_t>(length) == body.size();
}

// Removes every message (all of body's size or smaller) from the queue.
void Drain(Store &s, std::vector<char> &body) {
  for (;;) {
    CVMD md = CVMD_DEFAULT;
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = CVGMO_NO_SYNCPOINT;
    CVLONG cc = 0, reason = 0, length = 0;
    CVGET(s.hconn, s.hobj, &md, &gmo, static_cast<CVLONG>(body.size()), body.data(), &length, &cc,
          &reason);
    if (cc != CVCC_OK) return;
  }
}

void StorePut(benchmark::State &state) {
  Store &s = OpenStore();
  if (!s.ok) {
    state.SkipWithError("no queue manager");
    return;
  }
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'm');
  Drain(s, body);
  for (auto _ : state) {
    if (!Put(s, body)) {
      state.SkipWithError("CVPUT failed");
      break;
    }
  }
  Count(state);
  Drain(s, body);  // after the timed loop: the next case starts empty
}

void StoreGet(benchmark::State &state) {
  Store &s = OpenStore();
  if (!s.ok) {
    state.SkipWithError("no queue manager");
    return;
  }
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'm');
  for (auto _ : state) {
    state.PauseTiming();
    bool put = Put(s, body);
    state.ResumeTiming();
    if (!put || !GetCommit(s, body)) {
      state.SkipWithError("CVGET/CVCMIT failed");
      break;
    }
  }
  Count(state);
}

// Put, then get under syncpoint and commit: one message through the store.
void StoreRoundTrip(benchmark::State &state) {
  Store &s = OpenStore();
  if (!s.ok) {
    state.SkipWithError("no queue manager");
    return;
  }
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'm');
  for (auto _ : state) {
    if (!Put(s, body) || !GetCommit(s, body)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  Count(state);
}

// A get and commit from a queue on which kStanding plain messages stand:
// without the group options (range 0), and with them (range 1) behind a
// group of 64 segments whose last is missing, which every get must pass
// over. The options must not make plain messages slower to take.
constexpr int kStanding = 5000;
void StoreGetAmongPlain(benchmark::State &state) {
  Store &s = OpenStore();
  std::vector<char> body(1 << 10, 'm');
  if (!s.ok) {
    state.SkipWithError("no queue manager");
    return;
  }
  Drain(s, body);
  CVLONG cc = 0, reason = 0;
  for (CVLONG seq = 1; state.range(0) != 0 && seq <= 64; seq++) {  // 1 GiB in 16 MiB segments
    CVMD md = CVMD_DEFAULT;
    CVPMO pmo = CVPMO_DEFAULT;
    std::memset(md.GroupId, 'G', sizeof(md.GroupId));
    md.MsgSeqNumber = seq;
    md.MsgFlags = CVMF_MSG_IN_GROUP;
    CVPUT(s.hconn, s.hobj, &md, &pmo, 1, "g", &cc, &reason);
  }
  for (int i = 0; i < kStanding; i++) Put(s, body);
  const CVLONG options = state.range(0) != 0 ? CVGMO_ALL_MSGS_AVAILABLE | CVGMO_LOGICAL_ORDER : 0;
  for (auto _ : state) {
    CVMD md = CVMD_DEFAULT;
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = CVGMO_SYNCPOINT | options;
    CVLONG length = 0;
    CVGET(s.hconn, s.hobj, &md, &gmo, static_cast<CVLONG>(body.size()), body.data(), &length, &cc,
          &reason);
    if (cc == CVCC_OK) CVCMIT(s.hconn, &cc, &reason);
    state.PauseTiming();
    bool put = cc == CVCC_OK && Put(s, body);  // the queue keeps its depth
    state.ResumeTiming();
    if (!put) {
      state.SkipWithError("CVGET/CVCMIT failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  Drain(s, body);
}

std::string RawPath(const char *name) {
  const char *home = std::getenv("CORVANE_HOME");
  std::string dir = std::string(home ? home : ".") + "/raw";
  mkdir(dir.c_str(), 0700);
  return dir + "/" + name;
}

// The disk's own limit: write the bytes to a new file and fsync it.
void FileWriteFsync(benchmark::State &state) {
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'f');
  std::string path = RawPath("write.bin");
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()) ||
        fsync(fd) != 0) {
      state.SkipWithError("write/fsync failed");
      if (fd >= 0) close(fd);
      break;
    }
    close(fd);
  }
  Count(state);
}

// Appending 1 KiB records with an fsync each: the rate a log on this disk
// can commit at.
void FileAppendFsync(benchmark::State &state) {
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'a');
  std::string path = RawPath("append.bin");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (fd < 0) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    if (write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()) ||
        fsync(fd) != 0) {
      state.SkipWithError("write/fsync failed");
      break;
    }
  }
  close(fd);
  Count(state);
}

void FileRead(benchmark::State &state) {
  std::vector<char> body(static_cast<size_t>(state.range(0)), 'r');
  std::string path = RawPath("read.bin");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
    state.SkipWithError("prepare failed");
    if (fd >= 0) close(fd);
    return;
  }
  fsync(fd);
  close(fd);
  for (auto _ : state) {
    fd = open(path.c_str(), O_RDONLY);
    size_t got = 0;
    ssize_t n = 0;
    while (fd >= 0 && got < body.size() &&
           (n = read(fd, body.data() + got, body.size() - got)) > 0) {
      got += static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
    if (got != body.size()) {
      state.SkipWithError("read failed");
      break;
    }
  }
  Count(state);
}

constexpr int64_t kSizes[] = {1 << 10, 64 << 10, 1 << 20, 64 << 20};

void Sizes(benchmark::internal::Benchmark *b) {
  for (int64_t size : kSizes) b->Arg(size);
}

}  // namespace

BENCHMARK(StoreRoundTrip)->Arg(1 << 10)->UseRealTime();
BENCHMARK(FileAppendFsync)->Arg(1 << 10)->UseRealTime();
BENCHMARK(StoreGetAmongPlain)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(StorePut)->Apply(Sizes)->UseRealTime();
BENCHMARK(StoreGet)->Apply(Sizes)->UseRealTime();
BENCHMARK(FileWriteFsync)->Apply(Sizes)->UseRealTime();
BENCHMARK(FileRead)->Apply(Sizes)->UseRealTime();

BENCHMARK_MAIN();
