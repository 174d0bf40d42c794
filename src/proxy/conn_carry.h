// TConnCarry: what one client connection carries from a gateway process to the one that
// takes over from it in a live upgrade (see src/upgrade). The relay fills it
// (CDecoderUnit::carry_out) and builds a connection from it (CListener::adopt_client);
// the upgrade module writes and reads it on the hand-over socket.
#ifndef HALL_PROXY_CONN_CARRY_H
#define HALL_PROXY_CONN_CARRY_H

#include <stdint.h>

#include <string>
#include <vector>

namespace __http_svr_ns__ {

struct TConnCarry {
  int kind = 0;                 // hall_transport::TTransportKind of its listener
  uint32_t addr = 0;            // the client's address (network byte order): the PROXY header's or the peer's
  bool awaitingHeader = false;  // its PROXY header is still unread (its bytes wait in the socket)
  std::vector<int> ids;         // the client ids it registered and still holds
  int lastId = 0;               // the id it registered last
  bool announce = false;        // its departure is announced to a logic server
  bool closeWhenSent = false;   // it closes once its queued answers are written
  int64_t idleLeftUs = 0;       // time left on its idle timer
  std::string unframed;         // bytes read and not yet framed (a part packet)
  std::string unwritten;        // answers queued and not yet written
  std::string transport;        // the transport's own state (see CTransport::carry_out)
};

}  // namespace __http_svr_ns__

#endif
