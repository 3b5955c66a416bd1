// file_util.h - small file helpers and the size-cycled log file "CVILOG".
#ifndef CVXFER_FILE_UTIL_H
#define CVXFER_FILE_UTIL_H

#include <cstdint>
#include <cstdio>

// A log file above this size is rotated before the next line.
constexpr long kLogCycleSize = 102400;

// Returns 1 when path can be opened for reading, else 0.
int ExistFile(const char *path);

// Appends "/" unless path already ends in one ("" becomes "/"); path needs
// room for one more character. Returns path.
char *CheckPath(char *path);

// Writes directory followed by name into destination (1024 bytes), cut to
// fit and always terminated. Returns destination.
char *AddPath(char *destination, const char *directory, const char *name);

// Returns the size of the file in bytes, -1 when it cannot be measured.
long FileSize(const char *path);

// Opens path with mode; on failure logs it in logDir and returns null.
FILE *FileOpen(const char *logDir, const char *path, const char *mode);

// Closes stream; returns 0, or 1 after logging a failed close.
int FileClose(const char *logDir, FILE *stream, const char *name);

// Appends one time-stamped line "DATE - LEVEL - message" to logDir + "CVILOG",
// rotating it first when it has grown past kLogCycleSize. Returns 0 written,
// 1 not opened, 2 not closed, 4 rotation failed.
int WriteLogFile(const char *logDir, int8_t level, const char *message);

// Rotates path to path.1 and path.1 to path.2 (dropping the old .2).
// Returns 0, or the failing call's result.
int CycleLogFile(const char *path);

#endif
