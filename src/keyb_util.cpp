// keyb_util.cpp - keyboard input for the prompt loop and the handlers.
#include "keyb_util.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The bytes of the line GetInput read last (see KeybLastLineLength).
int gLastLength = 0;

bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Drops the rest of the current input line; returns false at end of input.
bool KeybDropLine() {
  int c;
  while ((c = std::getc(stdin)) != EOF) {
    if (c == '\n') return true;
  }
  return false;
}

}  // namespace

int KeybLastLineLength(void) {
  return gLastLength;
}

int GetInput(char *line) {
  gLastLength = 0;
  int c;
  do {
    c = std::getc(stdin);
  } while (c == ' ' || c == '\t');
  if (c == EOF && std::ferror(stdin) && errno == EINTR) {
    std::clearerr(stdin);
    line[0] = '\0';
    return -1;
  }
  if (c == EOF) return 0;
  if (c == '\n') {
    line[0] = '\0';
    return 1;
  }

  int n = 0;
  line[n++] = static_cast<char>(c);
  for (;;) {
    c = std::getc(stdin);
    if (c == EOF || c == '\n') break;
    if (n == KEYB_LINE_MAX) {
      // Never run an over-long line, neither whole nor in pieces: its tail
      // could carry a command of its own.
      KeybDropLine();
      line[0] = '\0';
      std::printf("Command line too long (more than %d characters); ignored.\n", KEYB_LINE_MAX);
      std::fflush(stdout);
      return 1;
    }
    line[n++] = static_cast<char>(c);
  }
  // A line of white space only (a CR LF line end among it) is empty.
  while (n > 0 && IsTrailingSpace(line[n - 1])) n--;
  line[n] = '\0';
  gLastLength = n;
  return 1;
}

void KeybTrimLine(const char *text, char *line) {
  text += std::strspn(text, " \t");
  size_t n = std::strcspn(text, "\n");
  line[0] = '\0';
  if (n == 0) return;
  if (n > KEYB_LINE_MAX) {
    std::printf("Command line too long (more than %d characters); ignored.\n", KEYB_LINE_MAX);
    std::fflush(stdout);
    return;
  }
  while (n > 0 && IsTrailingSpace(text[n - 1])) n--;
  std::memcpy(line, text, n);
  line[n] = '\0';
}

void GetPassword(char *password) {
  std::printf("Password: ");
  std::fflush(stdout);
  password[0] = '\0';
  const char *typed = getpass("");
  if (typed == nullptr) return;
  std::strncpy(password, typed, 255);
  password[255] = '\0';
  // A script written on Windows ends its lines with CR LF.
  const size_t n = std::strlen(password);
  if (n > 0 && password[n - 1] == '\r') password[n - 1] = '\0';
}

int CheckInput(void) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(0, &readable);
  timeval none = {0, 0};
  if (select(1, &readable, nullptr, nullptr, &none) <= 0) return 0;
  return FD_ISSET(0, &readable) ? 1 : 0;
}

int KeybReadLine(char *buffer, int size) {
  int n = 0;
  int c = std::getc(stdin);
  if (c == EOF) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  while (c != EOF && c != '\n') {
    if (n < size - 1) buffer[n++] = static_cast<char>(c);
    c = std::getc(stdin);
  }
  if (n > 0 && buffer[n - 1] == '\r') n--;  // a line written on Windows
  if (size > 0) buffer[n] = '\0';
  return 1;
}
