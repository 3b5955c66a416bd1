// In-place string helpers and the ASCII-to-EBCDIC table.
#include "str_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

TEST(StrUtilTest, ReplaceFirstOccurrenceOnly) {
  char s[64] = "one two one";
  EXPECT_STREQ(StrRep(s, "one", "three"), "three two one");
  char t[64] = "no match";
  EXPECT_STREQ(StrRep(t, "xyz", "q"), "no match");
  char u[64] = "keep";
  EXPECT_STREQ(StrRep(u, "", "q"), "keep");
  char v[64] = "a-b-c";
  EXPECT_STREQ(StrNRep(v, "-", "+++", 2), "a++b-c");
  char w[64] = "delete me";
  EXPECT_STREQ(StrNRep(w, " me", "ignored", 0), "delete");
  char x[64] = "cut";
  const char withZero[] = {'Z', '\0', 'Y'};
  EXPECT_STREQ(StrNRep(x, "u", withZero, 3), "cZt");  // a zero byte ends the replacement
}

TEST(StrUtilTest, ReverseAndDecimal) {
  char e[4] = "";
  EXPECT_STREQ(StrRev(e), "");
  char one[4] = "a";
  EXPECT_STREQ(StrRev(one), "a");
  char odd[8] = "abcde";
  EXPECT_STREQ(StrRev(odd), "edcba");
  char b[12];
  EXPECT_STREQ(itoa(0, b), "0");
  EXPECT_STREQ(itoa(-5, b), "-5");
  EXPECT_STREQ(itoa(INT32_MAX, b), "2147483647");
  EXPECT_STREQ(itoa(INT32_MIN, b), "-2147483648");
  for (int32_t v : {7, 10, 99, 100, -1000, 123456789}) {
    EXPECT_EQ(std::atoi(itoa(v, b)), v);
  }
}

TEST(StrUtilTest, TrimRemovesTrailingBlanksOnly) {
  char a[16] = "CVQM    ";
  EXPECT_STREQ(StrTrim(a), "CVQM");
  char b[16] = "   ";
  EXPECT_STREQ(StrTrim(b), " ");
  char c[16] = "tab\t";
  EXPECT_STREQ(StrTrim(c), "tab\t");
  char d[16] = "  lead ";
  EXPECT_STREQ(StrTrim(d), "  lead");
  char e[1] = "";
  EXPECT_STREQ(StrTrim(e), "");

  char field[48];
  std::memset(field, ' ', sizeof(field));
  std::memcpy(field, "QUEUE.NAME", 10);
  StrTrimI(field, 48);
  EXPECT_EQ(field[10], '\0');
  EXPECT_EQ(std::string(field), "QUEUE.NAME");
  char unpadded[4] = {'a', 'b', 'c', 'd'};
  StrTrimI(unpadded, 4);  // nothing to trim: nothing written
  EXPECT_EQ(std::memcmp(unpadded, "abcd", 4), 0);
}

TEST(StrUtilTest, CaseAndDuplicate) {
  char s[32] = "Mixed 123 \xe4!";
  EXPECT_STREQ(StrUpper(s), "MIXED 123 \xe4!");
  EXPECT_STREQ(StrLower(s), "mixed 123 \xe4!");
  char *copy = StrDup("copy me");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "copy me");
  std::free(copy);
}

TEST(StrUtilTest, AsciiToEbcdic) {
  char text[] = "A\n\x80[]^";
  StrA2E(text, 6);
  EXPECT_EQ(static_cast<unsigned char>(text[0]), 0xC1);
  EXPECT_EQ(static_cast<unsigned char>(text[1]), 0x15);
  EXPECT_EQ(static_cast<unsigned char>(text[2]), 0x43);
  EXPECT_EQ(static_cast<unsigned char>(text[3]), 0xAD);
  EXPECT_EQ(static_cast<unsigned char>(text[4]), 0xBD);
  EXPECT_EQ(static_cast<unsigned char>(text[5]), 0x5F);
  char untouched[] = "x";
  StrA2E(untouched, 0);
  EXPECT_STREQ(untouched, "x");
  // Digits, letters and the blank of code page 037.
  EXPECT_EQ(gA2ETable[static_cast<unsigned char>('0')], 0xF0);
  EXPECT_EQ(gA2ETable[static_cast<unsigned char>('z')], 0xA9);
  EXPECT_EQ(gA2ETable[static_cast<unsigned char>(' ')], 0x40);
  EXPECT_EQ(gA2ETable[0xFF], 0xFF);
  // 0x15 is reached twice, 0x25 never: the table is not invertible there.
  int fifteen = 0, twentyFive = 0;
  for (unsigned char v : gA2ETable) {
    fifteen += v == 0x15;
    twentyFive += v == 0x25;
  }
  EXPECT_EQ(fifteen, 2);
  EXPECT_EQ(twentyFive, 0);
}

}  // namespace
