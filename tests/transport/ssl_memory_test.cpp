// What the TLS scenarios do not reach in the pool of OpenSSL's large blocks: a buffer
// that realloc moves between the heap and blocks of several sizes keeps its bytes, and
// free blocks beyond the reserve give their pages back to the system.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "transport/ssl_memory.h"

using namespace hall_transport;

namespace {

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

bool page_aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % kPage == 0; }

// Whether the first page of a block is resident.
bool resident(void* p) {
  unsigned char in = 0;
  return mincore(p, kPage, &in) == 0 && (in & 1) != 0;
}

}  // namespace

TEST(SslMemory, ReallocMovesABufferAcrossTheHeapAndBlocksAndFreeBlocksGoBackToTheSystem) {
  ASSERT_FALSE(ssl_memory_pooled(100));
  ASSERT_TRUE(ssl_memory_pooled(kPage));
  ASSERT_FALSE(ssl_memory_pooled(kPage + 100));  // between one and two pages: the heap
  ASSERT_TRUE(ssl_memory_pooled(5 * kPage - 1));
  // Grown as BUF_MEM grows: heap, a one-page block, the heap, a five-page block (kept
  // while the size needs five pages), back to the heap; every step keeps the bytes.
  char* p = static_cast<char*>(ssl_memory_malloc(100, __FILE__, __LINE__));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) p[i] = static_cast<char>(i);
  const size_t sizes[] = {kPage, kPage + 100, 4 * kPage + 1, 5 * kPage - 1, 100};
  const bool blocks[] = {true, false, true, true, false};
  char* five = nullptr;
  for (size_t step = 0; step < 5; ++step) {
    p = static_cast<char*>(ssl_memory_realloc(p, sizes[step], __FILE__, __LINE__));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(page_aligned(p), blocks[step]) << step;
    if (step == 2) five = p;
    if (step == 3) {
      EXPECT_EQ(p, five);
    }
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], static_cast<char>(i)) << step;
  }
  EXPECT_EQ(ssl_memory_realloc(p, 0, __FILE__, __LINE__), nullptr);

  // Many record buffers given back: the one freed last is the next taken; the release
  // keeps a few with their pages and returns the rest.
  std::vector<void*> buffers;
  for (int i = 0; i < 64; ++i) {
    buffers.push_back(ssl_memory_malloc(17 * 1024, __FILE__, __LINE__));
    ASSERT_NE(buffers.back(), nullptr);
    memset(buffers.back(), 1, 17 * 1024);
  }
  const TSslMemoryStats before = ssl_memory_stats();
  for (void* b : buffers) ssl_memory_free(b, __FILE__, __LINE__);
  void* again = ssl_memory_malloc(17 * 1024, __FILE__, __LINE__);
  EXPECT_EQ(again, buffers.back());
  ssl_memory_free(again, __FILE__, __LINE__);
  release_ssl_memory();
  const TSslMemoryStats after = ssl_memory_stats();
  EXPECT_EQ(after.used_bytes + 64 * 5 * kPage, before.used_bytes);
  EXPECT_GE(after.released_bytes, before.released_bytes + 48 * 5 * kPage);
  EXPECT_GT(after.free_bytes, 0u);
  EXPECT_TRUE(resident(buffers.back()));  // the warm end of the list
  EXPECT_FALSE(resident(buffers.front()));
  // Released blocks are taken again before any new one is carved.
  for (int i = 0; i < 64; ++i) buffers[i] = ssl_memory_malloc(17 * 1024, __FILE__, __LINE__);
  EXPECT_EQ(ssl_memory_stats().carved_bytes, after.carved_bytes);
  for (void* b : buffers) ssl_memory_free(b, __FILE__, __LINE__);
}
