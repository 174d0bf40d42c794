// The opening handshake of a WebSocket connection (RFC 6455, section 4.2), server side:
// the reader of the client's request head and the answers to it. Pure functions, no
// state; used by CWsTransport and by the fuzz target of the reader.
#ifndef HALL_TRANSPORT_WS_HANDSHAKE_H
#define HALL_TRANSPORT_WS_HANDSHAKE_H

#include <stddef.h>

#include <string>
#include <vector>

namespace hall_transport {

// Longest request head taken, the blank line included.
const size_t kMaxWsHead = 4096;

struct TWsHead {
  size_t length = 0;  // bytes of the head, the blank line included
  int status = 0;     // the HTTP error status when the request is refused
  std::string key;    // Sec-WebSocket-Key
};

// Reads the request head at the start of data[0, len). 1 when it is a WebSocket opening
// handshake for `path` from an allowed origin (`origins` empty: any): head->length and
// head->key are set. 0 when the head is not complete yet and may still fit. -1 when the
// request is refused: head->status is 400, 403, 404, 405, 426 or 431.
int read_ws_head(const char* data, size_t len, const std::string& path, const std::vector<std::string>& origins,
                 TWsHead* head);

// The 101 answer that accepts the handshake of `key`.
std::string ws_accept_answer(const std::string& key);
// The answer refusing a request with `status`; the connection closes after it.
std::string ws_refusal(int status);

}  // namespace hall_transport

#endif
