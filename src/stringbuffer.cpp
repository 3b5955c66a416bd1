// stringbuffer.cpp - growable byte buffer. Allocation failure is fatal by
// design: callers never test for it.
#include "stringbuffer.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void StringBufferFail(const char *file, int line) {
  std::fprintf(stderr, "Allocation Failed raised at %s:%d\n", file, line);
  std::fprintf(stderr, "aborting...\n");
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void MemAdviseLarge(void *block, size_t size) {
  if (size < (8u << 20)) return;
  // The whole pages the block touches: a block of this size is a mapping of
  // its own, and advising all of it keeps it one mapping, which realloc can
  // then still move without copying.
  const uintptr_t kPage = 4096;
  uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(kPage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + kPage - 1) & ~(kPage - 1);
  madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

StringBuffer *StringBufferAlloc() {
  auto *buffer = static_cast<StringBuffer *>(std::malloc(sizeof(StringBuffer)));
  if (buffer == nullptr) StringBufferFail(__FILE__, __LINE__);
  buffer->Data = static_cast<char *>(std::malloc(1024));
  if (buffer->Data == nullptr) StringBufferFail(__FILE__, __LINE__);
  buffer->Length = 0;
  buffer->Capacity = 1024;
  return buffer;
}

void StringBufferFree(StringBuffer *buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->Data);
  std::free(buffer);
}

void StringBufferResize(StringBuffer *buffer, uint32_t n) {
  // Sizes are computed in 64 bits so that a buffer near 4 GiB fails loudly
  // instead of wrapping around and overrunning its block.
  uint64_t need = static_cast<uint64_t>(buffer->Length) + n + 1;
  if (need < buffer->Capacity) return;
  uint64_t capacity = static_cast<uint64_t>(buffer->Capacity) * 2;
  if (need >= capacity) capacity += static_cast<uint64_t>(n) + 1;
  if (capacity > UINT32_MAX) StringBufferFail(__FILE__, __LINE__);
  char *data = static_cast<char *>(std::realloc(buffer->Data, capacity));
  if (data == nullptr) StringBufferFail(__FILE__, __LINE__);
  buffer->Data = data;
  buffer->Capacity = static_cast<uint32_t>(capacity);
  MemAdviseLarge(data, capacity);
}

void StringBufferAdd(StringBuffer *buffer, const char *s) {
  size_t n = std::strlen(s);
  StringBufferResize(buffer, static_cast<uint32_t>(n));
  std::memcpy(buffer->Data + buffer->Length, s, n + 1);
  buffer->Length += static_cast<uint32_t>(n);
}

void StringBufferAddN(StringBuffer *buffer, const char *s, uint32_t n) {
  StringBufferResize(buffer, n);
  std::strncpy(buffer->Data + buffer->Length, s, n);
  buffer->Length += n;
}

void StringBufferAddMemN(StringBuffer *buffer, const void *p, uint32_t n) {
  StringBufferResize(buffer, n);
  if (n > 0) std::memcpy(buffer->Data + buffer->Length, p, n);
  buffer->Length += n;
}

void StringBufferAddChar(StringBuffer *buffer, char c) {
  StringBufferResize(buffer, 2);
  buffer->Data[buffer->Length++] = c;
  buffer->Data[buffer->Length] = '\0';
}

void StringBufferReset(StringBuffer *buffer) {
  std::memset(buffer->Data, 0, buffer->Capacity);
  buffer->Length = 0;
}
