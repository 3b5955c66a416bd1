// stringbuffer.h - a growable, binary-safe byte buffer. It carries a
// retrieved file from the data connection to the queue put.
#ifndef CVXFER_STRINGBUFFER_H
#define CVXFER_STRINGBUFFER_H

#include <cstddef>
#include <cstdint>

struct StringBuffer {
  uint32_t Length;    // content bytes at the start of Data
  uint32_t Capacity;  // size of the block Data points to
  char *Data;         // heap block owned by the buffer; moves when it grows
};

// Returns a new empty buffer (Length 0, Capacity 1024); never null: an
// allocation failure ends the process with a message on standard error.
StringBuffer *StringBufferAlloc();

// Frees the block and the record; the pointer is invalid afterwards.
void StringBufferFree(StringBuffer *buffer);

// Makes Length + n + 1 < Capacity true: doubles the capacity and, when that
// is not enough, adds n + 1 to it. Aborts when memory is exhausted, also
// when the size would not fit 32 bits.
void StringBufferResize(StringBuffer *buffer, uint32_t n);

// Appends the terminated string s and leaves a terminator behind it.
void StringBufferAdd(StringBuffer *buffer, const char *s);

// Appends n bytes copied from s as strncpy does (zero-filled after a shorter
// s); writes nothing behind the n bytes.
void StringBufferAddN(StringBuffer *buffer, const char *s, uint32_t n);

// Appends exactly n bytes from p, zero bytes included; no terminator.
void StringBufferAddMemN(StringBuffer *buffer, const void *p, uint32_t n);

// Appends one character and a terminator behind it.
void StringBufferAddChar(StringBuffer *buffer, char c);

// Hints the kernel to back a block of several MiB with huge pages, so that
// filling it takes a few hundred page faults instead of tens of thousands
// (the larger part of the cost of taking in a big file). Leaves the bytes
// alone; a kernel that declines the hint changes nothing.
void MemAdviseLarge(void *block, size_t size);

// Zeroes every byte of the block and sets Length 0; keeps the capacity.
void StringBufferReset(StringBuffer *buffer);

#endif
