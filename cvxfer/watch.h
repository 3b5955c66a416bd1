// watch.h - the bridge left to run by itself: a remote directory watched
// into the open queue (mget -w), the open queue served onto the server
// (mput -w). Both run until interrupted (SIGINT: back to the prompt, what is
// in flight backed out) or told to end (SIGTERM: what is in flight
// finishes, then the run ends), and connect again by themselves, with
// back-off, when the server goes away.
#ifndef CVXFER_WATCH_H
#define CVXFER_WATCH_H

#include "bridge.h"

// Connects and logs in again as the session last did; FTP_OK (0) or not.
using WatchReconnect = int (*)(FtpSession *session);

// What mget -w watches and how.
struct WatchIn {
  FtpCVAfter After{};              // what becomes of a file once its message is safe
  int IntervalSeconds = 30;        // between two listings
  int SettleSeconds = 60;          // a file unchanged this long is complete (no DoneSuffix)
  const char *DoneSuffix = nullptr;  // a file is complete once NAME + this is listed
  int Count = 0;                   // patterns
  const char *const *Patterns = nullptr;
};

// Watches the patterns' directories: each file complete and not yet taken
// is claimed (renamed to a name of this watcher's own), retrieved into a
// message, recorded in the queue manager's journal in the same unit of
// work, and then deleted, moved or given back its name. Returns 0 when it
// ended by an interrupt or SIGTERM with nothing left half done, else 1
// with the class recorded.
int WatchGet(FtpSession *session, const WatchIn &watch, WatchReconnect reconnect);

// Serves the open queue onto the server: each message, as it arrives, is
// stored under its own name through a temporary name; count (0: no limit)
// ends it after that many. Transient failures back the message out and
// wait for the server; a message that fails for good goes to the queue's
// backout queue once its backout count reaches the threshold. Returns as
// WatchGet does.
int WatchPut(FtpSession *session, long count, WatchReconnect reconnect);

#endif
