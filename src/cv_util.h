// cv_util.h - the names of the queue manager's reason codes.
#ifndef CVXFER_CV_UTIL_H
#define CVXFER_CV_UTIL_H

#include <cstdint>

#include "corvane.h"

// Returns the symbolic name of a reason or feedback code, or
// "UNKWOWN REASON" for a code without one. Never null; never to be freed.
const char *ReasonString(int32_t code);

#endif
