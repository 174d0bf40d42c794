// The gateway's routing tables: helper connection per backend server id, the server
// ids in configuration order, and the client connection per registered client id.
// One instance per process (_helperpool), created at start and never deleted; it
// stores pointers and owns none of the objects they name. Used on the loop thread only.
#ifndef HALL_PROXY_HELPER_POOL_H
#define HALL_PROXY_HELPER_POOL_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <unordered_map>
#include <vector>

namespace __http_svr_ns__ {

class CHelperUnit;
class CDecoderUnit;

// Hash of a client id in the routing table. The ids are chosen by the clients: with the
// id as its own hash, a client could pick ids that all share one bucket and make every
// lookup of them a walk over all of them while the loop waits. The id is mixed with a
// seed drawn at start instead, so which ids collide cannot be known from outside.
struct CClientIdHash {
  static const uint64_t seed;
  size_t operator()(int id) const {
    uint64_t x = static_cast<uint64_t>(static_cast<uint32_t>(id)) ^ seed;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<size_t>(x ^ (x >> 31));
  }
};

class CHelperPool {
 public:
  std::map<int, CHelperUnit*> m_helpermap;  // svid -> helper connection, ascending svid
  std::vector<int> m_svidlist;              // svid of every Server element, file order
  // Client id -> client connection. Looked up for every request and every result: a hash
  // keeps that one probe however many players the gateway holds.
  typedef std::unordered_map<int, CDecoderUnit*, CClientIdHash> ClientMap;
  ClientMap m_objmap;
};

extern CHelperPool* _helperpool;

}  // namespace __http_svr_ns__

#endif
