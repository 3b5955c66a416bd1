// file_util.cpp - file helpers and the cycling log file. No command path of
// cvxfer calls them: they are shared utility code (the queue helpers' call
// log writes through them), kept and tested as such.
#include "file_util.h"

#include <cstring>
#include <ctime>

namespace {

constexpr size_t kPathMax = 1024;

const char *LogLevelName(int8_t level) {
  switch (level) {
    case 1:
      return "WARNING";
    case 2:
      return "ERROR";
    default:
      return "INFO";
  }
}

// Writes a followed by b into out (kPathMax bytes), cut to fit.
void JoinPath(char *out, const char *a, const char *b) {
  std::snprintf(out, kPathMax, "%s%s", a, b);
}

}  // namespace

int ExistFile(const char *path) {
  FILE *f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

char *CheckPath(char *path) {
  size_t n = std::strlen(path);
  if (n == 0 || path[n - 1] != '/') {
    path[n] = '/';
    path[n + 1] = '\0';
  }
  return path;
}

char *AddPath(char *destination, const char *directory, const char *name) {
  JoinPath(destination, directory, name);
  return destination;
}

long FileSize(const char *path) {
  FILE *f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  if (std::fseek(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    return -1;
  }
  long size = std::ftell(f);
  if (std::fclose(f) != 0) {
    std::fprintf(stderr, "Error closing file %s, function = FileSize", path);
    return -1;
  }
  return size;
}

FILE *FileOpen(const char *logDir, const char *path, const char *mode) {
  FILE *f = std::fopen(path, mode);
  if (f == nullptr) {
    char message[255];
    std::snprintf(message, sizeof(message), "Error open file %s, attribute = %s", path, mode);
    WriteLogFile(logDir, 0, message);
  }
  return f;
}

int FileClose(const char *logDir, FILE *stream, const char *name) {
  if (std::fclose(stream) != 0) {
    char message[255];
    std::snprintf(message, sizeof(message), "Error closing file %s", name);
    WriteLogFile(logDir, 0, message);
    return 1;
  }
  return 0;
}

int WriteLogFile(const char *logDir, int8_t level, const char *message) {
  if (level < 0 || level > 2) level = 0;
  char fullPath[kPathMax];
  JoinPath(fullPath, logDir, "CVILOG");

  if (FileSize(fullPath) > kLogCycleSize) {
    int rc = CycleLogFile(fullPath);
    if (rc != 0) {
      std::fprintf(stderr, "Error cycle logfile ! %s, rc = %d\n", fullPath, rc);
      std::perror("CycleLogFile(FullPath)");
      return 4;
    }
  }

  FILE *log = std::fopen(fullPath, "a");
  if (log == nullptr) {
    std::fprintf(stderr, "Error opening logfile! %s\n", fullPath);
    return 1;
  }
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof(stamp), "%Y/%m/%d - %H:%M:%S", &local);
  std::fprintf(log, "%s - %s - %s\n", stamp, LogLevelName(level), message);
  std::fflush(log);
  if (std::fclose(log) != 0) {
    std::fprintf(stderr, "Error closing logfile! %s\n", fullPath);
    return 2;
  }
  return 0;
}

int CycleLogFile(const char *path) {
  char fullPath1[kPathMax];
  char fullPath2[kPathMax];
  JoinPath(fullPath1, path, ".1");
  if (ExistFile(fullPath1)) {
    JoinPath(fullPath2, path, ".2");
    if (ExistFile(fullPath2)) {
      int rc = std::remove(fullPath2);
      if (rc != 0) {
        std::perror("remove(FullPath2)");
        return rc;
      }
    }
    int rc = std::rename(fullPath1, fullPath2);
    if (rc != 0) {
      std::perror("rename(FullPath1, FullPath2)");
      return rc;
    }
  }
  return std::rename(path, fullPath1);
}
