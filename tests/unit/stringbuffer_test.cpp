// The growable buffer: its growth rule and its appends.
#include "stringbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Buffer = std::unique_ptr<StringBuffer, void (*)(StringBuffer *)>;

Buffer NewBuffer() {
  return Buffer(StringBufferAlloc(), StringBufferFree);
}

TEST(StringBufferTest, GrowsByDoublingOrByWhatIsNeeded) {
  struct Case {
    uint32_t append;
    uint32_t capacity;
  } cases[] = {{1022, 1024}, {1023, 2048}, {1024, 2048}, {5000, 7049}};
  for (const Case &c : cases) {
    Buffer b = NewBuffer();
    EXPECT_EQ(b->Length, 0u);
    EXPECT_EQ(b->Capacity, 1024u);
    std::string bytes(c.append, 'x');
    StringBufferAddMemN(b.get(), bytes.data(), c.append);
    EXPECT_EQ(b->Length, c.append);
    EXPECT_EQ(b->Capacity, c.capacity) << "after appending " << c.append;
  }
}

TEST(StringBufferTest, BlocksOfKibibytesDoubleTheCapacity) {
  Buffer b = NewBuffer();
  char block[1024];
  std::memset(block, 'b', sizeof(block));
  uint32_t expected[] = {2048, 4096, 4096, 8192, 8192, 8192, 8192, 16384};
  for (uint32_t want : expected) {
    StringBufferAddMemN(b.get(), block, sizeof(block));
    EXPECT_EQ(b->Capacity, want);
  }
  EXPECT_EQ(b->Length, 8u * 1024);
}

TEST(StringBufferTest, AppendsKeepBinaryBytesAndTerminateAsDocumented) {
  Buffer b = NewBuffer();
  const char binary[] = {'a', 0, 'b', 0};
  StringBufferAddMemN(b.get(), binary, 4);
  EXPECT_EQ(b->Length, 4u);
  EXPECT_EQ(std::memcmp(b->Data, binary, 4), 0);

  StringBufferAddN(b.get(), "abc", 5);  // two zero bytes of padding
  EXPECT_EQ(b->Length, 9u);
  EXPECT_EQ(std::memcmp(b->Data + 4, "abc\0\0", 5), 0);
  b->Data[9] = '#';
  StringBufferAddN(b.get(), "abcdef", 3);  // no terminator written
  EXPECT_EQ(b->Length, 12u);
  EXPECT_EQ(std::memcmp(b->Data + 9, "abc", 3), 0);

  StringBufferAdd(b.get(), "");
  EXPECT_EQ(b->Length, 12u);
  EXPECT_EQ(b->Data[12], '\0');
  StringBufferAdd(b.get(), "xyz");
  EXPECT_STREQ(b->Data + 12, "xyz");
}

TEST(StringBufferTest, AddCharReservesTwoBytes) {
  Buffer b = NewBuffer();
  std::string fill(1021, 'f');
  StringBufferAddMemN(b.get(), fill.data(), 1021);
  ASSERT_EQ(b->Capacity, 1024u);
  StringBufferAddChar(b.get(), 'z');
  EXPECT_EQ(b->Capacity, 2048u);
  EXPECT_EQ(b->Length, 1022u);
  EXPECT_EQ(b->Data[1021], 'z');
  EXPECT_EQ(b->Data[1022], '\0');
}

TEST(StringBufferTest, ResetClearsEveryByteAndKeepsTheBlock) {
  Buffer b = NewBuffer();
  std::string fill(3000, 'r');
  StringBufferAddMemN(b.get(), fill.data(), 3000);
  uint32_t capacity = b->Capacity;
  StringBufferReset(b.get());
  EXPECT_EQ(b->Length, 0u);
  EXPECT_EQ(b->Capacity, capacity);
  for (uint32_t i = 0; i < capacity; i++) ASSERT_EQ(b->Data[i], 0) << i;
}

TEST(StringBufferTest, LargeBuffersKeepEveryByteAcrossGrowth) {
  // Past a few MiB the block is advised for huge pages and moved by the
  // allocator as it doubles; the content must come through every move.
  std::unique_ptr<StringBuffer, void (*)(StringBuffer *)> b(StringBufferAlloc(), StringBufferFree);
  const uint32_t kChunk = 256 * 1024;
  std::vector<char> chunk(kChunk);
  for (uint32_t n = 0; n < 96; n++) {  // 24 MiB, past several doublings
    for (uint32_t i = 0; i < kChunk; i++) chunk[i] = static_cast<char>((n * 131 + i * 7) & 0xff);
    StringBufferResize(b.get(), kChunk);
    std::memcpy(b->Data + b->Length, chunk.data(), kChunk);
    b->Length += kChunk;
  }
  ASSERT_EQ(b->Length, 96u * kChunk);
  for (uint32_t n = 0; n < 96; n++) {
    for (uint32_t i = 0; i < kChunk; i += 4093) {
      ASSERT_EQ(b->Data[n * kChunk + i], static_cast<char>((n * 131 + i * 7) & 0xff))
          << n << " " << i;
    }
  }
  // Advising a block never changes what it holds.
  MemAdviseLarge(b->Data, b->Capacity);
  EXPECT_EQ(b->Data[b->Length - 1], static_cast<char>((95 * 131 + (kChunk - 1) * 7) & 0xff));
}

TEST(StringBufferDeathTest, SizesBeyondThirtyTwoBitsAbortWithTheReport) {
  // Growing past 4 GiB cannot be represented: the buffer must stop the
  // process rather than wrap around and overrun its block.
  EXPECT_DEATH(
      {
        StringBuffer *b = StringBufferAlloc();
        b->Length = 0x7FFFF000u;  // pretend a 2 GiB buffer, nearly full
        b->Capacity = 0x80000000u;
        StringBufferResize(b, 0x2000);
      },
      "Allocation Failed raised at .*stringbuffer.*:[0-9]+\naborting...");
}

}  // namespace
