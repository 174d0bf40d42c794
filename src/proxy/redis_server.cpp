#include "redis_server.h"

#include <hiredis/hiredis.h>
#include <json/json.h>
#include <stdio.h>
#include <sys/time.h>

#include "log.h"

namespace __http_svr_ns__ {

namespace {

struct timeval timeout_tv() {
  struct timeval tv;
  tv.tv_sec = CRedisServer::kTimeoutMs / 1000;
  tv.tv_usec = (CRedisServer::kTimeoutMs % 1000) * 1000;
  return tv;
}

}  // namespace

CRedisServer::CRedisServer() : m_nPort(0), m_pRedisConn(nullptr), m_pRedisReply(nullptr) {}

CRedisServer::~CRedisServer() {
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
    log_error("redis connect %s:%d failed: no context, registration not written", ip.c_str(),
              port);
    return -1;
  }
  if (c->err != 0) {
    log_error("redis connect %s:%d failed: %s, registration not written", ip.c_str(), port,
              c->errstr);
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

int CRedisServer::SetInfo(std::string ip, int port, int svid) {
  char key[32];
  char field[32];
  snprintf(key, sizeof(key), "%s", "HALLSERVER");
  snprintf(field, sizeof(field), "HALLSERVER%d", svid);

  if (m_pRedisConn == nullptr) {
    log_error("no redis connection, registration not written: %s %s", key, field);
    return 0;
  }

  std::string value = RecordValue(ip, port, svid);
  m_pRedisReply =
      static_cast<redisReply*>(redisCommand(m_pRedisConn, "HSET %s %s %s", key, field, value.c_str()));
  if (m_pRedisReply == nullptr) {
    log_error("redis HSET %s %s failed: %s, registration not written", key, field,
              m_pRedisConn->errstr);
    return 0;
  }
  if (m_pRedisReply->type == REDIS_REPLY_ERROR) {
    log_error("redis HSET %s %s refused: %s, registration not written", key, field,
              m_pRedisReply->str);
  }
  freeReplyObject(m_pRedisReply);
  m_pRedisReply = nullptr;
  return 0;
}

}  // namespace __http_svr_ns__
