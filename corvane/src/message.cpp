// message.cpp - what every kind of queue manager does to a message the
// same way: matching identifiers, stamping a put, and its property lists.
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "backend.h"

namespace corvane {

std::string Hex(const CVBYTE *p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

bool AllZero(const CVBYTE *p, size_t n) {
  return std::all_of(p, p + n, [](CVBYTE b) { return b == 0; });
}

bool MessageMatches(const CVMD &asked, const CVMD &got, CVLONG options) {
  auto same = [](const CVBYTE *want, const CVBYTE *have, size_t n) {
    return AllZero(want, n) || std::memcmp(want, have, n) == 0;
  };
  if (!same(asked.MsgId, got.MsgId, CV_MSG_ID_LENGTH) ||
      !same(asked.CorrelId, got.CorrelId, CV_CORREL_ID_LENGTH) ||
      !same(asked.GroupId, got.GroupId, CV_GROUP_ID_LENGTH)) {
    return false;
  }
  if ((options & kNextInGroup) != 0) {
    return InGroup(got) && got.MsgSeqNumber == asked.MsgSeqNumber;
  }
  return (options & CVGMO_LOGICAL_ORDER) == 0 || !InGroup(got) || got.MsgSeqNumber == 1;
}

void StampMessage(CVMD *md) {
  if (AllZero(md->MsgId, CV_MSG_ID_LENGTH)) {
    static uint64_t counter = 0;
    unsigned char random[12] = {0};
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
      auto now = std::chrono::system_clock::now().time_since_epoch().count();
      std::memcpy(random, &now, sizeof(now));
    }
    uint64_t seq = ++counter;
    uint32_t pid = static_cast<uint32_t>(getpid());
    std::memcpy(md->MsgId, "CVM", 3);
    md->MsgId[3] = 0;
    std::memcpy(md->MsgId + 4, &pid, 4);
    std::memcpy(md->MsgId + 8, &seq, 4);
    std::memcpy(md->MsgId + 12, random, 12);
  }
  if (md->Persistence != CVPER_NOT_PERSISTENT) md->Persistence = CVPER_PERSISTENT;
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  long hundredths = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000 /
      10);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char text[32];
  std::snprintf(text, sizeof(text), "%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  std::memcpy(md->PutDate, text, 8);
  std::snprintf(text, sizeof(text), "%02d%02d%02d%02ld", utc.tm_hour, utc.tm_min, utc.tm_sec,
                hundredths);
  std::memcpy(md->PutTime, text, 8);
}

CVLONG TooBig(const QueueDef &queue, CVLONG length) {
  SetCause("the message has " + std::to_string(length) + " bytes; queue " + queue.Name +
           " takes at most " + std::to_string(queue.MaxMsgLength));
  return CVRC_MSG_TOO_BIG_FOR_Q;
}

CVLONG PutAge(const CVMD &md) {
  std::tm put{};
  char text[17];
  std::memcpy(text, md.PutDate, 8);
  std::memcpy(text + 8, md.PutTime, 8);
  text[16] = '\0';
  if (std::sscanf(text, "%4d%2d%2d%2d%2d%2d", &put.tm_year, &put.tm_mon, &put.tm_mday, &put.tm_hour,
                  &put.tm_min, &put.tm_sec) != 6) {
    return 0;
  }
  put.tm_year -= 1900;
  put.tm_mon -= 1;
  const std::time_t then = timegm(&put);
  const std::time_t now = std::time(nullptr);
  return then < 0 || now <= then
             ? 0
             : static_cast<CVLONG>(std::min<std::time_t>(now - then, INT32_MAX));
}

CVLONG CheckBackout(const QueueDef &queue) {
  if (queue.BackoutThreshold < 0) {
    SetCause("a backout threshold is a count: 0 (never) or more");
    return CVRC_Q_TYPE_ERROR;
  }
  if (queue.Type == CVQT_REMOTE && (queue.BackoutThreshold != 0 || !queue.BackoutQueue.empty())) {
    SetCause("a remote definition has no backout queue: the queue it sends to may have one");
    return CVRC_Q_TYPE_ERROR;
  }
  if (!queue.BackoutQueue.empty() && !CheckName(queue.BackoutQueue)) return CVRC_OBJECT_NAME_ERROR;
  return 0;
}

bool ValidPropertyName(const std::string &name) {
  if (name.empty() || name.size() > CV_PROPERTY_NAME_MAX) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  // A broker carries the descriptor in headers of these names.
  static const char *const kDescriptorHeaders[] = {
      "cv-format",  "cv-encoding", "cv-ccsid",   "cv-put-date", "cv-put-time",
      "cv-msgtype", "cv-group-id", "cv-msg-seq", "cv-offset",   "cv-msg-flags"};
  for (const char *reserved : kDescriptorHeaders) {
    if (strcasecmp(name.c_str(), reserved) == 0) return false;
  }
  return true;
}

CVLONG CheckProperties(CVLONG length, const CVCHAR *props) {
  auto bad = [](const std::string &why) {
    SetCause("property list: " + why);
    return CVRC_FORMAT_ERROR;
  };
  if (length == 0) return 0;
  if (length < 0 || length > CV_PROPERTIES_LENGTH_MAX) {
    return bad("length " + std::to_string(length) + " is not 0 to " +
               std::to_string(CV_PROPERTIES_LENGTH_MAX));
  }
  if (props == nullptr) return bad("no list for length " + std::to_string(length));
  if (props[length - 1] != '\0') return bad("its last byte is not a NUL");
  std::set<std::string> names;
  for (CVLONG at = 0; at < length;) {
    std::string name(props + at);
    at += static_cast<CVLONG>(name.size()) + 1;
    if (!ValidPropertyName(name)) {
      return bad("\"" + name +
                 "\" is not a name of 1 to 64 letters, digits, '.', '_' and '-' (nor one of "
                 "the descriptor's cv-format, cv-encoding, cv-ccsid, cv-put-date, cv-put-time, "
                 "cv-msgtype, cv-group-id, cv-msg-seq, cv-offset and cv-msg-flags)");
    }
    if (at >= length) return bad("\"" + name + "\" has no value");
    size_t value = std::strlen(props + at);
    at += static_cast<CVLONG>(value) + 1;
    if (value > CV_PROPERTY_VALUE_MAX) {
      return bad("the value of \"" + name + "\" has " + std::to_string(value) +
                 " bytes, more than 4096");
    }
    if (!names.insert(name).second) return bad("\"" + name + "\" is there twice");
    if (names.size() > CV_PROPERTIES_MAX) return bad("more than 64 properties");
  }
  return 0;
}

std::vector<Property> SplitProperties(const std::string &props) {
  std::vector<Property> pairs;
  for (size_t at = 0; at < props.size();) {
    std::string name(props.c_str() + at);
    at += name.size() + 1;
    std::string value(at < props.size() ? props.c_str() + at : "");
    at += value.size() + 1;
    pairs.emplace_back(std::move(name), std::move(value));
  }
  return pairs;
}

std::string JoinProperties(const std::vector<Property> &pairs) {
  std::string props;
  for (const auto &[name, value] : pairs) {
    props += name;
    props += '\0';
    props += value;
    props += '\0';
  }
  return props;
}

CVLONG MergeProperties(const std::string &props, const std::string &marks, std::string *merged) {
  std::vector<Property> pairs = SplitProperties(props);
  for (Property &mark : SplitProperties(marks)) {
    auto it = std::find_if(pairs.begin(), pairs.end(),
                           [&](const Property &p) { return p.first == mark.first; });
    if (it != pairs.end()) {
      it->second = std::move(mark.second);
    } else {
      pairs.push_back(std::move(mark));
    }
  }
  if (pairs.size() > CV_PROPERTIES_MAX) {
    SetCause("property list: the message would have " + std::to_string(pairs.size()) +
             " properties, more than 64");
    return CVRC_FORMAT_ERROR;
  }
  *merged = JoinProperties(pairs);
  return 0;
}

size_t FitProperties(const std::string &props, CVLONG length) {
  size_t fit = 0;
  for (size_t at = 0; at < props.size();) {
    size_t name = std::strlen(props.c_str() + at);
    size_t end = at + name + 1 + std::strlen(props.c_str() + at + name + 1) + 1;
    if (end > static_cast<size_t>(length)) break;
    fit = at = end;
  }
  return fit;
}

}  // namespace corvane
