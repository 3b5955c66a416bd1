// Any line of an MLSD listing: the parser refuses it, or yields a name that
// ends the line, and tells size and time only when both facts were there.
#include <cstdint>
#include <string_view>

#include "ftp_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view line(reinterpret_cast<const char *>(data), size);
  RemoteEntry entry;
  const int rc = FtpFactsOf(line, &entry);
  if (rc < -1 || rc > 1) __builtin_trap();
  if (rc < 0) return 0;
  // The name is what follows the first blank, all of it.
  if (entry.Name.empty() || entry.Name.data() + entry.Name.size() != line.data() + line.size() ||
      entry.Name.data() != line.data() + line.find(' ') + 1)
    __builtin_trap();
  if (entry.Told != (entry.Stat.Size != UINT64_MAX && !entry.Stat.Mtime.empty()))
    __builtin_trap();
  if (!entry.Told && !(entry.Stat.Mtime.empty() && entry.Stat.Unique.empty())) __builtin_trap();
  return 0;
}
