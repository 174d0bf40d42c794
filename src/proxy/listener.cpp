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
#include "metrics/registry.h"
#include "net.h"
#include "stats.h"

namespace __http_svr_ns__ {

CListener::CListener(const char* bindAddr, uint16_t port, int acceptCount, hall_transport::TTransportKind kind)
    : CAcceptor(acceptCount, 0, true),
      _pollerunit(nullptr),
      _webtimerlist(nullptr),
      _helpertimerlist(nullptr),
      _bindPort(port),
      _retrytimerlist(nullptr),
      _kind(kind) {
  snprintf(_bindAddr, sizeof(_bindAddr), "%s", bindAddr != nullptr ? bindAddr : "");
  _all.insert(this);
}

std::set<CListener*> CListener::_all;

void CListener::register_metrics() {
  using hall_metrics::CExposition;
  using hall_metrics::CMetricsRegistry;
  // Each listener keeps its live client connections: their counts are the gauges.
  CMetricsRegistry::add_gauge("hall_client_connections", "Client connections open.", [] {
    long long all = 0;
    for (const CListener* l : _all) all += l->client_count();
    return all;
  });
  CMetricsRegistry::add(
      "hall_client_connections_by_transport", "gauge", "Client connections open, by transport.", [](CExposition& e) {
        long long by_kind[hall_transport::TRANSPORT_KINDS] = {};
        for (const CListener* l : _all) by_kind[l->transport_kind()] += l->client_count();
        for (int k = 0; k < hall_transport::TRANSPORT_KINDS; ++k) {
          const auto kind = static_cast<hall_transport::TTransportKind>(k);
          e.sample("hall_client_connections_by_transport",
                   std::string("transport=\"") + hall_transport::transport_name(kind) + "\"", by_kind[k]);
        }
      });
}

void CListener::connection_ended() {
  for (CListener* l : _all) l->resume_accept();
}

CListener::~CListener() { _all.erase(this); }

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
  if (accept_waiting() && !paused()) log_error("invoke proc_accept failed, new fd count = %d", gathered());
  return 0;
}

void CListener::accept_failed(int err) {
  errno = err;
  log_error("*STEP: accept new connection failed, address[%s:%d], fd[%d], msg[%m]", _bindAddr, _bindPort, netfd);
}

void CListener::paused_for(int err) {
  ++g_stats.accept_pauses;
  if (err == 0) {
    log_warning(
        "accepting paused on %s:%d: poller full (%d of %d slots, %d kept for logic servers); resumes when a "
        "connection ends",
        _bindAddr, _bindPort, _pollerunit->GetUsedPollers(), _pollerunit->GetMaxPollers(),
        hall_acceptor::CPollerSlots::kept());
    return;
  }
  log_error("accepting paused on %s:%d: %s; resumes when a connection ends or in %d s", _bindAddr, _bindPort,
            strerror(err), _retrytimerlist != nullptr ? _retrytimerlist->GetTimeout() : 0);
}

void CListener::close_for_good() {
  if (_closed) return;
  // Connections the kernel has completed wait in the queue, and their peers may have
  // written already: closing the socket would reset them and lose what they sent. They
  // are taken first (as far as there is room) and live on like the others.
  if (!paused() && netfd >= 0) accept_waiting();
  let_go();
}

void CListener::hold(bool on) {
  if (_closed || netfd < 0) return;
  if (on)
    DisableInput();
  else if (!paused())
    EnableInput();
  ApplyEvents();
}

void CListener::let_go() {
  if (_closed) return;
  // No shutdown(): after a live upgrade it would act on the socket the other process
  // listens on, and a plain close is all a drain needs.
  _closed = true;
  DisableTimer();
  DetachPoller();
  CNet::forget_listening(netfd);
  if (netfd >= 0) ::close(netfd);
  netfd = -1;
}

CDecoderUnit* CListener::adopt_client(int fd, const TConnCarry& carry) {
  CDecoderUnit* unit = create_decoderunit(fd);
  if (unit == nullptr) {
    ::close(fd);
    return nullptr;
  }
  if (unit->carry_in(carry) < 0) {
    unit->complete();
    return nullptr;
  }
  return unit;
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
  if (paused() && room() <= 0) {
    AttachTimer(_retrytimerlist);
    return;
  }
  resume_accept();
}

void CListener::take_batch(int* fds, const sockaddr_in* peer, int slots) {
  // Interrupted or failed accepts leave holes, so descriptors may stand in any slot of
  // the batch, also beyond the count gathered: every slot is looked at.
  for (int i = 0; i < slots; ++i) {
    const int fd = fds[i];
    if (fd == -1) continue;
    log_debug("proc_accept: accept new connection fd[%d]", fd);

    CDecoderUnit* unit = create_decoderunit(fd);
    if (unit == nullptr) {
      log_error("create CDecoderUnit object failed, address[%s:%d], fd[%d]", _bindAddr, _bindPort, netfd);
      ++g_stats.clients_refused;
      ::close(fd);
      fds[i] = -1;
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
      fds[i] = -1;
      continue;
    }
    if (verdict == hall_admission::CConnGate::ADMIT) log_debug("client ip=%s", text);

    if (unit->listener_input() < 0) {
      ++g_stats.clients_refused;
      unit->complete();
      fds[i] = -1;
      continue;
    }
    log_debug("*STEP: accept new tcp connection, address[%s:%d], fd[%d]", _bindAddr, _bindPort, fd);
  }
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
