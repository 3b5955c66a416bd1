// Any PASV reply text: the parser either refuses it or yields a dotted host
// that fits its buffer.
#include <cstdint>
#include <cstring>
#include <string>

#include "ftp_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string reply(reinterpret_cast<const char *>(data), size);  // adds the terminator
  for (int room : {1, 16, 512}) {
    char host[512];
    std::memset(host, 'x', sizeof(host));
    unsigned short port = 0;
    if (FtpParsePasvReply(reply.c_str(), host, room, &port) == 0) {
      size_t length = strnlen(host, sizeof(host));
      if (length >= static_cast<size_t>(room)) __builtin_trap();
    }
  }
  return 0;
}
