// CMemPool: a pool of raw byte blocks in power-of-two size classes (1024 bytes and up).
// Freed blocks are kept per class and handed out again; memory goes back to the system
// only in bulk, when a class holds a lot of free memory, or in an emergency release when
// the pool would grow to 2000 MiB. Blocks are never split or merged.
// The pool owns every block it ever handed out and frees them all when destroyed, so
// it must outlive every CRawCache over it. Used on the loop thread only; nothing is locked.
#ifndef HALL_PROXY_MEMPOOL_H
#define HALL_PROXY_MEMPOOL_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <set>

#include "noncopyable.h"

namespace comm {
namespace sockcommu {

class CMemPool : noncopyable {
 public:
  // Requests of this size or more cannot be served: their class would not fit 32 bits.
  static const uint32_t MAX_REQUEST = 0x80000000u;
  // The pool never grows to this many bytes (2000 MiB).
  static const uint32_t SIZE_LIMIT = 2097152000u;
  static const uint32_t WATER_MARK = 1073741824u;           // 1 GiB, normal give-back threshold
  static const uint32_t EMERGENCY_WATER_MARK = 134217728u;  // 128 MiB, during an emergency release

  CMemPool();
  ~CMemPool();

  // Class size served for a request of `size` bytes: the smallest power of two strictly
  // above `size`, at least 1024; 0 when `size` >= MAX_REQUEST.
  static uint32_t class_size(unsigned size);

  // A block of the class of `size`; its class size is stored in `result_size`.
  // Null (after a line on standard error) when the pool cannot supply one.
  void* allocate(unsigned size, unsigned& result_size);
  // Gives back `mem`, a block of class `mem_size`. 0, or -1 when the pool does not own
  // `mem` in that class (the block is then left alone). May return memory to the system.
  int recycle(void* mem, unsigned mem_size);

  // Internal steps, public so that the give-back rules can be exercised directly.
  // extend: adds fresh blocks to class `size`; 0, or -1 when nothing could be added.
  int extend(unsigned size, std::list<void*>& list, std::set<void*>& set);
  // extend_new_size: creates class `size` and fills it; 0 or -1.
  int extend_new_size(unsigned size);
  // release: applies the give-back rule to class `size`; always 0.
  int release(unsigned size, std::list<void*>& list, std::set<void*>& set);
  // release_size (rule): how many of `free_count` free blocks of class `block_size`
  // (which owns `stub_count` blocks) go back to the system now.
  unsigned release_size(unsigned block_size, unsigned free_count, unsigned stub_count);
  // release_size (emergency): frees at least `mem_size` bytes from the classes of
  // 512 KiB to 1 GiB under the lowered water mark; 0 when enough was freed, else -1.
  int release_size(unsigned mem_size);

  // Read-only views for diagnostics and tests.
  uint32_t allocated_size() const { return _allocated_size; }
  uint32_t water_mark() const { return _water_mark; }
  bool has_class(unsigned size) const { return _free.count(size) != 0; }
  size_t free_count(unsigned size) const;   // free blocks of a class (0 if missing)
  size_t owned_count(unsigned size) const;  // blocks a class owns, free or handed out
  bool owns(const void* mem, unsigned size) const;
  bool is_free(const void* mem, unsigned size) const;

 private:
  std::map<unsigned, std::list<void*> > _free;  // class size -> free blocks, front first
  std::map<unsigned, std::set<void*> > _stub;   // class size -> every block owned
  uint32_t _allocated_size;                     // bytes of all blocks owned
  uint32_t _water_mark;
};

}  // namespace sockcommu
}  // namespace comm

#endif
