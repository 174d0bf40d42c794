#include "run_control.h"

#include <signal.h>
#include <time.h>

#include <atomic>

#include "log.h"

namespace {

// Set by the stop signals, and by request_stop from whichever thread drives the loop
// (tests run it on a thread of their own): a lock-free atomic serves both.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

void on_stop_signal(int) { g_stop.store(1, std::memory_order_relaxed); }

}  // namespace

int install_stop_handlers() {
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) return -1;
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  return sigaction(SIGPIPE, &ign, nullptr);
}

bool stop_requested() { return g_stop.load(std::memory_order_relaxed) != 0; }
void request_stop() { g_stop.store(1, std::memory_order_relaxed); }
void clear_stop() { g_stop.store(0, std::memory_order_relaxed); }

void nap_ms(int ms) {
  if (ms > 0) log_flush();  // deferred lines are not kept back for the length of a nap
  const int slice = 50;
  while (ms > 0 && !stop_requested()) {
    int step = ms < slice ? ms : slice;
    timespec ts = {0, static_cast<long>(step) * 1000000L};
    nanosleep(&ts, nullptr);
    ms -= step;
  }
}
