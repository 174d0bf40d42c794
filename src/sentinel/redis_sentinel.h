// What both programs need to follow a Redis master watched by Redis Sentinel: the list
// of sentinels as written in a settings file, and the reading of the two answers that
// find and confirm the master (SENTINEL get-master-addr-by-name, ROLE). Reads hiredis
// reply objects and calls nothing of hiredis.
#ifndef HALL_SENTINEL_REDIS_SENTINEL_H
#define HALL_SENTINEL_REDIS_SENTINEL_H

#include <string>
#include <vector>

struct redisContext;
struct redisReply;
struct timeval;

struct TRedisAddress {
  std::string ip;  // dotted IPv4
  int port = 0;
};

// Parses "ip:port,ip:port,...": every entry a dotted IPv4 address and a port from 1 to
// 65535, at most kMaxSentinels of them. False, with the reason in *why, on the first
// entry that is not one (an empty list included).
bool parse_sentinel_list(const std::string& text, std::vector<TRedisAddress>* out, std::string* why);
const int kMaxSentinels = 16;

// The master's address from a reply to SENTINEL get-master-addr-by-name: false when
// the sentinel does not know the name or answered something else.
bool sentinel_master_address(const redisReply* reply, TRedisAddress* out);
// True when a reply to ROLE says "master".
bool role_is_master(const redisReply* reply);
// A blocking connection to the master known to `sentinels` as `name`: each sentinel in
// turn is asked, and the server it names is kept when ROLE says "master". Every connect
// and every answer waits at most `tv`. Null when none is found; *where then untouched.
// `stop`, when given, is asked before each sentinel and ends the search when true.
redisContext* connect_to_master(const std::vector<TRedisAddress>& sentinels, const std::string& name,
                                const struct timeval& tv, TRedisAddress* where, bool (*stop)() = nullptr);
// True for the error replies that mean "not the master (any more)": READONLY (a
// replica refused a write) and LOADING (the server is still loading its data).
bool lost_master_reply(const redisReply* reply);

#endif
