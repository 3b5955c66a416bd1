// registry.h - where queue managers live: the data directory, the names,
// the list of queue managers and the default one.
#ifndef CORVANE_REGISTRY_H
#define CORVANE_REGISTRY_H

#include <string>
#include <vector>

#include "corvane.h"

namespace corvane {

// Kind of a queue manager's storage.
enum class QmgrKind { kLocal, kAmqp };

struct QmgrDef {
  std::string Name;
  QmgrKind Kind = QmgrKind::kLocal;
  std::string Dir;  // its directory in the data directory
  std::string Url;  // broker URL of an amqp queue manager
};

// The default local queue every queue manager is created with.
inline constexpr const char *kDefaultQueue = "SYSTEM.DEFAULT.LOCAL.QUEUE";
// Name of the queue manager made when none exists and the default is asked.
inline constexpr const char *kFirstQmgr = "CVQM";

// Returns the name in a 48-character field without its padding (trailing
// blanks and zero bytes).
std::string FieldName(const char *field, size_t size);

// True for 1 to 48 letters, digits, '.', '_' and '%'.
bool ValidName(const std::string &name);

// ValidName for a name a caller gave; when it is not valid, the cause says
// the naming rule. The one check of queue names for every kind of backend.
bool CheckName(const std::string &name);

// A file in a new local queue manager's directory until its store is made:
// the store of a directory without it must already exist.
inline constexpr const char *kNewStoreMarker = "new-store";

// The data directory ($CORVANE_HOME, else $XDG_DATA_HOME/corvane, else
// $HOME/.local/share/corvane), created 0700 unless create is false: then a
// missing one means that there is no queue manager. Returns 0 or 2059.
CVLONG DataDir(std::string *dir, bool create = true);

// Finds a queue manager; an empty name means the default one, created as
// kFirstQmgr when no queue manager exists (unless create is false, which
// creates nothing, not even the data directory). Returns 0, 2058 (unknown
// name) or 2059 (data directory unusable or without a queue manager,
// recorded default gone).
CVLONG FindQmgr(const std::string &name, QmgrDef *def, bool create = true);

// Creates a queue manager (local, or amqp with url) and makes it the
// default when it is the first one or makeDefault is set. Returns 0, 2058
// (bad name), 2100 (exists) or 2059.
CVLONG CreateQmgr(const std::string &name, const std::string &url, bool makeDefault, QmgrDef *def);

// Deletes a queue manager and all its messages. Returns 0, 2058 or 2059.
CVLONG DeleteQmgr(const std::string &name);

// Lists the queue managers, sorted, and the default's name. Unless create
// is set, a missing data directory is 2059 and stays missing.
CVLONG ListQmgrs(std::vector<std::string> *names, std::string *defaultName, bool create = true);

// Records name as the default. Returns 0, 2058 or 2059.
CVLONG SetDefaultQmgr(const std::string &name);

// Writes text to path atomically (temporary file, fsync, rename), mode 0600.
bool WriteFileAtomic(const std::string &path, const std::string &text);

// Reads a whole small file (at most kSmallFileMax bytes); false, with
// errno, when it cannot read all of it.
inline constexpr size_t kSmallFileMax = 1 << 20;
bool ReadSmallFile(const std::string &path, std::string *text);

// Makes directory entries durable.
void SyncDir(const std::string &dir);

}  // namespace corvane

#endif
