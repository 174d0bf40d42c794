// Compares reading the shared clock of the time-manager task with calling
// gettimeofday (and time) directly. Starts its own task on a private file, prints
// nanoseconds per call for each, then kills the task and removes the file.
//
//   tm_clock_bench [calls]      default 5000000
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "tm_task.h"

namespace {

double now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

template <class F>
double ns_per_call(long calls, F f) {
  const double t0 = now_ns();
  for (long i = 0; i < calls; ++i) f();
  return (now_ns() - t0) / calls;
}

volatile long sink;

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? atol(argv[1]) : 5000000;
  char dir[] = "/tmp/tm_clock_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  const std::string file = std::string(dir) + "/timemgrtask";
  const int task = get_timetask(file.c_str());

  struct timeval tv;
  get_timeofday(&tv, file.c_str());  // the first call maps the record
  get_time(file.c_str());

  const double shared_tv = ns_per_call(calls, [&] {
    get_timeofday(&tv, file.c_str());
    sink = tv.tv_usec;
  });
  const double sys_tv = ns_per_call(calls, [&] {
    gettimeofday(&tv, nullptr);
    sink = tv.tv_usec;
  });
  const double shared_t = ns_per_call(calls, [&] { sink = get_time(file.c_str()); });
  const double sys_t = ns_per_call(calls, [&] { sink = time(nullptr); });

  printf("calls per figure:          %ld\n", calls);
  printf("get_timeofday (shared):    %8.2f ns/call\n", shared_tv);
  printf("gettimeofday  (system):    %8.2f ns/call\n", sys_tv);
  printf("get_time      (shared):    %8.2f ns/call\n", shared_t);
  printf("time          (system):    %8.2f ns/call\n", sys_t);

  kill(task, SIGKILL);
  waitpid(task, nullptr, 0);
  unlink(file.c_str());
  rmdir(dir);
  return 0;
}
