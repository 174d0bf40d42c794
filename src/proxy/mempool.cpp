// Power-of-two block pool. See mempool.h for the contract.
#include "mempool.h"

#include <cstdio>
#include <cstdlib>

namespace comm {
namespace sockcommu {

namespace {

const uint32_t MIN_CLASS = 1024;
const uint64_t ONE_MIB = 1048576;
const uint64_t BIG_CLASS = 64 * ONE_MIB;     // from here on a class is filled one block at a time
const uint64_t FILL_BYTES = 128 * ONE_MIB;   // bytes added at once to a class of 1 MiB and more
const uint32_t EMERGENCY_TOP = 1073741824u;  // classes visited by an emergency release
const uint32_t EMERGENCY_BOTTOM = 524288u;

// The failure report of allocate: source name, line tag, then the pool size, unseparated.
void report_failure(int line, uint32_t allocated) {
  std::fprintf(stderr, "mempool.cpp%dalloc_size%u\n", line, allocated);
}

}  // namespace

CMemPool::CMemPool() : _allocated_size(0), _water_mark(WATER_MARK) {}

CMemPool::~CMemPool() {
  for (auto& cls : _stub) {
    for (void* p : cls.second) std::free(p);
  }
}

uint32_t CMemPool::class_size(unsigned size) {
  if (size >= MAX_REQUEST) return 0;
  uint32_t c = MIN_CLASS;
  while (c <= size) c <<= 1;
  return c;
}

void* CMemPool::allocate(unsigned size, unsigned& result_size) {
  uint32_t c = class_size(size);
  if (c == 0) {
    // Too big to have a class at all; reported like any other failure.
    report_failure(47, _allocated_size);
    return nullptr;
  }
  auto it = _free.find(c);
  if (it == _free.end()) {
    if (extend_new_size(c) != 0) {
      report_failure(47, _allocated_size);
      return nullptr;
    }
    it = _free.find(c);
    if (it == _free.end()) {
      report_failure(54, _allocated_size);
      return nullptr;
    }
  }
  std::list<void*>& free_list = it->second;
  if (free_list.empty()) {
    if (extend(c, free_list, _stub[c]) != 0) {
      report_failure(68, _allocated_size);
      return nullptr;
    }
    if (free_list.empty()) {
      report_failure(75, _allocated_size);
      return nullptr;
    }
  }
  void* mem = free_list.front();
  free_list.pop_front();
  result_size = c;
  return mem;
}

int CMemPool::extend_new_size(unsigned size) {
  std::list<void*>& free_list = _free[size];
  std::set<void*>& stub = _stub[size];
  return extend(size, free_list, stub);
}

int CMemPool::extend(unsigned size, std::list<void*>& list, std::set<void*>& set) {
  if (size == 0) return -1;
  uint64_t count;
  if (size < ONE_MIB) {
    count = 128;
  } else if (size < BIG_CLASS) {
    count = FILL_BYTES / size;
  } else {
    count = 1;
  }
  uint64_t total = uint64_t(_allocated_size) + count * size;
  if (total >= SIZE_LIMIT) {
    if (release_size(unsigned(total - SIZE_LIMIT)) != 0) return -1;
  }
  uint64_t added = 0;
  for (uint64_t i = 0; i < count; ++i) {
    void* mem = std::malloc(size);
    if (mem == nullptr) break;  // keep what was obtained, account for it exactly
    list.push_front(mem);
    set.insert(mem);
    ++added;
  }
  _allocated_size += uint32_t(added * size);
  return added > 0 ? 0 : -1;
}

int CMemPool::recycle(void* mem, unsigned mem_size) {
  auto stub = _stub.find(mem_size);
  if (stub == _stub.end() || stub->second.count(mem) == 0) return -1;
  auto free_list = _free.find(mem_size);
  if (free_list == _free.end()) return -1;
  free_list->second.push_front(mem);
  release(mem_size, free_list->second, stub->second);
  return 0;
}

unsigned CMemPool::release_size(unsigned block_size, unsigned free_count, unsigned stub_count) {
  uint64_t free_bytes = uint64_t(free_count) * block_size;
  if (free_bytes < ONE_MIB) return 0;
  if (block_size <= BIG_CLASS) {
    // "below half of stub_count", without rounding stub_count down
    if (uint64_t(free_count) * 2 < stub_count && free_bytes < _water_mark) return 0;
    return free_count / 2;
  }
  return free_count >= 2 ? free_count / 2 : free_count;
}

int CMemPool::release(unsigned size, std::list<void*>& list, std::set<void*>& set) {
  unsigned todo_count = release_size(size, unsigned(list.size()), unsigned(set.size()));
  if (todo_count == 0) return 0;
  // Freeing more than the pool owns means its books are wrong: stop rather than go on.
  if (uint64_t(_allocated_size) < uint64_t(size) * todo_count) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__,
                 "_allocated_size >= size * todo_count");
    std::abort();
  }
  for (unsigned i = 0; i < todo_count && !list.empty(); ++i) {
    void* mem = list.front();
    list.pop_front();
    set.erase(mem);
    std::free(mem);
    _allocated_size -= size;
  }
  return 0;
}

int CMemPool::release_size(unsigned mem_size) {
  _water_mark = EMERGENCY_WATER_MARK;
  uint32_t before = _allocated_size;
  for (uint32_t c = EMERGENCY_TOP; c >= EMERGENCY_BOTTOM; c >>= 1) {
    if (before - _allocated_size >= mem_size) break;
    auto free_list = _free.find(c);
    auto stub = _stub.find(c);
    if (free_list == _free.end() || stub == _stub.end()) continue;
    release(c, free_list->second, stub->second);
  }
  _water_mark = WATER_MARK;
  return before - _allocated_size >= mem_size ? 0 : -1;
}

size_t CMemPool::free_count(unsigned size) const {
  auto it = _free.find(size);
  return it == _free.end() ? 0 : it->second.size();
}

size_t CMemPool::owned_count(unsigned size) const {
  auto it = _stub.find(size);
  return it == _stub.end() ? 0 : it->second.size();
}

bool CMemPool::owns(const void* mem, unsigned size) const {
  auto it = _stub.find(size);
  return it != _stub.end() && it->second.count(const_cast<void*>(mem)) != 0;
}

bool CMemPool::is_free(const void* mem, unsigned size) const {
  auto it = _free.find(size);
  if (it == _free.end()) return false;
  for (void* p : it->second) {
    if (p == mem) return true;
  }
  return false;
}

}  // namespace sockcommu
}  // namespace comm
