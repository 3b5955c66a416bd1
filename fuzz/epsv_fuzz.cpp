// Any EPSV reply text: the parser refuses it, or yields a port of 1 to
// 65535 that the reply spells between two of its delimiters.
#include <cstdint>
#include <string>

#include "ftp_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string reply(reinterpret_cast<const char *>(data), size);  // cut at a NUL
  unsigned short port = 0;
  if (FtpParseEpsvReply(reply.c_str(), &port) != 0) return 0;
  if (port == 0) __builtin_trap();
  // The digits may have leading zeros: "(|||021|)" is port 21.
  const std::string digits = std::to_string(port);
  const size_t at = reply.find(digits + reply[reply.find('(') + 1] + ")");
  if (at == std::string::npos) __builtin_trap();
  return 0;
}
