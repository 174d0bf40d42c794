#include "redis_sentinel.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>

#include <cstdlib>
#include <cstring>

namespace {

bool is_text(const redisReply* r) {
  return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS) && r->str != nullptr;
}

bool parse_address(const std::string& entry, TRedisAddress* out) {
  const size_t colon = entry.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string ip = entry.substr(0, colon);
  const std::string port = entry.substr(colon + 1);
  struct in_addr a;
  if (ip.size() >= 16 || inet_pton(AF_INET, ip.c_str(), &a) != 1) return false;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::atoi(port.c_str());
  if (n < 1 || n > 65535) return false;
  out->ip = ip;
  out->port = n;
  return true;
}

}  // namespace

bool parse_sentinel_list(const std::string& text, std::vector<TRedisAddress>* out, std::string* why) {
  out->clear();
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    const std::string entry = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    TRedisAddress a;
    if (!parse_address(entry, &a)) {
      *why = "\"" + entry + "\" is not ip:port (a dotted IPv4 address and a port from 1 to 65535)";
      return false;
    }
    if (static_cast<int>(out->size()) == kMaxSentinels) {
      *why = "more than " + std::to_string(kMaxSentinels) + " sentinels";
      return false;
    }
    out->push_back(a);
    if (comma == std::string::npos) return true;
    from = comma + 1;
  }
}

bool sentinel_master_address(const redisReply* reply, TRedisAddress* out) {
  if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return false;
  if (!is_text(reply->element[0]) || !is_text(reply->element[1])) return false;
  return parse_address(std::string(reply->element[0]->str, reply->element[0]->len) + ":" +
                           std::string(reply->element[1]->str, reply->element[1]->len),
                       out);
}

bool role_is_master(const redisReply* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ARRAY && reply->elements >= 1 && is_text(reply->element[0]) &&
         std::string(reply->element[0]->str, reply->element[0]->len) == "master";
}

bool lost_master_reply(const redisReply* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ERROR && reply->str != nullptr &&
         (std::strncmp(reply->str, "READONLY", 8) == 0 || std::strncmp(reply->str, "LOADING", 7) == 0);
}

namespace {

// One blocking command on `c` with a freshly made connection's time-out; null on failure.
redisReply* ask(redisContext* c, const struct timeval& tv, const char* format, const char* arg) {
  if (c == nullptr || c->err != 0 || redisSetTimeout(c, tv) != REDIS_OK) return nullptr;
  return static_cast<redisReply*>(arg == nullptr ? redisCommand(c, format) : redisCommand(c, format, arg));
}

}  // namespace

redisContext* connect_to_master(const std::vector<TRedisAddress>& sentinels, const std::string& name,
                                const struct timeval& tv, TRedisAddress* where, bool (*stop)()) {
  for (const TRedisAddress& s : sentinels) {
    if (stop != nullptr && stop()) break;
    redisContext* c = redisConnectWithTimeout(s.ip.c_str(), s.port, tv);
    redisReply* r = ask(c, tv, "SENTINEL get-master-addr-by-name %s", name.c_str());
    TRedisAddress master;
    const bool named = sentinel_master_address(r, &master);
    if (r != nullptr) freeReplyObject(r);
    if (c != nullptr) redisFree(c);
    if (!named) continue;
    c = redisConnectWithTimeout(master.ip.c_str(), master.port, tv);
    r = ask(c, tv, "ROLE", nullptr);
    const bool is_master = role_is_master(r);
    if (r != nullptr) freeReplyObject(r);
    if (is_master) {
      *where = master;
      return c;
    }
    if (c != nullptr) redisFree(c);
  }
  return nullptr;
}
