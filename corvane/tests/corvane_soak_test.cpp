// Kill-and-damage soak of the embedded store: putter and getter processes
// are killed at random while body files are damaged now and then; at the
// end every message is accounted for, byte for byte: none lost, none twice,
// none corrupted, no body file left over. Runs about 25 s.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "queue_calls.h"
#include "scratch_qmgr.h"

namespace {

const char kQueue[] = "SYSTEM.DEFAULT.LOCAL.QUEUE";
constexpr auto kSoak = std::chrono::seconds(20);

// The body of message id: its size and bytes follow from the id alone, so
// any copy can be checked. One in four is large enough for a body file.
std::string Body(const std::string &id) {
  std::mt19937_64 rng(std::hash<std::string>{}(id));
  size_t size = rng() % 4 == 0 ? 140000 + rng() % 260000 : 10 + rng() % 3000;
  std::string body = id + ":";
  while (body.size() < size) body.push_back(static_cast<char>(rng()));
  return body;
}

std::string IdOf(const CVMD &md) {
  const char *id = reinterpret_cast<const char *>(md.MsgId);
  return std::string(id, strnlen(id, sizeof(md.MsgId)));
}

// One line per event, written whole by one write(): a kill cannot tear it.
void Log(int fd, char event, const std::string &id) {
  std::string line = std::string(1, event) + " " + id + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(9);
}

class SoakTest : public ::testing::Test, public QueueCalls {
 protected:
  void TearDown() override { Disconnect(); }

  // Worker `name` puts (every third under syncpoint) or gets until killed,
  // logging to its own file: A attempted, C confirmed, G got whole, X got
  // corrupted, K committed.
  pid_t Worker(const std::string &name, bool putter) {
    return Spawn([&] {
      int log = open((qm_.root + "/" + name + ".log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (log < 0 || Connect().cc != CVCC_OK) return 2;
      CVHOBJ q = OpenOrDie(kQueue);
      for (int seq = 0;; seq++) {
        CVMD md = CVMD_DEFAULT;
        if (putter) {
          const std::string id = name + "." + std::to_string(seq);
          std::memcpy(md.MsgId, id.data(), id.size());
          Log(log, 'A', id);
          Outcome o = Put(q, Body(id), seq % 3 == 0 ? CVPMO_SYNCPOINT : CVPMO_NO_SYNCPOINT, &md);
          if (o.cc == CVCC_OK && seq % 3 == 0) o = Commit();
          if (o.cc == CVCC_OK) Log(log, 'C', id);
          continue;
        }
        std::string data;
        Outcome o = Get(q, &data, CVGMO_SYNCPOINT | CVGMO_WAIT, 1 << 20, &md, nullptr, 50);
        if (o.reason == CVRC_OBJECT_DAMAGED || o.reason == CVRC_NO_MSG_AVAILABLE) continue;
        if (o.cc != CVCC_OK) return 3;
        Log(log, data == Body(IdOf(md)) ? 'G' : 'X', IdOf(md));
        if (Commit().cc == CVCC_OK) Log(log, 'K', IdOf(md));
      }
    });
  }

  ScratchQmgr qm_{"corvane_soak"};
};

TEST_F(SoakTest, RandomKillsAndDamagedBodiesLoseAndDuplicateNothing) {
  ASSERT_EQ(Connect().cc, CVCC_OK);  // creates the queue manager
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  std::mt19937 rng(std::random_device{}());
  const char *roles[] = {"p0", "p1", "g0", "g1"};
  std::vector<pid_t> pids;
  std::vector<int> incarnation(4, 0);
  for (const char *role : roles) pids.push_back(Worker(role + std::string("-0"), role[0] == 'p'));
  size_t damagedByUs = 0;
  int kills = 0;
  for (auto end = std::chrono::steady_clock::now() + kSoak;
       std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 250));
    size_t victim = rng() % 4;
    kill(pids[victim], SIGKILL);
    WaitExit(pids[victim]);
    kills++;
    pids[victim] = Worker(roles[victim] + ("-" + std::to_string(++incarnation[victim])),
                          roles[victim][0] == 'p');
    if (kills % 8 == 0) {  // damage a committed body now and then
      std::vector<std::string> names;
      for (const std::string &path : Files(qm_.home + "/CVQM.qm/bodies"))
        if (path.find(".part") == std::string::npos) names.push_back(path);
      damagedByUs += !names.empty() && truncate(names[rng() % names.size()].c_str(), 1000) == 0;
    }
  }
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    WaitExit(pid);
  }

  // What the workers did, from their logs.
  std::map<char, std::multiset<std::string>> events;
  for (const std::string &path : Files(qm_.root)) {
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".log") != 0) continue;
    std::ifstream in(path);
    for (std::string event, id; in >> event >> id;) events[event[0]].insert(id);
  }
  EXPECT_EQ(events['X'].size(), 0u) << "a getter received a corrupted message";

  // Whatever is left, taken off by a process that is not killed; then the
  // messages found damaged while the workers ran, set aside in the store.
  ASSERT_EQ(Connect().cc, CVCC_OK);
  CVHOBJ q = OpenOrDie(kQueue);
  std::multiset<std::string> left, damaged;
  for (;;) {
    std::string data;
    CVMD md;
    Outcome o = Get(q, &data, CVGMO_NO_SYNCPOINT, 1 << 20, &md);
    if (o.reason == CVRC_NO_MSG_AVAILABLE) break;
    ASSERT_TRUE(o.cc == CVCC_OK || o.reason == CVRC_OBJECT_DAMAGED) << CVReasonName(o.reason);
    if (o.cc == CVCC_OK) {
      left.insert(IdOf(md));
      EXPECT_EQ(data, Body(IdOf(md))) << "corrupted on the queue";
    }
  }
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  sqlite3 *db = nullptr;
  sqlite3_stmt *s = nullptr;
  ASSERT_EQ(sqlite3_open((qm_.home + "/CVQM.qm/store.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT md FROM messages WHERE state=3", -1, &s, nullptr),
            SQLITE_OK);
  for (CVMD md; sqlite3_step(s) == SQLITE_ROW; damaged.insert(IdOf(md)))
    std::memcpy(&md, sqlite3_column_blob(s, 0), sizeof(md));
  sqlite3_finalize(s);
  sqlite3_close(db);

  std::set<std::string> attempted(events['A'].begin(), events['A'].end());
  size_t lost = 0, twice = 0, foreign = 0;
  for (const std::string &id : attempted) {
    size_t found = events['K'].count(id) + left.count(id) + damaged.count(id);
    twice += found > 1;
    // Confirmed and nowhere: lost, unless a getter was killed after its commit.
    lost += found == 0 && events['C'].count(id) > 0 && events['G'].count(id) == 0;
  }
  for (const auto *set : {&events['K'], &left, &damaged})
    for (const std::string &id : *set) foreign += attempted.count(id) == 0;
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(twice, 0u);
  EXPECT_EQ(foreign, 0u);
  EXPECT_LE(damaged.size(), damagedByUs);
  std::printf("soak: %d kills, %zu puts confirmed, %zu gets committed, %zu left, %zu damaged\n",
              kills, events['C'].size(), events['K'].size(), left.size(), damaged.size());

  // The damaged ones removed, the store is clean: no orphan body file.
  EXPECT_EQ(qm_.Admin(std::string("clear ") + kQueue + " --damaged >/dev/null"), 0);
  EXPECT_EQ(qm_.Admin("check"), 0);
}

}  // namespace
