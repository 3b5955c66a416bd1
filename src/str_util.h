// str_util.h - in-place string helpers.
#ifndef CVXFER_STR_UTIL_H
#define CVXFER_STR_UTIL_H

// Removes trailing blanks (spaces only), never the first character; returns s.
char *StrTrim(char *s);

#endif
