// verify.h - the check of every store once the server holds the file: the
// SHA-256 of the bytes sent against the message's cv-file-sha256 (a
// message whose body is not the file it names is never committed), then,
// as set verify says, the size the server tells, or a digest the server
// computes against the same digest taken here while the bytes went out.
// The digests ride on the store: the server is never read back.
#ifndef CVXFER_VERIFY_H
#define CVXFER_VERIFY_H

#include <cstdint>
#include <string>

#include "digest.h"
#include "ftp_session.h"
#include "remote.h"

// How one store is checked, and the digests taken of what it sends.
struct CVVerify {
  std::string Name;      // the name the store was asked for, for messages
  std::string Expected;  // the message's cv-file-sha256 ("": none)
  uint64_t Length = 0;   // bytes sent
  int Mode = FTP_VERIFY_OFF;
  int Kind = -1;    // the digest the server computes (REMOTE_*), -1: none
  std::string How;  // the command that asks for it
  CVDigests Inline;     // of a source read piece by piece
  CVHashReader Reader;  // of a source's descriptor, beside the transfer
};

// Prepares the check of a store of *source as name; expected is the
// message's cv-file-sha256 (null: none; shaLater: known only once the
// source was read, so the SHA-256 is taken anyway and v->Expected set
// before CVVerifyStored). Where verify is hash, asks the
// server which digest it computes (once per connection). Digests what
// source gives as the store sends it: Read is wrapped, a descriptor is
// read again by a thread of v's. v must outlive the store.
void CVVerifyBegin(FtpSession *session, const char *name, const char *expected,
                   RemoteSource *source, CVVerify *v, bool shaLater = false);

// After a whole store of v->Name as stored (the name itself or its
// temporary name): checks it as v says, telling in one line when the check
// falls back or cannot be made, and with verify hash how it was verified.
// Returns true when it passed; false after naming both values (the class
// recorded is FTP_EXIT_INCOMPLETE): the caller deletes stored, which is
// known bad, and backs the message out.
bool CVVerifyStored(FtpSession *session, const char *stored, CVVerify *v);

// Whether the server's file name is provably the file of length bytes whose
// SHA-256 is sha: its size and the SHA-256 the server computes of it (in
// binary mode) both match. False when either differs or cannot be told,
// as with a server that computes no SHA-256. Nothing is said.
bool CVHoldsFile(FtpSession *session, const char *name, uint64_t length, const char *sha);

#endif
