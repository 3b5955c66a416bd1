// ftp_args.h - a command line split into words, once, before any handler
// sees it.
#ifndef CVXFER_FTP_ARGS_H
#define CVXFER_FTP_ARGS_H

#include "keyb_util.h"

// A command line split into words. Words are separated by spaces; tabs
// that start a word are blanks too (a tab inside a word is part of it); a word that begins with a
// double quote runs to the next double quote that ends a word, and is stored without the quotes, so
// "my file.txt" names one file. A quote anywhere else is an ordinary
// character.
struct FtpArgs {
  const char *Line;                          // the line as typed, command word included
  const char *Rest;                          // the raw text after the command word and its blanks
  int Count;                                 // words, the command word included
  int Unbalanced;                            // 1 when a quoted word has no closing quote
  const char *Words[KEYB_LINE_MAX / 2 + 2];  // Count words, then null
  char Storage[KEYB_LINE_MAX + 2];           // the words' bytes
  char Text[KEYB_LINE_MAX + 2];              // Line, when FtpMakeArgs made it
};

// Results of a command handler: 0 for success, anything else says why the
// command failed.
enum {
  FTP_OK = 0,
  FTP_FAILED = 1,
};

// Splits line into args as described at FtpArgs. args keeps a pointer to
// line (Line, Rest), so line must outlive it.
void FtpSplitArgs(const char *line, FtpArgs *args);

// Fills args as if the count words had been typed on one line, each one
// word (no quoting applies); Line and Rest point into args itself. Returns
// 0, or -1 when the words do not fit a command line (args is then empty).
int FtpMakeArgs(FtpArgs *args, int count, const char *const words[]);

#endif
