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

// The members touched in period p are on kept_lists()[p & 1]. Never destroyed: a
// transport that outlives the statics at exit still leaves its list safely.
CListObject<CKeptWhileActive>* kept_lists() {
  static CListObject<CKeptWhileActive>* lists = new CListObject<CKeptWhileActive>[2];
  return lists;
}

class CIdleSweep : public CTimerObject {
 public:
  explicit CIdleSweep(CTimerList* list) : _list(list) { AttachTimer(_list); }
  void TimerNotify() override {
    CKeptWhileActive::sweep();
    AttachTimer(_list);
  }

 private:
  CTimerList* _list;
};
CIdleSweep* g_sweep = nullptr;

}  // namespace

uint32_t CKeptWhileActive::s_period = 1;

void CKeptWhileActive::rejoin() {
  _period = s_period;
  ListMoveTail(kept_lists()[s_period & 1]);
}

void CKeptWhileActive::sweep() {
  // The list of the period before the current one: touched then, not since.
  CListObject<CKeptWhileActive>& idle = kept_lists()[(s_period + 1) & 1];
  int idle_count = 0, given = 0;
  while (!idle.ListEmpty()) {
    CKeptWhileActive* member = idle.NextOwner();
    member->ResetList();
    ++idle_count;
    if (member->give_back()) ++given;
  }
  ++s_period;
  // The buffers given back lie between the sessions' long-lived state in the heap, where
  // free() leaves their pages resident: after many, those pages go back to the system
  // (glibc's malloc_trim releases whole free pages anywhere in the heap; the pool of
  // OpenSSL's large blocks, ssl_memory.h, its free blocks beyond a reserve). The players
  // that become active again take them back as they need them. A trim walks the whole
  // heap on the loop (about 10 ms for the state of 19,000 sessions even with nothing to
  // give back), so it comes at most once every kTrimEveryUs, however many go idle. Those
  // given back in between count toward the next one: the last players of a storm, idle
  // within kTrimEveryUs of a trim, get theirs returned too.
  static int64_t last_trim = 0;
  static int pending = 0;  // transports given back since the last return
  pending += given;
  if (idle_count > 0) log_debug("idle sweep: %d of %d transports gave back their buffers", given, idle_count);
  if (pending < kTrimAfter) return;
  const int64_t start = GET_TIMESTAMP();
  if (start - last_trim < kTrimEveryUs) return;
  malloc_trim(0);
  release_ssl_memory();
  last_trim = start;
  const TSslMemoryStats pool = ssl_memory_stats();
  static uint64_t misses = 0;
  if (pool.range_misses > misses)
    log_error(
        "%llu requests of OpenSSL for large blocks went to malloc: the range of its blocks is full or could not "
        "be reserved",
        static_cast<unsigned long long>(pool.range_misses - misses));
  misses = pool.range_misses;
  log_debug(
      "idle sweep: the pages of %d transports' buffers returned in %lld us; OpenSSL's blocks: %llu KB used, %llu KB "
      "free, %llu KB returned",
      pending, static_cast<long long>(GET_TIMESTAMP() - start), static_cast<unsigned long long>(pool.used_bytes >> 10),
      static_cast<unsigned long long>(pool.free_bytes >> 10),
      static_cast<unsigned long long>(pool.released_bytes >> 10));
  pending = 0;
}

void start_idle_sweep(CTimerUnit* timers) {
  if (g_sweep == nullptr && timers != nullptr)
    g_sweep = new CIdleSweep(timers->GetTimerListMs(CKeptWhileActive::kSweepMs));
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
