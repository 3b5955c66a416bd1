// Any text as a .netrc file, looked up for a host the input names. From a
// file only its owner can read the lookup finds an entry or none; from a
// file others can read it never hands out a password, and when it refuses
// nothing it finds what it finds in the private file. An entry found is
// terminated within its fields, and an empty result is all zeros.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_auth.h"

namespace {

// Two files in memory, one only its owner may read and one others may read
// too, named by their /proc paths.
int gFd[2] = {-1, -1};
std::string gPath[2];

// True when entry is all zeros, as a lookup that found nothing leaves it.
bool Empty(const FtpNetrcEntry &entry) {
  static const FtpNetrcEntry kZero{};
  return std::memcmp(&entry, &kZero, sizeof(entry)) == 0;
}

// Traps unless both fields are terminated and a password is there only
// when the entry says so.
void CheckEntry(const FtpNetrcEntry &entry) {
  if (strnlen(entry.Login, sizeof(entry.Login)) == sizeof(entry.Login) ||
      strnlen(entry.Password, sizeof(entry.Password)) == sizeof(entry.Password) ||
      (!entry.HasPassword && entry.Password[0] != '\0'))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);  // the refusal's message
  for (int i = 0; i < 2; i++) {
    gFd[i] = memfd_create(i == 0 ? "private" : "shared", 0);
    if (gFd[i] < 0 || fchmod(gFd[i], i == 0 ? 0600 : 0644) != 0) std::abort();
    gPath[i] = "/proc/self/fd/" + std::to_string(gFd[i]);
  }
  return 0;
}

// The first byte gives the length of the host name that follows it; the
// rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t hostLength = std::min<size_t>(data[0] % 16, size - 1);
  const std::string host(reinterpret_cast<const char *>(data + 1), hostLength);
  const std::string text(reinterpret_cast<const char *>(data + 1 + hostLength),
                         size - 1 - hostLength);
  for (int fd : gFd) {
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
      std::abort();
  }
  FtpNetrcEntry mine, shared;
  const int rcMine = FtpNetrcLookup(gPath[0].c_str(), host.c_str(), &mine);
  const int rcShared = FtpNetrcLookup(gPath[1].c_str(), host.c_str(), &shared);
  if (rcMine != 0 && rcMine != 1) __builtin_trap();
  if (rcShared < -1 || rcShared > 1) __builtin_trap();
  CheckEntry(mine);
  CheckEntry(shared);
  if ((rcMine == 0 && !Empty(mine)) || (rcShared <= 0 && !Empty(shared))) __builtin_trap();
  if (rcShared == 1 && shared.HasPassword) __builtin_trap();
  if (rcShared != -1 && (rcShared != rcMine || std::memcmp(&mine, &shared, sizeof(mine)) != 0))
    __builtin_trap();
  return 0;
}
