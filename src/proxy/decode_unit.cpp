#include "decode_unit.h"
#include "stats.h"

#include <assert.h>
#include <errno.h>
#include <unistd.h>

#include <new>

#include "client_unit.h"
#include "clib_log.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "listener.h"
#include "log.h"
#include "packet_base.h"
#include "timestamp.h"
#include "transport/transport.h"
#include "watchdog.h"

namespace __http_svr_ns__ {

namespace {

// Units that departed and wait for their completion, oldest first.
std::list<CDecoderUnit*>& departure_queue() {
  static std::list<CDecoderUnit*> queue;
  return queue;
}

}  // namespace

CDecoderUnit::CDecoderUnit(CListener* listener)
    : _pollerUnit(nullptr),
      _webTimer(nullptr),
      _helperTimer(nullptr),
      _webUnit(nullptr),
      _listener(listener),
      _flag(0),
      _fd(0),
      _ip(0),
      _conn_type(1),
      _has_registered(false),
      _first_registered(0),
      _ending(false),
      _departing(false) {}

bool CDecoderUnit::add_registered_uid(int uid) {
  if (!_has_registered) {
    _has_registered = true;
    _first_registered = uid;
    return true;
  }
  if (uid == _first_registered || (_more_registered && _more_registered->count(uid) != 0)) return true;
  const size_t held = 1 + (_more_registered ? _more_registered->size() : 0);
  if (held >= static_cast<size_t>(TGlobal::_maxClientIds)) return false;
  if (!_more_registered) _more_registered.reset(new std::set<int>());
  _more_registered->insert(uid);
  return true;
}

CDecoderUnit::~CDecoderUnit() {
  // complete() has released every routing entry that named this connection.
  assert(!holds_any_route());
  if (_listener != nullptr) _listener->forget(this);
  ++g_stats.clients_ended;
  // Forwards still queued for logic servers must not wake the client unit deleted here.
  _gate.release_share();
  delete _webUnit;
  _webUnit = nullptr;
}

void CDecoderUnit::complete() {
  // The one place where a client connection ends, whatever ended it (a read, a write,
  // a hang-up, the idle time-out, a failure scheduled on the pending list, or a failed
  // start), always in this order. Reaching it again while it runs changes nothing.
  if (_ending) return;
  _ending = true;
  if (_departing) {
    departure_queue().erase(_departure);
    _departing = false;
    // 0. What the client sent before it left: its last requests go before its close notices.
    if (_webUnit != nullptr) _webUnit->read_rest();
  }
  // 1. The close notices, while the routing entries still say which ids are held.
  if (_conn_type == 0) ProcessUserClose();
  log_debug("*STEP: handle HTTP request completed, listenfd[%d], webfd[%d]",
            _listener != nullptr ? _listener->GetNetfd() : -1, _webUnit != nullptr ? _webUnit->GetNetfd() : 0);
  // 2. The routing entries that name this connection.
  release_routes();
  // 3. The timer and the poller slot; the descriptor closes with the client unit, or
  // here when no client unit took it.
  if (_webUnit != nullptr)
    _webUnit->shut();
  else
    ::close(_fd);
  // 4. The objects, then the listener, for which a descriptor has come free.
  CListener* listener = _listener;
  delete this;
  if (listener != nullptr) listener->connection_ended();
}

void CDecoderUnit::depart() {
  if (_ending || _departing) return;
  if (_webUnit == nullptr) {
    complete();
    return;
  }
  // Nothing but the bookkeeping happens now, not even a read or a system call: the
  // registration is edge-triggered, so the descriptor at end-of-file is not reported
  // again while it waits here, and the players who stay find their events at once. It
  // leaves the poller when it is completed; its notifications are ignored meanwhile.
  _webUnit->DisableTimer();
  _webUnit->CancelPostedInput();
  _departing = true;
  _departure = departure_queue().insert(departure_queue().end(), this);
}

int CDecoderUnit::complete_departures(int64_t budget_us) {
  std::list<CDecoderUnit*>& queue = departure_queue();
  if (queue.empty()) return 0;
  const int64_t start = GET_TIMESTAMP();
  int done = 0;
  while (!queue.empty()) {
    queue.front()->complete();
    // The clock is read every few departures: one costs some microseconds.
    if (++done % 8 == 0 && GET_TIMESTAMP() - start >= budget_us) break;
  }
  return done;
}

bool CDecoderUnit::departures_pending() { return !departure_queue().empty(); }

void CDecoderUnit::release_routes() {
  if (_helperpool == nullptr) return;
  CHelperPool::ClientMap& objmap = _helperpool->m_objmap;
  if (_flag > 0 && objmap.find(_flag) == objmap.end()) log_error("%s||Cannot find uid:[%d]", "~CDecoderUnit", _flag);
  // Every id this connection registered goes, but only where the entry still names
  // this connection: a later connection that took the id over keeps its entry.
  auto release = [&](int uid) {
    CHelperPool::ClientMap::iterator it = objmap.find(uid);
    if (it != objmap.end() && it->second == this) objmap.erase(it);
  };
  if (_has_registered) release(_first_registered);
  if (_more_registered)
    for (int uid : *_more_registered) release(uid);
  log_debug("delete object from map, length[%d]", static_cast<int>(objmap.size()));
}

int CDecoderUnit::listener_input() {
  hall_transport::CTransport* transport = hall_transport::new_transport(
      _listener != nullptr ? _listener->transport_kind() : hall_transport::TRANSPORT_TCP, _fd);
  if (transport == nullptr) return -1;
  _webUnit = new (std::nothrow) CClientUnit(this, _fd, transport);
  if (_webUnit == nullptr) {
    delete transport;
    log_error("create CClient object failed, errno[%d], %m", errno);
    return -1;
  }
  if (_webUnit->Attach() == -1) {
    log_error("Invoke CClient::Attach() failed");
    return -1;
  }
  return 0;
}

bool CDecoderUnit::carry_out(TConnCarry* out) {
  // A departed client is completed here, from the departure queue.
  if (_ending || _departing || _webUnit == nullptr) return false;
  out->kind = _listener != nullptr ? _listener->transport_kind() : hall_transport::TRANSPORT_TCP;
  out->addr = _gate.client_addr();
  out->awaitingHeader = _gate.awaiting_proxy_header();
  out->ids.clear();
  // Only the ids whose routes still name this connection: one taken over since stays
  // with the connection that took it.
  if (_has_registered && holds_uid_entry(_first_registered)) out->ids.push_back(_first_registered);
  if (_more_registered)
    for (int uid : *_more_registered)
      if (holds_uid_entry(uid)) out->ids.push_back(uid);
  out->lastId = _flag;
  out->announce = _conn_type == 0;
  return _webUnit->carry_out(out);
}

int CDecoderUnit::carry_in(const TConnCarry& in) {
  _ip = in.addr;
  _gate.adopt(in.addr, in.awaitingHeader);
  for (int uid : in.ids) {
    add_registered_uid(uid);
    _helperpool->m_objmap[uid] = this;
  }
  _flag = in.lastId;
  _conn_type = in.announce ? 0 : 1;
  hall_transport::CTransport* transport =
      hall_transport::new_transport(static_cast<hall_transport::TTransportKind>(in.kind), _fd);
  if (transport == nullptr) return -1;
  _webUnit = new (std::nothrow) CClientUnit(this, _fd, transport);
  if (_webUnit == nullptr) {
    delete transport;
    return -1;
  }
  return _webUnit->carry_in(in);
}

void CDecoderUnit::let_go() {
  _ending = true;
  release_routes();
  if (_webUnit != nullptr)
    _webUnit->let_go();
  else
    ::close(_fd);
  CListener* listener = _listener;
  delete this;
  if (listener != nullptr) listener->connection_ended();
}

int CDecoderUnit::web_input() {
  const int stage = _webUnit->stage();
  switch (stage) {
    case CONN_IDLE:
    case CONN_DATA_RECVING:
    case CONN_RECV_DONE:
      return 0;
    case CONN_FATAL_ERROR:
      log_error("web input fatal error, webfd[%d], stage[%d]", _fd, CONN_FATAL_ERROR);
      break;
    case CONN_DATA_ERROR:
      log_warning("web input decode error, webfd[%d], stage[%d]", _fd, CONN_DATA_ERROR);
      break;
    case CONN_DISCONNECT:
      depart();
      return 1;
    default:
      log_error("web input unknow status, webfd[%d], stage[%d]", _fd, stage);
      break;
  }
  complete();
  return 1;
}

int CDecoderUnit::web_output() {
  const int stage = _webUnit->stage();
  switch (stage) {
    case CONN_SEND_DONE:
      log_debug("reponse data completed, netfd[%d]", _fd);
      return 1;
    case CONN_DATA_SENDING:
    case CONN_APPEND_SENDING:
    case CONN_APPEND_DONE:
      break;
    default:
      log_debug("response data to client failed, netfd[%d],stage[%d]", _fd, stage);
      complete();
      return 1;
  }

  if (_webUnit->send() < 0) {
    complete();
    return 1;
  }
  switch (_webUnit->stage()) {
    case CONN_SEND_DONE:
      log_debug("response data complete, netfd[%d]", _fd);
      return 1;
    case CONN_DATA_SENDING:
    case CONN_APPEND_SENDING:
    case CONN_APPEND_DONE:
      log_debug("responsing data, netfd[%d]", _fd);
      return 1;
    default:
      log_debug("response data to client failed, netfd[%d]", _fd);
      complete();
      return 1;
  }
}

int CDecoderUnit::web_timer() {
  complete();
  return 1;
}

int CDecoderUnit::web_hangup() {
  depart();
  return 1;
}

bool CDecoderUnit::holds_uid_entry(int uid) const {
  if (uid <= 0 || _helperpool == nullptr) return false;
  CHelperPool::ClientMap::const_iterator it = _helperpool->m_objmap.find(uid);
  return it != _helperpool->m_objmap.end() && it->second == this;
}

bool CDecoderUnit::holds_any_route() const {
  if (_has_registered && holds_uid_entry(_first_registered)) return true;
  if (_more_registered)
    for (int uid : *_more_registered)
      if (holds_uid_entry(uid)) return true;
  return false;
}

int CDecoderUnit::ProcessUserClose() {
  if (_has_registered) announce_departure(_first_registered);
  if (_more_registered)
    for (int uid : *_more_registered) announce_departure(uid);
  return 0;
}

void CDecoderUnit::announce_departure(int uid) {
  // A connection whose id was taken over by a later one has not left the hall: the
  // id lives on there, so nothing is announced.
  if (!holds_uid_entry(uid)) return;

  if (g_pDebugLog != nullptr) g_pDebugLog->logMsg("%s||Connect close, uid:[%d]", "ProcessUserClose", uid);

  // The notice travels plain (code 0): int uid, int own svid.
  NETOutputPacket notice;
  notice.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  notice.WriteInt(uid);
  notice.WriteInt(TGlobal::_svid);
  notice.End();

  if (TGlobal::_udpSwitch != 0 && LogFile != nullptr) LogFile->writeUserLeaveHall(uid, TGlobal::_ip, TGlobal::_port);

  std::vector<int>& svids = _helperpool->m_svidlist;
  if (svids.empty()) return;
  const int svid = TGlobal::LoopSvid(svids);
  if (g_pDebugLog != nullptr) g_pDebugLog->logMsg("svid [%d]", svid);

  std::map<int, CHelperUnit*>::iterator it = _helperpool->m_helpermap.find(svid);
  if (it == _helperpool->m_helpermap.end()) {
    if (g_pErrorLog != nullptr) g_pErrorLog->logMsg("%s||Cannot find helper, svid:[%d]", "ProcessUserClose", svid);
    return;
  }
  // Written with the forwards before the loop sleeps, in their order.
  if (it->second != nullptr &&
      it->second->defer_pkg(notice.packet_buf(), static_cast<unsigned>(notice.packet_size()), _helperTimer) < 0)
    log_error("close notice of uid [%d] dropped", uid);
}

}  // namespace __http_svr_ns__
