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
  CLink(CRedisServer* owner, CPollerUnit* unit, bool probe) : CPollerObject(unit, -1), owner_(owner), probe_(probe) {}
  ~CLink() override { Release(); }

  // Takes over the hooks and the reader of `ac` and registers its socket with no
  // interest yet.
  bool Bind(redisAsyncContext* ac) {
    ac_ = ac;
    unasked_ = false;
    GuardReader(ac->c.reader);
    ac->ev.data = this;
    ac->ev.addRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, true); };
    ac->ev.delRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, false); };
    ac->ev.addWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, true); };
    ac->ev.delWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, false); };
    ac->ev.cleanup = [](void* p) {
      CLink* link = static_cast<CLink*>(p);
      if (link->too_large_ && link->ac_ != nullptr)
        log_error("redis %s:%d: reply past %zu bytes or %lld elements: connection dropped",
                  link->ac_->c.tcp.host != nullptr ? link->ac_->c.tcp.host : "?", link->ac_->c.tcp.port,
                  kSentinelReplyBytes, kRedisMaxElements);
      link->too_large_ = false;
      link->Release();
      // The reader's refusal reads as "Out of memory" in hiredis's error text.
      if (link->unasked_ && !link->probe_) link->owner_->Lost("a reply that no command asked for");
      if (link->probe_)
        link->owner_->ProbeGone();
      else
        link->owner_->LinkGone();
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
    ac_ = nullptr;
  }

  int InputNotify() override {
    if (ac_ != nullptr) redisAsyncHandleRead(ac_);
    // A reply growing past its bound (a bulk length no answer of ours has) ends the link
    // as a hang-up does: the registration's link is reopened, a sentinel's is skipped.
    if (ac_ != nullptr && reader_pending(ac_->c.reader) > kSentinelReplyBytes) {
      too_large_ = true;
      return HangupNotify();
    }
    return ac_ == nullptr ? 1 : 0;
  }
  int OutputNotify() override {
    // Also completes the connect: the first writable event is hiredis's sign of it.
    if (ac_ != nullptr) redisAsyncHandleWrite(ac_);
    return ac_ == nullptr ? 1 : 0;
  }
  int HangupNotify() override {
    if (!probe_) {
      owner_->DropLink("connection failed or closed");
    } else if (owner_->m_probe != nullptr) {
      redisAsyncContext* ac = owner_->m_probe;
      owner_->m_probe = nullptr;
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
  static const redisReplyObjectFunctions* plain_;
  static redisReplyObjectFunctions guarded_;
  void GuardReader(redisReader* r) {
    if (plain_ == nullptr) {
      plain_ = r->fn;
      guarded_ = *plain_;
      guarded_.createString = [](const redisReadTask* t, char* str, size_t len) -> void* {
        return t->type != REDIS_REPLY_ERROR && Unasked(t) ? nullptr : plain_->createString(t, str, len);
      };
      guarded_.createArray = [](const redisReadTask* t, int n) -> void* {
        if (!redis_array_allowed(n)) {
          CLink* link = static_cast<CLink*>(t->privdata);
          if (link != nullptr) link->too_large_ = true;
          return nullptr;
        }
        return Unasked(t) ? nullptr : plain_->createArray(t, n);
      };
      guarded_.createInteger = [](const redisReadTask* t, long long v) -> void* {
        return Unasked(t) ? nullptr : plain_->createInteger(t, v);
      };
      guarded_.createNil = [](const redisReadTask* t) -> void* { return Unasked(t) ? nullptr : plain_->createNil(t); };
    }
    if (r->fn != plain_) return;  // a reader of another make: left as it is
    r->fn = &guarded_;
    r->privdata = this;  // handed to every read task
  }
  // A whole reply (not an element of one) while no command of the link waits for one.
  static bool Unasked(const redisReadTask* t) {
    CLink* link = static_cast<CLink*>(t->privdata);
    if (t->parent != nullptr || link == nullptr || link->ac_ == nullptr || link->ac_->replies.head != nullptr)
      return false;
    link->unasked_ = true;
    return true;
  }

  CRedisServer* owner_;
  bool probe_;
  bool unasked_ = false;    // the reader refused a reply that answered no command
  bool too_large_ = false;  // a reply passed kSentinelReplyBytes or kRedisMaxElements
  redisAsyncContext* ac_ = nullptr;
};

const redisReplyObjectFunctions* CRedisServer::CLink::plain_ = nullptr;
redisReplyObjectFunctions CRedisServer::CLink::guarded_;

struct CRedisServer::TLookup {
  std::string name;
  struct addrinfo hints;
  struct gaicb request;
};

class CRedisServer::CTick : public CTimerObject {
 public:
  explicit CTick(CRedisServer* owner) : owner_(owner) {}
  void TimerNotify() override { owner_->Refresh(); }

 private:
  CRedisServer* owner_;
};

class CRedisServer::CStep : public CTimerObject {
 public:
  explicit CStep(CRedisServer* owner) : owner_(owner) {}
  void TimerNotify() override { owner_->StepDue(); }

 private:
  CRedisServer* owner_;
};

CRedisServer::CRedisServer() : m_nPort(0), m_pRedisConn(nullptr), m_pRedisReply(nullptr) {}

CRedisServer::~CRedisServer() {
  StopRefresh();
  if (m_pRedisConn != nullptr) {
    redisFree(m_pRedisConn);
    m_pRedisConn = nullptr;
  }
}

void CRedisServer::SetSentinels(const std::vector<TRedisAddress>& sentinels, const std::string& name) {
  m_sentinels = sentinels;
  m_masterName = name;
}

int CRedisServer::Connect(std::string& ip, int port) {
  m_strIp = ip;
  m_nPort = port;
  m_linkHost.clear();
  if (m_pRedisConn != nullptr) {
    redisFree(m_pRedisConn);
    m_pRedisConn = nullptr;
  }
  if (Following()) {
    m_pRedisConn = connect_to_master(m_sentinels, m_masterName, timeout_tv(), &m_master);
    if (m_pRedisConn == nullptr) {
      log_error("redis master %s: no sentinel named one that answers as master, registration not written",
                m_masterName.c_str());
      return -1;
    }
    m_strIp = m_master.ip;
    m_nPort = m_master.port;
    log_notice("redis master %s at %s:%d", m_masterName.c_str(), m_strIp.c_str(), m_nPort);
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
  m_pRedisConn = c;
  // The address reached, for a removal without a refresh (see Withdraw).
  struct sockaddr_in peer;
  socklen_t len = sizeof(peer);
  char text[INET_ADDRSTRLEN];
  if (getpeername(c->fd, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
      inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) != nullptr)
    m_linkHost = text;
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

  if (m_pRedisConn == nullptr) {
    log_error("no redis connection, registration not written: %s %s", key, field);
    return 0;
  }

  std::string value = RecordValue(ip, port, svid);
  // The whole reply within the time-out and its bounds: a server that trickles or floods
  // its answer cannot hold start-up.
  m_pRedisReply = bounded_command(m_pRedisConn, kTimeoutMs, kSentinelReplyBytes, nullptr, "HSET %s %s %s", key, field,
                                  value.c_str());
  if (m_pRedisReply == nullptr) {
    log_error("redis HSET %s %s failed: %s, registration not written", key, field, m_pRedisConn->errstr);
    return 0;
  }
  if (m_pRedisReply->type == REDIS_REPLY_ERROR) {
    log_error("redis HSET %s %s refused: %s, registration not written", key, field, m_pRedisReply->str);
  }
  freeReplyObject(m_pRedisReply);
  m_pRedisReply = nullptr;
  return 0;
}

int CRedisServer::StartRefresh(CPollerUnit* unit, CTimerUnit* timers, int interval, const std::string& ip, int port,
                               int svid) {
  if (interval <= 0 || unit == nullptr || timers == nullptr || g_refreshing != nullptr) return -1;
  // hiredis resolves the host at every connect, and a name lookup can block: the loop
  // connects to an address known at start-up. The one start-up's connection reached
  // serves as it is; otherwise the name is resolved here, once.
  if (Following() || m_linkHost.empty()) {
    m_linkHost.clear();
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(m_strIp.c_str(), nullptr, &hints, &found) == 0) m_linkHost = first_address(found);
    if (found != nullptr) freeaddrinfo(found);
    if (m_linkHost.empty() && !Following()) StartLookup();
  }

  m_record = RecordValue(ip, port, svid);
  m_svid = svid;
  m_link = new (std::nothrow) CLink(this, unit, false);
  m_tick = new (std::nothrow) CTick(this);
  m_probeLink = new (std::nothrow) CLink(this, unit, true);
  m_step = new (std::nothrow) CStep(this);
  if (m_link == nullptr || m_tick == nullptr || m_probeLink == nullptr || m_step == nullptr) {
    log_error("create the registration refresh failed");
    StopRefresh();
    return -1;
  }
  m_tickList = timers->GetTimerList(interval);
  m_timers = timers;
  m_stopping = false;
  g_refreshing = this;
  if (g_slots_id == 0) g_slots_id = hall_acceptor::CPollerSlots::keep(&CRedisServer::PollerSlotsKept);
  Refresh();
  return 0;
}

void CRedisServer::StartLookup() {
  if (m_lookup != nullptr) return;
  TLookup* l = new (std::nothrow) TLookup();
  if (l == nullptr) return;
  l->name = m_strIp;
  l->hints.ai_family = AF_INET;
  l->hints.ai_socktype = SOCK_STREAM;
  l->request.ar_name = l->name.c_str();
  l->request.ar_request = &l->hints;
  struct gaicb* list[1] = {&l->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete l;
    return;
  }
  m_lookup = l;
}

void CRedisServer::EndLookup() {
  if (m_lookup == nullptr) return;
  gai_cancel(&m_lookup->request);
  if (gai_error(&m_lookup->request) == EAI_INPROGRESS) {
    m_lookup = nullptr;  // still running in its thread, which uses the record: it is left to it
    return;
  }
  if (m_lookup->request.ar_result != nullptr) freeaddrinfo(m_lookup->request.ar_result);
  delete m_lookup;
  m_lookup = nullptr;
}

bool CRedisServer::LinkHostKnown() {
  if (!m_linkHost.empty()) return true;
  if (m_lookup == nullptr) {
    StartLookup();
    return false;
  }
  const int err = gai_error(&m_lookup->request);
  if (err == EAI_INPROGRESS) return false;
  if (err == 0) m_linkHost = first_address(m_lookup->request.ar_result);
  EndLookup();
  if (m_linkHost.empty()) StartLookup();  // failed: asked again, still in the background
  return !m_linkHost.empty();
}

void CRedisServer::StopRefresh() {
  m_stopping = true;
  EndLookup();
  if (m_async != nullptr) redisAsyncFree(m_async);  // its cleanup releases the link
  m_async = nullptr;
  if (m_probe != nullptr) redisAsyncFree(m_probe);
  m_probe = nullptr;
  delete m_link;
  m_link = nullptr;
  delete m_probeLink;
  m_probeLink = nullptr;
  delete m_step;
  m_step = nullptr;
  delete m_tick;  // leaves its timer list
  m_tick = nullptr;
  m_tickList = nullptr;
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
  return slots - (r->m_async != nullptr ? 1 : 0) - (r->m_probe != nullptr ? 1 : 0);
}

bool CRedisServer::QueueCommand(const std::vector<std::string>& args) { return Queue(args, OnReply); }

bool CRedisServer::Queue(const std::vector<std::string>& args, void (*done)(redisAsyncContext*, void*, void*)) {
  // While following the master, nothing goes out before the server has said it is one.
  if (m_async == nullptr || args.empty() || (Following() && !m_verified)) return false;
  std::vector<const char*> argv;
  std::vector<size_t> lens;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  if (redisAsyncCommandArgv(m_async, done, this, static_cast<int>(argv.size()), argv.data(), lens.data()) != REDIS_OK)
    return false;
  ++m_pending;
  return true;
}

void CRedisServer::Withdraw(CPollerUnit* unit, int svid) {
  m_withdrawn = true;
  m_svid = svid;
  delete m_tick;  // leaves its timer list: the record is not written again
  m_tick = nullptr;
  if (m_link == nullptr && unit != nullptr) {
    // No refresh ever ran (RegisterInterval 0): the link is made here, to the address
    // start-up reached or to the master the sentinels named then. A name is not looked
    // up here, on the loop: start-up that reached no address wrote no record.
    m_link = new (std::nothrow) CLink(this, unit, false);
    struct in_addr numeric;
    if (m_linkHost.empty() && inet_pton(AF_INET, m_strIp.c_str(), &numeric) == 1) m_linkHost = m_strIp;
    m_verified = true;
  }
  if (m_link == nullptr) return;
  // Until both removals are queued, the drain counts them as unanswered: a search for the
  // master still running queues them as soon as it confirms one.
  m_removalDue = true;
  if (Following() && m_async == nullptr && m_phase == kIdle && m_probeLink != nullptr) StartSearch();
  if (m_async == nullptr && (!Following() || m_verified)) OpenLink();
  WriteRecord();
}

void CRedisServer::Refresh() {
  m_tick->AttachTimer(m_tickList);
  if (m_async != nullptr && m_pending > 0) {
    // Writing on would only pile commands up in front of a Redis that does not read.
    if (++m_skipped < kSkipsBeforeReconnect) return;
    DropLink("no answer for three intervals");
  }
  m_skipped = 0;
  if (Following()) {
    if (m_async == nullptr && m_phase == kIdle) StartSearch();
    if (m_async == nullptr || !m_verified) return;  // written once the master is confirmed
  }
  if (m_async == nullptr) OpenLink();
  if (m_async == nullptr) return;
  WriteRecord();
}

void CRedisServer::WriteRecord() {
  const std::string field = RecordField(m_svid);
  m_refused = false;
  if (m_withdrawn) {
    // The gateway has left: a link to the (new) master carries the removal instead.
    if (Queue({"HDEL", "HALLSERVER", field}, OnRemovalReply) && Queue({"HDEL", kAliveKey, field}, OnRemovalReply))
      m_removalDue = false;
    return;
  }
  QueueCommand({"HSET", "HALLSERVER", field, m_record});
  QueueCommand({"HSET", kAliveKey, field, std::to_string(static_cast<long long>(time(nullptr)))});
}

void CRedisServer::OpenLink() {
  if (!LinkHostKnown()) {
    Lost("host name not resolved (yet)");
    return;
  }
  // A non-blocking connect: its outcome arrives as an event on the poller.
  redisAsyncContext* ac = redisAsyncConnect(m_linkHost.c_str(), m_nPort);
  if (ac == nullptr) {
    Lost("no context");
    return;
  }
  if (ac->err != 0) {
    Lost(ac->errstr);
    redisAsyncFree(ac);
    return;
  }
  m_async = ac;
  m_pending = 0;
  if (!m_link->Bind(ac)) DropLink("no poller slot");
}

void CRedisServer::DropLink(const char* why) {
  if (m_async == nullptr) return;
  Lost(why);
  redisAsyncFree(m_async);  // answers the pending commands with nothing, then cleans up
  m_async = nullptr;
}

void CRedisServer::LinkGone() {
  if (m_async != nullptr && m_async->err != 0) Lost(m_async->errstr);
  m_async = nullptr;
  m_pending = 0;
  m_skipped = 0;
  // Without a refresh (a link opened by Withdraw alone) there is no timer to search with:
  // the master named at start-up is not sought again.
  if (!Following() || m_stopping || m_step == nullptr) return;
  m_verified = false;
  if (m_phase == kVerifying) {
    AskNext();  // the server named did not hold: the next sentinel may know better
  } else if (m_phase == kIdle && time(nullptr) - m_verifiedAt >= 1) {
    StartSearch();  // at once: the master may only have dropped this connection
  } else if (m_phase == kIdle) {
    WaitBeforeSearch();  // a master that drops every link at once is not asked for again and again
  }
}

void CRedisServer::Lost(const char* why) {
  if (m_outage) return;
  m_outage = true;
  log_warning("redis %s:%d: registration refresh failed: %s; retried every interval", m_strIp.c_str(), m_nPort, why);
}

void CRedisServer::OnReply(redisAsyncContext*, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  if (self->m_pending > 0) --self->m_pending;
  const redisReply* r = static_cast<const redisReply*>(reply);
  if (r == nullptr) return;  // the link went away first
  if (lost_master_reply(r) && self->m_async != nullptr) {
    // A replica, or a server still loading: the link closes and the master is sought
    // again (without sentinels, the next interval reconnects).
    self->Lost(r->str);
    redisAsyncDisconnect(self->m_async);
    return;
  }
  if (r->type == REDIS_REPLY_ERROR) {
    self->m_refused = true;
    self->Lost(r->str);
  } else if (self->m_pending == 0 && !self->m_refused && self->m_outage && !self->m_withdrawn) {
    self->m_outage = false;
    log_notice("redis %s:%d: registration refreshed again", self->m_strIp.c_str(), self->m_nPort);
  }
}

void CRedisServer::OnRemovalReply(redisAsyncContext* ac, void* reply, void* privdata) {
  // A removal that Redis refused, or whose link went first, is due again: a master found
  // later carries it, and until then the drain does not count it as done.
  const redisReply* r = static_cast<const redisReply*>(reply);
  if (r == nullptr || r->type == REDIS_REPLY_ERROR) static_cast<CRedisServer*>(privdata)->m_removalDue = true;
  OnReply(ac, reply, privdata);
}

void CRedisServer::StartSearch() {
  m_nextSentinel = 0;
  AskNext();
}

void CRedisServer::AskNext() {
  m_step->DisableTimer();
  m_phase = kWaiting;  // until a question is out: a probe freed below must not call back here
  for (;;) {
    if (m_nextSentinel >= m_sentinels.size()) {
      Lost("no sentinel named a master that answers as one");
      WaitBeforeSearch();
      return;
    }
    const TRedisAddress& s = m_sentinels[m_nextSentinel++];
    redisAsyncContext* ac = redisAsyncConnect(s.ip.c_str(), s.port);
    if (ac == nullptr) continue;
    if (ac->err != 0 || !m_probeLink->Bind(ac) ||
        redisAsyncCommand(ac, OnSentinelReply, this, "SENTINEL get-master-addr-by-name %s", m_masterName.c_str()) !=
            REDIS_OK) {
      redisAsyncFree(ac);
      continue;
    }
    m_probe = ac;
    m_phase = kAsking;
    m_step->AttachTimer(m_timers->GetTimerList(kStepSeconds));
    return;
  }
}

int CRedisServer::SearchWaitSeconds(int failedRounds) {
  int wait = 1;
  for (int i = 2; i < failedRounds && wait < kMaxBackoffSeconds; ++i) wait *= 2;
  return wait;
}

void CRedisServer::WaitBeforeSearch() {
  m_phase = kWaiting;
  m_step->AttachTimer(m_timers->GetTimerList(SearchWaitSeconds(++m_failedRounds)));
}

void CRedisServer::ProbeGone() {
  m_probe = nullptr;
  if (!m_stopping && m_phase == kAsking) AskNext();
}

void CRedisServer::StepDue() {
  if (m_phase == kWaiting) {
    StartSearch();
  } else if (m_phase == kAsking && m_probe != nullptr) {
    redisAsyncContext* ac = m_probe;
    m_probe = nullptr;
    redisAsyncFree(ac);  // the sentinel is skipped: its cleanup asks the next one
  } else if (m_phase == kVerifying) {
    DropLink("the named master did not answer ROLE in time");  // its cleanup asks the next one
  }
}

void CRedisServer::OnSentinelReply(redisAsyncContext* ac, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  TRedisAddress master;
  if (reply == nullptr || self->m_probe != ac) return;  // the link is going; its cleanup moves on
  const bool named = sentinel_master_address(static_cast<const redisReply*>(reply), &master);
  if (named && self->m_async == nullptr) self->m_phase = kVerifying;
  redisAsyncDisconnect(ac);  // closes once this callback returns; its cleanup moves on unless verifying
  if (self->m_phase == kVerifying) self->Verify(master);
}

void CRedisServer::Verify(const TRedisAddress& master) {
  m_master = master;
  m_step->AttachTimer(m_timers->GetTimerList(kStepSeconds));
  redisAsyncContext* ac = redisAsyncConnect(master.ip.c_str(), master.port);
  if (ac == nullptr || ac->err != 0) {
    if (ac != nullptr) redisAsyncFree(ac);
    m_phase = kAsking;  // the probe's cleanup asks the next sentinel
    return;
  }
  m_async = ac;
  m_pending = 0;
  m_verified = false;
  if (!m_link->Bind(ac) || redisAsyncCommand(ac, OnRoleReply, this, "ROLE") != REDIS_OK) {
    m_phase = kAsking;
    DropLink("no poller slot");
  }
}

void CRedisServer::OnRoleReply(redisAsyncContext* ac, void* reply, void* privdata) {
  CRedisServer* self = static_cast<CRedisServer*>(privdata);
  if (reply == nullptr || self->m_async != ac) return;  // the link is going; its cleanup moves on
  if (!role_is_master(static_cast<const redisReply*>(reply))) {
    self->Lost("the server a sentinel named is not the master");
    redisAsyncDisconnect(ac);
    return;
  }
  self->m_step->DisableTimer();
  self->m_phase = kIdle;
  self->m_failedRounds = 0;
  self->m_verified = true;
  self->m_verifiedAt = time(nullptr);
  self->m_strIp = self->m_master.ip;
  self->m_nPort = self->m_master.port;
  log_notice("redis master %s at %s:%d", self->m_masterName.c_str(), self->m_strIp.c_str(), self->m_nPort);
  self->WriteRecord();
}

}  // namespace __http_svr_ns__
