// The request reader of the metrics endpoint: a pure function from the bytes a stats
// connection has sent so far to what it asks for. Only the request head is looked at
// (request line and header lines up to the empty line); a body is never read.
#ifndef HALL_METRICS_HTTP_METRICS_REQUEST_H
#define HALL_METRICS_HTTP_METRICS_REQUEST_H

#include <stddef.h>

namespace __http_svr_ns__ {

enum TStatsRequest {
  STATS_NEED_MORE,    // the head is not complete yet and may still fit
  STATS_METRICS,      // GET /metrics (a query string is ignored)
  STATS_NOT_FOUND,    // GET of any other path
  STATS_NOT_ALLOWED,  // another method
  STATS_BAD_REQUEST,  // not an HTTP/1.0 or HTTP/1.1 request line
  STATS_TOO_LARGE,    // no complete head within STATS_REQUEST_MAX bytes
};

// The largest request head read, end of head included.
const size_t STATS_REQUEST_MAX = 4096;

// Decides on the first `len` bytes of a connection. Once the answer is anything but
// STATS_NEED_MORE, more bytes never change it.
TStatsRequest read_stats_request(const char* data, size_t len);

}  // namespace __http_svr_ns__

#endif
