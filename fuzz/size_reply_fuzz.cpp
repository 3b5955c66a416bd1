// Any reply that opens a retrieval: the parser refuses it, or yields the
// size that "(N bytes)" at the very end of the text spells, in 64 bits.
#include <cstdint>
#include <string>

#include "ftp_xfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string reply(reinterpret_cast<const char *>(data), size);  // cut at a NUL
  uint64_t bytes = 0;
  if (FtpParseSizeReply(reply.c_str(), &bytes) != 0) return 0;
  // Only full stops, blanks and line ends may follow the size; its digits
  // may have leading zeros.
  const std::string text = reply.c_str();
  const size_t end = text.find_last_not_of(". \r\n");
  const std::string tail = " bytes)";
  if (end == std::string::npos || end + 1 < tail.size() ||
      text.compare(end + 1 - tail.size(), tail.size(), tail) != 0)
    __builtin_trap();
  const size_t open = text.rfind('(', end);
  if (open == std::string::npos) __builtin_trap();
  const std::string digits = text.substr(open + 1, end + 1 - tail.size() - open - 1);
  // std::stoull throws, and so ends the run, for digits beyond 64 bits.
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(digits) != bytes)
    __builtin_trap();
  return 0;
}
