#include "incoming.h"

#include <stdlib.h>
#include <time.h>

#include <new>
#include <string>

#include "acceptor/acceptor.h"
#include "admission/admission.h"
#include "clib_log.h"
#include "auth/client_auth.h"
#include "client_unit.h"
#include "decode_unit.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "listener.h"
#include "log.h"
#include "metrics/registry.h"
#include "metrics_http/metrics_listener.h"
#include "poller.h"
#include "realtimer.h"
#include "stats.h"
#include "timerlist.h"
#include "timestamp.h"
#include "transport/tls_transport.h"
#include "transport/transport.h"

namespace __http_svr_ns__ {

namespace {

const int kAcceptBatch = 256;
const int kRealTimerSeconds = 60;
// How long accepting pauses after descriptors ran out, unless a connection ends first.
const int kAcceptRetrySeconds = 1;
// Longest event wait while draining, so that its deadlines are kept closely.
const int kDrainWaitMs = 100;
// A loop turn working longer than this (microseconds) is logged at level 3.
const int64_t kLongTurnUs = 100000;
// Longest wait while a client is paused for its share (see hall_admission).
const int kPausedWaitMs = 5;
// Time a loop turn spends at most on completing departed clients (close notices, log
// lines, closes): a mass departure is worked off over many turns, each leaving the
// players who stay their events at once. While the wait comes back full, more events
// are ready behind those it took (the players' among them, behind every departure that
// came before): the ready list is worked off first, with only a sliver of completions.
const int64_t kDepartureBudgetUs = 2000;
const int64_t kBackloggedDepartureBudgetUs = 200;

}  // namespace

void CIncoming::register_metrics() {
  // Each owner adds its own families; this is only the page's order (the README's table).
  hall_metrics::CMetricsRegistry::clear();
  CListener::register_metrics();
  register_client_metrics();
  hall_auth::register_metrics();
  register_client_queue_metrics();
  hall_admission::register_metrics();
  CHelperUnit::register_metrics();
  register_result_metrics();
  register_loop_metrics();
  register_log_metrics();
  register_process_metrics();
  hall_transport::register_metrics();
  if (_more_metrics != nullptr) _more_metrics();
}

CIncoming::CIncoming()
    : _pollerunit(nullptr),
      _listener(nullptr),
      _timerunit(nullptr),
      _webtimerlist(nullptr),
      _helpertimerlist(nullptr),
      _epwaittimeout(1000),
      _realtimerlist(nullptr),
      _statslistener(nullptr) {}

CIncoming::~CIncoming() {
  // The logic links created by InitHelperUnit stand on the poller unit and a timer list:
  // they go first.
  if (_helperpool != nullptr) {
    for (std::map<int, CHelperUnit*>::iterator it = _helperpool->m_helpermap.begin();
         it != _helperpool->m_helpermap.end(); ++it)
      delete it->second;
    _helperpool->m_helpermap.clear();
    _helperpool->m_svidlist.clear();
  }
  delete _timerunit;
  _timerunit = nullptr;
  _webtimerlist = nullptr;
  _helpertimerlist = nullptr;
  _realtimerlist = nullptr;
  delete _statslistener;
  _statslistener = nullptr;
  if (_helper_slots_id != 0) hall_acceptor::CPollerSlots::forget(_helper_slots_id);
  _helper_slots_id = 0;
  hall_metrics::CMetricsRegistry::clear();
  for (CListener* l : _listeners) delete l;
  _listeners.clear();
  _listener = nullptr;
  hall_transport::tls_teardown();
  hall_transport::stop_idle_sweep();
  hall_auth::client_auth_stop();
  delete _pollerunit;
  _pollerunit = nullptr;
}

int CIncoming::open() {
  _pollerunit = new (std::nothrow) CPollerUnit(TGlobal::_maxpoller);
  if (_pollerunit == nullptr) {
    log_boot("create CPollerUnit object failed.");
    return -1;
  }
  _listener = new (std::nothrow) CListener(TGlobal::_addr, TGlobal::_port, kAcceptBatch);
  if (_listener == nullptr) {
    log_boot("create CListener object failed.");
    return -1;
  }
  _listeners.push_back(_listener);
  _timerunit = new (std::nothrow) CTimerUnit();
  if (_timerunit == nullptr) {
    log_boot("create CTimerUnit object failed.");
    return -1;
  }

  _realtimerlist = _timerunit->GetTimerList(kRealTimerSeconds);
  if (_RealTimer != nullptr) {
    _RealTimer->realTimerlist = _realtimerlist;
    _RealTimer->AttachTimer(_realtimerlist);
  }

  _webtimerlist = _timerunit->GetTimerList(TGlobal::_webtimeout);
  if (_webtimerlist == nullptr) {
    log_boot("create web CTimerList object failed.");
    return -1;
  }
  _helpertimerlist = _timerunit->GetTimerList(TGlobal::_helpertimeout);
  if (_helpertimerlist == nullptr) {
    log_boot("create helper CTimerList object failed.");
    return -1;
  }

  if (_pollerunit->InitializePollerUnit() < 0) {
    log_boot("poller unit init failed.");
    return -1;
  }
  _listener->set_retry_timer(_timerunit->GetTimerList(kAcceptRetrySeconds));
  if (_listener->Attach(_pollerunit, _webtimerlist, _helpertimerlist, TGlobal::_backlog) < 0) {
    log_boot("invoke CListener::Attach() failed.");
    return -1;
  }
  // The WebSocket and TLS client ports, each with its own listener, on the same loop.
  hall_transport::TTransportSettings& transport = hall_transport::transport_settings();
  transport.wsPath = TGlobal::_wsPath;
  transport.wsOrigins = TGlobal::_wsOrigins;
  transport.handshakeMicros = static_cast<int64_t>(TGlobal::_webtimeout) * 1000000;
  transport.maxMessage = CClientUnit::MAX_CLIENT_PACKET;
  if (open_listener(TGlobal::_wsPort, hall_transport::TRANSPORT_WS) < 0 ||
      open_listener(TGlobal::_wssPort, hall_transport::TRANSPORT_WSS) < 0 ||
      open_listener(TGlobal::_tlsPort, hall_transport::TRANSPORT_TLS) < 0)
    return -1;
  // Their players' working buffers go back once they are idle.
  if (TGlobal::_wsPort > 0 || TGlobal::_wssPort > 0 || TGlobal::_tlsPort > 0)
    hall_transport::start_idle_sweep(_timerunit);
  // Every logic-server link reconnects on demand and then needs a poller slot of its own:
  // clients may not take the last ones, or one backend restart would leave every client
  // without answers until some client leaves.
  _helper_slots_id = hall_acceptor::CPollerSlots::keep(
      [] { return _helperpool != nullptr ? static_cast<int>(_helperpool->m_helpermap.size()) : 0; });
  // The metrics endpoint, on the same loop.
  g_stats.start_time = time(nullptr);
  if (TGlobal::_statsPort > 0) {
    register_metrics();
    _statslistener = new (std::nothrow)
        hall_metrics::CMetricsListener(TGlobal::_statsAddr, static_cast<uint16_t>(TGlobal::_statsPort));
    if (_statslistener == nullptr || _statslistener->Attach(_pollerunit, _timerunit) < 0) {
      log_boot("metrics endpoint on %s:%d failed.", TGlobal::_statsAddr, TGlobal::_statsPort);
      return -1;
    }
  }
  if (InitHelperUnit() < 0) {
    log_boot("InitHelperUnit failed.");
    return -1;
  }
  return 0;
}

int CIncoming::open_listener(int port, int kind) {
  if (port <= 0) return 0;
  const hall_transport::TTransportKind k = static_cast<hall_transport::TTransportKind>(kind);
  CListener* l = new (std::nothrow) CListener(TGlobal::_addr, static_cast<uint16_t>(port), kAcceptBatch, k);
  if (l == nullptr) {
    log_boot("create CListener object failed.");
    return -1;
  }
  _listeners.push_back(l);
  l->set_retry_timer(_timerunit->GetTimerList(kAcceptRetrySeconds));
  if (l->Attach(_pollerunit, _webtimerlist, _helpertimerlist, TGlobal::_backlog) < 0) {
    log_boot("%s listener on %s:%d failed.", hall_transport::transport_name(k), TGlobal::_addr, port);
    return -1;
  }
  log_boot("%s clients on %s:%d", hall_transport::transport_name(k), TGlobal::_addr, port);
  return 0;
}

void CIncoming::hold_listeners(bool on) {
  for (CListener* l : _listeners) l->hold(on);
}

void CIncoming::let_go_listeners() {
  for (CListener* l : _listeners) l->let_go();
  if (_statslistener != nullptr) _statslistener->let_go();
}

int CIncoming::run() {
  // The lines of a loop turn are written together, before the loop waits again, and the
  // rolling logs by a thread of their own: the loop never waits on a log file.
  log_defer(true);
  clib_log::write_off_thread(true);
  const auto stop = [](int result) {
    // No departure is lost with the loop: their close notices go out with the rest.
    CDecoderUnit::complete_all_departures();
    CHelperUnit::flush_deferred();
    clib_log::write_off_thread(false);
    log_defer(false);
    return result;
  };
  for (;;) {
    clib_log::report_dropped();
    log_flush();
    end_turn();
    if (TGlobal::_module_close != nullptr && *TGlobal::_module_close != 0) return stop(0);
    if (_drain != nullptr && _drain->step(GET_TIMESTAMP())) return stop(0);
    if (_turn_hook != nullptr && _turn_hook(GET_TIMESTAMP())) return stop(0);
    int most_ms = _drain != nullptr && _drain->active() ? kDrainWaitMs : _epwaittimeout;
    // The kernel says nothing when a logic server takes bytes out of a link's socket:
    // while clients are paused for their share the loop looks again soon.
    if (hall_admission::any_paused() && most_ms > kPausedWaitMs) most_ms = kPausedWaitMs;
    // Departures or reads waiting for their turn: the wait only takes what is ready.
    if (CDecoderUnit::departures_pending() || _pollerunit->HasPostedInput()) most_ms = 0;
    // A wait that fails for any reason but a signal fails again at once on every turn:
    // the loop would spin without ever serving. The gateway stops instead.
    if (turn(_timerunit->ExpireMicroSeconds(most_ms)) < 0) {
      stop(0);
      log_boot("the event wait failed; the gateway stops");
      return -1;
    }
  }
}

int CIncoming::turn(int wait_ms) {
  try {
    if (_pollerunit->WaitPollerEvents(wait_ms) < 0) return -1;
    // Taken before dispatch: deadlines set by the handlers are compared with a
    // slightly earlier time, so a freshly armed timer never fires in its own turn.
    const int64_t now = GET_TIMESTAMP();
    _turn.started = now;
    _turn.events = _pollerunit->GetEventCount();
    _turn.clients_ended = g_stats.clients_ended;
    _turn.bytes_written = g_stats.bytes_written;
    _pollerunit->ProcessPollerEvents();
    // Clients whose last read left bytes behind: read once more, after the events.
    _pollerunit->ProcessPostedInput();
    _timerunit->CheckExpired(now);
    _timerunit->CheckPending();
    CDecoderUnit::complete_departures(_turn.events >= _pollerunit->EventsPerWait() ? kBackloggedDepartureBudgetUs
                                                                                   : kDepartureBudgetUs);
  } catch (int) {
    // Every cache append that can fail is caught where it happens; this is the last
    // guard, so that an exhausted pool never ends the whole gateway.
    log_error("memory pool exhausted; an event of this loop turn was not completed");
  }
  // Before the loop sleeps again: everything the turn queued for the logic servers
  // (forwards of the events, close notices of the timers) is written here.
  CHelperUnit::flush_deferred();
  // Clients paused for their share are read again once their forwards have left, or a
  // logic link stalls.
  CHelperUnit::settle_all_shares();
  hall_admission::resume_if_stalled();
  return 0;
}

void CIncoming::end_turn() {
  if (_turn.started == 0) return;
  const int64_t took = GET_TIMESTAMP() - _turn.started;
  _turn.started = 0;
  record_loop_turn(static_cast<double>(took) / 1e6);
  if (took > kLongTurnUs) {
    log_error("loop turn took %lld ms: %d events, %llu clients ended, %llu bytes written",
              static_cast<long long>(took / 1000), _turn.events,
              static_cast<unsigned long long>(g_stats.clients_ended - _turn.clients_ended),
              static_cast<unsigned long long>(g_stats.bytes_written - _turn.bytes_written));
  }
}

int CIncoming::InitHelperUnit() {
  for (const TServerEntry& server : TGlobal::_servers) {
    const int svid = server.svid;
    CHelperUnit* helper = nullptr;
    std::map<int, CHelperUnit*>::iterator it = _helperpool->m_helpermap.find(svid);
    if (it != _helperpool->m_helpermap.end() && it->second != nullptr) {
      helper = it->second;
    } else {
      helper = new (std::nothrow) CHelperUnit(_pollerunit);
      if (helper == nullptr) {
        log_boot("create CHelperUnit object failed, svid:[%d]", svid);
        return -1;
      }
      _helperpool->m_helpermap[svid] = helper;
    }
    _helperpool->m_svidlist.push_back(svid);
    // For a repeated svid the later address waits for the next connection.
    helper->addr = server.ip;
    helper->port = server.port;
    // Start-up waits for each handshake: ready means connected to every logic server.
    if (helper->connect(true) != 0) {
      log_boot("svid:[%d] ip:[%s] port:[%d] connect failed.", svid, server.ip.c_str(), server.port);
      return -1;
    }
    log_boot("svid:[%d] ip:[%s] port:[%d] connected.", svid, server.ip.c_str(), server.port);
  }
  return 0;
}

}  // namespace __http_svr_ns__
