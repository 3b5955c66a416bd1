// message.cpp - what every kind of queue manager does to a message the
// same way: matching identifiers and stamping a put.
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "backend.h"

namespace corvane {

bool AllZero(const CVBYTE *p, size_t n) {
  return std::all_of(p, p + n, [](CVBYTE b) { return b == 0; });
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

}  // namespace corvane
