#include "metrics_http/metrics_listener.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "log.h"
#include "metrics_http/metrics_conn.h"
#include "net.h"

namespace hall_metrics {

namespace {

const int kBacklog = 16;
// How long accepting pauses after descriptors ran out, unless a connection ends first.
const int kRetrySeconds = 1;

}  // namespace

// One connection at a time, and the whole listen queue each readiness: a scrape queued
// behind slow connections must not wait for later turns, nor find the queue full and its
// SYN dropped. Poller slots are kept for metrics connections, so the slots the others
// keep are not left to them.
CMetricsListener::CMetricsListener(const char* addr, uint16_t port)
    : CAcceptor(1, kBacklog + MAX_CONNS, false), _port(port), _timers(nullptr) {
  snprintf(_addr, sizeof(_addr), "%s", addr != nullptr ? addr : "");
}

CMetricsListener::~CMetricsListener() {
  if (_slots_id != 0) hall_acceptor::CPollerSlots::forget(_slots_id);
  const std::set<CMetricsConn*> open = _conns;
  _conns.clear();
  for (CMetricsConn* conn : open) delete conn;
}

int CMetricsListener::Attach(CPollerUnit* unit, CTimerUnit* timers) {
  netfd = CNet::tcp_bind(_addr, _port, kBacklog);
  if (netfd == -1) {
    log_error("bind stats addr[%s], port[%d] failed.", _addr, _port);
    return -1;
  }
  _timers = timers;
  EnableInput();
  if (AttachPoller(unit) < 0) return -1;
  _slots_id = hall_acceptor::CPollerSlots::keep([this] { return MAX_CONNS - static_cast<int>(_conns.size()); });
  return 0;
}

int CMetricsListener::InputNotify() {
  accept_waiting();
  return 0;
}

void CMetricsListener::before_accept() {
  if (static_cast<int>(_conns.size()) >= MAX_CONNS) close_oldest();
}

void CMetricsListener::accept_failed(int err) {
  log_error("accept on stats port %s:%d failed: %s", _addr, _port, strerror(err));
}

CTimerList* CMetricsListener::retry_list(int err) {
  // A full poller passes soon while slots are kept for metrics connections not open.
  if (err == 0 && static_cast<int>(_conns.size()) >= MAX_CONNS) return nullptr;
  return _timers->GetTimerList(kRetrySeconds);
}

void CMetricsListener::take_batch(int* fds, const sockaddr_in*, int slots) {
  for (int i = 0; i < slots; ++i) {
    if (fds[i] < 0) continue;
    CMetricsConn* conn = new (std::nothrow) CMetricsConn(this, ownerUnit, fds[i]);
    if (conn == nullptr) {
      ::close(fds[i]);
      continue;
    }
    _conns.insert(conn);
    conn->EnableInput();
    if (conn->AttachPoller() < 0) {
      _conns.erase(conn);
      delete conn;
      continue;
    }
    conn->AttachTimer(_timers->GetTimerList(REQUEST_SECONDS));
    // The request is usually there already (the socket defers accept until data comes).
    conn->InputNotify();
  }
}

void CMetricsListener::close_oldest() {
  CMetricsConn* oldest = nullptr;
  for (CMetricsConn* conn : _conns)
    if (oldest == nullptr || conn->GetExpireTime() < oldest->GetExpireTime()) oldest = conn;
  if (oldest == nullptr) return;
  log_debug("stats connection fd[%d] closed unfinished: every slot was taken", oldest->GetNetfd());
  _conns.erase(oldest);
  delete oldest;
}

int CMetricsListener::HangupNotify() {
  log_error("stats listening socket %s:%d reports an error; metrics no longer served", _addr, _port);
  DisableTimer();
  DetachPoller();
  return 1;
}

void CMetricsListener::let_go() {
  if (netfd < 0) return;
  DisableTimer();
  DetachPoller();
  CNet::forget_listening(netfd);
  ::close(netfd);
  netfd = -1;
}

void CMetricsListener::TimerNotify() { resume_accept(); }

void CMetricsListener::conn_ended(CMetricsConn* conn) {
  _conns.erase(conn);
  resume_accept();
}

}  // namespace hall_metrics
