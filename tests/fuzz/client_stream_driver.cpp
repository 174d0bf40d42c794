// What one client sends, cut into reads (see ReadSplitter), through a real client
// connection of the gateway: framing, the policy request, deciphering and the data
// command, with its forwards to both logic servers. A model of the client side's rules
// runs beside it and predicts, from the same reads, the forwards each logic server
// must receive (same order, same id and text), the close notice, and whether the client
// gets the policy answer. Afterwards the connection must be gone with no routing entry
// or registration left behind.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "EncryptDecrypt.h"
#include "fuzz_driver.h"
#include "gateway_rig.h"
#include "packet_base.h"

namespace hallfuzz {

namespace {

const char kPolicyRequest[] = "<policy-file-request/>";  // sent with its zero byte
const char kPolicyAnswer[] =
    "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" /></cross-domain-policy>";
const size_t kPolicySize = sizeof(kPolicyRequest);  // 23
const int kMaxClientPacket = 8000;
const size_t kMaxClientIds = 16;

// The client side of the gateway as its rules say, fed the same reads.
struct ClientModel {
  std::string r;       // bytes of an unfinished packet
  bool ended = false;  // the gateway ends the connection after this read
  bool policy_answer = false;
  int conn_type = 1;  // 0 once registered, whatever ends the connection
  std::set<int> ids;  // client ids registered; one more than kMaxClientIds ends it
  std::vector<std::pair<int, std::string>> forwards;

  void read(const uint8_t* p, size_t n) {
    if (ended) return;
    // Only a read that starts at a packet boundary can be the policy request: bytes
    // that continue a packet are that packet's bytes, whatever they look like.
    if (n == kPolicySize && p[0] == '<' && p[1] == 'p' && r.empty()) {
      policy_answer = memcmp(p, kPolicyRequest, kPolicySize) == 0;
      ended = true;
      return;
    }
    r.append(reinterpret_cast<const char*>(p), n);
    while (!r.empty()) {
      if (r.size() < static_cast<size_t>(PACKET_HEADER_SIZE)) return;
      const char* h = r.data();
      const int length = pkg_length(h);
      const int total = length + 2;
      if (!pkg_flag_ok(h) || total > kMaxClientPacket || length < PACKET_HEADER_SIZE - 2) {
        ended = true;
        return;
      }
      if (r.size() < static_cast<size_t>(total)) return;
      NETInputPacket pkt;
      pkt.Copy(h, total);
      if (CEncryptDecrypt().DecryptBuffer(&pkt) < 0 || pkt.GetCmdType() != CLIENT_CMD_DATA_REQ) {
        ended = true;
        return;
      }
      const int id = pkt.ReadInt();
      const std::string text(pkt.ReadString());
      if (ids.count(id) == 0 && ids.size() == kMaxClientIds) {
        ended = true;
        return;
      }
      ids.insert(id);
      forwards.emplace_back(id, text);
      conn_type = 0;
      r.erase(0, static_cast<size_t>(total));
    }
  }
};

}  // namespace

int client_stream_one(const uint8_t* data, size_t size) {
  GatewayRig& rig = GatewayRig::get();
  for (int svid = 1; svid <= 2; ++svid) {
    rig.take_forwards(svid);
    rig.take_notices(svid);
  }
  const int fd = rig.open_client();
  ReadSplitter reads(data, size);
  ClientModel model;
  const uint8_t* chunk;
  size_t len;
  std::string answers;
  bool closed = false;
  while (!closed && !model.ended && reads.next(&chunk, &len)) {
    if (len == 0) {
      shutdown(fd, SHUT_WR);
      model.ended = true;
    } else {
      FUZZ_CHECK(send(fd, chunk, len, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(len),
                 "the gateway stopped reading a live connection");
      model.read(chunk, len);
    }
    rig.turn();
    answers += rig.read_client(fd, nullptr, &closed);
    rig.service_logic();
    FUZZ_CHECK(!closed || model.ended, "the gateway closed a connection whose client broke no rule");
  }
  answers += rig.close_client(fd, nullptr);
  FUZZ_CHECK(answers == (model.policy_answer ? std::string(kPolicyAnswer) : std::string()),
             "client got %zu bytes back, %s the policy answer", answers.size(),
             model.policy_answer ? "expected" : "not expecting");
  rig.end_input();

  // Every id above 0 that a registered connection held is announced once.
  std::multiset<int> notices;
  for (int svid = 1; svid <= 2; ++svid) {
    const std::vector<std::pair<int, std::string>> got = rig.take_forwards(svid);
    FUZZ_CHECK(got.size() == model.forwards.size(), "logic server %d got %zu forwards, expected %zu", svid, got.size(),
               model.forwards.size());
    for (size_t i = 0; i < got.size(); ++i)
      FUZZ_CHECK(got[i] == model.forwards[i],
                 "forward %zu to logic server %d: id %d (expected %d), %zu bytes "
                 "(expected %zu)",
                 i, svid, got[i].first, model.forwards[i].first, got[i].second.size(), model.forwards[i].second.size());
    for (const std::pair<int, int>& n : rig.take_notices(svid)) notices.insert(n.first);
  }
  std::multiset<int> expected;
  if (model.conn_type == 0)
    for (int id : model.ids)
      if (id > 0) expected.insert(id);
  FUZZ_CHECK(notices == expected, "%zu close notices, expected %zu", notices.size(), expected.size());
  return 0;
}

}  // namespace hallfuzz
