// watch.cpp - mget -w and mput -w. The watch into the queue claims a file
// by renaming it before it reads it, so that two watchers never both take
// it, and records every file it takes in the queue manager's journal in the
// unit of work of its message, so that a file is on the queue exactly once
// however the watcher ends and however long ago its message was consumed.
#include "watch.h"

#include <fnmatch.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/sha.h>

#include "backout.h"
#include "bridge_steps.h"
#include "cv_session.h"
#include "cv_util.h"
#include "ftp_clock.h"
#include "ftp_event.h"
#include "ftp_io.h"
#include "ftp_retry.h"
#include "remote.h"
#include "watch_list.h"

namespace {

// Files taken in one cycle at the most: a directory of any size is taken
// a bounded piece at a time, the next cycle following at once. A file that
// fails does not count: files that keep failing, first in name order,
// would otherwise keep every later one from ever being taken.
constexpr int kClaimsPerCycle = 64;

// What a claim name adds to the name it claims: the tag, then the claimant.
const char kClaimTag[] = ".cvxfer-claim-";

// Whether SIGINT or SIGTERM asks the watch to end, or its queue manager
// connection broke: nothing could be taken any more.
bool WatchStopping(const FtpSession *session) {
  return session->Run.Interrupted || FtpInterruptPending() || FtpTerminatePending() ||
         session->Queue.Broken;
}

// Tells of an event about the server: kind is FTP_EVENT_RETRY or
// FTP_EVENT_RECONNECT.
void WatchTell(FtpSession *session, int kind) {
  FtpEvent event;
  event.Kind = kind;
  event.ExitClass = kind == FTP_EVENT_RETRY ? FTP_EXIT_CONNECT : 0;
  FtpEventSay(session, event);
}

// Connects again, waiting as FtpBackoffMs says before each try, until the
// server answers or a signal ends the watch. *attempt counts the tries
// since the watch last made progress (its caller sets it to 0 then): a
// server that lets the watch in but fails it each time is asked less and
// less often, as one that is down. Returns true when connected.
bool WatchComeBack(FtpSession *session, WatchReconnect reconnect, int *attempt) {
  for (; !WatchStopping(session); *attempt = std::min(*attempt + 1, 64)) {
    const long long wait = FtpBackoffMs(*attempt);
    std::printf("cvxfer: the server is gone; connecting again in %lld s\n", (wait + 999) / 1000);
    std::fflush(stdout);
    WatchTell(session, FTP_EVENT_RETRY);
    if (!FtpPause(wait)) break;
    const int failure = session->Run.Failure;
    if (reconnect(session) == 0) {
      session->Run.Failure = failure;
      WatchTell(session, FTP_EVENT_RECONNECT);
      *attempt = std::min(*attempt + 1, 64);
      return true;
    }
    session->Run.Failure = failure;
  }
  return false;
}

// When process pid started, in clock ticks since boot (the 22nd field of
// /proc/PID/stat), or 0 when that cannot be read (no such process). With
// the pid it names one process: pids come round again.
unsigned long long WatchStartOf(long pid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
  std::FILE *f = std::fopen(path, "re");
  if (f == nullptr) return 0;
  char text[1024];
  const size_t n = std::fread(text, 1, sizeof(text) - 1, f);
  std::fclose(f);
  text[n] = '\0';
  const char *p = std::strrchr(text, ')');  // the command may hold anything
  for (int field = 2; p != nullptr && field < 22; field++) p = std::strchr(p + 1, ' ');
  return p != nullptr ? std::strtoull(p + 1, nullptr, 10) : 0;
}

// Who claims: this host and queue manager (the watchers that share a
// journal), then this process and when it started, as a file name may
// carry them.
std::string WatchClaimant(const FtpSession *session) {
  char host[256] = "";
  gethostname(host, sizeof(host) - 1);
  std::string who = std::string(host) + "-" +
                    std::string(session->Queue.QMgrName, strnlen(session->Queue.QMgrName, 48));
  while (!who.empty() && who.back() == ' ') who.pop_back();
  for (char &c : who) {
    if (c == '/' || c == ' ' || c == '.' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
      c = '_';
    }
  }
  return who + "." + std::to_string(getpid()) + "." + std::to_string(WatchStartOf(getpid()));
}

// Whether base names a claim (then *original is the name it claims) that
// this watcher is to finish: its own, or one of a process of its host and
// queue manager that no longer runs (killed before it finished). A claim
// names its process's start too (older ones do not): a process that got
// the pid since is not the claimant.
bool WatchIsClaim(const std::string &base, const std::string &claimant, std::string *original,
                  bool *ours) {
  const size_t at = base.rfind(kClaimTag);
  if (at == std::string::npos || at == 0) return false;
  *original = base.substr(0, at);
  const std::string who = base.substr(at + sizeof(kClaimTag) - 1);
  const size_t dot = who.find('.');
  const size_t mine = claimant.find('.');
  *ours = false;
  if (dot == std::string::npos || who.compare(0, dot, claimant, 0, mine) != 0 || dot != mine) {
    return true;
  }
  char *end = nullptr;
  const long pid = std::strtol(who.c_str() + dot + 1, &end, 10);
  const unsigned long long start = *end == '.' ? std::strtoull(end + 1, nullptr, 10) : 0;
  if (pid <= 0) return true;
  *ours = pid == getpid() || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ||
          (start != 0 && WatchStartOf(pid) != start);
  return true;
}

// Whether base looks like a file another client (or this one) is still
// writing under a temporary name: such a file is never taken.
bool WatchLooksTemporary(const std::string &base) {
  static const char *const kSuffixes[] = {".part",       ".tmp",     ".filepart",
                                          ".crdownload", ".partial", "~"};
  if (base.rfind(".cvxfer-", 0) == 0 || base.find(".cvxfer-") != std::string::npos) return true;
  for (const char *suffix : kSuffixes) {
    const size_t n = std::strlen(suffix);
    if (base.size() > n && base.compare(base.size() - n, n, suffix) == 0) return true;
  }
  return base.rfind("~$", 0) == 0 || base.rfind(".~", 0) == 0;
}

// The state a watch keeps between cycles: files seen but not yet complete
// (on disk, in List), and what it has said once.
struct WatchState {
  WatchList *List = nullptr;  // the last listing, and the files seen not yet complete
  std::string Claimant;
  bool NoClaims = false;     // the server refuses renames: the journal alone guards
  bool SaidNoFacts = false;  // said that size and time are not told
  bool More = false;         // the last cycle stopped at its bound
  int Attempt = 0;           // connections tried since the last listing (WatchComeBack)
  int Files = 0;
  int Failed = 0;
  long long Bytes = 0;
};

// Deletes from, or moves it into after.MoveTo under the name of path.
// Returns 0, or -1 (said).
int WatchDispose(FtpSession *session, const FtpCVAfter &after, const std::string &path,
                 const std::string &from) {
  if (after.Delete) return session->Remote->Delete(session, from.c_str());
  const std::string target = std::string(after.MoveTo) + "/" + CVBaseOf(path);
  return session->Remote->Rename(session, from.c_str(), target.c_str());
}

// Gives the file claimed as from its name path back, unless another file
// took that name meanwhile (a rename would replace that one). Returns 0
// when renamed, 1 when the name is taken, -1 when the rename failed.
int WatchGiveBack(FtpSession *session, const std::string &from, const std::string &path) {
  RemoteStat there;
  session->Remote->Stat(session, path.c_str(), &there);
  if (there.Size != UINT64_MAX || !there.Mtime.empty()) return 1;
  return session->Remote->Rename(session, from.c_str(), path.c_str()) == 0 ? 0 : -1;
}

// Done with a file whose message is committed: delete it (and its done
// file) or move them, or give a claimed file its name back. A failure
// leaves the claim, which the next cycle finishes.
void WatchFinish(FtpSession *session, const WatchIn &watch, const std::string &path,
                 const std::string &from, bool claimed) {
  const FtpCVAfter &after = watch.After;
  const int failure = session->Run.Failure;
  if (after.Delete || after.MoveTo != nullptr) {
    // The done file goes first: left behind by its file, it would mark the
    // next file of that name complete at once, while a claim left behind
    // is finished by the next cycle. One gone already is no matter.
    const std::string done = watch.DoneSuffix != nullptr ? path + watch.DoneSuffix : "";
    if (!done.empty() && WatchDispose(session, after, done, done) != 0 &&
        !session->Ctl.Connected) {
      session->Run.Failure = failure;
      return;
    }
    if (WatchDispose(session, after, path, from) != 0) {
      std::printf("cvxfer: [%s] is on the queue but stays on the server: it could not be %s\n",
                  FtpPrintable(path).c_str(), after.Delete ? "deleted" : "moved");
    }
  } else if (claimed && WatchGiveBack(session, from, path) == 1) {
    // The name's new file is the one to leave; this one is on the queue.
    std::printf("cvxfer: [%s] was replaced while it was taken; the file taken is deleted\n",
                FtpPrintable(path).c_str());
    session->Remote->Delete(session, from.c_str());
  }
  std::fflush(stdout);
  session->Run.Failure = failure;
}

// Claims path by renaming it to this watcher's claim name. Returns 1 when
// claimed (*from the claim name), 0 when the file is taken without a claim
// (a server that refuses renames; said once), -1 when it is gone (another
// watcher claimed it) or the server went away.
int WatchClaim(FtpSession *session, WatchState *state, const std::string &path, std::string *from) {
  *from = path;
  if (state->NoClaims) return 0;
  const std::string claim = path + kClaimTag + state->Claimant;
  const int failure = session->Run.Failure;
  if (session->Remote->Rename(session, path.c_str(), claim.c_str()) == 0) {
    *from = claim;
    return 1;
  }
  session->Run.Failure = failure;
  if (!session->Ctl.Connected) return -1;
  RemoteStat again;
  session->Remote->Stat(session, path.c_str(), &again);
  if (again.Size == UINT64_MAX && again.Mtime.empty()) return -1;
  state->NoClaims = true;
  std::printf(
      "cvxfer: the server refuses to rename files; only the journal keeps this watch from "
      "taking a file twice\n");
  std::fflush(stdout);
  return 0;
}

// Puts the file got from from (named path) on the queue with its journal
// record, both in one unit of work. Returns 0 when both are committed,
// 1 when another watcher's record came first (its message is the one), -1
// after a failure (nothing is left of the attempt).
int WatchPutAndRecord(FtpSession *session, const std::string &path, const std::string &from,
                      const RemoteStat &stat, const CVRecord &record, long long *bytes) {
  // Another file under a key taken before gets an identifier of its own.
  const std::string of = record.Replace ? record.Key + "\n" + record.Unique : record.Key;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(of.data()), of.size(), digest);
  CVGetOptions opts;
  opts.CorrelId = digest;
  opts.Expected = stat.Size;
  return CVGetAndRecord(session, from.c_str(), opts, path, record, bytes);
}

// Takes the complete file path (base in absDir), claimed already or not.
void WatchTake(FtpSession *session, const WatchIn &watch, WatchState *state,
               const std::string &path, const RemoteStat &stat, const CVRecord &record,
               const std::string &claimedAs) {
  std::string from = claimedAs;
  int claimed = claimedAs.empty() ? WatchClaim(session, state, path, &from) : 1;
  // Without a claim a record may be replaced by two watchers at once.
  if (claimed < 0 || (claimed == 0 && record.Replace)) return;
  long long bytes = 0;
  const int saved = session->Run.Failure;
  session->Run.Failure = 0;
  const int put = WatchPutAndRecord(session, path, from, stat, record, &bytes);
  if (put == 0) {
    state->Files++;
    state->Bytes += bytes;
  } else if (put < 0) {
    state->Failed++;
    // A refused file is given its name back; after a lost connection, or
    // when a new file took the name, the claim stays and the next cycle
    // finishes it.
    if (claimed > 0 && session->Ctl.Connected) WatchGiveBack(session, from, path);
    session->Run.Failure = saved;
    return;
  }
  session->Run.Failure = saved;
  // Another watcher's record came first: the file is that one's to finish
  // once its unit of work commits. Finished here, it would be gone even
  // when that unit of work is backed out (killed, or refused at commit).
  if (put == 1) return;
  WatchFinish(session, watch, path, from, claimed > 0);
}

// Size and time of dir + entry's name: as its listing told them, else
// asked of the server.
RemoteStat WatchStatOf(FtpSession *session, const std::string &dir, const RemoteEntry &entry) {
  if (entry.Told) return entry.Stat;
  RemoteStat stat;
  session->Remote->Stat(session, (dir + std::string(entry.Name)).c_str(), &stat);
  return stat;
}

// Finishes a claim of this watcher found in a listing (claim, the entry
// listed in dir, names the file original): taken already when the journal
// says so, else taken now. A rename keeps size and time, so the claim's
// key is the one its file was recorded under.
void WatchRecover(FtpSession *session, const WatchIn &watch, WatchState *state,
                  const std::string &dir, const std::string &absDir, const RemoteEntry &claim,
                  const std::string &original) {
  const RemoteStat stat = WatchStatOf(session, dir, claim);
  CVRecord record{CVJournalKey(session, absDir, original, stat), stat.Unique};
  const std::string claimPath = dir + std::string(claim.Name);
  const int look = CVJournalLook(session, record);
  if (look == CV_TAKEN) {
    WatchFinish(session, watch, dir + original, claimPath, true);
  } else {
    record.Replace = look == CV_TAKEN_ANOTHER;
    WatchTake(session, watch, state, dir + original, stat, record, claimPath);
  }
}

// Whether the file base of dir (size and time in stat) has been complete
// for long enough: unchanged in two listings at least SettleSeconds apart.
bool WatchSettled(const WatchIn &watch, WatchState *state, const std::string &dir,
                  std::string_view base, const RemoteStat &stat) {
  if (watch.DoneSuffix != nullptr) return true;  // its done file says so
  const long long seen = WatchListSeen(state->List, dir, base, stat, FtpNowMs());
  if (watch.SettleSeconds == 0) return true;
  return seen >= watch.SettleSeconds * 1000LL;
}

// Looks at one listed entry of dir: takes it when it matches glob, is
// complete and was not taken before. Returns true when it was taken.
bool WatchConsider(FtpSession *session, const WatchIn &watch, WatchState *state,
                   const std::string &dir, const std::string &absDir, const std::string &glob,
                   const RemoteEntry &entry) {
  const std::string base(entry.Name);
  if (WatchLooksTemporary(base) || fnmatch(glob.c_str(), base.c_str(), FNM_PERIOD) != 0) {
    return false;
  }
  const std::string suffix = watch.DoneSuffix != nullptr ? watch.DoneSuffix : "";
  if (!suffix.empty() && (base.size() > suffix.size() &&
                          base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)) {
    return false;  // a done file goes with its file
  }
  if (base.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  if (!suffix.empty() && WatchListHas(state->List, base + suffix) != 1) return false;
  const std::string path = dir + base;
  const RemoteStat stat = WatchStatOf(session, dir, entry);
  if (suffix.empty() && (stat.Size == UINT64_MAX || stat.Mtime.empty())) {
    if (!state->SaidNoFacts) {
      std::printf(
          "cvxfer: the server tells neither size nor time of %s; with -D a done file "
          "can say when a file is complete\n",
          FtpPrintable(path).c_str());
      state->SaidNoFacts = true;
    }
    return false;
  }
  CVRecord record{CVJournalKey(session, absDir, base, stat), stat.Unique};
  const int look = CVJournalLook(session, record);
  // Another file under a name, size and time taken before is taken too,
  // but only under a claim (see WatchTake).
  if (look == CV_TAKEN || (look == CV_TAKEN_ANOTHER && state->NoClaims)) {
    // Taken, and still here: only a server that refused the claim, or a
    // run that ended before its clean-up, leaves it so.
    if (state->NoClaims && (watch.After.Delete || watch.After.MoveTo != nullptr)) {
      WatchFinish(session, watch, path, path, false);
    }
    WatchListForget(state->List, dir, base);
    return false;
  }
  if (!WatchSettled(watch, state, dir, base, stat)) return false;
  WatchListForget(state->List, dir, base);
  record.Replace = look == CV_TAKEN_ANOTHER;
  const int files = state->Files;
  WatchTake(session, watch, state, path, stat, record, "");
  return state->Files > files;
}

// Forgets the journal's records of files of absDir the last listing did
// not name, or named with another size or time: a file that comes back
// under that name later is a new file.
void WatchPrune(FtpSession *session, WatchList *list, const std::string &absDir) {
  const std::string prefix = kCVJournalIn + session->Remote->Server(session) + "\n" + absDir + "/";
  char cursor[CV_JOURNAL_KEY_MAX];
  char value[64];
  CVLONG cursorLength = 0, length = 0, cc = -1, reason = -1;
  for (;;) {
    CVJNEXT(session->Queue.Hconn, static_cast<CVLONG>(prefix.size()), prefix.data(), cursor,
            &cursorLength, sizeof(value), value, &length, &cc, &reason);
    if (cc == CVCC_FAILED) break;
    // The walk goes on from the key in cursor, so removing it is safe.
    const std::string_view key(cursor, static_cast<size_t>(cursorLength));
    const std::string_view base =
        key.substr(prefix.size(), key.find('\n', prefix.size()) - prefix.size());
    // A subdirectory's file is its own directory's to prune (another
    // pattern may watch it).
    if (base.find('/') != std::string_view::npos) continue;
    // A file under a claim (this watcher's, one killed, another's at work)
    // is still there, whatever file took its name since. A record of a
    // version the name no longer holds goes: kept as long as the name is,
    // the records of a file rewritten in place would grow without end. A
    // list that cannot be read proves nothing gone.
    RemoteStat now;
    int listed = WatchListHasPrefix(list, std::string(base) + kClaimTag);
    if (listed == 0) listed = WatchListHas(list, base, &now);
    if (listed < 0) return;
    if (now.Size != UINT64_MAX && CVJournalKey(session, absDir, std::string(base), now) != key) {
      listed = 0;
    }
    if (listed == 0) CVJDEL(session->Queue.Hconn, cursorLength, cursor, CVJO_NONE, &cc, &reason);
  }
}

// Lists dir into the watch's list, each name as it arrives. Returns 0, or
// -1 when the listing cannot be trusted whole (nothing is taken from it).
int WatchListDir(FtpSession *session, WatchList *list, const std::string &dir) {
  if (WatchListBegin(list) != 0) return -1;
  bool kept = true;
  const int listed = session->Remote->Scan(
      session, dir.empty() ? nullptr : dir.c_str(), [&](const RemoteEntry &entry) {
        RemoteEntry base = entry;
        const size_t slash = entry.Name.rfind('/');  // NLST may name dir/name
        if (slash != std::string_view::npos) base.Name.remove_prefix(slash + 1);
        if (base.Name.empty()) return 0;
        kept = WatchListAdd(list, base) == 0;
        return kept ? 0 : -1;
      });
  const bool ended = WatchListEnd(list) == 0;
  return listed == 0 && kept && ended ? 0 : -1;
}

// One cycle of one pattern: lists its directory, finishes this watcher's
// claims, then takes what is complete, at most the cycle's bound.
void WatchScan(FtpSession *session, const WatchIn &watch, WatchState *state, const char *pattern,
               int *claims) {
  const std::string dir = CVDirOf(pattern);
  const std::string glob = CVBaseOf(pattern);
  const int failure = session->Run.Failure;
  if (WatchListDir(session, state->List, dir) != 0) {
    session->Run.Failure = failure;
    return;
  }
  FtpEventAlive();  // a listing completed
  state->Attempt = 0;
  const std::string absDir = CVDirectory(session, dir + "x");
  const auto halted = [session] { return !session->Ctl.Connected || WatchStopping(session); };
  const int recovered = WatchListEach(state->List, kClaimTag, [&](const RemoteEntry &entry) {
    std::string original;
    bool ours = false;
    if (WatchIsClaim(std::string(entry.Name), state->Claimant, &original, &ours) && ours) {
      WatchRecover(session, watch, state, dir, absDir, entry, original);
    }
    return halted() ? 1 : 0;
  });
  if (recovered != 0) return;
  const int considered = WatchListEach(state->List, "", [&](const RemoteEntry &entry) {
    if (*claims >= kClaimsPerCycle) {
      state->More = true;
      return 2;
    }
    if (WatchConsider(session, watch, state, dir, absDir, glob, entry)) ++*claims;
    return halted() ? 1 : 0;
  });
  if (considered == 1 || considered < 0) return;  // stopped, or the list went unreadable
  WatchListForgetGone(state->List, dir);  // what is no longer listed is no longer pending
  WatchPrune(session, state->List, absDir);
}

}  // namespace

int WatchGet(FtpSession *session, const WatchIn &watch, WatchReconnect reconnect) {
  // Nothing could be taken without the queue, and a claim made before its
  // queue manager is known names none: no other watcher would ever finish
  // it after a kill. A service starts the watch again.
  if (!FtpCVQueueOpen(session)) {
    std::printf("Not putted on queue %s\n",
                ReasonString(FtpCVConnected(session) ? CVRC_HOBJ_ERROR : CVRC_HCONN_ERROR));
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_QUEUE);
    return 1;
  }
  WatchState state;
  if (WatchListOpen(&state.List) != 0) {
    FtpFail(session, FTP_EXIT_FAILED);
    return 1;
  }
  const std::unique_ptr<WatchList, void (*)(WatchList *)> closer(state.List, WatchListClose);
  state.Claimant = WatchClaimant(session);
  std::printf("cvxfer: watching every %d s; Ctrl-C ends the watch\n", watch.IntervalSeconds);
  std::fflush(stdout);
  FtpEventStatus("watching the server for files");
  while (!WatchStopping(session)) {
    if (!session->Ctl.Connected && !WatchComeBack(session, reconnect, &state.Attempt)) break;
    state.More = false;
    int claims = 0;
    for (int p = 0; p < watch.Count && session->Ctl.Connected && !WatchStopping(session); p++) {
      WatchScan(session, watch, &state, watch.Patterns[p], &claims);
    }
    // An idle wait that passed is progress too: the watch is alive.
    if (!state.More && session->Ctl.Connected && FtpPause(watch.IntervalSeconds * 1000LL)) {
      FtpEventAlive();
    }
  }
  std::printf("cvxfer: mget: %d files, %lld bytes, %d failed\n", state.Files, state.Bytes,
              state.Failed);
  std::fflush(stdout);
  if (FtpInterruptPending() && !session->Run.Interrupted) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  }
  // Ended with a failure, so that a service manager starts it again.
  if (session->Queue.Broken && !session->Run.Interrupted) {
    std::printf("cvxfer: the connection to the queue manager is broken; the watch ends\n");
    std::fflush(stdout);
    FtpFail(session, FTP_EXIT_QUEUE);
    return 1;
  }
  return session->Run.Interrupted ? 1 : 0;
}

namespace {

// ---- mput -w ----


// Why a store failed, as the watch sorts it: for a while (the server or
// the connection), for good (the server refuses this message), or because
// the watch was asked to stop.
enum WatchFault { kTransient, kPermanent, kStopped };

WatchFault WatchSortFailure(FtpSession *session) {
  if (session->Run.Interrupted || FtpInterruptPending()) return kStopped;
  return FtpFailureTransient(session) ? kTransient : kPermanent;
}

// The account of one mput -w.
struct WatchOut {
  CVBackout Backout;
  long Files = 0;
  long long Bytes = 0;
  long Moved = 0;
  int Attempt = 0;  // connections tried since a message was stored or none came
};


// A message that failed for good: the backout rule (backout.h) for the watch.
bool WatchRefused(FtpSession *session, WatchOut *out, CVTaken *t, const char *why,
                  bool ownFault) {
  return CVRefused(session, out->Backout, t, why, ownFault, "the watch", &out->Moved);
}

// Takes and stores one message, waiting a second for one. Returns 1 when it
// went (or none came), 0 when the server is to be reached again, -1 when the
// watch stops.
int WatchPutOne(FtpSession *session, WatchOut *out) {
  CVTaken t;
  t.WaitMs = 1000;
  const int failure = session->Run.Failure;
  session->Run.Failure = 0;
  if (CVTakeMessage(session, &t) != 0) {
    const bool empty = session->Run.Failure == FTP_EXIT_NO_MESSAGE;
    session->Run.Failure = empty ? failure : session->Run.Failure;
    if (empty) FtpEventAlive();  // an idle wait passed
    if (empty) out->Attempt = 0;
    return empty ? 1 : -1;
  }
  if (!CVNameAfter(&t)) {
    const bool goOn = WatchRefused(session, out, &t, "no usable cv-file-name", true);
    if (goOn) session->Run.Failure = failure;
    return goOn ? 1 : -1;
  }
  if (CVStoreMessage(session, &t) && !session->Run.Interrupted && !FtpInterruptPending()) {
    if (CVSettle(session, &t, true) != 0) return -1;
    out->Attempt = 0;
    out->Files++;
    out->Bytes += t.Total;
    session->Run.Failure = failure;
    return 1;
  }
  switch (WatchSortFailure(session)) {
    case kStopped:
      CVSettle(session, &t, false);
      return -1;
    case kTransient:
      CVSettle(session, &t, false);
      session->Run.Failure = failure;
      // Nothing more is taken until the server answers again.
      if (session->Ctl.Connected) session->Remote->Close(session);
      return 0;
    case kPermanent:
      break;
  }
  const bool goOn = WatchRefused(session, out, &t, "refused by the server", false);
  if (goOn) session->Run.Failure = failure;
  return goOn ? 1 : -1;
}

}  // namespace

int WatchPut(FtpSession *session, long count, WatchReconnect reconnect) {
  WatchOut out;
  out.Backout = CVBackoutOf(session);
  const int safePut = session->Opt.SafePut;
  session->Opt.SafePut = 1;  // a watch stores only through temporary names
  std::printf("cvxfer: serving the queue; Ctrl-C ends the watch\n");
  std::fflush(stdout);
  FtpEventStatus("serving the queue onto the server");
  int last = 1;
  while (!WatchStopping(session) && (count == 0 || out.Files < count)) {
    if (!session->Ctl.Connected && !WatchComeBack(session, reconnect, &out.Attempt)) break;
    last = WatchPutOne(session, &out);
    if (last < 0) break;
  }
  session->Opt.SafePut = safePut;
  std::printf("cvxfer: mput: %ld files, %lld bytes, %ld moved to the backout queue\n", out.Files,
              out.Bytes, out.Moved);
  std::fflush(stdout);
  if (FtpInterruptPending() && !session->Run.Interrupted) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  }
  return last < 0 || session->Run.Interrupted ? 1 : 0;
}
