// What one logic server sends, cut into reads (see ReadSplitter), through the gateway's
// real helper connection of svid 1: framing in process_pkg, results routed to clients
// by "flow", load reports. Three clients registered as ids 1, 2 and 3 (with data
// commands of their own, which also connect both helpers) receive what results name
// them. A model of the helper's rules, fed the same reads, predicts the answers each
// client must get (in order, status and text), the load records, and when the link is
// dropped; afterwards every connection must end cleanly with nothing left routed.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/json.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "EncryptDecrypt.h"
#include "fuzz_driver.h"
#include "gateway_rig.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "packet_base.h"

using __http_svr_ns__::CHelperUnit;

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

// The helper's side of the link as its rules say, fed the same reads.
struct LogicModel {
  std::string r;
  bool dropped = false;
  std::vector<std::pair<int, std::string>> answers[kClients + 1];  // by client id
  bool reported[2] = {false, false};                               // waiter, notify
  uint32_t qlen[2] = {0, 0};
  uint32_t ctime[2] = {0, 0};

  void read(const uint8_t* p, size_t n) {
    if (dropped) return;
    r.append(reinterpret_cast<const char*>(p), n);
    while (r.size() >= static_cast<size_t>(PACKET_HEADER_SIZE)) {
      const int length = pkg_length(r.data());
      const unsigned cmd = pkg_cmd(r.data());
      if (length > CHelperUnit::MAX_BODY_LENGTH || length < PACKET_HEADER_SIZE - 2) {
        dropped = true;
        return;
      }
      const size_t total = static_cast<size_t>(length) + 2;
      if (r.size() < total) return;
      if (total > static_cast<size_t>(PACKET_BUFFER_SIZE)) {
        r.erase(0, total);  // too large for a packet buffer: skipped
        continue;
      }
      NETInputPacket pkt;
      pkt.Copy(r.data(), static_cast<int>(total));
      r.erase(0, total);
      CEncryptDecrypt().DecryptBuffer(&pkt);  // a bad checksum is not checked here
      if (cmd == INTER_CMD_RES) {
        result(&pkt);
      } else if (cmd == INTER_CMD_WAITER_STAT_RES || cmd == INTER_CMD_NOTIFY_STAT_RES) {
        const int side = cmd == INTER_CMD_WAITER_STAT_RES ? 0 : 1;
        qlen[side] = static_cast<uint32_t>(pkt.ReadInt());
        ctime[side] = static_cast<uint32_t>(pkt.ReadInt());
        reported[side] = true;
      }
    }
  }

  void result(NETInputPacket* pkt) {
    (void)pkt->ReadByte();
    const std::string json(pkt->ReadString());
    Json::Value root;
    bool parsed = false;
    try {
      parsed = Json::Reader().parse(json, root, false);
    } catch (...) {
      parsed = false;
    }
    if (!parsed || !root.isObject() || !root.isMember("flow")) return;
    const Json::Value& f = root["flow"];
    if (f.isNull() || f.isString() || f.isArray() || f.isObject()) return;
    unsigned long flow = 0;
    try {
      flow = static_cast<unsigned long>(f.asUInt64());
    } catch (...) {
      return;
    }
    if (flow < 1 || flow > static_cast<unsigned long>(kClients)) return;
    std::pair<int, std::string> answer(0, std::string());
    if (root.isMember("result")) {
      if (root["result"].isString())
        answer.second = root["result"].asString();
      else
        answer.first = 1;
    }
    // The answer packet must have room for the text; a longer one cannot be written.
    if (answer.second.size() + 5 + 4 + PACKET_HEADER_SIZE > static_cast<size_t>(PACKET_BUFFER_SIZE))
      answer.second.clear(), answer.first = -1;
    answers[flow].push_back(answer);
  }
};

}  // namespace

int logic_stream_one(const uint8_t* data, size_t size) {
  GatewayRig& rig = GatewayRig::get();
  *__http_svr_ns__::gSvrStat = __http_svr_ns__::server_stat_s();
  *__http_svr_ns__::gSvrSwitch = __http_svr_ns__::server_switch_s();
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

  LogicModel model;
  ReadSplitter reads(data, size);
  const uint8_t* chunk;
  size_t len;
  bool shut = false;
  while (!model.dropped && !shut && reads.next(&chunk, &len)) {
    if (len == 0) {
      shutdown(server, SHUT_WR);
      shut = true;
      pollfd end = {rig.helper(1)->get_netfd(), POLLIN, 0};
      poll(&end, 1, 2000);  // the end of the stream reaches the gateway's socket
    } else {
      FUZZ_CHECK(send(server, chunk, len, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(len),
                 "the gateway stopped reading its logic server");
      GatewayRig::wait_arrival(rig.helper(1)->get_netfd(), len);
      model.read(chunk, len);
    }
    rig.turn();
    for (int i = 0; i < kClients; ++i) {
      bool closed = false;
      rig.read_client(fds[i], streams[i], &closed);
      FUZZ_CHECK(!closed, "client %d was disconnected", i + 1);
    }
    rig.service_logic();
    const bool linked = rig.logic_conn(1) == server && rig.helper(1)->get_netfd() >= 0;
    FUZZ_CHECK(linked == !(model.dropped || shut), "link %s, expected %s", linked ? "kept" : "dropped",
               linked ? "dropped" : "kept");
  }

  for (int i = 0; i < kClients; ++i) {
    rig.close_client(fds[i], streams[i]);
    const std::vector<std::pair<int, std::string>>& got = streams[i]->answers;
    std::vector<std::pair<int, std::string>> want;
    for (const std::pair<int, std::string>& a : model.answers[i + 1])
      if (a.first >= 0) want.push_back(a);
    FUZZ_CHECK(got.size() == want.size(), "client %d got %zu answers, expected %zu", i + 1, got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k)
      FUZZ_CHECK(got[k] == want[k], "answer %zu to client %d: status %d (expected %d), %zu bytes (expected %zu)", k,
                 i + 1, got[k].first, want[k].first, got[k].second.size(), want[k].second.size());
    delete streams[i];
  }
  const __http_svr_ns__::server_stat_s& st = *__http_svr_ns__::gSvrStat;
  const __http_svr_ns__::server_switch_s& sw = *__http_svr_ns__::gSvrSwitch;
  if (model.reported[0])
    FUZZ_CHECK(st._w_qlen == model.qlen[0] && st._w_ctime == model.ctime[0] &&
                   sw._w_is_busyed == (static_cast<int>(model.qlen[0]) > CHelperUnit::BUSY_QUEUE_LENGTH),
               "waiter record %u/%u, reported %u/%u", st._w_qlen, st._w_ctime, model.qlen[0], model.ctime[0]);
  if (model.reported[1])
    FUZZ_CHECK(st._n_qlen == model.qlen[1] && st._n_ctime == model.ctime[1] &&
                   sw._n_is_busyed == (static_cast<int>(model.qlen[1]) > CHelperUnit::BUSY_QUEUE_LENGTH),
               "notify record %u/%u, reported %u/%u", st._n_qlen, st._n_ctime, model.qlen[1], model.ctime[1]);
  rig.end_input();
  for (int svid = 1; svid <= 2; ++svid) {
    rig.take_forwards(svid);
    rig.take_notices(svid);
  }
  return 0;
}

}  // namespace hallfuzz
