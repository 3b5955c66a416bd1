// Any bytes as the property lists of a message, through the library's calls
// on a store of the fuzzer's own: a put takes exactly the lists that follow
// the rules of corvane.h and refuses the others, putting nothing; a get with
// a short buffer hands out the whole pairs that fit and no more; a mark
// replaces values and adds new names after the others, or changes nothing
// when it fails; what comes back is what was put and marked; and a call
// that ends well leaves no cause behind.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string gHome;
CVHCONN gHconn = CVHC_UNUSABLE_HCONN;
CVHOBJ gHobj = CVHO_UNUSABLE_HOBJ;

// Stops the run, as a crash, when an expectation does not hold.
void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// The pairs of list when it follows the rules of corvane.h, else nothing.
std::optional<Pairs> Parse(const std::string &list) {
  Pairs pairs;
  if (list.empty()) return pairs;
  if (list.size() > CV_PROPERTIES_LENGTH_MAX || list.back() != '\0') return std::nullopt;
  std::vector<std::string> parts;
  for (size_t at = 0; at < list.size(); at = list.find('\0', at) + 1)
    parts.emplace_back(list.c_str() + at);
  if (parts.size() % 2 != 0 || parts.size() / 2 > CV_PROPERTIES_MAX) return std::nullopt;
  for (size_t i = 0; i < parts.size(); i += 2) {
    const std::string &name = parts[i];
    bool bad = name.empty() || name.size() > CV_PROPERTY_NAME_MAX ||
               parts[i + 1].size() > CV_PROPERTY_VALUE_MAX ||
               name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                      "0123456789._-") != std::string::npos;
    for (const char *own : {"cv-format", "cv-encoding", "cv-ccsid", "cv-put-date", "cv-put-time",
                            "cv-msgtype", "cv-group-id", "cv-msg-seq", "cv-offset", "cv-msg-flags"})
      bad = bad || strcasecmp(name.c_str(), own) == 0;
    for (const auto &pair : pairs) bad = bad || pair.first == name;
    if (bad) return std::nullopt;
    pairs.emplace_back(name, parts[i + 1]);
  }
  return pairs;
}

// Gets the next message of the queue with a property buffer of room bytes;
// returns the reason and, unless the get failed, the list in *props.
CVLONG GetProps(CVLONG options, CVLONG room, std::string *props, CVMD *md) {
  *md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  gmo.Options = options;
  std::vector<CVCHAR> buffer(static_cast<size_t>(room) + 1);
  char data[8];
  CVLONG propLength = -1, dataLength = -1, cc = -1, reason = -1;
  CVGETP(gHconn, gHobj, md, &gmo, room, buffer.data(), &propLength, sizeof(data), data, &dataLength,
         &cc, &reason);
  Check(cc != CVCC_OK || CVLastCause()[0] == '\0');
  if (cc != CVCC_FAILED) {
    Check(propLength >= 0 && propLength <= room && dataLength == 1 && data[0] == 'm');
    props->assign(buffer.data(), static_cast<size_t>(propLength));
  }
  return reason;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/props_fuzz_XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  gHome = dir;
  setenv("CORVANE_HOME", (gHome + "/home").c_str(), 1);
  CVLONG cc, reason;
  CVCONN("", &gHconn, &cc, &reason);
  CVOD od = CVOD_DEFAULT;
  std::strcpy(od.ObjectName, "SYSTEM.DEFAULT.LOCAL.QUEUE");
  if (cc == CVCC_OK) CVOPEN(gHconn, &od, CVOO_INPUT_AS_Q_DEF | CVOO_OUTPUT, &gHobj, &cc, &reason);
  if (cc != CVCC_OK) std::abort();
  // No queue call at exit: the library's thread-local state is gone by then.
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(gHome, ignored);
  });
  return 0;
}

// Two bytes give the room of the short get, two more where the list put
// ends and the list marked begins; the rest are the lists.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const CVLONG room = data[0] | data[1] << 8;
  const std::string rest(reinterpret_cast<const char *>(data + 4), size - 4);
  const size_t split = std::min<size_t>(data[2] | data[3] << 8, rest.size());
  const std::string put = rest.substr(0, split), marks = rest.substr(split);

  CVMD md = CVMD_DEFAULT;
  CVPMO pmo = CVPMO_DEFAULT;
  md.Persistence = CVPER_NOT_PERSISTENT;
  CVLONG cc = -1, reason = -1;
  CVPUTP(gHconn, gHobj, &md, &pmo, static_cast<CVLONG>(put.size()), put.data(), 1, "m", &cc,
         &reason);
  const std::optional<Pairs> pairs = Parse(put);
  std::string props;
  Check(pairs ? cc == CVCC_OK && CVLastCause()[0] == '\0' : reason == CVRC_FORMAT_ERROR);
  if (!pairs) {
    Check(GetProps(CVGMO_NO_SYNCPOINT, 0, &props, &md) == CVRC_NO_MSG_AVAILABLE);
    return 0;
  }
  // The whole pairs that fit the room, in order.
  size_t fit = 0;
  for (size_t i = 0, end = 0; i < pairs->size(); fit = end, i++) {
    end += (*pairs)[i].first.size() + (*pairs)[i].second.size() + 2;
    if (end > static_cast<size_t>(room)) break;
  }
  reason = GetProps(CVGMO_SYNCPOINT | CVGMO_ACCEPT_TRUNCATED_MSG, room, &props, &md);
  Check(reason == (fit < put.size() ? CVRC_TRUNCATED_MSG_ACCEPTED : CVRC_NONE));
  Check(props == put.substr(0, fit));

  std::optional<Pairs> marked = Parse(marks);
  if (marked) {
    Pairs merged = *pairs;
    for (const auto &mark : *marked) {
      auto it = std::find_if(merged.begin(), merged.end(),
                             [&](const auto &pair) { return pair.first == mark.first; });
      if (it != merged.end()) it->second = mark.second;
      else merged.push_back(mark);
    }
    marked = merged.size() <= CV_PROPERTIES_MAX ? std::optional<Pairs>(merged) : std::nullopt;
  }
  CVMARK(gHconn, md.MsgId, static_cast<CVLONG>(marks.size()), marks.data(), &cc, &reason);
  Check(marked ? cc == CVCC_OK && CVLastCause()[0] == '\0' : reason == CVRC_FORMAT_ERROR);
  CVBACK(gHconn, &cc, &reason);
  Check(cc == CVCC_OK && CVLastCause()[0] == '\0');
  Check(GetProps(CVGMO_NO_SYNCPOINT, CV_PROPERTIES_LENGTH_MAX, &props, &md) == CVRC_NONE);
  std::string want;
  for (const auto &[name, value] : marked ? *marked : *pairs) want += name + '\0' + value + '\0';
  Check(props == want);
  return 0;
}
