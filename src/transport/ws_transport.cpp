#include "transport/ws_transport.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "log.h"
#include "transport/ws_handshake.h"

namespace hall_transport {

// wslay's context and the transport it works for now: the context's user data, which
// wslay fixes when the context is made, while the context passes from one connection to
// another (see make_context).
struct TWsContext {
  wslay_event_context_ptr ctx;
  CWsTransport* owner;
};

namespace {

CWsTransport* owner(void* user) { return static_cast<TWsContext*>(user)->owner; }
ssize_t recv_cb(wslay_event_context_ptr, uint8_t* buf, size_t len, int, void* user) {
  return owner(user)->pull(buf, len);
}
ssize_t send_cb(wslay_event_context_ptr, const uint8_t* data, size_t len, int flags, void* user) {
  return owner(user)->push(data, len, flags);
}
void msg_cb(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg* arg, void* user) { owner(user)->message(arg); }
void start_cb(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg, void* user) {
  owner(user)->frame_start(arg);
}
void end_cb(wslay_event_context_ptr, void* user) { owner(user)->frame_end(); }

// The context no connection holds: lent to the next one that reads. One is enough on a
// single-threaded loop; a connection keeps one of its own only while it holds part of a
// frame or a frame to send.
TWsContext* g_spare = nullptr;

void free_context(TWsContext* wc) {
  wslay_event_context_free(wc->ctx);
  delete wc;
}

// The raw bytes given to wslay in the read under way, of whichever connection reads: the
// loop is single-threaded and each read ends with keep_tail. One buffer for all, so that a
// read ending on a message boundary, as nearly all do, costs no allocation.
std::string g_seen;

}  // namespace

CWsTransport::CWsTransport(CTransport* lower) : _lower(lower) {}

CWsTransport::~CWsTransport() {
  if (!_open || _handed) {
    if (_wc != nullptr) free_context(_wc);
    return;
  }
  // One count per opened connection: the code it ended with. A context given back
  // while idle had neither sent nor received a close.
  int code = WSLAY_CODE_ABNORMAL_CLOSURE;
  if (_ctx != nullptr && wslay_event_get_close_sent(_ctx))
    code = wslay_event_get_status_code_sent(_ctx);
  else if (_ctx != nullptr && wslay_event_get_close_received(_ctx))
    code = wslay_event_get_status_code_received(_ctx);
  ++g_transport_stats.ws_closes[code];
  if (_wc != nullptr) free_context(_wc);
}

int CWsTransport::make_context() {
  if (_ctx != nullptr) return 0;
  if (g_spare != nullptr) {
    _wc = g_spare;
    g_spare = nullptr;
  } else {
    wslay_event_callbacks callbacks = {recv_cb, send_cb, nullptr, start_cb, nullptr, end_cb, msg_cb};
    _wc = new (std::nothrow) TWsContext();
    if (_wc == nullptr || wslay_event_context_server_init(&_wc->ctx, &callbacks, _wc) != 0) {
      log_error("no memory for a WebSocket context");
      delete _wc;
      _wc = nullptr;
      _failed = true;
      errno = ENOMEM;
      return -1;
    }
    wslay_event_config_set_max_recv_msg_length(_wc->ctx, transport_settings().maxMessage);
  }
  _wc->owner = this;
  _ctx = _wc->ctx;
  _given = _framed = _boundary = _tail_from = 0;
  _in_frame = _in_message = _tail_lost = false;
  _tail.clear();
  return 0;
}

void CWsTransport::frame_start(const wslay_event_on_frame_recv_start_arg* arg) {
  // A client frame's header: 2 bytes, the extended length, the 4-byte mask. The length
  // takes its shortest form: wslay refuses a frame whose length takes a longer one, so
  // the count is exact (the hand-over cuts the raw stream at it).
  const uint64_t len = arg->payload_length;
  _frame_bytes = 2 + (len < 126 ? 0 : len < 65536 ? 2 : 8) + 4 + len;
  _in_frame = true;
  if (arg->opcode < 8) _in_message = arg->fin == 0;
}

void CWsTransport::frame_end() {
  _in_frame = false;
  _framed += _frame_bytes;
  // Control frames between the fragments of a message leave the boundary at its start.
  if (!_in_message) _boundary = _framed;
}

int CWsTransport::recv_frames() {
  g_seen.clear();
  const int r = wslay_event_recv(_ctx);
  keep_tail();
  return r;
}

void CWsTransport::keep_tail() {
  if (_boundary >= _given) {
    if (_tail.capacity() > 4096)
      std::string().swap(_tail);
    else
      _tail.clear();
    _tail_from = _given;
    _tail_lost = false;
  } else if (!_tail_lost) {
    // _tail holds [_tail_from, the read's start), g_seen the read's bytes up to _given.
    const uint64_t read_from = _given - g_seen.size();
    if (_boundary >= read_from) {
      _tail.assign(g_seen, static_cast<size_t>(_boundary - read_from), std::string::npos);
    } else {
      _tail.erase(0, static_cast<size_t>(_boundary - _tail_from));
      _tail.append(g_seen);
    }
    _tail_from = _boundary;
    // wslay refuses a message longer than maxMessage; only many empty fragments or control
    // frames between them can make this much, and such a connection does not travel.
    if (_tail.size() > transport_settings().maxMessage + kMaxTailSlack) {
      _tail_lost = true;
      std::string().swap(_tail);
    }
  }
  if (g_seen.capacity() > 65536) std::string().swap(g_seen);
}

bool CWsTransport::release_if_idle() {
  // wslay's context holds its own input and output buffers, about 9 KB: more than the
  // rest of an idle player. It is given back at the end of every read, write or flush
  // after which it holds nothing: no frame or message begun, every byte given to it part
  // of a whole frame, nothing to send, no close. wslay does not say when it holds
  // nothing; the frame callbacks and the bytes handed to it do. It is then in the state of
  // a fresh context (its frame reader waits for a header, its queues are empty, reading
  // and writing are on), so it goes to the spare for the next connection that reads:
  // made and freed around every message instead, it cost an allocation and a 9 KB clear
  // per message, and freed between the sessions' state in the heap, the holes that such
  // short-lived blocks leave behind.
  if (_ctx == nullptr) return true;
  if (_in_frame || _in_message || _given != _framed || _pre_off < _pre.size() || _hold_len > 0 ||
      wslay_event_want_write(_ctx) || !wslay_event_get_read_enabled(_ctx) || !wslay_event_get_write_enabled(_ctx) ||
      wslay_event_get_close_sent(_ctx) || wslay_event_get_close_received(_ctx))
    return false;
  if (g_spare == nullptr) {
    _wc->owner = nullptr;
    g_spare = _wc;
  } else {
    free_context(_wc);
  }
  _wc = nullptr;
  _ctx = nullptr;
  std::string().swap(_tail);
  return true;
}

ssize_t CWsTransport::take(char* buf, size_t len) {
  const size_t n = std::min(len, _in.size() - _in_off);
  memcpy(buf, _in.data() + _in_off, n);
  _in_off += n;
  if (_in_off == _in.size()) {
    // An idle player keeps no buffer a burst made large.
    if (_in.capacity() > 4096)
      std::string().swap(_in);
    else
      _in.clear();
    _in_off = 0;
  }
  return static_cast<ssize_t>(n);
}

ssize_t CWsTransport::read(char* buf, size_t len) {
  if (_failed) {
    errno = ECONNRESET;
    return -1;
  }
  if (!_open) {
    if (_refused) return 0;
    const int r = read_head();
    if (r <= 0) return r;
  }
  if (_in_off < _in.size()) return take(buf, len);
  if (ended()) return end();
  if (make_context() < 0) return -1;
  // A read that starts with bytes held by a layer (after the handshake, or a TLS record
  // read in part) works those off without touching the socket: the kernel reports its
  // own bytes again, the held ones would be lost. Either way at most about `len` bytes
  // are gathered for the caller.
  _kernel_ok = !(_pre_off < _pre.size() || _lower->input_pending());
  _pull_cap = len;
  if (recv_frames() != 0 && !_lower_ended) _failed = true;
  if (!_failed && pump_out() < 0) _failed = true;
  if (!_failed) release_if_idle();
  if (_in_off < _in.size()) return take(buf, len);
  if (_failed) {
    errno = ECONNRESET;
    return -1;
  }
  if (ended()) return end();
  errno = EAGAIN;
  return -1;
}

int CWsTransport::read_head() {
  const TTransportSettings& settings = transport_settings();
  char chunk[kMaxWsHead];
  // Each pass adds at least a byte to a head bounded by kMaxWsHead.
  for (;;) {
    const ssize_t n = _lower->read(chunk, kMaxWsHead - _head.size());
    if (n == 0) return 0;
    if (n < 0) return -1;
    _head.append(chunk, static_cast<size_t>(n));
    TWsHead head;
    const int r = read_ws_head(_head.data(), _head.size(), settings.wsPath, settings.wsOrigins, &head);
    if (r == 0) continue;
    if (r < 0) {
      log_warning("WebSocket handshake refused with %d", head.status);
      _refused = true;
      _out = ws_refusal(head.status);
      pump_out();
      return 0;
    }
    if (make_context() < 0) return -1;
    _open = true;
    _pre = _head.substr(head.length);
    _pre_off = 0;
    std::string().swap(_head);
    _out = ws_accept_answer(head.key);
    if (pump_out() < 0) {
      _failed = true;
      errno = ECONNRESET;
      return -1;
    }
    return 1;
  }
}

ssize_t CWsTransport::pull(uint8_t* buf, size_t len) {
  if (_pre_off < _pre.size()) {
    const size_t n = std::min(len, _pre.size() - _pre_off);
    memcpy(buf, _pre.data() + _pre_off, n);
    if (!_tail_lost) g_seen.append(_pre.data() + _pre_off, n);
    _pre_off += n;
    _given += n;
    if (_pre_off == _pre.size()) std::string().swap(_pre), _pre_off = 0;
    return static_cast<ssize_t>(n);
  }
  const bool held = _lower->input_pending();
  if (_in.size() - _in_off >= _pull_cap || (!_kernel_ok && !held)) {
    wslay_event_set_error(_ctx, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  const ssize_t n = _lower->read(reinterpret_cast<char*>(buf), len);
  if (n > 0) {
    // wslay would read on until the socket says EAGAIN: one failing call per message.
    // A read of the socket that came back short found it empty; what arrives later the
    // poller reports. Bytes a layer holds are not reported and are worked off here.
    if (!held && static_cast<size_t>(n) < len) _kernel_ok = false;
    // Seen until the read ends (keep_tail): a live upgrade may need the bytes of a frame
    // begun and not ended, which wslay keeps where they cannot be read back.
    if (!_tail_lost) g_seen.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    _given += static_cast<uint64_t>(n);
    return n;
  }
  if (n < 0 && errno == EAGAIN) {
    wslay_event_set_error(_ctx, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  if (n == 0) _lower_ended = true;
  wslay_event_set_error(_ctx, WSLAY_ERR_CALLBACK_FAILURE);
  return -1;
}

ssize_t CWsTransport::push(const uint8_t* data, size_t len, int flags) {
  if (_capture) {
    // Handing over: the rest of wslay's frames goes to the new process as raw bytes.
    _out.append(_hold, _hold_len);
    _hold_len = 0;
    _out.append(reinterpret_cast<const char*>(data), len);
    return static_cast<ssize_t>(len);
  }
  // wslay hands a frame's header and its payload over in two calls: written apart they
  // would cost two sends per message (over TLS two records). A header marked as having
  // more to come is held and goes out in one write with the payload behind it.
  if ((flags & WSLAY_MSG_MORE) != 0 && _hold_len == 0 && len <= sizeof(_hold)) {
    memcpy(_hold, data, len);
    _hold_len = len;
    return static_cast<ssize_t>(len);
  }
  const char* out = reinterpret_cast<const char*>(data);
  size_t out_len = len;
  if (_hold_len > 0) {
    // One scratch buffer for every connection: the loop is single-threaded and the
    // bytes are written (or left to wslay's retry) before it is used again. At most a
    // TLS record's worth is joined; wslay offers the rest of a long payload again.
    static std::string joined;
    joined.assign(_hold, _hold_len);
    joined.append(out, std::min(len, kMaxJoined - _hold_len));
    out = joined.data();
    out_len = joined.size();
  }
  const ssize_t n = _lower->write(out, out_len);
  if (n > 0) {
    _pushed += static_cast<uint64_t>(n);
    const size_t from_hold = std::min(static_cast<size_t>(n), _hold_len);
    if (from_hold > 0) {
      memmove(_hold, _hold + from_hold, _hold_len - from_hold);
      _hold_len -= from_hold;
    }
    // Only the header's bytes went: wslay offers the payload again.
    if (static_cast<size_t>(n) > from_hold) return n - static_cast<ssize_t>(from_hold);
    errno = EAGAIN;
  }
  wslay_event_set_error(_ctx, n < 0 && errno != EAGAIN ? WSLAY_ERR_CALLBACK_FAILURE : WSLAY_ERR_WOULDBLOCK);
  return -1;
}

void CWsTransport::message(const wslay_event_on_msg_recv_arg* arg) {
  if (arg->opcode == WSLAY_BINARY_FRAME) {
    _in.append(reinterpret_cast<const char*>(arg->msg), arg->msg_length);
  } else if (arg->opcode == WSLAY_TEXT_FRAME) {
    // The packet stream is binary: a text message is data of the wrong type.
    wslay_event_queue_close(_ctx, WSLAY_CODE_UNSUPPORTED_DATA, nullptr, 0);
    wslay_event_shutdown_read(_ctx);
  }
}

int CWsTransport::pump_out() {
  while (!_out.empty()) {
    const ssize_t n = _lower->write(_out.data(), _out.size());
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    _out.erase(0, static_cast<size_t>(n));
  }
  if (_out.empty()) std::string().swap(_out);
  if (_ctx != nullptr && wslay_event_want_write(_ctx) && wslay_event_send(_ctx) != 0) return -1;
  return 0;
}

bool CWsTransport::ended() const { return _lower_ended || finished(); }

ssize_t CWsTransport::end() {
  _end_reported = true;
  return 0;
}

bool CWsTransport::finished() const {
  return _ctx != nullptr && !wslay_event_get_read_enabled(_ctx) &&
         (wslay_event_get_close_sent(_ctx) || !wslay_event_get_write_enabled(_ctx));
}

ssize_t CWsTransport::write(const char* buf, size_t len) {
  if (_failed || _refused || (_ctx != nullptr && finished())) {
    errno = EPIPE;
    return -1;
  }
  // Raw bytes waiting (a handshake answer, the rest of a frame, frames handed over) go
  // out first.
  if (!_out.empty() && pump_out() < 0) {
    _failed = true;
    errno = EPIPE;
    return -1;
  }
  if (!_open || !_out.empty()) {
    errno = EAGAIN;
    return -1;
  }
  if (_ctx != nullptr) {
    // wslay's own frames (a pong, a close) go out whole before an answer.
    if (wslay_event_want_write(_ctx)) {
      const uint64_t before = _pushed;
      if (wslay_event_send(_ctx) != 0) {
        _failed = true;
        errno = EPIPE;
        return -1;
      }
      // A frame still on its way takes none of these bytes; progress on it is no
      // blocked write (0), a socket that took nothing is (EAGAIN).
      if (wslay_event_want_write(_ctx)) {
        if (_pushed != before) return 0;
        errno = EAGAIN;
        return -1;
      }
    }
    // No data frame follows a close.
    if (wslay_event_get_close_sent(_ctx) || !wslay_event_get_write_enabled(_ctx)) {
      errno = EPIPE;
      return -1;
    }
    release_if_idle();
  }
  return write_frame(buf, std::min(len, kMaxAnswerMessage));
}

ssize_t CWsTransport::write_frame(const char* buf, size_t n) {
  // An answer is one unmasked binary frame (RFC 6455 5.2: FIN and opcode 2, the length
  // in 7 bits or in 16 after 126), made here in one buffer with its header and written
  // in one call. wslay's event API would copy each answer into its queue (two
  // allocations, a copy and a free of each per answer) and hand the header and the
  // payload over apart; its frame API would keep a frame cut short in a context of its
  // own. The frame is taken whole: what the socket does not take now waits in _out,
  // ahead of anything else, and goes out unchanged (a TLS write retried with the same
  // bytes), so the connection's own queue (and its bound) keeps the rest of the answers.
  static_assert(kMaxAnswerMessage < 65536, "an answer's length fits in 16 bits");
  static std::string frame;  // one for every connection: the loop is single-threaded
  frame.assign(1, static_cast<char>(0x82));
  if (n < 126) {
    frame += static_cast<char>(n);
  } else {
    frame += static_cast<char>(126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  }
  frame.append(buf, n);
  ssize_t w = _lower->write(frame.data(), frame.size());
  if (w < 0 && errno != EAGAIN) {
    _failed = true;
    errno = EPIPE;
    return -1;
  }
  if (w < 0) w = 0;
  _pushed += static_cast<uint64_t>(w);
  if (static_cast<size_t>(w) < frame.size()) _out.assign(frame, static_cast<size_t>(w), std::string::npos);
  if (frame.capacity() > 2 * kMaxJoined) std::string().swap(frame);
  return static_cast<ssize_t>(n);
}

bool CWsTransport::output_pending() const {
  if (_failed) return false;
  return !_out.empty() || (_ctx != nullptr && wslay_event_want_write(_ctx)) || _lower->output_pending();
}

int CWsTransport::flush() {
  if (_failed || _lower->flush() < 0 || pump_out() < 0) {
    _failed = true;
    return -1;
  }
  if (_refused && _out.empty()) return -1;
  if (finished()) return -1;
  release_if_idle();
  return 0;
}

bool CWsTransport::input_pending() const {
  if (_failed) return false;
  // The end of the stream is news too: a close that came behind data is reported by the
  // read after the one that handed out the data, and the kernel will not prompt it.
  return _in_off < _in.size() || (_open && _pre_off < _pre.size()) || _lower->input_pending() ||
         (_open && !_end_reported && ended());
}

bool CWsTransport::carry_out(std::string* state) {
  if (_failed || _refused || (!_open && !_out.empty()) || _lower->output_pending() || _lower->input_pending())
    return false;
  std::string lower;
  if (!_lower->carry_out(&lower) || !lower.empty()) return false;
  if (!_open) {
    *state = "H" + _head;
    return true;
  }
  release_if_idle();
  if (_in_off < _in.size() || _pre_off < _pre.size()) return false;
  if (_ctx == nullptr && _out.empty()) {
    *state = "O";
    return true;
  }
  if (_ctx != nullptr && !capture_frames()) return false;
  const uint32_t tail = static_cast<uint32_t>(_tail.size());
  state->assign("F");
  state->append(reinterpret_cast<const char*>(&tail), sizeof(tail));
  state->append(_tail);
  state->append(_out);
  return true;
}

bool CWsTransport::capture_frames() {
  if (_tail_lost || wslay_event_get_close_sent(_ctx) || wslay_event_get_close_received(_ctx) ||
      !wslay_event_get_read_enabled(_ctx) || !wslay_event_get_write_enabled(_ctx))
    return false;
  // wslay's frames not yet written (a frame cut short by the socket, a pong) are taken
  // whole into _out, behind a header held back.
  _capture = true;
  const bool sent = !wslay_event_want_write(_ctx) || wslay_event_send(_ctx) == 0;
  _capture = false;
  _out.append(_hold, _hold_len);
  _hold_len = 0;
  return sent;
}

bool CWsTransport::carry_in(const std::string& state) {
  if (state.empty()) return false;
  if (state[0] == 'H') {
    _head = state.substr(1);
    return true;
  }
  uint32_t tail = 0;
  if (state[0] == 'F' && state.size() >= 1 + sizeof(tail)) {
    memcpy(&tail, state.data() + 1, sizeof(tail));
    if (tail > state.size() - 1 - sizeof(tail)) return false;
    _open = true;
    // The frame bytes not yet written go out before any new frame.
    _out = state.substr(1 + sizeof(tail) + tail);
    // The bytes of the message in progress go to a fresh context now, without a read of
    // the socket: it stands where the old one stood, and can travel again.
    _pre = state.substr(1 + sizeof(tail), tail);
    _pre_off = 0;
    if (_pre.empty()) return true;
    if (make_context() < 0) return false;
    _kernel_ok = false;
    _pull_cap = transport_settings().maxMessage;
    const int r = recv_frames();
    // A message they complete would wait for the socket's next bytes: not a state sent.
    return r == 0 && _in_off == _in.size() && _pre_off == _pre.size();
  }
  if (state != "O") return false;
  // The context is made with the next bytes in either direction, as after an idle spell.
  _open = true;
  return true;
}

void CWsTransport::goodbye() {
  if (_open && !_failed && make_context() == 0 && wslay_event_get_write_enabled(_ctx) &&
      !wslay_event_get_close_sent(_ctx) && wslay_event_queue_close(_ctx, WSLAY_CODE_GOING_AWAY, nullptr, 0) == 0)
    pump_out();
  if (!_failed) _lower->goodbye();
}

}  // namespace hall_transport
