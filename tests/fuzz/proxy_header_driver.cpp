// The PROXY header reader over one stream. Input: one byte choosing the size of the
// pieces (its value % 16, plus 1), then the stream. The stream is fed whole and in those
// pieces: both must end alike (status, bytes taken, address), the reader never takes a
// byte past the header, and a version 1 line never takes more than 107 bytes.
#include <string.h>

#include "admission/proxy_header.h"
#include "fuzz_driver.h"

namespace hallfuzz {

namespace {

using hall_admission::CProxyHeaderReader;

struct Outcome {
  CProxyHeaderReader::Status status;
  size_t taken;
  CProxyHeaderReader::Source source;
  uint32_t addr;
};

Outcome run(const uint8_t* data, size_t size, size_t piece) {
  CProxyHeaderReader r;
  size_t at = 0;
  while (at < size && r.status() == CProxyHeaderReader::NEED_MORE) {
    const size_t n = size - at < piece ? size - at : piece;
    size_t used = 0;
    const CProxyHeaderReader::Status st = r.feed(data + at, n, &used);
    FUZZ_CHECK(used <= n, "took %zu of %zu bytes", used, n);
    FUZZ_CHECK(st != CProxyHeaderReader::NEED_MORE || used == n, "incomplete after taking %zu of %zu", used, n);
    at += used;
    if (st != CProxyHeaderReader::NEED_MORE) break;
  }
  // A finished reader takes nothing more.
  const CProxyHeaderReader::Status ended = r.status();
  if (ended != CProxyHeaderReader::NEED_MORE) {
    size_t more = 0;
    const uint8_t extra[4] = {'T', 'Q', 0, 1};
    const CProxyHeaderReader::Status again = r.feed(extra, sizeof(extra), &more);
    FUZZ_CHECK(more == 0 && again == ended, "a finished reader took %zu more bytes", more);
  }
  if (r.status() == CProxyHeaderReader::DONE && r.version() == 1)
    FUZZ_CHECK(at <= CProxyHeaderReader::V1_MAX, "a version 1 line of %zu bytes", at);
  if (r.status() == CProxyHeaderReader::BAD) FUZZ_CHECK(!r.why().empty(), "refused without a reason");
  const bool ipv4 = r.status() == CProxyHeaderReader::DONE && r.source() == CProxyHeaderReader::SOURCE_IPV4;
  return Outcome{r.status(), at, ipv4 ? r.source() : CProxyHeaderReader::SOURCE_CONNECTION, ipv4 ? r.client_addr() : 0};
}

}  // namespace

int proxy_header_one(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0] % 16) + 1;
  const Outcome whole = run(data + 1, size - 1, size);
  const Outcome pieces = run(data + 1, size - 1, piece);
  FUZZ_CHECK(whole.status == pieces.status, "status %d whole, %d in pieces of %zu", whole.status, pieces.status, piece);
  if (whole.status == CProxyHeaderReader::DONE) {
    FUZZ_CHECK(whole.taken == pieces.taken, "header of %zu bytes whole, %zu in pieces", whole.taken, pieces.taken);
    FUZZ_CHECK(whole.source == pieces.source && whole.addr == pieces.addr, "another address in pieces");
  }
  return 0;
}

}  // namespace hallfuzz
