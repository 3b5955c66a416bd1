// ftp_event.h - what an operator sees of a run from outside: every event of
// the bridge (a login, a file taken, a message stored, a back-out...) as one
// JSON object per line on standard error (--log json), as counters in
// Prometheus' text format (--metrics FILE), and as systemd's notifications
// (READY, STATUS, WATCHDOG) when NOTIFY_SOCKET is set. Each output is off
// until asked for; the text on standard output never changes. No event
// names a user or a password: a server is its scheme, host and port.
//
// One record per process, kept here: the metrics writer's thread and the
// transfer loops reach it without a session.
#ifndef CVXFER_FTP_EVENT_H
#define CVXFER_FTP_EVENT_H

#include <string>

#include "ftp_session.h"

// The events, in the order of kFtpEventNames (ftp_event.cpp).
enum {
  FTP_EVENT_CONNECTED = 0,     // logged in to the server
  FTP_EVENT_TAKEN,             // a remote file became a message (or could not)
  FTP_EVENT_STORED,            // a message became a remote file and left its queue
  FTP_EVENT_BACKED_OUT,        // a message went back to its queue after a failed store
  FTP_EVENT_MOVED_TO_BACKOUT,  // a message went to its queue's backout queue
  FTP_EVENT_RETRY,             // a transient failure: the work is tried again later
  FTP_EVENT_RECONNECT,         // the server answers again after it was lost
  FTP_EVENT_STOPPED,           // the run ends
};

// One event. Fields that do not apply keep their defaults and are written
// as null.
struct FtpEvent {
  int Kind = FTP_EVENT_CONNECTED;
  std::string Path;                  // the remote path concerned
  const CVBYTE *MsgId = nullptr;     // the message concerned
  const CVBYTE *CorrelId = nullptr;  // its correlation identifier
  long long Bytes = -1;              // bytes moved
  long long StartMs = -1;            // FtpNowMs() when the work began: gives the duration
  int ExitClass = 0;                 // class of the failure (FTP_EXIT_*), 0 for success
};

// Starts the outputs asked for: json for --log json (standard error then
// carries the JSON lines alone; what else the program writes there joins
// standard output), metrics the file of --metrics (null: none), whose first
// version is written at once; every sample is labelled with the base name
// of jobFile (null: none). Returns 0, or -1 after saying on standard error
// why not.
int FtpEventStart(bool json, const char *metrics, const char *jobFile);

// Tells of event: its JSON line, its counters, and STATUS; the first
// connection while a queue manager is connected also says READY. A success
// is progress (FtpEventAlive).
void FtpEventSay(FtpSession *session, const FtpEvent &event);

// Tells systemd what the run is doing now (STATUS=text); nothing without
// NOTIFY_SOCKET.
void FtpEventStatus(const char *text);

// The run made progress (a listing completed, bytes moved, a message
// stored, an idle wait passed): pets systemd's watchdog, at most a few
// times per watchdog period. Only progress may call it, so that a run stuck
// in a wait stops petting and systemd restarts it.
void FtpEventAlive(void);

// Counts a transfer in or out of cvxfer_in_flight (delta 1 or -1).
void FtpEventBusy(int delta);

// Counts a transfer as in flight for as long as it lives.
struct FtpEventInFlight {
  FtpEventInFlight() { FtpEventBusy(1); }
  ~FtpEventInFlight() { FtpEventBusy(-1); }
  FtpEventInFlight(const FtpEventInFlight &) = delete;
  FtpEventInFlight &operator=(const FtpEventInFlight &) = delete;
};

// The end of the run with exit status: the stopped event, cvxfer_up 0 in a
// last version of the metrics, STOPPING to systemd; the writer thread ends.
void FtpEventEnd(FtpSession *session, int status);

// The JSON string of text, quotes included; bytes that are not UTF-8 are
// taken as Latin-1, so that the line stays valid JSON.
std::string FtpEventJson(const std::string &text);

#endif
