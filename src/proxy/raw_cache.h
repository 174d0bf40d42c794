// CRawCache: a byte queue held in one contiguous block from a CMemPool. Bytes are
// appended at the back and skipped at the front; the block is compacted or replaced by
// one of the next size class when an append does not fit, and given back to the pool
// as soon as the queue is emptied. An append never splits data over two blocks.
// The owner (a connection) holds the cache by value; the pool must outlive it. Used on
// the loop thread only.
#ifndef HALL_PROXY_RAW_CACHE_H
#define HALL_PROXY_RAW_CACHE_H

#include <cstdint>

#include "mempool.h"
#include "noncopyable.h"

namespace comm {
namespace sockcommu {

class CRawCache : noncopyable {
 public:
  explicit CRawCache(CMemPool& mp);
  // Gives a block still held back to the pool (owners normally empty the cache first).
  ~CRawCache();

  // First byte held, or null when the cache is empty.
  char* data() const;
  unsigned data_len() const { return _data_len; }
  // Size of the block in use (0 without a block).
  unsigned block_size() const { return _block_size; }

  // Adds `data_len` bytes at the end.
  // THROWS int 0 when the pool cannot supply a bigger block (or the total would reach
  // 2 GiB); the cache is then unchanged. This is the one exception the core raises:
  // every caller must catch it and treat it as a failed append.
  void append(const char* data, unsigned data_len);
  // Drops `length` bytes from the front; dropping everything gives the block back.
  void skip(unsigned length);

 private:
  CMemPool& _mp;
  char* _mem;
  uint32_t _block_size;
  uint32_t _data_head;
  uint32_t _data_len;
};

}  // namespace sockcommu
}  // namespace comm

#endif
