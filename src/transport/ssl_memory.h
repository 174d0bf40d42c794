// OpenSSL's allocator in the gateway: its large blocks (a TLS session's record buffers,
// about 17 KB each way, and the handshake's buffers) live outside the malloc heap, in
// page-rounded blocks of a pool of their own.
//
// Why: a TLS player's record buffers are taken for a record and given back when it is
// done, and a handshake holds several buffers until it ends. In the heap, the buffers of
// 1,000 handshakes at once, freed between the sessions' long-lived pieces, leave holes
// whose edge pages stay resident (about 5 KB per idle wss player after such a storm;
// malloc_trim returns only the whole pages inside them).
// Blocks of whole pages have no edges to share: a free block's pages go back to the
// system whole.
//
// The pool: one range of address space reserved with the first block (no memory until used),
// carved from its start into blocks of 1 to 16 pages; a block keeps its size for good.
// Each size has a list of free blocks, last in first out, so that a player turning active
// takes the block another just gave back, still in the caches. release_ssl_memory (the
// idle sweep) gives the pages of free blocks beyond a small reserve back to the system
// (MADV_DONTNEED, adjacent blocks in one call); such a block is taken again after the
// warm ones, its pages coming back zero-filled on first touch. The carved part of the
// range is one mapping, whatever the number of blocks. Which requests get a block is
// told by their size (ssl_memory_pooled); the others, most of a session's pieces (a few
// hundred bytes each), go to malloc with no header: a block is told by its address
// (inside the range), its size by a table with one entry per page of the range. A
// request the range cannot serve (full) goes to malloc too; realloc moves a block across
// the two kinds as its size asks.
//
// Thread safety: the loop thread's TLS sessions make nearly all the calls, but the auth
// verifier threads use OpenSSL too: the pool's lists are behind a mutex (uncontended in
// practice: a lock and an unlock per record buffer taken or given back, a few tens of
// nanoseconds). Requests for malloc take no lock.
//
// In an AddressSanitizer build the pool is not installed, so that the sanitizer sees
// OpenSSL's allocations (leaks, overflows, use after free) as before; the pool itself
// poisons its free blocks there for the checks that call it directly.
#ifndef HALL_TRANSPORT_SSL_MEMORY_H
#define HALL_TRANSPORT_SSL_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace hall_transport {

// Makes the pool OpenSSL's allocator. Must come before anything in the process makes
// OpenSSL allocate (OpenSSL refuses a new allocator after its first allocation). False,
// with the reason in *why, when OpenSSL refused: it then keeps malloc, which works the
// same, with more memory per idle player. True (and nothing installed) in an
// AddressSanitizer build.
bool install_ssl_memory(std::string* why);

// True in an AddressSanitizer build, where install_ssl_memory installs nothing.
bool ssl_memory_bypassed();

// Gives the pages of the free blocks beyond the reserve back to the system: the bytes
// given. The idle sweep calls it every half second; cheap when there is nothing to give.
size_t release_ssl_memory();

struct TSslMemoryStats {
  uint64_t used_bytes;      // in blocks OpenSSL holds
  uint64_t free_bytes;      // in free blocks whose pages are kept
  uint64_t released_bytes;  // in free blocks whose pages went back to the system
  uint64_t carved_bytes;    // of the range carved into blocks so far
  uint64_t range_misses;    // requests the range could not serve (malloc took them)
};
TSslMemoryStats ssl_memory_stats();

// The allocator's three functions, as OpenSSL calls them (file and line unused).
void* ssl_memory_malloc(size_t n, const char* file, int line);
void* ssl_memory_realloc(void* p, size_t n, const char* file, int line);
void ssl_memory_free(void* p, const char* file, int line);
// Whether a request of n bytes gets a block of the pool (when the range has room): from
// three quarters of a page up to a page, and from two pages up to 16.
bool ssl_memory_pooled(size_t n);

}  // namespace hall_transport

#endif
