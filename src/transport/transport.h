// CTransport: the bytes of one client connection, as the client unit sees them.
//
// Design: the client unit (CClientUnit) frames, checks and relays packets and queues
// answers; it reads and writes the client's byte stream only through a CTransport, as
// nginx's connection calls c->recv/c->send that the SSL module may replace. It never
// learns which transport it has. A transport sits between the socket and the client
// unit and may be stacked: raw socket -> TLS -> WebSocket -> packets. Plain TCP passes
// the bytes through; TLS (tls_transport.h) encrypts them; WebSocket (ws_transport.h)
// carries them in binary messages after its opening handshake. Whatever a transport
// must say on its own (handshake answers, pongs, close frames, TLS records) it writes
// itself and reports through output_pending() so that the connection keeps asking for
// writability. The relay's rules (ids, queues and their bounds, time-outs, metrics)
// stay in the client unit and so hold for every transport alike.
//
// A transport belongs to one client unit, which deletes it; it does not own the
// descriptor. Runs on the loop thread only.
#ifndef HALL_TRANSPORT_TRANSPORT_H
#define HALL_TRANSPORT_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "list.h"
#include "noncopyable.h"

class CTimerUnit;

namespace hall_transport {

// The listening sockets and so the kinds of client connection.
enum TTransportKind { TRANSPORT_TCP, TRANSPORT_WS, TRANSPORT_WSS, TRANSPORT_TLS, TRANSPORT_KINDS };

// "tcp", "ws", "wss", "tls": the label of the kind in the metrics.
const char* transport_name(TTransportKind kind);

class CTransport : private noncopyable {
 public:
  virtual ~CTransport() {}

  // Reads the client's byte stream: the count placed in buf (> 0); 0 once the stream
  // has ended (the peer closed it, or the transport ended it and said so to the peer);
  // -1 with errno EAGAIN when there is nothing yet (a handshake still running counts),
  // -1 with another errno when the connection failed.
  virtual ssize_t read(char* buf, size_t len) = 0;
  // Writes bytes of the stream: the count taken (> 0, possibly fewer than len); -1 with
  // errno EAGAIN when nothing can be taken now (retry on writability with the same
  // bytes first), -1 with another errno when the connection failed.
  virtual ssize_t write(const char* buf, size_t len) = 0;

  // Bytes of the transport's own wait for the socket: the connection keeps output
  // interest while this is true and calls flush() on writability.
  virtual bool output_pending() const { return false; }
  // Writes those bytes as far as the socket takes them. 0, or -1 when the connection has
  // ended (failed, or closed on the transport's own terms).
  virtual int flush() { return 0; }
  // Input already taken from the socket and not yet handed out by read(): the kernel
  // will not report it again, so the connection reads on while this is true.
  virtual bool input_pending() const { return false; }
  // The last read of the socket itself (by whichever layer) took all it asked for: the
  // socket may hold more, which an edge-triggered registration does not report again.
  // A read that came back short found the socket empty; what arrives later is reported.
  // False by default, for a transport that reads no socket.
  virtual bool read_filled() const { return false; }
  // False while an opening handshake runs: the idle timer is then not re-armed, so
  // that the handshake as a whole is bounded by the web time-out.
  virtual bool established() const { return true; }
  // The connection ends: a last word to the peer (a close frame, a TLS close_notify)
  // where the transport has one, without waiting. Called once, before the descriptor
  // closes.
  virtual void goodbye() {}
  // Live upgrade: the transport's state for the process that takes the connection over,
  // in *state; false when it cannot travel now (TLS never can: its keys live in this
  // process). After a true result nothing more is read or written here, and no last word
  // is said. carry_in: the transport made for the handed-over descriptor takes that
  // state; false when it cannot.
  virtual bool carry_out(std::string* state) {
    (void)state;
    return false;
  }
  virtual bool carry_in(const std::string& state) { return state.empty(); }
  // Another process serves the connection now (after carry_out): its end is not counted here.
  virtual void handed_over() {}
};

// The idle sweep: every half second it gives the pages of OpenSSL's free large blocks
// beyond a reserve back to the system (ssl_memory.h), so that a crowd gone idle or a
// handshake storm that ended leaves no memory behind, and after such a return trims the
// heap, at most once every 5 s: a trim walks the whole heap on the loop (about 10 ms for
// the state of 19,000 sessions even with nothing to give back). Nothing is kept per
// player: the transports give their buffers back as soon as they hold nothing.
// Starts the sweep on the loop's timers (once; a second call does nothing), and stops it.
void start_idle_sweep(CTimerUnit* timers);
void stop_idle_sweep();

// What the transports take from the gateway's settings; set once at start-up.
struct TTransportSettings {
  std::string wsPath = "/";            // the one path a WebSocket handshake may name
  std::vector<std::string> wsOrigins;  // allowed Origin values; empty: any
  int64_t handshakeMicros = 10000000;  // a TLS or WebSocket handshake ends within this
  size_t maxMessage = 8000;            // largest WebSocket message taken (the largest packet)
};
TTransportSettings& transport_settings();

// Figures of the transports for the metrics endpoint.
enum TTlsResult { TLS_OK, TLS_FAILED, TLS_TIMEOUT, TLS_RESULTS };
struct transport_stats_s {
  uint64_t tls_handshakes[TLS_RESULTS];
  std::map<int, uint64_t> ws_closes;  // by close code: the one sent, else the one received, else 1006
};
extern transport_stats_s g_transport_stats;
// Adds the families hall_tls_handshakes_total and hall_ws_closes_total to the metrics
// page.
void register_metrics();

// Plain TCP: recv and send on the descriptor.
class CTcpTransport : public CTransport {
 public:
  explicit CTcpTransport(int fd) : _fd(fd) {}
  ssize_t read(char* buf, size_t len) override;
  ssize_t write(const char* buf, size_t len) override;
  bool read_filled() const override { return _filled; }
  bool carry_out(std::string* state) override {
    state->clear();
    return true;
  }

 private:
  int _fd;  // not owned
  bool _filled = false;
};

// The transport stack of a connection accepted on a listener of `kind`; null when it
// cannot be made (no TLS context, no memory), the reason logged.
CTransport* new_transport(TTransportKind kind, int fd);

}  // namespace hall_transport

#endif
