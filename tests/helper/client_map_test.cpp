// Client ids come from the clients: a hostile client may choose ids that all fall into
// one bucket of the routing table, which turns every lookup of them (each request, each
// result, each close) into a walk over all of them while the loop waits.
#include <gtest/gtest.h>

#include <algorithm>

#include "helper_pool.h"

using __http_svr_ns__::CHelperPool;

TEST(ClientMap, IdsChosenToShareABucketAreSpreadOut) {
  // 1 000 connections of 16 ids each. Multiples of the bucket count that many entries
  // lead to would all share bucket 0 under a hash that passes the id through.
  const int kIds = 16000;
  CHelperPool::ClientMap sizing;
  for (int i = 1; i <= kIds; ++i) sizing[i] = nullptr;
  const long buckets = static_cast<long>(sizing.bucket_count());

  CHelperPool::ClientMap map;
  for (long k = 1; k <= kIds; ++k) map[static_cast<int>(k * buckets)] = nullptr;
  ASSERT_EQ(map.bucket_count(), sizing.bucket_count());
  size_t largest = 0;
  for (size_t b = 0; b < map.bucket_count(); ++b) largest = std::max(largest, map.bucket_size(b));
  EXPECT_LT(largest, 32u) << "ids that are multiples of " << buckets << " share one bucket";
}
