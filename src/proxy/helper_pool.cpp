#include "helper_pool.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace __http_svr_ns__ {

namespace {

uint64_t draw_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(seed))) return seed;
  // No entropy yet (early boot): the time and the process still differ between runs.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(now.tv_sec) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
         (static_cast<uint64_t>(getpid()) << 16);
}

}  // namespace

const uint64_t CClientIdHash::seed = draw_seed();

CHelperPool* _helperpool = nullptr;

}  // namespace __http_svr_ns__
