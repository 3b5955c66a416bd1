// backend.h - what a queue manager's storage must provide. The calls of
// corvane.h check handles, options and arguments, wait for messages, and
// then dispatch here, one Backend per connected queue manager; cvadmin uses
// the same entries for administration. Arguments reaching a Backend are
// therefore valid: lengths are not negative, a buffer is there when its
// length is not 0, a queue got from is local.
//
// Every entry returns a reason code: 0 for success, else the CVRC_* value
// the call reports (CVRC_TRUNCATED_MSG_ACCEPTED as a warning). Where the
// reason comes from a failure of the store, the system or the broker, the
// entry records what they said with SetCause (cause.h).
//
// Two kinds exist: the local store (store.h) and queues on an
// AMQP broker (amqp_backend.cpp). Where the broker's own model differs the
// entries below say so; the calls of corvane.h promise the common part.
// A Backend is used by one thread at a time (the front's lock).
#ifndef CORVANE_BACKEND_H
#define CORVANE_BACKEND_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cause.h"
#include "corvane.h"
#include "registry.h"

namespace corvane {

inline constexpr CVLONG kDefaultMaxDepth = 5000;
inline constexpr CVLONG kDefaultMaxMsgLength = 104857600;

// Get's reason when a message is there but does not match the identifiers
// asked for, and looking again cannot help: a broker offers only the head
// of a queue, and every look would hand that back once more and raise its
// delivery count. The front reports it as CVRC_NO_MSG_AVAILABLE at once,
// even when the get could wait.
inline constexpr CVLONG kHeadDoesNotMatch = -CVRC_NO_MSG_AVAILABLE;

// Definition of a queue.
struct QueueDef {
  std::string Name;
  CVLONG Type = CVQT_LOCAL;  // CVQT_LOCAL or CVQT_REMOTE
  CVLONG MaxDepth = kDefaultMaxDepth;
  CVLONG MaxMsgLength = kDefaultMaxMsgLength;
  std::string RemoteQmgr;  // remote definitions: where puts go
  std::string RemoteQueue;
  // For the application's handling of a message that keeps coming back: the
  // backout count at which it belongs on the backout queue (0: never), and
  // that queue's name ("": none). Kept and told, never acted on here.
  CVLONG BackoutThreshold = 0;
  std::string BackoutQueue;
};

// Checks the backout attributes of a definition: CVRC_Q_TYPE_ERROR for a
// negative threshold or a remote definition that has them,
// CVRC_OBJECT_NAME_ERROR for a backout queue that is no name, saying why.
CVLONG CheckBackout(const QueueDef &queue);

// One message as browse shows it.
struct MessageInfo {
  CVLONG Length = 0;
  CVMD Md = CVMD_DEFAULT;
  bool Held = false;     // in a unit of work
  bool Damaged = false;  // set aside: its data cannot be read
  std::string Props;     // its property list, packed as corvane.h says
};

// Get's option, set by the front only: the caller is in the middle of a
// group in logical order, and the get takes exactly segment
// md->MsgSeqNumber of group md->GroupId (CVGMO_ALL_MSGS_AVAILABLE and the
// rule that a group starts with 1 then do not apply).
inline constexpr CVLONG kNextInGroup = 1 << 30;

// Get's propBufferLength when the caller asked for no properties (CVGET):
// they are left out, and never make a message too long.
inline constexpr CVLONG kPropertiesNotAsked = -1;

// Property lists, packed as corvane.h describes them.
using Property = std::pair<std::string, std::string>;
// 0 when the length bytes at props are a valid list, else CVRC_FORMAT_ERROR
// with the rule broken as the cause.
CVLONG CheckProperties(CVLONG length, const CVCHAR *props);
// The pairs of a valid list, in order.
std::vector<Property> SplitProperties(const std::string &props);
std::string JoinProperties(const std::vector<Property> &pairs);
// The list props with the pairs of marks set, replacing values of the same
// names and adding new names at the end: CVRC_FORMAT_ERROR when that makes
// too many.
CVLONG MergeProperties(const std::string &props, const std::string &marks, std::string *merged);
// How many leading bytes of props are whole pairs that fit in length bytes.
size_t FitProperties(const std::string &props, CVLONG length);
// True for a name that a list may hold (names beginning with "cv-" are the
// queue manager's own).
bool ValidPropertyName(const std::string &name);

// Writes all n bytes at p to fd, going on after EINTR; false, with errno,
// when it cannot.
bool WriteAll(int fd, const char *p, size_t n);

// WriteFrom's answer when the descriptor it reads from failed.
inline constexpr CVLONG kSourceFailed = -2;

// A message body being written as it arrives: kept in memory while it is
// small, else in a file made by the owner's create function (called once,
// returning a read-write descriptor or -1 with errno). A file it made is
// closed, never removed, by its destructor: the owner decides its fate.
class Spool {
 public:
  Spool(size_t keepMax, bool writeBehind, std::function<int()> create)
      : keepMax_(keepMax), writeBehind_(writeBehind), create_(std::move(create)) {}
  ~Spool();
  Spool(const Spool &) = delete;
  Spool &operator=(const Spool &) = delete;
  // Appends n bytes. 0, CVRC_Q_SPACE_NOT_AVAILABLE or CVRC_RESOURCE_PROBLEM.
  CVLONG Write(const void *data, size_t n);
  // Appends what fd has now, at most max bytes (splice where it can); *moved
  // 0 at fd's end. kSourceFailed, with errno, when reading fd failed: the
  // spool is as it was.
  CVLONG WriteFrom(int fd, size_t max, size_t *moved);
  // Waits until every byte written is on disk.
  CVLONG Sync();
  // A new descriptor of the file (CVPUTREADFD): CVRC_FUNCTION_NOT_SUPPORTED
  // while the body is in memory, CVRC_RESOURCE_PROBLEM when none was made.
  CVLONG Dup(int *fd) const;
  bool InMemory() const { return fd_ < 0; }
  const std::string &Head() const { return head_; }  // the body while in memory
  int Fd() const { return fd_; }                     // the file, when there is one
  int64_t Length() const { return length_; }

 private:
  CVLONG Spill();
  CVLONG Failed(int err);
  void WriteBehind();

  size_t keepMax_;
  bool writeBehind_;
  std::function<int()> create_;
  std::string head_;
  int fd_ = -1;
  int pipe_[2] = {-1, -1};
  bool noSplice_ = false;
  int64_t length_ = 0;
  int64_t started_ = 0;  // bytes whose write to disk was started
};

// A message being put in pieces (CVPUTOPEN). Dropping one that was not
// completed abandons it, leaving nothing behind.
class PutStream {
 public:
  virtual ~PutStream() = default;
  // Appends data; the front has checked the length against MaxLength.
  virtual CVLONG Write(const void *data, size_t n) = 0;
  virtual CVLONG WriteFrom(int fd, size_t max, size_t *moved) = 0;
  // Puts the message as Backend::Put would, its data those written.
  virtual CVLONG Complete(CVMD *md, const std::string &props) = 0;
  // A new descriptor of the body's file (CVPUTREADFD).
  virtual CVLONG ReadFd(int *fd) = 0;
  // Makes the body written so far durable where it is kept (CVPUTSYNC).
  virtual CVLONG Sync() { return 0; }
  int64_t Length = 0;    // bytes written so far
  CVLONG MaxLength = 0;  // the destination queue's maximum message length
  QueueDef Destination;  // for TooBig's words
};

// A message being read in pieces (CVGETOPEN); it stays held in the unit of
// work whatever becomes of the stream.
class GetStream {
 public:
  virtual ~GetStream() = default;
  // The next bytes of the body, at most n; *got 0 at its end.
  virtual CVLONG Read(void *buffer, size_t n, size_t *got) = 0;
  // A new descriptor of the whole body, at its start.
  virtual CVLONG Fd(int *fd) {
    (void)fd;
    return CVRC_FUNCTION_NOT_SUPPORTED;
  }
  // The connection is about to go: the stream ends without reading on.
  virtual void Detach() {}
};

class Backend {
 public:
  // Ends the connection: backs out its open unit of work (on a broker,
  // closing the connection returns its deliveries).
  virtual ~Backend() = default;

  // Name of the queue manager, as recorded.
  virtual const std::string &Name() const = 0;

  // Fills def for the queue called name, or CVRC_UNKNOWN_OBJECT_NAME. A
  // broker knows only its queues' existence: their limits are those cvadmin
  // defined here, else the defaults, and every queue on it is local.
  virtual CVLONG LookupQueue(const std::string &name, QueueDef *def) = 0;

  // Puts length bytes of data on queue, enforcing its maximum message length
  // and depth, and stamps md (StampMessage). Without syncpoint the message is
  // visible to every getter, and durable when persistent, when Put returns;
  // with it the message joins the unit of work: invisible until Commit and
  // gone after Backout.
  // The store forwards a put to a remote definition to the queue manager
  // and queue it names, opened on first use and kept, under the same
  // syncpoint. The store checks the depth in its own transaction; the
  // broker enforces depth and length itself and answers CVRC_Q_FULL (a
  // negative confirm), CVRC_UNKNOWN_OBJECT_NAME (a returned message) or
  // CVRC_MSG_TOO_BIG_FOR_Q_MGR. On a broker a put under syncpoint is kept in
  // memory and published at Commit, so those answers come from Commit (a
  // group's later segment is often published by its put: see corvane.h).
  // md's group fields are checked (the front's CheckGroup); the broker
  // refuses a segment of a group without syncpoint,
  // CVRC_SYNCPOINT_NOT_AVAILABLE, since only a unit of work's publishing
  // at commit makes a group appear whole.
  // props is a checked property list kept with the message (the broker
  // publishes it as headers and refuses, CVRC_MSG_TOO_BIG_FOR_Q_MGR, one
  // that does not fit in a frame).
  virtual CVLONG Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                     CVLONG length, const std::string &props) = 0;

  // Takes, without waiting, the oldest visible message of queue whose
  // identifiers match those of md (all-zero ones match any) and that the
  // group options allow (MessageMatches; the store alone looks at a whole
  // group for CVGMO_ALL_MSGS_AVAILABLE), or answers
  // CVRC_NO_MSG_AVAILABLE. Options are those of CVGET: CVGMO_SYNCPOINT
  // holds the message for the unit of work, hidden from every other getter
  // until Commit removes it or Backout returns it with its backout count
  // raised; without it the message is gone for good when Get returns.
  // A message longer than bufferLength without CVGMO_ACCEPT_TRUNCATED_MSG
  // gives CVRC_TRUNCATED_MSG_FAILED: nothing is taken, *dataLength is the
  // full length and md the message's descriptor, and the next Get with that
  // md receives this message.
  // The store looks for a matching message among all of the queue's. The
  // broker hands out only the head of the queue: one that does not match
  // goes back and Get answers kHeadDoesNotMatch. It keeps a delivery that
  // was too long for the retry and returns it to the queue when the next
  // Get is for another queue. Its backout count is 1 for a redelivered
  // message unless the queue counts deliveries itself.
  // *props receives the message's property list when Get answers 0, a
  // truncation or CVRC_OBJECT_DAMAGED; a list longer than propBufferLength
  // makes the message too long like its data (not so kPropertiesNotAsked).
  // Fitting the list into the caller's buffer is the front's.
  virtual CVLONG Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                     void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                     std::string *props) = 0;

  // Opens a put stream to queue (a remote definition: to the queue it
  // names), checking what Put checks before any data; the message is put
  // by the stream's Complete under syncpoint as Put would.
  virtual CVLONG PutOpen(const QueueDef &queue, bool syncpoint,
                         std::unique_ptr<PutStream> *out) = 0;

  // Get under syncpoint (options hold CVGMO_SYNCPOINT) that opens a stream
  // on the message's data instead of copying them: *length receives the
  // full length. The data never make the message too long; its properties
  // do as for Get.
  virtual CVLONG GetOpen(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG *length,
                         CVLONG propBufferLength, std::string *props,
                         std::unique_ptr<GetStream> *out) = 0;

  // A browse get (CVGMO_BROWSE_FIRST or CVGMO_BROWSE_NEXT in options): the
  // oldest visible matching message after *cursor (after none for
  // BROWSE_FIRST), returned as Get would without taking it; *cursor then
  // names it, except after CVRC_TRUNCATED_MSG_FAILED. *dataLength is the
  // full length even when truncation is accepted. A message whose data
  // cannot be read is set aside as Get would. The broker cannot browse.
  virtual CVLONG BrowseMessage(const QueueDef &queue, CVMD *md, CVLONG options, int64_t *cursor,
                               CVLONG bufferLength, void *buffer, CVLONG *dataLength,
                               CVLONG propBufferLength, std::string *props) {
    (void)queue, (void)md, (void)options, (void)cursor, (void)bufferLength, (void)buffer;
    (void)dataLength, (void)propBufferLength, (void)props;
    return CVRC_FUNCTION_NOT_SUPPORTED;
  }

  // Sets the properties marks (a checked list) on the message with msgId
  // that this connection holds in its unit of work, durably and outside
  // it: CVRC_NO_MSG_LOCKED when it holds none. The broker cannot change a
  // delivered message: it confirms with a round trip that the delivery is
  // still held, answering CVRC_FUNCTION_NOT_SUPPORTED (0 for empty marks),
  // or CVRC_BACKED_OUT when the broker has taken it back (its
  // consumer_timeout passed): the unit of work is then over, as after
  // Backout, and the next Commit answers CVRC_BACKED_OUT.
  virtual CVLONG Mark(const CVBYTE *msgId, const std::string &marks) {
    (void)msgId, (void)marks;
    return CVRC_FUNCTION_NOT_SUPPORTED;
  }

  // Seconds since the oldest message of a local queue was put, -1 when it
  // holds none (held and damaged messages count, as for Depth). A broker
  // cannot tell without delivering it: CVRC_FUNCTION_NOT_SUPPORTED.
  virtual CVLONG OldestAge(const QueueDef &queue, CVLONG *seconds) {
    (void)queue, (void)seconds;
    return CVRC_FUNCTION_NOT_SUPPORTED;
  }

  // The number of messages on a local queue. The store counts the ones held
  // by units of work too (they come back on Backout); the broker counts only
  // those ready for delivery.
  virtual CVLONG Depth(const QueueDef &queue, CVLONG *depth) = 0;

  // Ends the unit of work. Commit removes what was got and shows what was
  // put; Backout returns what was got and drops what was put. Without a
  // unit of work both do nothing.
  // The store first commits (or backs out) the queue managers its puts were
  // forwarded to, each on its own: a failure there is returned, yet the
  // rest still commits. The broker publishes the puts at Commit in order and
  // stops at the first refused one, leaving the gets held; after a
  // transport failure its connection is broken and the broker backs the
  // unit of work out when the connection goes.
  virtual CVLONG Commit() = 0;
  virtual CVLONG Backout() = 0;

  // The journal (corvane.h), keys and values checked by the front: a key
  // of 1 to CV_JOURNAL_KEY_MAX bytes, a value of at most
  // CV_JOURNAL_VALUE_MAX. JournalPut adds key's record, or replaces it with
  // CVJO_REPLACE, at once or with CVJO_SYNCPOINT in the unit of work:
  // CVRC_JOURNAL_KEY_EXISTS when the record is there or another unit of
  // work holds the key. JournalDelete removes it the same way
  // (CVRC_JOURNAL_KEY_NOT_FOUND). JournalGet reads the value this
  // connection sees. JournalNext reads the committed record of the first
  // key after *key (after none when *key is empty) that begins with
  // prefix, into *key and *value. Commit and Backout end the journal's
  // part of the unit of work too: the store in the same transaction as the
  // messages, the broker in its journal store after the messages.
  virtual CVLONG JournalPut(const std::string &key, const std::string &value, CVLONG options) = 0;
  virtual CVLONG JournalGet(const std::string &key, std::string *value) = 0;
  virtual CVLONG JournalDelete(const std::string &key, CVLONG options) = 0;
  virtual CVLONG JournalNext(const std::string &prefix, std::string *key, std::string *value) = 0;

  // Administration (cvadmin).
  // Defines a queue: CVRC_OBJECT_NAME_ERROR, CVRC_REMOTE_Q_NAME_ERROR,
  // CVRC_OBJECT_ALREADY_EXISTS. A broker has no remote definitions
  // (CVRC_Q_TYPE_ERROR) and caps the maximum message length at what it
  // accepts by default.
  virtual CVLONG DefineQueue(const QueueDef &queue) = 0;
  // Gives the queue queue.Name the limits and backout attributes of queue:
  // CVRC_UNKNOWN_OBJECT_NAME, CVRC_Q_TYPE_ERROR (a remote definition, a
  // negative value) or CVRC_OBJECT_NAME_ERROR. Messages already there stay,
  // even beyond a new maximum depth or length. A broker keeps the maximum
  // depth a queue was declared with: another is CVRC_Q_TYPE_ERROR.
  virtual CVLONG AlterQueue(const QueueDef &queue) = 0;
  // Deletes an empty queue: CVRC_UNKNOWN_OBJECT_NAME, CVRC_Q_NOT_EMPTY.
  virtual CVLONG DeleteQueue(const std::string &name) = 0;
  // All queues, by name. A broker cannot list its queues: the list holds
  // those defined here and the default queue, as far as they still exist.
  virtual CVLONG ListQueues(std::vector<QueueDef> *queues) = 0;
  // The messages of a queue in order, taking none. A broker can show a
  // message only by delivering it: CVRC_OPTION_NOT_VALID_FOR_TYPE.
  virtual CVLONG Browse(const std::string &name, std::vector<MessageInfo> *messages) = 0;
  // Removes every message that no unit of work holds; *removed tells how
  // many. Damaged messages stay. (A broker also deletes the queue of each
  // group whose first segment it removes.)
  virtual CVLONG Clear(const std::string &name, CVLONG *removed) = 0;
  // Removes the damaged messages of a queue (the store sets aside a
  // message whose data cannot be read; a broker has none).
  virtual CVLONG ClearDamaged(const std::string &name, CVLONG *removed) {
    QueueDef def;
    *removed = 0;
    return LookupQueue(name, &def);
  }
};

// Checks the store of a local queue manager, changing nothing: the
// database's integrity, damaged messages, messages whose body file is
// missing or short, body files no message names. Each problem is a line in
// *problems; *summary says what the store holds. Returns 0 (problems or
// not) or a reason when the check itself cannot run.
CVLONG CheckLocalStore(const QmgrDef &def, std::string *summary,
                       std::vector<std::string> *problems);

// Salvages the store of a local queue manager that no process uses: a
// database that fails its check is rebuilt from the rows that can still be
// read (the damaged files are kept beside it), messages whose body is
// missing or short are marked damaged, and body files no message names are
// moved to "lost/". Each thing done is a line in *done. CVRC_OBJECT_IN_USE
// while a connection is alive.
CVLONG SalvageLocalStore(const QmgrDef &def, std::vector<std::string> *done);

// Opens the backend of a local queue manager. Returns 0 or a reason.
CVLONG OpenLocalBackend(const QmgrDef &def, std::unique_ptr<Backend> *out);

// Opens the store that keeps the journal of a queue manager on a broker,
// "journal" in its directory, making it on first use.
CVLONG OpenJournalStore(const QmgrDef &def, std::unique_ptr<Backend> *out);

// Opens the backend of a queue manager whose queues live on an AMQP broker.
CVLONG OpenAmqpBackend(const QmgrDef &def, std::unique_ptr<Backend> *out);

// Opens the backend that def's kind names.
inline CVLONG OpenBackend(const QmgrDef &def, std::unique_ptr<Backend> *out) {
  CVLONG rc = def.Kind == QmgrKind::kAmqp ? OpenAmqpBackend(def, out) : OpenLocalBackend(def, out);
  if (rc == 0) ClearCause();  // what went wrong on the way was overcome
  return rc;
}

// True when all n bytes at p are zero: an identifier that matches any.
bool AllZero(const CVBYTE *p, size_t n);

// The n bytes at p in lower-case hex.
std::string Hex(const CVBYTE *p, size_t n);

// True when a message whose descriptor is got may be handed to a get that
// asked with asked and options: its identifiers match those asked for that
// are not all zero, and the group rules of CVGMO_LOGICAL_ORDER (with
// kNextInGroup: the very segment asked for) hold. Eligibility that needs
// the other messages of the queue (CVGMO_ALL_MSGS_AVAILABLE) is the
// store's.
bool MessageMatches(const CVMD &asked, const CVMD &got, CVLONG options);

// True when md is a segment of a group.
inline bool InGroup(const CVMD &md) {
  return (md.MsgFlags & CVMF_MSG_IN_GROUP) != 0;
}

// CVRC_MSG_TOO_BIG_FOR_Q for a message of length bytes, saying so.
CVLONG TooBig(const QueueDef &queue, CVLONG length);

// Fills the fields a put sets: a fresh message identifier when it is all
// zero, put date and time (UTC), a definite persistence.
void StampMessage(CVMD *md);

// Whole seconds since the put time of md (UTC), 0 for one in the future or
// without a put time.
CVLONG PutAge(const CVMD &md);

}  // namespace corvane

#endif
