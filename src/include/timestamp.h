// Wall-clock time stamps in microseconds since the Unix epoch, as used by timer deadlines.
#ifndef HALL_INCLUDE_TIMESTAMP_H
#define HALL_INCLUDE_TIMESTAMP_H

#include <stdint.h>
#include <sys/time.h>

static inline int64_t GET_TIMESTAMP() {
  struct timeval tv;
  gettimeofday(&tv, 0);
  return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

#endif
