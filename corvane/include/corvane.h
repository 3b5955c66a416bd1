// corvane.h - public interface of libcorvane, the embedded Corvane queue
// manager. This header is the whole contract: the nine calls, their
// descriptors with default initialisers, and the codes they return.
// Everything else of the library is internal.
#ifndef CORVANE_H
#define CORVANE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t CVLONG;
typedef int32_t CVHCONN;
typedef int32_t CVHOBJ;
typedef char CVCHAR;
typedef unsigned char CVBYTE;

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

/* Inquiry selectors. */
#define CVIA_CURRENT_Q_DEPTH 3
#define CVIA_MAX_MSG_LENGTH 13
#define CVIA_MAX_Q_DEPTH 15
#define CVIA_Q_TYPE 20
#define CVCA_Q_MGR_NAME 2015

/* Persistence. */
#define CVPER_NOT_PERSISTENT 0
#define CVPER_PERSISTENT 1
#define CVPER_PERSISTENCE_AS_Q_DEF 2

/* Misc values. */
#define CVHC_UNUSABLE_HCONN (-1)
#define CVHO_UNUSABLE_HOBJ (-1)
#define CVENC_NATIVE 273
#define CVCCSI_Q_MGR 0
#define CVFMT_NONE "        "
#define CVFMT_STRING "CVSTR   "
#define CV_Q_NAME_LENGTH 48
#define CV_Q_MGR_NAME_LENGTH 48
#define CV_MSG_ID_LENGTH 24
#define CV_CORREL_ID_LENGTH 24
#define CV_FORMAT_LENGTH 8

/* Message descriptor. */
typedef struct tagCVMD {
  CVCHAR StrucId[4];     /* "MD  " */
  CVLONG Version;        /* 1 */
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
} CVMD;

#define CVMD_DEFAULT                                                                           \
  {                                                                                            \
    {'M', 'D', ' ', ' '}, 1, 0, 8, -1, 0, CVENC_NATIVE, 0,                                     \
        {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}, -1, CVPER_PERSISTENCE_AS_Q_DEF, {0}, {0}, 0, \
        {0}, {0}, {0}, {0}, {0}, 0, {0}, {0}, {0}, {                                           \
      0                                                                                        \
    }                                                                                          \
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

/* Every call ends with a completion code (CVCC_*) and a reason (CVRC_*). */

/* Connects this process to the named queue manager (blank or empty: the
 * default one, created as "CVQM" when none exists). */
void CVCONN(const CVCHAR *QMgrName, CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason);

/* Disconnects; an open unit of work is backed out. *Hconn becomes -1. */
void CVDISC(CVHCONN *Hconn, CVLONG *CompCode, CVLONG *Reason);

/* Opens a queue (or, with CVOT_Q_MGR, the queue manager for inquiry). */
void CVOPEN(CVHCONN Hconn, CVOD *ObjDesc, CVLONG Options, CVHOBJ *Hobj, CVLONG *CompCode,
            CVLONG *Reason);

/* Closes an object handle; *Hobj becomes -1 on success. */
void CVCLOSE(CVHCONN Hconn, CVHOBJ *Hobj, CVLONG Options, CVLONG *CompCode, CVLONG *Reason);

/* Puts one message; without CVPMO_SYNCPOINT it is final when the call returns. */
void CVPUT(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVPMO *PutMsgOpts, CVLONG BufferLength,
           const void *Buffer, CVLONG *CompCode, CVLONG *Reason);

/* Gets the oldest matching message. A buffer too small fails with
 * CVRC_TRUNCATED_MSG_FAILED, takes nothing and sets *DataLength to the
 * message's full length. */
void CVGET(CVHCONN Hconn, CVHOBJ Hobj, CVMD *MsgDesc, CVGMO *GetMsgOpts, CVLONG BufferLength,
           void *Buffer, CVLONG *DataLength, CVLONG *CompCode, CVLONG *Reason);

/* Inquires integer and character attributes of an open object. */
void CVINQ(CVHCONN Hconn, CVHOBJ Hobj, CVLONG SelectorCount, const CVLONG *Selectors,
           CVLONG IntAttrCount, CVLONG *IntAttrs, CVLONG CharAttrLength, CVCHAR *CharAttrs,
           CVLONG *CompCode, CVLONG *Reason);

/* Commits / backs out the connection's unit of work. */
void CVCMIT(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason);
void CVBACK(CVHCONN Hconn, CVLONG *CompCode, CVLONG *Reason);

/* Returns the symbolic name of a reason or feedback code, or
 * "UNKWOWN REASON" for a code without one. Never null; static storage. */
const char *CVReasonName(CVLONG Code);

/* Returns how many codes CVReasonName names. */
CVLONG CVReasonCount(void);

/* Returns, in the underlying system's own words, why the last queue call of
 * this thread failed (SQLite, the operating system, the broker); "" when
 * that call succeeded or its reason says all there is. Valid until this
 * thread's next queue call. Never null. */
const char *CVLastCause(void);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_H */
