// Reads the shared clock of a time-manager file the way any cooperating process does,
// and prints what it saw next to the system clock. Used by the tests, which need a
// fresh process for each first use of the readers.
//
//   tm_reader FILE time          "<get_time> <time(NULL)>"
//   tm_reader FILE tval N        N distinct get_timeofday values, "sec usec" per line,
//                                then "sys <sec> <usec>" from gettimeofday
//   tm_reader FILE delay         getdelay of a start 1.5 s ago (default file only)
//   tm_reader FILE hold          reads both clocks once (which chooses the record), prints
//                                "ready", waits for a line on standard input, then prints
//                                what "time" prints, "sec usec" of get_timeofday and
//                                "sys <sec> <usec>"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "tm_task.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s FILE time|tval N|delay|hold\n", argv[0]);
    return 2;
  }
  const char* file = argv[1];
  if (strcmp(argv[2], "time") == 0) {
    int t = get_time(file);
    printf("%d %ld\n", t, static_cast<long>(time(nullptr)));
    return 0;
  }
  if (strcmp(argv[2], "tval") == 0 && argc > 3) {
    const int want = atoi(argv[3]);
    struct timeval last = {0, 0};
    int seen = 0;
    // Bounded: at most 10 s of polling however slowly the clock moves.
    for (long spins = 0; seen < want && spins < 10L * 1000 * 1000 / 200; ++spins) {
      struct timeval tv;
      get_timeofday(&tv, file);
      if (tv.tv_sec != last.tv_sec || tv.tv_usec != last.tv_usec) {
        printf("%ld %ld\n", static_cast<long>(tv.tv_sec), static_cast<long>(tv.tv_usec));
        last = tv;
        ++seen;
      }
      usleep(200);
    }
    struct timeval sys;
    gettimeofday(&sys, nullptr);
    printf("sys %ld %ld\n", static_cast<long>(sys.tv_sec), static_cast<long>(sys.tv_usec));
    return 0;
  }
  if (strcmp(argv[2], "hold") == 0) {
    struct timeval tv;
    get_timeofday(&tv, file);
    get_time(file);
    printf("ready\n");
    fflush(stdout);
    char line[16];
    if (fgets(line, sizeof(line), stdin) == nullptr) return 1;
    const int t = get_time(file);
    printf("%d %ld\n", t, static_cast<long>(time(nullptr)));
    get_timeofday(&tv, file);
    struct timeval sys;
    gettimeofday(&sys, nullptr);
    printf("%ld %ld\nsys %ld %ld\n", static_cast<long>(tv.tv_sec), static_cast<long>(tv.tv_usec),
           static_cast<long>(sys.tv_sec), static_cast<long>(sys.tv_usec));
    return 0;
  }
  if (strcmp(argv[2], "delay") == 0) {
    struct timeval begin;
    gettimeofday(&begin, nullptr);
    begin.tv_sec -= 1;
    if (begin.tv_usec >= 500000) {
      begin.tv_usec -= 500000;
    } else {
      begin.tv_sec -= 1;
      begin.tv_usec += 500000;
    }
    printf("%d\n", getdelay(begin));
    return 0;
  }
  fprintf(stderr, "unknown mode %s\n", argv[2]);
  return 2;
}
