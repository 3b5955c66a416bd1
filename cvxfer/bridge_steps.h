// bridge_steps.h - the steps of get and put, for the bridge and the watch
// modes that repeat them (not for the command handlers: they use bridge.h).
#ifndef CVXFER_BRIDGE_STEPS_H
#define CVXFER_BRIDGE_STEPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "ftp_session.h"
#include "remote.h"

struct FtpCVAfter;  // bridge.h

// How one file is got.
struct CVGetOptions {
  const FtpCVAfter *After = nullptr;  // done with the remote file once its message is safe
  const CVBYTE *CorrelId = nullptr;   // the message's correlation identifier (null: none)
  uint64_t Expected = UINT64_MAX;     // the size the server told (UINT64_MAX: unknown)
  bool Syncpoint = false;  // the message joins the unit of work: the caller commits, After waits
  const char *RecordAs = nullptr;  // the path the message's properties name (null: the one got)
  CVBYTE *MsgId = nullptr;         // receives the new message's identifier (null: not wanted)
};

// Retrieves remoteName into a message on the open queue as opts says;
// *bytes gets its size once it is on the queue (or in the unit of work).
// Tells of the taken event, but under syncpoint: the caller tells of it
// once the unit of work is committed. Returns 0, or 1 after saying why not
// (nothing was put).
int CVGetFile(FtpSession *session, const char *remoteName, const CVGetOptions &opts,
              long long *bytes);

// The journal's keys of files taken from a server begin with this.
inline constexpr char kCVJournalIn[] = "cvxfer-in\n";

// The journal key of a file: the server, its directory, its name, its size
// and its time: another version of it is another key.
std::string CVJournalKey(FtpSession *session, const std::string &absDir, const std::string &base,
                         const RemoteStat &stat);

// Whether the journal holds key: the file was taken before.
bool CVJournaled(FtpSession *session, const std::string &key);

// A record of the journal: its key, the server's unique fact of the file
// ("" when not told; kept in the record's value), and whether it replaces
// a record of the same key (a file taken before under the same name, size
// and time, that the unique fact tells is another file).
struct CVRecord {
  std::string Key;
  std::string Unique;
  bool Replace = false;
};

// What the journal says of a file: not taken, taken, or taken under its
// key but another file now (its record names another unique fact).
enum { CV_NOT_TAKEN = 0, CV_TAKEN = 1, CV_TAKEN_ANOTHER = 2 };
int CVJournalLook(FtpSession *session, const CVRecord &record);

// Records record in the journal in the unit of work that holds the message
// of path, and commits both. Returns 0 when both are committed, 1 when
// another run's record came first (its message is the one; this unit of
// work is backed out), -1 after a failure (backed out, said and recorded).
int CVRecordAndCommit(FtpSession *session, const std::string &path, const CVRecord &record);

// Gets from (the file of path, claimed under another name or not) as opts
// says, under syncpoint, and records record in the journal in the same
// unit of work, then commits both; tells of the taken event. Returns as
// CVRecordAndCommit does, -1 also when the get failed (backed out).
int CVGetAndRecord(FtpSession *session, const char *from, CVGetOptions opts,
                   const std::string &path, const CVRecord &record, long long *bytes);

// Deletes the remote file name or moves it into after->MoveTo; called only
// once its message is safely on the queue. Returns 0, or 1 (the file stays
// where it was; the message stays on the queue).
int CVFinishRemote(FtpSession *session, const char *name, const FtpCVAfter *after);

// The directory part of path with its slash ("" for none), and the rest.
std::string CVDirOf(const std::string &path);
std::string CVBaseOf(const std::string &path);

// Where path lies: its directory part made absolute against the current
// directory (as the server named it), without a trailing slash.
std::string CVDirectory(FtpSession *session, const std::string &path);

// Looks at the first message of the open queue that matches md's
// identifiers, without taking it and without reading its body. Returns its
// property list (length in *propLength; valid until the next look) and
// leaves the completion code and the reason in *cc and *reason.
const CVCHAR *CVBrowseFirst(FtpSession *session, CVMD *md, CVLONG *propLength, CVLONG *cc,
                            CVLONG *reason);

// A file name that a message's property gives: a base name only, so that a
// message never chooses where a file goes.
bool CVSafeBaseName(const char *name);

// A message taken for a put: held under syncpoint, its body streamed.
struct CVTaken {
  CVMD Md = CVMD_DEFAULT;
  CVHMSG Hmsg = CVHM_UNUSABLE_HMSG;
  CVLONG Length = 0;      // of the body (a group: of its first segment)
  long long Total = 0;    // of the file: the body, or every segment of a group once read
  CVLONG Segment = 0;     // the group's segment being read
  CVLONG PropLength = 0;
  std::vector<CVCHAR> Props = std::vector<CVCHAR>(CV_PROPERTIES_LENGTH_MAX);
  std::string Name;       // the remote name chosen
  CVLONG WaitMs = 0;      // how long the take waits for a message (0: not at all)
  long long StartMs = 0;  // when it was taken (FtpNowMs)
  // An empty queue ends a loop of puts: recorded, not said.
  bool EmptyIsEnd = false;
};

// Takes the message (the one whose identifier t->Md names, or any) under
// syncpoint and opens its body as a stream. Returns 0, or 1 after saying
// why not (the class recorded; an empty queue is FTP_EXIT_NO_MESSAGE).
int CVTakeMessage(FtpSession *session, CVTaken *t);

// The message's own name (cv-file-name) into t->Name. Returns false after
// saying why there is none (no name, or one that names a directory).
bool CVNameAfter(CVTaken *t);

// Stores the taken message as t->Name (safely when the session asks),
// finishing instead what an earlier store of it left. Returns true when the
// file is whole on the server.
bool CVStoreMessage(FtpSession *session, CVTaken *t);

// Commits the message's removal after a whole store, else backs it out;
// tells of either (the stored or the backed-out event). Returns 0 when it
// was committed.
int CVSettle(FtpSession *session, CVTaken *t, bool stored);

#endif
