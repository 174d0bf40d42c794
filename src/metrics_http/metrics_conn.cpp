#include "metrics_http/metrics_conn.h"

#include <errno.h>
#include <sys/socket.h>

#include "log.h"
#include "metrics/registry.h"
#include "metrics_http/metrics_listener.h"
#include "metrics_http/metrics_request.h"

namespace hall_metrics {

using namespace __http_svr_ns__;

namespace {

std::string answer(const char* status, const std::string& body, const char* extra_header = "") {
  return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " +
         "text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extra_header + "\r\n" + body;
}

}  // namespace

CMetricsConn::CMetricsConn(CMetricsListener* owner, CPollerUnit* unit, int fd)
    : CPollerObject(unit, fd), _owner(owner), _sent(0) {}

CMetricsConn::~CMetricsConn() { DisableTimer(); }

int CMetricsConn::InputNotify() {
  // One byte past the limit is enough to know that a head is too large.
  char buf[STATS_REQUEST_MAX + 1];
  const size_t room = STATS_REQUEST_MAX + 1 - _in.size();
  const ssize_t got = ::recv(netfd, buf, room, 0);
  if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : close();
  if (got == 0) return close();
  _in.append(buf, static_cast<size_t>(got));

  switch (read_stats_request(_in.data(), _in.size())) {
    case STATS_NEED_MORE:
      return 0;
    case STATS_TOO_LARGE:
      return close();
    case STATS_METRICS:
      _out = answer("200 OK", CMetricsRegistry::render());
      break;
    case STATS_NOT_FOUND:
      _out = answer("404 Not Found", "not found\n");
      break;
    case STATS_NOT_ALLOWED:
      _out = answer("405 Method Not Allowed", "method not allowed\n", "Allow: GET\r\n");
      break;
    case STATS_BAD_REQUEST:
      _out = answer("400 Bad Request", "bad request\n");
      break;
  }
  std::string().swap(_in);
  DisableInput();
  return write_answer();
}

int CMetricsConn::OutputNotify() { return write_answer(); }

int CMetricsConn::write_answer() {
  while (_sent < _out.size()) {
    const ssize_t n = ::send(netfd, _out.data() + _sent, _out.size() - _sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      EnableOutput();
      ApplyEvents();
      return 1;
    }
    if (n <= 0) return close();
    _sent += static_cast<size_t>(n);
  }
  return close();
}

int CMetricsConn::HangupNotify() { return close(); }

void CMetricsConn::TimerNotify() {
  log_debug("stats connection fd[%d] not done in %d s: closed", netfd, CMetricsListener::REQUEST_SECONDS);
  close();
}

int CMetricsConn::close() {
  _owner->conn_ended(this);
  delete this;
  return 1;
}

}  // namespace hall_metrics
