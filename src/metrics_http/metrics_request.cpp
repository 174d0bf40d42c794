#include "metrics_http/metrics_request.h"

#include <string.h>

namespace __http_svr_ns__ {

namespace {

// A method is an HTTP token: visible characters other than separators.
bool is_token(const char* p, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c <= 0x20 || c >= 0x7F || strchr("()<>@,;:\\\"/[]?={}", c) != nullptr) return false;
  }
  return true;
}

bool equals(const char* p, size_t n, const char* text) { return n == strlen(text) && memcmp(p, text, n) == 0; }

// Position just after the empty line that ends the head, or 0 while there is none within
// `len` bytes. A bare LF ends lines as well as CRLF.
size_t head_end(const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < len && data[i + 1] == '\n') return i + 2;
    if (i + 2 < len && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return 0;
}

}  // namespace

TStatsRequest read_stats_request(const char* data, size_t len) {
  const size_t window = len < STATS_REQUEST_MAX ? len : STATS_REQUEST_MAX;
  const size_t end = head_end(data, window);
  if (end == 0) return len >= STATS_REQUEST_MAX ? STATS_TOO_LARGE : STATS_NEED_MORE;

  // The request line: METHOD SP TARGET SP VERSION, with no control bytes in it.
  const char* line = data;
  size_t n = static_cast<size_t>(static_cast<const char*>(memchr(data, '\n', end)) - data);
  if (n > 0 && line[n - 1] == '\r') --n;
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F) return STATS_BAD_REQUEST;
  const char* sp1 = static_cast<const char*>(memchr(line, ' ', n));
  if (sp1 == nullptr) return STATS_BAD_REQUEST;
  const char* target = sp1 + 1;
  const char* sp2 = static_cast<const char*>(memchr(target, ' ', static_cast<size_t>(line + n - target)));
  if (sp2 == nullptr) return STATS_BAD_REQUEST;
  const char* version = sp2 + 1;
  const size_t method_len = static_cast<size_t>(sp1 - line);
  const size_t target_len = static_cast<size_t>(sp2 - target);
  const size_t version_len = static_cast<size_t>(line + n - version);
  if (!is_token(line, method_len) || target_len == 0) return STATS_BAD_REQUEST;
  if (!equals(version, version_len, "HTTP/1.0") && !equals(version, version_len, "HTTP/1.1")) return STATS_BAD_REQUEST;

  if (!equals(line, method_len, "GET")) return STATS_NOT_ALLOWED;
  const size_t path_len = memchr(target, '?', target_len) != nullptr
                              ? static_cast<size_t>(static_cast<const char*>(memchr(target, '?', target_len)) - target)
                              : target_len;
  return equals(target, path_len, "/metrics") ? STATS_METRICS : STATS_NOT_FOUND;
}

}  // namespace __http_svr_ns__
