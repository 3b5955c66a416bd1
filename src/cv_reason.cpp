// cv_reason.cpp - the program's names for reason codes: the library's own.
#include "cv_util.h"

const char *ReasonString(int32_t code) {
  return CVReasonName(code);
}
