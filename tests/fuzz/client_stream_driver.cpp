// What one client sends, cut into reads (see ReadSplitter), through a real client
// connection of the gateway: framing, the policy request, deciphering and the data
// command, with its forwards to both logic servers. The client may only ever get the
// policy answer back (no logic server answers here), every forward must be a
// well-formed packet, and once the client has left the connection must be gone with
// no routing entry or registration left behind.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_driver.h"
#include "gateway_rig.h"

namespace hallfuzz {

namespace {

const char kPolicyRequest[] = "<policy-file-request/>";  // sent with its zero byte
const char kPolicyAnswer[] =
    "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" /></cross-domain-policy>";

}  // namespace

int client_stream_one(const uint8_t* data, size_t size) {
  GatewayRig& rig = GatewayRig::get();
  const int fd = rig.open_client();
  ReadSplitter reads(data, size);
  const uint8_t* chunk;
  size_t len;
  std::string answers;
  bool closed = false;
  bool first = true;
  bool asked_policy = false;
  while (!closed && reads.next(&chunk, &len)) {
    if (len == 0) {
      shutdown(fd, SHUT_WR);
    } else {
      if (first && len == sizeof(kPolicyRequest) && memcmp(chunk, kPolicyRequest, len) == 0) asked_policy = true;
      if (send(fd, chunk, len, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) break;  // the gateway has closed
    }
    first = false;
    rig.turn();
    answers += rig.read_client(fd, nullptr, &closed);
    rig.service_logic();
  }
  answers += rig.close_client(fd, nullptr);
  FUZZ_CHECK(answers.empty() || (asked_policy && answers == kPolicyAnswer),
             "client got %zu unexpected bytes (policy asked: %d)", answers.size(), asked_policy);
  rig.end_input();
  return 0;
}

}  // namespace hallfuzz
