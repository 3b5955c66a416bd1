/* corvane.h - public interface of libcorvane, the embedded Corvane queue
 * manager: the queue calls, the reason names and the cause of the last
 * failure, their descriptors with default initialisers and the codes they
 * return. Everything else of the library is internal.
 *
 * Conventions that hold for every call:
 *
 *  - Results. Each queue call ends by setting *CompCode and *Reason: CVCC_OK
 *    with CVRC_NONE, CVCC_WARNING (CVRC_ALREADY_CONNECTED,
 *    CVRC_TRUNCATED_MSG_ACCEPTED) or CVCC_FAILED with the reason; neither
 *    may be null. Unless its reasons below say otherwise, a call that fails
 *    has changed nothing. After a failure CVLastCause may tell more.
 *
 *  - One connection per process. A process has at most one connection, to
 *    one queue manager; its handle is the same for every thread. Object
 *    handles are small positive numbers of that connection, valid until
 *    CVCLOSE or CVDISC; up to 4096 are open at once.
 *
 *  - Names are fixed-width fields (48 characters for queues and queue
 *    managers) padded with blanks or zero bytes; the name is what precedes
 *    the padding. A name has 1 to 48 letters, digits, '.', '_' and '%'.
 *    Names the library writes (CVCA_Q_MGR_NAME) are blank-padded.
 *
 *  - Fork. The connection belongs to the process that made it. In a forked
 *    child the inherited handle fails with CVRC_HCONN_ERROR; the child may
 *    CVCONN a connection of its own, which leaves the parent's untouched.
 *    A unit of work is never shared between the two.
 *
 *  - Units of work. A connection has at most one, begun by the first put,
 *    get or journal change under syncpoint and ended by CVCMIT, CVBACK or
 *    CVDISC. One that a process leaves open by ending in any way (exit,
 *    kill, crash) is backed out: its gets return to their queues, its puts
 *    and journal changes vanish. A local queue
 *    manager backs it out only on proof that the process has ended (its
 *    lock file can be locked, or is missing and the process is gone); while
 *    that cannot be shown, its messages stay held.
 *
 *  - Damage and a full disk (local queue managers). A message whose data
 *    cannot be read is set aside as damaged: reported once by the get that
 *    meets it, then never handed out and never removed except by the
 *    operator (cvadmin clear QUEUE --damaged); the messages behind it stay
 *    reachable. A store whose database is missing, empty or unreadable is
 *    never replaced by an empty one: CVCONN fails with CVRC_OBJECT_DAMAGED
 *    and nothing is removed (cvadmin check, cvadmin salvage). The same for
 *    a write-ahead log that lost committed transactions (deleted, replaced,
 *    cut short or overwritten) while its index still lists them. A
 *    connection whose log or database was deleted or replaced under it
 *    reads and writes no more: every call on it but CVDISC fails with
 *    CVRC_CONNECTION_BROKEN, and its committed transactions reach the
 *    database when the last connection ends. A read error fails the call
 *    that meets it; nothing is taken for missing. Space is kept
 *    on the disk so that gets, commits and back-outs work on a full disk;
 *    puts are refused with CVRC_Q_SPACE_NOT_AVAILABLE before it is used.
 *
 *  - Accepted and ignored: CVOO_FAIL_IF_QUIESCING, CVPMO_FAIL_IF_QUIESCING
 *    and CVGMO_FAIL_IF_QUIESCING (a queue manager never quiesces);
 *    CVGMO_CONVERT (data come back as they were put); CVOO_INPUT_SHARED and
 *    CVOO_INPUT_EXCLUSIVE mean CVOO_INPUT_AS_Q_DEF, which is shared input.
 *    CVPUT and CVGET ignore option bits they do not name. Descriptor fields
 *    a call does not name are carried with the message (see CVPUT) or left
 *    alone.
 *
 *  - Properties (CVPUTP, CVGETP, CVMARK) are named text values that travel
 *    with a message. Calls without them (CVPUT, CVGET) put a message
 *    without properties and ignore those of the message they get. Messages
 *    stored before properties existed have none.
 *
 *  - Threads. Every call may be made from any thread; calls on the
 *    connection are serialised by one lock per process. A CVGET that waits
 *    does not hold that lock while it waits: other threads put, get, commit
 *    and even close the object in the meantime (then the waiting get ends
 *    with the reason of the closed handle). The unit of work is the
 *    connection's, not a thread's. CVLastCause is per thread.
 */
#ifndef CORVANE_H
#define CORVANE_H

#include <stdint.h>

/* The version of libcorvane this header belongs to: major, minor and patch
 * level, all three in one number that grows with every release
 * (major * 1000000 + minor * 1000 + patch), and as text. */
#define CORVANE_VERSION_MAJOR 1
#define CORVANE_VERSION_MINOR 1
#define CORVANE_VERSION_PATCH 0
#define CORVANE_VERSION_NUMBER \
  (CORVANE_VERSION_MAJOR * 1000000 + CORVANE_VERSION_MINOR * 1000 + CORVANE_VERSION_PATCH)
#define CORVANE_VERSION "1.1.0"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t CVLONG;
typedef int32_t CVHCONN;
typedef int32_t CVHOBJ;
typedef int32_t CVHMSG; /* a message being streamed */
typedef char CVCHAR;
typedef unsigned char CVBYTE;
typedef int64_t CVINT64;

/* Completion codes. */
#define CVCC_OK 0
#define CVCC_WARNING 1
#define CVCC_FAILED 2
#define CVCC_UNKNOWN (-1)

/* Reason codes the library returns (names for all codes: CVReasonName). */
#define CVRC_NONE 0
#define CVRC_ALREADY_CONNECTED 2002
#define CVRC_BACKED_OUT 2003
#define CVRC_BUFFER_ERROR 2004
#define CVRC_BUFFER_LENGTH_ERROR 2005
#define CVRC_CHAR_ATTR_LENGTH_ERROR 2006
#define CVRC_CHAR_ATTRS_ERROR 2007
#define CVRC_CONNECTION_BROKEN 2009
#define CVRC_DATA_LENGTH_ERROR 2010
#define CVRC_HCONN_ERROR 2018
#define CVRC_HOBJ_ERROR 2019
#define CVRC_INT_ATTR_COUNT_ERROR 2021
#define CVRC_INT_ATTRS_ARRAY_ERROR 2023
#define CVRC_MD_ERROR 2026
#define CVRC_MSG_TOO_BIG_FOR_Q 2030
#define CVRC_MSG_TOO_BIG_FOR_Q_MGR 2031
#define CVRC_NO_MSG_AVAILABLE 2033
#define CVRC_NOT_AUTHORIZED 2035
#define CVRC_NOT_OPEN_FOR_INPUT 2037
#define CVRC_NOT_OPEN_FOR_INQUIRE 2038
#define CVRC_NOT_OPEN_FOR_OUTPUT 2039
#define CVRC_OBJECT_IN_USE 2042
#define CVRC_OBJECT_TYPE_ERROR 2043
#define CVRC_OD_ERROR 2044
#define CVRC_OPTION_NOT_VALID_FOR_TYPE 2045
#define CVRC_OPTIONS_ERROR 2046
#define CVRC_PERSISTENCE_ERROR 2047
#define CVRC_Q_FULL 2053
#define CVRC_Q_NOT_EMPTY 2055
#define CVRC_Q_SPACE_NOT_AVAILABLE 2056
#define CVRC_Q_MGR_NAME_ERROR 2058
#define CVRC_Q_MGR_NOT_AVAILABLE 2059
#define CVRC_SELECTOR_COUNT_ERROR 2065
#define CVRC_SELECTOR_ERROR 2067
#define CVRC_SELECTOR_NOT_FOR_TYPE 2068
#define CVRC_STORAGE_NOT_AVAILABLE 2071
#define CVRC_SYNCPOINT_NOT_AVAILABLE 2072
#define CVRC_TRUNCATED_MSG_FAILED 2080
#define CVRC_UNKNOWN_OBJECT_NAME 2085
#define CVRC_UNKNOWN_OBJECT_Q_MGR 2086
#define CVRC_UNKNOWN_REMOTE_Q_MGR 2087
#define CVRC_OBJECT_ALREADY_EXISTS 2100
#define CVRC_OBJECT_DAMAGED 2101
#define CVRC_RESOURCE_PROBLEM 2102
#define CVRC_ANOTHER_Q_MGR_CONNECTED 2103
#define CVRC_OBJECT_NAME_ERROR 2152
#define CVRC_UNEXPECTED_ERROR 2195
#define CVRC_FILE_SYSTEM_ERROR 2208
#define CVRC_UOW_IN_PROGRESS 2128
#define CVRC_CHAR_ATTRS_TOO_SHORT 2008
#define CVRC_HANDLE_NOT_AVAILABLE 2017
#define CVRC_INT_ATTR_COUNT_TOO_SMALL 2022
#define CVRC_Q_DELETED 2052
#define CVRC_Q_TYPE_ERROR 2057
#define CVRC_TRUNCATED_MSG_ACCEPTED 2079
#define CVRC_PMO_ERROR 2173
#define CVRC_REMOTE_Q_NAME_ERROR 2184
#define CVRC_GMO_ERROR 2186
#define CVRC_NOT_OPEN_FOR_BROWSE 2036
#define CVRC_FORMAT_ERROR 2110
#define CVRC_MSG_ID_ERROR 2206
#define CVRC_NO_MSG_LOCKED 2209
#define CVRC_FUNCTION_NOT_SUPPORTED 2298
#define CVRC_HMSG_ERROR 2460

/* Object types. */
#define CVOT_Q 1
#define CVOT_Q_MGR 5

/* Queue types (selector CVIA_Q_TYPE). */
#define CVQT_LOCAL 1
#define CVQT_REMOTE 6

/* Open options. */
#define CVOO_INPUT_AS_Q_DEF 1
#define CVOO_INPUT_SHARED 2
#define CVOO_INPUT_EXCLUSIVE 4
#define CVOO_BROWSE 8
#define CVOO_OUTPUT 16
#define CVOO_INQUIRE 32
#define CVOO_FAIL_IF_QUIESCING 8192

/* Close options. */
#define CVCO_NONE 0

/* Stream close options (CVPUTCLOSE, CVGETCLOSE). */
#define CVSC_COMPLETE 0
#define CVSC_ABANDON 1

/* Put message options. */
#define CVPMO_NONE 0
#define CVPMO_SYNCPOINT 2
#define CVPMO_NO_SYNCPOINT 4
#define CVPMO_FAIL_IF_QUIESCING 8192

/* Get message options. */
#define CVGMO_NONE 0
#define CVGMO_WAIT 1
#define CVGMO_SYNCPOINT 2
#define CVGMO_NO_SYNCPOINT 4
#define CVGMO_BROWSE_FIRST 16
#define CVGMO_BROWSE_NEXT 32
#define CVGMO_ACCEPT_TRUNCATED_MSG 64
#define CVGMO_FAIL_IF_QUIESCING 8192
#define CVGMO_CONVERT 16384
#define CVGMO_LOGICAL_ORDER 32768
#define CVGMO_ALL_MSGS_AVAILABLE 131072

/* Inquiry selectors. */
#define CVIA_CURRENT_Q_DEPTH 3
#define CVIA_MAX_MSG_LENGTH 13
#define CVIA_MAX_Q_DEPTH 15
#define CVIA_Q_TYPE 20
#define CVIA_BACKOUT_THRESHOLD 22
#define CVCA_Q_MGR_NAME 2015
#define CVCA_BACKOUT_REQ_Q_NAME 2019

/* Persistence. */
#define CVPER_NOT_PERSISTENT 0
#define CVPER_PERSISTENT 1
#define CVPER_PERSISTENCE_AS_Q_DEF 2

/* Misc values. */
#define CVHC_UNUSABLE_HCONN (-1)
#define CVHO_UNUSABLE_HOBJ (-1)
#define CVHM_UNUSABLE_HMSG (-1)
#define CVENC_NATIVE 273
#define CVCCSI_Q_MGR 0
#define CVFMT_NONE "        "
#define CVFMT_STRING "CVSTR   "
#define CV_Q_NAME_LENGTH 48
#define CV_Q_MGR_NAME_LENGTH 48
#define CV_MSG_ID_LENGTH 24
#define CV_CORREL_ID_LENGTH 24
#define CV_FORMAT_LENGTH 8
#define CV_GROUP_ID_LENGTH 24

/* Message flags (CVMD MsgFlags). */
#define CVMF_NONE 0
#define CVMF_MSG_IN_GROUP 8
#define CVMF_LAST_MSG_IN_GROUP 16

/* Versions of the message descriptor, and how many of its bytes each one
 * has: a Version 1 descriptor ends where GroupId begins. */
#define CVMD_VERSION_1 1
#define CVMD_VERSION_2 2
#define CVMD_CURRENT_VERSION 2
#define CVMD_LENGTH_1 324

/* Message descriptor. Version 2 adds the fields of message groups at its
 * end; a caller that passes a Version 1 descriptor (CVMD_LENGTH_1 bytes,
 * as programs built before groups have it) keeps working: the library
 * neither reads nor writes anything past its end, and its messages are
 * outside any group. See "Message groups" below. */
typedef struct tagCVMD {
  CVCHAR StrucId[4];     /* "MD  " */
  CVLONG Version;        /* CVMD_VERSION_2 (CVMD_VERSION_1: without the group fields) */
  CVLONG Report;         /* 0 */
  CVLONG MsgType;        /* 8: datagram */
  CVLONG Expiry;         /* -1: unlimited */
  CVLONG Feedback;       /* 0 */
  CVLONG Encoding;       /* CVENC_NATIVE */
  CVLONG CodedCharSetId; /* 0: queue manager's */
  CVCHAR Format[8];      /* CVFMT_NONE */
  CVLONG Priority;       /* -1: as queue default */
  CVLONG Persistence;    /* CVPER_PERSISTENCE_AS_Q_DEF */
  CVBYTE MsgId[24];      /* all zero: any / generate */
  CVBYTE CorrelId[24];   /* all zero: any */
  CVLONG BackoutCount;   /* set by get */
  CVCHAR ReplyToQ[48];
  CVCHAR ReplyToQMgr[48];
  CVCHAR UserIdentifier[12];
  CVBYTE AccountingToken[32];
  CVCHAR ApplIdentityData[32];
  CVLONG PutApplType;
  CVCHAR PutApplName[28];
  CVCHAR PutDate[8]; /* YYYYMMDD, set by put */
  CVCHAR PutTime[8]; /* HHMMSSTH (UTC), set by put */
  CVCHAR ApplOriginData[4];
  /* Version 2. */
  CVBYTE GroupId[24];  /* all zero: not in a group (a get: any group) */
  CVLONG MsgSeqNumber; /* 1-based position in the group; 1 outside one */
  CVINT64 Offset;      /* where the segment's data begin in the whole; 0 outside */
  CVLONG MsgFlags;     /* CVMF_* */
} CVMD;

#define CVMD_DEFAULT                                                                           \
  {                                                                                            \
    {'M', 'D', ' ', ' '}, CVMD_VERSION_2, 0, 8, -1, 0, CVENC_NATIVE, 0,                        \
        {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}, -1, CVPER_PERSISTENCE_AS_Q_DEF, {0}, {0}, 0, \
        {0}, {0}, {0}, {0}, {0}, 0, {0}, {0}, {0}, {0}, {0}, 0, 0, CVMF_NONE                   \
  }

/* Object descriptor. */
typedef struct tagCVOD {
  CVCHAR StrucId[4];         /* "OD  " */
  CVLONG Version;            /* 1 */
  CVLONG ObjectType;         /* CVOT_Q */
  CVCHAR ObjectName[48];     /* zero- or blank-padded */
  CVCHAR ObjectQMgrName[48]; /* blank: the connected one */
  CVCHAR DynamicQName[48];
  CVCHAR AlternateUserId[12];
} CVOD;

#define CVOD_DEFAULT                                  \
  {                                                   \
    {'O', 'D', ' ', ' '}, 1, CVOT_Q, {0}, {0}, {0}, { \
      0                                               \
    }                                                 \
  }

/* Put message options. */
typedef struct tagCVPMO {
  CVCHAR StrucId[4];           /* "PMO " */
  CVLONG Version;              /* 1 */
  CVLONG Options;              /* CVPMO_NONE */
  CVLONG Timeout;              /* -1 */
  CVHOBJ Context;              /* 0 */
  CVLONG KnownDestCount;       /* out */
  CVLONG UnknownDestCount;     /* out */
  CVLONG InvalidDestCount;     /* out */
  CVCHAR ResolvedQName[48];    /* out */
  CVCHAR ResolvedQMgrName[48]; /* out */
} CVPMO;

#define CVPMO_DEFAULT                                           \
  {                                                             \
    {'P', 'M', 'O', ' '}, 1, CVPMO_NONE, -1, 0, 0, 0, 0, {0}, { \
      0                                                         \
    }                                                           \
  }

/* Get message options. */
typedef struct tagCVGMO {
  CVCHAR StrucId[4];   /* "GMO " */
  CVLONG Version;      /* 1 */
  CVLONG Options;      /* CVGMO_NO_SYNCPOINT */
  CVLONG WaitInterval; /* milliseconds, with CVGMO_WAIT */
  CVLONG Signal1;
  CVLONG Signal2;
  CVCHAR ResolvedQName[48]; /* out */
} CVGMO;

#define CVGMO_DEFAULT                                       \
  {                                                         \
    {'G', 'M', 'O', ' '}, 1, CVGMO_NO_SYNCPOINT, 0, 0, 0, { \
      0                                                     \
    }                                                       \
  }

/* CVCONN connects this process to a queue manager.
 * QMgrName: its name in a 48-character field; null, empty or blank names
 *   the default queue manager. When the data directory has no queue manager
 *   at all, the default one is created as "CVQM" with its queue
 *   "SYSTEM.DEFAULT.LOCAL.QUEUE".
 * Hconn: receives the connection handle.
 * Reasons:
 *   CVRC_ALREADY_CONNECTED (warning) this process is connected to that
 *     queue manager already; *Hconn is the same handle as before.
 *   CVRC_ANOTHER_Q_MGR_CONNECTED it is connected to another one; *Hconn is
 *     CVHC_UNUSABLE_HCONN, the existing connection stays.
 *   CVRC_Q_MGR_NAME_ERROR no queue manager of that name (or the name is not
 *     a valid one); *Hconn is left as it was.
 *   CVRC_Q_MGR_NOT_AVAILABLE the data directory is unusable or the recorded
 *     default queue manager is gone (*Hconn left as it was), or its store
 *     or broker cannot be opened (*Hconn is CVHC_UNUSABLE_HCONN).
 *   CVRC_NOT_AUTHORIZED the broker refused the login.
 *   CVRC_OBJECT_DAMAGED the store's database is missing, empty or cannot
 *     be read as one, its write-ahead log lost committed transactions, or a
 *     broker queue manager's queue definitions cannot be read whole;
 *     CVLastCause names the file. Nothing was changed.
 *   CVRC_RESOURCE_PROBLEM, CVRC_Q_SPACE_NOT_AVAILABLE,
 *     CVRC_STORAGE_NOT_AVAILABLE the store or the connection to the broker
 *     could not be set up; see CVLastCause. Only busy or locked databases
 *     are waited for; any other failure is returned at once. */
void CVCONN(const CVCHAR *QMgrName, CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason);

/* CVDISC ends the connection *Hconn: its open unit of work is backed out
 * and its object handles become unusable; *Hconn becomes
 * CVHC_UNUSABLE_HCONN. A local connection removes its lock file, and the
 * last one to a queue manager writes its log into the database and removes
 * it. A process that ends without CVDISC leaves its lock file, unlocked;
 * the next connection cleans it up.
 * Reasons:
 *   CVRC_HCONN_ERROR Hconn is null or *Hconn is not this process's
 *     connection (never made, ended, or inherited across fork). */
void CVDISC(CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason);

/* CVOPEN opens a queue, or with ObjectType CVOT_Q_MGR the queue manager for
 * inquiry, and returns its handle in *Hobj (CVHO_UNUSABLE_HOBJ on failure).
 * ObjDesc: ObjectType and ObjectName are read; the name is that of a queue
 *   of the connected queue manager (ObjectQMgrName is not read).
 * Options: at least one of the input options, CVOO_BROWSE, CVOO_OUTPUT and
 *   CVOO_INQUIRE, plus CVOO_FAIL_IF_QUIESCING. An input option grants gets,
 *   CVOO_BROWSE browse gets (see CVGET), CVOO_OUTPUT puts and CVOO_INQUIRE
 *   CVINQ. On a broker CVOO_BROWSE is accepted, but its browse gets fail.
 * Reasons:
 *   CVRC_HCONN_ERROR Hconn is not this process's connection.
 *   CVRC_OD_ERROR ObjDesc or Hobj is null.
 *   CVRC_OPTIONS_ERROR an unknown option, or none of the above.
 *   CVRC_OPTION_NOT_VALID_FOR_TYPE anything but CVOO_INQUIRE for the queue
 *     manager; input or browse for a remote queue definition, which only
 *     forwards puts.
 *   CVRC_UNKNOWN_OBJECT_NAME no queue of that name (or not a valid name).
 *   CVRC_OBJECT_TYPE_ERROR ObjectType is neither CVOT_Q nor CVOT_Q_MGR.
 *   CVRC_HANDLE_NOT_AVAILABLE 4096 objects are open.
 *   CVRC_CONNECTION_BROKEN, CVRC_NOT_AUTHORIZED, CVRC_OBJECT_IN_USE,
 *     CVRC_RESOURCE_PROBLEM the store or the broker failed or refused; see
 *     CVLastCause. */
void CVOPEN(CVHCONN Hconn, CVOD *ObjDesc, CVLONG Options, CVHOBJ *Hobj, CVLONG *CompCode,
            CVLONG *Reason);

/* CVCLOSE closes an object handle; *Hobj becomes CVHO_UNUSABLE_HOBJ. The
 * unit of work is not affected: what was got or put through the handle
 * stays in it until commit or back-out. Its browse position is forgotten,
 * and so is its place in a group taken in logical order.
 * Options: CVCO_NONE.
 * Reasons:
 *   CVRC_HCONN_ERROR Hconn is not this process's connection.
 *   CVRC_HOBJ_ERROR Hobj is null or *Hobj is not an open handle.
 *   CVRC_OPTIONS_ERROR Options is not CVCO_NONE. */
void CVCLOSE(CVHCONN Hconn, CVHOBJ *Hobj, CVLONG Options, CVLONG *CompCode, CVLONG *Reason);

/* CVPUT puts one message of BufferLength bytes from Buffer on the queue
 * Hobj was opened for output.
 * MsgDesc: Format, Encoding, CodedCharSetId, MsgType, CorrelId and
 *   Persistence are kept with the message; all-zero MsgId gets a new unique
 *   identifier. On return MsgId, PutDate, PutTime (UTC) are set and
 *   Persistence is CVPER_PERSISTENT or CVPER_NOT_PERSISTENT (as queue
 *   default means persistent). A local queue manager keeps the whole
 *   descriptor with the message; a broker keeps MsgId, CorrelId, Format,
 *   Encoding, CodedCharSetId, MsgType, Persistence, Priority (0 to 9),
 *   PutDate and PutTime.
 * PutMsgOpts: Options with CVPMO_SYNCPOINT puts the message in the unit of
 *   work: nobody sees it before CVCMIT and CVBACK drops it. Without, the
 *   message is on the queue, for every getter, when the call returns, and a
 *   persistent one is on disk (on a broker: confirmed by it).
 * A put to a remote queue definition goes to the queue it names on the
 *   other queue manager, under the same syncpoint option.
 * Reasons:
 *   CVRC_HCONN_ERROR, CVRC_HOBJ_ERROR (also for the queue manager object).
 *   CVRC_NOT_OPEN_FOR_OUTPUT Hobj was not opened with CVOO_OUTPUT.
 *   CVRC_MD_ERROR, CVRC_PMO_ERROR MsgDesc or PutMsgOpts is null; also
 *     group fields that break the rules of "Message groups".
 *   CVRC_SYNCPOINT_NOT_AVAILABLE a put in a group without
 *     CVPMO_SYNCPOINT on a broker (see "Message groups").
 *   CVRC_PERSISTENCE_ERROR Persistence is not one of CVPER_*.
 *   CVRC_OPTIONS_ERROR both CVPMO_SYNCPOINT and CVPMO_NO_SYNCPOINT.
 *   CVRC_DATA_LENGTH_ERROR BufferLength is negative.
 *   CVRC_BUFFER_ERROR Buffer is null and BufferLength is not 0.
 *   CVRC_MSG_TOO_BIG_FOR_Q longer than the queue's maximum message length.
 *   CVRC_MSG_TOO_BIG_FOR_Q_MGR the broker refused the message's size.
 *   CVRC_Q_FULL the queue holds its maximum depth.
 *   CVRC_Q_DELETED the queue was deleted since it was opened.
 *   CVRC_Q_SPACE_NOT_AVAILABLE the disk is full, or so full that the space
 *     kept for taking messages off could not be set aside; nothing of the
 *     message is left behind.
 *   CVRC_UNKNOWN_REMOTE_Q_MGR, CVRC_UNKNOWN_OBJECT_NAME, CVRC_Q_TYPE_ERROR
 *     the target of a remote definition does not exist or is itself remote.
 *   CVRC_CONNECTION_BROKEN, CVRC_RESOURCE_PROBLEM, CVRC_OBJECT_DAMAGED the
 *     store or the broker failed; see CVLastCause. */
void CVPUT(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG BufferLength,
           const void *Buffer, CVLONG *CompCode, CVLONG *Reason);

/* Message properties: named text values that travel with a message. A
 * property list is a packed block of "name\0value\0" pairs; its length
 * counts every byte, the last NUL included (0: no properties). Names are 1
 * to 64 characters of letters, digits, '.', '_' and '-', each name at most
 * once; values are at most 4096 bytes and hold no NUL; at most 64
 * properties. The names cv-format, cv-encoding, cv-ccsid, cv-put-date,
 * cv-put-time, cv-msgtype, cv-group-id, cv-msg-seq, cv-offset and
 * cv-msg-flags, in any case, are the queue manager's own (a broker carries
 * the descriptor in headers of those names) and are refused. A list comes
 * back in the order it was put, CVMARK's new names after the others. */
#define CV_PROPERTY_NAME_MAX 64
#define CV_PROPERTY_VALUE_MAX 4096
#define CV_PROPERTIES_MAX 64
#define CV_PROPERTIES_LENGTH_MAX \
  (CV_PROPERTIES_MAX * (CV_PROPERTY_NAME_MAX + CV_PROPERTY_VALUE_MAX + 2))

/* CVPUTP puts a message with properties: CVPUT is CVPUTP with none. Every
 * parameter, option and reason of CVPUT holds, and:
 * PropLength, Props: the property list (see above); Props may be null when
 *   PropLength is 0. The properties are kept with the message wherever its
 *   data go, under the same syncpoint option; a put to a remote definition
 *   forwards them too.
 * Reasons:
 *   CVRC_FORMAT_ERROR the list breaks the rules above (PropLength negative
 *     or beyond CV_PROPERTIES_LENGTH_MAX, Props null with a PropLength, a
 *     missing last NUL, a bad or repeated name, a long value, too many):
 *     nothing was put.
 *   CVRC_MSG_TOO_BIG_FOR_Q_MGR on a broker, the properties with the
 *     descriptor do not fit in one frame of the connection (RabbitMQ's
 *     default is 128 KiB; a local queue manager takes any valid list). */
void CVPUTP(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG PropLength,
            const CVCHAR *Props, CVLONG BufferLength, const void *Buffer, CVLONG *CompCode,
            CVLONG *Reason);

/* CVGET takes the oldest message of the queue Hobj was opened for input on
 * whose identifiers match: a MsgId, CorrelId or GroupId of MsgDesc that is
 * not all zero must equal the message's (and see "Message groups" for
 * CVGMO_ALL_MSGS_AVAILABLE and CVGMO_LOGICAL_ORDER). (On a broker only the oldest message is
 * ever offered; when it does not match the call fails at once with
 * CVRC_NO_MSG_AVAILABLE.) With CVGMO_BROWSE_FIRST or CVGMO_BROWSE_NEXT it
 * browses instead, taking nothing (see "Browse" below).
 * MsgDesc: on return the message's descriptor, BackoutCount telling how
 *   often a unit of work gave it back (a broker tells only whether it did,
 *   1, unless its queue counts deliveries itself).
 * GetMsgOpts: Options with CVGMO_SYNCPOINT takes the message into the unit
 *   of work: hidden from every other getter, removed by CVCMIT, returned by
 *   CVBACK with its backout count raised. Without, it is gone for good when
 *   the call returns. CVGMO_WAIT waits up to WaitInterval milliseconds
 *   (negative: a day) for a message to arrive, looking every 20
 *   milliseconds; without it, or with 0, the call looks once.
 *   CVGMO_ACCEPT_TRUNCATED_MSG takes a message longer than BufferLength,
 *   giving its first BufferLength bytes.
 * BufferLength, Buffer: where the data go. DataLength: receives their
 *   length (a browse: the message's full length, see below).
 * Browse (a local queue manager; on a broker every browse get fails with
 *   CVRC_FUNCTION_NOT_SUPPORTED). On a handle opened with CVOO_BROWSE,
 *   CVGMO_BROWSE_FIRST returns the oldest message whose identifiers match
 *   as above, and CVGMO_BROWSE_NEXT the oldest matching one put after the
 *   one this handle browsed last (the first one when it browsed none yet).
 *   Reset MsgId and CorrelId to zero before each call to see every message:
 *   the descriptor returned holds the message's own. A browse returns the
 *   descriptor, the data and (CVGETP) the properties as a get would, but
 *   the message stays where it was, for every getter: not held, its
 *   backout count unchanged, outside the unit of work whatever the
 *   syncpoint options say. Messages held by a unit of work, put under a
 *   syncpoint not yet committed, or set aside as damaged are skipped. With
 *   CVGMO_ACCEPT_TRUNCATED_MSG a buffer shorter than the message receives
 *   its first BufferLength bytes (none with 0, and then a body kept in a
 *   file is not even read) while *DataLength is its full length: a way to
 *   look at a message's descriptor and properties without reading its
 *   data. A browse that fails with CVRC_TRUNCATED_MSG_FAILED leaves the
 *   position where it was, so the same call with a larger buffer returns
 *   the same message. CVGMO_WAIT waits for a matching message as a get
 *   does. The position belongs to the handle: CVCLOSE forgets it, and other
 *   handles browse on their own.
 * Reasons:
 *   CVRC_HCONN_ERROR, CVRC_HOBJ_ERROR (also for the queue manager object).
 *   CVRC_NOT_OPEN_FOR_INPUT a get on a handle not opened with an input
 *     option.
 *   CVRC_NOT_OPEN_FOR_BROWSE a browse on a handle not opened with
 *     CVOO_BROWSE.
 *   CVRC_FUNCTION_NOT_SUPPORTED a browse on a broker.
 *   CVRC_MD_ERROR MsgDesc is null.
 *   CVRC_GMO_ERROR GetMsgOpts or DataLength is null.
 *   CVRC_OPTIONS_ERROR both CVGMO_SYNCPOINT and CVGMO_NO_SYNCPOINT, or both
 *     CVGMO_BROWSE_FIRST and CVGMO_BROWSE_NEXT.
 *   CVRC_BUFFER_LENGTH_ERROR BufferLength is negative.
 *   CVRC_BUFFER_ERROR Buffer is null and BufferLength is not 0.
 *   CVRC_NO_MSG_AVAILABLE no matching message (within the wait).
 *   CVRC_BACKED_OUT (a broker) the broker had taken back what this unit of
 *     work held (its acknowledgement timeout passed): the unit of work was
 *     backed out and nothing was taken; the connection goes on.
 *   CVRC_TRUNCATED_MSG_FAILED the message is longer than BufferLength: it
 *     stays on the queue and out of the unit of work, *DataLength is its
 *     full length and MsgDesc its descriptor, so a retry with a large enough
 *     buffer and this MsgDesc gets this very message.
 *   CVRC_TRUNCATED_MSG_ACCEPTED (warning) with CVGMO_ACCEPT_TRUNCATED_MSG:
 *     the message was taken (or browsed) and cut to BufferLength bytes.
 *   CVRC_OBJECT_DAMAGED the message's data cannot be read (a local queue
 *     manager): it is set aside as damaged, MsgDesc receives its descriptor,
 *     and it is not in the unit of work; the next get takes the next
 *     message (the next browse returns the next one).
 *   CVRC_Q_SPACE_NOT_AVAILABLE only when the disk is full beyond the space
 *     kept for gets.
 * A get that fails after taking a message into the unit of work gives it
 *   back: nothing it touched is removed by CVCMIT.
 *   CVRC_CONNECTION_BROKEN, CVRC_RESOURCE_PROBLEM the store or the broker
 *     failed; see CVLastCause. */
void CVGET(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG BufferLength,
           void *Buffer, CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason);

/* CVGETP is CVGET (a get or a browse) that also returns the message's
 * properties. Every parameter, option and reason of CVGET holds, and:
 * PropBufferLength, PropBuffer: where the property list goes (see CVPUTP);
 *   PropBuffer may be null when PropBufferLength is 0. A buffer of
 *   CV_PROPERTIES_LENGTH_MAX bytes always suffices.
 * PropLength: receives the length of the list written to PropBuffer: 0 for
 *   a message without properties, and after a failure other than those
 *   below.
 * Reasons:
 *   CVRC_TRUNCATED_MSG_FAILED the list is longer than PropBufferLength (or
 *     the data longer than BufferLength): as for CVGET nothing is taken,
 *     MsgDesc and *DataLength describe the message, and *PropLength is the
 *     length the whole list needs.
 *   CVRC_TRUNCATED_MSG_ACCEPTED (warning) with CVGMO_ACCEPT_TRUNCATED_MSG,
 *     the data or the list did not fit. The list is cut neither in a pair
 *     nor in the middle of one: PropBuffer receives the first whole pairs
 *     that fit (possibly none) and *PropLength their length. The message is
 *     taken (or browsed) all the same, and keeps all its properties.
 *   CVRC_BUFFER_LENGTH_ERROR PropBufferLength is negative.
 *   CVRC_BUFFER_ERROR PropBuffer is null and PropBufferLength is not 0.
 *   CVRC_GMO_ERROR PropLength is null. */
void CVGETP(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG PropBufferLength,
            CVCHAR *PropBuffer, CVLONG *PropLength, CVLONG BufferLength, void *Buffer,
            CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason);

/* Message groups: a whole too large for one message travels as a group of
 * segments, messages that share a GroupId. The putter makes the group's
 * identifier (24 bytes, not all zero: a first segment's MsgId, or random
 * bytes) and numbers the segments 1, 2, ... N in MsgSeqNumber; Offset
 * tells where a segment's data begin in the whole; MsgFlags holds
 * CVMF_MSG_IN_GROUP on every segment and CVMF_LAST_MSG_IN_GROUP as well on
 * segment N (the latter implies the former: set both; a put that gives
 * only the latter gets both). The fields need a Version 2 descriptor.
 *  - Put (CVPUT, CVPUTP, CVPUTCLOSE): with CVMF_MSG_IN_GROUP, GroupId must
 *    not be all zero, MsgSeqNumber must be 1 or more and Offset 0 or more;
 *    a GroupId without the flag, or a MsgFlags bit not named above, is
 *    refused as well: CVRC_MD_ERROR, nothing put (a put stream stays open
 *    for a corrected CVPUTCLOSE). The four fields are kept with the
 *    message and returned by every get and browse. Outside a group the
 *    message is kept with MsgSeqNumber 1 and Offset 0, whatever was given.
 *  - Get: a GroupId that is not all zero must equal the message's, as
 *    MsgId and CorrelId must. MsgSeqNumber and Offset are not matched.
 *  - CVGMO_ALL_MSGS_AVAILABLE: a segment is eligible only when its whole
 *    group is on the queue: the one flagged last, N, and segments 1 to N,
 *    each committed and not held by another unit of work (segments this
 *    connection holds count as there). Messages outside groups are not
 *    affected. A browse honours it too.
 *  - CVGMO_LOGICAL_ORDER: a get that starts a group takes its segment 1
 *    (never a later one). Once a get with this option on a handle took a
 *    segment that is not the last, the next get with it on that handle
 *    takes the next segment of that group and nothing else
 *    (CVRC_NO_MSG_AVAILABLE while it is not there; a GroupId asked for
 *    must be that group's), until the last one was taken; the group's
 *    completeness is not looked at again meanwhile. CVBACK ends that
 *    state on every handle (the segments return; the group starts again
 *    with 1), and so does any call that answers CVRC_BACKED_OUT; a commit
 *    in the middle does not, nor does a get without the option. CVCLOSE
 *    forgets it. A browse ignores the option.
 *  - Both options hold for CVGETOPEN as for CVGET and CVGETP.
 * Units of work make a group whole:
 *  - Put a group in one unit of work (CVPMO_SYNCPOINT, one CVCMIT): it then
 *    appears whole, or (CVBACK, a process that ends) not at all.
 *  - Take it under syncpoint (CVGMO_SYNCPOINT, with both options above) and
 *    commit once after the last segment was written out: a group is then
 *    never half consumed. Segments taken without syncpoint are gone at
 *    once, and what is left of their group is no longer complete.
 *  - CVBACK, or the end of a process holding segments (see Units of work),
 *    returns every segment taken in the unit of work, each with its
 *    backout count raised.
 * On a broker:
 *  - A put in a group without CVPMO_SYNCPOINT is refused with
 *    CVRC_SYNCPOINT_NOT_AVAILABLE: the puts of a unit of work are
 *    published at CVCMIT.
 *  - A group's segments after its first go to a queue of the group's own,
 *    named QUEUE.cv-group.GROUPID (the GroupId in hexadecimal), declared
 *    durable, each publish confirmed; the first segment goes on QUEUE at
 *    CVCMIT, last: the group appears whole or not at all, whatever becomes
 *    of the putter, and its segments never interleave with other putters'
 *    messages. When the unit of work put the group's first segment, each
 *    later one put in order (2, 3, ...) is published by its put, so that
 *    no more than one segment waits for the commit; the others are
 *    published by CVCMIT, in order. CVBACK, and a commit that fails,
 *    delete the group's queue of every group whose first segment the unit
 *    of work put and did not publish. A putter killed before its commit
 *    ends leaves that queue behind, unseen, and a file naming it in the
 *    queue manager's
 *    directory (amqp.groups/), locked while its connection lasts; the
 *    next CVCONN of that queue manager after that connection ended (its
 *    process killed, its broker lost) deletes the queue. (The file is removed
 *    just before the first segment is published, since after that the
 *    group may be on the queue: a putter that ends or loses its broker
 *    during that one publish leaves the queue for good.)
 *  - So QUEUE itself holds one message per group, its first segment: the
 *    depth counts a group once, and so does the maximum depth. A get
 *    reaches the later segments only in logical order (the middle of a
 *    group, see CVGMO_LOGICAL_ORDER, takes from the group's queue); a
 *    commit that took a group's last segment deletes the group's queue
 *    when it is empty, and cvadmin clear deletes it with the first.
 *  - A broker offers only a queue's oldest message and cannot look ahead:
 *    CVGMO_ALL_MSGS_AVAILABLE is accepted and checks nothing (a group is
 *    whole once its first segment is there). With CVGMO_LOGICAL_ORDER a
 *    get whose oldest message is not the segment it must take (a later
 *    segment when a group starts, anything but the next segment in the
 *    middle of one) gives it back untouched and fails with
 *    CVRC_NO_MSG_AVAILABLE at once. */

/* CVMARK adds properties to a message this connection holds under
 * syncpoint (got with CVGMO_SYNCPOINT in the open unit of work, not yet
 * committed or backed out), or replaces the values of those it has by the
 * same names. The change is made durably and at once, outside the unit of
 * work: a back-out keeps it, and so does the end of this process in any
 * way, after which the message returns to its queue with the marks (see
 * Units of work). A commit removes the message, marks and all.
 * MsgId: the message's identifier, as CVGET returned it in MsgDesc (24
 *   bytes). Should the connection hold several messages with that
 *   identifier, the one it got first is marked.
 * PropLength, Props: the properties to set, a list as for CVPUTP; an empty
 *   one changes nothing, and the call only confirms that the message is
 *   still held (on a broker too). The message may not end up with more
 *   than CV_PROPERTIES_MAX properties.
 * On a broker the marks are not kept, yet the call asks the broker, in a
 * round trip, whether the connection still holds the message: a program
 * calls it just before the step it cannot take back (renaming a stored
 * file into place), since a broker takes a delivery back when it has been
 * held longer than its consumer_timeout.
 * Reasons:
 *   CVRC_HCONN_ERROR Hconn is not this process's connection.
 *   CVRC_MSG_ID_ERROR MsgId is null.
 *   CVRC_FORMAT_ERROR the list breaks the rules of CVPUTP, or the message
 *     would end up with more than CV_PROPERTIES_MAX properties.
 *   CVRC_NO_MSG_LOCKED this connection holds no message with that
 *     identifier (never got, got without syncpoint, already committed or
 *     backed out, or set aside because its data could not be read).
 *   CVRC_FUNCTION_NOT_SUPPORTED the queue manager keeps its messages on a
 *     broker, which cannot change a message it has delivered; it does
 *     still hold the message.
 *   CVRC_BACKED_OUT on a broker, the broker has taken the message back
 *     (it closed the channel, its consumer_timeout having passed) and put
 *     it on its queue again. The whole unit of work is over: its other
 *     gets are returned, its puts and journal changes dropped. The
 *     connection stays usable; the next CVCMIT answers CVRC_BACKED_OUT
 *     (committing nothing), a CVBACK instead answers as for an empty unit
 *     of work.
 *   CVRC_Q_SPACE_NOT_AVAILABLE, CVRC_RESOURCE_PROBLEM,
 *     CVRC_OBJECT_DAMAGED the store failed; see CVLastCause.
 * A call that fails changed nothing. */
void CVMARK(CVHCONN Hconn, const CVBYTE *MsgId, CVLONG PropLength, const CVCHAR *Props,
            CVLONG *CompCode, CVLONG *Reason);

/* Streams: a message body written or read in pieces, so that neither side
 * ever holds a whole body in memory. A stream is named by a CVHMSG handle
 * (CVHM_UNUSABLE_HMSG when there is none); a connection has at most one
 * stream open at a time. The unit-of-work rules are those of CVPUT and
 * CVGET:
 *  - A message being written is invisible to everyone until CVPUTCLOSE
 *    completes it, and under syncpoint until CVCMIT after that. A stream
 *    abandoned, failed, or left open by a process that ends in any way
 *    leaves nothing behind: no message and, after the next connection to
 *    the queue manager, no data on disk.
 *  - A message being read is taken under syncpoint (the only way a stream
 *    reads): held until CVCMIT removes it or CVBACK returns it, and
 *    returned when the process ends in any way before CVCMIT.
 *  - CVCMIT while a put stream is open fails with CVRC_UOW_IN_PROGRESS and
 *    changes nothing (its message is not complete). CVBACK abandons a put
 *    stream opened under syncpoint, CVDISC any stream.
 *  - A get stream ends at the first call on the connection that is not one
 *    of its own (CVGETDATA, CVGETFD, CVGETCLOSE): its handle is then
 *    unusable (CVRC_HMSG_ERROR) and its message stays held. A broker sends
 *    the body on the connection every call uses, so nothing may come
 *    between its frames. CVCMIT so removes the message of a get stream
 *    still open, as any held get's.
 * A local queue manager writes a body beyond 128 KiB to a file of its own
 * as it arrives, starting the write to disk as it goes, and makes it
 * durable (persistent messages) before CVPUTCLOSE returns; a body is read
 * from that file. A broker queue manager keeps the body being written in
 * an unnamed temporary file and publishes it at completion (under
 * syncpoint: at CVCMIT) in frames read from that file; a body being read
 * comes from the broker frame by frame. */

/* CVPUTOPEN opens a put stream on the queue Hobj was opened for output on.
 * PutMsgOpts: Options as for CVPUT (CVPMO_SYNCPOINT: the message joins the
 *   unit of work when completed).
 * ExpectedLength: the body's length when it is known (-1: unknown), checked
 *   against the queue's maximum message length at once; the stream may
 *   still end up longer or shorter.
 * Hmsg: receives the stream's handle.
 * Reasons: CVRC_HCONN_ERROR, CVRC_HOBJ_ERROR, CVRC_NOT_OPEN_FOR_OUTPUT,
 *   CVRC_PMO_ERROR and CVRC_OPTIONS_ERROR as for CVPUT;
 *   CVRC_HMSG_ERROR Hmsg is null; CVRC_HANDLE_NOT_AVAILABLE a stream is
 *   open already; CVRC_MSG_TOO_BIG_FOR_Q ExpectedLength is beyond the
 *   queue's maximum message length; CVRC_Q_SPACE_NOT_AVAILABLE,
 *   CVRC_RESOURCE_PROBLEM, CVRC_CONNECTION_BROKEN as for CVPUT. */
void CVPUTOPEN(CVHCONN Hconn, CVHOBJ Hobj, CVPMO *PutMsgOpts, CVLONG ExpectedLength,
               CVHMSG *Hmsg, CVLONG *CompCode, CVLONG *Reason);

/* CVPUTDATA appends BufferLength bytes from Buffer to the stream's body.
 * CVPUTFD appends what the descriptor Fd has to give now, at most
 * MaxLength bytes (more than 0), without copying them through user memory where the
 * kernel allows (splice from a socket or pipe); *Moved receives the count,
 * 0 at the end of Fd's data. Like read(2) it waits when Fd has nothing yet:
 * poll Fd first to bound that wait (a signal does not end it).
 * A body that grows beyond the queue's maximum message length, or beyond
 * 2147483647 bytes, fails the call with CVRC_MSG_TOO_BIG_FOR_Q at once.
 * A failed read of Fd fails the call with CVRC_BUFFER_ERROR and errno
 * telling why; the stream goes on as it was. Any other failure but a bad
 * handle or argument breaks the stream: its data are dropped and the
 * completing CVPUTCLOSE fails with the same reason.
 * Reasons: CVRC_HCONN_ERROR; CVRC_HMSG_ERROR Hmsg is not an open put
 *   stream; CVRC_DATA_LENGTH_ERROR a negative length (for CVPUTFD: not
 *   more than 0); CVRC_BUFFER_ERROR
 *   Buffer null with a length, Fd negative or unreadable, Moved null;
 *   CVRC_MSG_TOO_BIG_FOR_Q; CVRC_Q_SPACE_NOT_AVAILABLE the disk is full;
 *   CVRC_RESOURCE_PROBLEM writing the body failed (see CVLastCause). */
void CVPUTDATA(CVHCONN Hconn, CVHMSG Hmsg, CVLONG BufferLength, const void *Buffer,
               CVLONG *CompCode, CVLONG *Reason);
void CVPUTFD(CVHCONN Hconn, CVHMSG Hmsg, int Fd, CVLONG MaxLength, CVLONG *Moved,
             CVLONG *CompCode, CVLONG *Reason);

/* CVPUTREADFD hands over a new descriptor of the file the stream's body is
 * written to, for reading what was written (pread) while the stream goes
 * on, e.g. to digest it beside the writer from the page cache; the caller
 * closes it. A body still kept in memory has no file yet: the call fails
 * with CVRC_FUNCTION_NOT_SUPPORTED until the body outgrows memory (128
 * KiB), so a reader takes the first bytes as they are written.
 * Reasons: CVRC_HCONN_ERROR; CVRC_HMSG_ERROR Hmsg is not an open put
 *   stream; CVRC_BUFFER_ERROR Fd null; CVRC_FUNCTION_NOT_SUPPORTED;
 *   CVRC_RESOURCE_PROBLEM see CVLastCause; a broken stream's reason. */
void CVPUTREADFD(CVHCONN Hconn, CVHMSG Hmsg, int *Fd, CVLONG *CompCode, CVLONG *Reason);

/* CVPUTSYNC makes the body written so far durable where the queue manager
 * keeps it on its own disk (a local queue manager's body file), as the
 * completion of a persistent message would: the completing CVPUTCLOSE then
 * has little left to wait for, and the caller can wait for the disk while
 * it still works out the properties (a digest of the body, say). Nothing
 * to do for a body in memory or on a broker.
 * Reasons: CVRC_HCONN_ERROR; CVRC_HMSG_ERROR Hmsg is not an open put
 *   stream; CVRC_RESOURCE_PROBLEM see CVLastCause; a broken stream's
 *   reason. */
void CVPUTSYNC(CVHCONN Hconn, CVHMSG Hmsg, CVLONG *CompCode, CVLONG *Reason);

/* CVPUTCLOSE ends a put stream. With CVSC_COMPLETE it puts the message
 * whose data are the stream's body exactly as CVPUTP puts one (the same
 * MsgDesc in and out, properties and reasons), under the syncpoint option
 * of CVPUTOPEN; the stream is closed whatever the outcome, except after
 * CVRC_MD_ERROR, CVRC_PERSISTENCE_ERROR or CVRC_FORMAT_ERROR, which leave
 * it open for a corrected call. With CVSC_ABANDON nothing is put and
 * MsgDesc and the properties are not read. *Hmsg becomes
 * CVHM_UNUSABLE_HMSG when the stream is closed.
 * Reasons: those of CVPUTP; CVRC_HMSG_ERROR Hmsg is null or not an open
 *   put stream; CVRC_OPTIONS_ERROR an unknown option; a broken stream's
 *   reason. */
void CVPUTCLOSE(CVHCONN Hconn, CVHMSG *Hmsg, CVLONG Options, CVMD *MsgDesc, CVLONG PropLength,
                const CVCHAR *Props, CVLONG *CompCode, CVLONG *Reason);

/* CVGETOPEN takes a message as CVGETP does, with CVGMO_SYNCPOINT required,
 * and opens a stream on its data instead of copying them: *DataLength
 * receives the body's full length, Hmsg the stream. MsgDesc, GetMsgOpts
 * (CVGMO_WAIT included), the properties and their reasons are those of
 * CVGETP; CVGMO_ACCEPT_TRUNCATED_MSG concerns the properties only. A
 * browse cannot stream.
 * Reasons: those of CVGETP; CVRC_SYNCPOINT_NOT_AVAILABLE GetMsgOpts lacks
 *   CVGMO_SYNCPOINT; CVRC_OPTIONS_ERROR a browse option; CVRC_HMSG_ERROR
 *   Hmsg is null; CVRC_HANDLE_NOT_AVAILABLE a stream is open already. */
void CVGETOPEN(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts,
               CVLONG PropBufferLength, CVCHAR *PropBuffer, CVLONG *PropLength,
               CVLONG *DataLength, CVHMSG *Hmsg, CVLONG *CompCode, CVLONG *Reason);

/* CVGETDATA copies the next bytes of the body, at most BufferLength, to
 * Buffer; *DataLength receives their count, 0 once the whole body was
 * read.
 * CVGETFD hands over the body as a new read-only descriptor in *Fd, with
 * an offset of its own at the start, for sendfile(2) and the like; the
 * caller closes it. Its bytes stay valid after the stream is closed. A broker's body
 * arrives frame by frame and cannot be handed over:
 * CVRC_FUNCTION_NOT_SUPPORTED (use CVGETDATA).
 * Reasons: CVRC_HCONN_ERROR; CVRC_HMSG_ERROR Hmsg is not an open get
 *   stream; CVRC_BUFFER_LENGTH_ERROR, CVRC_BUFFER_ERROR as for CVGET (and
 *   DataLength or Fd null); CVRC_OBJECT_DAMAGED the body ends short (the
 *   message is set aside as CVGET would; every later read says so again);
 *   CVRC_CONNECTION_BROKEN (and every later read),
 *   CVRC_RESOURCE_PROBLEM see CVLastCause. */
void CVGETDATA(CVHCONN Hconn, CVHMSG Hmsg, CVLONG BufferLength, void *Buffer, CVLONG *DataLength,
               CVLONG *CompCode, CVLONG *Reason);
void CVGETFD(CVHCONN Hconn, CVHMSG Hmsg, int *Fd, CVLONG *CompCode, CVLONG *Reason);

/* CVGETCLOSE ends a get stream; *Hmsg becomes CVHM_UNUSABLE_HMSG. The
 * message stays in the unit of work, read in full or not: CVCMIT removes
 * it, CVBACK returns it. Options: CVSC_COMPLETE or CVSC_ABANDON, alike.
 * Reasons: CVRC_HCONN_ERROR; CVRC_HMSG_ERROR Hmsg is null or not an open
 *   get stream; CVRC_OPTIONS_ERROR an unknown option. */
void CVGETCLOSE(CVHCONN Hconn, CVHMSG *Hmsg, CVLONG Options, CVLONG *CompCode, CVLONG *Reason);

/* CVINQ inquires attributes of an object opened with CVOO_INQUIRE. Each of
 * the SelectorCount Selectors is an integer attribute, written in order to
 * IntAttrs, or a character attribute, whose 48 blank-padded characters go
 * in order to CharAttrs: CVCA_Q_MGR_NAME, and of a queue
 * CVCA_BACKOUT_REQ_Q_NAME, its backout queue (all blanks: none). Integer
 * attributes are those of queues: CVIA_CURRENT_Q_DEPTH (messages on the
 * queue, including those held by units of work and damaged ones; on a
 * broker, without them), CVIA_MAX_Q_DEPTH, CVIA_MAX_MSG_LENGTH, CVIA_Q_TYPE
 * and CVIA_BACKOUT_THRESHOLD, the backout count at which a message belongs
 * on the backout queue (0: never); of a remote definition only
 * CVIA_Q_TYPE. The backout attributes are for the application to act on:
 * the queue manager keeps and tells them (cvadmin define and alter set
 * them), and moves no message itself. Nothing is written unless every
 * selector is valid.
 * Reasons:
 *   CVRC_HCONN_ERROR, CVRC_HOBJ_ERROR.
 *   CVRC_NOT_OPEN_FOR_INQUIRE Hobj was not opened with CVOO_INQUIRE.
 *   CVRC_SELECTOR_COUNT_ERROR SelectorCount is not 0..256 or Selectors is
 *     null.
 *   CVRC_INT_ATTR_COUNT_ERROR, CVRC_CHAR_ATTR_LENGTH_ERROR a negative count
 *     or length, or a null array with a positive one.
 *   CVRC_SELECTOR_ERROR a selector the library does not know.
 *   CVRC_SELECTOR_NOT_FOR_TYPE a queue attribute of the queue manager, or
 *     another than CVIA_Q_TYPE of a remote definition.
 *   CVRC_INT_ATTR_COUNT_TOO_SMALL, CVRC_CHAR_ATTRS_TOO_SHORT IntAttrCount
 *     or CharAttrLength is too small for the selectors.
 *   CVRC_CONNECTION_BROKEN, CVRC_RESOURCE_PROBLEM, CVRC_UNKNOWN_OBJECT_NAME
 *     the depth could not be read (the queue is gone from the broker); see
 *     CVLastCause. */
void CVINQ(CVHCONN Hconn, CVHOBJ Hobj, CVLONG SelectorCount, const CVLONG *Selectors,
           CVLONG IntAttrCount, CVLONG *IntAttrs, CVLONG CharAttrLength, CVCHAR *CharAttrs,
           CVLONG *CompCode, CVLONG *Reason);

/* CVCMIT commits the unit of work: messages got under syncpoint leave their
 * queues, messages put under syncpoint appear on theirs; with no unit of
 * work it does nothing. Puts forwarded to other queue managers are
 * committed there first, each queue manager on its own: when one of them
 * fails its reason is returned but the others are committed.
 * Reasons:
 *   CVRC_HCONN_ERROR Hconn is not this process's connection.
 *   CVRC_Q_FULL, CVRC_UNKNOWN_OBJECT_NAME, CVRC_MSG_TOO_BIG_FOR_Q_MGR on a
 *     broker, a put of the unit of work was refused at commit: the puts
 *     before it are on their queues, it and those after it are dropped, and
 *     the gets stay in the unit of work for CVBACK (after
 *     CVRC_MSG_TOO_BIG_FOR_Q_MGR the broker has given them back already).
 *   CVRC_UOW_IN_PROGRESS a put stream is open (see Streams): nothing
 *     was committed.
 *   CVRC_BACKED_OUT on a store, messages of the unit of work were no
 *     longer its own (another connection took it for ended and backed them
 *     out): the rest is backed out too and the unit of work is over. On a
 *     broker, the broker took the gets back (held past its
 *     consumer_timeout; see CVMARK): the same, and the connection stays
 *     usable.
 *   CVRC_CONNECTION_BROKEN, CVRC_RESOURCE_PROBLEM the store or the broker
 *     failed; the unit of work stays open on a store, and is backed out by
 *     the broker when its connection is gone. */
void CVCMIT(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason);

/* CVBACK backs the unit of work out: messages got under syncpoint return to
 * their queues with their backout count raised, messages put under
 * syncpoint are dropped; with no unit of work it does nothing.
 * Reasons: as for CVCMIT, but for the refused puts. */
void CVBACK(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason);

/* The journal: records a program keeps in its queue manager's store beside
 * its messages, in its units of work, so that what it did to the world
 * outside (a file taken from a server) and the message it made of it are
 * durable together or not at all. A record is a key (1 to
 * CV_JOURNAL_KEY_MAX bytes, any bytes) and a value (0 to
 * CV_JOURNAL_VALUE_MAX bytes, any bytes). Records are the queue manager's,
 * shared by every connection and process; a key names one record at a time.
 *  - Without CVJO_SYNCPOINT a change is made at once, and durably.
 *  - With CVJO_SYNCPOINT it joins the unit of work (beginning one if need
 *    be) as a put under syncpoint does: other connections see it only after
 *    CVCMIT, and it is dropped by CVBACK, CVDISC or an end of the process
 *    before the commit (see Units of work). On a local queue manager the
 *    commit makes the messages and the records of the unit of work durable
 *    in one transaction: all of them, or none.
 *  - A key changed in a unit of work is that unit's until it ends: CVJPUT
 *    and CVJDEL of it by any other connection are refused at once with
 *    CVRC_JOURNAL_KEY_EXISTS, and so are its own changes of it without
 *    syncpoint. So of connections that add the same key the first wins;
 *    the others back out what they did, and exactly one of them made its
 *    message. A unit of work whose process has ended is backed out first,
 *    on the same proof as for held messages.
 *  - CVJGET and CVJNEXT read without waiting and join no unit of work.
 *  - A queue manager on a broker keeps its journal in a store of its own,
 *    "journal" in its directory of the data directory, made on first use.
 *    CVCMIT commits the records right after the broker has taken every
 *    message of the unit of work (when it refuses one, the records stay
 *    pending for CVBACK): a process that ends between the two leaves
 *    messages without their records. That is at least once, not exactly
 *    once: the message's correlation identifier tells the duplicate.
 * Reasons common to the journal calls: CVRC_HCONN_ERROR;
 * CVRC_BUFFER_ERROR a null key, prefix, value or buffer with a length, or
 * a null cursor or length pointer; CVRC_DATA_LENGTH_ERROR a key of length 0,
 * or a key, prefix, cursor or value length negative or too long;
 * CVRC_BUFFER_LENGTH_ERROR a negative BufferLength; CVRC_OPTIONS_ERROR an
 * option the call does not name; CVRC_RESOURCE_PROBLEM,
 * CVRC_Q_SPACE_NOT_AVAILABLE, CVRC_CONNECTION_BROKEN and CVRC_OBJECT_DAMAGED
 * the store failed (see CVLastCause). A call that fails changed nothing. */
#define CV_JOURNAL_KEY_MAX 1024
#define CV_JOURNAL_VALUE_MAX 4096
#define CVJO_NONE 0
#define CVJO_SYNCPOINT 0x0001 /* in the unit of work (else at once) */
#define CVJO_REPLACE 0x0002   /* a record of the key is replaced */
#define CVRC_JOURNAL_KEY_EXISTS 2461
#define CVRC_JOURNAL_KEY_NOT_FOUND 2462

/* CVJPUT adds the record Key = Value. Options: CVJO_SYNCPOINT,
 * CVJO_REPLACE. Reasons: CVRC_JOURNAL_KEY_EXISTS the key has a record this
 * connection sees (committed, or its own pending one) and CVJO_REPLACE was
 * not given, or the key is held by a unit of work (see above). */
void CVJPUT(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG ValueLength,
            const void *Value, CVLONG Options, CVLONG *CompCode, CVLONG *Reason);

/* CVJGET reads the record of Key as this connection sees it: the committed
 * one, or the change pending in its own unit of work (after its pending
 * CVJDEL there is none) into Buffer; *DataLength gets the value's whole
 * length. A value longer than BufferLength is cut to it, and the call
 * completes with CVCC_WARNING and CVRC_TRUNCATED_MSG_ACCEPTED.
 * Reasons: CVRC_JOURNAL_KEY_NOT_FOUND no record. */
void CVJGET(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG BufferLength, void *Buffer,
            CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason);

/* CVJDEL removes the record of Key (as this connection sees it, as for
 * CVJGET). Options: CVJO_SYNCPOINT (removed at commit, kept after
 * back-out; meanwhile other connections still read it).
 * Reasons: CVRC_JOURNAL_KEY_NOT_FOUND no record; CVRC_JOURNAL_KEY_EXISTS the
 * key is held by a unit of work (see above). */
void CVJDEL(CVHCONN Hconn, CVLONG KeyLength, const void *Key, CVLONG Options, CVLONG *CompCode,
            CVLONG *Reason);

/* CVJNEXT walks the committed records whose keys begin with Prefix (length
 * 0: every record) in key order: bytes compared as memcmp does, a key
 * before the longer ones it begins. It reads the first record after the
 * key in Cursor (*CursorLength bytes; 0 for the start), stores its key in
 * Cursor (room for CV_JOURNAL_KEY_MAX bytes) and *CursorLength, and its
 * value in Buffer as CVJGET does (a value cut by the buffer still moves
 * the cursor on: CVJGET of the key reads it whole). Records another
 * connection commits meanwhile are met when their keys lie ahead.
 * Reasons: CVRC_JOURNAL_KEY_NOT_FOUND no record is left (Cursor unchanged). */
void CVJNEXT(CVHCONN Hconn, CVLONG PrefixLength, const void *Prefix, void *Cursor,
             CVLONG *CursorLength, CVLONG BufferLength, void *Buffer, CVLONG *DataLength,
             CVLONG *CompCode, CVLONG *Reason);

/* CVReasonName returns the symbolic name of a reason or feedback code, such
 * as "CVRC_NO_MSG_AVAILABLE", or "UNKWOWN REASON" for a code without one.
 * Never null; static storage. */
const char *CVReasonName(CVLONG Code);

/* CVReasonCount returns how many codes CVReasonName names. */
CVLONG CVReasonCount(void);

/* CVLastCause returns, in the underlying system's own words, why the last
 * queue call of this thread failed: the SQLite error and message, the
 * operating system's error text with the file it concerns, or the broker's
 * reply. "" when that call succeeded or its reason says all there is (such
 * as CVRC_NO_MSG_AVAILABLE). The text stays valid until this thread's next
 * queue call. Never null. */
const char *CVLastCause(void);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_H */
