// CRawCache over a real CMemPool: compaction and growth, block give-back, and random
// appends/skips/takes checked against a std::string model.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mempool.h"
#include "raw_cache.h"

using comm::sockcommu::CMemPool;
using comm::sockcommu::CRawCache;

namespace {

std::string pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(seed + i * 7);
  return s;
}

std::string contents(const CRawCache& c) {
  if (c.data_len() == 0) return std::string();
  return std::string(c.data(), c.data_len());
}

const unsigned MIB = 1024 * 1024;

}  // namespace

TEST(RawCache, EmptyCacheHasNoBlock) {
  CMemPool mp;
  CRawCache c(mp);
  EXPECT_EQ(c.data(), nullptr);
  EXPECT_EQ(c.data_len(), 0u);
  EXPECT_EQ(c.block_size(), 0u);
  c.skip(10);  // nothing held: nothing happens
  c.append("x", 0);
  EXPECT_EQ(c.block_size(), 0u);
  EXPECT_EQ(mp.allocated_size(), 0u);
}

// 100 in, 60 out, 980 in: the data is compacted in the same 1024-byte block; 10 more
// bytes move everything to a 2048-byte block, in order.
TEST(RawCache, CompactsInPlaceThenGrowsToTheNextClass) {
  CMemPool mp;
  CRawCache c(mp);
  std::string model = pattern(100, 'a');
  c.append(model.data(), 100);
  char* block = c.data();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(c.block_size(), 1024u);
  c.skip(60);
  model.erase(0, 60);
  EXPECT_EQ(c.data(), block + 60);
  std::string more = pattern(980, 'K');
  c.append(more.data(), 980);
  model += more;
  EXPECT_EQ(c.data(), block);  // moved to the front of the same block
  EXPECT_EQ(c.block_size(), 1024u);
  EXPECT_EQ(contents(c), model);

  std::string tail = pattern(10, 'z');
  c.append(tail.data(), 10);
  model += tail;
  EXPECT_EQ(c.block_size(), 2048u);
  EXPECT_EQ(c.data_len(), 1030u);
  EXPECT_EQ(contents(c), model);
  EXPECT_TRUE(mp.is_free(block, 1024));  // the old block went back to the pool
  c.skip(c.data_len());
}

TEST(RawCache, SkippingEverythingGivesTheBlockBack) {
  CMemPool mp;
  CRawCache a(mp);
  a.append("hello", 5);
  char* block = a.data();
  size_t free_before = mp.free_count(1024);
  a.skip(1000);  // more than held counts as everything
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(a.data_len(), 0u);
  EXPECT_EQ(a.block_size(), 0u);
  EXPECT_EQ(mp.free_count(1024), free_before + 1);
  // The next cache to need a block of that class gets the same one.
  CRawCache b(mp);
  b.append("abc", 3);
  EXPECT_EQ(b.data(), block);
  b.skip(b.data_len());
}

TEST(RawCache, DestroyingAFullCacheGivesTheBlockBack) {
  CMemPool mp;
  char* block = nullptr;
  {
    CRawCache c(mp);
    c.append("abc", 3);
    block = c.data();
  }
  EXPECT_TRUE(mp.is_free(block, 1024));
  EXPECT_EQ(mp.free_count(1024), 128u);
}

TEST(RawCache, GrowthAtLeastDoublesAndKeepsOneContiguousBlock) {
  CMemPool mp;
  CRawCache c(mp);
  std::string model;
  unsigned last_block = 0;
  for (int i = 0; i < 40; ++i) {
    std::string piece = pattern(997 + i * 311, char('A' + i));
    c.append(piece.data(), unsigned(piece.size()));
    model += piece;
    if (c.block_size() != last_block) {
      EXPECT_GE(c.block_size(), last_block * 2);
      EXPECT_EQ(c.block_size(), CMemPool::class_size(c.data_len()));
      last_block = c.block_size();
    }
  }
  EXPECT_EQ(contents(c), model);
  c.skip(c.data_len());
}

// The pool cannot supply a block: append throws the int 0 and the cache keeps its bytes.
TEST(RawCache, AppendThrowsZeroAndKeepsContentsWhenThePoolIsExhausted) {
  CMemPool mp;
  CRawCache c(mp);
  c.append("0123456789", 10);
  unsigned r = 0;
  // Hold 1984 MiB of untouched address space; a new 1 MiB class (128 MiB) cannot fit.
  void* held[5];
  unsigned sizes[5] = {1024 * MIB, 512 * MIB, 256 * MIB, 128 * MIB, 64 * MIB};
  for (int i = 0; i < 5; ++i) {
    held[i] = mp.allocate(sizes[i] - 1, r);
    ASSERT_NE(held[i], nullptr);
  }
  std::string big = pattern(600 * 1024, 'q');
  testing::internal::CaptureStderr();
  int thrown = -1;
  try {
    c.append(big.data(), unsigned(big.size()));
  } catch (int e) {
    thrown = e;
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown, 0);
  EXPECT_NE(err.find("alloc_size"), std::string::npos);
  EXPECT_EQ(contents(c), "0123456789");
  EXPECT_EQ(c.block_size(), 1024u);

  // The 128 MiB block goes straight back to the system; now the append fits.
  ASSERT_EQ(mp.recycle(held[3], 128 * MIB), 0);
  c.append(big.data(), unsigned(big.size()));
  EXPECT_EQ(c.block_size(), 1 * MIB);
  EXPECT_EQ(contents(c), "0123456789" + big);
  c.skip(c.data_len());
}

TEST(RawCache, AppendThatWouldReachTwoGibibytesThrowsWithoutTouchingData) {
  CMemPool mp;
  CRawCache c(mp);
  c.append("abc", 3);
  char one = 'x';
  int thrown = -1;
  try {
    c.append(&one, 0x80000000u - 3);  // length alone decides: nothing is read
  } catch (int e) {
    thrown = e;
  }
  EXPECT_EQ(thrown, 0);
  EXPECT_EQ(contents(c), "abc");
  c.skip(3);
}

// Random appends, skips and takes against a string model; after every step the cache
// holds exactly the model's bytes in a power-of-two block that fits them.
TEST(RawCache, RandomOperationsMatchAStringModel) {
  CMemPool mp;
  std::mt19937 rng(20261207);
  std::vector<CRawCache*> caches;
  std::vector<std::string> models(4);
  for (int i = 0; i < 4; ++i) caches.push_back(new CRawCache(mp));
  for (int step = 0; step < 20000; ++step) {
    size_t k = rng() % caches.size();
    CRawCache& c = *caches[k];
    std::string& m = models[k];
    unsigned op = rng() % 10;
    if (op < 5) {
      unsigned n = (rng() % 20 == 0) ? rng() % 70000 : rng() % 1500;
      std::string piece = pattern(n, char(step));
      c.append(piece.data(), n);
      m += piece;
    } else if (op < 8) {
      unsigned n = m.empty() ? rng() % 4 : rng() % (m.size() + m.size() / 4 + 1);
      c.skip(n);
      m.erase(0, n);
    } else {
      // take: consume everything, the way a reader drains its buffer
      ASSERT_EQ(contents(c), m);
      c.skip(c.data_len());
      m.clear();
    }
    ASSERT_EQ(c.data_len(), m.size()) << step;
    if (m.empty()) {
      ASSERT_EQ(c.data(), nullptr) << step;
    } else {
      ASSERT_EQ(std::memcmp(c.data(), m.data(), m.size()), 0) << step;
      unsigned b = c.block_size();
      ASSERT_GE(b, 1024u);
      ASSERT_EQ(b & (b - 1), 0u);
      ASSERT_GE(b, m.size());
    }
  }
  uint64_t owned = 0;
  for (uint64_t cls = 1024; cls <= 64 * MIB; cls <<= 1) owned += mp.owned_count(unsigned(cls)) * cls;
  EXPECT_EQ(owned, mp.allocated_size());
  for (size_t i = 0; i < caches.size(); ++i) {
    caches[i]->skip(caches[i]->data_len());
    delete caches[i];
  }
  // Every block is free again.
  for (uint64_t cls = 1024; cls <= 64 * MIB; cls <<= 1)
    EXPECT_EQ(mp.free_count(unsigned(cls)), mp.owned_count(unsigned(cls))) << cls;
}
