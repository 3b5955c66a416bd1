// cause.h - what the underlying system said about the failure being
// reported, kept per thread for CVLastCause.
#ifndef CORVANE_CAUSE_H
#define CORVANE_CAUSE_H

#include <cerrno>
#include <string>

namespace corvane {

// Records text as the cause of the failure the current call reports.
void SetCause(std::string text);

// Records the operating system's text for err about what (usually a path).
void SetErrnoCause(const std::string &what, int err = errno);

// Forgets the cause: a call starts, or it ended well.
void ClearCause();

}  // namespace corvane

#endif
