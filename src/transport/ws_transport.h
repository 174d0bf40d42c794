// CWsTransport: WebSocket (RFC 6455) over a lower transport (plain TCP or TLS), server
// side. It reads the opening handshake itself (ws_handshake.h), then lets wslay frame
// the connection: wslay is driven by callbacks and does no I/O of its own, so it reads
// and writes through the lower transport on the gateway's loop. Binary messages carry
// the client's byte stream (a message may hold several packets or part of one) and the
// answers go out as binary messages; text messages close with 1003, unmasked frames
// with 1002, a message larger than TTransportSettings::maxMessage with 1009; pings are
// answered with pongs and a close is answered with a close. When the gateway ends the
// connection first it sends a close frame (1001) without waiting for the answer.
// wslay's context (about 9 KB with its buffers) is held only while it holds part of a
// frame or a frame to send: a read, write or flush after which it holds nothing gives it
// back to a spare that the next connection to read takes (release_if_idle).
//
// wslay_event_* rather than the lower wslay_frame_* API for what the client sends and
// for the control frames: the event layer does the protocol's rules (control frames
// between fragments, the close handshake both ways, the lengths and codes it checks)
// that the frame layer would leave to this file. The answers, unmasked binary frames
// with nothing to check, are framed here (write_frame) without wslay's copy of each
// into its queue.
// Owns its lower transport; owned by the client unit. Runs on the loop thread only.
#ifndef HALL_TRANSPORT_WS_TRANSPORT_H
#define HALL_TRANSPORT_WS_TRANSPORT_H

#include <wslay/wslay.h>

#include <memory>
#include <string>

#include "transport/transport.h"

namespace hall_transport {

struct TWsContext;

class CWsTransport : public CTransport {
 public:
  // Largest answer message: a longer write is taken in parts of this size.
  static constexpr size_t kMaxAnswerMessage = 65535;
  // Most bytes written at once with a held frame header (a TLS record's plaintext).
  static constexpr size_t kMaxJoined = 16384;
  // Raw bytes of a message in progress kept beyond the largest message taken (frame
  // headers, control frames between its fragments) for a live upgrade.
  static constexpr size_t kMaxTailSlack = 4096;

  explicit CWsTransport(CTransport* lower);
  ~CWsTransport() override;

  ssize_t read(char* buf, size_t len) override;
  ssize_t write(const char* buf, size_t len) override;
  bool output_pending() const override;
  int flush() override;
  bool input_pending() const override;
  bool read_filled() const override { return _lower->read_filled(); }
  bool established() const override { return _open; }
  void goodbye() override;
  // The state that travels: "H" and the request head read so far while the opening
  // handshake is under way; once it is over, "O" while the framing holds nothing (the
  // conditions under which the wslay context is given back), else "F" with the raw
  // bytes received since the last message boundary (a frame, or the frames of a
  // fragmented message, read in part) and the raw frame bytes not yet written. The new
  // process feeds the first to a fresh wslay context and writes the second before any
  // frame of its own. Not carried (false): a close sent or received, bytes held after the
  // handshake or stream bytes not yet handed out, or a message in progress whose raw
  // bytes outgrew kMaxTailSlack beyond the largest message.
  bool carry_out(std::string* state) override;
  bool carry_in(const std::string& state) override;
  void handed_over() override { _handed = true; }

  // wslay's callbacks (user data: this transport).
  ssize_t pull(uint8_t* buf, size_t len);
  ssize_t push(const uint8_t* data, size_t len, int flags);
  void message(const wslay_event_on_msg_recv_arg* arg);
  void frame_start(const wslay_event_on_frame_recv_start_arg* arg);
  void frame_end();

 private:
  // Reads the opening handshake: 1 once accepted (wslay set up), 0 when it was refused
  // or the peer left (the connection ends), -1 with errno otherwise (EAGAIN: more to come).
  int read_head();
  // Takes the spare wslay context, or makes one, when the connection has none (see
  // release_if_idle). 0, or -1 (no memory, the connection has failed).
  int make_context();
  // Gives wslay's context back while it holds nothing: true when there is none now.
  bool release_if_idle();
  // Writes an answer of n bytes as one binary frame: n, or -1 when the lower failed.
  ssize_t write_frame(const char* buf, size_t n);
  // Live upgrade: wslay's frames not yet written join _out; false when the framing
  // cannot travel now.
  bool capture_frames();
  // Writes the handshake answer, then wslay's frames. 0, or -1 when the lower failed.
  int pump_out();
  // The close handshake is over or the connection failed: nothing more to read or send.
  bool finished() const;
  // The stream is over: finished, or the lower stream ended.
  bool ended() const;
  // Reports the end (read's 0).
  ssize_t end();
  // Hands out held stream bytes.
  ssize_t take(char* buf, size_t len);
  // wslay_event_recv, then keep_tail: keeps in _tail the raw bytes since the last
  // message boundary (none when the read ended on one).
  int recv_frames();
  void keep_tail();

  std::unique_ptr<CTransport> _lower;
  bool _open = false;                      // the handshake was accepted
  TWsContext* _wc = nullptr;               // the context this connection holds, if any
  wslay_event_context_ptr _ctx = nullptr;  // its wslay context (null with _wc)
  uint64_t _given = 0;                     // bytes handed to the context
  uint64_t _framed = 0;                    // bytes of the whole frames it received
  uint64_t _frame_bytes = 0;               // of the frame being received
  bool _in_frame = false;                  // a frame has begun and not ended
  bool _in_message = false;                // a data message has begun and not ended
  uint64_t _boundary = 0;                  // bytes given up to the last message boundary
  std::string _tail;                       // raw bytes given since _tail_from
  uint64_t _tail_from = 0;
  bool _tail_lost = false;  // _tail outgrew its bound: the connection cannot travel
  bool _capture = false;    // push() keeps wslay's bytes in _out (handing over)
  std::string _head;        // the request head read so far
  std::string _pre;         // bytes after the head, read before wslay
  size_t _pre_off = 0;
  std::string _out;  // handshake answer not yet written
  std::string _in;   // stream bytes of binary messages not yet handed out
  size_t _in_off = 0;
  size_t _pull_cap = 0;       // pull() stops once _in holds this much
  bool _kernel_ok = false;    // pull() may read the socket, not only what layers hold
  bool _refused = false;      // the handshake was refused with an HTTP status
  bool _lower_ended = false;  // the lower stream ended
  bool _failed = false;
  bool _end_reported = false;  // read() has returned 0
  uint64_t _pushed = 0;        // bytes the lower transport took from wslay
  char _hold[14];              // a frame header held to go out with its payload
  size_t _hold_len = 0;
  bool _handed = false;  // handed to another process: its close is not this process's
};

}  // namespace hall_transport

#endif
