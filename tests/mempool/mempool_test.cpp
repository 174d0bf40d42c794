// CMemPool: size classes, class fills, reuse, give-back and the 2000 MiB ceiling.
// The big-block cases only reserve address space: the blocks are never touched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mempool.h"

using comm::sockcommu::CMemPool;

namespace {

const unsigned KIB = 1024;
const unsigned MIB = 1024 * 1024;

// Sum of owned blocks over all classes the pool may hold, to check its bookkeeping.
uint64_t owned_bytes(const CMemPool& mp) {
  uint64_t total = 0;
  for (uint64_t c = 1024; c <= 0x80000000ull; c <<= 1) total += mp.owned_count(unsigned(c)) * c;
  return total;
}

}  // namespace

TEST(MemPool, SizeClassesArePowersOfTwoStrictlyAboveTheRequest) {
  EXPECT_EQ(CMemPool::class_size(0), 1024u);
  EXPECT_EQ(CMemPool::class_size(1023), 1024u);
  EXPECT_EQ(CMemPool::class_size(1024), 2048u);
  EXPECT_EQ(CMemPool::class_size(1500), 2048u);
  EXPECT_EQ(CMemPool::class_size(4096), 8192u);
  EXPECT_EQ(CMemPool::class_size(0x7FFFFFFFu), 0x80000000u);
  // A request of 2 GiB has no class that fits 32 bits.
  EXPECT_EQ(CMemPool::class_size(0x80000000u), 0u);
  EXPECT_EQ(CMemPool::class_size(0xFFFFFFFFu), 0u);
  for (unsigned n = 0; n < 70000; n += 97) {
    unsigned c = CMemPool::class_size(n);
    EXPECT_EQ(c & (c - 1), 0u) << n;
    EXPECT_GT(c, n);
    EXPECT_TRUE(c == 1024 || c / 2 <= n) << n;
  }

  CMemPool mp;
  unsigned r = 0;
  void* a = mp.allocate(1024, r);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(r, 2048u);
  void* b = mp.allocate(0, r);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(r, 1024u);
  void* c = mp.allocate(1023, r);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(r, 1024u);
  EXPECT_NE(b, c);
  r = 7;
  EXPECT_EQ(mp.allocate(0x80000000u, r), nullptr);
  EXPECT_EQ(r, 7u);
}

TEST(MemPool, FirstAllocationFillsTheClass) {
  CMemPool mp;
  EXPECT_EQ(mp.allocated_size(), 0u);
  EXPECT_EQ(mp.water_mark(), 1073741824u);
  unsigned r = 0;
  ASSERT_NE(mp.allocate(100, r), nullptr);
  EXPECT_EQ(mp.owned_count(1024), 128u);
  EXPECT_EQ(mp.free_count(1024), 127u);
  EXPECT_EQ(mp.allocated_size(), 131072u);

  // Block counts per fill: 128 below 1 MiB, 128 MiB worth up to 64 MiB, then one.
  struct Fill {
    unsigned cls;
    size_t blocks;
  } fills[] = {{512 * KIB, 128}, {1 * MIB, 128}, {2 * MIB, 64}, {32 * MIB, 4}, {64 * MIB, 1}};
  for (const Fill& f : fills) {
    ASSERT_NE(mp.allocate(f.cls - 1, r), nullptr);
    EXPECT_EQ(r, f.cls);
    EXPECT_EQ(mp.owned_count(f.cls), f.blocks) << f.cls;
  }
  EXPECT_EQ(mp.allocated_size(), owned_bytes(mp));
}

TEST(MemPool, ExhaustedClassIsExtendedByAnotherFill) {
  CMemPool mp;
  std::vector<void*> held;
  unsigned r = 0;
  for (int i = 0; i < 129; ++i) {
    void* p = mp.allocate(2000, r);
    ASSERT_NE(p, nullptr);
    held.push_back(p);
  }
  EXPECT_EQ(mp.owned_count(2048), 256u);
  EXPECT_EQ(mp.free_count(2048), 127u);
  EXPECT_EQ(mp.allocated_size(), 256u * 2048u);
  for (void* p : held) EXPECT_EQ(mp.recycle(p, 2048), 0);
  EXPECT_EQ(mp.free_count(2048), 256u);  // 512 KiB free: below the 1 MiB give-back floor
}

TEST(MemPool, RecycledBlockIsHandedOutFirst) {
  CMemPool mp;
  unsigned r = 0;
  void* a = mp.allocate(10, r);
  void* b = mp.allocate(10, r);
  ASSERT_NE(a, b);
  EXPECT_EQ(mp.recycle(a, 1024), 0);
  EXPECT_TRUE(mp.is_free(a, 1024));
  EXPECT_EQ(mp.allocate(10, r), a);
  EXPECT_EQ(mp.recycle(b, 1024), 0);
  EXPECT_EQ(mp.recycle(a, 1024), 0);
  EXPECT_EQ(mp.allocate(500, r), a);
  EXPECT_EQ(mp.allocate(500, r), b);
}

TEST(MemPool, ForeignOrMisclassedBlocksAreRefusedAndLeftAlone) {
  CMemPool mp;
  unsigned r = 0;
  void* a = mp.allocate(10, r);
  ASSERT_NE(a, nullptr);
  char local[16];
  EXPECT_EQ(mp.recycle(local, 1024), -1);
  EXPECT_EQ(mp.recycle(a, 2048), -1);  // class that does not exist
  void* big = mp.allocate(3000, r);    // creates the 4096 class
  EXPECT_EQ(mp.recycle(a, 4096), -1);  // class exists, block is not in it
  EXPECT_FALSE(mp.is_free(a, 1024));
  EXPECT_TRUE(mp.owns(a, 1024));
  EXPECT_EQ(mp.free_count(1024), 127u);
  EXPECT_EQ(mp.recycle(a, 1024), 0);
  EXPECT_EQ(mp.recycle(big, 4096), 0);
  EXPECT_EQ(mp.allocated_size(), owned_bytes(mp));
}

TEST(MemPool, GiveBackRule) {
  CMemPool mp;
  // Below 1 MiB free nothing goes back.
  EXPECT_EQ(mp.release_size(1024, 1023, 1024), 0u);
  // At 1 MiB free and at least half of the class free: half of the free blocks.
  EXPECT_EQ(mp.release_size(1024, 1024, 2048), 512u);
  EXPECT_EQ(mp.release_size(1 * MIB, 64, 128), 32u);
  EXPECT_EQ(mp.release_size(1 * MIB, 63, 128), 0u);
  EXPECT_EQ(mp.release_size(1 * MIB, 63, 127), 0u);  // 63 is below 63.5
  // More than the water mark free also releases, however many blocks are in use.
  EXPECT_EQ(mp.release_size(1 * MIB, 1024, 4096), 512u);
  EXPECT_EQ(mp.release_size(1 * MIB, 1023, 4096), 0u);
  // A lone free block of 64 MiB or less stays (half of one is none).
  EXPECT_EQ(mp.release_size(64 * MIB, 1, 1), 0u);
  // Above 64 MiB: half when there are two or more, else the one block.
  EXPECT_EQ(mp.release_size(128 * MIB, 1, 1), 1u);
  EXPECT_EQ(mp.release_size(128 * MIB, 3, 3), 1u);
  EXPECT_EQ(mp.release_size(128 * MIB, 4, 9), 2u);
}

TEST(MemPool, RecyclingReleasesTheMostRecentlyRecycledBlocks) {
  CMemPool mp;
  std::vector<void*> held;
  unsigned r = 0;
  for (int i = 0; i < 128; ++i) held.push_back(mp.allocate(1 * MIB - 1, r));
  ASSERT_EQ(mp.free_count(1 * MIB), 0u);
  for (int i = 0; i < 63; ++i) ASSERT_EQ(mp.recycle(held[i], 1 * MIB), 0);
  EXPECT_EQ(mp.owned_count(1 * MIB), 128u);
  // The 64th free block makes half of the class free: 32 blocks go back at once.
  ASSERT_EQ(mp.recycle(held[63], 1 * MIB), 0);
  EXPECT_EQ(mp.owned_count(1 * MIB), 96u);
  EXPECT_EQ(mp.free_count(1 * MIB), 32u);
  EXPECT_EQ(mp.allocated_size(), 96u * MIB);
  for (int i = 0; i < 32; ++i) EXPECT_TRUE(mp.owns(held[i], 1 * MIB)) << i;
  for (int i = 32; i < 64; ++i) EXPECT_FALSE(mp.owns(held[i], 1 * MIB)) << i;
  for (int i = 64; i < 128; ++i) EXPECT_EQ(mp.recycle(held[i], 1 * MIB), 0);
  EXPECT_EQ(mp.allocated_size(), owned_bytes(mp));
}

TEST(MemPool, BlocksAboveSixtyFourMebibytesGoBackWhenRecycled) {
  CMemPool mp;
  unsigned r = 0;
  void* p = mp.allocate(100 * MIB, r);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(r, 128 * MIB);
  EXPECT_EQ(mp.allocated_size(), 128u * MIB);
  EXPECT_EQ(mp.recycle(p, r), 0);
  EXPECT_EQ(mp.allocated_size(), 0u);
  EXPECT_TRUE(mp.has_class(128 * MIB));
  EXPECT_EQ(mp.owned_count(128 * MIB), 0u);
}

// Near the 2000 MiB ceiling a new fill first frees memory from the big classes.
TEST(MemPool, EmergencyReleaseMakesRoomBeforeTheCeiling) {
  CMemPool mp;
  unsigned r = 0;
  ASSERT_NE(mp.allocate(1024 * MIB - 1, r), nullptr);  // 1 GiB, held
  ASSERT_NE(mp.allocate(512 * MIB - 1, r), nullptr);   // held
  ASSERT_NE(mp.allocate(32 * MIB - 1, r), nullptr);    // 4 x 32 MiB, 3 free
  ASSERT_NE(mp.allocate(8 * MIB - 1, r), nullptr);     // 16 x 8 MiB, 15 free
  ASSERT_NE(mp.allocate(4 * MIB - 1, r), nullptr);     // 32 x 4 MiB, 31 free
  ASSERT_EQ(mp.allocated_size(), 1920u * MIB);
  // 64 x 2 MiB would reach 2048 MiB: 48 MiB must go first. The 32 MiB class gives one
  // block, the 8 MiB class seven, and the walk stops before the 4 MiB class.
  void* p = mp.allocate(2 * MIB - 1, r);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(mp.owned_count(32 * MIB), 3u);
  EXPECT_EQ(mp.owned_count(8 * MIB), 9u);
  EXPECT_EQ(mp.owned_count(4 * MIB), 32u);
  EXPECT_EQ(mp.owned_count(2 * MIB), 64u);
  EXPECT_EQ(mp.allocated_size(), (1920u - 88u + 128u) * MIB);
  EXPECT_EQ(mp.water_mark(), 1073741824u);
  EXPECT_EQ(mp.allocated_size(), owned_bytes(mp));
}

TEST(MemPool, AllocationFailsWhenNothingCanBeFreed) {
  CMemPool mp;
  unsigned r = 0;
  void* gib = mp.allocate(1024 * MIB - 1, r);
  ASSERT_NE(gib, nullptr);
  ASSERT_NE(mp.allocate(512 * MIB - 1, r), nullptr);
  ASSERT_NE(mp.allocate(256 * MIB - 1, r), nullptr);
  ASSERT_NE(mp.allocate(128 * MIB - 1, r), nullptr);
  ASSERT_EQ(mp.allocated_size(), 1920u * MIB);

  // A new 32 MiB class is filled with four blocks: 2048 MiB, and nothing is free.
  testing::internal::CaptureStderr();
  EXPECT_EQ(mp.allocate(32 * MIB - 1, r), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "mempool.cpp47alloc_size" + std::to_string(1920u * MIB) + "\n");
  EXPECT_EQ(mp.allocated_size(), 1920u * MIB);
  // The class was entered but holds nothing; the next attempt fails while extending it.
  testing::internal::CaptureStderr();
  EXPECT_EQ(mp.allocate(32 * MIB - 1, r), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "mempool.cpp68alloc_size" + std::to_string(1920u * MIB) + "\n");

  // Once the gigabyte is back the same request succeeds.
  ASSERT_EQ(mp.recycle(gib, 1024 * MIB), 0);
  EXPECT_EQ(mp.allocated_size(), 896u * MIB);
  EXPECT_NE(mp.allocate(32 * MIB - 1, r), nullptr);
  EXPECT_EQ(r, 32u * MIB);
  EXPECT_EQ(mp.allocated_size(), 1024u * MIB);
}
