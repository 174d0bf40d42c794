#include "stats_listener.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "log.h"
#include "net.h"
#include "stats_conn.h"

namespace __http_svr_ns__ {

namespace {

const int kBacklog = 16;
// How long accepting pauses after descriptors ran out, unless a connection ends first.
const int kRetrySeconds = 1;

CStatsListener* g_listener = nullptr;

}  // namespace

CStatsListener::CStatsListener(const char* addr, uint16_t port)
    : CPollerObject(nullptr, -1), _port(port), _timers(nullptr), _paused(false) {
  snprintf(_addr, sizeof(_addr), "%s", addr != nullptr ? addr : "");
}

CStatsListener::~CStatsListener() {
  const std::set<CStatsConn*> open = _conns;
  _conns.clear();
  for (CStatsConn* conn : open) delete conn;
  if (g_listener == this) g_listener = nullptr;
}

int CStatsListener::Attach(CPollerUnit* unit, CTimerUnit* timers) {
  netfd = CNet::tcp_bind(_addr, _port, kBacklog);
  if (netfd == -1) {
    log_error("bind stats addr[%s], port[%d] failed.", _addr, _port);
    return -1;
  }
  _timers = timers;
  EnableInput();
  if (AttachPoller(unit) < 0) return -1;
  g_listener = this;
  return 0;
}

void CStatsListener::let_go() {
  if (netfd < 0) return;
  DisableInput();
  DetachPoller();
  CNet::forget_listening(netfd);
  ::close(netfd);
  netfd = -1;
}

int CStatsListener::PollerSlotsKept() {
  return g_listener != nullptr ? MAX_CONNS - static_cast<int>(g_listener->_conns.size()) : 0;
}

int CStatsListener::InputNotify() {
  // The whole listen queue each time: a scrape queued behind slow connections must not
  // wait for later turns, nor find the queue full and its SYN dropped.
  for (int i = 0; i < kBacklog + MAX_CONNS; ++i) {
    if (ownerUnit->GetUsedPollers() >= ownerUnit->GetMaxPollers()) {
      // Poller slots are kept for stats connections: a full poller passes soon.
      pause(static_cast<int>(_conns.size()) < MAX_CONNS);
      return 0;
    }
    // Every slot is held by a request not yet whole (a whole one is answered at once):
    // the one that has waited longest goes, so that slow senders never shut out a scrape.
    if (static_cast<int>(_conns.size()) >= MAX_CONNS) close_oldest();
    const int fd = ::accept(netfd, nullptr, nullptr);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return 0;
      log_error("accept on stats port %s:%d failed: %s", _addr, _port, strerror(err));
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) pause(true);
      return 0;
    }
    CStatsConn* conn = new (std::nothrow) CStatsConn(this, ownerUnit, fd);
    if (conn == nullptr) {
      ::close(fd);
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
  return 0;
}

void CStatsListener::close_oldest() {
  CStatsConn* oldest = nullptr;
  for (CStatsConn* conn : _conns)
    if (oldest == nullptr || conn->GetExpireTime() < oldest->GetExpireTime()) oldest = conn;
  if (oldest == nullptr) return;
  log_debug("stats connection fd[%d] closed unfinished: every slot was taken", oldest->GetNetfd());
  _conns.erase(oldest);
  delete oldest;
}

int CStatsListener::HangupNotify() {
  log_error("stats listening socket %s:%d reports an error; metrics no longer served", _addr, _port);
  DisableTimer();
  DetachPoller();
  return 1;
}

void CStatsListener::TimerNotify() { resume(); }

void CStatsListener::conn_ended(CStatsConn* conn) {
  _conns.erase(conn);
  resume();
}

void CStatsListener::pause(bool retry) {
  if (_paused) return;
  _paused = true;
  DisableInput();
  ApplyEvents();
  if (retry) AttachTimer(_timers->GetTimerList(kRetrySeconds));
}

void CStatsListener::resume() {
  if (!_paused || GetEpollSlot() == nullptr) return;
  _paused = false;
  DisableTimer();
  EnableInput();
  ApplyEvents();
}

}  // namespace __http_svr_ns__
