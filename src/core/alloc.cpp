// Global allocation functions of every program in this project. Memory from operator new
// comes back zero-filled: several classes rely on fields that no constructor sets starting
// at zero. A failed allocation throws std::bad_alloc as usual; the nothrow forms return
// null, which is how long-lived objects are created and checked.
#include <cstdlib>
#include <new>

namespace {

void* zeroed_alloc(std::size_t size) {
  if (size == 0) size = 1;
  return std::calloc(1, size);
}

void* zeroed_alloc_or_throw(std::size_t size) {
  void* p = zeroed_alloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return zeroed_alloc_or_throw(size); }
void* operator new[](std::size_t size) { return zeroed_alloc_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return zeroed_alloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return zeroed_alloc(size); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

// Hook for leak reporting; leak checks run under the sanitizer build instead.
void dump_non_delete() {}
