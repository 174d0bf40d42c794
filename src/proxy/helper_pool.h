// The gateway's routing tables: helper connection per backend server id, the server
// ids in configuration order, and the client connection per registered client id.
// One instance per process (_helperpool), created at start and never deleted; it
// stores pointers and owns none of the objects they name. Used on the loop thread only.
#ifndef HALL_PROXY_HELPER_POOL_H
#define HALL_PROXY_HELPER_POOL_H

#include <map>
#include <unordered_map>
#include <vector>

namespace __http_svr_ns__ {

class CHelperUnit;
class CDecoderUnit;

class CHelperPool {
 public:
  std::map<int, CHelperUnit*> m_helpermap;  // svid -> helper connection, ascending svid
  std::vector<int> m_svidlist;              // svid of every Server element, file order
  // Client id -> client connection. Looked up for every request and every result: a hash
  // keeps that one probe however many players the gateway holds.
  typedef std::unordered_map<int, CDecoderUnit*> ClientMap;
  ClientMap m_objmap;
};

extern CHelperPool* _helperpool;

}  // namespace __http_svr_ns__

#endif
