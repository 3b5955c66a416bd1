// keyb_util.h - reading what the user types. Every reader here takes whole
// lines from the one buffered standard input, so lines typed ahead reach
// whichever reader comes next, and none leaves the unread rest of a typed
// line behind to be taken as a command.
#ifndef SRC_KEYB_UTIL_H
#define SRC_KEYB_UTIL_H

// Room of a command line, without its terminator.
enum { KEYB_LINE_MAX = 1024 };

// Reads one command line into line (room for KEYB_LINE_MAX + 1 bytes).
// Leading blanks and tabs are skipped and trailing white space is stripped;
// a line of white space only is empty. Returns 1 when a line was read; a
// blank line or a line longer than KEYB_LINE_MAX characters (which is
// reported and read to its end) leaves line empty. Returns 0 at end of
// input with nothing read, -1 when a signal interrupted the read (line
// empty; the stream can be read again).
int GetInput(char *line);

// The bytes of the line GetInput read last, a NUL byte among them counted:
// more than strlen(line) when the line held one.
int KeybLastLineLength(void);

// Makes line (room for KEYB_LINE_MAX + 1 bytes) of text, which ends at its
// terminator or at a newline, exactly as GetInput makes it of a line read:
// the same blanks skipped and stripped, and the same message and empty line
// for text that is too long. For lines a line editor has read.
void KeybTrimLine(const char *text, char *line);

// Prints "Password: ", reads a password without echo and stores at most 255
// characters of it, terminated, in password (room for 256 bytes), without
// the CR of a CR LF line end. Without a
// terminal or at end of input the password is empty.
void GetPassword(char *password);

// Returns 1 when standard input can be read at once, 0 otherwise (also when
// the test fails). Never waits.
int CheckInput(void);

// Reads one whole line from standard input, stores at most size - 1
// characters of it without the newline (and without a CR before it),
// terminated, and reads and drops the rest of that line. Returns 1 when a line (possibly empty) was
// read, 0 at end of input with nothing read.
int KeybReadLine(char *buffer, int size);

#endif
