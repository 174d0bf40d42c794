#include "registration/redis_server.h"

#include <arpa/inet.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <json/json.h>
#include <netdb.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <new>

#include "acceptor/acceptor.h"
#include "log.h"
#include "poller.h"
#include "sentinel/redis_bounds.h"
#include "timerlist.h"

namespace __http_svr_ns__ {

namespace {

struct timeval timeout_tv() {
  struct timeval tv;
  tv.tv_sec = CRedisServer::kTimeoutMs / 1000;
  tv.tv_usec = (CRedisServer::kTimeoutMs % 1000) * 1000;
  return tv;
}

}  // namespace

const char* const CRedisServer::kAliveKey = "HALLSERVER_ALIVE";

namespace {

// The first IPv4 address of a lookup's answer, as text; "" when there is none.
std::string first_address(const struct addrinfo* found) {
  for (const struct addrinfo* p = found; p != nullptr; p = p->ai_next) {
    char text[INET_ADDRSTRLEN];
    if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
    const struct sockaddr_in* a = reinterpret_cast<const struct sockaddr_in*>(p->ai_addr);
    if (inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text)) != nullptr) return text;
  }
  return "";
}

// The registration that refreshes itself; one per process.
CRedisServer* g_refreshing = nullptr;
// Its CPollerSlots registration while it refreshes, 0 for none.
int g_slots_id = 0;

// Unanswered intervals after which the asynchronous link is given up and reopened.
const int kSkipsBeforeReconnect = 3;

}  // namespace

// The asynchronous link's socket in the gateway's poller. hiredis owns the descriptor:
// the link registers it, follows hiredis's read and write wishes, and leaves the poller
// (without closing anything) when hiredis cleans up, before hiredis closes it.
//
// hiredis aborts the process (a failed assertion) on a reply that no command of the link
// waits for, unless it is an error reply. The link's reader therefore refuses such a
// reply before it is made: hiredis then drops the link as after any unreadable reply.
class CRedisServer::CLink : public CPollerObject {
 public:
  // A probe link carries questions to a sentinel; the other one the registration.
  CLink(CRedisServer* owner, CPollerUnit* unit, bool probe) : CPollerObject(unit, -1), _owner(owner), _isProbe(probe) {}
  ~CLink() override { Release(); }

  // Takes over the hooks and the reader of `ac` and registers its socket with no
  // interest yet.
  bool Bind(redisAsyncContext* ac) {
    _ac = ac;
    _unasked = false;
    GuardReader(ac->c.reader);
    ac->ev.data = this;
    ac->ev.addRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, true); };
    ac->ev.delRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, false); };
    ac->ev.addWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, true); };
    ac->ev.delWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, false); };
    ac->ev.cleanup = [](void* p) {
      CLink* link = static_cast<CLink*>(p);
      if (link->_tooLarge && link->_ac != nullptr)
        log_error("redis %s:%d: reply past %zu bytes or %lld elements: connection dropped",
                  link->_ac->c.tcp.host != nullptr ? link->_ac->c.tcp.host : "?", link->_ac->c.tcp.port,
                  kSentinelReplyBytes, kRedisMaxElements);
      link->_tooLarge = false;
      link->Release();
      // The reader's refusal reads as "Out of memory" in hiredis's error text.
      if (link->_unasked && !link->_isProbe) link->_owner->Lost("a reply that no command asked for");
      if (link->_isProbe)
        link->_owner->ProbeGone();
      else
        link->_owner->LinkGone();
    };
    netfd = ac->c.fd;
    newEvents = 0;
    return AttachPoller() == 0;
  }
  // Leaves the poller; the descriptor stays hiredis's.
  void Release() {
    DetachPoller();
    netfd = -1;
    newEvents = oldEvents = 0;
    _ac = nullptr;
  }

  int InputNotify() override {
    if (_ac != nullptr) redisAsyncHandleRead(_ac);
    // A reply growing past its bound (a bulk length no answer of ours has) ends the link
    // as a hang-up does: the registration's link is reopened, a sentinel's is skipped.
    if (_ac != nullptr && reader_pending(_ac->c.reader) > kSentinelReplyBytes) {
      _tooLarge = true;
      return HangupNotify();
    }
    return _ac == nullptr ? 1 : 0;
  }
  int OutputNotify() override {
    // Also completes the connect: the first writable event is hiredis's sign of it.
    if (_ac != nullptr) redisAsyncHandleWrite(_ac);
    return _ac == nullptr ? 1 : 0;
  }
  int HangupNotify() override {
    if (!_isProbe) {
      _owner->DropLink("connection failed or closed");
    } else if (_owner->_probe != nullptr) {
      redisAsyncContext* ac = _owner->_probe;
      _owner->_probe = nullptr;
      redisAsyncFree(ac);  // its cleanup moves on to the next sentinel
    }
    return 1;
  }

 private:
  void Want(int event, bool on) {
    if (on)
      newEvents |= event;
    else
      newEvents &= ~event;
    ApplyEvents();
  }

  // hiredis's own reply builders, with the check in front of every top-level reply.
  static const redisReplyObjectFunctions* _plain;
  static redisReplyObjectFunctions _guarded;
  void GuardReader(redisReader* r) {
    if (_plain == nullptr) {
      _plain = r->fn;
      _guarded = *_plain;
      _guarded.createString = [](const redisReadTask* t, char* str, size_t len) -> void* {
        return t->type != REDIS_REPLY_ERROR && Unasked(t) ? nullptr : _plain->createString(t, str, len);
      };
      _guarded.createArray = [](const redisReadTask* t, int n) -> void* {
        if (!redis_array_allowed(n)) {
          CLink* link = static_cast<CLink*>(t->privdata);
          if (link != nullptr) link->_tooLarge = true;
          return nullptr;
        }
        return Unasked(t) ? nullptr : _plain->createArray(t, n);
      };
      _guarded.createInteger = [](const redisReadTask* t, long long v) -> void* {
        return Unasked(t) ? nullptr : _plain->createInteger(t, v);
      };
      _guarded.createNil = [](const redisReadTask* t) -> void* { return Unasked(t) ? nullptr : _plain->createNil(t); };
    }
    if (r->fn != _plain) return;  // a reader of another make: left as it is
    r->fn = &_guarded;
    r->privdata = this;  // handed to every read task
  }
  // A whole reply (not an element of one) while no command of the link waits for one.
  static bool Unasked(const redisReadTask* t) {
    CLink* link = static_cast<CLink*>(t->privdata);
    if (t->parent != nullptr || link == nullptr || link->_ac == nullptr || link->_ac->replies.head != nullptr)
      return false;
    link->_unasked = true;
    return true;
  }

  CRedisServer* _owner;
  bool _isProbe;
  bool _unasked = false;   // the reader refused a reply that answered no command
  bool _tooLarge = false;  // a reply passed kSentinelReplyBytes or kRedisMaxElements
  redisAsyncContext* _ac = nullptr;
};

const redisReplyObjectFunctions* CRedisServer::CLink::_plain = nullptr;
redisReplyObjectFunctions CRedisServer::CLink::_guarded;

struct CRedisServer::TLookup {
  std::string name;
  struct addrinfo hints;
  struct gaicb request;
};

class CRedisServer::CTick : public CTimerObject {
 public:
  explicit CTick(CRedisServer* owner) : _owner(owner) {}
  void TimerNotify() override { _owner->Refresh(); }

 private:
  CRedisServer* _owner;
};

class CRedisServer::CStep : public CTimerObject {
 public:
  explicit CStep(CRedisServer* owner) : _owner(owner) {}
  void TimerNotify() override { _owner->StepDue(); }

 private:
  CRedisServer* _owner;
};

CRedisServer::CRedisServer() : _port(0), _redisConn(nullptr), _redisReply(nullptr) {}

CRedisServer::~CRedisServer() {
  StopRefresh();
  if (_redisConn != nullptr) {
    redisFree(_redisConn);
    _redisConn = nullptr;
  }
}

void CRedisServer::SetSentinels(const std::vector<TRedisAddress>& sentinels, const std::string& name) {
  _sentinels = sentinels;
  _masterName = name;
}

int CRedisServer::Connect(std::string& ip, int port) {
  _ip = ip;
  _port = port;
  _linkHost.clear();
  if (_redisConn != nullptr) {
    redisFree(_redisConn);
    _redisConn = nullptr;
  }
  if (Following()) {
    _redisConn = connect_to_master(_sentinels, _masterName, timeout_tv(), &_master);
    if (_redisConn == nullptr) {
      log_error("redis master %s: no sentinel named one that answers as master, registration not written",
                _masterName.c_str());
      return -1;
    }
    _ip = _master.ip;
    _port = _master.port;
    log_notice("redis master %s at %s:%d", _masterName.c_str(), _ip.c_str(), _port);
    return 0;
  }

  // A plain blocking connect to an address that never answers would hold start-up
  // for the kernel's whole SYN retry time; the bound keeps the gateway starting.
  redisContext* c = redisConnectWithTimeout(ip.c_str(), port, timeout_tv());
  if (c == nullptr) {
    log_error("redis connect %s:%d failed: no context, registration not written", ip.c_str(), port);
    return -1;
  }
  if (c->err != 0) {
    log_error("redis connect %s:%d failed: %s, registration not written", ip.c_str(), port, c->errstr);
    redisFree(c);
    return -1;
  }
  // The same bound for the registration command itself: a server that accepts but
  // never replies must not hang start-up either.
  redisSetTimeout(c, timeout_tv());
  _redisConn = c;
  // The address reached, for a removal without a refresh (see Withdraw).
  struct sockaddr_in peer;
  socklen_t len = sizeof(peer);
  char text[INET_ADDRSTRLEN];
  if (getpeername(c->fd, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
      inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) != nullptr)
    _linkHost = text;
  return 0;
}

std::string CRedisServer::RecordValue(const std::string& ip, int port, int svid) {
  Json::Value value;
  value["IP"] = ip;
  value["PORT"] = port;
  value["SVID"] = svid;
  Json::FastWriter writer;
  return writer.write(value);  // members in key order, ends in a line feed
}

std::string CRedisServer::RecordField(int svid) {
  char field[32];
  snprintf(field, sizeof(field), "HALLSERVER%d", svid);
  return field;
}

int CRedisServer::SetInfo(std::string ip, int port, int svid) {
  char key[32];
  char field[32];
  snprintf(key, sizeof(key), "%s", "HALLSERVER");
  snprintf(field, sizeof(field), "%s", RecordField(svid).c_str());

  if (_redisConn == nullptr) {
    log_error("no redis connection, registration not written: %s %s", key, field);
    return 0;
  }

  std::string value = RecordValue(ip, port, svid);
  // The whole reply within the time-out and its bounds: a server that trickles or floods
  // its answer cannot hold start-up.
  _redisReply =
      bounded_command(_redisConn, kTimeoutMs, kSentinelReplyBytes, nullptr, "HSET %s %s %s", key, field, value.c_str());
  if (_redisReply == nullptr) {
    log_error("redis HSET %s %s failed: %s, registration not written", key, field, _redisConn->errstr);
    return 0;
  }
  if (_redisReply->type == REDIS_REPLY_ERROR) {
    log_error("redis HSET %s %s refused: %s, registration not written", key, field, _redisReply->str);
  }
  freeReplyObject(_redisReply);
  _redisReply = nullptr;
  return 0;
}

int CRedisServer::StartRefresh(CPollerUnit* unit, CTimerUnit* timers, int interval, const std::string& ip, int port,
                               int svid) {
  if (interval <= 0 || unit == nullptr || timers == nullptr || g_refreshing != nullptr) return -1;
  // hiredis resolves the host at every connect, and a name lookup can block: the loop
  // connects to an address known at start-up. The one start-up's connection reached
  // serves as it is; otherwise the name is resolved here, once.
  if (Following() || _linkHost.empty()) {
    _linkHost.clear();
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(_ip.c_str(), nullptr, &hints, &found) == 0) _linkHost = first_address(found);
    if (found != nullptr) freeaddrinfo(found);
    if (_linkHost.empty() && !Following()) StartLookup();
  }

  _record = RecordValue(ip, port, svid);
  _svid = svid;
  _link = new (std::nothrow) CLink(this, unit, false);
  _tick = new (std::nothrow) CTick(this);
  _probeLink = new (std::nothrow) CLink(this, unit, true);
  _step = new (std::nothrow) CStep(this);
  if (_link == nullptr || _tick == nullptr || _probeLink == nullptr || _step == nullptr) {
    log_error("create the registration refresh failed");
    StopRefresh();
    return -1;
  }
  _tickList = timers->GetTimerList(interval);
  _timers = timers;
  _stopping = false;
  g_refreshing = this;
  if (g_slots_id == 0) g_slots_id = hall_acceptor::CPollerSlots::keep(&CRedisServer::PollerSlotsKept);
  Refresh();
  return 0;
}

void CRedisServer::StartLookup() {
  if (_lookup != nullptr) return;
  TLookup* l = new (std::nothrow) TLookup();
  if (l == nullptr) return;
  l->name = _ip;
  l->hints.ai_family = AF_INET;
  l->hints.ai_socktype = SOCK_STREAM;
  l->request.ar_name = l->name.c_str();
  l->request.ar_request = &l->hints;
  struct gaicb* list[1] = {&l->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete l;
    return;
  }
  _lookup = l;
}

void CRedisServer::EndLookup() {
  if (_lookup == nullptr) return;
  gai_cancel(&_lookup->request);
  if (gai_error(&_lookup->request) == EAI_INPROGRESS) {
    _lookup = nullptr;  // still running in its thread, which uses the record: it is left to it
    return;
  }
  if (_lookup->request.ar_result != nullptr) freeaddrinfo(_lookup->request.ar_result);
  delete _lookup;
  _lookup = nullptr;
}

bool CRedisServer::LinkHostKnown() {
  if (!_linkHost.empty()) return true;
  if (_lookup == nullptr) {
    StartLookup();
    return false;
  }
  const int err = gai_error(&_lookup->request);
  if (err == EAI_INPROGRESS) return false;
  if (err == 0) _linkHost = first_address(_lookup->request.ar_result);
  EndLookup();
  if (_linkHost.empty()) StartLookup();  // failed: asked again, still in the background
  return !_linkHost.empty();
}

void CRedisServer::StopRefresh() {
  _stopping = true;
  EndLookup();
  if (_async != nullptr) redisAsyncFree(_async);  // its cleanup releases the link
  _async = nullptr;
  if (_probe != nullptr) redisAsyncFree(_probe);
  _probe = nullptr;
  delete _link;
  _link = nullptr;
  delete _probeLink;
  _probeLink = nullptr;
  delete _step;
  _step = nullptr;
  delete _tick;  // leaves its timer list
  _tick = nullptr;
  _tickList = nullptr;
  if (g_refreshing == this) {
    g_refreshing = nullptr;
    hall_acceptor::CPollerSlots::forget(g_slots_id);
    g_slots_id = 0;
  }
}

int CRedisServer::PollerSlotsKept() {
  const CRedisServer* r = g_refreshing;
  if (r == nullptr) return 0;
  // While following the master, a sentinel's link and the master's may be open at once.
  const int slots = r->Following() ? 2 : 1;
  return slots - (r->_async != nullptr ? 1 : 0) - (r->_probe != nullptr ? 1 : 0);
}

bool CRedisServer::QueueCommand(const std::vector<std::string>& args) { return Queue(args, OnReply); }

bool CRedisServer::Queue(const std::vector<std::string>& args, void (*done)(redisAsyncContext*, void*, void*)) {
  // While following the master, nothing goes out before the server has said it is one.
  if (_async == nullptr || args.empty() || (Following() && !_verified)) return false;
  std::vector<const char*> argv;
  std::vector<size_t> lens;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  if (redisAsyncCommandArgv(_async, done, this, static_cast<int>(argv.size()), argv.data(), lens.data()) != REDIS_OK)
    return false;
  ++_pending;
  return true;
}

void CRedisServer::Withdraw(CPollerUnit* unit, int svid) {
  _withdrawn = true;
  _svid = svid;
  delete _tick;  // leaves its timer list: the record is not written again
  _tick = nullptr;
  if (_link == nullptr && unit != nullptr) {
    // No refresh ever ran (RegisterInterval 0): the link is made here, to the address
    // start-up reached or to the master the sentinels named then. A name is not looked
    // up here, on the loop: start-up that reached no address wrote no record.
    _link = new (std::nothrow) CLink(this, unit, false);
    struct in_addr numeric;
    if (_linkHost.empty() && inet_pton(AF_INET, _ip.c_str(), &numeric) == 1) _linkHost = _ip;
    _verified = true;
  }
  if (_link == nullptr) return;
  // Until both removals are queued, the drain counts them as unanswered: a search for the
  // master still running queues them as soon as it confirms one.
  _removalDue = true;
  if (Following() && _async == nullptr && _phase == kIdle && _probeLink != nullptr) StartSearch();
  if (_async == nullptr && (!Following() || _verified)) OpenLink();
  WriteRecord();
}

void CRedisServer::Refresh() {
  _tick->AttachTimer(_tickList);
  if (_async != nullptr && _pending > 0) {
    // Writing on would only pile commands up in front of a Redis that does not read.
    if (++_skipped < kSkipsBeforeReconnect) return;
    DropLink("no answer for three intervals");
  }
  _skipped = 0;
  if (Following()) {
    if (_async == nullptr && _phase == kIdle) StartSearch();
    if (_async == nullptr || !_verified) return;  // written once the master is confirmed
  }
  if (_async == nullptr) OpenLink();
  if (_async == nullptr) return;
  WriteRecord();
}

void CRedisServer::WriteRecord() {
  const std::string field = RecordField(_svid);
  _refused = false;
  if (_withdrawn) {
    // The gateway has left: a link to the (new) master carries the removal instead.
    if (Queue({"HDEL", "HALLSERVER", field}, OnRemovalReply) && Queue({"HDEL", kAliveKey, field}, OnRemovalReply))
      _removalDue = false;
    return;
  }
  QueueCommand({"HSET", "HALLSERVER", field, _record});
  QueueCommand({"HSET", kAliveKey, field, std::to_string(static_cast<long long>(time(nullptr)))});
}

void CRedisServer::OpenLink() {
  if (!LinkHostKnown()) {
    Lost("host name not resolved (yet)");
    return;
  }
  // A non-blocking connect: its outcome arrives as an event on the poller.
  redisAsyncContext* ac = redisAsyncConnect(_linkHost.c_str(), _port);
  if (ac == nullptr) {
    Lost("no context");
    return;
  }
  if (ac->err != 0) {
    Lost(ac->errstr);
    redisAsyncFree(ac);
    return;
  }
  _async = ac;
  _pending = 0;
  if (!_link->Bind(ac)) DropLink("no poller slot");
}

void CRedisServer::DropLink(const char* why) {
  if (_async == nullptr) return;
  Lost(why);
  redisAsyncFree(_async);  // answers the pending commands with nothing, then cleans up
  _async = nullptr;
}

void CRedisServer::LinkGone() {
  if (_async != nullptr && _async->err != 0) Lost(_async->errstr);
  _async = nullptr;
  _pending = 0;
  _skipped = 0;
  // Without a refresh (a link opened by Withdraw alone) there is no timer to search with:
  // the master named at start-up is not sought again.
  if (!Following() || _stopping || _step == nullptr) return;
  _verified = false;
  if (_phase == kVerifying) {
    AskNext();  // the server named did not hold: the next sentinel may know better
  } else if (_phase == kIdle && time(nullptr) - _verifiedAt >= 1) {
    StartSearch();  // at once: the master may only have dropped this connection
  } else if (_phase == kIdle) {
    WaitBeforeSearch();  // a master that drops every link at once is not asked for again and again
  }
}

void CRedisServer::Lost(const char* why) {
  if (_outage) return;
  _outage = true;
  log_warning("redis %s:%d: registration refresh failed: %s; retried every interval", _ip.c_str(), _port, why);
}

void CRedisServer::OnReply(redisAsyncContext*, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  if (self->_pending > 0) --self->_pending;
  const redisReply* r = static_cast<const redisReply*>(reply);
  if (r == nullptr) return;  // the link went away first
  if (lost_master_reply(r) && self->_async != nullptr) {
    // A replica, or a server still loading: the link closes and the master is sought
    // again (without sentinels, the next interval reconnects).
    self->Lost(r->str);
    redisAsyncDisconnect(self->_async);
    return;
  }
  if (r->type == REDIS_REPLY_ERROR) {
    self->_refused = true;
    self->Lost(r->str);
  } else if (self->_pending == 0 && !self->_refused && self->_outage && !self->_withdrawn) {
    self->_outage = false;
    log_notice("redis %s:%d: registration refreshed again", self->_ip.c_str(), self->_port);
  }
}

void CRedisServer::OnRemovalReply(redisAsyncContext* ac, void* reply, void* privdata) {
  // A removal that Redis refused, or whose link went first, is due again: a master found
  // later carries it, and until then the drain does not count it as done.
  const redisReply* r = static_cast<const redisReply*>(reply);
  if (r == nullptr || r->type == REDIS_REPLY_ERROR) static_cast<CRedisServer*>(privdata)->_removalDue = true;
  OnReply(ac, reply, privdata);
}

void CRedisServer::StartSearch() {
  _nextSentinel = 0;
  AskNext();
}

void CRedisServer::AskNext() {
  _step->DisableTimer();
  _phase = kWaiting;  // until a question is out: a probe freed below must not call back here
  for (;;) {
    if (_nextSentinel >= _sentinels.size()) {
      Lost("no sentinel named a master that answers as one");
      WaitBeforeSearch();
      return;
    }
    const TRedisAddress& s = _sentinels[_nextSentinel++];
    redisAsyncContext* ac = redisAsyncConnect(s.ip.c_str(), s.port);
    if (ac == nullptr) continue;
    if (ac->err != 0 || !_probeLink->Bind(ac) ||
        redisAsyncCommand(ac, OnSentinelReply, this, "SENTINEL get-master-addr-by-name %s", _masterName.c_str()) !=
            REDIS_OK) {
      redisAsyncFree(ac);
      continue;
    }
    _probe = ac;
    _phase = kAsking;
    _step->AttachTimer(_timers->GetTimerList(kStepSeconds));
    return;
  }
}

int CRedisServer::SearchWaitSeconds(int failedRounds) {
  int wait = 1;
  for (int i = 2; i < failedRounds && wait < kMaxBackoffSeconds; ++i) wait *= 2;
  return wait;
}

void CRedisServer::WaitBeforeSearch() {
  _phase = kWaiting;
  _step->AttachTimer(_timers->GetTimerList(SearchWaitSeconds(++_failedRounds)));
}

void CRedisServer::ProbeGone() {
  _probe = nullptr;
  if (!_stopping && _phase == kAsking) AskNext();
}

void CRedisServer::StepDue() {
  if (_phase == kWaiting) {
    StartSearch();
  } else if (_phase == kAsking && _probe != nullptr) {
    redisAsyncContext* ac = _probe;
    _probe = nullptr;
    redisAsyncFree(ac);  // the sentinel is skipped: its cleanup asks the next one
  } else if (_phase == kVerifying) {
    DropLink("the named master did not answer ROLE in time");  // its cleanup asks the next one
  }
}

void CRedisServer::OnSentinelReply(redisAsyncContext* ac, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  TRedisAddress master;
  if (reply == nullptr || self->_probe != ac) return;  // the link is going; its cleanup moves on
  const bool named = sentinel_master_address(static_cast<const redisReply*>(reply), &master);
  if (named && self->_async == nullptr) self->_phase = kVerifying;
  redisAsyncDisconnect(ac);  // closes once this callback returns; its cleanup moves on unless verifying
  if (self->_phase == kVerifying) self->Verify(master);
}

void CRedisServer::Verify(const TRedisAddress& master) {
  _master = master;
  _step->AttachTimer(_timers->GetTimerList(kStepSeconds));
  redisAsyncContext* ac = redisAsyncConnect(master.ip.c_str(), master.port);
  if (ac == nullptr || ac->err != 0) {
    if (ac != nullptr) redisAsyncFree(ac);
    _phase = kAsking;  // the probe's cleanup asks the next sentinel
    return;
  }
  _async = ac;
  _pending = 0;
  _verified = false;
  if (!_link->Bind(ac) || redisAsyncCommand(ac, OnRoleReply, this, "ROLE") != REDIS_OK) {
    _phase = kAsking;
    DropLink("no poller slot");
  }
}

void CRedisServer::OnRoleReply(redisAsyncContext* ac, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  if (reply == nullptr || self->_async != ac) return;  // the link is going; its cleanup moves on
  if (!role_is_master(static_cast<const redisReply*>(reply))) {
    self->Lost("the server a sentinel named is not the master");
    redisAsyncDisconnect(ac);
    return;
  }
  self->_step->DisableTimer();
  self->_phase = kIdle;
  self->_failedRounds = 0;
  self->_verified = true;
  self->_verifiedAt = time(nullptr);
  self->_ip = self->_master.ip;
  self->_port = self->_master.port;
  log_notice("redis master %s at %s:%d", self->_masterName.c_str(), self->_ip.c_str(), self->_port);
  self->WriteRecord();
}

}  // namespace __http_svr_ns__
