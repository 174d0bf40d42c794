#include "transport/ssl_memory.h"

#include <malloc.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define HALL_SSL_MEMORY_BYPASSED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALL_SSL_MEMORY_BYPASSED 1
#endif
#endif

namespace hall_transport {

namespace {

// Address space reserved for the blocks with the first of them: about 80,000 active TLS
// players' buffers. It costs no memory until carved; a request that finds it full, or
// finds that it could not be reserved, goes to malloc (counted).
constexpr size_t kRangeBytes = size_t{4} << 30;
// The carved part grows by this much at a time (one mprotect).
constexpr size_t kCommitStep = size_t{1} << 20;
// The largest block.
constexpr size_t kMaxBlockBytes = 65536;
// Free blocks of each size kept with their pages by release_ssl_memory.
constexpr uint32_t kReserveBytes = 131072;
constexpr uint32_t kNone = UINT32_MAX;

// One entry per page of the range; only those of a block's first page are used.
struct TPage {
  uint32_t next;  // the next block of the list this one is on
  uint8_t pages;  // the block's size
  uint8_t state;  // one of the below
};
enum { PAGE_UNUSED, PAGE_TAKEN, PAGE_FREE, PAGE_RELEASED };

struct TList {
  uint32_t head = kNone;
  uint32_t count = 0;
};

// The range's start once reserved (0 before): read without the lock by every free.
std::atomic<uintptr_t> g_base{0};

// The rest is guarded by g_lock. Plain data: the pool must outlive every static object
// whose destructor may still free OpenSSL memory at exit.
std::mutex g_lock;  // constant-initialized, destroyed trivially
size_t g_page = 0;  // bytes of a page
int g_shift = 0;    // log2(g_page)
size_t g_max_pages = 0;
size_t g_threshold = 0;
TPage* g_table = nullptr;
uint32_t g_carved = 0;     // pages carved into blocks
uint32_t g_committed = 0;  // pages made writable
uint32_t g_range_pages = 0;
bool g_range_failed = false;
TList g_free[256];      // by block size in pages: kept pages, most recently freed first
TList g_released[256];  // pages given back to the system
uint64_t g_used_pages = 0;
uint64_t g_misses = 0;

// A fork keeps the lock usable in the child (the gateway forks to detach and to start a
// successor while other threads may hold it).
void lock_for_fork() { g_lock.lock(); }
void unlock_after_fork() { g_lock.unlock(); }

void init_sizes() {
  pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
  const long page = sysconf(_SC_PAGESIZE);
  g_page = page > 0 ? static_cast<size_t>(page) : 4096;
  while ((size_t{1} << g_shift) < g_page) ++g_shift;
  g_max_pages = std::min<size_t>(255, std::max<size_t>(1, kMaxBlockBytes / g_page));
  // From three quarters of a page to a page: a handshake's short-lived buffers (3.2 and
  // 4 KB, ten of them per handshake), which in the heap left holes of 4 and 8 KB between
  // the sessions' state after a storm. From two pages: the record buffers and the
  // handshake's message buffer. Between one and two pages a block would leave up to a
  // page unused: the one such request that lives long, the SSL object (7.6 KB, for the
  // connection's life), stays in the heap, which fits it to the byte and gives a closed
  // connection's object to the next one; so do a session's other pieces, a few hundred
  // bytes each.
  g_threshold = g_page - g_page / 4;
}

pthread_once_t g_sizes_once = PTHREAD_ONCE_INIT;
void sizes() { pthread_once(&g_sizes_once, init_sizes); }

// Reserves the range and its table (locked). False when the system refused.
bool reserve_range() {
  if (g_base.load(std::memory_order_relaxed) != 0) return true;
  if (g_range_failed) return false;
  g_range_failed = true;
  const size_t pages = kRangeBytes >> g_shift;
  void* table =
      mmap(nullptr, pages * sizeof(TPage), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (table == MAP_FAILED) return false;
  void* range = mmap(nullptr, kRangeBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) {
    munmap(table, pages * sizeof(TPage));
    return false;
  }
  g_table = static_cast<TPage*>(table);
  g_range_pages = static_cast<uint32_t>(pages);
  g_range_failed = false;
  g_base.store(reinterpret_cast<uintptr_t>(range), std::memory_order_release);
  return true;
}

char* page_address(uint32_t index) {
  return reinterpret_cast<char*>(g_base.load(std::memory_order_relaxed) + (static_cast<uintptr_t>(index) << g_shift));
}

bool in_range(const void* p) {
  const uintptr_t base = g_base.load(std::memory_order_acquire);
  return base != 0 && reinterpret_cast<uintptr_t>(p) - base < kRangeBytes;
}

uint32_t pop(TList* list) {
  const uint32_t index = list->head;
  if (index != kNone) {
    list->head = g_table[index].next;
    --list->count;
  }
  return index;
}

void push(TList* list, uint32_t index) {
  g_table[index].next = list->head;
  list->head = index;
  ++list->count;
}

// A block of `pages` pages (locked): a warm free one, else a released one, else a new one
// carved from the range. kNone when the range is full or cannot be made writable.
uint32_t take_block(size_t pages) {
  uint32_t index = pop(&g_free[pages]);
  if (index == kNone) index = pop(&g_released[pages]);
  if (index == kNone) {
    if (!reserve_range() || pages > g_range_pages - g_carved) return kNone;
    if (g_carved + pages > g_committed) {
      const uint32_t step = static_cast<uint32_t>(kCommitStep >> g_shift);
      const uint32_t upto = std::min(g_range_pages, std::max<uint32_t>(g_committed + step, g_carved + pages));
      if (mprotect(page_address(g_committed), static_cast<size_t>(upto - g_committed) << g_shift,
                   PROT_READ | PROT_WRITE) != 0)
        return kNone;
      g_committed = upto;
    }
    index = g_carved;
    g_carved += static_cast<uint32_t>(pages);
    g_table[index].pages = static_cast<uint8_t>(pages);
  }
  g_table[index].state = PAGE_TAKEN;
  g_used_pages += pages;
  ASAN_UNPOISON_MEMORY_REGION(page_address(index), pages << g_shift);
  return index;
}

size_t pages_for(size_t n) { return (n + g_page - 1) >> g_shift; }

// Whether n bytes get a block of the pool (see init_sizes).
bool for_pool(size_t n) {
  return n >= g_threshold && n <= (g_max_pages << g_shift) && (n <= g_page || n >= 2 * g_page);
}

// The pool's block for n bytes, or null when n is not for the pool or the range cannot
// serve it (counted).
void* pool_alloc(size_t n) {
  if (!for_pool(n)) return nullptr;
  std::lock_guard<std::mutex> lock(g_lock);
  const uint32_t index = take_block(pages_for(n));
  if (index == kNone) {
    ++g_misses;
    return nullptr;
  }
  return page_address(index);
}

// The table entry of the block at p, which must be a taken block's start: anything else
// is a fault of the caller that would corrupt the pool, so the process stops as glibc's
// free does on an invalid pointer.
uint32_t block_index(const void* p) {
  const uintptr_t offset = reinterpret_cast<uintptr_t>(p) - g_base.load(std::memory_order_relaxed);
  const uint32_t index = static_cast<uint32_t>(offset >> g_shift);
  if ((offset & (g_page - 1)) != 0 || index >= g_carved || g_table[index].state != PAGE_TAKEN) {
    fprintf(stderr, "OpenSSL memory: free of %p, not a block in use\n", p);
    abort();
  }
  return index;
}

void pool_free(const void* p) {
  std::lock_guard<std::mutex> lock(g_lock);
  const uint32_t index = block_index(p);
  TPage& page = g_table[index];
  page.state = PAGE_FREE;
  g_used_pages -= page.pages;
  ASAN_POISON_MEMORY_REGION(page_address(index), static_cast<size_t>(page.pages) << g_shift);
  push(&g_free[page.pages], index);
}

void* malloc_fn(size_t n, const char*, int) {
  if (n == 0) return nullptr;  // as OpenSSL's own CRYPTO_malloc
  void* p = pool_alloc(n);
  return p != nullptr ? p : malloc(n);
}

void free_fn(void* p, const char*, int) {
  if (p == nullptr) return;
  if (in_range(p))
    pool_free(p);
  else
    free(p);
}

void* realloc_fn(void* p, size_t n, const char* file, int line) {
  if (p == nullptr) return malloc_fn(n, file, line);
  if (n == 0) {
    free_fn(p, file, line);
    return nullptr;
  }
  size_t have;
  if (in_range(p)) {
    {
      std::lock_guard<std::mutex> lock(g_lock);
      have = static_cast<size_t>(g_table[block_index(p)].pages) << g_shift;
    }
    // The block still fits: kept when n would get a block of its size again.
    if (for_pool(n) && pages_for(n) == (have >> g_shift)) return p;
  } else {
    if (!for_pool(n)) return realloc(p, n);
    have = malloc_usable_size(p);
  }
  void* q = malloc_fn(n, file, line);
  if (q == nullptr) return nullptr;  // p stays as it was, as realloc leaves it
  memcpy(q, p, std::min(have, n));
  free_fn(p, file, line);
  return q;
}

}  // namespace

void* ssl_memory_malloc(size_t n, const char* file, int line) {
  sizes();
  return malloc_fn(n, file, line);
}
void* ssl_memory_realloc(void* p, size_t n, const char* file, int line) {
  sizes();
  return realloc_fn(p, n, file, line);
}
void ssl_memory_free(void* p, const char* file, int line) { free_fn(p, file, line); }

bool ssl_memory_pooled(size_t n) {
  sizes();
  return for_pool(n);
}

bool ssl_memory_bypassed() {
#ifdef HALL_SSL_MEMORY_BYPASSED
  return true;
#else
  return false;
#endif
}

bool install_ssl_memory(std::string* why) {
#ifdef HALL_SSL_MEMORY_BYPASSED
  (void)why;
  return true;
#else
  sizes();
  if (CRYPTO_set_mem_functions(malloc_fn, realloc_fn, free_fn) != 1) {
    *why = "OpenSSL had allocated memory already";
    return false;
  }
  return true;
#endif
}

size_t release_ssl_memory() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_base.load(std::memory_order_relaxed) == 0) return 0;
  // The blocks beyond each size's reserve, at the cold end of its list.
  size_t excess = 0;
  for (size_t pages = 1; pages <= g_max_pages; ++pages) {
    const uint32_t keep = std::max<uint32_t>(1, kReserveBytes / static_cast<uint32_t>(pages << g_shift));
    if (g_free[pages].count > keep) excess += g_free[pages].count - keep;
  }
  if (excess == 0) return 0;
  uint32_t* given = static_cast<uint32_t*>(malloc(excess * sizeof(uint32_t)));
  size_t count = 0, bytes = 0;
  for (size_t pages = 1; pages <= g_max_pages; ++pages) {
    TList& list = g_free[pages];
    const uint32_t keep = std::max<uint32_t>(1, kReserveBytes / static_cast<uint32_t>(pages << g_shift));
    if (list.count <= keep) continue;
    uint32_t last = list.head;
    for (uint32_t i = 1; i < keep; ++i) last = g_table[last].next;
    uint32_t index = g_table[last].next;
    g_table[last].next = kNone;
    list.count = keep;
    while (index != kNone) {
      const uint32_t next = g_table[index].next;
      g_table[index].state = PAGE_RELEASED;
      push(&g_released[pages], index);
      bytes += pages << g_shift;
      if (given != nullptr)
        given[count++] = index;
      else
        madvise(page_address(index), pages << g_shift, MADV_DONTNEED);
      index = next;
    }
  }
  if (given == nullptr) return bytes;
  // Adjacent blocks (of whatever size) go back in one call.
  std::sort(given, given + count);
  for (size_t i = 0; i < count;) {
    const uint32_t from = given[i];
    uint32_t to = from + g_table[from].pages;
    for (++i; i < count && given[i] == to; ++i) to += g_table[given[i]].pages;
    madvise(page_address(from), static_cast<size_t>(to - from) << g_shift, MADV_DONTNEED);
  }
  free(given);
  return bytes;
}

TSslMemoryStats ssl_memory_stats() {
  std::lock_guard<std::mutex> lock(g_lock);
  TSslMemoryStats s = {};
  uint64_t free_pages = 0, released_pages = 0;
  for (size_t pages = 1; pages <= g_max_pages; ++pages) {
    free_pages += static_cast<uint64_t>(g_free[pages].count) * pages;
    released_pages += static_cast<uint64_t>(g_released[pages].count) * pages;
  }
  s.used_bytes = g_used_pages << g_shift;
  s.free_bytes = free_pages << g_shift;
  s.released_bytes = released_pages << g_shift;
  s.carved_bytes = static_cast<uint64_t>(g_carved) << g_shift;
  s.range_misses = g_misses;
  return s;
}

}  // namespace hall_transport
