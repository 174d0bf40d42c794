#include "transport/transport.h"

#include <errno.h>
#include <malloc.h>
#include <sys/socket.h>

#include <new>

#include "log.h"
#include "metrics/registry.h"
#include "timerlist.h"
#include "timestamp.h"
#include "transport/ssl_memory.h"
#include "transport/tls_transport.h"
#include "transport/ws_transport.h"

namespace hall_transport {

transport_stats_s g_transport_stats;

namespace {

constexpr int kSweepMs = 500;
constexpr int64_t kTrimEveryUs = 5000000;

void sweep() {
  static int64_t last_trim = 0;
  static bool trim_due = false;  // blocks went back since the last trim
  static uint64_t misses = 0;
  const int64_t start = GET_TIMESTAMP();
  const size_t returned = release_ssl_memory();
  trim_due = trim_due || returned > 0;
  const TSslMemoryStats pool = ssl_memory_stats();
  if (pool.range_misses > misses)
    log_error(
        "%llu requests of OpenSSL for large blocks went to malloc: the range of its blocks is full or could not "
        "be reserved",
        static_cast<unsigned long long>(pool.range_misses - misses));
  misses = pool.range_misses;
  // The heap's free pages go back after a storm too, at most once every kTrimEveryUs.
  const bool trim = trim_due && start - last_trim >= kTrimEveryUs;
  if (trim) {
    malloc_trim(0);
    last_trim = start;
    trim_due = false;
  }
  if (returned > 0 || trim)
    log_debug(
        "idle sweep: %zu KB of OpenSSL's blocks given back%s in %lld us; OpenSSL's blocks: %llu KB used, %llu KB "
        "free, %llu KB returned",
        returned >> 10, trim ? " and the heap trimmed" : "", static_cast<long long>(GET_TIMESTAMP() - start),
        static_cast<unsigned long long>(pool.used_bytes >> 10), static_cast<unsigned long long>(pool.free_bytes >> 10),
        static_cast<unsigned long long>(pool.released_bytes >> 10));
}

class CIdleSweep : public CTimerObject {
 public:
  explicit CIdleSweep(CTimerList* list) : _list(list) { AttachTimer(_list); }
  void TimerNotify() override {
    sweep();
    AttachTimer(_list);
  }

 private:
  CTimerList* _list;
};
CIdleSweep* g_sweep = nullptr;

}  // namespace

void start_idle_sweep(CTimerUnit* timers) {
  if (g_sweep == nullptr && timers != nullptr) g_sweep = new CIdleSweep(timers->GetTimerListMs(kSweepMs));
}

void stop_idle_sweep() {
  delete g_sweep;
  g_sweep = nullptr;
}

TTransportSettings& transport_settings() {
  static TTransportSettings settings;
  return settings;
}

const char* transport_name(TTransportKind kind) {
  switch (kind) {
    case TRANSPORT_TCP:
      return "tcp";
    case TRANSPORT_WS:
      return "ws";
    case TRANSPORT_WSS:
      return "wss";
    case TRANSPORT_TLS:
      return "tls";
    default:
      return "unknown";
  }
}

void register_metrics() {
  using hall_metrics::CExposition;
  hall_metrics::CMetricsRegistry::add(
      "hall_tls_handshakes_total", "counter", "TLS handshakes of client connections, by result.", [](CExposition& e) {
        static const char* const kResults[TLS_RESULTS] = {"ok", "failed", "timeout"};
        for (int r = 0; r < TLS_RESULTS; ++r)
          e.sample("hall_tls_handshakes_total", std::string("result=\"") + kResults[r] + "\"",
                   static_cast<unsigned long long>(g_transport_stats.tls_handshakes[r]));
      });
  hall_metrics::CMetricsRegistry::add("hall_ws_closes_total", "counter",
                                      "WebSocket connections ended, by close code (sent, else received, else 1006).",
                                      [](CExposition& e) {
                                        for (const auto& c : g_transport_stats.ws_closes)
                                          e.sample("hall_ws_closes_total", "code=\"" + std::to_string(c.first) + "\"",
                                                   static_cast<unsigned long long>(c.second));
                                      });
}

ssize_t CTcpTransport::read(char* buf, size_t len) {
  const ssize_t n = ::recv(_fd, buf, len, 0);
  _filled = n > 0 && static_cast<size_t>(n) == len;
  return n;
}

ssize_t CTcpTransport::write(const char* buf, size_t len) {
  // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE in whoever embeds us.
  return ::send(_fd, buf, len, MSG_NOSIGNAL);
}

CTransport* new_transport(TTransportKind kind, int fd) {
  CTransport* lower = nullptr;
  if (kind == TRANSPORT_TLS || kind == TRANSPORT_WSS)
    lower = CTlsTransport::Create(fd);
  else
    lower = new (std::nothrow) CTcpTransport(fd);
  if (lower == nullptr || kind == TRANSPORT_TCP || kind == TRANSPORT_TLS) return lower;
  CTransport* ws = new (std::nothrow) CWsTransport(lower);
  if (ws == nullptr) {
    log_error("no memory for the WebSocket transport of fd[%d]", fd);
    delete lower;
  }
  return ws;
}

}  // namespace hall_transport
