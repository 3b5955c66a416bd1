// str_util.h - in-place string helpers and the ASCII-to-EBCDIC conversion.
// All but StrDup return the pointer they were given.
#ifndef CVXFER_STR_UTIL_H
#define CVXFER_STR_UTIL_H

#include <cstdint>

// Replaces the first occurrence of f in s by r; s must have room for the
// result. Unchanged when f does not occur, is empty, or memory is short.
char *StrRep(char *s, const char *f, const char *r);

// As StrRep with the first n bytes of r (taken as a string) as replacement.
char *StrNRep(char *s, const char *f, const char *r, int32_t n);

// Reverses s in place.
char *StrRev(char *s);

// Writes v in decimal into b (12 bytes suffice for every value).
char *itoa(int32_t v, char *b);

// Removes trailing blanks (spaces only), never the first character.
char *StrTrim(char *s);

// As StrTrim on the first n bytes of s, which need not be terminated.
char *StrTrimI(char *s, int32_t n);

// Converts s in place with toupper / tolower.
char *StrUpper(char *s);
char *StrLower(char *s);

// Returns a heap copy of s for the caller to free, or null.
char *StrDup(const char *s);

// Converts the first n bytes of b in place from ASCII to EBCDIC.
char *StrA2E(char *b, int32_t n);

// The conversion table, indexed by the unsigned source byte.
extern const unsigned char gA2ETable[256];

#endif
