// cvadmin - administers the queue managers of the data directory: create,
// delete, list, check and salvage queue managers, define and list queues,
// and put, get, browse and clear messages.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
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
    "\n"
    "Queue managers (the data directory is $CORVANE_HOME, else\n"
    "$XDG_DATA_HOME/corvane, else ~/.local/share/corvane):\n"
    "  create QMGR [--default] [--amqp URL]  create a queue manager\n"
    "  delete QMGR                           delete it with all its messages\n"
    "  list                                  list them, the default marked\n"
    "  default QMGR                          make QMGR the default\n"
    "  check [QMGR]                          check a local store: database, damaged\n"
    "                                        messages, missing and orphan bodies;\n"
    "                                        exit 1 when it finds a problem\n"
    "  salvage [QMGR]                        with no process using it: rebuild a\n"
    "                                        damaged database from what can be read,\n"
    "                                        mark messages without their body damaged,\n"
    "                                        move bodies no message names to lost/\n"
    "\n"
    "Queues of QMGR (-m, else the default queue manager):\n"
    "  define QUEUE [--maxdepth N] [--maxmsgl BYTES] [--remote RQMGR/RQUEUE]\n"
    "  undefine QUEUE                        delete an empty queue\n"
    "  queues                                name, type, depth, limits\n"
    "  depth QUEUE                           current depth\n"
    "  put QUEUE [FILE] [--format TEXT] [--nonpersistent] [--property NAME=VALUE]...\n"
    "                                        one message from FILE or stdin\n"
    "  get QUEUE [FILE]                      take one message to FILE or stdout\n"
    "  browse QUEUE                          list the messages, taking none; each\n"
    "                                        property on a line of its own below its\n"
    "                                        message: 4 spaces, NAME=VALUE (in VALUE\n"
    "                                        a backslash and control characters are\n"
    "                                        written \\\\, \\t, \\n, \\r or \\xHH)\n"
    "  clear QUEUE [--damaged]               remove every message not in use and not\n"
    "                                        damaged; with --damaged, the damaged ones\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Reports a reason, and after it what the system underneath said, if anything.
int Fail(const std::string &command, CVLONG reason) {
  const char *cause = CVLastCause();
  std::fprintf(stderr, "cvadmin: %s: %s%s%s\n", command.c_str(), CVReasonName(reason),
               cause[0] != '\0' ? ": " : "", cause);
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

bool ReadAllFrom(int fd, std::string *data) {
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0) return false;
    if (n == 0) return true;
    data->append(chunk, static_cast<size_t>(n));
  }
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

// Refuses a name that a 48-character field would cut or that is no name.
bool NameOk(const std::string &command, const std::string &name, CVLONG reason, int *status) {
  if (CheckName(name)) return true;
  *status = Fail(command, reason);
  return false;
}

// Opens the backend of qmgr (empty: the default one).
CVLONG Open(const std::string &qmgr, std::unique_ptr<Backend> *backend) {
  QmgrDef def;
  if (CVLONG rc = FindQmgr(qmgr, &def); rc != 0) return rc;
  return OpenBackend(def, backend);
}

// Connects through the public calls and opens queue with options.
CVLONG Connect(const std::string &qmgr, const std::string &queue, CVLONG options, CVHCONN *hconn,
               CVHOBJ *hobj) {
  char name[CV_Q_MGR_NAME_LENGTH] = {0};
  std::memcpy(name, qmgr.data(), qmgr.size() < sizeof(name) ? qmgr.size() : sizeof(name));
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

int CmdList() {
  std::vector<std::string> names;
  std::string current;
  if (CVLONG rc = ListQmgrs(&names, &current); rc != 0) return Fail("list", rc);
  for (const std::string &n : names) {
    std::printf("%s%s\n", n.c_str(), n == current ? " (default)" : "");
  }
  return 0;
}

int CmdDefine(const std::string &qmgr, const std::vector<std::string> &args) {
  QueueDef def;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &a = args[i];
    bool hasValue = i + 1 < args.size();
    if (a == "--maxdepth" && hasValue) {
      if (!ParseCount(args[++i], &def.MaxDepth)) return FailText("define", "bad --maxdepth");
    } else if (a == "--maxmsgl" && hasValue) {
      if (!ParseCount(args[++i], &def.MaxMsgLength)) return FailText("define", "bad --maxmsgl");
    } else if (a == "--remote" && hasValue) {
      const std::string &target = args[++i];
      size_t slash = target.find('/');
      if (slash == std::string::npos) return FailText("define", "--remote needs RQMGR/RQUEUE");
      def.Type = CVQT_REMOTE;
      def.RemoteQmgr = target.substr(0, slash);
      def.RemoteQueue = target.substr(slash + 1);
    } else if (def.Name.empty() && a[0] != '-') {
      def.Name = a;
    } else {
      return Usage();
    }
  }
  if (def.Name.empty()) return Usage();
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("define", rc);
  if (CVLONG rc = backend->DefineQueue(def); rc != 0) return Fail("define", rc);
  return 0;
}

int CmdQueues(const std::string &qmgr) {
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("queues", rc);
  std::vector<QueueDef> queues;
  if (CVLONG rc = backend->ListQueues(&queues); rc != 0) return Fail("queues", rc);
  std::printf("QUEUE\tTYPE\tDEPTH\tMAXDEPTH\tMAXMSGL\n");
  for (const QueueDef &q : queues) {
    if (q.Type == CVQT_REMOTE) {
      std::printf("%s\tremote %s/%s\t-\t-\t-\n", q.Name.c_str(), q.RemoteQmgr.c_str(),
                  q.RemoteQueue.c_str());
      continue;
    }
    CVLONG depth = 0;
    backend->Depth(q, &depth);
    std::printf("%s\tlocal\t%ld\t%ld\t%ld\n", q.Name.c_str(), static_cast<long>(depth),
                static_cast<long>(q.MaxDepth), static_cast<long>(q.MaxMsgLength));
  }
  return 0;
}

int CmdDepth(const std::string &qmgr, const std::string &queue) {
  if (int status = 0; !NameOk("depth", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  CVHCONN hconn = CVHC_UNUSABLE_HCONN;
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INQUIRE, &hconn, &hobj); rc != 0) {
    return Fail("depth", rc);
  }
  CVLONG selector = CVIA_CURRENT_Q_DEPTH;
  CVLONG depth = 0;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVINQ(hconn, hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &reason);
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
  std::string data;
  int fd = file.empty() || file == "-" ? 0 : open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailText("put", file + ": " + std::strerror(errno));
  bool read = ReadAllFrom(fd, &data);
  if (fd != 0) close(fd);
  if (!read) return FailText("put", "cannot read the message data");
  if (data.size() > 0x7FFFFFFF) return Fail("put", CVRC_MSG_TOO_BIG_FOR_Q_MGR);

  CVHCONN hconn = CVHC_UNUSABLE_HCONN;
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_OUTPUT, &hconn, &hobj); rc != 0) {
    return Fail("put", rc);
  }
  CVMD md = CVMD_DEFAULT;
  CVPMO pmo = CVPMO_DEFAULT;
  std::memcpy(md.Format, format.data(), 8);
  md.Persistence = persistent ? CVPER_PERSISTENT : CVPER_NOT_PERSISTENT;
  CVLONG cc = -1;
  CVLONG reason = -1;
  std::string props = JoinProperties(properties);
  CVPUTP(hconn, hobj, &md, &pmo, static_cast<CVLONG>(props.size()), props.data(),
         static_cast<CVLONG>(data.size()), data.data(), &cc, &reason);
  if (cc != CVCC_OK) return Fail("put", reason);
  return 0;
}

int CmdGet(const std::string &qmgr, const std::string &queue, const std::string &file) {
  if (int status = 0; !NameOk("get", queue, CVRC_OBJECT_NAME_ERROR, &status)) return status;
  CVHCONN hconn = CVHC_UNUSABLE_HCONN;
  CVHOBJ hobj = CVHO_UNUSABLE_HOBJ;
  if (CVLONG rc = Connect(qmgr, queue, CVOO_INPUT_AS_Q_DEF, &hconn, &hobj); rc != 0) {
    return Fail("get", rc);
  }
  // Under a unit of work: the message leaves the queue only once its bytes
  // are written out.
  std::vector<char> buffer(1048576);
  CVMD md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = CVGMO_SYNCPOINT;
  CVLONG length = 0;
  CVLONG cc = -1;
  CVLONG reason = -1;
  CVGET(hconn, hobj, &md, &gmo, static_cast<CVLONG>(buffer.size()), buffer.data(), &length, &cc,
        &reason);
  if (reason == CVRC_TRUNCATED_MSG_FAILED) {
    buffer.resize(static_cast<size_t>(length));
    CVGET(hconn, hobj, &md, &gmo, length, buffer.data(), &length, &cc, &reason);
  }
  if (cc != CVCC_OK) return Fail("get", reason);
  int fd = file.empty() || file == "-"
               ? 1
               : open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAllTo(fd, buffer.data(), static_cast<size_t>(length));
  if (fd > 1) ok = (fsync(fd) == 0 && close(fd) == 0) && ok;
  if (!ok) {
    CVBACK(hconn, &cc, &reason);
    return FailText("get", "cannot write the message; it stays on the queue");
  }
  CVCMIT(hconn, &cc, &reason);
  if (cc != CVCC_OK) return Fail("get", reason);
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

int CmdBrowse(const std::string &qmgr, const std::string &queue) {
  std::unique_ptr<Backend> backend;
  if (CVLONG rc = Open(qmgr, &backend); rc != 0) return Fail("browse", rc);
  std::vector<MessageInfo> messages;
  if (CVLONG rc = backend->Browse(queue, &messages); rc != 0) return Fail("browse", rc);
  std::printf("INDEX\tLENGTH\tFORMAT\tPERSISTENCE\tPUT TIME (UTC)\tBACKOUTS\tSTATE\n");
  int index = 0;
  for (const MessageInfo &m : messages) {
    const char *d = m.Md.PutDate;
    const char *t = m.Md.PutTime;
    std::printf("%d\t%ld\t\"%.8s\"\t%s\t%.4s-%.2s-%.2s %.2s:%.2s:%.2s\t%ld\t%s\n", ++index,
                static_cast<long>(m.Length), m.Md.Format,
                m.Md.Persistence == CVPER_PERSISTENT ? "persistent" : "non-persistent", d, d + 4,
                d + 6, t, t + 2, t + 4, static_cast<long>(m.Md.BackoutCount),
                m.Damaged ? "damaged"
                : m.Held  ? "held"
                          : "ready");
    for (const auto &[name, value] : SplitProperties(m.Props)) {
      std::printf("    %s=%s\n", name.c_str(), EscapeValue(value).c_str());
    }
  }
  return 0;
}

int CmdClear(const std::string &qmgr, const std::string &queue, bool damaged) {
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
  if (CVLONG rc = FindQmgr(name, def); rc != 0) return rc;
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
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string &a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
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
  if (command == "delete") {
    if (rest.size() != 1) return Usage();
    CVLONG rc = DeleteQmgr(rest[0]);
    return rc == 0 ? 0 : Fail("delete", rc);
  }
  if (command == "list") return rest.empty() ? CmdList() : Usage();
  if (command == "default") {
    if (rest.size() != 1) return Usage();
    CVLONG rc = SetDefaultQmgr(rest[0]);
    return rc == 0 ? 0 : Fail("default", rc);
  }
  if (command == "define") return rest.empty() ? Usage() : CmdDefine(qmgr, rest);
  if (command == "undefine") return one(1) ? CmdUndefine(qmgr, rest[0]) : Usage();
  if (command == "queues") return rest.empty() ? CmdQueues(qmgr) : Usage();
  if (command == "depth") return one(1) ? CmdDepth(qmgr, rest[0]) : Usage();
  if (command == "put") return rest.empty() ? Usage() : CmdPut(qmgr, rest);
  if (command == "get")
    return one(2) ? CmdGet(qmgr, rest[0], rest.size() > 1 ? rest[1] : "") : Usage();
  if (command == "browse") return one(1) ? CmdBrowse(qmgr, rest[0]) : Usage();
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
