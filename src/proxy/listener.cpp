#include "listener.h"

#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "client_unit.h"
#include "decode_unit.h"
#include "helper_pool.h"
#include "log.h"
#include "redis_server.h"
#include "stats.h"
#include "stats_listener.h"
#include "net.h"

namespace __http_svr_ns__ {

CListener::CListener(const char* bindAddr, uint16_t port, int acceptCount, hall_transport::TTransportKind kind)
    : CPollerObject(nullptr, -1),
      _pollerunit(nullptr),
      _webtimerlist(nullptr),
      _helpertimerlist(nullptr),
      _accept_cnt(acceptCount > 0 ? acceptCount : 1),
      _newfd_cnt(0),
      _fd_array(nullptr),
      _peer_array(nullptr),
      _bindPort(port),
      _retrytimerlist(nullptr),
      _paused(false),
      _kind(kind) {
  snprintf(_bindAddr, sizeof(_bindAddr), "%s", bindAddr != nullptr ? bindAddr : "");
  _fd_array = new (std::nothrow) int[_accept_cnt];
  assert(nullptr != _fd_array);
  _peer_array = new (std::nothrow) sockaddr_in[_accept_cnt];
  assert(nullptr != _peer_array);
  for (int i = 0; i < _accept_cnt; ++i) _fd_array[i] = -1;
  _all.insert(this);
}

std::set<CListener*> CListener::_all;

void CListener::connection_ended() {
  for (CListener* l : _all) l->resume_accept();
}

CListener::~CListener() {
  _all.erase(this);
  delete[] _fd_array;
  delete[] _peer_array;
}

int CListener::Attach(CPollerUnit* unit, CTimerList* webList, CTimerList* helperList, int backlog) {
  netfd = CNet::tcp_bind(_bindAddr, _bindPort, backlog);
  if (netfd == -1) {
    log_error("bind addr[%s], port[%d] failed.", _bindAddr, _bindPort);
    return -1;
  }
  // Clients are taken in as soon as they connect, not once their first bytes arrive
  // (TCP_DEFER_ACCEPT of the bind). A connection the kernel holds back is unknown to the
  // gateway: when the gateway ends (a drain, a stop) it vanishes without a close, so a
  // client idle on it sees an open link and loses what it writes next.
  int off = 0;
  setsockopt(netfd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &off, sizeof(off));
  EnableInput();
  _pollerunit = unit;
  _webtimerlist = webList;
  _helpertimerlist = helperList;
  return AttachPoller(unit);
}

int CListener::InputNotify() {
  // A pause has logged its own reason.
  if (accept_waiting() && !_paused) log_error("invoke proc_accept failed, new fd count = %d", _newfd_cnt);
  return 0;
}

bool CListener::accept_waiting() {
  // Every peer of this IPv4 socket has the same address size.
  unsigned int peerSize = sizeof(sockaddr_in);
  // A batch that takes none after full ones only found the queue emptied by them.
  for (bool first = true;; first = false) {
    const int drained = proc_accept(_peer_array, &peerSize);
    if (_newfd_cnt <= 0) return first;
    proc_request(_peer_array);
    if (drained == -1) return false;
  }
}

int CListener::proc_accept(sockaddr_in* peer, unsigned int* peerSize) {
  for (int i = 0; i < _accept_cnt; ++i) _fd_array[i] = -1;
  _newfd_cnt = 0;

  for (int i = 0; i < _accept_cnt; ++i) {
    // A connection taken from the queue without a slot to serve it could only be
    // closed, and its peer may already have written into it: it waits in the queue
    // until a slot frees instead.
    if (client_room() <= 0) {
      pause_accept(0);
      return -1;
    }
    const int fd = ::accept(netfd, reinterpret_cast<sockaddr*>(&peer[i]), reinterpret_cast<socklen_t*>(peerSize));
    log_debug("proc_accept: accept new connection fd[%d]", fd);
    if (fd >= 0) {
      _fd_array[i] = fd;
      ++_newfd_cnt;
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return -1;
    errno = err;
    log_error("*STEP: accept new connection failed, address[%s:%d], fd[%d], msg[%m]", _bindAddr, _bindPort, netfd);
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      // Every further attempt would fail alike, and the socket stays readable: stop
      // here and wait for a descriptor to come free.
      pause_accept(err);
      return -1;
    }
  }
  return 0;
}

namespace {

// Every logic-server link reconnects on demand and then needs a poller slot of its own:
// clients may not take the last ones, or one backend restart would leave every client
// without answers until some client leaves. The Redis registration's link and the
// stats connections likewise.
int slots_kept_for_logic() {
  return (_helperpool != nullptr ? static_cast<int>(_helperpool->m_helpermap.size()) : 0) +
         CRedisServer::PollerSlotsKept() + CStatsListener::PollerSlotsKept();
}

}  // namespace

int CListener::client_room() const {
  if (_pollerunit == nullptr) return _accept_cnt;
  return _pollerunit->GetMaxPollers() - _pollerunit->GetUsedPollers() - slots_kept_for_logic() - _newfd_cnt;
}

void CListener::pause_accept(int err) {
  if (_paused) return;
  _paused = true;
  ++g_stats.accept_pauses;
  DisableInput();
  ApplyEvents();
  if (_retrytimerlist != nullptr) AttachTimer(_retrytimerlist);
  if (err == 0) {
    log_warning(
        "accepting paused on %s:%d: poller full (%d of %d slots, %d kept for logic servers); resumes when a "
        "connection ends",
        _bindAddr, _bindPort, _pollerunit->GetUsedPollers(), _pollerunit->GetMaxPollers(), slots_kept_for_logic());
    return;
  }
  log_error("accepting paused on %s:%d: %s; resumes when a connection ends or in %d s", _bindAddr, _bindPort,
            strerror(err), _retrytimerlist != nullptr ? _retrytimerlist->GetTimeout() : 0);
}

void CListener::resume_accept() {
  if (!_paused || _closed) return;
  _paused = false;
  DisableTimer();
  EnableInput();
  ApplyEvents();
}

void CListener::close_for_good() {
  if (_closed) return;
  // Connections the kernel has completed wait in the queue, and their peers may have
  // written already: closing the socket would reset them and lose what they sent. They
  // are taken first (as far as there is room) and live on like the others.
  if (!_paused && netfd >= 0) accept_waiting();
  _closed = true;
  DisableTimer();
  DetachPoller();
  if (netfd >= 0) ::close(netfd);
  netfd = -1;
}

int CListener::HangupNotify() {
  // Not expected of a listening socket; unregistering keeps an error that stays
  // raised from being reported again on every loop turn.
  log_error("listening socket %s:%d reports an error, fd[%d]; no longer accepting", _bindAddr, _bindPort, netfd);
  DisableTimer();
  DetachPoller();
  return 1;
}

void CListener::TimerNotify() {
  // Only a connection that ends frees a slot for a client, and it resumes accepting
  // itself: while the poller stays full the retry just waits again, without a turn
  // spent pausing anew.
  if (_paused && client_room() <= 0) {
    AttachTimer(_retrytimerlist);
    return;
  }
  resume_accept();
}

int CListener::proc_request(sockaddr_in* peer) {
  // Interrupted or failed accepts leave holes, so descriptors may stand in any slot of
  // the batch, also beyond _newfd_cnt: every slot is looked at.
  for (int i = 0; i < _accept_cnt; ++i) {
    const int fd = _fd_array[i];
    if (fd == -1) continue;

    CDecoderUnit* unit = create_decoderunit(fd);
    if (unit == nullptr) {
      log_error("create CDecoderUnit object failed, address[%s:%d], fd[%d]", _bindAddr, _bindPort, netfd);
      ++g_stats.clients_refused;
      ::close(fd);
      _fd_array[i] = -1;
      continue;
    }

    unit->set_ip(peer[i].sin_addr.s_addr);
    // Limits apply before any byte is read. A balancer's connection names its client in
    // its PROXY header: the client ip line and the limits wait for that.
    const hall_admission::CConnGate::Verdict verdict = unit->gate().accept(peer[i].sin_addr.s_addr);
    char text[INET_ADDRSTRLEN] = {0};
    if (verdict == hall_admission::CConnGate::REFUSE || __log_level__ > 6)
      inet_ntop(AF_INET, &peer[i].sin_addr, text, sizeof(text));
    if (verdict == hall_admission::CConnGate::REFUSE) {
      log_info("client ip=%s refused: %d connections from it already", text,
               hall_admission::settings().max_conns_per_ip);
      unit->complete();
      _fd_array[i] = -1;
      continue;
    }
    if (verdict == hall_admission::CConnGate::ADMIT) log_debug("client ip=%s", text);

    if (unit->listener_input() < 0) {
      ++g_stats.clients_refused;
      unit->complete();
      _fd_array[i] = -1;
      continue;
    }
    log_debug("*STEP: accept new tcp connection, address[%s:%d], fd[%d]", _bindAddr, _bindPort, fd);
  }
  return 0;
}

CDecoderUnit* CListener::create_decoderunit(int fd) {
  CDecoderUnit* unit = new (std::nothrow) CDecoderUnit(this);
  if (unit == nullptr) {
    log_error("create CDecoderUnit object failed.");
    return nullptr;
  }
  _clients.insert(unit);
  unit->set_netfd(fd);
  unit->pollerunit(_pollerunit);
  unit->set_web_timer(_webtimerlist);
  unit->set_helper_timer(_helpertimerlist);
  return unit;
}

}  // namespace __http_svr_ns__
