// store_message.cpp - messages of the store: put (forwarded for a remote
// definition), get, browse and mark.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store.h"

namespace corvane::store {

namespace {

// Reads n bytes from the start of fd; a file shorter than that fails with
// errno EIO.
bool ReadAll(int fd, char *p, size_t n) {
  off_t offset = 0;
  while (n > 0) {
    ssize_t r = pread(fd, p, n, offset);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = EIO;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    offset += r;
  }
  return true;
}

// Fills row and *props from a statement of WithNextMessage.
void ReadRow(Stmt &s, MessageRow *row, std::string *props) {
  row->Id = s.Int(0);
  row->Md = StoreReadMd(s.Blob(1), s.Bytes(1));
  row->Md.BackoutCount = static_cast<CVLONG>(s.Int(5));
  row->Length = static_cast<CVLONG>(s.Int(2));
  row->BodyFile = s.IsNull(4) ? "" : s.Text(4);
  *props = s.BlobText(6);
}

// True when a property list does not fit the caller's buffer.
bool PropsTooLong(const std::string &props, CVLONG propBufferLength) {
  return propBufferLength != kPropertiesNotAsked &&
         props.size() > static_cast<size_t>(propBufferLength);
}

// 0 when the body kept in the row of s has the message's length, else
// CVRC_OBJECT_DAMAGED, saying so.
CVLONG CheckInline(Stmt &s, const MessageRow &row) {
  if (s.Bytes(3) == row.Length) return 0;
  SetCause("message " + std::to_string(row.Id) + ": its stored body has " +
           std::to_string(s.Bytes(3)) + " bytes, the message " + std::to_string(row.Length));
  return CVRC_OBJECT_DAMAGED;
}

// The condition that the group of the row m is whole on its queue: its
// last segment and every one from 1 to that are there, committed, and
// visible or held by this connection (both parameters: its token).
constexpr char kGroupWhole[] =
    " AND (m.grpid IS NULL OR EXISTS (SELECT 1 FROM messages l WHERE l.queue=m.queue AND"
    " l.grpid=m.grpid AND l.grplast=1 AND (l.state=0 OR (l.state=1 AND l.holder=?)) AND"
    " (SELECT COUNT(DISTINCT s.grpseq) FROM messages s WHERE s.queue=m.queue AND"
    " s.grpid=m.grpid AND s.grpseq BETWEEN 1 AND l.grpseq AND"
    " (s.state=0 OR (s.state=1 AND s.holder=?)))=l.grpseq))";

}  // namespace

CVLONG LocalBackend::ForwardPut(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                                CVLONG length, const std::string &props) {
  Backend *target = nullptr;
  QueueDef dest;
  if (CVLONG rc = ForwardTarget(queue, &target, &dest); rc != 0) return rc;
  // The target marks its unit of work.
  return target->Put(dest, md, syncpoint, data, length, props);
}

CVLONG LocalBackend::Put(const QueueDef &queue, CVMD *md, bool syncpoint, const void *data,
                         CVLONG length, const std::string &props) {
  if (queue.Type == CVQT_REMOTE) return ForwardPut(queue, md, syncpoint, data, length, props);
  if (length > queue.MaxMsgLength) return TooBig(queue, length);
  if (!EnsureReserve()) return CVRC_Q_SPACE_NOT_AVAILABLE;
  StampMessage(md);
  std::string bodyFile;
  if (length > kInlineBodyMax) {
    bodyFile = NewBodyFile();
    if (CVLONG rc = WriteBodyFile(bodyFile, data, length, md->Persistence == CVPER_PERSISTENT);
        rc != 0) {
      return rc;
    }
  }
  return Record(queue, *md, syncpoint, data, length, bodyFile, props);
}

CVLONG LocalBackend::WriteBodyFile(const std::string &bodyFile, const void *data, CVLONG length,
                                   bool persistent) {
  std::string part = BodyPath(bodyFile) + kPart;
  int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAll(fd, static_cast<const char *>(data), static_cast<size_t>(length)) &&
            (!persistent || fdatasync(fd) == 0);
  int err = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    SetErrnoCause(part, err);
    if (fd >= 0) unlink(part.c_str());
    return err == ENOSPC || err == EDQUOT ? CVRC_Q_SPACE_NOT_AVAILABLE : CVRC_RESOURCE_PROBLEM;
  }
  if (persistent) SyncDir(bodiesDir_);
  return 0;
}

CVLONG LocalBackend::Record(const QueueDef &queue, const CVMD &md, bool syncpoint, const void *data,
                            CVLONG length, const std::string &bodyFile, const std::string &props) {
  std::string part = bodyFile.empty() ? "" : BodyPath(bodyFile) + kPart;
  Durable(md.Persistence == CVPER_PERSISTENT);
  CVLONG rc = Begin();
  if (rc == 0) {
    rc = InsertMessage(queue, md, syncpoint, data, length, bodyFile, props);
    if (rc == 0) rc = End();
    if (rc != 0) Rollback();
  }
  Durable(true);
  if (rc != 0) {
    if (!part.empty()) unlink(part.c_str());
    return rc;
  }
  // Committed: from now on a complete body file means a message.
  if (!part.empty()) rename(part.c_str(), BodyPath(bodyFile).c_str());
  if (syncpoint) {
    uow_ = true;
    pending_++;
  }
  return 0;
}

CVLONG LocalBackend::InsertMessage(const QueueDef &queue, const CVMD &md, bool syncpoint,
                                   const void *data, CVLONG length, const std::string &bodyFile,
                                   const std::string &props) {
  Stmt q(stmts_, "SELECT maxdepth FROM queues WHERE name=?");
  q.Bind(1, queue.Name);
  if (q.Step() != SQLITE_ROW) {
    SetCause("queue " + queue.Name + " was deleted since it was opened");
    return CVRC_Q_DELETED;
  }
  CVLONG maxDepth = static_cast<CVLONG>(q.Int(0));
  Stmt c(stmts_, "SELECT COUNT(*) FROM messages WHERE queue=?");
  c.Bind(1, queue.Name);
  if (int step = c.Step(); step != SQLITE_ROW) return SqlFailure(step);
  if (c.Int(0) >= maxDepth) {
    SetCause("queue " + queue.Name + " is full: its maximum depth is " + std::to_string(maxDepth));
    return CVRC_Q_FULL;
  }
  Stmt ins(stmts_,
           "INSERT INTO messages(queue, state, holder, msgid, correlid, md, length, body, "
           "bodyfile, backout, props, grpid, grpseq, grplast) VALUES(?,?,?,?,?,?,?,?,?,0,?,?,?,?)");
  ins.Bind(1, queue.Name).Bind(2, syncpoint ? kPending : kVisible);
  if (syncpoint) {
    ins.Bind(3, token_);
  } else {
    ins.BindNull(3);
  }
  ins.BindBlob(4, md.MsgId, CV_MSG_ID_LENGTH).BindBlob(5, md.CorrelId, CV_CORREL_ID_LENGTH);
  ins.BindBlob(6, &md, sizeof(CVMD)).Bind(7, length);
  if (bodyFile.empty()) {
    ins.BindBlob(8, data, static_cast<int>(length)).BindNull(9);
  } else {
    ins.BindNull(8).Bind(9, bodyFile);
  }
  if (props.empty()) {
    ins.BindNull(10);
  } else {
    ins.BindBlob(10, props.data(), static_cast<int>(props.size()));
  }
  if (InGroup(md)) {
    ins.BindBlob(11, md.GroupId, CV_GROUP_ID_LENGTH).Bind(12, md.MsgSeqNumber);
    ins.Bind(13, (md.MsgFlags & CVMF_LAST_MSG_IN_GROUP) != 0 ? 1 : 0);
  } else {
    ins.BindNull(11).BindNull(12).BindNull(13);
  }
  int step = ins.Step();
  return step == SQLITE_DONE ? 0 : SqlFailure(step);
}

template <typename F>
CVLONG LocalBackend::WithNextMessage(const QueueDef &queue, const CVMD &md, CVLONG options,
                                     sqlite3_int64 after, F fn) {
  const bool matchMsgId = !AllZero(md.MsgId, CV_MSG_ID_LENGTH);
  const bool matchCorrelId = !AllZero(md.CorrelId, CV_CORREL_ID_LENGTH);
  const bool matchGroup = !AllZero(md.GroupId, CV_GROUP_ID_LENGTH);
  const bool next = (options & kNextInGroup) != 0;
  const bool browse = (options & (CVGMO_BROWSE_FIRST | CVGMO_BROWSE_NEXT)) != 0;
  const bool starts = !next && !browse && (options & CVGMO_LOGICAL_ORDER) != 0;
  const bool whole = !next && (options & CVGMO_ALL_MSGS_AVAILABLE) != 0;
  std::string sql =
      "SELECT id, md, length, body, bodyfile, backout, props FROM messages m WHERE queue=? AND "
      "state=0";
  if (after >= 0) sql += " AND id>?";
  if (matchMsgId) sql += " AND msgid=?";
  if (matchCorrelId) sql += " AND correlid=?";
  if (matchGroup) sql += " AND grpid=?";
  if (next) sql += " AND grpseq=?";
  if (starts) sql += " AND (grpid IS NULL OR grpseq=1)";
  if (whole) sql += kGroupWhole;
  sql += " ORDER BY id LIMIT 1";
  Stmt s(stmts_, sql.c_str());
  int i = 1;
  s.Bind(i++, queue.Name);
  if (after >= 0) s.Bind(i++, after);
  if (matchMsgId) s.BindBlob(i++, md.MsgId, CV_MSG_ID_LENGTH);
  if (matchCorrelId) s.BindBlob(i++, md.CorrelId, CV_CORREL_ID_LENGTH);
  if (matchGroup) s.BindBlob(i++, md.GroupId, CV_GROUP_ID_LENGTH);
  if (next) s.Bind(i++, md.MsgSeqNumber);
  for (int twice = 0; whole && twice < 2; twice++) s.Bind(i++, token_);
  int step = s.Step();
  if (step != SQLITE_ROW) return step == SQLITE_DONE ? CVRC_NO_MSG_AVAILABLE : SqlFailure(step);
  return fn(s);
}

CVLONG LocalBackend::Get(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                         void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                         std::string *props) {
  RecoverHolders(queue.Name);
  return TakingOff([&] {
    return GetOnce(queue, md, options, bufferLength, buffer, dataLength, propBufferLength, props);
  });
}

CVLONG LocalBackend::GetOnce(const QueueDef &queue, CVMD *md, CVLONG options, CVLONG bufferLength,
                             void *buffer, CVLONG *dataLength, CVLONG propBufferLength,
                             std::string *props, Taken *taken) {
  const bool syncpoint = (options & CVGMO_SYNCPOINT) != 0;
  // A hold needs no fsync: after a crash it is void anyway.
  Durable(!syncpoint);
  CVLONG rc = Begin();
  if (rc != 0) {
    Durable(true);
    return rc;
  }
  MessageRow row;
  rc = ChooseForGet(queue, md, options, bufferLength, buffer, dataLength, propBufferLength, props,
                    taken, &row);
  const CVLONG copied = taken != nullptr ? 0 : std::min(row.Length, bufferLength);
  rc = TakeRow(row, syncpoint, buffer, copied, rc, md);
  Durable(true);
  if (rc != 0) return rc;
  if (syncpoint) {
    if (CVLONG held = HoldTaken(row, buffer, copied, taken, md); held != 0) return held;
  } else if (!row.BodyFile.empty()) {
    RemoveBodies({row.BodyFile});
  }
  *md = row.Md;
  *dataLength = copied;
  if (taken != nullptr) {
    taken->Id = row.Id;
    taken->Length = row.Length;
    return 0;
  }
  return row.Length > bufferLength ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
}

CVLONG LocalBackend::ChooseForGet(const QueueDef &queue, CVMD *md, CVLONG options,
                                  CVLONG bufferLength, void *buffer, CVLONG *dataLength,
                                  CVLONG propBufferLength, std::string *props, Taken *taken,
                                  MessageRow *row) {
  const bool acceptTruncated = (options & CVGMO_ACCEPT_TRUNCATED_MSG) != 0;
  return WithNextMessage(queue, *md, options, -1, [&](Stmt &s) -> CVLONG {
    ReadRow(s, row, props);
    if (((taken == nullptr && row->Length > bufferLength) ||
         PropsTooLong(*props, propBufferLength)) &&
        !acceptTruncated) {
      *md = row->Md;  // the retry with this descriptor asks for this message
      *dataLength = row->Length;
      return CVRC_TRUNCATED_MSG_FAILED;
    }
    if (!row->BodyFile.empty() || row->Length == 0) return 0;
    if (CVLONG rc = CheckInline(s, *row); rc != 0) return rc;
    const CVLONG n = std::min(row->Length, bufferLength);
    if (taken != nullptr) {
      taken->Inline = s.BlobText(3);
    } else if (n > 0) {  // a zero-length buffer may be null
      std::memcpy(buffer, s.Blob(3), static_cast<size_t>(n));
    }
    return 0;
  });
}

// Ends GetOnce's transaction, chosen being what choosing the row answered:
// takes the row off its queue (held, or deleted once a body file was read
// while the write lock keeps it ours), or sets it aside when its body
// cannot be read (then *md is its descriptor). A truncation commits the
// empty transaction; any other failure rolls it back.
CVLONG LocalBackend::TakeRow(const MessageRow &row, bool syncpoint, void *buffer, CVLONG copied,
                             CVLONG chosen, CVMD *md) {
  CVLONG rc = chosen;
  if (rc == 0 && !row.BodyFile.empty() && !syncpoint) {
    rc = ReadBody(row.BodyFile, buffer, copied, row.Length);
  }
  if (rc == CVRC_OBJECT_DAMAGED) {
    // Set aside where it is, for the operator; the next get takes the next.
    Stmt u(stmts_, "UPDATE messages SET state=3, holder=NULL WHERE id=?");
    int step = u.Bind(1, row.Id).Step();
    rc = step == SQLITE_DONE ? End() : SqlFailure(step);
    if (rc == 0) {
      *md = row.Md;
      return CVRC_OBJECT_DAMAGED;
    }
  }
  if (rc == 0) {
    Stmt u(stmts_, syncpoint ? "UPDATE messages SET state=1, holder=? WHERE id=?"
                             : "DELETE FROM messages WHERE id=?");
    if (syncpoint) {
      u.Bind(1, token_).Bind(2, row.Id);
    } else {
      u.Bind(1, row.Id);
      Durable(row.Md.Persistence == CVPER_PERSISTENT);
    }
    int step = u.Step();
    if (step != SQLITE_DONE) rc = SqlFailure(step);
  }
  if (rc == 0 && !syncpoint && !row.BodyFile.empty()) rc = Doom({row.BodyFile});
  if (rc == 0 || rc == CVRC_TRUNCATED_MSG_FAILED) {
    CVLONG end = End();
    if (rc == 0) rc = end;
  }
  if (rc != 0 && rc != CVRC_TRUNCATED_MSG_FAILED) Rollback();
  return rc;
}

CVLONG LocalBackend::HoldTaken(const MessageRow &row, void *buffer, CVLONG copied, Taken *taken,
                               CVMD *md) {
  uow_ = true;
  held_++;
  if (row.BodyFile.empty()) return 0;
  CVLONG rc =
      ReadBody(row.BodyFile, buffer, copied, row.Length, taken != nullptr ? &taken->Fd : nullptr);
  if (rc != 0) {
    // A get that fails gives its hold back: a damaged message is set
    // aside, any other goes back to the queue as it was.
    SetAside(row.Id, rc == CVRC_OBJECT_DAMAGED ? kDamaged : kVisible);
    if (rc == CVRC_OBJECT_DAMAGED) *md = row.Md;
  }
  return rc;
}

CVLONG LocalBackend::BrowseMessage(const QueueDef &queue, CVMD *md, CVLONG options, int64_t *cursor,
                                   CVLONG bufferLength, void *buffer, CVLONG *dataLength,
                                   CVLONG propBufferLength, std::string *props) {
  if (CVLONG rc = CheckLog(); rc != 0) return rc;
  RecoverHolders(queue.Name);
  sqlite3_int64 after = (options & CVGMO_BROWSE_FIRST) != 0 ? 0 : *cursor;
  // Only reads: no transaction is needed, and the row may go at any time.
  for (;;) {
    CVLONG rc = BrowseOnce(queue, md, options, &after, bufferLength, buffer, dataLength,
                           propBufferLength, props);
    if (rc == kTakenAway) continue;  // taken meanwhile: browse on
    if (rc == 0 || rc == CVRC_TRUNCATED_MSG_ACCEPTED || rc == CVRC_OBJECT_DAMAGED) *cursor = after;
    return rc;
  }
}

CVLONG LocalBackend::BrowseOnce(const QueueDef &queue, CVMD *md, CVLONG options,
                                sqlite3_int64 *after, CVLONG bufferLength, void *buffer,
                                CVLONG *dataLength, CVLONG propBufferLength, std::string *props) {
  const bool acceptTruncated = (options & CVGMO_ACCEPT_TRUNCATED_MSG) != 0;
  MessageRow row;
  CVLONG copied = 0;
  bool found = false;
  CVLONG rc = WithNextMessage(queue, *md, options, *after, [&](Stmt &s) -> CVLONG {
    found = true;
    ReadRow(s, &row, props);
    if ((row.Length > bufferLength || PropsTooLong(*props, propBufferLength)) && !acceptTruncated) {
      return CVRC_TRUNCATED_MSG_FAILED;
    }
    copied = std::min(row.Length, bufferLength);
    if (!row.BodyFile.empty() || copied == 0) return 0;
    if (CVLONG rc = CheckInline(s, row); rc != 0) return rc;
    std::memcpy(buffer, s.Blob(3), static_cast<size_t>(copied));
    return 0;
  });
  if (!found) return rc;
  if (rc == CVRC_TRUNCATED_MSG_FAILED) {
    *md = row.Md;  // the position stays: the retry returns this message
    *dataLength = row.Length;
    return rc;
  }
  // With nothing to copy a body file is not even opened.
  if (rc == 0 && !row.BodyFile.empty() && copied > 0) {
    rc = ReadBody(row.BodyFile, buffer, copied, row.Length);
  }
  if (rc == CVRC_OBJECT_DAMAGED) rc = SetAsideBrowsed(row, buffer, copied);
  if (rc == kTakenAway || rc == CVRC_OBJECT_DAMAGED) *after = row.Id;
  if (rc == CVRC_OBJECT_DAMAGED) *md = row.Md;
  if (rc != 0) return rc;
  *after = row.Id;
  *md = row.Md;
  *dataLength = row.Length;
  return row.Length > bufferLength ? CVRC_TRUNCATED_MSG_ACCEPTED : 0;
}

CVLONG LocalBackend::SetAsideBrowsed(const MessageRow &row, void *buffer, CVLONG copied) {
  // A getter may have taken the message and removed its body since it was
  // read: it is damaged only if it is still there to be taken, and its
  // body still cannot be read now that no getter can take it.
  return TakingOff([&] {
    CVLONG rc = Begin();
    if (rc != 0) return rc;
    Stmt u(stmts_, "UPDATE messages SET state=3 WHERE id=? AND state=0");
    if (int step = u.Bind(1, row.Id).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
    const bool gone = rc == 0 && sqlite3_changes(db_) == 0;
    if (rc == 0 && !gone && !row.BodyFile.empty()) {
      rc = ReadBody(row.BodyFile, buffer, copied, row.Length);  // a rename may have been under way
      if (rc != CVRC_OBJECT_DAMAGED) {
        Rollback();
        return rc;
      }
      rc = 0;
    }
    if (rc == 0 && !gone) rc = End();
    if (rc != 0 || gone) {
      Rollback();
      return gone ? kTakenAway : rc;
    }
    return CVRC_OBJECT_DAMAGED;
  });
}

CVLONG LocalBackend::Mark(const CVBYTE *msgId, const std::string &marks) {
  return TakingOff([&] {
    CVLONG rc = Begin();
    if (rc != 0) return rc;
    sqlite3_int64 id = 0;
    std::string merged;
    {
      Stmt s(stmts_,
             "SELECT id, props FROM messages WHERE holder=? AND state=1 AND msgid=? ORDER BY id "
             "LIMIT 1");
      s.Bind(1, token_).BindBlob(2, msgId, CV_MSG_ID_LENGTH);
      int step = s.Step();
      if (step == SQLITE_DONE) {
        rc = CVRC_NO_MSG_LOCKED;
      } else if (step != SQLITE_ROW) {
        rc = SqlFailure(step);
      } else {
        id = s.Int(0);
        rc = MergeProperties(s.BlobText(1), marks, &merged);
      }
    }
    if (rc == 0 && !marks.empty()) {  // none only asks whether the message is held
      Stmt u(stmts_, "UPDATE messages SET props=? WHERE id=?");
      if (merged.empty()) {
        u.BindNull(1);
      } else {
        u.BindBlob(1, merged.data(), static_cast<int>(merged.size()));
      }
      if (int step = u.Bind(2, id).Step(); step != SQLITE_DONE) rc = SqlFailure(step);
    }
    return Finish(rc);
  });
}

CVLONG LocalBackend::ReadBody(const std::string &file, void *buffer, CVLONG n, CVLONG length,
                              int *keep) {
  std::string path = BodyPath(file);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = open((path + kPart).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    SetErrnoCause(path, err);
    return err == ENOENT ? CVRC_OBJECT_DAMAGED : CVRC_RESOURCE_PROBLEM;
  }
  CVLONG rc = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    SetErrnoCause(path);
    rc = CVRC_RESOURCE_PROBLEM;
  } else if (st.st_size != length) {
    SetCause(path + ": " + std::to_string(st.st_size) + " bytes, the message has " +
             std::to_string(length));
    rc = CVRC_OBJECT_DAMAGED;
  } else if (!ReadAll(fd, static_cast<char *>(buffer), static_cast<size_t>(n))) {
    int err = errno;
    SetErrnoCause(path, err);
    rc = err == EIO ? CVRC_OBJECT_DAMAGED : CVRC_RESOURCE_PROBLEM;
  }
  if (keep != nullptr && rc == 0) {
    *keep = fd;
    return 0;
  }
  close(fd);
  return rc;
}

}  // namespace corvane::store
