// The queue calls as cvxfer relies on them, on the embedded store and on a
// RabbitMQ broker (skipped without CVXFER_BROKER_URL_FILE, its URL's file).
#include <signal.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "queue_calls.h"
#include "scratch_qmgr.h"

namespace {

class ConformanceTest : public ::testing::TestWithParam<std::string>, public QueueCalls {
 protected:
  void SetUp() override {
    amqp_ = GetParam() == "amqp";
    std::string url;
    if (amqp_) {
      url = BrokerUrl();
      if (url.empty()) GTEST_SKIP() << "no RabbitMQ broker in this run";
    }
    // Queues on a broker outlive the test: give each test its own names.
    static int serial = 0;
    prefix_ = "CONF." + std::to_string(getpid()) + "." + std::to_string(++serial) + ".";
    ASSERT_EQ(Admin("create QM --default" + (amqp_ ? " --amqp '" + url + "'" : "")), 0);
    ASSERT_EQ(Admin("define " + Q("MAIN")), 0);
    ASSERT_EQ(Admin("define " + Q("SMALL") + " --maxdepth 2 --maxmsgl 10"), 0);
    Outcome o = Connect("QM");
    ASSERT_EQ(o.cc, CVCC_OK) << CVReasonName(o.reason);
  }
  void TearDown() override {
    if (prefix_.empty()) return;
    Outcome o;
    CVDISC(&hconn_, &o.cc, &o.reason);
    for (const char *q : {"MAIN", "SMALL", "APP"}) {
      Admin("clear " + Q(q) + " >/dev/null 2>&1");
      Admin("undefine " + Q(q) + " >/dev/null 2>&1");
    }
  }

  std::string Q(const char *name) const { return prefix_ + name; }
  // Runs calls in a child process with a connection of its own, which it
  // leaves without disconnecting; returns the reason calls returns when it
  // is one of kSeen, else (or without a connection) -1.
  CVLONG InChild(const std::function<CVLONG()> &calls) {
    static const CVLONG kSeen[] = {CVRC_NONE, CVRC_JOURNAL_KEY_EXISTS, CVRC_JOURNAL_KEY_NOT_FOUND};
    const int seen = WaitExit(Spawn([&] {
      const CVLONG rc = Connect("QM").cc == CVCC_OK ? calls() : -1;
      return static_cast<int>(std::find(kSeen, std::end(kSeen), rc) - kSeen);
    }));
    return seen < 3 ? kSeen[seen] : -1;
  }
  int Admin(const std::string &args) { return qm_.Admin(args); }
  // Segment seq of group g: its data, and its put under pmo with the
  // group's identifier (24 times g) and an offset beyond 32 bits; the last
  // is flagged only CVMF_LAST_MSG_IN_GROUP, which implies the other flag.
  static std::string Segment(char g, CVLONG seq) { return g + std::to_string(seq); }
  Outcome PutSegment(CVHOBJ q, char g, CVLONG seq, bool last, CVLONG pmo = CVPMO_SYNCPOINT) {
    CVMD md = GroupMd(g, seq, last ? CVMF_LAST_MSG_IN_GROUP : CVMF_MSG_IN_GROUP,
                      (seq - 1) * 1000000000LL);
    return Put(q, Segment(g, seq), pmo, &md);
  }
  static bool AllZero(const CVBYTE (&id)[CV_GROUP_ID_LENGTH]) {
    return std::all_of(id, id + CV_GROUP_ID_LENGTH, [](CVBYTE b) { return b == 0; });
  }
  CVHOBJ Open(const std::string &queue) { return OpenOrDie(queue.c_str()); }

  ScratchQmgr qm_{"corvane_conformance"};
  bool amqp_ = false;
  std::string prefix_;
};

// Text, bytes with a NUL and nothing at all come back as they went, with
// the descriptor the put stamped.
TEST_P(ConformanceTest, MessagesComeBackOldestFirstWithTheirDescriptors) {
  CVHOBJ q = Open(Q("MAIN"));
  struct Sent {
    std::string data;
    const char *format;
    CVLONG persistence;
    CVMD md;
  };
  Sent sent[] = {{"first", CVFMT_STRING, CVPER_NOT_PERSISTENT, {}},
                 {std::string("se\0cond", 7), CVFMT_NONE, CVPER_PERSISTENT, {}},
                 {"", CVFMT_STRING, CVPER_PERSISTENT, {}}};
  for (Sent &m : sent) {
    m.md = CVMD_DEFAULT;
    m.md.Persistence = m.persistence;
    std::memcpy(m.md.Format, m.format, 8);
    ASSERT_EQ(Put(q, m.data, CVPMO_NO_SYNCPOINT, &m.md).cc, CVCC_OK);
  }
  EXPECT_EQ(Depth(q), 3);
  for (const Sent &m : sent) {
    std::string data;
    CVMD md;
    ASSERT_EQ(Get(q, &data, CVGMO_NO_SYNCPOINT | CVGMO_CONVERT, 1 << 20, &md).cc, CVCC_OK);
    EXPECT_EQ(data, m.data);
    EXPECT_EQ(std::memcmp(md.MsgId, m.md.MsgId, sizeof(md.MsgId)), 0);
    EXPECT_EQ(std::string(md.Format, 8), std::string(m.format, 8));
    EXPECT_EQ(md.Persistence, m.persistence);
    EXPECT_EQ(std::string(md.PutDate, 8) + std::string(md.PutTime, 8),
              std::string(m.md.PutDate, 8) + std::string(m.md.PutTime, 8));
  }
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
}

// Puts and gets under syncpoint count only at commit; a back-out, or a
// disconnect with the unit of work open, returns what was got and drops what
// was put.
TEST_P(ConformanceTest, BackoutReturnsTheMessageAndCommitRemovesIt) {
  CVHOBJ q = Open(Q("MAIN"));
  ASSERT_EQ(Put(q, "dropped", CVPMO_SYNCPOINT).cc, CVCC_OK);
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  ASSERT_EQ(Put(q, "only", CVPMO_SYNCPOINT).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  std::string data;
  CVMD md;
  ASSERT_EQ(Get(q, &data, CVGMO_SYNCPOINT, 1 << 20, &md).cc, CVCC_OK);
  EXPECT_EQ(md.BackoutCount, 0);
  // Held by this unit of work: nobody gets it meanwhile. The store still
  // counts it; a broker counts only messages ready to be delivered.
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
  if (!amqp_) {
    EXPECT_EQ(Depth(q), 1);
  }
  ASSERT_EQ(Backout().cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 1);
  ASSERT_EQ(Get(q, &data, CVGMO_SYNCPOINT, 1 << 20, &md).cc, CVCC_OK);
  EXPECT_EQ(data, "only");
  EXPECT_GE(md.BackoutCount, 1);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 0);
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
  ASSERT_EQ(Backout().cc, CVCC_OK);  // an empty unit of work

  ASSERT_EQ(Put(q, "held").cc, CVCC_OK);
  ASSERT_EQ(Get(q, nullptr, CVGMO_SYNCPOINT).cc, CVCC_OK);
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  ASSERT_EQ(Connect("QM").cc, CVCC_OK);
  ASSERT_EQ(Get(Open(Q("MAIN")), &data, CVGMO_NO_SYNCPOINT, 100, &md).cc, CVCC_OK);
  EXPECT_EQ(data, "held");
  EXPECT_GE(md.BackoutCount, 1);
}

// A buffer one byte short takes nothing, whether the body is kept in the
// store's row or in a file of its own; a retry with room gets every byte,
// up to several MiB.
TEST_P(ConformanceTest, TooSmallBufferGivesTheLengthAndTheRetryTheSameMessage) {
  CVHOBJ q = Open(Q("MAIN"));
  for (size_t size : {size_t{3000}, size_t{300000}, size_t{4 << 20}}) {
    SCOPED_TRACE(size);
    std::string body(size, '\0');
    for (size_t i = 0; i < size; i++) body[i] = static_cast<char>((i * 2654435761u) >> 13);
    ASSERT_EQ(Put(q, body).cc, CVCC_OK);
    ASSERT_EQ(Put(q, "second").cc, CVCC_OK);
    CVMD first;
    CVLONG length = 0;
    Outcome o = Get(q, nullptr, CVGMO_SYNCPOINT, static_cast<CVLONG>(size - 1), &first, &length);
    EXPECT_EQ(o.cc, CVCC_FAILED);
    EXPECT_REASON(o, CVRC_TRUNCATED_MSG_FAILED);
    EXPECT_EQ(length, static_cast<CVLONG>(size));
    std::string data;
    CVMD again;
    ASSERT_EQ(Get(q, &data, CVGMO_SYNCPOINT, length, &again).cc, CVCC_OK);
    EXPECT_TRUE(data == body);
    EXPECT_EQ(std::memcmp(first.MsgId, again.MsgId, sizeof(again.MsgId)), 0);
    ASSERT_EQ(Commit().cc, CVCC_OK);
    ASSERT_EQ(Get(q, &data).cc, CVCC_OK);
    EXPECT_EQ(data, "second");
  }
  if (!amqp_) {
    EXPECT_EQ(Admin("check >/dev/null"), 0);  // no body file left behind
  }
}

// A get that waits holds no lock meanwhile: another thread of the process
// puts, and the waiting get takes that message. With nothing coming it ends
// once its interval has passed.
TEST_P(ConformanceTest, AWaitingGetTakesWhatAnotherThreadPutsMeanwhile) {
  CVHOBJ q = Open(Q("MAIN"));
  auto waitingGet = [&](CVLONG waitMs, std::string *data) {
    return Get(q, data, CVGMO_WAIT | CVGMO_SYNCPOINT, 64, nullptr, nullptr, waitMs);
  };
  std::string data;
  auto start = std::chrono::steady_clock::now();
  EXPECT_REASON(waitingGet(200, &data), CVRC_NO_MSG_AVAILABLE);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  std::thread putter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Put(q, "meanwhile").cc, CVCC_OK);
  });
  Outcome o = waitingGet(10000, &data);
  putter.join();
  ASSERT_EQ(o.cc, CVCC_OK) << CVReasonName(o.reason);
  EXPECT_EQ(data, "meanwhile");
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 0);
}

// SMALL takes 2 messages of 10 bytes: a longer one is refused, a stream as
// soon as it says or passes that length. Names no queue manager takes are
// refused alike: a broker would take longer names and other characters.
TEST_P(ConformanceTest, LimitsOfDepthAndLengthAndNames) {
  CVHOBJ q = Open(Q("SMALL"));
  EXPECT_REASON(Put(q, "12345678901"), CVRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_REASON(StreamPut(q, "", 4, false, CVPMO_NONE, "", nullptr, 11), CVRC_MSG_TOO_BIG_FOR_Q);
  for (bool viaFd : {false, true})
    EXPECT_REASON(StreamPut(q, "12345678901", 4, viaFd), CVRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_EQ(Put(q, "1234567890").cc, CVCC_OK);
  EXPECT_EQ(StreamPut(q, "1234567890", 4).cc, CVCC_OK);
  EXPECT_REASON(Put(q, "y"), CVRC_Q_FULL);
  CVLONG selectors[] = {CVIA_MAX_Q_DEPTH, CVIA_MAX_MSG_LENGTH, CVIA_Q_TYPE, CVIA_CURRENT_Q_DEPTH};
  CVLONG values[4] = {0, 0, 0, 0};
  Outcome o;
  CVINQ(hconn_, q, 4, selectors, 4, values, 0, nullptr, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  EXPECT_EQ(values[0], 2);
  EXPECT_EQ(values[1], 10);
  EXPECT_EQ(values[2], CVQT_LOCAL);
  EXPECT_EQ(values[3], 2);
  CVINQ(hconn_, q, 4, selectors, 3, values, 0, nullptr, &o.cc, &o.reason);
  EXPECT_REASON(o, CVRC_INT_ATTR_COUNT_TOO_SMALL);
  CVLONG bad = 12345;
  CVINQ(hconn_, q, 1, &bad, 1, values, 0, nullptr, &o.cc, &o.reason);
  EXPECT_REASON(o, CVRC_SELECTOR_ERROR);
  std::string data;
  for (int i = 0; i < 3; i++) {  // with room again, the third streamed through a pipe
    if (i == 1) {
      ASSERT_EQ(StreamPut(q, "1234567890", 4, true).cc, CVCC_OK);
    }
    ASSERT_EQ(Get(q, &data).cc, CVCC_OK);
    EXPECT_EQ(data, "1234567890");
  }
  // A queue defined without limits has the defaults.
  CVINQ(hconn_, Open(Q("MAIN")), 2, selectors, 2, values, 0, nullptr, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  EXPECT_EQ(values[0], 5000);
  EXPECT_EQ(values[1], 104857600);

  CVHOBJ missing = CVHO_UNUSABLE_HOBJ;
  EXPECT_REASON(QueueCalls::Open(Q("NOT.DEFINED").c_str(), CVOO_OUTPUT, &missing),
                CVRC_UNKNOWN_OBJECT_NAME);
  for (const std::string &bad : {prefix_ + std::string(48, 'N'), prefix_ + "BAD-NAME"}) {
    int status = Admin("define '" + bad + "' 2>/dev/null");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << bad;
    Admin("undefine '" + bad + "' >/dev/null 2>&1");  // should it have been made after all
  }
}

// A journal change under syncpoint is its unit of work's: seen by its own
// connection only, holding the key against every other process (and its
// own changes without syncpoint), gone at back-out, disconnect or the end
// of its process, seen by all once committed. Without syncpoint a change
// is made at once.
TEST_P(ConformanceTest, JournalChangesFollowTheUnitOfWork) {
  std::string v;
  auto otherGets = [&](const char *key) {  // its reason, -2 for a value not "v1"
    return InChild([&] {
      CVLONG rc = JGet(key, &v).reason;
      return rc == 0 && v != "v1" ? -2 : rc;
    });
  };
  auto otherPuts = [&](const char *key) {
    return InChild([&] { return JPut(key, "x", CVJO_SYNCPOINT).reason; });
  };
  ASSERT_EQ(JPut("k", "v0", CVJO_SYNCPOINT).cc, CVCC_OK);
  ASSERT_EQ(JGet("k", &v).cc, CVCC_OK);
  EXPECT_EQ(v, "v0");
  EXPECT_EQ(otherGets("k"), CVRC_JOURNAL_KEY_NOT_FOUND);
  EXPECT_EQ(otherPuts("k"), CVRC_JOURNAL_KEY_EXISTS);
  EXPECT_EQ(InChild([&] { return JDel("k").reason; }), CVRC_JOURNAL_KEY_EXISTS);
  EXPECT_REASON(JPut("k", "x", CVJO_REPLACE), CVRC_JOURNAL_KEY_EXISTS);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  EXPECT_REASON(JGet("k", &v), CVRC_JOURNAL_KEY_NOT_FOUND);
  EXPECT_EQ(otherPuts("k"), CVRC_NONE);  // left pending by a process that ended
  ASSERT_EQ(JPut("k", "v0", CVJO_SYNCPOINT).cc, CVCC_OK) << CVLastCause();
  ASSERT_EQ(JPut("k", "v1", CVJO_SYNCPOINT | CVJO_REPLACE).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_EQ(otherGets("k"), CVRC_NONE);
  EXPECT_REASON(JPut("k", "v2", CVJO_SYNCPOINT), CVRC_JOURNAL_KEY_EXISTS);
  ASSERT_EQ(JDel("k", CVJO_SYNCPOINT).cc, CVCC_OK);
  EXPECT_REASON(JGet("k", &v), CVRC_JOURNAL_KEY_NOT_FOUND);
  EXPECT_EQ(otherGets("k"), CVRC_NONE);
  ASSERT_EQ(JPut("now", "v1").cc, CVCC_OK);
  EXPECT_EQ(otherGets("now"), CVRC_NONE);
  ASSERT_EQ(Disconnect().cc, CVCC_OK);
  ASSERT_EQ(Connect("QM").cc, CVCC_OK);
  std::vector<std::string> values;
  EXPECT_EQ(JKeys("", &values), (std::vector<std::string>{"k", "now"}));
  EXPECT_EQ(values, (std::vector<std::string>{"v1", "v1"}));
  ASSERT_EQ(JDel("k").cc, CVCC_OK);
  EXPECT_REASON(JDel("k"), CVRC_JOURNAL_KEY_NOT_FOUND);
}

// Two processes loop over the same keys, each putting a message and adding
// its key in one unit of work (backing out when refused), until killed
// (SIGKILL) at any moment. No record is without its message, no key stays
// held by the dead, and on a store every key is won once: no message twice,
// none without its record. (On a broker a racer that takes over the key of
// one killed between its messages and its records puts the message again.)
TEST_P(ConformanceTest, RacersKilledAtAnyMomentLeaveEachRecordWithItsMessage) {
  for (int round = 0; round < 3; round++) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> racers;
    for (int racer = 0; racer < 2; racer++) {
      racers.push_back(Spawn([&] {
        CVHOBJ q = Connect("QM").cc == CVCC_OK ? Open(Q("MAIN")) : CVHO_UNUSABLE_HOBJ;
        for (int i = 0;; i++) {
          if (i == 500) pause();  // the three rounds' messages fit on the queue
          const std::string key = std::to_string(round) + "." + std::to_string(i);
          Outcome o = Put(q, key, CVPMO_SYNCPOINT);
          if (o.cc == CVCC_OK) o = JPut(key, "", CVJO_SYNCPOINT);
          o = o.reason == CVRC_JOURNAL_KEY_EXISTS ? Backout() : o.cc == CVCC_OK ? Commit() : o;
          if ((i == 0 && write(ready[1], o.cc == CVCC_OK ? "r" : "x", 1) != 1) || o.cc != 0)
            return 1;
        }
      }));
    }
    close(ready[1]);  // a racer that fails says so at its first round: no wait is endless
    for (size_t i = 0; i < racers.size(); i++) {
      char byte = 0;
      EXPECT_EQ(read(ready[0], &byte, 1), 1);
      EXPECT_EQ(byte, 'r');
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2 << (2 * round)));
    for (pid_t p : racers) kill(p, SIGKILL);
    for (pid_t p : racers) EXPECT_EQ(WaitExit(p), 128 + SIGKILL);
    close(ready[0]);
  }
  std::multiset<std::string> messages;
  CVHOBJ q = Open(Q("MAIN"));
  for (std::string m; Get(q, &m).cc == CVCC_OK;) messages.insert(m);
  std::vector<std::string> values, keys = JKeys("", &values);
  std::set<std::string> records(keys.begin(), keys.end());
  EXPECT_GE(records.size(), 3u);
  int beyond = 0;  // past every index a racer reached
  for (const std::string &m : messages) {
    EXPECT_TRUE(amqp_ || (messages.count(m) == 1 && records.count(m) == 1)) << m;
    beyond = std::max(beyond, std::stoi(m.substr(2)) + 3);
  }
  for (const std::string &r : records) EXPECT_GE(messages.count(r), 1u) << r;
  for (int i = 0; i < 3 * beyond; i++) {
    const std::string key = std::to_string(i % 3) + "." + std::to_string(i / 3);
    EXPECT_REASON(JPut(key, "", CVJO_SYNCPOINT),
                  records.count(key) > 0 ? CVRC_JOURNAL_KEY_EXISTS : CVRC_NONE);
  }
}

// CVJNEXT walks the committed records in the order of their bytes, by
// prefix; keys and values are any bytes, within their limits.
TEST_P(ConformanceTest, JournalWalksKeysInByteOrderWithinTheLimits) {
  using S = std::string;
  const std::vector<S> keys = {
      "a",    S("a\0", 2),     "a\x01",   "ab", "a\xff\x01", "b", S(CV_JOURNAL_KEY_MAX, 'z'),
      "\xff", S("\xff") + "a", "\xff\xff"};
  for (size_t i = keys.size(); i-- > 0;) ASSERT_EQ(JPut(keys[i], keys[i]).cc, CVCC_OK) << i;
  ASSERT_EQ(JPut("a-pending", "p", CVJO_SYNCPOINT).cc, CVCC_OK);  // not committed: not walked
  const std::vector<std::pair<S, std::vector<S>>> walks = {
      {"", keys},
      {"a", {keys[0], keys[1], keys[2], keys[3], keys[4]}},
      {"a\xff", {keys[4]}},
      {"\xff", {keys[7], keys[8], keys[9]}},
      {"\xff\xff", {keys[9]}},
      {"c", {}},
      {keys[6], {keys[6]}}};
  for (const auto &[prefix, want] : walks) {
    std::vector<S> values;
    EXPECT_EQ(JKeys(prefix, &values), want) << prefix;
    EXPECT_EQ(values, want) << prefix;  // each value is its key
  }
  // Values: empty, and the longest cut with a warning by a short buffer.
  S value;
  CVLONG whole = -1;
  ASSERT_EQ(JPut("empty", "").cc, CVCC_OK);
  EXPECT_EQ(JGet("empty", &value, 0, &whole).cc, CVCC_OK);
  EXPECT_EQ(whole, 0);
  ASSERT_EQ(JPut("long", S(CV_JOURNAL_VALUE_MAX, 'L')).cc, CVCC_OK);
  Outcome cut = JGet("long", &value, 10, &whole);
  EXPECT_EQ(cut.cc, CVCC_WARNING);
  EXPECT_REASON(cut, CVRC_TRUNCATED_MSG_ACCEPTED);
  EXPECT_EQ(value + std::to_string(whole), S(10, 'L') + std::to_string(CV_JOURNAL_VALUE_MAX));
  // Beyond the limits nothing is added.
  const S big(CV_JOURNAL_KEY_MAX + CV_JOURNAL_VALUE_MAX, 'k');
  for (auto [keyLength, valueLength] : std::vector<std::pair<CVLONG, CVLONG>>{
           {0, 1}, {CV_JOURNAL_KEY_MAX + 1, 1}, {1, CV_JOURNAL_VALUE_MAX + 1}, {1, -1}}) {
    Outcome o;
    CVJPUT(hconn_, keyLength, big.data(), valueLength, big.data(), CVJO_NONE, &o.cc, &o.reason);
    EXPECT_REASON(o, CVRC_DATA_LENGTH_ERROR) << keyLength << " " << valueLength;
  }
  std::vector<S> values;
  EXPECT_EQ(JKeys("k", &values), std::vector<S>{});
}

// Properties come back as they were put, in order, whatever the size of the
// body and the syncpoint option; a message put without them has none, and
// a get that asks for none still takes a message that has them.
TEST_P(ConformanceTest, PropertiesTravelWithTheirMessage) {
  CVHOBJ q = Open(Q("MAIN"));
  const std::string full = Props({{"file.name", "report 2024.txt"},
                                  {"Z_last-1", ""},
                                  {std::string(64, 'n'), std::string(4096, 'v')},
                                  {"utf8", "gr\xc3\xbc\xc3\x9f"}});
  struct Case {
    std::string data, props;
    CVLONG pmo;
  };
  const std::vector<Case> cases = {{"small", full, CVPMO_NO_SYNCPOINT},
                                   {std::string(300000, 'b'), full, CVPMO_SYNCPOINT},
                                   {"one", Props({{"k", "v"}}), CVPMO_NO_SYNCPOINT},
                                   {"none", "", CVPMO_NO_SYNCPOINT}};
  for (const Case &c : cases) {
    ASSERT_EQ(PutP(q, c.data, c.props, c.pmo).cc, CVCC_OK);
    ASSERT_EQ(Commit().cc, CVCC_OK);
  }
  ASSERT_EQ(Put(q, "plain put").cc, CVCC_OK);
  ASSERT_EQ(PutP(q, "taken by a plain get", Props({{"k", "v"}})).cc, CVCC_OK);
  for (const Case &c : cases) {
    Got g = GetP(q);
    ASSERT_EQ(g.o.cc, CVCC_OK) << CVReasonName(g.o.reason) << " " << CVLastCause();
    EXPECT_TRUE(g.data == c.data) << g.data.size() << " bytes, not " << c.data.size();
    EXPECT_EQ(g.props, c.props);
    EXPECT_EQ(g.propLength, static_cast<CVLONG>(c.props.size()));
  }
  Got plain = GetP(q);
  ASSERT_EQ(plain.o.cc, CVCC_OK);
  EXPECT_EQ(plain.data, "plain put");
  EXPECT_EQ(plain.propLength, 0);
  std::string data;
  ASSERT_EQ(Get(q, &data).cc, CVCC_OK);
  EXPECT_EQ(data, "taken by a plain get");
  EXPECT_EQ(Depth(q), 0);
}

TEST_P(ConformanceTest, BadPropertyListsAreRefusedAndPutNothing) {
  CVHOBJ q = Open(Q("MAIN"));
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i <= CV_PROPERTIES_MAX; i++) many.emplace_back("p" + std::to_string(i), "x");
  const std::vector<std::pair<const char *, std::string>> bad = {
      {"no last NUL", std::string("a\0b", 3)},
      {"no value", std::string("a\0", 2)},
      {"empty name", Props({{"", "v"}})},
      {"a blank in the name", Props({{"a b", "v"}})},
      {"a slash in the name", Props({{"a/b", "v"}})},
      {"name too long", Props({{std::string(65, 'n'), "v"}})},
      {"value too long", Props({{"n", std::string(4097, 'v')}})},
      {"a name twice", Props({{"n", "1"}, {"m", "2"}, {"n", "3"}})},
      {"too many", Props(many)},
      {"a reserved name", Props({{"CV-Format", "x"}})},
      {"a group field's name", Props({{"cv-Msg-Seq", "1"}})}};
  for (const auto &[what, list] : bad) {
    EXPECT_REASON(PutP(q, "x", list), CVRC_FORMAT_ERROR) << what;
    EXPECT_NE(std::string(CVLastCause()), "") << what;
  }
  // Lengths that no list has.
  CVMD md = CVMD_DEFAULT;
  CVPMO pmo = CVPMO_DEFAULT;
  for (auto [length, props] : std::vector<std::pair<CVLONG, const char *>>{
           {-1, "a\0b"}, {4, nullptr}, {CV_PROPERTIES_LENGTH_MAX + 1, "a\0b"}}) {
    Outcome o;
    CVPUTP(hconn_, q, &md, &pmo, length, props, 1, "x", &o.cc, &o.reason);
    EXPECT_REASON(o, CVRC_FORMAT_ERROR) << length;
  }
  EXPECT_EQ(Depth(q), 0);
}

// A property list that does not fit fails like data that do not, taking
// nothing; accepted truncation hands out only the whole pairs that fit.
TEST_P(ConformanceTest, PropertyListsAreTruncatedOnlyBetweenPairs) {
  CVHOBJ q = Open(Q("MAIN"));
  const std::string list = Props({{"A", "1"}, {"B", "22"}});  // 4 + 5 bytes
  struct Case {
    CVLONG buffer, options, reason, propLength;
  };
  const Case cases[] = {
      {9, 0, CVRC_NONE, 9},
      {8, 0, CVRC_TRUNCATED_MSG_FAILED, 9},
      {8, CVGMO_ACCEPT_TRUNCATED_MSG, CVRC_TRUNCATED_MSG_ACCEPTED, 4},
      {3, CVGMO_ACCEPT_TRUNCATED_MSG, CVRC_TRUNCATED_MSG_ACCEPTED, 0},
      {0, CVGMO_ACCEPT_TRUNCATED_MSG, CVRC_TRUNCATED_MSG_ACCEPTED, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.buffer);
    ASSERT_EQ(PutP(q, "data", list).cc, CVCC_OK);
    Got g = GetP(q, CVGMO_SYNCPOINT | c.options, c.buffer);
    EXPECT_REASON(g.o, c.reason);
    EXPECT_EQ(g.propLength, c.propLength);
    EXPECT_EQ(g.dataLength, 4);
    if (c.reason == CVRC_TRUNCATED_MSG_FAILED) {
      // Nothing was taken: the retry with room for the list gets it.
      Got retry = GetP(q, CVGMO_SYNCPOINT, g.propLength, 1 << 20, &g.md);
      ASSERT_EQ(retry.o.cc, CVCC_OK);
      EXPECT_EQ(std::memcmp(retry.md.MsgId, g.md.MsgId, sizeof(g.md.MsgId)), 0);
      g = retry;
    }
    EXPECT_EQ(g.data, "data");
    EXPECT_EQ(g.props, list.substr(0, static_cast<size_t>(g.propLength)));
    ASSERT_EQ(Commit().cc, CVCC_OK);
    EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
  }
}

// Browsing and marking need the store; a broker refuses both, after the
// same checks of the handle. Both tell, by a mark of nothing, whether the
// message is still held.
TEST_P(ConformanceTest, BrowseAndMarkOnTheStoreOnly) {
  CVHOBJ q = Open(Q("MAIN"));
  CVHOBJ browser = OpenOrDie(Q("MAIN").c_str(), CVOO_BROWSE | CVOO_INPUT_AS_Q_DEF);
  EXPECT_REASON(GetP(q, CVGMO_BROWSE_FIRST).o, CVRC_NOT_OPEN_FOR_BROWSE);
  EXPECT_REASON(GetP(browser, CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT).o, CVRC_OPTIONS_ERROR);
  ASSERT_EQ(PutP(q, "m", Props({{"state", "new"}})).cc, CVCC_OK);
  Got browsed = GetP(browser, CVGMO_BROWSE_FIRST);
  Got got = GetP(q, CVGMO_SYNCPOINT);
  ASSERT_EQ(got.o.cc, CVCC_OK);
  const std::string mark = Props({{"state", "sent"}});
  Outcome marked;
  CVMARK(hconn_, got.md.MsgId, static_cast<CVLONG>(mark.size()), mark.data(), &marked.cc,
         &marked.reason);
  Outcome held, gone;
  CVMARK(hconn_, got.md.MsgId, 0, "", &held.cc, &held.reason);
  EXPECT_REASON(held, 0);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  CVMARK(hconn_, got.md.MsgId, 0, "", &gone.cc, &gone.reason);
  EXPECT_REASON(gone, CVRC_NO_MSG_LOCKED);
  Got again = GetP(q);
  ASSERT_EQ(again.o.cc, CVCC_OK);
  if (amqp_) {
    EXPECT_REASON(browsed.o, CVRC_FUNCTION_NOT_SUPPORTED);
    EXPECT_REASON(marked, CVRC_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(again.props, Props({{"state", "new"}}));
  } else {
    ASSERT_EQ(browsed.o.cc, CVCC_OK);
    EXPECT_EQ(browsed.props, Props({{"state", "new"}}));
    EXPECT_EQ(marked.cc, CVCC_OK);
    EXPECT_EQ(again.props, mark);
  }
}

// Bodies streamed in and out keep every byte at the sizes where the store
// changes how it keeps them (in its row, in a file) and where pieces end.
TEST_P(ConformanceTest, StreamedBodiesKeepEveryByteAtTheEdges) {
  CVHOBJ q = Open(Q("MAIN"));
  const std::string props = Props({{"cv-file-name", "edge.bin"}});
  int round = 0;
  for (size_t size : {0, 1, 131071, 131072, 131073, 1048575, 1048576, 1048577}) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; i++) body[i] = static_cast<char>((i * 2654435761u) >> 11);
    const bool viaFd = round % 2 == 1;
    CVMD md;
    ASSERT_EQ(StreamPut(q, body, viaFd ? 65536 : 7001 + round, viaFd, CVPMO_NONE, props, &md).cc,
              CVCC_OK)
        << size;
    // The store can hand a body over as a descriptor; the broker cannot.
    Got g = StreamGet(q, 4093 * (round + 1), viaFd && !amqp_);
    ASSERT_EQ(g.o.cc, CVCC_OK) << size << " " << CVReasonName(g.o.reason);
    EXPECT_EQ(g.dataLength, static_cast<CVLONG>(size));
    EXPECT_TRUE(g.data == body) << size;
    EXPECT_EQ(g.props, props);
    EXPECT_EQ(std::memcmp(g.md.MsgId, md.MsgId, sizeof(md.MsgId)), 0);
    ASSERT_EQ(Commit().cc, CVCC_OK);
    round++;
  }
  EXPECT_EQ(Depth(q), 0);
}

TEST_P(ConformanceTest, StreamsKeepTheUnitOfWorkRules) {
  CVHOBJ q = Open(Q("MAIN"));
  CVPMO pmo = CVPMO_DEFAULT;
  pmo.Options = CVPMO_SYNCPOINT;
  CVHMSG put = CVHM_UNUSABLE_HMSG, other = CVHM_UNUSABLE_HMSG;
  Outcome o;
  CVPUTOPEN(hconn_, q, &pmo, -1, &put, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  CVPUTDATA(hconn_, put, 5, "first", &o.cc, &o.reason);
  EXPECT_EQ(Depth(q), 0);  // being written: seen by nobody
  CVPUTOPEN(hconn_, q, &pmo, -1, &other, &o.cc, &o.reason);
  EXPECT_EQ(o.reason, CVRC_HANDLE_NOT_AVAILABLE);  // one stream at a time
  EXPECT_REASON(Commit(), CVRC_UOW_IN_PROGRESS);   // its message is not complete
  CVMD md = CVMD_DEFAULT;
  CVPUTCLOSE(hconn_, &put, CVSC_COMPLETE, &md, 0, nullptr, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 0);  // under syncpoint: only at commit
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 1);

  // A stream abandoned, or backed out while open, leaves nothing.
  ASSERT_EQ(StreamPut(q, std::string(300000, 'x'), 65536, false, CVPMO_SYNCPOINT).cc, CVCC_OK);
  CVPUTOPEN(hconn_, q, &pmo, -1, &put, &o.cc, &o.reason);
  CVPUTDATA(hconn_, put, 3, "abc", &o.cc, &o.reason);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  CVPUTDATA(hconn_, put, 3, "abc", &o.cc, &o.reason);
  EXPECT_EQ(o.reason, CVRC_HMSG_ERROR);
  CVPUTOPEN(hconn_, q, &pmo, -1, &put, &o.cc, &o.reason);
  CVPUTDATA(hconn_, put, 3, "abc", &o.cc, &o.reason);
  CVPUTCLOSE(hconn_, &put, CVSC_ABANDON, nullptr, 0, nullptr, &o.cc, &o.reason);
  EXPECT_EQ(o.cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_EQ(Depth(q), 1);

  // A streamed get holds its message until commit or back-out, and needs
  // syncpoint.
  CVGMO gmo = CVGMO_DEFAULT;
  CVLONG length = 0, propLength = 0;
  CVGETOPEN(hconn_, q, &md, &gmo, 0, nullptr, &propLength, &length, &other, &o.cc, &o.reason);
  EXPECT_EQ(o.reason, CVRC_SYNCPOINT_NOT_AVAILABLE);
  Got g = StreamGet(q, 2);
  ASSERT_EQ(g.o.cc, CVCC_OK);
  EXPECT_EQ(g.data, "first");
  ASSERT_EQ(Backout().cc, CVCC_OK);

  // Any other call ends a get stream half-read (a broker's frames must not
  // be interleaved); its message stays held, and the connection works on.
  ASSERT_EQ(StreamPut(q, std::string(1 << 20, 'b'), 65536).cc, CVCC_OK);
  CVHMSG get = CVHM_UNUSABLE_HMSG;
  CVLONG got = 0;
  gmo.Options = CVGMO_SYNCPOINT;
  CVGETOPEN(hconn_, q, &md, &gmo, 0, nullptr, &propLength, &length, &get, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  char piece[2];
  CVGETDATA(hconn_, get, 2, piece, &got, &o.cc, &o.reason);
  ASSERT_EQ(o.cc, CVCC_OK);
  ASSERT_EQ(Put(q, "last").cc, CVCC_OK);
  CVGETDATA(hconn_, get, 2, piece, &got, &o.cc, &o.reason);
  EXPECT_EQ(o.reason, CVRC_HMSG_ERROR);
  g = StreamGet(q, 64);  // the next one: the first is held
  ASSERT_EQ(g.o.cc, CVCC_OK);
  EXPECT_EQ(g.data.size(), 1u << 20);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  for (const char *want : {"first", "b", "last"}) {
    g = StreamGet(q, 64 << 10);
    ASSERT_EQ(g.o.cc, CVCC_OK);
    EXPECT_EQ(g.data.substr(0, std::strlen(want)), want);
    ASSERT_EQ(Commit().cc, CVCC_OK);
  }
  std::string data;
  EXPECT_REASON(Get(q, &data), CVRC_NO_MSG_AVAILABLE);
}

// The backout attributes of a queue: set by cvadmin define and alter, kept
// across connections, told by CVINQ (never of the queue manager). The
// store counts every back-out of a message; a broker's classic queue tells
// only that it came back.
TEST_P(ConformanceTest, BackoutAttributesAreKeptAndToldAndBackOutsCounted) {
  const std::string app = Q("APP"), boq = Q("SMALL");
  auto inquire = [&](CVHOBJ h, CVLONG *threshold, std::string *queue) {
    const CVLONG selectors[] = {CVCA_BACKOUT_REQ_Q_NAME, CVIA_BACKOUT_THRESHOLD};
    char name[CV_Q_NAME_LENGTH];
    Outcome o;
    CVINQ(hconn_, h, 2, selectors, 1, threshold, sizeof(name), name, &o.cc, &o.reason);
    queue->assign(name, sizeof(name));
    queue->erase(queue->find_last_not_of(' ') + 1);
    return o;
  };
  ASSERT_EQ(Admin("define " + app + " --backout-threshold 3 --backout-queue " + boq), 0);
  for (const auto &[threshold, queue] :
       std::vector<std::pair<CVLONG, std::string>>{{3, boq}, {5, ""}}) {
    ASSERT_EQ(Disconnect().cc, CVCC_OK);
    ASSERT_EQ(Connect("QM").cc, CVCC_OK);
    CVLONG told = -1;
    std::string toldQueue;
    ASSERT_EQ(inquire(Open(app), &told, &toldQueue).cc, CVCC_OK);
    EXPECT_EQ(told, threshold);
    EXPECT_EQ(toldQueue, queue);
    CVHOBJ qm = CVHO_UNUSABLE_HOBJ;
    ASSERT_EQ(QueueCalls::Open("", CVOO_INQUIRE, &qm, CVOT_Q_MGR).cc, CVCC_OK);
    EXPECT_REASON(inquire(qm, &told, &toldQueue), CVRC_SELECTOR_NOT_FOR_TYPE);
    ASSERT_EQ(Admin("alter " + app + " --backout-threshold 5 --backout-queue ''"), 0);
  }
  CVHOBJ q = Open(app);
  ASSERT_EQ(Put(q, "poison").cc, CVCC_OK);
  for (CVLONG backouts = 0; backouts < 3; backouts++) {
    CVMD md = CVMD_DEFAULT;
    ASSERT_EQ(Get(q, nullptr, CVGMO_SYNCPOINT, 100, &md).cc, CVCC_OK);
    EXPECT_EQ(md.BackoutCount, amqp_ ? std::min<CVLONG>(backouts, 1) : backouts);
    ASSERT_EQ(Backout().cc, CVCC_OK);
  }
  EXPECT_EQ(Get(q, nullptr).cc, CVCC_OK);
}

// Segments of a group carry their fields and come in logical order; with
// CVGMO_ALL_MSGS_AVAILABLE only whole groups (the store looks; on a broker
// a group's first segment is published after the rest); in the middle of a
// group only its next segment comes, whatever other putters put between; a
// back-out returns every segment taken.
TEST_P(ConformanceTest, GroupsComeInLogicalOrderWholeOrNotAtAll) {
  CVHOBJ q = Open(Q("MAIN"));
  const CVLONG inOrder = CVGMO_SYNCPOINT | CVGMO_LOGICAL_ORDER | CVGMO_ALL_MSGS_AVAILABLE;
  ASSERT_EQ(Put(q, "plain").cc, CVCC_OK);
  // Group A whole, its segments put out of order in one unit of work (a
  // broker publishes A2 before the commit, A3 at it, after A2).
  const std::vector<CVLONG> order{1, 3, 2};
  for (CVLONG seq : order) ASSERT_EQ(PutSegment(q, 'A', seq, seq == 3).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  // After a back-out, the same again without logical order: in the order
  // put, the group still whole while this unit of work holds part of it.
  // (A broker keeps a group's later segments on a queue of the group's own,
  // reached in logical order only.)
  for (int round = 0; round < 2; round++) {
    const bool logical = round == 0 || amqp_;
    const CVLONG options = logical ? inOrder : CVGMO_SYNCPOINT | CVGMO_ALL_MSGS_AVAILABLE;
    Got g = GetP(q, options);
    ASSERT_EQ(g.o.cc, CVCC_OK);
    EXPECT_EQ(g.data + std::to_string(g.md.MsgSeqNumber) + std::to_string(g.md.Offset) +
                  std::to_string(g.md.MsgFlags) + std::to_string(AllZero(g.md.GroupId)),
              "plain1001");
    for (CVLONG seq : logical ? std::vector<CVLONG>{1, 2, 3} : order) {
      if (seq == 2 && round == 0) {  // in the middle of A: another group is never next
        CVMD other = CVMD_DEFAULT;
        std::memset(other.GroupId, 'Z', sizeof(other.GroupId));
        EXPECT_REASON(GetP(q, inOrder, 0, 100, &other).o, CVRC_NO_MSG_AVAILABLE);
      }
      g = GetP(q, options);
      ASSERT_EQ(g.o.cc, CVCC_OK) << seq;
      EXPECT_EQ(g.data, Segment('A', seq));
      EXPECT_EQ(g.md.MsgSeqNumber, seq);
      EXPECT_EQ(g.md.Offset, (seq - 1) * 1000000000LL);
      EXPECT_EQ(g.md.MsgFlags, CVMF_MSG_IN_GROUP | (seq == 3 ? CVMF_LAST_MSG_IN_GROUP : 0));
      EXPECT_EQ(std::string(reinterpret_cast<char *>(g.md.GroupId), 24), std::string(24, 'A'));
      EXPECT_EQ(g.md.BackoutCount, round > 0 ? 1 : 0);
    }
    EXPECT_REASON(GetP(q, options).o, CVRC_NO_MSG_AVAILABLE);
    ASSERT_EQ(round == 0 ? Backout().cc : Commit().cc, CVCC_OK);
  }
  // Putters interleave: D is put in two units of work, with a message and a
  // segment that starts no group (E2) between its segments. In the middle
  // of D only D2 comes, and the others stay (on a broker E2 waits on E's
  // own queue, D2 on D's).
  ASSERT_EQ(PutSegment(q, 'D', 1, false).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  ASSERT_EQ(Put(q, "between").cc, CVCC_OK);
  ASSERT_EQ(PutSegment(q, 'E', 2, true).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  ASSERT_EQ(PutSegment(q, 'D', 2, true).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  for (const char *want : {"D1", "D2", "between"}) EXPECT_EQ(GetP(q, inOrder).data, want);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_REASON(GetP(q, inOrder).o, CVRC_NO_MSG_AVAILABLE);  // E2 starts nothing
  if (!amqp_) {
    ASSERT_EQ(Get(q, nullptr).cc, CVCC_OK);  // and is still there
  }
  // A group backed out is gone whole, its later segments too (a broker had
  // published F2 already, to F's own queue).
  for (CVLONG seq : {1, 2}) ASSERT_EQ(PutSegment(q, 'F', seq, seq == 2).cc, CVCC_OK);
  ASSERT_EQ(Backout().cc, CVCC_OK);
  ASSERT_EQ(PutSegment(q, 'F', 1, false).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  const CVLONG partOfGroups = CVGMO_SYNCPOINT | CVGMO_LOGICAL_ORDER;
  CVHOBJ f = Open(Q("MAIN"));  // left in the middle of F
  EXPECT_EQ(GetP(f, partOfGroups).data, "F1");
  EXPECT_REASON(GetP(f, partOfGroups).o, CVRC_NO_MSG_AVAILABLE);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  // Group B lacks segment 2: the store does not offer it whole; in logical
  // order its segment 1 comes, and then nothing, though its last is there.
  for (CVLONG seq : {1, 3}) ASSERT_EQ(PutSegment(q, 'B', seq, seq == 3).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  if (!amqp_) {
    EXPECT_REASON(GetP(q, inOrder).o, CVRC_NO_MSG_AVAILABLE);
    // Nor while its missing segment is only pending; C, whole, comes.
    ASSERT_EQ(PutSegment(q, 'B', 2, false).cc, CVCC_OK);
    ASSERT_EQ(PutSegment(q, 'C', 1, true, CVPMO_NO_SYNCPOINT).cc, CVCC_OK);
    EXPECT_EQ(GetP(q, inOrder).data, Segment('C', 1));
    EXPECT_REASON(GetP(q, inOrder).o, CVRC_NO_MSG_AVAILABLE);
    ASSERT_EQ(Backout().cc, CVCC_OK);        // B2 is dropped, C1 returns
    ASSERT_EQ(Get(q, nullptr).cc, CVCC_OK);  // B1, taken out of logical order
  }
  // A group starts with its segment 1 (B3 is not one), also for a stream.
  Got g = StreamGet(q, 64, false, CVGMO_LOGICAL_ORDER);
  EXPECT_EQ(g.data, amqp_ ? Segment('B', 1) : Segment('C', 1));
  if (amqp_) {  // B3 at the head is not B2
    EXPECT_REASON(StreamGet(q, 64, false, CVGMO_LOGICAL_ORDER).o, CVRC_NO_MSG_AVAILABLE);
  }
  ASSERT_EQ(Commit().cc, CVCC_OK);
  // B3 is left, and no group starts with it: not even on a fresh handle.
  EXPECT_REASON(GetP(Open(Q("MAIN")), CVGMO_LOGICAL_ORDER).o, CVRC_NO_MSG_AVAILABLE);
  if (!amqp_) {
    ASSERT_EQ(Get(q, nullptr, CVGMO_NO_SYNCPOINT, 100, &g.md).cc, CVCC_OK);
    EXPECT_EQ(g.md.MsgSeqNumber, 3);
  }
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
}

// A broker's group stays whole: its queue goes with a putter known dead
// only, not when another connection finds the putter's note gone (it is
// showing the group); and a unit of work the broker took back leaves no
// handle in the middle of a group, whose first segment went back.
TEST_P(ConformanceTest, BrokerGroupsStayWholeThroughOtherConnectsAndLostUnitsOfWork) {
  if (!amqp_) GTEST_SKIP() << "a broker's own group queues";
  CVHOBJ q = Open(Q("MAIN"));
  const CVLONG inOrder = CVGMO_SYNCPOINT | CVGMO_LOGICAL_ORDER;
  // K2 is published by its put; its note then reads as gone (a link to
  // nothing), as when the commit removes it between a connect's listing
  // and its reading.
  for (CVLONG seq : {1, 2}) ASSERT_EQ(PutSegment(q, 'K', seq, seq == 2).cc, CVCC_OK);
  const std::vector<std::string> notes = Files(qm_.home + "/QM.qm/amqp.groups");
  ASSERT_EQ(notes.size(), 1u);
  ASSERT_EQ(unlink(notes[0].c_str()), 0);
  ASSERT_EQ(symlink("gone", notes[0].c_str()), 0);
  EXPECT_EQ(InChild([] { return CVRC_NONE; }), CVRC_NONE);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  for (const char *want : {"K1", "K2"}) EXPECT_EQ(GetP(q, inOrder).data, want);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  // A get from a queue deleted meanwhile closes the channel: the broker
  // takes L1 back, and the handle starts with it again.
  q = Open(Q("MAIN"));
  for (CVLONG seq : {1, 2}) ASSERT_EQ(PutSegment(q, 'L', seq, seq == 2).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  ASSERT_EQ(Admin("define " + Q("APP")), 0);
  CVHOBJ gone = Open(Q("APP"));
  EXPECT_EQ(GetP(q, inOrder).data, "L1");
  ASSERT_EQ(Admin("undefine " + Q("APP")), 0);
  EXPECT_REASON(Get(gone, nullptr, CVGMO_SYNCPOINT), CVRC_BACKED_OUT);
  // A put made before the commit that tells of the loss goes with it.
  ASSERT_EQ(Put(q, "M", CVPMO_SYNCPOINT).cc, CVCC_OK);
  EXPECT_REASON(Commit(), CVRC_BACKED_OUT);
  for (const char *want : {"L1", "L2"}) EXPECT_EQ(GetP(q, inOrder).data, want);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  EXPECT_REASON(Get(q, nullptr), CVRC_NO_MSG_AVAILABLE);
}

// Group fields that break the rules are refused by every put, puts nothing
// and leave a put stream open; a broker puts segments only under syncpoint.
TEST_P(ConformanceTest, BadGroupFieldsAreRefused) {
  CVHOBJ q = Open(Q("MAIN"));
  struct Case {
    const char *what;
    char group;
    CVLONG seq, flags;
    CVINT64 offset;
    CVLONG pmo;
    CVLONG reason;
  };
  const CVLONG inGroup = CVMF_MSG_IN_GROUP;
  const Case cases[] = {
      {"no group id", 0, 1, inGroup, 0, CVPMO_SYNCPOINT, CVRC_MD_ERROR},
      {"sequence 0", 'G', 0, inGroup, 0, CVPMO_SYNCPOINT, CVRC_MD_ERROR},
      {"negative offset", 'G', 1, inGroup, -1, CVPMO_SYNCPOINT, CVRC_MD_ERROR},
      {"a group id without the flag", 'G', 1, CVMF_NONE, 0, CVPMO_SYNCPOINT, CVRC_MD_ERROR},
      {"an unknown flag", 'G', 1, inGroup | 1, 0, CVPMO_SYNCPOINT, CVRC_MD_ERROR},
      {"no syncpoint", 'G', 1, inGroup, 0, CVPMO_NO_SYNCPOINT,
       amqp_ ? CVRC_SYNCPOINT_NOT_AVAILABLE : CVRC_NONE},
  };
  for (const Case &c : cases) {
    CVMD md = GroupMd(c.group, c.seq, c.flags, c.offset);
    EXPECT_REASON(Put(q, "x", c.pmo, &md), c.reason) << c.what;
    CVPMO pmo = CVPMO_DEFAULT;
    pmo.Options = c.pmo;
    Outcome o;
    CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
    CVPUTOPEN(hconn_, q, &pmo, -1, &hmsg, &o.cc, &o.reason);
    CVPUTCLOSE(hconn_, &hmsg, CVSC_COMPLETE, &md, 0, nullptr, &o.cc, &o.reason);
    EXPECT_REASON(o, c.reason) << c.what;
    EXPECT_EQ(hmsg != CVHM_UNUSABLE_HMSG, c.reason == CVRC_MD_ERROR) << c.what;
    CVPUTCLOSE(hconn_, &hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &o.cc, &o.reason);
  }
  EXPECT_EQ(Depth(q), amqp_ ? 0 : 2);
}

// A program built before groups passes a Version 1 descriptor: nothing
// past its end is read or written, and its Version stays 1.
TEST_P(ConformanceTest, VersionOneDescriptorsStillWork) {
  CVHOBJ q = Open(Q("MAIN"));
  ASSERT_EQ(PutSegment(q, 'V', 1, true).cc, CVCC_OK);
  ASSERT_EQ(Commit().cc, CVCC_OK);
  struct {
    CVMD md;
    unsigned char guard[64];
  } old;
  std::memset(&old, 0xAB, sizeof(old));  // the group fields of CVMD hold garbage
  CVMD fresh = CVMD_DEFAULT;
  std::memcpy(&old.md, &fresh, CVMD_LENGTH_1);
  old.md.Version = CVMD_VERSION_1;
  const std::string untouched(sizeof(old) - CVMD_LENGTH_1, '\xAB');
  auto tail = [&] {
    return std::string(reinterpret_cast<char *>(&old) + CVMD_LENGTH_1, untouched.size());
  };
  ASSERT_EQ(Put(q, "old", CVPMO_NONE, &old.md).cc, CVCC_OK);
  EXPECT_TRUE(tail() == untouched);
  Outcome o;
  for (const char *want : {"V1", "old"}) {
    std::memset(old.md.MsgId, 0, sizeof(old.md.MsgId));
    CVGMO gmo = CVGMO_DEFAULT;
    char buffer[8];
    CVLONG length = 0;
    CVGET(hconn_, q, &old.md, &gmo, sizeof(buffer), buffer, &length, &o.cc, &o.reason);
    ASSERT_EQ(o.cc, CVCC_OK);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), want);
    EXPECT_EQ(old.md.Version, CVMD_VERSION_1);
    EXPECT_TRUE(tail() == untouched);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ConformanceTest, ::testing::Values("local", "amqp"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

}  // namespace
