// watch_list.h - what the watch into the queue knows of the directories it
// watches: the names of the listing just read, and the files seen but not
// yet complete. Both live in a private temporary database on disk with a
// small cache, not in memory, so that a directory of any size costs the
// watch the same memory. The database goes when it is closed.
#ifndef CVXFER_WATCH_LIST_H
#define CVXFER_WATCH_LIST_H

#include <functional>
#include <string>
#include <string_view>

#include "remote.h"

struct WatchList;

// Opens an empty one into *list. Returns 0, or -1 (said).
int WatchListOpen(WatchList **list);
void WatchListClose(WatchList *list);

// A listing: Begin forgets the last one's names, Add keeps one name (a
// base name) with what the listing told of it, End makes them readable.
// Each returns 0, or -1 (said; the listing must then not be trusted).
int WatchListBegin(WatchList *list);
int WatchListAdd(WatchList *list, const RemoteEntry &entry);
int WatchListEnd(WatchList *list);

// Whether the last listing named base: 1 yes, 0 no, -1 when the list
// could not be read (said; then nothing may be concluded). *told, when
// given, gets the size and time the listing told of it (else it is left).
int WatchListHas(WatchList *list, std::string_view base, RemoteStat *told = nullptr);

// Whether a name of the last listing begins with prefix; as WatchListHas.
int WatchListHasPrefix(WatchList *list, std::string_view prefix);

// Hands each name of the last listing that contains part (empty: every
// name) to each, in byte order of the names; the entry's Name is valid
// during the call only. A non-zero from each stops the walk and is
// returned; else 0, or -1 when the list could not be read to its end
// (said).
int WatchListEach(WatchList *list, std::string_view part,
                  const std::function<int(const RemoteEntry &entry)> &each);

// Notes that base in dir was seen at nowMs with stat's size and time.
// Returns how long (ms) it has been seen so, or -1 when it was not seen
// before or has changed since (then it counts from now).
long long WatchListSeen(WatchList *list, const std::string &dir, std::string_view base,
                        const RemoteStat &stat, long long nowMs);

// Forgets what was seen of base in dir (taken, or taken before).
void WatchListForget(WatchList *list, const std::string &dir, std::string_view base);

// Forgets what was seen of the files of dir the last listing did not name.
void WatchListForgetGone(WatchList *list, const std::string &dir);

#endif
