// str_util.cpp - in-place string helpers.
#include "str_util.h"

#include <cstring>

char *StrTrim(char *s) {
  // The first character stays: a string of blanks keeps one.
  for (size_t i = std::strlen(s); i > 1 && s[i - 1] == ' '; i--) s[i - 1] = '\0';
  return s;
}
