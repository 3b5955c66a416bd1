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
  const size_t length = strnlen(field, size);
  if (length == size || std::strpbrk(field, "\r\n") != nullptr) __builtin_trap();
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

// True when a and b hold the same parts.
bool SameParts(const FtpUrl &a, const FtpUrl &b) {
  return std::strcmp(a.Scheme, b.Scheme) == 0 && std::strcmp(a.User, b.User) == 0 &&
         std::strcmp(a.Password, b.Password) == 0 && a.HasUser == b.HasUser &&
         a.HasPassword == b.HasPassword && std::strcmp(a.Host, b.Host) == 0 && a.Port == b.Port &&
         std::strcmp(a.Path, b.Path) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);  // the parser's messages
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);  // cut at a NUL
  FtpUrl url;
  if (FtpParseUrl(text.c_str(), &url) != 0) return 0;
  CheckField(url.User, sizeof(url.User));
  CheckField(url.Password, sizeof(url.Password));
  CheckField(url.Host, sizeof(url.Host));
  CheckField(url.Path, sizeof(url.Path));
  if (url.Host[0] == '\0') __builtin_trap();
  if ((url.User[0] != '\0' && !url.HasUser) || (url.Password[0] != '\0' && !url.HasPassword))
    __builtin_trap();
  if (FtpIsUrl(text.c_str()) && std::strcmp(url.Scheme, "ftp") != 0 &&
      std::strcmp(url.Scheme, "ftps") != 0 && std::strcmp(url.Scheme, "ftpes") != 0 &&
      std::strcmp(url.Scheme, "sftp") != 0)
    __builtin_trap();

  std::string again = std::string(url.Scheme) + "://";
  if (url.HasUser) {
    again += Escaped(url.User);
    if (url.HasPassword) again += ":" + Escaped(url.Password);
    again += "@";
  }
  again += Escaped(url.Host);
  if (url.Port != 0) again += ":" + std::to_string(url.Port);
  again += "/" + Escaped(url.Path);
  FtpUrl reparsed;
  if (FtpParseUrl(again.c_str(), &reparsed) != 0 || !SameParts(url, reparsed)) __builtin_trap();
  return 0;
}
