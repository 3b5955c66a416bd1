// ftp_auth.cpp - ftp:// URLs and ~/.netrc, read the way BSD ftp and curl
// read them, so credentials written for those tools work here too.
#include "ftp_auth.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Decodes %XX escapes of text into out (size bytes). Returns 0, or -1 for a
// bad escape, a result that does not fit, or a decoded CR, LF or NUL (they
// would end an FTP command early).
int FtpDecode(std::string_view text, char *out, size_t size) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return -1;
      }
      c = static_cast<char>(std::strtol(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    }
    if (c == '\0' || c == '\r' || c == '\n') return -1;
    decoded += c;
  }
  if (decoded.size() >= size) return -1;
  std::memcpy(out, decoded.c_str(), decoded.size() + 1);
  return 0;
}

int FtpUrlError(const char *text, const char *why) {
  std::printf("cvxfer: %s: %s\n", text, why);
  std::fflush(stdout);
  return -1;
}

// The next token of a netrc text from *pos: blank-separated, or a double-
// quoted string with backslash escapes. Empty at the end.
std::string FtpNetrcToken(const std::string &text, size_t *pos) {
  size_t i = *pos;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
  std::string token;
  if (i < text.size() && text[i] == '"') {
    for (i++; i < text.size() && text[i] != '"'; i++) {
      if (text[i] == '\\' && i + 1 < text.size()) i++;
      token += text[i];
    }
    if (i < text.size()) i++;
  } else {
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
      token += text[i++];
  }
  *pos = i;
  return token;
}

void FtpCopy(char *field, size_t size, const std::string &value) {
  std::snprintf(field, size, "%s", value.c_str());
}

}  // namespace

int FtpIsUrl(const char *text) {
  return std::strncmp(text, "ftp://", 6) == 0 || std::strncmp(text, "ftps://", 7) == 0 ||
         std::strncmp(text, "ftpes://", 8) == 0 || std::strncmp(text, "sftp://", 7) == 0;
}

int FtpParseUrl(const char *text, FtpUrl *url) {
  std::memset(url, 0, sizeof(*url));
  std::string_view rest(text);
  const size_t scheme = rest.find("://");
  if (scheme == std::string_view::npos || scheme >= sizeof(url->Scheme)) {
    return FtpUrlError(text, "not a URL");
  }
  FtpCopy(url->Scheme, sizeof(url->Scheme), std::string(rest.substr(0, scheme)));
  rest.remove_prefix(scheme + 3);

  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos &&
      FtpDecode(rest.substr(slash + 1), url->Path, sizeof(url->Path)) != 0) {
    return FtpUrlError(text, "bad path");
  }
  // The user information ends at the last "@": a password may hold one.
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view info = authority.substr(0, at);
    const size_t colon = info.find(':');
    url->HasUser = 1;
    if (FtpDecode(info.substr(0, colon), url->User, sizeof(url->User)) != 0) {
      return FtpUrlError(text, "bad user name");
    }
    if (colon != std::string_view::npos) {
      url->HasPassword = 1;
      if (FtpDecode(info.substr(colon + 1), url->Password, sizeof(url->Password)) != 0) {
        return FtpUrlError(text, "bad password");
      }
    }
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return FtpUrlError(text, "unclosed [ in the host");
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') return FtpUrlError(text, "bad host");
    if (!after.empty()) port = after.substr(1);
  } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return FtpUrlError(text, "no host");
  if (FtpDecode(host, url->Host, sizeof(url->Host)) != 0) return FtpUrlError(text, "bad host");
  if (!port.empty() || authority.back() == ':') {
    long value = 0;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c)) ||
          (value = value * 10 + (c - '0')) > 65535) {
        return FtpUrlError(text, "bad port");
      }
    }
    if (value == 0) return FtpUrlError(text, "bad port");
    url->Port = static_cast<unsigned short>(value);
  }
  return 0;
}

const char *FtpNetrcPath(void) {
  static std::string path;
  const char *home = std::getenv("HOME");
  path = home != nullptr && home[0] != '\0' ? std::string(home) + "/.netrc" : "";
  return path.c_str();
}

int FtpNetrcLookup(const char *path, const char *host, FtpNetrcEntry *entry) {
  std::memset(entry, 0, sizeof(*entry));
  FILE *file = path[0] != '\0' ? std::fopen(path, "r") : nullptr;
  if (file == nullptr) return 0;
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) text.append(chunk, n);
  struct stat st {};
  const bool shared = fstat(fileno(file), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
  std::fclose(file);

  // The first entry of the machine wins; the default entry counts only
  // when no machine entry matches.
  int found = 0;  // 2: the machine's entry, 1: the default entry
  bool inEntry = false;
  bool hasPassword = false;
  size_t pos = 0;
  for (std::string token = FtpNetrcToken(text, &pos); !token.empty();
       token = FtpNetrcToken(text, &pos)) {
    if (token == "machine" || token == "default") {
      if (found == 2) break;
      const bool isDefault = token == "default";
      const std::string name = isDefault ? "" : FtpNetrcToken(text, &pos);
      inEntry = isDefault ? found == 0 : name == host;
      if (inEntry) {
        *entry = FtpNetrcEntry{};
        found = isDefault ? 1 : 2;
      }
    } else if (token == "login" || token == "password" || token == "account") {
      const std::string value = FtpNetrcToken(text, &pos);
      hasPassword = hasPassword || token == "password";
      if (inEntry && token == "login") FtpCopy(entry->Login, sizeof(entry->Login), value);
      if (inEntry && token == "password") {
        FtpCopy(entry->Password, sizeof(entry->Password), value);
        entry->HasPassword = 1;
      }
    } else if (token == "macdef") {
      // A macro runs to the next empty line; none is used here.
      FtpNetrcToken(text, &pos);
      const size_t end = text.find("\n\n", pos);
      pos = end == std::string::npos ? text.size() : end + 2;
    }
  }
  if (hasPassword && shared) {
    std::printf(
        "cvxfer: %s holds a password and can be read by others; not used "
        "(remove the password or chmod 600 %s)\n",
        path, path);
    std::fflush(stdout);
    std::memset(entry, 0, sizeof(*entry));
    return -1;
  }
  return found > 0 ? 1 : 0;
}
