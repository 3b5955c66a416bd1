// Any text as an ftp:// URL. What the parser accepts holds no CR, LF or NUL
// (they would end an FTP command early), names a scheme this program knows,
// a host and a port of 1 to 65535 or none; and the parts, written back as a
// URL with every byte escaped, parse to the same parts.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ftp_auth.h"

namespace {

// Traps unless field is terminated within its size and holds no CR or LF.
void CheckField(const char *field, size_t size) {
  if (strnlen(field, size) == size || std::strpbrk(field, "\r\n") != nullptr) __builtin_trap();
}

// text with every byte written as a %XX escape.
std::string Escaped(const char *text) {
  std::string out;
  char escape[4];
  for (const char *c = text; *c != '\0'; c++) {
    std::snprintf(escape, sizeof(escape), "%%%02X", static_cast<unsigned char>(*c));
    out += escape;
  }
  return out;
}

// The parts of url written back as a URL, every byte of them escaped.
std::string Written(const FtpUrl &url) {
  std::string text = std::string(url.Scheme) + "://";
  if (url.HasUser) {
    text += Escaped(url.User);
    if (url.HasPassword) text += ":" + Escaped(url.Password);
    text += "@";
  }
  text += Escaped(url.Host);
  if (url.Port != 0) text += ":" + std::to_string(url.Port);
  return text + "/" + Escaped(url.Path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);  // the parser's messages
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);  // cut at a NUL
  FtpUrl url, reparsed;
  if (FtpParseUrl(text.c_str(), &url) != 0) return 0;
  CheckField(url.User, sizeof(url.User));
  CheckField(url.Password, sizeof(url.Password));
  CheckField(url.Host, sizeof(url.Host));
  CheckField(url.Path, sizeof(url.Path));
  if (url.Host[0] == '\0' || (url.User[0] != '\0' && !url.HasUser) ||
      (url.Password[0] != '\0' && !url.HasPassword))
    __builtin_trap();
  const std::string scheme = url.Scheme;
  if (FtpIsUrl(text.c_str()) && scheme != "ftp" && scheme != "ftps" && scheme != "ftpes" &&
      scheme != "sftp")
    __builtin_trap();
  const std::string again = Written(url);
  if (FtpParseUrl(again.c_str(), &reparsed) != 0 || Written(reparsed) != again) __builtin_trap();
  return 0;
}
