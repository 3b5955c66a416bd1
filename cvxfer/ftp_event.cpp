// ftp_event.cpp - the events of a run as JSON lines, Prometheus metrics and
// systemd notifications.
#include "ftp_event.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "cv_session.h"
#include "ftp_clock.h"
#include "remote.h"

namespace {

// The events as the JSON lines name them, in the order of FTP_EVENT_*.
const char *const kFtpEventNames[] = {"connected",        "taken", "stored",    "backed-out",
                                      "moved-to-backout", "retry", "reconnect", "stopped"};

// Directions of a transfer as the metrics label them: into the queue
// (get) and onto the server (put).
const char *const kFtpDirections[] = {"in", "out"};

// Longest pause between two versions of the metrics file, in seconds.
constexpr int kMetricsEverySeconds = 15;

// The counters behind the metrics.
struct FtpEventCounts {
  long long Transfers[2][2] = {};  // [direction][0 ok, 1 failed]
  long long Bytes[2] = {};
  long long Backouts = 0;
  long long Moved = 0;
  long long Reconnects = 0;
  double LastSuccess[2] = {};  // seconds since the epoch, 0 for none
  int InFlight = 0;
  int Up = 1;
};

// The one record of the process. Lock guards Counts and the metrics file,
// which the writer thread rewrites too.
struct FtpEventState {
  int JsonFd = -1;         // where the JSON lines go (--log json), -1 for nowhere
  bool Notify = false;     // NOTIFY_SOCKET was set
  bool Ready = false;      // READY was said
  long long PetGapMs = 0;  // least time between two watchdog pets; 0: no watchdog
  long long PettedMs = 0;
  std::string Metrics;   // the file, "" for none
  std::string JobLabel;  // job_file="NAME" on every sample, "" without a job file
  bool SaidUnwritable = false;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stopping = false;
  std::thread Writer;
  FtpEventCounts Counts;
};

FtpEventState gEvents;

// The direction of a transfer event (an index of kFtpDirections), -1 for
// another event.
int FtpEventDirection(int kind) {
  if (kind == FTP_EVENT_TAKEN) return 0;
  if (kind == FTP_EVENT_STORED || kind == FTP_EVENT_BACKED_OUT) return 1;
  return -1;
}

// Whether s is UTF-8 throughout.
bool FtpEventUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int more = c < 0x80         ? 0
                     : (c >> 5) == 6  ? 1
                     : (c >> 4) == 14 ? 2
                     : (c >> 3) == 30 ? 3
                                      : -1;
    if (more < 0) return false;
    for (int k = 0; k < more; k++) {
      if (++i >= s.size() || (static_cast<unsigned char>(s[i]) >> 6) != 2) return false;
    }
  }
  return true;
}

// Now as RFC 3339 in UTC, to the millisecond.
std::string FtpEventTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof(text) - n, ".%03ldZ", now.tv_nsec / 1000000);
  return text;
}

// An identifier as 48 hexadecimal digits (as cvadmin shows it), null for
// none or all zeros.
std::string FtpEventId(const CVBYTE *id) {
  if (id == nullptr) return "null";
  std::string hex;
  bool zero = true;
  char two[3];
  for (int i = 0; i < CV_MSG_ID_LENGTH; i++) {
    std::snprintf(two, sizeof(two), "%02X", id[i]);
    hex += two;
    zero = zero && id[i] == 0;
  }
  return zero ? "null" : "\"" + hex + "\"";
}

// A blank-padded 48-character name field as a JSON string, null when blank.
std::string FtpEventName(const char *field) {
  std::string name(field, strnlen(field, CV_Q_NAME_LENGTH));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name.empty() ? "null" : FtpEventJson(name);
}

// The server as scheme://host:port, never with a user or a password; null
// before any open.
std::string FtpEventServer(FtpSession *session) {
  if (session->Remote == nullptr || session->Ctl.Host[0] == '\0') return "null";
  return FtpEventJson(std::string(session->Remote->Scheme) + "://" +
                      session->Remote->Server(session));
}

// The remote path of event, made absolute against the current directory
// when the server named it already (no command is sent for it).
std::string FtpEventPath(FtpSession *session, const std::string &path) {
  if (path.empty()) return "null";
  const FtpControl &ctl = session->Ctl;
  if (path[0] == '/' || !ctl.RemoteDirKnown || ctl.RemoteDir[0] == '\0') {
    return FtpEventJson(path);
  }
  const std::string dir = ctl.RemoteDir;
  return FtpEventJson(dir + (dir.back() == '/' ? "" : "/") + path);
}

// The JSON line of event, its newline included.
std::string FtpEventLine(FtpSession *session, const FtpEvent &event) {
  const int direction = FtpEventDirection(event.Kind);
  std::string line =
      "{\"time\":\"" + FtpEventTime() + "\",\"event\":\"" + kFtpEventNames[event.Kind] +
      "\",\"direction\":" +
      (direction < 0 ? "null" : "\"" + std::string(kFtpDirections[direction]) + "\"");
  line += ",\"server\":" + FtpEventServer(session);
  line += ",\"path\":" + FtpEventPath(session, event.Path);
  line += ",\"queue_manager\":" +
          (FtpCVConnected(session) ? FtpEventName(session->Queue.QMgrName) : "null");
  line += ",\"queue\":" + (FtpCVQueueOpen(session) ? FtpEventName(session->Queue.QName) : "null");
  line += ",\"msgid\":" + FtpEventId(event.MsgId);
  line += ",\"correlid\":" + FtpEventId(event.CorrelId);
  line += ",\"bytes\":" + (event.Bytes < 0 ? "null" : std::to_string(event.Bytes));
  char duration[32] = "null";
  if (event.StartMs >= 0) {
    std::snprintf(duration, sizeof(duration), "%.3f", (FtpNowMs() - event.StartMs) / 1000.0);
  }
  line += std::string(",\"duration\":") + duration;
  line += std::string(",\"outcome\":\"") + (event.ExitClass == 0 ? "ok" : "failed") + "\"";
  line += ",\"exit_class\":" + std::to_string(event.ExitClass) + "}\n";
  return line;
}

// Writes all of text to fd. Returns 0, or -1 with errno.
int FtpEventWriteAll(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Appends a metric family's HELP and TYPE lines to text.
void FtpEventFamily(std::string *text, const char *name, const char *type, const char *help) {
  *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Appends one sample of metric name to text: its labels (name="value"
// pairs, "" for none) and the job file's, then value.
void FtpEventSample(std::string *text, const char *name, std::string labels,
                    const std::string &value) {
  if (!gEvents.JobLabel.empty()) labels += (labels.empty() ? "" : ",") + gEvents.JobLabel;
  *text += name;
  if (!labels.empty()) *text += "{" + labels + "}";
  *text += " " + value + "\n";
}

// The label of direction d.
std::string FtpEventDirectionLabel(int d) {
  return std::string("direction=\"") + kFtpDirections[d] + "\"";
}

// The metrics of c in Prometheus' text format.
std::string FtpEventMetricsText(const FtpEventCounts &c) {
  std::string t;
  FtpEventFamily(&t, "cvxfer_transfers_total", "counter",
                 "Transfers ended, by direction (in: server to queue, out: queue to server) "
                 "and outcome.");
  for (int d = 0; d < 2; d++) {
    for (int o = 0; o < 2; o++) {
      FtpEventSample(&t, "cvxfer_transfers_total",
                     FtpEventDirectionLabel(d) + ",outcome=\"" + (o == 0 ? "ok" : "failed") + "\"",
                     std::to_string(c.Transfers[d][o]));
    }
  }
  FtpEventFamily(&t, "cvxfer_bytes_total", "counter",
                 "Bytes of the transfers that succeeded, by direction.");
  for (int d = 0; d < 2; d++) {
    FtpEventSample(&t, "cvxfer_bytes_total", FtpEventDirectionLabel(d), std::to_string(c.Bytes[d]));
  }
  const struct {
    const char *Name, *Help;
    long long Value;
  } counters[] = {
      {"cvxfer_backouts_total", "Messages backed out after a store that failed.", c.Backouts},
      {"cvxfer_moved_to_backout_total", "Messages moved to their queue's backout queue.", c.Moved},
      {"cvxfer_reconnects_total", "Times the server was reached again after it was lost.",
       c.Reconnects},
  };
  for (const auto &counter : counters) {
    FtpEventFamily(&t, counter.Name, "counter", counter.Help);
    FtpEventSample(&t, counter.Name, "", std::to_string(counter.Value));
  }
  FtpEventFamily(&t, "cvxfer_last_success_timestamp_seconds", "gauge",
                 "When the last transfer that succeeded ended, by direction, in seconds since "
                 "the epoch (0: none yet).");
  char when[32];
  for (int d = 0; d < 2; d++) {
    std::snprintf(when, sizeof(when), "%.3f", c.LastSuccess[d]);
    FtpEventSample(&t, "cvxfer_last_success_timestamp_seconds", FtpEventDirectionLabel(d), when);
  }
  FtpEventFamily(&t, "cvxfer_in_flight", "gauge", "Transfers under way.");
  FtpEventSample(&t, "cvxfer_in_flight", "", std::to_string(c.InFlight));
  FtpEventFamily(&t, "cvxfer_up", "gauge", "1 while cvxfer runs, 0 once it has ended.");
  FtpEventSample(&t, "cvxfer_up", "", std::to_string(c.Up));
  return t;
}

// Writes the metrics file aside, then renames it over the old one, so that
// a reader never sees half of it. Called with the lock held. Returns 0, or
// -1 with errno.
int FtpEventWriteMetrics() {
  // A device or a pipe named as the file is written to, never replaced.
  struct stat st;
  if (stat(gEvents.Metrics.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    const int fd = open(gEvents.Metrics.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int wrote = FtpEventWriteAll(fd, FtpEventMetricsText(gEvents.Counts));
    close(fd);
    return wrote;
  }
  const std::string aside = gEvents.Metrics + ".tmp";
  const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const int wrote = FtpEventWriteAll(fd, FtpEventMetricsText(gEvents.Counts));
  const int saved = errno;
  if (close(fd) != 0 || wrote != 0) {
    errno = wrote != 0 ? saved : errno;
    unlink(aside.c_str());
    return -1;
  }
  return std::rename(aside.c_str(), gEvents.Metrics.c_str());
}

// The writer thread: a new version of the metrics at least every
// kMetricsEverySeconds, until FtpEventEnd.
void FtpEventWriterLoop() {
  std::unique_lock<std::mutex> lock(gEvents.Lock);
  while (!gEvents.Wake.wait_for(lock, std::chrono::seconds(kMetricsEverySeconds),
                                [] { return gEvents.Stopping; })) {
    FtpEventWriteMetrics();  // a failure is told by the next event's write
  }
}

// Starts the writer thread with every signal blocked in it, so that SIGINT
// and SIGTERM still interrupt the waits of the main thread.
void FtpEventStartWriter() {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  gEvents.Writer = std::thread(FtpEventWriterLoop);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Counts event, rewrites the metrics file and says once, on standard
// output, when it cannot be written.
void FtpEventCount(const FtpEvent &event) {
  std::lock_guard<std::mutex> lock(gEvents.Lock);
  FtpEventCounts &c = gEvents.Counts;
  const int direction = FtpEventDirection(event.Kind);
  if (direction >= 0) {
    const bool ok = event.ExitClass == 0 && event.Kind != FTP_EVENT_BACKED_OUT;
    c.Transfers[direction][ok ? 0 : 1]++;
    if (ok && event.Bytes > 0) c.Bytes[direction] += event.Bytes;
    if (ok) {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      c.LastSuccess[direction] = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
    }
  }
  if (event.Kind == FTP_EVENT_BACKED_OUT) c.Backouts++;
  if (event.Kind == FTP_EVENT_MOVED_TO_BACKOUT) c.Moved++;
  if (event.Kind == FTP_EVENT_RECONNECT) c.Reconnects++;
  if (gEvents.Metrics.empty()) return;
  if (FtpEventWriteMetrics() != 0 && !gEvents.SaidUnwritable) {
    std::printf("cvxfer: metrics not written to %s: %s\n", gEvents.Metrics.c_str(),
                std::strerror(errno));
    std::fflush(stdout);
    gEvents.SaidUnwritable = true;
  }
}

// Sends STATUS (and READY the first time a connection stands with a queue
// manager) for event.
void FtpEventNotify(FtpSession *session, const FtpEvent &event) {
  std::string status = std::string("STATUS=") + kFtpEventNames[event.Kind];
  if (event.ExitClass != 0) status += " (failed, class " + std::to_string(event.ExitClass) + ")";
  if (!event.Path.empty()) status += ": " + event.Path;
  const bool connection = event.Kind == FTP_EVENT_CONNECTED || event.Kind == FTP_EVENT_RECONNECT;
  if (connection && session->Remote != nullptr) {
    status +=
        std::string(" to ") + session->Remote->Scheme + "://" + session->Remote->Server(session);
  }
  if (event.Bytes >= 0) status += ", " + std::to_string(event.Bytes) + " bytes";
  const bool ready = !gEvents.Ready && FtpCVConnected(session) && connection;
  if (ready) {
    gEvents.Ready = true;
    status = "READY=1\n" + status;
  }
  sd_notify(0, status.c_str());
}

// The label job_file="NAME" of jobFile (its base name), escaped as the
// text format wants a label value.
std::string FtpEventJobLabel(const std::string &jobFile) {
  std::string label = "job_file=\"";
  for (const char c : jobFile.substr(jobFile.rfind('/') + 1)) {
    if (c == '\\' || c == '"') label += '\\';
    label += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return label + "\"";
}

}  // namespace

std::string FtpEventJson(const std::string &text) {
  const bool utf8 = FtpEventUtf8(text);
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && !utf8)) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

int FtpEventStart(bool json, const char *metrics, const char *jobFile) {
  // Instances of one host each write a file for the same collector: the
  // job's name keeps their samples apart.
  if (jobFile != nullptr) gEvents.JobLabel = FtpEventJobLabel(jobFile);
  if (json && (gEvents.JsonFd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) < 0) {
    std::fprintf(stderr, "cvxfer: --log json: %s\n", std::strerror(errno));
    return -1;
  }
  const char *socket = std::getenv("NOTIFY_SOCKET");
  gEvents.Notify = socket != nullptr && socket[0] != '\0';
  uint64_t usec = 0;
  if (gEvents.Notify && sd_watchdog_enabled(0, &usec) > 0) {
    // Four pets per period, never more than one a second.
    gEvents.PetGapMs = std::min<long long>(static_cast<long long>(usec / 4000), 1000);
  }
  if (metrics != nullptr) {
    gEvents.Metrics = metrics;
    std::lock_guard<std::mutex> lock(gEvents.Lock);
    if (FtpEventWriteMetrics() != 0) {
      std::fprintf(stderr, "cvxfer: --metrics cannot write %s: %s\n", metrics,
                   std::strerror(errno));
      gEvents.Metrics.clear();
      return -1;
    }
    FtpEventStartWriter();
  }
  // Standard error, as the outside sees it, carries the JSON lines alone:
  // what the program writes on it otherwise (failure lines) joins the text
  // on standard output.
  if (json) {
    std::fflush(stderr);
    dup2(STDOUT_FILENO, STDERR_FILENO);
  }
  return 0;
}

void FtpEventSay(FtpSession *session, const FtpEvent &event) {
  if (gEvents.JsonFd >= 0) FtpEventWriteAll(gEvents.JsonFd, FtpEventLine(session, event));
  FtpEventCount(event);
  if (gEvents.Notify) FtpEventNotify(session, event);
  const bool progress =
      event.ExitClass == 0 && event.Kind != FTP_EVENT_STOPPED && event.Kind != FTP_EVENT_RETRY;
  if (progress) FtpEventAlive();
}

void FtpEventStatus(const char *text) {
  if (gEvents.Notify) sd_notifyf(0, "STATUS=%s", text);
}

void FtpEventAlive(void) {
  if (gEvents.PetGapMs <= 0) return;
  const long long now = FtpNowMs();
  if (gEvents.PettedMs != 0 && now - gEvents.PettedMs < gEvents.PetGapMs) return;
  gEvents.PettedMs = now;
  sd_notify(0, "WATCHDOG=1");
}

void FtpEventBusy(int delta) {
  std::lock_guard<std::mutex> lock(gEvents.Lock);
  gEvents.Counts.InFlight += delta;
}

void FtpEventEnd(FtpSession *session, int status) {
  if (gEvents.Notify) sd_notify(0, "STOPPING=1");
  FtpEvent stopped;
  stopped.Kind = FTP_EVENT_STOPPED;
  stopped.ExitClass = status;
  {
    std::lock_guard<std::mutex> lock(gEvents.Lock);
    gEvents.Counts.Up = 0;
    gEvents.Stopping = true;
  }
  FtpEventSay(session, stopped);
  gEvents.Wake.notify_all();
  if (gEvents.Writer.joinable()) gEvents.Writer.join();
}
