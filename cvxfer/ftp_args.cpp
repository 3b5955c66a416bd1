// ftp_args.cpp - splitting a command line into words.
#include "ftp_args.h"

#include <cstring>
#include <string>

void FtpSplitArgs(const char *line, FtpArgs *args) {
  args->Line = line;
  args->Count = 0;
  args->Unbalanced = 0;
  // The command word ends at the first space only; the rest starts after
  // the blanks (spaces and tabs) that follow it.
  const char *rest = std::strchr(line, ' ');
  rest = rest == nullptr ? line + std::strlen(line) : rest + std::strspn(rest, " \t");
  args->Rest = rest;

  char *out = args->Storage;
  const char *p = line;
  const int maxWords = static_cast<int>(sizeof(args->Words) / sizeof(args->Words[0])) - 1;
  while (args->Count < maxWords) {
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\0') break;
    args->Words[args->Count++] = out;
    if (*p == '"') {
      // A quoted word ends at a quote followed by a space or the end.
      const char *q = p + 1;
      const char *close = nullptr;
      for (const char *c = q; *c != '\0'; c++) {
        if (*c == '"' && (c[1] == ' ' || c[1] == '\0')) {
          close = c;
          break;
        }
      }
      if (close == nullptr) {
        args->Unbalanced = 1;
        close = q + std::strlen(q);
      }
      std::memcpy(out, q, static_cast<size_t>(close - q));
      out += close - q;
      p = *close == '"' ? close + 1 : close;
    } else {
      while (*p != '\0' && *p != ' ') *out++ = *p++;
    }
    *out++ = '\0';
  }
  args->Words[args->Count] = nullptr;
}

int FtpMakeArgs(FtpArgs *args, int count, const char *const words[]) {
  std::string text;
  for (int i = 0; i < count; i++) {
    if (i > 0) text += ' ';
    text += words[i];
  }
  args->Count = 0;
  args->Unbalanced = 0;
  args->Text[0] = '\0';
  args->Line = args->Rest = args->Text;
  args->Words[0] = nullptr;
  if (text.size() > KEYB_LINE_MAX) return -1;
  std::memcpy(args->Text, text.c_str(), text.size() + 1);
  char *out = args->Storage;
  for (int i = 0; i < count; i++) {
    size_t n = std::strlen(words[i]);
    std::memcpy(out, words[i], n + 1);
    args->Words[i] = out;
    out += n + 1;
  }
  args->Count = count;
  args->Words[count] = nullptr;
  args->Rest =
      count > 1 ? args->Text + std::strlen(words[0]) + 1 : args->Text + std::strlen(args->Text);
  return 0;
}
