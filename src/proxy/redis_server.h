// Announces the gateway in Redis: one synchronous connection and one HSET of the
// field "HALLSERVER<svid>" in the hash "HALLSERVER" with the gateway's address, port
// and server id as compact JSON. Owned by the module object, used once during
// start-up on the main thread; its destructor frees the connection.
#ifndef HALL_PROXY_REDIS_SERVER_H
#define HALL_PROXY_REDIS_SERVER_H

#include <string>

#include "noncopyable.h"

struct redisContext;
struct redisReply;

namespace __http_svr_ns__ {

class CRedisServer : private noncopyable {
 public:
  // How long a connect attempt or a command may block before it is given up.
  static const int kTimeoutMs = 3000;

  CRedisServer();
  ~CRedisServer();

  // Connects to ip:port with a bounded time-out. Returns 0 on success, -1 when no
  // connection could be made (logged at level 3; the object then holds no context).
  int Connect(std::string& ip, int port);

  // Writes the registration record. Always returns 0: a missing connection or a
  // failed command is logged at level 3 as "registration not written" and sends
  // nothing further.
  int SetInfo(std::string ip, int port, int svid);

  // The registration value for these arguments: {"IP":..,"PORT":..,"SVID":..} and a
  // line feed.
  static std::string RecordValue(const std::string& ip, int port, int svid);

 private:
  std::string m_strIp;
  int m_nPort;
  redisContext* m_pRedisConn;
  redisReply* m_pRedisReply;
  std::string HallServerInfo;
};

}  // namespace __http_svr_ns__

#endif
