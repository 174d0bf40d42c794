#include "stats.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "helper_pool.h"
#include "metrics/registry.h"

#ifndef HALL_BUILD_VERSION
#define HALL_BUILD_VERSION "unknown"
#endif

namespace __http_svr_ns__ {

THallStats g_stats;
TLoopTurns g_loop_turns;

namespace {

const double kLoopTurnBounds[TLoopTurns::BUCKETS - 1] = {0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1};
const char* const kLoopTurnLabels[TLoopTurns::BUCKETS] = {"0.0005", "0.001", "0.005", "0.01", "0.05",
                                                          "0.1",    "0.5",   "1",     "+Inf"};

const char* const kRejectReasons[REJECT_REASONS] = {"bad_flag",     "bad_size",          "bad_checksum", "bad_command",
                                                    "too_many_ids", "not_authenticated", "rate_limited"};

using hall_metrics::CExposition;
using hall_metrics::CMetricsRegistry;

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof(text), "%.6f", seconds);
  return text;
}

long long count_open_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  long long fds = -1;  // the directory's own descriptor is listed too
  while (dirent* ent = readdir(d))
    if (ent->d_name[0] != '.') ++fds;
  closedir(d);
  return fds;
}

// Counting the entries of /proc/self/fd costs the kernel about a microsecond for each
// open descriptor: 25 ms with 19,000 players, too long for the loop at every scrape. A
// thread of its own counts when a scrape asks, at most once a second, and a scrape
// reports the last count (the first scrape counts itself, and starts the thread). The
// state is never destroyed: the thread may still wait on it while the process exits.
struct TOpenFds {
  std::mutex lock;
  std::condition_variable asked_cv;
  bool asked = false;
  std::atomic<long long> last{-1};
};

long long open_fds() {
  static TOpenFds* state = nullptr;
  if (state == nullptr) {
    state = new TOpenFds;
    state->last = count_open_fds();
    std::thread([s = state] {
      for (;;) {
        {
          std::unique_lock<std::mutex> hold(s->lock);
          s->asked_cv.wait(hold, [s] { return s->asked; });
          s->asked = false;
        }
        s->last = count_open_fds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
    }).detach();
    return state->last;
  }
  {
    std::lock_guard<std::mutex> hold(state->lock);
    state->asked = true;
  }
  state->asked_cv.notify_one();
  return state->last;
}

// The process's own figures, each left out when the system cannot tell it.
void write_process_families(CExposition& e) {
  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) == 2)
      e.one("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
            static_cast<long long>(resident) * sysconf(_SC_PAGESIZE));
    fclose(f);
  }
  const long long fds = open_fds();
  if (fds >= 0) e.one("process_open_fds", "gauge", "Number of open file descriptors.", fds);
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    e.one("process_max_fds", "gauge", "Maximum number of open file descriptors.", static_cast<long long>(lim.rlim_cur));
  struct rusage use;
  if (getrusage(RUSAGE_SELF, &use) == 0) {
    const double cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    e.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    e.sample("process_cpu_seconds_total", "", seconds_text(cpu));
  }
  e.one("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
        static_cast<long long>(g_stats.start_time));
}

}  // namespace

void register_client_metrics() {
  CMetricsRegistry::add_gauge("hall_registered_clients", "Client ids registered to a connection.", [] {
    return static_cast<long long>(_helperpool != nullptr ? _helperpool->m_objmap.size() : 0);
  });
  CMetricsRegistry::add_counter("hall_client_packets_total", "Client data requests accepted and forwarded.",
                                &g_stats.client_packets);
  CMetricsRegistry::add("hall_client_packets_rejected_total", "counter",
                        "Client packets refused, by reason; each closes its connection.", [](CExposition& e) {
                          for (int r = 0; r < REJECT_REASONS; ++r)
                            e.sample("hall_client_packets_rejected_total",
                                     std::string("reason=\"") + kRejectReasons[r] + "\"",
                                     static_cast<unsigned long long>(g_stats.client_rejected[r]));
                        });
}

void register_client_queue_metrics() {
  CMetricsRegistry::add_gauge("hall_client_queued_bytes", "Answer bytes queued for clients, not yet written.",
                              [] { return static_cast<long long>(g_stats.client_queued_bytes); });
  CMetricsRegistry::add_counter("hall_clients_refused_total",
                                "Accepted client connections closed before they could be served.",
                                &g_stats.clients_refused);
  CMetricsRegistry::add_counter("hall_accept_pauses_total",
                                "Times the client listener stopped accepting (poller or descriptors full).",
                                &g_stats.accept_pauses);
}

void register_result_metrics() {
  CMetricsRegistry::add_counter("hall_results_total", "Logic-server results handed to a client connection.",
                                &g_stats.results);
  CMetricsRegistry::add_counter(
      "hall_results_unroutable_total",
      "Logic-server results that reached no client (no flow, no client holding it, or one closing).",
      &g_stats.results_unroutable);
}

void register_loop_metrics() {
  CMetricsRegistry::add(
      "hall_loop_turn_seconds", "histogram", "Time each loop turn spent working, from the event wait to the next.",
      [](CExposition& e) {
        unsigned long long below = 0;
        for (int b = 0; b < TLoopTurns::BUCKETS; ++b) {
          below += g_loop_turns.count[b];
          e.sample("hall_loop_turn_seconds_bucket", std::string("le=\"") + kLoopTurnLabels[b] + "\"", below);
        }
        e.sample("hall_loop_turn_seconds_sum", "", seconds_text(g_loop_turns.sum));
        e.sample("hall_loop_turn_seconds_count", "", static_cast<unsigned long long>(g_loop_turns.total));
      });
  CMetricsRegistry::add("hall_loop_turn_max_seconds", "gauge", "Longest loop turn since the previous scrape.",
                        [](CExposition& e) {
                          e.sample("hall_loop_turn_max_seconds", "", seconds_text(g_loop_turns.max_since_scrape));
                          g_loop_turns.max_since_scrape = 0;
                        });
}

void register_process_metrics() {
  CMetricsRegistry::add_gauge("hall_start_time_seconds", "Start time of the gateway, in seconds since the epoch.",
                              [] { return static_cast<long long>(g_stats.start_time); });
  CMetricsRegistry::add("hall_build_info", "gauge", "Build of the gateway; always 1.", [](CExposition& e) {
    e.sample("hall_build_info", "version=\"" + hall_metrics::label_value(HALL_BUILD_VERSION) + "\"", 1LL);
  });
  CMetricsRegistry::add_families(write_process_families);
}

void record_loop_turn(double seconds) {
  int b = 0;
  while (b < TLoopTurns::BUCKETS - 1 && seconds > kLoopTurnBounds[b]) ++b;
  ++g_loop_turns.count[b];
  ++g_loop_turns.total;
  g_loop_turns.sum += seconds;
  if (seconds > g_loop_turns.max_since_scrape) g_loop_turns.max_since_scrape = seconds;
}

}  // namespace __http_svr_ns__
