// The WebSocket handshake reader over arbitrary bytes: a head that may still fit waits
// for more, a refusal names one of the statuses the reader gives, an accepted head is a
// GET of the configured path with a well-formed key, and the first decided prefix of the
// bytes decides as the whole input does.
#include <string.h>

#include <memory>

#include "fuzz_driver.h"
#include "transport/ws_handshake.h"

namespace hallfuzz {

namespace {

using hall_transport::kMaxWsHead;
using hall_transport::TWsHead;

// The reader on a copy of exactly `len` bytes, so that a read past them is caught. The
// first input byte picks whether an origin list applies.
int read_exact(const uint8_t* data, size_t len, bool origins, TWsHead* head) {
  static const std::vector<std::string> none, some = {"https://a.example", "http://127.0.0.1:8080"};
  std::unique_ptr<char[]> copy(new char[len == 0 ? 1 : len]);
  if (len > 0) memcpy(copy.get(), data, len);
  return hall_transport::read_ws_head(copy.get(), len, "/play", origins ? some : none, head);
}

}  // namespace

int ws_head_one(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool origins = (data[0] & 1) != 0;
  ++data, --size;
  TWsHead head;
  const int whole = read_exact(data, size, origins, &head);
  FUZZ_CHECK(whole != 0 || size < kMaxWsHead, "waits with %zu bytes", size);
  if (whole < 0) {
    const int s = head.status;
    FUZZ_CHECK(s == 400 || s == 403 || s == 404 || s == 405 || s == 426 || s == 431, "status %d", s);
    FUZZ_CHECK(hall_transport::ws_refusal(s).find("\r\n\r\n") != std::string::npos, "refusal without its end");
  }
  if (whole == 1) {
    FUZZ_CHECK(head.length <= size && head.length <= kMaxWsHead, "head of %zu bytes in %zu", head.length, size);
    FUZZ_CHECK(memcmp(data, "GET /play", 9) == 0, "accepted a request that is no GET /play");
    FUZZ_CHECK(head.key.size() == 24, "key of %zu characters", head.key.size());
    FUZZ_CHECK(hall_transport::ws_accept_answer(head.key).size() == 129, "accept answer of another size");
  }
  for (size_t k = 0; k < size; k += k < 512 ? 1 : 64) {
    TWsHead part;
    if (read_exact(data, k, origins, &part) == 0) continue;
    FUZZ_CHECK(read_exact(data, k, origins, &part) == whole, "%zu bytes decided otherwise than all %zu", k, size);
    break;
  }
  return 0;
}

}  // namespace hallfuzz
