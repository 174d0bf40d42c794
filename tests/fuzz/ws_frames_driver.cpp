// The WebSocket frame reader (wslay under CWsTransport) over arbitrary client bytes,
// after an accepted handshake, with the socket played by a memory transport that takes
// the input read by read. Checks: the stream handed out is never longer than what came
// in, the gateway writes the 101 answer before anything else and then only unmasked
// server frames of the kinds it sends, and a connection that has ended hands out nothing
// more.
#include <errno.h>
#include <string.h>

#include <string>

#include "fuzz_driver.h"
#include "transport/ws_transport.h"

namespace hallfuzz {

namespace {

using hall_transport::CTransport;

// The socket: reads return what the driver put in, then EAGAIN; writes take at most
// `room` bytes each (a full socket buffer is 0: EAGAIN).
class CMemTransport : public CTransport {
 public:
  std::string in;
  bool ended = false;
  std::string out;
  size_t room = 1 << 20;

  ssize_t read(char* buf, size_t len) override {
    if (in.empty()) {
      if (ended) return 0;
      errno = EAGAIN;
      return -1;
    }
    const size_t n = std::min(len, in.size());
    memcpy(buf, in.data(), n);
    in.erase(0, n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* buf, size_t len) override {
    const size_t n = std::min(len, room);
    if (n == 0) {
      errno = EAGAIN;
      return -1;
    }
    out.append(buf, n);
    return static_cast<ssize_t>(n);
  }
};

// Cuts whole server frames off the front of `out`, checking each.
void check_frames(std::string* out) {
  for (;;) {
    if (out->size() < 2) return;
    const uint8_t b0 = static_cast<uint8_t>((*out)[0]), b1 = static_cast<uint8_t>((*out)[1]);
    FUZZ_CHECK((b1 & 0x80) == 0, "a masked server frame");
    FUZZ_CHECK((b0 & 0x70) == 0, "reserved bits set");
    const int op = b0 & 0x0f;
    FUZZ_CHECK(op == 2 || op == 8 || op == 10, "server frame of opcode %d", op);
    size_t len = b1 & 0x7f, at = 2;
    if (len == 126) {
      if (out->size() < 4) return;
      len = (static_cast<uint8_t>((*out)[2]) << 8) | static_cast<uint8_t>((*out)[3]);
      at = 4;
    } else if (len == 127) {
      if (out->size() < 10) return;
      len = 0;
      for (int i = 2; i < 10; ++i) len = (len << 8) | static_cast<uint8_t>((*out)[i]);
      at = 10;
    }
    FUZZ_CHECK(len <= (1u << 17), "server frame of %zu bytes", len);
    if (out->size() < at + len) return;
    out->erase(0, at + len);
  }
}

}  // namespace

int ws_frames_one(const uint8_t* data, size_t size) {
  CMemTransport* lower = new CMemTransport;
  hall_transport::CWsTransport ws(lower);
  hall_transport::transport_settings().wsPath = "/";
  lower->in =
      "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  size_t taken = 0, handed = 0;
  bool ended = false;
  char buf[3000];
  std::string frames;
  ReadSplitter reads(data, size);
  const uint8_t* chunk = nullptr;
  size_t len = 0;
  for (bool more = true; more;) {
    more = reads.next(&chunk, &len);
    if (more && len == 0) lower->ended = true;
    if (more) lower->in.append(reinterpret_cast<const char*>(chunk), len), taken += len;
    // A chunk's first byte sets how much the socket takes per write (0: it is full).
    lower->room = more && len > 0 ? chunk[0] % 64 * 8 : 1 << 20;
    for (int pass = 0; pass < 64; ++pass) {
      const ssize_t n = ws.read(buf, sizeof(buf));
      if (n > 0) {
        FUZZ_CHECK(!ended, "%zd bytes after the end", n);
        handed += static_cast<size_t>(n);
        // An answer for each read, as the relay writes them.
        ws.write(buf, static_cast<size_t>(n) < 200 ? static_cast<size_t>(n) : 200);
        continue;
      }
      if (n == 0) ended = true;
      if (!ws.input_pending()) break;
    }
    if (ws.output_pending()) ws.flush();
    FUZZ_CHECK(handed <= taken, "handed out %zu bytes of %zu", handed, taken);
    frames += lower->out;
    lower->out.clear();
  }
  ws.goodbye();
  frames += lower->out;
  // A connection that failed before its socket took anything has written nothing.
  if (frames.empty()) return 0;
  const size_t head_end = frames.find("\r\n\r\n");
  FUZZ_CHECK(frames.compare(0, 12, "HTTP/1.1 101") == 0 && head_end != std::string::npos, "no 101 answer first");
  frames.erase(0, head_end + 4);
  check_frames(&frames);
  return 0;
}

}  // namespace hallfuzz
