// Byte queue over pooled blocks. See raw_cache.h for the contract.
#include "raw_cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace comm {
namespace sockcommu {

CRawCache::CRawCache(CMemPool& mp) : _mp(mp), _mem(nullptr), _block_size(0), _data_head(0), _data_len(0) {}

CRawCache::~CRawCache() {
  // Owners empty their caches first; a block still held here would otherwise stay
  // marked as handed out for the life of the pool.
  if (_mem != nullptr) _mp.recycle(_mem, _block_size);
}

char* CRawCache::data() const {
  if (_mem == nullptr || _data_len == 0) return nullptr;
  if (_data_head >= _block_size) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__,
                 "_data_head < _block_size");
    std::abort();
  }
  return _mem + _data_head;
}

void CRawCache::append(const char* data, unsigned data_len) {
  if (data_len == 0) return;  // nothing to add: take no block for it
  uint64_t need = uint64_t(_data_len) + data_len;
  if (need >= CMemPool::MAX_REQUEST) throw 0;

  if (_mem == nullptr) {
    unsigned size = 0;
    char* mem = static_cast<char*>(_mp.allocate(data_len, size));
    if (mem == nullptr) throw 0;
    std::memcpy(mem, data, data_len);
    _mem = mem;
    _block_size = size;
    _data_head = 0;
    _data_len = data_len;
    return;
  }
  if (uint64_t(_data_head) + need <= _block_size) {
    std::memcpy(_mem + _data_head + _data_len, data, data_len);
  } else if (need <= _block_size) {
    std::memmove(_mem, _mem + _data_head, _data_len);
    std::memcpy(_mem + _data_len, data, data_len);
    _data_head = 0;
  } else {
    unsigned size = 0;
    char* mem = static_cast<char*>(_mp.allocate(unsigned(need), size));
    if (mem == nullptr) throw 0;
    std::memcpy(mem, _mem + _data_head, _data_len);
    std::memcpy(mem + _data_len, data, data_len);
    _mp.recycle(_mem, _block_size);
    _mem = mem;
    _block_size = size;
    _data_head = 0;
  }
  _data_len += data_len;
}

void CRawCache::skip(unsigned length) {
  if (_mem == nullptr) return;
  if (length >= _data_len) {
    _mp.recycle(_mem, _block_size);
    _mem = nullptr;
    _block_size = 0;
    _data_head = 0;
    _data_len = 0;
    return;
  }
  _data_head += length;
  _data_len -= length;
}

}  // namespace sockcommu
}  // namespace comm
