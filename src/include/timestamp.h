// Time stamps in microseconds, as used by timer deadlines and every interval the loop
// measures. They come from the monotonic clock: only the difference of two stamps means
// anything. The wall clock is not used, because stepping the system time (NTP, an
// operator) would hold every deadline back for the length of a step back, or fire them
// all at once after a step forward.
#ifndef HALL_INCLUDE_TIMESTAMP_H
#define HALL_INCLUDE_TIMESTAMP_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

static inline int64_t GET_TIMESTAMP() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

#endif
