#include "sentinel/redis_sentinel.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>

#include "sentinel/redis_bounds.h"

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

redisContext* connect_to_master(const std::vector<TRedisAddress>& sentinels, const std::string& name,
                                const struct timeval& tv, TRedisAddress* where, bool (*stop)()) {
  // Every connect and every whole answer within tv; a reply past its bounds drops that
  // connection (with a level-3 line) and the next sentinel is asked.
  const int ms = static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
  for (const TRedisAddress& s : sentinels) {
    if (stop != nullptr && stop()) break;
    redisContext* c = bounded_connect(s.ip, s.port, ms, stop);
    redisReply* r =
        bounded_command(c, ms, kSentinelReplyBytes, stop, "SENTINEL get-master-addr-by-name %s", name.c_str());
    TRedisAddress master;
    const bool named = sentinel_master_address(r, &master);
    if (r != nullptr) freeReplyObject(r);
    if (c != nullptr) redisFree(c);
    if (!named) continue;
    c = bounded_connect(master.ip, master.port, ms, stop);
    r = bounded_command(c, ms, kSentinelReplyBytes, stop, "ROLE");
    const bool is_master = role_is_master(r);
    if (r != nullptr) freeReplyObject(r);
    if (is_master) {
      if (redisSetTimeout(c, tv) == REDIS_OK) {
        *where = master;
        return c;
      }
    }
    if (c != nullptr) redisFree(c);
  }
  return nullptr;
}
