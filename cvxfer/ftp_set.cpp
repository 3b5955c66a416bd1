// ftp_set.cpp - named settings (see ftp_set.h).
#include "ftp_set.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_args.h"
#include "ftp_io.h"

namespace {

constexpr const char *kVerifyNames[] = {"auto", "off", "size", "hash"};

// The largest segment: a message holds at most 2 GiB - 1 bytes.
constexpr long long kSegmentMax = 2147483647LL;

// A whole number of bytes from text: digits with an optional K, M or G
// (binary multiples, "KiB" and the like accepted). Returns -1 when text is
// not one or is out of [0, kSegmentMax].
long long ParseBytes(const char *text) {
  if (text[0] < '0' || text[0] > '9') return -1;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0) return -1;
  std::string unit(end);
  long long scale = 1;
  if (unit == "K" || unit == "k" || unit == "KiB") scale = 1024;
  else if (unit == "M" || unit == "MiB") scale = 1024 * 1024;
  else if (unit == "G" || unit == "GiB") scale = 1024LL * 1024 * 1024;
  else if (!unit.empty()) return -1;
  if (value > kSegmentMax / scale) return -1;
  return value * scale;
}

// Prints one setting as "name value".
void PrintSetting(const FtpSettings &opt, const char *name) {
  if (std::strcmp(name, "verify") == 0) {
    std::printf("verify %s", kVerifyNames[opt.Verify]);
    if (opt.Verify == FTP_VERIFY_AUTO) std::printf(" (size in binary mode, else off)");
  } else if (std::strcmp(name, "retry") == 0) {
    std::printf("retry %d", opt.Retries);
  } else {
    std::printf("segment %lld", opt.SegmentSize);
    if (opt.SegmentSize == 0) std::printf(" (the queue's maximum message length)");
  }
  std::printf("\n");
}

}  // namespace

int FtpSetValue(FtpSettings *opt, const char *name, const char *value, const char **why) {
  if (std::strcmp(name, "verify") == 0) {
    for (int mode = FTP_VERIFY_AUTO; mode <= FTP_VERIFY_HASH; mode++) {
      if (std::strcmp(value, kVerifyNames[mode]) == 0) {
        opt->Verify = mode;
        return 0;
      }
    }
    *why = "verify takes off, size, hash or auto";
    return -1;
  }
  if (std::strcmp(name, "retry") == 0) {
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(value, &end, 10);
    if (value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 || n > 1000) {
      *why = "retry takes a count from 0 to 1000";
      return -1;
    }
    opt->Retries = static_cast<int>(n);
    return 0;
  }
  if (std::strcmp(name, "segment") == 0) {
    long long bytes = ParseBytes(value);
    if (bytes < 0 || (bytes > 0 && bytes < 4096)) {
      *why = "segment takes a size from 4K to 2G-1 (K, M, G), or 0 for the queue's maximum";
      return -1;
    }
    opt->SegmentSize = bytes;
    return 0;
  }
  *why = "no such setting (verify, retry, segment)";
  return -1;
}

int FtpVerifyMode(const FtpSettings &opt) {
  if (opt.Verify != FTP_VERIFY_AUTO) return opt.Verify;
  return opt.TransferType == FTP_TYPE_BINARY ? FTP_VERIFY_SIZE : FTP_VERIFY_OFF;
}

int FtpDoSet(FtpSession *session, const FtpArgs *args) {
  static const char *kNames[] = {"verify", "retry", "segment"};
  const char *why = "no such setting (verify, retry, segment)";
  bool known = false;
  for (const char *name : kNames) known = known || (args->Count > 1 && std::strcmp(args->Words[1], name) == 0);
  if (args->Count == 1) {
    for (const char *name : kNames) PrintSetting(session->Opt, name);
  } else if (!known) {
    std::printf("cvxfer: set: %s: %s\n", FtpPrintable(args->Words[1]).c_str(), why);
    std::fflush(stdout);
    return FTP_FAILED;
  } else if (args->Count == 2) {
    PrintSetting(session->Opt, args->Words[1]);
  } else if (FtpSetValue(&session->Opt, args->Words[1], args->Words[2], &why) != 0) {
    std::printf("cvxfer: set: %s: %s\n", FtpPrintable(args->Words[2]).c_str(), why);
    std::fflush(stdout);
    return FTP_FAILED;
  }
  std::fflush(stdout);
  return FTP_OK;
}
