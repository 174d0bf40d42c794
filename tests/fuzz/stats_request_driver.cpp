// The metrics endpoint's request reader over arbitrary bytes: a head that may still fit
// waits for more, one that cannot is too large, only GET /metrics is served, and once a
// prefix of the bytes is decided, the whole input is decided alike.
#include <string.h>

#include <memory>

#include "fuzz_driver.h"
#include "metrics_http/metrics_request.h"

namespace hallfuzz {

namespace {

using __http_svr_ns__::read_stats_request;
using __http_svr_ns__::STATS_REQUEST_MAX;
using __http_svr_ns__::TStatsRequest;

// The reader on a copy of exactly `len` bytes, so that a read past them is caught.
TStatsRequest read_exact(const uint8_t* data, size_t len) {
  std::unique_ptr<char[]> copy(new char[len == 0 ? 1 : len]);
  if (len > 0) memcpy(copy.get(), data, len);
  return read_stats_request(copy.get(), len);
}

}  // namespace

int stats_request_one(const uint8_t* data, size_t size) {
  const TStatsRequest whole = read_exact(data, size);
  FUZZ_CHECK(whole != __http_svr_ns__::STATS_NEED_MORE || size < STATS_REQUEST_MAX, "waits with %zu bytes", size);
  FUZZ_CHECK(whole != __http_svr_ns__::STATS_TOO_LARGE || size >= STATS_REQUEST_MAX, "too large at %zu bytes", size);
  if (whole == __http_svr_ns__::STATS_METRICS)
    FUZZ_CHECK(size > 12 && memcmp(data, "GET /metrics", 12) == 0 && (data[12] == ' ' || data[12] == '?'),
               "served a request that is no GET /metrics");
  // The first decided prefix (every length up to 512, then every 64th) decides as the whole.
  for (size_t k = 0; k < size; k += k < 512 ? 1 : 64) {
    const TStatsRequest part = read_stats_request(reinterpret_cast<const char*>(data), k);
    if (part == __http_svr_ns__::STATS_NEED_MORE) continue;
    FUZZ_CHECK(read_exact(data, k) == whole, "%zu bytes decided %d, all %zu bytes %d", k, part, size, whole);
    break;
  }
  return 0;
}

}  // namespace hallfuzz
