#include "redis_server.h"

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

#include "log.h"
#include "poller.h"
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

// The registration that refreshes itself; one per process.
CRedisServer* g_refreshing = nullptr;

// Unanswered intervals after which the asynchronous link is given up and reopened.
const int kSkipsBeforeReconnect = 3;

}  // namespace

// The asynchronous link's socket in the gateway's poller. hiredis owns the descriptor:
// the link registers it, follows hiredis's read and write wishes, and leaves the poller
// (without closing anything) when hiredis cleans up, before hiredis closes it.
class CRedisServer::CLink : public CPollerObject {
 public:
  CLink(CRedisServer* owner, CPollerUnit* unit) : CPollerObject(unit, -1), owner_(owner) {}
  ~CLink() override { Release(); }

  // Takes over the hooks of `ac` and registers its socket with no interest yet.
  bool Bind(redisAsyncContext* ac) {
    ac_ = ac;
    ac->ev.data = this;
    ac->ev.addRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, true); };
    ac->ev.delRead = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLIN, false); };
    ac->ev.addWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, true); };
    ac->ev.delWrite = [](void* p) { static_cast<CLink*>(p)->Want(EPOLLOUT, false); };
    ac->ev.cleanup = [](void* p) {
      CLink* link = static_cast<CLink*>(p);
      link->Release();
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
    return ac_ == nullptr ? 1 : 0;
  }
  int OutputNotify() override {
    // Also completes the connect: the first writable event is hiredis's sign of it.
    if (ac_ != nullptr) redisAsyncHandleWrite(ac_);
    return ac_ == nullptr ? 1 : 0;
  }
  int HangupNotify() override {
    owner_->DropLink("connection failed or closed");
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

  CRedisServer* owner_;
  redisAsyncContext* ac_ = nullptr;
};

class CRedisServer::CTick : public CTimerObject {
 public:
  explicit CTick(CRedisServer* owner) : owner_(owner) {}
  void TimerNotify() override { owner_->Refresh(); }

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

int CRedisServer::Connect(std::string& ip, int port) {
  m_strIp = ip;
  m_nPort = port;
  if (m_pRedisConn != nullptr) {
    redisFree(m_pRedisConn);
    m_pRedisConn = nullptr;
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
  m_pRedisReply = static_cast<redisReply*>(redisCommand(m_pRedisConn, "HSET %s %s %s", key, field, value.c_str()));
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
  // hiredis resolves the host at every connect, and a name lookup can block: it is done
  // here, during start-up, and the loop connects to the address found.
  m_linkHost = m_strIp;
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(m_strIp.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
    char text[INET_ADDRSTRLEN];
    const struct sockaddr_in* a = reinterpret_cast<const struct sockaddr_in*>(found->ai_addr);
    if (inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text)) != nullptr) m_linkHost = text;
  }
  if (found != nullptr) freeaddrinfo(found);

  m_record = RecordValue(ip, port, svid);
  m_svid = svid;
  m_link = new (std::nothrow) CLink(this, unit);
  m_tick = new (std::nothrow) CTick(this);
  if (m_link == nullptr || m_tick == nullptr) {
    log_error("create the registration refresh failed");
    StopRefresh();
    return -1;
  }
  m_tickList = timers->GetTimerList(interval);
  g_refreshing = this;
  Refresh();
  return 0;
}

void CRedisServer::StopRefresh() {
  if (m_async != nullptr) redisAsyncFree(m_async);  // its cleanup releases the link
  m_async = nullptr;
  delete m_link;
  m_link = nullptr;
  delete m_tick;  // leaves its timer list
  m_tick = nullptr;
  m_tickList = nullptr;
  if (g_refreshing == this) g_refreshing = nullptr;
}

int CRedisServer::PollerSlotsKept() { return g_refreshing != nullptr && g_refreshing->m_async == nullptr ? 1 : 0; }

bool CRedisServer::QueueCommand(const std::vector<std::string>& args) {
  if (m_async == nullptr || args.empty()) return false;
  std::vector<const char*> argv;
  std::vector<size_t> lens;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  if (redisAsyncCommandArgv(m_async, OnReply, this, static_cast<int>(argv.size()), argv.data(), lens.data()) !=
      REDIS_OK)
    return false;
  ++m_pending;
  return true;
}

void CRedisServer::Withdraw(CPollerUnit* unit, int svid) {
  m_withdrawn = true;
  delete m_tick;  // leaves its timer list: the record is not written again
  m_tick = nullptr;
  if (m_link == nullptr && unit != nullptr) {
    // No refresh ever ran (RegisterInterval 0): the link is made here, to the host as
    // configured.
    m_link = new (std::nothrow) CLink(this, unit);
    if (m_linkHost.empty()) m_linkHost = m_strIp;
  }
  if (m_link == nullptr) return;
  if (m_async == nullptr) OpenLink();
  const std::string field = RecordField(svid);
  QueueCommand({"HDEL", "HALLSERVER", field});
  QueueCommand({"HDEL", kAliveKey, field});
}

void CRedisServer::Refresh() {
  m_tick->AttachTimer(m_tickList);
  if (m_async != nullptr && m_pending > 0) {
    // Writing on would only pile commands up in front of a Redis that does not read.
    if (++m_skipped < kSkipsBeforeReconnect) return;
    DropLink("no answer for three intervals");
  }
  m_skipped = 0;
  if (m_async == nullptr) OpenLink();
  if (m_async == nullptr) return;
  const std::string field = RecordField(m_svid);
  m_refused = false;
  QueueCommand({"HSET", "HALLSERVER", field, m_record});
  QueueCommand({"HSET", kAliveKey, field, std::to_string(static_cast<long long>(time(nullptr)))});
}

void CRedisServer::OpenLink() {
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
  if (r->type == REDIS_REPLY_ERROR) {
    self->m_refused = true;
    self->Lost(r->str);
  } else if (self->m_pending == 0 && !self->m_refused && self->m_outage && !self->m_withdrawn) {
    self->m_outage = false;
    log_notice("redis %s:%d: registration refreshed again", self->m_strIp.c_str(), self->m_nPort);
  }
}

}  // namespace __http_svr_ns__
