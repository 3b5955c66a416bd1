// backend.h - what a queue manager's storage must provide. The nine calls
// of corvane.h check handles and options and then dispatch here, one
// Backend per connected queue manager; cvadmin uses the same entries.
//
// Every entry returns a reason code: 0 for success, else the CVRC_* value
// the call reports with completion CVCC_FAILED (CVRC_TRUNCATED_MSG_ACCEPTED
// is reported as a warning). Promises:
//  - Put: with syncpoint false the message is durable (when persistent) and
//    visible to every getter when Put returns; with true it is invisible
//    until Commit and gone after Backout.
//  - Get: the oldest visible message whose identifiers match (all-zero
//    identifiers match any). With syncpoint the message is hidden from every
//    other getter until Commit removes it or Backout returns it with its
//    backout count raised; without, it is gone for good when Get returns.
//    A buffer too small gives CVRC_TRUNCATED_MSG_FAILED, takes nothing and
//    sets *dataLength to the full length and md to the message's descriptor.
//  - A unit of work left open by a process that ends in any way is backed
//    out; nothing is lost and no message is held by two units of work.
//  - Close ends the connection and backs out its open unit of work.
#ifndef CORVANE_BACKEND_H
#define CORVANE_BACKEND_H

#include <memory>
#include <string>
#include <vector>

#include "corvane.h"
#include "registry.h"

namespace corvane {

inline constexpr CVLONG kDefaultMaxDepth = 5000;
inline constexpr CVLONG kDefaultMaxMsgLength = 104857600;

// Definition of a queue.
struct QueueDef {
  std::string Name;
  CVLONG Type = CVQT_LOCAL;  // CVQT_LOCAL or CVQT_REMOTE
  CVLONG MaxDepth = kDefaultMaxDepth;
  CVLONG MaxMsgLength = kDefaultMaxMsgLength;
  std::string RemoteQmgr;  // remote definitions: where puts go
  std::string RemoteQueue;
};

// One message as browse shows it.
struct MessageInfo {
  CVLONG Length = 0;
  CVMD Md = CVMD_DEFAULT;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Name of the queue manager, as recorded.
  virtual const std::string &Name() const = 0;

  virtual CVLONG LookupQueue(const std::string &name, QueueDef *def) = 0;
  virtual CVLONG Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                     CVLONG length) = 0;
  virtual CVLONG Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG waitMs,
                     CVLONG bufferLength, void *buffer, CVLONG *dataLength) = 0;
  virtual CVLONG Depth(const QueueDef &queue, CVLONG *depth) = 0;
  virtual CVLONG Commit() = 0;
  virtual CVLONG Backout() = 0;

  // Administration.
  virtual CVLONG DefineQueue(const QueueDef &queue) = 0;
  virtual CVLONG DeleteQueue(const std::string &name) = 0;
  virtual CVLONG ListQueues(std::vector<QueueDef> *queues) = 0;
  virtual CVLONG Browse(const std::string &name, std::vector<MessageInfo> *messages) = 0;
  virtual CVLONG Clear(const std::string &name, CVLONG *removed) = 0;
};

// Opens the backend of a local queue manager. Returns 0 or a reason.
CVLONG OpenLocalBackend(const QmgrDef &def, std::unique_ptr<Backend> *out);

// Opens the backend of a queue manager whose queues live on an AMQP broker.
CVLONG OpenAmqpBackend(const QmgrDef &def, std::unique_ptr<Backend> *out);

// Opens the backend that def's kind names.
inline CVLONG OpenBackend(const QmgrDef &def, std::unique_ptr<Backend> *out) {
  return def.Kind == QmgrKind::kAmqp ? OpenAmqpBackend(def, out) : OpenLocalBackend(def, out);
}

// Fills the fields a put sets: a fresh message identifier when it is all
// zero, put date and time (UTC), a definite persistence.
void StampMessage(CVMD *md);

}  // namespace corvane

#endif
