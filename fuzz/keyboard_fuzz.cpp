// Typed input of any shape: every line read is at most the line room, has no
// newline, and no line ever comes back in pieces (never more lines than the
// input has).
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "keyb_util.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t newlines = 0;
  for (size_t i = 0; i < size; i++) newlines += data[i] == '\n';
  // The first byte picks the reader; the rest is what was typed.
  int reader = size > 0 ? data[0] % 3 : 0;
  FILE *input = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (input == nullptr) return 0;
  FILE *saved = stdin;
  stdin = input;
  size_t lines = 0;
  for (;;) {
    char line[KEYB_LINE_MAX + 1];
    std::memset(line, 'x', sizeof(line));
    int got;
    if (reader == 0) {
      got = GetInput(line);
    } else if (reader == 1) {
      got = KeybReadLine(line, 17);
      if (got && strnlen(line, 17) >= 17) __builtin_trap();
    } else {
      GetPassword(line);
      got = 0;
      if (strnlen(line, 256) >= 256) __builtin_trap();
    }
    if (!got) break;
    if (strnlen(line, sizeof(line)) > KEYB_LINE_MAX) __builtin_trap();
    if (std::strchr(line, '\n') != nullptr) __builtin_trap();
    if (++lines > newlines + 1) __builtin_trap();
  }
  stdin = saved;
  std::fclose(input);
  return 0;
}
