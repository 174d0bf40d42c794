#include "stats.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>

#include "admission/admission.h"
#include "clib_log.h"
#include "client_auth.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "listener.h"
#include "log.h"
#include "transport.h"

#ifndef HALL_BUILD_VERSION
#define HALL_BUILD_VERSION "unknown"
#endif

namespace __http_svr_ns__ {

hall_stats_s g_stats;
loop_turns_s g_loop_turns;

namespace {

const double kLoopTurnBounds[loop_turns_s::BUCKETS - 1] = {0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1};
const char* const kLoopTurnLabels[loop_turns_s::BUCKETS] = {"0.0005", "0.001", "0.005", "0.01", "0.05",
                                                            "0.1",    "0.5",   "1",     "+Inf"};

const char* const kRejectReasons[REJECT_REASONS] = {"bad_flag",     "bad_size",          "bad_checksum", "bad_command",
                                                    "too_many_ids", "not_authenticated", "rate_limited"};
const char* const kDropReasons[DROP_REASONS] = {"queue_full", "no_memory", "link_down", "link_reset", "unacknowledged"};

class CExposition {
 public:
  // The HELP and TYPE lines of a family; its samples follow.
  void family(const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const char* name, const std::string& labels, const std::string& value) {
    text += name;
    if (!labels.empty()) text += "{" + labels + "}";
    text += " " + value + "\n";
  }
  void sample(const char* name, const std::string& labels, long long value) {
    sample(name, labels, std::to_string(value));
  }
  void sample(const char* name, const std::string& labels, unsigned long long value) {
    sample(name, labels, std::to_string(value));
  }
  // A family of one unlabelled sample.
  template <typename T>
  void one(const char* name, const char* type, const char* help, T value) {
    family(name, type, help);
    sample(name, "", value);
  }

  std::string text;
};

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const char* raw) {
  std::string out;
  for (const char* p = raw; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') out += '\\';
    if (*p == '\n') {
      out += "\\n";
      continue;
    }
    out += *p;
  }
  return out;
}

std::string svid_label(int svid) { return "svid=\"" + std::to_string(svid) + "\""; }

void render_clients(CExposition& e) {
  // Each listener keeps its live client connections: their counts are the gauges.
  long long by_kind[hall_transport::TRANSPORT_KINDS] = {};
  for (const CListener* l : CIncoming::Instance()->listeners()) by_kind[l->transport_kind()] += l->client_count();
  long long all = 0;
  for (long long n : by_kind) all += n;
  e.one("hall_client_connections", "gauge", "Client connections open.", all);
  e.family("hall_client_connections_by_transport", "gauge", "Client connections open, by transport.");
  for (int k = 0; k < hall_transport::TRANSPORT_KINDS; ++k)
    e.sample("hall_client_connections_by_transport",
             std::string("transport=\"") +
                 hall_transport::transport_name(static_cast<hall_transport::TTransportKind>(k)) + "\"",
             by_kind[k]);
  e.one("hall_registered_clients", "gauge", "Client ids registered to a connection.",
        static_cast<long long>(_helperpool != nullptr ? _helperpool->m_objmap.size() : 0));
  e.one("hall_client_packets_total", "counter", "Client data requests accepted and forwarded.",
        static_cast<unsigned long long>(g_stats.client_packets));
  e.family("hall_client_packets_rejected_total", "counter",
           "Client packets refused, by reason; each closes its connection.");
  for (int r = 0; r < REJECT_REASONS; ++r)
    e.sample("hall_client_packets_rejected_total", std::string("reason=\"") + kRejectReasons[r] + "\"",
             static_cast<unsigned long long>(g_stats.client_rejected[r]));
  e.family("hall_client_auth_total", "counter", "Client token checks, by result.");
  for (int r = 0; r < hall_auth::AUTH_RESULTS; ++r)
    e.sample("hall_client_auth_total", std::string("result=\"") + hall_auth::result_name(r) + "\"",
             static_cast<unsigned long long>(hall_auth::client_auth_count(r)));
  e.one("hall_client_queued_bytes", "gauge", "Answer bytes queued for clients, not yet written.",
        static_cast<long long>(g_stats.client_queued_bytes));
  e.one("hall_clients_refused_total", "counter", "Accepted client connections closed before they could be served.",
        static_cast<unsigned long long>(g_stats.clients_refused));
  e.one("hall_accept_pauses_total", "counter",
        "Times the client listener stopped accepting (poller or descriptors full).",
        static_cast<unsigned long long>(g_stats.accept_pauses));
  const hall_admission::TCounters& admission = hall_admission::g_counters;
  e.family("hall_connections_refused_total", "counter",
           "Client connections closed before anything of theirs was served, by reason.");
  for (int r = 0; r < hall_admission::REFUSE_REASONS; ++r)
    e.sample("hall_connections_refused_total", std::string("reason=\"") + hall_admission::kRefuseReasonNames[r] + "\"",
             static_cast<unsigned long long>(admission.refused[r]));
  e.one("hall_client_read_pauses_total", "counter",
        "Times a client connection stopped being read while its forwards queued for logic servers passed its share.",
        static_cast<unsigned long long>(admission.read_pauses));
}

void render_logic(CExposition& e) {
  std::map<int, CHelperUnit*> none;
  const std::map<int, CHelperUnit*>& links = _helperpool != nullptr ? _helperpool->m_helpermap : none;
  e.family("hall_forwards_total", "counter", "Client requests written to a logic server.");
  for (const auto& l : links)
    if (l.second != nullptr)
      e.sample("hall_forwards_total", svid_label(l.first),
               static_cast<unsigned long long>(l.second->forward_stats().sent));
  e.family("hall_forwards_dropped_total", "counter",
           "Client requests for a logic server lost, by reason (unacknowledged: written, lost with the link).");
  for (const auto& l : links)
    if (l.second != nullptr)
      for (int r = 0; r < DROP_REASONS; ++r)
        e.sample("hall_forwards_dropped_total", svid_label(l.first) + ",reason=\"" + kDropReasons[r] + "\"",
                 static_cast<unsigned long long>(l.second->forward_stats().dropped[r]));
  e.family("hall_logic_link_up", "gauge", "1 while the link to the logic server is connected.");
  for (const auto& l : links)
    if (l.second != nullptr) e.sample("hall_logic_link_up", svid_label(l.first), l.second->link_up() ? 1LL : 0LL);
  e.family("hall_logic_queued_bytes", "gauge", "Bytes queued for the logic server, not yet written.");
  for (const auto& l : links)
    if (l.second != nullptr)
      e.sample("hall_logic_queued_bytes", svid_label(l.first), static_cast<long long>(l.second->pending_output()));
  e.one("hall_results_total", "counter", "Logic-server results handed to a client connection.",
        static_cast<unsigned long long>(g_stats.results));
  e.one("hall_results_unroutable_total", "counter",
        "Logic-server results that reached no client (no flow, no client holding it, or one closing).",
        static_cast<unsigned long long>(g_stats.results_unroutable));
}

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof(text), "%.6f", seconds);
  return text;
}

void render_loop(CExposition& e) {
  e.family("hall_loop_turn_seconds", "histogram",
           "Time each loop turn spent working, from the event wait to the next.");
  unsigned long long below = 0;
  for (int b = 0; b < loop_turns_s::BUCKETS; ++b) {
    below += g_loop_turns.count[b];
    e.sample("hall_loop_turn_seconds_bucket", std::string("le=\"") + kLoopTurnLabels[b] + "\"", below);
  }
  e.sample("hall_loop_turn_seconds_sum", "", seconds_text(g_loop_turns.sum));
  e.sample("hall_loop_turn_seconds_count", "", static_cast<unsigned long long>(g_loop_turns.total));
  e.family("hall_loop_turn_max_seconds", "gauge", "Longest loop turn since the previous scrape.");
  e.sample("hall_loop_turn_max_seconds", "", seconds_text(g_loop_turns.max_since_scrape));
  g_loop_turns.max_since_scrape = 0;
}

void render_process(CExposition& e) {
  e.one("hall_log_lines_total", "counter", "Lines written to the process log and the rolling logs.",
        static_cast<unsigned long long>(log_lines_written + clib_log::lines_written));
  e.one("hall_log_lines_dropped_total", "counter",
        "Lines for the process log and the rolling logs that were lost: queue full, file not writable.",
        static_cast<unsigned long long>(log_lines_dropped + clib_log::lines_dropped));
  e.one("hall_start_time_seconds", "gauge", "Start time of the gateway, in seconds since the epoch.",
        static_cast<long long>(g_stats.start_time));
  e.family("hall_build_info", "gauge", "Build of the gateway; always 1.");
  e.sample("hall_build_info", "version=\"" + label_value(HALL_BUILD_VERSION) + "\"", 1LL);

  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) == 2)
      e.one("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
            static_cast<long long>(resident) * sysconf(_SC_PAGESIZE));
    fclose(f);
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    long long fds = -1;  // the directory's own descriptor is listed too
    while (dirent* ent = readdir(d))
      if (ent->d_name[0] != '.') ++fds;
    closedir(d);
    e.one("process_open_fds", "gauge", "Number of open file descriptors.", fds);
  }
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    e.one("process_max_fds", "gauge", "Maximum number of open file descriptors.", static_cast<long long>(lim.rlim_cur));
  struct rusage use;
  if (getrusage(RUSAGE_SELF, &use) == 0) {
    const double cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    char text[64];
    snprintf(text, sizeof(text), "%.6f", cpu);
    e.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    e.sample("process_cpu_seconds_total", "", std::string(text));
  }
  e.one("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
        static_cast<long long>(g_stats.start_time));
}

}  // namespace

void record_loop_turn(double seconds) {
  int b = 0;
  while (b < loop_turns_s::BUCKETS - 1 && seconds > kLoopTurnBounds[b]) ++b;
  ++g_loop_turns.count[b];
  ++g_loop_turns.total;
  g_loop_turns.sum += seconds;
  if (seconds > g_loop_turns.max_since_scrape) g_loop_turns.max_since_scrape = seconds;
}

std::string render_metrics() {
  CExposition e;
  render_clients(e);
  render_logic(e);
  render_loop(e);
  render_process(e);
  return e.text + hall_transport::render_transport_metrics();
}

}  // namespace __http_svr_ns__
