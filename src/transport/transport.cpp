#include "transport/transport.h"

#include <errno.h>
#include <sys/socket.h>

#include <new>

#include "log.h"
#include "metrics/registry.h"
#include "transport/tls_transport.h"
#include "transport/ws_transport.h"

namespace hall_transport {

transport_stats_s g_transport_stats;

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
