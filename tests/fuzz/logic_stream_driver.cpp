// What one logic server sends, cut into reads (see ReadSplitter), through the gateway's
// real helper connection of svid 1: framing in process_pkg, results routed to clients
// by "flow", load reports. Three clients registered as ids 1, 2 and 3 (with data
// commands of their own, which also connect both helpers) receive whatever results
// name them; every answer must be a well-formed result packet, and afterwards every
// connection must end cleanly with no routing entry or registration left behind.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "EncryptDecrypt.h"
#include "fuzz_driver.h"
#include "gateway_rig.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "packet_base.h"

namespace hallfuzz {

namespace {

const int kClients = 3;

std::string data_req(int client_id, const char* text) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  p.WriteInt(client_id);
  p.WriteString(text);
  p.End();
  CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

}  // namespace

int logic_stream_one(const uint8_t* data, size_t size) {
  GatewayRig& rig = GatewayRig::get();
  int fds[kClients];
  PacketStream* streams[kClients];
  for (int i = 0; i < kClients; ++i) {
    fds[i] = rig.open_client();
    streams[i] = new PacketStream("to a client", true);
    const std::string req = data_req(i + 1, "{\"cmd\":1}");
    FUZZ_CHECK(send(fds[i], req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()),
               "client %d could not send", i + 1);
    rig.turn();
    rig.service_logic();
  }
  FUZZ_CHECK(__http_svr_ns__::_helperpool->m_objmap.size() == kClients, "%zu clients registered",
             __http_svr_ns__::_helperpool->m_objmap.size());
  const int server = rig.logic_conn(1);
  FUZZ_CHECK(server >= 0, "helper 1 did not connect");

  ReadSplitter reads(data, size);
  const uint8_t* chunk;
  size_t len;
  while (reads.next(&chunk, &len)) {
    if (len == 0) {
      shutdown(server, SHUT_WR);
    } else if (send(server, chunk, len, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
      break;  // the gateway dropped the link
    }
    rig.turn();
    for (int i = 0; i < kClients; ++i) {
      bool closed = false;
      rig.read_client(fds[i], streams[i], &closed);
    }
    rig.service_logic();
    if (rig.logic_conn(1) != server || rig.helper(1)->get_netfd() < 0) break;
  }

  for (int i = 0; i < kClients; ++i) {
    rig.close_client(fds[i], streams[i]);
    delete streams[i];
  }
  rig.end_input();
  return 0;
}

}  // namespace hallfuzz
