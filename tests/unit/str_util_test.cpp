// StrTrim at its edges: an empty string, and a string of blanks.
#include "str_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

TEST(StrUtilTest, TrimRemovesTrailingBlanksOnly) {
  const std::pair<const char *, const char *> cases[] = {
      {"CVQM    ", "CVQM"}, {"   ", " "}, {"tab\t", "tab\t"}, {"  lead ", "  lead"}, {"", ""}};
  for (const auto &[text, want] : cases) {
    // A heap block of exactly the text, so that a sanitizer sees any stray access.
    std::vector<char> s(text, text + std::strlen(text) + 1);
    EXPECT_STREQ(StrTrim(s.data()), want) << "'" << text << "'";
  }
}

}  // namespace
