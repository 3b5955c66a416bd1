// The local store at its edges: what a connection leaves behind when it
// ends, and a store whose write-ahead log was lost, damaged or replaced,
// through the queue calls and through cvadmin.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "corvane.h"
#include "queue_calls.h"

namespace {

const char kQueue[] = "SYSTEM.DEFAULT.LOCAL.QUEUE";

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

// The text is the header's own, and cvadmin says the same.
TEST(CorvaneVersion, TheTextAgreesWithTheNumbers) {
  EXPECT_EQ(std::string(CORVANE_VERSION), std::to_string(CORVANE_VERSION_MAJOR) + "." +
                                              std::to_string(CORVANE_VERSION_MINOR) + "." +
                                              std::to_string(CORVANE_VERSION_PATCH));
  std::string out;
  EXPECT_EQ(Shell(CVADMIN " --version", &out), 0);
  EXPECT_EQ(out, "cvadmin (Corvane) " CORVANE_VERSION "\n");
}

class StoreTest : public ::testing::Test, public QueueCalls {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane_store_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ + "/home";
    setenv("CORVANE_HOME", home_.c_str(), 1);
    ASSERT_EQ(Admin("create CVQM"), 0) << out_;
  }
  void TearDown() override {
    Disconnect();
    std::system(("rm -rf '" + root_ + "'").c_str());
  }
  // Runs cvadmin with args; its output goes to out_.
  int Admin(const std::string &args) {
    return Shell("CORVANE_HOME='" + home_ + "' " CVADMIN " " + args, &out_);
  }
  std::string Dir(const std::string &qmgr = "CVQM") const { return home_ + "/" + qmgr + ".qm"; }
  // The files of dir.
  static std::vector<std::string> Files(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      }
      closedir(d);
    }
    return names;
  }

  std::string root_, home_, out_;
};

// Nothing of a connection stays once it has ended, whatever failed on the
// way: not the lock file of its own queue manager, nor that of the one a
// remote definition took it to; and a connection that cannot be made
// leaves none at all.
TEST_F(StoreTest, FailedCallsAndConnectionsLeaveNoLockFile) {
  ASSERT_EQ(Admin("create FAR && " CVADMIN " define TINY --maxmsgl 1 && " CVADMIN
                  " define TO.FAR --remote FAR/SYSTEM.DEFAULT.LOCAL.QUEUE && " CVADMIN
                  " define TO.NOWHERE --remote GONE/Q"),
            0)
      << out_;
  ASSERT_EQ(Connect().cc, CVCC_OK);
  CVHOBJ h = CVHO_UNUSABLE_HOBJ;
  EXPECT_REASON(Open("NO.SUCH.QUEUE", CVOO_OUTPUT, &h), CVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_REASON(Put(OpenOrDie("TINY", CVOO_OUTPUT), "too long"), CVRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_REASON(Put(OpenOrDie("TO.NOWHERE", CVOO_OUTPUT), "x"), CVRC_UNKNOWN_REMOTE_Q_MGR);
  EXPECT_EQ(Put(OpenOrDie("TO.FAR", CVOO_OUTPUT), "x", CVPER_PERSISTENT, CVPMO_SYNCPOINT).cc,
            CVCC_OK);
  EXPECT_REASON(Get(OpenOrDie(kQueue), nullptr, CVGMO_SYNCPOINT), CVRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(Files(Dir("FAR") + "/conn").size(), 1u);
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  ASSERT_EQ(truncate((Dir("FAR") + "/store.db").c_str(), 0), 0);
  EXPECT_REASON(Connect("FAR"), CVRC_OBJECT_DAMAGED);
  for (const char *qmgr : {"CVQM", "FAR"}) {
    EXPECT_EQ(Files(Dir(qmgr) + "/conn"), std::vector<std::string>{}) << qmgr;
  }
}

// Runs fn in a child process that then dies of SIGKILL, leaving its log
// and the log's index as a crash would; returns how it ended.
template <typename Fn>
int CrashAfter(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

// A log that a crash left with committed transactions in it, then lost,
// overwritten or replaced: SQLite would open the store without them. The
// store refuses to open, check says why, and only salvage goes on with
// what is left.
TEST_F(StoreTest, ALogDamagedAfterACrashIsRefusedUntilSalvaged) {
  const std::string wal = Dir() + "/store.db-wal";
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"deleted", "rm '" + wal + "'"},
      {"header overwritten",
       "printf 'not a log at all' | dd of='" + wal + "' conv=notrunc 2>/dev/null"},
      {"second frame overwritten",
       "printf garbage | dd of='" + wal + "' bs=1 seek=4300 conv=notrunc 2>/dev/null"},
      {"cut short", "truncate -s 4200 '" + wal + "'"},
      {"replaced",
       "head -c 20000 /dev/urandom > '" + wal + ".new' && mv '" + wal + ".new' '" + wal + "'"}};
  for (const auto &[what, damage] : damages) {
    SCOPED_TRACE(what);
    ASSERT_EQ(CrashAfter([&] {
                Connect();
                CVHOBJ q = OpenOrDie(kQueue);
                for (const char *m : {"one", "two", "three"}) Put(q, m);
              }),
              SIGKILL);
    ASSERT_EQ(Shell(damage, &out_), 0) << out_;
    EXPECT_REASON(Connect(), CVRC_OBJECT_DAMAGED);
    EXPECT_NE(std::string(CVLastCause()).find(wal + ": "), std::string::npos) << CVLastCause();
    EXPECT_EQ(Admin(std::string("browse ") + kQueue), 1) << out_;
    EXPECT_EQ(Admin("check"), 1) << out_;
    EXPECT_NE(out_.find("write-ahead log: " + wal + ": "), std::string::npos) << out_;
    ASSERT_EQ(Admin("salvage"), 0) << out_;
    EXPECT_NE(out_.find("write-ahead log: "), std::string::npos) << out_;
    ASSERT_EQ(Admin(std::string("clear ") + kQueue), 0) << out_;
    EXPECT_EQ(Admin("check"), 0) << out_;
  }
}

// A log deleted, replaced or overwritten while a connection has it open:
// no other connection opens the store meanwhile, and check says why. A
// connection whose log was deleted or replaced neither writes nor reads any
// more; what was committed stays, written into the database from the log
// it still holds when it ends. A log overwritten where it lies is never
// written into the database: salvage keeps what is whole of it.
TEST_F(StoreTest, ALogDeletedReplacedOrOverwrittenUnderAConnectionIsRefused) {
  const std::string wal = Dir() + "/store.db-wal";
  struct Damage {
    std::string What, Command;
    bool SameFile;  // what a connection cannot see at a commit
  };
  const std::vector<Damage> damages = {
      {"deleted", "rm '" + wal + "'", false},
      {"replaced",
       "head -c 9000 /dev/urandom > '" + wal + ".new' && mv '" + wal + ".new' '" + wal + "'",
       false},
      {"overwritten", "printf garbage | dd of='" + wal + "' bs=1 seek=4300 conv=notrunc 2>&1",
       true}};
  for (const Damage &d : damages) {
    SCOPED_TRACE(d.What);
    ASSERT_EQ(Connect().cc, CVCC_OK);
    CVHOBJ q = OpenOrDie(kQueue);
    ASSERT_EQ(Put(q, "mine").cc, CVCC_OK);
    ASSERT_EQ(Admin(std::string("put ") + kQueue + " </dev/null"), 0) << out_;
    ASSERT_EQ(Shell(d.Command, &out_), 0) << out_;
    if (!d.SameFile) {
      EXPECT_REASON(Put(q, "lost?"), CVRC_CONNECTION_BROKEN);
      EXPECT_NE(std::string(CVLastCause()).find(wal + ": " + d.What), std::string::npos)
          << CVLastCause();
      EXPECT_REASON(Get(q, nullptr), CVRC_CONNECTION_BROKEN);
    }
    EXPECT_EQ(Admin(std::string("put ") + kQueue + " </dev/null"), 1) << out_;
    EXPECT_EQ(Admin("check"), 1) << out_;
    EXPECT_NE(out_.find("write-ahead log: " + wal + ": "), std::string::npos) << out_;
    ASSERT_EQ(Disconnect().cc, CVCC_OK);
    EXPECT_EQ(Admin("check"), d.SameFile ? 1 : 0) << out_;
    if (d.SameFile) {
      ASSERT_EQ(Admin("salvage"), 0) << out_;
    }
    EXPECT_EQ(Admin(std::string("clear ") + kQueue), 0) << out_;
    if (!d.SameFile) {
      EXPECT_EQ(out_, "2 messages removed\n");
    }
  }
}

// The URL of the broker of this run, "" without one.
std::string BrokerUrl() {
  const char *file = std::getenv("CVXFER_BROKER_URL_FILE");
  std::ifstream in(file != nullptr ? file : "");
  std::string url;
  std::getline(in, url);
  return url.rfind("amqp", 0) == 0 ? url : "";
}

// Inquires a queue's backout threshold and backout queue (trailing blanks
// cut); the outcome of CVINQ.
Outcome InquireBackout(CVHCONN hconn, CVHOBJ h, CVLONG *threshold, std::string *queue) {
  const CVLONG selectors[] = {CVCA_BACKOUT_REQ_Q_NAME, CVIA_BACKOUT_THRESHOLD};
  char name[CV_Q_NAME_LENGTH];
  Outcome o;
  CVINQ(hconn, h, 2, selectors, 1, threshold, sizeof(name), name, &o.cc, &o.reason);
  queue->assign(name, sizeof(name));
  queue->erase(queue->find_last_not_of(' ') + 1);
  return o;
}

class BackoutTest : public StoreTest, public ::testing::WithParamInterface<std::string> {};

// The backout attributes of a queue, on both kinds of queue manager: set by
// cvadmin define and alter, kept across connections, told by CVINQ (never
// of a remote definition or the queue manager). The store counts every
// back-out of a message; a broker's classic queue tells only that it came
// back.
TEST_P(BackoutTest, AttributesAreKeptAndToldAndBackOutsCounted) {
  const bool amqp = GetParam() == "amqp";
  const std::string url = amqp ? BrokerUrl() : "";
  if (amqp && url.empty()) GTEST_SKIP() << "no RabbitMQ broker in this run";
  // Queues on a broker outlive the test: names of this test's own.
  const std::string app = "BO." + std::to_string(getpid()) + ".APP", boq = app + ".BACK";
  ASSERT_EQ(Admin("create BQM --default" + (amqp ? " --amqp '" + url + "'" : "")), 0) << out_;
  ASSERT_EQ(Admin("define " + boq + " && " CVADMIN " define " + app +
                  " --backout-threshold 3 --backout-queue " + boq),
            0)
      << out_;
  for (const auto &[threshold, queue] :
       std::vector<std::pair<CVLONG, std::string>>{{3, boq}, {5, ""}}) {
    ASSERT_EQ(Connect("BQM").cc, CVCC_OK);
    CVLONG told = -1;
    std::string toldQueue;
    ASSERT_EQ(InquireBackout(hconn_, OpenOrDie(app.c_str()), &told, &toldQueue).cc, CVCC_OK);
    EXPECT_EQ(told, threshold);
    EXPECT_EQ(toldQueue, queue);
    CVHOBJ qm = CVHO_UNUSABLE_HOBJ;
    ASSERT_EQ(Open("", CVOO_INQUIRE, &qm, CVOT_Q_MGR).cc, CVCC_OK);
    EXPECT_REASON(InquireBackout(hconn_, qm, &told, &toldQueue), CVRC_SELECTOR_NOT_FOR_TYPE);
    ASSERT_EQ(Disconnect().cc, CVCC_OK);
    ASSERT_EQ(Admin("alter " + app + " --backout-threshold 5 --backout-queue ''"), 0) << out_;
  }
  ASSERT_EQ(Connect("BQM").cc, CVCC_OK);
  CVHOBJ q = OpenOrDie(app.c_str());
  ASSERT_EQ(Put(q, "poison").cc, CVCC_OK);
  for (CVLONG backouts = 0; backouts < 3; backouts++) {
    CVMD md = CVMD_DEFAULT;
    ASSERT_EQ(Get(q, nullptr, CVGMO_SYNCPOINT, 100, &md).cc, CVCC_OK);
    EXPECT_EQ(md.BackoutCount, amqp ? std::min<CVLONG>(backouts, 1) : backouts);
    ASSERT_EQ(Backout().cc, CVCC_OK);
  }
  EXPECT_EQ(Get(q, nullptr).cc, CVCC_OK);
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  for (const std::string &name : {app, boq}) Admin("undefine " + name);
}

INSTANTIATE_TEST_SUITE_P(Backends, BackoutTest, ::testing::Values("local", "amqp"),
                         [](const auto &info) { return info.param; });

// A store made before queues had backout attributes opens and gains them.
TEST_F(StoreTest, AStoreMadeBeforeBackoutAttributesGainsThem) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((Dir() + "/store.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "ALTER TABLE queues DROP COLUMN bothresh;"
                         "ALTER TABLE queues DROP COLUMN boqname",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  ASSERT_EQ(Admin("define APP --backout-threshold 2 --backout-queue APP.BACK"), 0) << out_;
  ASSERT_EQ(Connect().cc, CVCC_OK);
  CVLONG threshold = -1;
  std::string queue;
  ASSERT_EQ(InquireBackout(hconn_, OpenOrDie("APP"), &threshold, &queue).cc, CVCC_OK);
  EXPECT_EQ(threshold, 2);
  EXPECT_EQ(queue, "APP.BACK");
}

}  // namespace
