// The input queue keeps byte order across wrap-around and resizing.
#include "platform/linux/byte_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kavrel::platform::driver::ByteRing;

// Pushes values start, start+1, ... through FreeSpan/Commit, as read() does.
std::size_t Push(ByteRing& ring, std::size_t count, unsigned char start) {
  std::size_t pushed = 0;
  while (pushed < count) {
    std::size_t room = 0;
    unsigned char* span = ring.FreeSpan(&room);
    if (room == 0) break;
    const std::size_t now = std::min(room, count - pushed);
    for (std::size_t i = 0; i < now; ++i) span[i] = static_cast<unsigned char>(start + pushed + i);
    ring.Commit(now);
    pushed += now;
  }
  return pushed;
}

TEST(ByteRing, KeepsOrderAcrossTheWrapAndStopsWhenFull) {
  ByteRing ring(10);
  EXPECT_EQ(Push(ring, 7, 0), 7u);
  unsigned char out[16];
  ASSERT_EQ(ring.Take(out, 5), 5u);
  // 2 bytes left at the end; 8 more fit, split across the end of storage.
  EXPECT_EQ(Push(ring, 12, 7), 8u);
  EXPECT_EQ(ring.room(), 0u);
  ASSERT_EQ(ring.Take(out, 16), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], 5 + i) << i;
  EXPECT_EQ(ring.size(), 0u);
}

TEST(ByteRing, ResizingKeepsQueuedBytesInOrder) {
  ByteRing ring(8);
  Push(ring, 6, 0);
  unsigned char out[32];
  ring.Take(out, 4);
  Push(ring, 6, 6);  // wraps
  ring.Resize(32);
  EXPECT_EQ(ring.capacity(), 32u);
  EXPECT_EQ(Push(ring, 3, 12), 3u);
  ASSERT_EQ(ring.Take(out, 32), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(out[i], 4 + i) << i;
  // Shrinking below what is queued keeps every queued byte.
  Push(ring, 20, 0);
  ring.Resize(4);
  EXPECT_EQ(ring.size(), 20u);
  EXPECT_EQ(ring.room(), 0u);
}

}  // namespace
