// cvadmin - administers the queue managers of the data directory: create,
// delete, list, check and salvage queue managers, define and list queues,
// and put, get, browse, delete and clear messages and groups of them.
// Commands that only read (list, queues, depth, browse, groups, check)
// create nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend.h"
#include "cause.h"
#include "corvane.h"
#include "registry.h"

using namespace corvane;

namespace {

const char kUsage[] =
    "Usage: cvadmin [-m QMGR] COMMAND [ARGUMENTS]\n"
    "       cvadmin --version                print the version of libcorvane\n"
    "\n"
    "Queue managers (the data directory is $CORVANE_HOME, else\n"
    "$XDG_DATA_HOME/corvane, else ~/.local/share/corvane):\n"
    "  create QMGR [--default] [--amqp URL]  create a queue manager; with --amqp\n"
    "                                        its queues live on the broker of URL,\n"
    "                                        which is tried at once\n"
    "  delete QMGR [--force]                 delete it with all its messages; without\n"
    "                                        --force not while it holds messages or\n"
    "                                        a remote definition sends to it\n"
    "  list [--json]                         list them, the default marked\n"
    "  default QMGR                          make QMGR the default\n"
    "  check [QMGR]                          check a local store: database and its\n"
    "                                        log, damaged messages, missing and\n"
    "                                        orphan bodies; exit 1 when it finds a\n"
    "                                        problem\n"
    "  salvage [QMGR]                        with no process using it: rebuild a\n"
    "                                        damaged database from what can be read,\n"
    "                                        mark messages without their body damaged,\n"
    "                                        move bodies no message names to lost/\n"
    "\n"
    "Queues of QMGR (-m, else the default queue manager):\n"
    "  define QUEUE [--maxdepth N] [--maxmsgl BYTES] [--remote RQMGR/RQUEUE]\n"
    "         [--backout-threshold N] [--backout-queue NAME]\n"
    "                                        a message got back N times belongs on\n"
    "                                        the backout queue (0: never; the\n"
    "                                        programs that get it move it)\n"
    "  alter QUEUE [--maxdepth N] [--maxmsgl BYTES] [--backout-threshold N]\n"
    "        [--backout-queue NAME]          change a queue (\"\" for NAME: none)\n"
    "  undefine QUEUE                        delete an empty queue\n"
    "  queues [--json]                       name, type, depth, limits, age of the\n"
    "                                        oldest message in seconds, backout\n"
    "                                        threshold, queue and its depth\n"
    "  depth QUEUE                           current depth\n"
    "  put QUEUE [FILE] [--format TEXT] [--nonpersistent] [--property NAME=VALUE]...\n"
    "                                        one message from FILE (named after it:\n"
    "                                        cv-file-name) or stdin\n"
    "  get QUEUE [FILE] [--msgid HEX]        take one message (the oldest, or the one\n"
    "                                        with that identifier) to FILE or stdout\n"
    "  delete-message QUEUE --msgid HEX      remove the message with that identifier\n"
    "  browse QUEUE [--json]                 list the messages, taking none: index,\n"
    "                                        length, format, persistence, put time,\n"
    "                                        backouts, state, identifier; a segment\n"
    "                                        of a group has a line below it: 4 spaces,\n"
    "                                        group GROUPID segment N offset BYTES, and\n"
    "                                        last for its last; each property on a\n"
    "                                        line of its own below its message: 4\n"
    "                                        spaces, NAME=VALUE (in VALUE a backslash\n"
    "                                        and control characters are written \\\\,\n"
    "                                        \\t, \\n, \\r or \\xHH)\n"
    "  put-group QUEUE FILE [--segment BYTES]\n"
    "                                        put FILE as one group of segments of at\n"
    "                                        most BYTES (else the queue's maximum\n"
    "                                        message length) in one unit of work\n"
    "  groups QUEUE [--json]                 the groups on QUEUE, taking nothing:\n"
    "                                        identifier, segments there, of how many\n"
    "                                        (- while the last is missing), complete\n"
    "                                        (every segment there and ready) or not,\n"
    "                                        bytes\n"
    "  get-group QUEUE GROUPID FILE          take a complete group, its segments in\n"
    "                                        order, into FILE; it leaves the queue\n"
    "                                        once FILE is written and synced\n"
    "  clear QUEUE [--damaged]               remove every message not in use and not\n"
    "                                        damaged; with --damaged, the damaged ones\n"
    "\n"
    "--json writes one JSON document instead of the table. A message or group\n"
    "identifier is 48 hexadecimal digits, as browse shows it.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// What the command is about: the library gives no cause for a name that is
// not there (its reason says it all to a program), an operator is told.
struct Subject {
  std::string Qmgr;  // as found, else as asked for
  std::string Queue;
} gSubject;

// Reports a reason, and after it what the system underneath said; when it
// said nothing, what cvadmin knows (fallback, else the subject).
int Fail(const std::string &command, CVLONG reason, const std::string &fallback = "") {
  std::string cause = CVLastCause();
  if (cause.empty()) cause = fallback;
  if (cause.empty() && reason == CVRC_Q_MGR_NAME_ERROR && !gSubject.Qmgr.empty()) {
    std::string home;
    DataDir(&home, false);
    cause = "no queue manager " + gSubject.Qmgr + " in " + home;
  } else if (cause.empty() && reason == CVRC_UNKNOWN_OBJECT_NAME && !gSubject.Queue.empty()) {
    cause = "no queue " + gSubject.Queue + " on queue manager " + gSubject.Qmgr;
  }
  std::fprintf(stderr, "cvadmin: %s: %s%s%s\n", command.c_str(), CVReasonName(reason),
               cause.empty() ? "" : ": ", cause.c_str());
  return 1;
}

int FailText(const std::string &command, const std::string &text) {
  std::fprintf(stderr, "cvadmin: %s: %s\n", command.c_str(), text.c_str());
  return 1;
}

// Parses a decimal number 0..2147483647.
bool ParseCount(const std::string &text, CVLONG *value) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  long long v = std::stoll(text);
  if (v > 0x7FFFFFFF) return false;
  *value = static_cast<CVLONG>(v);
  return true;
}

bool WriteAllTo(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// A message identifier: exactly 48 hexadecimal digits.
bool ParseMsgId(const std::string &text, CVBYTE *msgId) {
  if (text.size() != 2 * CV_MSG_ID_LENGTH ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  for (size_t i = 0; i < CV_MSG_ID_LENGTH; i++) {
    msgId[i] = static_cast<CVBYTE>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

bool ValidUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
    if (more == 4 || i + more >= s.size() + (more == 0 ? 1 : 0)) return false;
    for (size_t k = 1; k <= more; k++) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += more + 1;
  }
  return true;
}

// A JSON string. Text that is not UTF-8 is taken byte by byte as Latin-1,
// so that every byte comes out as a character and the document stays valid.
std::string Json(const std::string &s) {
  bool utf8 = ValidUtf8(s);
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Refuses a name that a 48-character field would cut or that is no name.
bool NameOk(const std::string &command, const std::string &name, CVLONG reason, int *status) {
  if (reason == CVRC_OBJECT_NAME_ERROR) gSubject.Queue = name;
  if (CheckName(name)) return true;
  *status = Fail(command, reason);
  return false;
}

// FindQmgr, keeping what it found as the subject.
CVLONG Find(const std::string &qmgr, QmgrDef *def, bool create) {
  gSubject.Qmgr = qmgr;
  CVLONG rc = FindQmgr(qmgr, def, create);
  if (rc == 0) gSubject.Qmgr = def->Name;
  return rc;
}

// Opens the backend of qmgr (empty: the default one). Unless create is set
// nothing is created: no data directory, no default queue manager.
CVLONG Open(const std::string &qmgr, std::unique_ptr<Backend> *backend, bool create = true) {
  QmgrDef def;
  if (CVLONG rc = Find(qmgr, &def, create); rc != 0) return rc;
  return OpenBackend(def, backend);
}

// A connection through the queue calls for one command, ended with it,
// whatever way the command ends: its unit of work is backed out, its lock
// file goes and the last connection writes the log into the database.
struct Connection {
  CVHCONN Hconn = CVHC_UNUSABLE_HCONN;
  CVHOBJ Hobj = CVHO_UNUSABLE_HOBJ;
  Connection() = default;
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  ~Connection() {
    CVLONG cc, reason;
    if (Hconn != CVHC_UNUSABLE_HCONN) CVDISC(&Hconn, &cc, &reason);
  }
};

// Connects through the public calls and opens queue with options. Unless
// create is set the queue manager must exist already (CVCONN would create
// the default one); *kind tells what it is.
CVLONG Connect(const std::string &qmgr, const std::string &queue, CVLONG options, Connection *conn,
               bool create = true, QmgrKind *kind = nullptr) {
  CVHCONN *hconn = &conn->Hconn;
  CVHOBJ *hobj = &conn->Hobj;
  QmgrDef def;
  if (CVLONG rc = Find(qmgr, &def, create); rc != 0) return rc;
  std::string resolved = def.Name;
  if (kind != nullptr) *kind = def.Kind;
  char name[CV_Q_MGR_NAME_LENGTH] = {0};
  std::memcpy(name, resolved.data(),
              resolved.size() < sizeof(name) ? resolved.size() : sizeof(name));
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVCONN(name, hconn, &cc, &reason);
  if (cc == CVCC_FAILED) return reason;
  CVOD od = CVOD_DEFAULT;
  std::memcpy(od.ObjectName, queue.data(),
              queue.size() < sizeof(od.ObjectName) ? queue.size() : sizeof(od.ObjectName));
  CVOPEN(*hconn, &od, options, hobj, &cc, &reason);
  return cc == CVCC_FAILED ? reason : 0;
}

int CmdCreate(const std::vector<std::string> &args) {
  std::string name;
  std::string url;
  bool makeDefault = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--default") {
      makeDefault = true;
    } else if (args[i] == "--amqp" && i + 1 < args.size()) {
      url = args[++i];
    } else if (name.empty() && args[i][0] != '-') {
      name = args[i];
    } else {
      return Usage();
    }
  }
  if (name.empty()) return Usage();
  QmgrDef def;
  if (CVLONG rc = CreateQmgr(name, url, makeDefault, &def); rc != 0) return Fail("create", rc);
  // Opening it creates its store and its default queue.
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = OpenBackend(def, &backend); rc != 0) {
    int status = Fail("create", rc);
    DeleteQmgr(name);
    return status;
  }
  return 0;
}

int CmdList(bool json) {
  std::vector<std::string> names;
  std::string current;
  // None is a list like any other; only a data directory that is not
  // there (or cannot be read) fails.
  if (CVLONG rc = ListQmgrs(&names, &current, false); rc != 0) return Fail("list", rc);
  if (!json) {
    for (const std::string &n : names) {
      std::printf("%s%s\n", n.c_str(), n == current ? " (default)" : "");
    }
    return 0;
  }
  std::string out =
      "{\"default\": " + (current.empty() ? "null" : Json(current)) + ", \"queue_managers\": [";
  for (size_t i = 0; i < names.size(); i++) {
    QmgrDef def;
    FindQmgr(names[i], &def, false);
    out += std::string(i > 0 ? ", " : "") + "{\"name\": " + Json(names[i]) + ", \"kind\": \"" +
           (def.Kind == QmgrKind::kAmqp ? "amqp" : "local") +
           "\", \"default\": " + (names[i] == current ? "true" : "false") + "}";
  }
  std::printf("%s]}\n", out.c_str());
  return 0;
}

// The messages of queue manager def, by queue, for a refusal to delete it;
// "" when it holds none.
CVLONG MessagesHeld(const QmgrDef &def, std::string *held) {
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = OpenBackend(def, &backend); rc != 0) return rc;
  std::vector<QueueDef> queues;
  if (CVLONG rc = backend->ListQueues(&queues); rc != 0) return rc;
  held->clear();
  for (const QueueDef &q : queues) {
    CVLONG depth = 0;
    if (q.Type != CVQT_LOCAL) continue;
    if (CVLONG rc = backend->Depth(q, &depth); rc != 0) return rc;
    if (depth > 0) {
      *held += std::string(held->empty() ? "" : ", ") + q.Name + " " + std::to_string(depth);
    }
  }
  return 0;
}

// The remote definitions of other local queue managers that send to name.
CVLONG SendersTo(const std::string &name, std::string *senders) {
  std::vector<std::string> names;
  std::string current;
  if (CVLONG rc = ListQmgrs(&names, &current, false); rc != 0) return rc;
  senders->clear();
  for (const std::string &other : names) {
    QmgrDef def;
    if (other == name || FindQmgr(other, &def, false) != 0 || def.Kind != QmgrKind::kLocal) {
      continue;
    }
    std::unique_ptr<Backend> backend;
    std::vector<QueueDef> queues;
    CVLONG rc = OpenBackend(def, &backend);
    if (rc == 0) rc = backend->ListQueues(&queues);
    if (rc != 0) {
      SetCause(std::string(CVLastCause()) + "; whether queue manager " + other + " sends to " +
               name + " cannot be told");
      return rc;
    }
    for (const QueueDef &q : queues) {
      if (q.Type == CVQT_REMOTE && q.RemoteQmgr == name) {
        *senders += std::string(senders->empty() ? "" : ", ") + other + "/" + q.Name;
      }
    }
  }
  return 0;
}

int CmdDelete(const std::vector<std::string> &args) {
  std::string name;
  bool force = false;
  for (const std::string &a : args) {
    if (a == "--force") {
      force = true;
    } else if (name.empty() && a[0] != '-') {
      name = a;
    } else {
      return Usage();
    }
  }
  if (name.empty()) return Usage();
  QmgrDef def;
  if (CVLONG rc = Find(name, &def, false); rc != 0) return Fail("delete", rc);
  if (!force) {
    const std::string unless = " (--force deletes it all the same)";
    std::string held;
    if (CVLONG rc = MessagesHeld(def, &held); rc != 0) {
      SetCause(std::string(CVLastCause()) + "; whether " + name + " holds messages cannot be told" +
               unless);
      return Fail("delete", rc);
    }
    if (!held.empty()) {
      SetCause(name + " holds messages: " + held + unless);
      return Fail("delete", CVRC_Q_NOT_EMPTY);
    }
    std::string senders;
    if (CVLONG rc = SendersTo(name, &senders); rc != 0) {
      SetCause(std::string(CVLastCause()) + unless);
      return Fail("delete", rc);
    }
    if (!senders.empty()) {
      SetCause("remote definitions send to " + name + ": " + senders + unless);
      return Fail("delete", CVRC_OBJECT_IN_USE);
    }
  }
  if (CVLONG rc = DeleteQmgr(name); rc != 0) return Fail("delete", rc);
  return 0;
}

// Applies the options of define (remote: --remote too) and alter in args
// to *def, its first other word being the queue's name; returns 0, else
// the exit status after saying what is wrong.
int ApplyQueueOptions(const std::string &command, const std::vector<std::string> &args, bool remote,
                      QueueDef *def) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &a = args[i];
    const bool hasValue = i + 1 < args.size();
    CVLONG *count = a == "--maxdepth"            ? &def->MaxDepth
                    : a == "--maxmsgl"           ? &def->MaxMsgLength
                    : a == "--backout-threshold" ? &def->BackoutThreshold
                                                 : nullptr;
    if (count != nullptr && hasValue) {
      if (!ParseCount(args[++i], count)) return FailText(command, "bad " + a);
    } else if (a == "--backout-queue" && hasValue) {
      def->BackoutQueue = args[++i];
    } else if (a == "--remote" && remote && hasValue) {
      const std::string &target = args[++i];
      size_t slash = target.find('/');
      if (slash == std::string::npos) return FailText(command, "--remote needs RQMGR/RQUEUE");
      def->Type = CVQT_REMOTE;
      def->RemoteQmgr = target.substr(0, slash);
      def->RemoteQueue = target.substr(slash + 1);
    } else if (def->Name.empty() && a[0] != '-') {
      def->Name = a;
    } else {
      return Usage();
    }
  }
  return def->Name.empty() ? Usage() : 0;
}

int CmdDefine(const std::string &qmgr, const std::vector<std::string> &args) {
  QueueDef def;
  if (int status = ApplyQueueOptions("define", args, true, &def); status != 0) return status;
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("define", rc);
  if (CVLONG rc = backend->DefineQueue(def); rc != 0) return Fail("define", rc);
  return 0;
}

// alter QUEUE [options]: the options given replace those values of the
// queue's definition, the others stay.
int CmdAlter(const std::string &qmgr, const std::vector<std::string> &args) {
  QueueDef asked;
  if (int status = ApplyQueueOptions("alter", args, false, &asked); status != 0) return status;
  if (int status = 0; !NameOk("alter", asked.Name, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  std::unique_ptr<Backend> backend;
  QueueDef def;
  if (CVLONG rc = Open(qmgr, &backend, false); rc != 0) return Fail("alter", rc);
  if (CVLONG rc = backend->LookupQueue(asked.Name, &def); rc != 0) return Fail("alter", rc);
  def.Name.clear();                               // named again by the same words
  ApplyQueueOptions("alter", args, false, &def);  // what was not asked for stays
  if (CVLONG rc = backend->AlterQueue(def); rc != 0) return Fail("alter", rc);
  return 0;
}

// A count as cvadmin shows it: in a table "-" when unknown, in JSON null.
std::string Shown(CVLONG value, bool known, bool json) {
  return known ? std::to_string(value) : json ? "null" : "-";
}

// The line (or JSON object) of queue q of backend for cvadmin queues.
std::string QueueLine(Backend &backend, const QueueDef &q, bool json) {
  if (q.Type == CVQT_REMOTE) {
    if (!json)
      return q.Name + "\tremote " + q.RemoteQmgr + "/" + q.RemoteQueue + "\t-\t-\t-\t-\t-\t-\t-";
    return "{\"name\": " + Json(q.Name) +
           ", \"type\": \"remote\", \"remote_queue_manager\": " + Json(q.RemoteQmgr) +
           ", \"remote_queue\": " + Json(q.RemoteQueue) + "}";
  }
  CVLONG depth = 0, age = -1, backoutDepth = 0;
  const bool known = backend.Depth(q, &depth) == 0;
  const bool aged = backend.OldestAge(q, &age) == 0 && age >= 0;
  QueueDef boq;
  const bool boqKnown = !q.BackoutQueue.empty() && backend.LookupQueue(q.BackoutQueue, &boq) == 0 &&
                        boq.Type == CVQT_LOCAL && backend.Depth(boq, &backoutDepth) == 0;
  const std::string boqName = q.BackoutQueue.empty() ? (json ? "null" : "-")
                              : json                 ? Json(q.BackoutQueue)
                                                     : q.BackoutQueue;
  if (!json) {
    return q.Name + "\tlocal\t" + Shown(depth, known, json) + "\t" + std::to_string(q.MaxDepth) +
           "\t" + std::to_string(q.MaxMsgLength) + "\t" + Shown(age, aged, json) + "\t" +
           std::to_string(q.BackoutThreshold) + "\t" + boqName + "\t" +
           Shown(backoutDepth, boqKnown, json);
  }
  return "{\"name\": " + Json(q.Name) +
         ", \"type\": \"local\", \"depth\": " + Shown(depth, known, json) +
         ", \"maxdepth\": " + std::to_string(q.MaxDepth) +
         ", \"maxmsgl\": " + std::to_string(q.MaxMsgLength) +
         ", \"oldest_age\": " + Shown(age, aged, json) +
         ", \"backout_threshold\": " + std::to_string(q.BackoutThreshold) +
         ", \"backout_queue\": " + boqName +
         ", \"backout_queue_depth\": " + Shown(backoutDepth, boqKnown, json) + "}";
}

int CmdQueues(const std::string &qmgr, bool json) {
  QmgrDef def;
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Find(qmgr, &def, false); rc != 0) return Fail("queues", rc);
  if (CVLONG rc = OpenBackend(def, &backend); rc != 0) return Fail("queues", rc);
  std::vector<QueueDef> queues;
  if (CVLONG rc = backend->ListQueues(&queues); rc != 0) return Fail("queues", rc);
  if (!json) {
    std::printf("QUEUE\tTYPE\tDEPTH\tMAXDEPTH\tMAXMSGL\tAGE\tBOTHRESH\tBOQUEUE\tBOQDEPTH\n");
    for (const QueueDef &q : queues) std::printf("%s\n", QueueLine(*backend, q, false).c_str());
    return 0;
  }
  std::string out = "{\"queue_manager\": " + Json(def.Name) + ", \"queues\": [";
  for (size_t i = 0; i < queues.size(); i++) {
    out += (i > 0 ? ", " : "") + QueueLine(*backend, queues[i], true);
  }
  std::printf("%s]}\n", out.c_str());
  return 0;
}

int CmdDepth(const std::string &qmgr, const std::string &queue) {
  if (int status = 0; !NameOk("depth", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  Connection conn;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INQUIRE, &conn, false); rc != 0) {
    return Fail("depth", rc);
  }
  CVLONG selector = CVIA_CURRENT_Q_DEPTH;
  CVLONG depth = 0;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVINQ(conn.Hconn, conn.Hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &reason);
  if (cc != CVCC_OK) return Fail("depth", reason);
  std::printf("%ld\n", static_cast<long>(depth));
  return 0;
}

int CmdPut(const std::string &qmgr, const std::vector<std::string> &args) {
  std::string queue;
  std::string file;
  std::string format = CVFMT_NONE;
  bool persistent = true;
  std::vector<Property> properties;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--property" && i + 1 < args.size()) {
      const std::string &p = args[++i];
      size_t eq = p.find('=');
      if (eq == std::string::npos) return FailText("put", "--property needs NAME=VALUE");
      properties.emplace_back(p.substr(0, eq), p.substr(eq + 1));
    } else if (args[i] == "--format" && i + 1 < args.size()) {
      format = args[++i];
      if (format.size() > 8) return FailText("put", "a format has at most 8 characters");
      format.resize(8, ' ');
    } else if (args[i] == "--nonpersistent") {
      persistent = false;
    } else if (queue.empty() && args[i][0] != '-') {
      queue = args[i];
    } else if (file.empty() && (args[i][0] != '-' || args[i] == "-")) {
      file = args[i];
    } else {
      return Usage();
    }
  }
  if (queue.empty()) return Usage();
  if (int status = 0; !NameOk("put", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  // A message from a file is named after it, as cvxfer's get names one, so
  // that a put without a name stores it under that name.
  const bool named = std::any_of(properties.begin(), properties.end(),
                                 [](const Property &p) { return p.first == "cv-file-name"; });
  if (!named && !file.empty() && file != "-") {
    const size_t slash = file.find_last_of('/');
    properties.emplace_back("cv-file-name",
                            file.substr(slash == std::string::npos ? 0 : slash + 1));
  }
  int fd = file.empty() || file == "-" ? 0 : open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailText("put", file + ": " + std::strerror(errno));
  std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) {
    if (*f > 0) close(*f);
  });
  struct stat st;
  const CVLONG expected = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= INT32_MAX
                              ? static_cast<CVLONG>(st.st_size)
                              : -1;

  Connection conn;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_OUTPUT, &conn); rc != 0) {
    return Fail("put", rc);
  }
  // Streamed from the file: a body of any size takes little memory.
  CVPMO pmo = CVPMO_DEFAULT;
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVPUTOPEN(conn.Hconn, conn.Hobj, &pmo, expected, &hmsg, &cc, &reason);
  for (CVLONG moved = 1; cc == CVCC_OK && moved > 0;) {
    CVPUTFD(conn.Hconn, hmsg, fd, 1 << 20, &moved, &cc, &reason);
  }
  if (cc != CVCC_OK) {
    std::string cause = CVLastCause();
    if (hmsg != CVHM_UNUSABLE_HMSG) {
      CVLONG closeCc, closeReason;
      CVPUTCLOSE(conn.Hconn, &hmsg, CVSC_ABANDON, nullptr, 0, nullptr, &closeCc, &closeReason);
    }
    return Fail("put", reason, cause);
  }
  CVMD md = CVMD_DEFAULT;
  std::memcpy(md.Format, format.data(), 8);
  md.Persistence = persistent ? CVPER_PERSISTENT : CVPER_NOT_PERSISTENT;
  std::string props = JoinProperties(properties);
  CVPUTCLOSE(conn.Hconn, &hmsg, CVSC_COMPLETE, &md, static_cast<CVLONG>(props.size()), props.data(),
             &cc, &reason);
  if (cc != CVCC_OK) return Fail("put", reason);
  return 0;
}

// Parses QUEUE [FILE] [--msgid HEX] of get and delete-message.
bool MessageArgs(const std::vector<std::string> &args, bool fileAllowed, std::string *queue,
                 std::string *file, CVBYTE *msgId, bool *byId) {
  *byId = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--msgid" && i + 1 < args.size()) {
      if (!ParseMsgId(args[++i], msgId)) {
        std::fprintf(stderr, "cvadmin: --msgid needs 48 hexadecimal digits, not '%s'\n",
                     args[i].c_str());
        return false;
      }
      *byId = true;
    } else if (queue->empty() && args[i][0] != '-') {
      *queue = args[i];
    } else if (fileAllowed && file->empty() && (args[i][0] != '-' || args[i] == "-")) {
      *file = args[i];
    } else {
      return false;
    }
  }
  return !queue->empty();
}

// What a get that found nothing says.
std::string NothingThere(const std::string &queue, const CVBYTE *msgId, bool byId, QmgrKind kind) {
  if (!byId) return "no message is ready on " + queue;
  return "no message " + Hex(msgId, CV_MSG_ID_LENGTH) + " is ready on " + queue +
         (kind == QmgrKind::kAmqp ? " (a broker offers only a queue's oldest message)"
                                  : " (it is not there, or a unit of work holds it)");
}

// Where get writes a message: stdout, or FILE, which it removes again when
// the message cannot be taken after all (but one that is not a regular
// file, such as a device, which is never removed).
struct Output {
  int Fd = 1;
  std::string Path;        // the file, when it is one
  bool Removable = false;  // a regular file
  // Opens file ("" or "-": stdout); false, with errno, when it cannot.
  bool Open(const std::string &file) {
    if (file.empty() || file == "-") return true;
    Path = file;
    Fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct stat st;
    Removable = Fd >= 0 && fstat(Fd, &st) == 0 && S_ISREG(st.st_mode);
    return Fd >= 0;
  }
  // Makes a file durable and closes it; false when that fails.
  bool Close() {
    if (Path.empty() || Fd < 0) return Fd >= 0;
    bool ok = fsync(Fd) == 0 || !Removable;  // a device or pipe may not sync
    ok = close(Fd) == 0 && ok;
    Fd = -1;
    return ok;
  }
  // Closes and removes a file that holds no message taken.
  void Discard() {
    if (!Path.empty() && Fd >= 0) close(Fd);
    Fd = -1;
    if (Removable) unlink(Path.c_str());
  }
};

// Copies the body of the open get stream *hmsg to fd and closes the stream:
// 0, or the reason a read failed (then *cause tells why). *written is
// false when writing to fd failed, which ends the copy early; *bytes
// receives how many bytes were written.
CVLONG CopyBody(const Connection &conn, CVHMSG *hmsg, int fd, bool *written, std::string *cause,
                int64_t *bytes) {
  std::vector<char> buffer(1 << 20);
  CVLONG cc = CVCC_OK, reason = 0;
  *written = true;
  *bytes = 0;
  for (CVLONG got = 1; *written && got > 0;) {
    CVGETDATA(conn.Hconn, *hmsg, static_cast<CVLONG>(buffer.size()), buffer.data(), &got, &cc,
              &reason);
    if (cc != CVCC_OK) {
      *cause = CVLastCause();
      break;
    }
    *written = WriteAllTo(fd, buffer.data(), static_cast<size_t>(got));
    *bytes += got;
  }
  CVLONG closeCc, closeReason;
  CVGETCLOSE(conn.Hconn, hmsg, CVSC_COMPLETE, &closeCc, &closeReason);
  return cc == CVCC_OK ? 0 : reason;
}

int CmdGet(const std::string &qmgr, const std::vector<std::string> &args) {
  std::string queue, file;
  CVMD md = CVMD_DEFAULT;
  bool byId = false;
  if (!MessageArgs(args, true, &queue, &file, md.MsgId, &byId)) return Usage();
  if (int status = 0; !NameOk("get", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  Connection conn;
  QmgrKind kind = QmgrKind::kLocal;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INPUT_AS_Q_DEF, &conn, false, &kind); rc != 0) {
    return Fail("get", rc);
  }
  // Streamed under a unit of work: the message leaves the queue only once
  // its bytes are written out, and never needs memory of its size.
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_SYNCPOINT;
  CVLONG length = 0;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVLONG propLength = 0;
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVMD asked = md;
  std::vector<CVCHAR> props(CV_PROPERTIES_LENGTH_MAX);  // read past, never shown
  CVGETOPEN(conn.Hconn, conn.Hobj, &md, &gmo, static_cast<CVLONG>(props.size()), props.data(),
            &propLength, &length, &hmsg, &cc, &reason);
  if (cc != CVCC_OK) return Fail("get", reason, NothingThere(queue, asked.MsgId, byId, kind));
  Output out;
  bool ok = out.Open(file);
  std::string cause;
  int64_t bytes = 0;
  if (CVLONG why = ok ? CopyBody(conn, &hmsg, out.Fd, &ok, &cause, &bytes) : 0; why != 0) {
    // The message cannot be read whole: it stays where the queue
    // manager keeps it, and no partial copy stays behind.
    CVBACK(conn.Hconn, &cc, &reason);
    out.Discard();
    return Fail("get", why, cause);
  }
  if (!out.Close() || !ok) {
    CVBACK(conn.Hconn, &cc, &reason);
    out.Discard();
    return FailText("get", "cannot write the message; it stays on the queue");
  }
  // Taken only now that its copy is whole; a copy of a message that could
  // not be taken is no copy: it would be taken again later.
  CVCMIT(conn.Hconn, &cc, &reason);
  if (cc != CVCC_OK) {
    std::string cause = CVLastCause();
    out.Discard();
    return Fail("get", reason, cause);
  }
  return 0;
}

int CmdDeleteMessage(const std::string &qmgr, const std::vector<std::string> &args) {
  std::string queue, file;
  CVMD md = CVMD_DEFAULT;
  bool byId = false;
  if (!MessageArgs(args, false, &queue, &file, md.MsgId, &byId) || !byId) return Usage();
  if (int status = 0; !NameOk("delete-message", queue, CVRC_OBJECT_NAME_ERROR, &status)) {
    return status;
  }
  Connection conn;
  QmgrKind kind = QmgrKind::kLocal;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INPUT_AS_Q_DEF, &conn, false, &kind); rc != 0) {
    return Fail("delete-message", rc);
  }
  // Taken without its data: nothing of it needs to be read.
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_NO_SYNCPOINT | CVGMO_ACCEPT_TRUNCATED_MSG;
  CVLONG length = 0, cc = -1, reason = -1;
  CVMD asked = md;
  CVGET(conn.Hconn, conn.Hobj, &md, &gmo, 0, nullptr, &length, &cc, &reason);
  if (cc == CVCC_FAILED) {
    return Fail("delete-message", reason, NothingThere(queue, asked.MsgId, byId, kind));
  }
  std::printf("message %s removed\n", Hex(md.MsgId, CV_MSG_ID_LENGTH).c_str());
  return 0;
}

// A property value on one line: backslashes and control characters escaped.
std::string EscapeValue(const std::string &value) {
  std::string out;
  for (unsigned char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Looks at every message of queue on qmgr (its definition into *def) for
// command, taking none. Returns -1 to go on, else the exit status of a
// failure (said).
int BrowseQueue(const char *command, const std::string &qmgr, const std::string &queue,
                QmgrDef *def, std::vector<MessageInfo> *messages) {
  if (int status = 0; !NameOk(command, queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Find(qmgr, def, false); rc != 0) return Fail(command, rc);
  if (CVLONG rc = OpenBackend(*def, &backend); rc != 0) return Fail(command, rc);
  if (CVLONG rc = backend->Browse(queue, messages); rc != 0) return Fail(command, rc);
  return -1;
}

int CmdBrowse(const std::string &qmgr, const std::vector<std::string> &args) {
  std::string queue;
  bool json = false;
  for (const std::string &a : args) {
    if (a == "--json") {
      json = true;
    } else if (queue.empty() && a[0] != '-') {
      queue = a;
    } else {
      return Usage();
    }
  }
  if (queue.empty()) return Usage();
  QmgrDef def;
  std::vector<MessageInfo> messages;
  if (int status = BrowseQueue("browse", qmgr, queue, &def, &messages); status >= 0) return status;
  if (!json) {
    std::printf("INDEX\tLENGTH\tFORMAT\tPERSISTENCE\tPUT TIME (UTC)\tBACKOUTS\tSTATE\tMSGID\n");
  }
  std::string out =
      "{\"queue_manager\": " + Json(def.Name) + ", \"queue\": " + Json(queue) + ", \"messages\": [";
  int index = 0;
  for (const MessageInfo &m : messages) {
    const char *d = m.Md.PutDate;
    const char *t = m.Md.PutTime;
    char putTime[32];
    std::snprintf(putTime, sizeof(putTime), "%.4s-%.2s-%.2s %.2s:%.2s:%.2s", d, d + 4, d + 6, t,
                  t + 2, t + 4);
    const char *persistence =
        m.Md.Persistence == CVPER_PERSISTENT ? "persistent" : "non-persistent";
    const char *state = m.Damaged ? "damaged" : m.Held ? "held" : "ready";
    std::string msgId = Hex(m.Md.MsgId, CV_MSG_ID_LENGTH);
    std::vector<Property> properties = SplitProperties(m.Props);
    index++;
    if (!json) {
      std::printf("%d\t%ld\t\"%.8s\"\t%s\t%s\t%ld\t%s\t%s\n", index, static_cast<long>(m.Length),
                  m.Md.Format, persistence, putTime, static_cast<long>(m.Md.BackoutCount), state,
                  msgId.c_str());
      if (InGroup(m.Md)) {
        std::printf("    group %s segment %ld offset %lld%s\n",
                    Hex(m.Md.GroupId, CV_GROUP_ID_LENGTH).c_str(),
                    static_cast<long>(m.Md.MsgSeqNumber), static_cast<long long>(m.Md.Offset),
                    (m.Md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0 ? " last" : "");
      }
      for (const auto &[name, value] : properties) {
        std::printf("    %s=%s\n", name.c_str(), EscapeValue(value).c_str());
      }
      continue;
    }
    out += std::string(index > 1 ? ", " : "") + "{\"index\": " + std::to_string(index) +
           ", \"msgid\": \"" + msgId + "\", \"correlid\": \"" +
           Hex(m.Md.CorrelId, CV_CORREL_ID_LENGTH) + "\", \"length\": " + std::to_string(m.Length) +
           ", \"format\": " + Json(std::string(m.Md.Format, 8)) + ", \"persistence\": \"" +
           persistence + "\", \"put_time\": " + Json(putTime) +
           ", \"backouts\": " + std::to_string(m.Md.BackoutCount) + ", \"state\": \"" + state +
           "\", ";
    if (InGroup(m.Md)) {
      out += "\"group\": {\"id\": \"" + Hex(m.Md.GroupId, CV_GROUP_ID_LENGTH) +
             "\", \"segment\": " + std::to_string(m.Md.MsgSeqNumber) +
             ", \"offset\": " + std::to_string(m.Md.Offset) +
             ", \"last\": " + ((m.Md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0 ? "true" : "false") +
             "}, ";
    }
    out += "\"properties\": {";
    for (size_t i = 0; i < properties.size(); i++) {
      out += std::string(i > 0 ? ", " : "") + Json(properties[i].first) + ": " +
             Json(properties[i].second);
    }
    out += "}}";
  }
  if (json) std::printf("%s]}\n", out.c_str());
  return 0;
}

// A group as the segments that browse shows of it make it out.
struct GroupSeen {
  std::string Id;  // hexadecimal
  CVLONG Segments = 0;
  std::set<CVLONG> Ready;  // the sequence numbers of its ready segments
  CVLONG Last = 0;         // the last one's sequence number; 0 while it is missing
  int64_t Bytes = 0;
  // Every segment from 1 to the last is there and ready.
  bool Complete() const {
    return Last > 0 && std::distance(Ready.begin(), Ready.upper_bound(Last)) == Last;
  }
};

// The groups of messages, in the order of their first segment there.
std::vector<GroupSeen> GroupsOf(const std::vector<MessageInfo> &messages) {
  std::vector<GroupSeen> groups;
  std::map<std::string, size_t> at;
  for (const MessageInfo &m : messages) {
    if (!InGroup(m.Md)) continue;
    std::string id = Hex(m.Md.GroupId, CV_GROUP_ID_LENGTH);
    auto [it, added] = at.emplace(id, groups.size());
    if (added) {
      groups.emplace_back();
      groups.back().Id = id;
    }
    GroupSeen &g = groups[it->second];
    g.Segments++;
    g.Bytes += m.Length;
    if (!m.Held && !m.Damaged) g.Ready.insert(m.Md.MsgSeqNumber);
    if ((m.Md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0) g.Last = m.Md.MsgSeqNumber;
  }
  return groups;
}

int CmdGroups(const std::string &qmgr, const std::vector<std::string> &args) {
  const bool json = args.size() == 2 && args[1] == "--json";
  if (args.empty() || args[0][0] == '-' || (args.size() > 1 && !json)) return Usage();
  const std::string &queue = args[0];
  QmgrDef def;
  std::vector<MessageInfo> messages;
  if (int status = BrowseQueue("groups", qmgr, queue, &def, &messages); status >= 0) return status;
  std::string out =
      "{\"queue_manager\": " + Json(def.Name) + ", \"queue\": " + Json(queue) + ", \"groups\": [";
  if (!json) std::printf("GROUPID\tSEGMENTS\tOF\tCOMPLETE\tBYTES\n");
  const std::vector<GroupSeen> groups = GroupsOf(messages);
  for (const GroupSeen &g : groups) {
    const std::string of = g.Last > 0 ? std::to_string(g.Last) : json ? "null" : "-";
    if (!json) {
      std::printf("%s\t%ld\t%s\t%s\t%lld\n", g.Id.c_str(), static_cast<long>(g.Segments),
                  of.c_str(), g.Complete() ? "yes" : "no", static_cast<long long>(g.Bytes));
      continue;
    }
    out += std::string(&g == groups.data() ? "" : ", ") + "{\"id\": \"" + g.Id +
           "\", \"segments\": " + std::to_string(g.Segments) + ", \"of\": " + of +
           ", \"complete\": " + (g.Complete() ? "true" : "false") +
           ", \"bytes\": " + std::to_string(g.Bytes) + "}";
  }
  if (json) std::printf("%s]}\n", out.c_str());
  return 0;
}

// Puts the count bytes of fd that follow its offset as one segment of a
// group, described by md, under syncpoint; 0 or the reason.
CVLONG PutSegment(const Connection &conn, int fd, int64_t count, CVMD *md,
                  const std::string &props) {
  CVPMO pmo = CVPMO_DEFAULT;
  pmo.Options = CVPMO_SYNCPOINT;
  CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
  CVLONG cc = -1, reason = -1;
  CVPUTOPEN(conn.Hconn, conn.Hobj, &pmo, static_cast<CVLONG>(count), &hmsg, &cc, &reason);
  for (CVLONG moved = 1; cc == CVCC_OK && count > 0; count -= moved) {
    CVPUTFD(conn.Hconn, hmsg, fd, static_cast<CVLONG>(std::min<int64_t>(count, 1 << 20)), &moved,
            &cc, &reason);
    if (cc == CVCC_OK && moved == 0) {
      SetCause("the file became shorter while it was put");
      reason = CVRC_DATA_LENGTH_ERROR;
      break;
    }
  }
  if (hmsg == CVHM_UNUSABLE_HMSG) return reason;
  CVLONG closeCc, closeReason;
  CVPUTCLOSE(conn.Hconn, &hmsg, count == 0 ? CVSC_COMPLETE : CVSC_ABANDON, md,
             static_cast<CVLONG>(props.size()), props.data(), &closeCc, &closeReason);
  return count == 0 ? closeReason : reason;
}

// put-group QUEUE FILE [--segment BYTES]: FILE in segments, one unit of
// work; writes the group's identifier.
int CmdPutGroup(const std::string &qmgr, const std::vector<std::string> &args) {
  std::string queue, file;
  CVLONG segment = 0;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--segment" && i + 1 < args.size()) {
      if (!ParseCount(args[++i], &segment) || segment == 0) {
        return FailText("put-group", "--segment needs a number of bytes, 1 or more");
      }
    } else if (args[i][0] == '-' || !file.empty()) {
      return Usage();
    } else {
      (queue.empty() ? queue : file) = args[i];
    }
  }
  if (file.empty()) return Usage();
  if (int status = 0; !NameOk("put-group", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
    if (fd >= 0) close(fd);
    return FailText("put-group", file + ": " + why);
  }
  std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
  Connection conn;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_OUTPUT | CVOO_INQUIRE, &conn); rc != 0) {
    return Fail("put-group", rc);
  }
  CVLONG cc = -1, reason = -1;
  if (segment == 0) {
    const CVLONG selector = CVIA_MAX_MSG_LENGTH;
    CVINQ(conn.Hconn, conn.Hobj, 1, &selector, 1, &segment, 0, nullptr, &cc, &reason);
    if (cc != CVCC_OK) return Fail("put-group", reason);
  }
  const size_t slash = file.find_last_of('/');
  const std::string props =
      JoinProperties({{"cv-file-name", file.substr(slash == std::string::npos ? 0 : slash + 1)}});
  CVBYTE group[CV_GROUP_ID_LENGTH];
  if (getrandom(group, sizeof(group), 0) != static_cast<ssize_t>(sizeof(group))) {
    return FailText("put-group",
                    std::string("no random group identifier: ") + std::strerror(errno));
  }
  int64_t offset = 0;
  for (CVLONG seq = 1;; seq++) {
    const int64_t count = std::min<int64_t>(segment, st.st_size - offset);
    CVMD md = CVMD_DEFAULT;
    std::memcpy(md.GroupId, group, sizeof(group));
    md.MsgSeqNumber = seq;
    md.Offset = offset;
    const bool last = offset + count == st.st_size;
    md.MsgFlags = CVMF_MSG_IN_GROUP | (last ? CVMF_LAST_MSG_IN_GROUP : 0);
    if (CVLONG rc = PutSegment(conn, fd, count, &md, props); rc != 0) return Fail("put-group", rc);
    offset += count;
    if (last) break;
  }
  CVCMIT(conn.Hconn, &cc, &reason);
  if (cc != CVCC_OK) return Fail("put-group", reason);
  std::printf("%s\n", Hex(group, CV_GROUP_ID_LENGTH).c_str());
  return 0;
}

// Why get-group found no first segment of group on queue: its segments
// that browse finds tell an incomplete group from one that is not there.
std::string NoGroup(const Connection &conn, const std::string &queue, const CVBYTE *group,
                    QmgrKind kind) {
  const std::string id = Hex(group, CV_GROUP_ID_LENGTH);
  if (kind == QmgrKind::kAmqp) {
    return "no complete group " + id + " is ready on " + queue +
           " (a broker offers only a queue's oldest message)";
  }
  CVMD md = CVMD_DEFAULT;
  std::memcpy(md.GroupId, group, CV_GROUP_ID_LENGTH);
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_BROWSE_FIRST | CVGMO_ACCEPT_TRUNCATED_MSG;
  CVLONG length = 0, cc = -1, reason = -1;
  CVGET(conn.Hconn, conn.Hobj, &md, &gmo, 0, nullptr, &length, &cc, &reason);
  if (cc == CVCC_FAILED) return "no group " + id + " on " + queue;
  return "group " + id + " is not complete on " + queue +
         " (cvadmin groups shows what it has); nothing was taken";
}

// get-group QUEUE GROUPID FILE: the group's segments in logical order, each
// streamed to FILE under syncpoint; committed once FILE is synced.
int CmdGetGroup(const std::string &qmgr, const std::vector<std::string> &args) {
  CVBYTE group[CV_GROUP_ID_LENGTH];
  if (args.size() != 3 || args[0][0] == '-') return Usage();
  const std::string &queue = args[0], &file = args[2];
  if (!ParseMsgId(args[1], group)) {
    return FailText("get-group",
                    "a group identifier is 48 hexadecimal digits, not '" + args[1] + "'");
  }
  if (int status = 0; !NameOk("get-group", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  Connection conn;
  QmgrKind kind = QmgrKind::kLocal;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INPUT_AS_Q_DEF | CVOO_BROWSE, &conn, false, &kind);
      rc != 0) {
    return Fail("get-group", rc);
  }
  Output out;
  // Whatever fails leaves the group where it was, and no partial copy.
  auto fail = [&](CVLONG why, const std::string &cause) {
    CVLONG cc, reason;
    CVBACK(conn.Hconn, &cc, &reason);
    out.Discard();
    return why != 0 ? Fail("get-group", why, cause) : FailText("get-group", cause);
  };
  int64_t written = 0;
  for (CVLONG seq = 1, last = 0; last == 0; seq++) {
    CVMD md = CVMD_DEFAULT;
    std::memcpy(md.GroupId, group, sizeof(group));
    CVGMO gmo = CVGMO_DEFAULT;
    gmo.Options = CVGMO_SYNCPOINT | CVGMO_LOGICAL_ORDER | CVGMO_ALL_MSGS_AVAILABLE;
    CVLONG length = 0, propLength = 0, cc = -1, reason = -1;
    CVHMSG hmsg = CVHM_UNUSABLE_HMSG;
    std::vector<CVCHAR> props(CV_PROPERTIES_LENGTH_MAX);  // read past, never shown
    CVGETOPEN(conn.Hconn, conn.Hobj, &md, &gmo, static_cast<CVLONG>(props.size()), props.data(),
              &propLength, &length, &hmsg, &cc, &reason);
    if (cc != CVCC_OK && seq == 1) {
      // Only when nothing came does a look at the queue tell why.
      const std::string cause = reason == CVRC_NO_MSG_AVAILABLE ? NoGroup(conn, queue, group, kind)
                                                                : std::string(CVLastCause());
      return Fail("get-group", reason, cause);
    }
    if (cc != CVCC_OK) {
      return fail(reason, "segment " + std::to_string(seq) + " of group " + args[1] +
                              " is not ready on " + queue + "; nothing was taken");
    }
    if (md.Offset != written) {
      return fail(0, "segment " + std::to_string(seq) + " of group " + args[1] +
                         " begins at byte " + std::to_string(md.Offset) + ", not at " +
                         std::to_string(written) + "; nothing was taken");
    }
    if (seq == 1 && !out.Open(file)) return fail(0, file + ": " + std::strerror(errno));
    bool ok = true;
    std::string cause;
    int64_t bytes = 0;
    if (CVLONG why = CopyBody(conn, &hmsg, out.Fd, &ok, &cause, &bytes); why != 0) {
      return fail(why, cause);
    }
    if (!ok) return fail(0, "cannot write the group; it stays on the queue");
    written += bytes;
    last = md.MsgFlags & CVMF_LAST_MSG_IN_GROUP;
  }
  if (!out.Close()) return fail(0, "cannot write the group; it stays on the queue");
  // Taken only now that its copy is whole and on disk.
  CVLONG cc = -1, reason = -1;
  CVCMIT(conn.Hconn, &cc, &reason);
  if (cc != CVCC_OK) {
    std::string cause = CVLastCause();
    out.Discard();
    return Fail("get-group", reason, cause);
  }
  return 0;
}

int CmdClear(const std::string &qmgr, const std::string &queue, bool damaged) {
  if (int status = 0; !NameOk("clear", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("clear", rc);
  CVLONG removed = 0;
  CVLONG rc = damaged ? backend->ClearDamaged(queue, &removed) : backend->Clear(queue, &removed);
  if (rc != 0) return Fail("clear", rc);
  std::printf("%ld %smessages removed\n", static_cast<long>(removed), damaged ? "damaged " : "");
  return 0;
}

// The local queue manager named by the argument, else -m, else the default.
CVLONG FindLocal(const std::string &command, const std::string &name, QmgrDef *def) {
  if (CVLONG rc = Find(name, def, false); rc != 0) return rc;
  if (def->Kind != QmgrKind::kLocal) {
    SetCause(def->Name + " keeps its messages on a broker");
    return CVRC_Q_TYPE_ERROR;
  }
  (void)command;
  return 0;
}

int CmdCheck(const std::string &name) {
  QmgrDef def;
  if (CVLONG rc = FindLocal("check", name, &def); rc != 0) return Fail("check", rc);
  std::string summary;
  std::vector<std::string> problems;
  if (CVLONG rc = CheckLocalStore(def, &summary, &problems); rc != 0) return Fail("check", rc);
  std::printf("%s: %s\n", def.Name.c_str(), summary.c_str());
  for (const std::string &p : problems) std::printf("%s\n", p.c_str());
  if (problems.empty()) {
    std::printf("%s: no problems\n", def.Name.c_str());
    return 0;
  }
  std::printf(
      "%s: %zu problems (cvadmin clear QUEUE --damaged removes damaged messages; "
      "cvadmin salvage %s keeps what can be read)\n",
      def.Name.c_str(), problems.size(), def.Name.c_str());
  return 1;
}

int CmdSalvage(const std::string &name) {
  QmgrDef def;
  if (CVLONG rc = FindLocal("salvage", name, &def); rc != 0) return Fail("salvage", rc);
  std::vector<std::string> done;
  if (CVLONG rc = SalvageLocalStore(def, &done); rc != 0) return Fail("salvage", rc);
  for (const std::string &d : done) std::printf("%s\n", d.c_str());
  std::printf("%s: salvaged%s\n", def.Name.c_str(), done.empty() ? ", nothing to do" : "");
  return 0;
}

int CmdUndefine(const std::string &qmgr, const std::string &queue) {
  if (int status = 0; !NameOk("undefine", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("undefine", rc);
  if (CVLONG rc = backend->DeleteQueue(queue); rc != 0) return Fail("undefine", rc);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // A reader that goes away fails the write, so that the command ends as
  // after any failure: the message stays, and the connection is ended.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string &a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("cvadmin (Corvane) %s\n", CORVANE_VERSION);
      return 0;
    }
  }
  std::string qmgr;
  size_t i = 0;
  if (i < args.size() && args[i] == "-m") {
    if (i + 1 >= args.size()) return Usage();
    qmgr = args[i + 1];
    i += 2;
  }
  if (i >= args.size()) return Usage();
  std::string command = args[i++];
  if (int status = 0; !qmgr.empty() && !NameOk(command, qmgr, CVRC_Q_MGR_NAME_ERROR, &status)) {
    return status;
  }
  std::vector<std::string> rest(args.begin() + static_cast<long>(i), args.end());
  auto one = [&](size_t maxArgs) { return !rest.empty() && rest.size() <= maxArgs; };

  if (command == "create") return rest.empty() ? Usage() : CmdCreate(rest);
  bool json = rest.size() == 1 && rest[0] == "--json";
  if (command == "delete") return rest.empty() ? Usage() : CmdDelete(rest);
  if (command == "list") return rest.empty() || json ? CmdList(json) : Usage();
  if (command == "default") {
    if (rest.size() != 1) return Usage();
    gSubject.Qmgr = rest[0];
    CVLONG rc = SetDefaultQmgr(rest[0]);
    return rc == 0 ? 0 : Fail("default", rc);
  }
  if (command == "define") return rest.empty() ? Usage() : CmdDefine(qmgr, rest);
  if (command == "alter") return rest.empty() ? Usage() : CmdAlter(qmgr, rest);
  if (command == "undefine") return one(1) ? CmdUndefine(qmgr, rest[0]) : Usage();
  if (command == "queues") return rest.empty() || json ? CmdQueues(qmgr, json) : Usage();
  if (command == "depth") return one(1) ? CmdDepth(qmgr, rest[0]) : Usage();
  if (command == "put") return rest.empty() ? Usage() : CmdPut(qmgr, rest);
  if (command == "get") return rest.empty() ? Usage() : CmdGet(qmgr, rest);
  if (command == "delete-message") return rest.empty() ? Usage() : CmdDeleteMessage(qmgr, rest);
  if (command == "browse") return rest.empty() ? Usage() : CmdBrowse(qmgr, rest);
  if (command == "groups") return CmdGroups(qmgr, rest);
  if (command == "put-group") return CmdPutGroup(qmgr, rest);
  if (command == "get-group") return CmdGetGroup(qmgr, rest);
  if (command == "clear") {
    bool damaged = rest.size() == 2 && rest[1] == "--damaged";
    return rest.size() == 1 || damaged ? CmdClear(qmgr, rest[0], damaged) : Usage();
  }
  if (command == "check" || command == "salvage") {
    if (rest.size() > 1) return Usage();
    std::string name = rest.empty() ? qmgr : rest[0];
    return command == "check" ? CmdCheck(name) : CmdSalvage(name);
  }
  return Usage();
}
