// Many players leaving at once, against a real gateway and two fake logic servers.
#include <gtest/gtest.h>

#include <stdio.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "relay_harness.h"

using namespace relaytest;
using testsupport::wait_until;

namespace {

// Client connections on `port` the gateway has not closed yet (established, or closed by
// the client only).
int open_client_links(int port) {
  char want[8];
  snprintf(want, sizeof(want), ":%04X", port);
  std::istringstream table(testsupport::read_file("/proc/net/tcp"));
  std::string line;
  int n = 0;
  while (std::getline(table, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, st;
    f >> sl >> local >> remote >> st;
    n += local.size() > 5 && local.substr(local.size() - 5) == want && (st == "01" || st == "08");
  }
  return n;
}

// Client `c` sends `text` as `id`; logic server `l` answers its forward (found from packet
// *at on, which moves past it); the answer must reach `c`.
void round_trip(Client& c, FakeLogic& l, size_t* at, int id, const std::string& text) {
  ASSERT_TRUE(c.send(data_req(id, text)));
  ASSERT_TRUE(wait_until(
      [&] {
        const std::vector<Packet> got = l.packets();
        while (*at < got.size()) {
          const Packet& p = got[(*at)++];
          if (p.cmd == 0x1003 && p.int_at(0) == id && p.str_at(4) == text) return true;
        }
        return false;
      },
      20000));
  ASSERT_TRUE(l.send(result_pkt("{\"flow\":" + std::to_string(id) + ",\"result\":\"" + text + "\"}")));
  int status = -1;
  std::string got;
  ASSERT_TRUE(c.answer(&status, &got, 20000));
  EXPECT_EQ(got, text);
}

// Regression: the departures are completed later than they are read, a turn's budget at
// a time; none may be lost, reordered before its last forward, or undo a takeover.
TEST(Departures, ManyClientsLeavingAtOnceAreAllClosedAndAnnouncedAfterTheirLastForward) {
  const int kLeaving = 1500;
  FakeLogic a, b;
  GatewayConfig cfg;
  cfg.log_level = 4;
  cfg.max_fd = cfg.nofile = cfg.max_listen = 4096;
  cfg.servers = {{1, a.port()}, {2, b.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start() && a.accept_link() && b.accept_link());
  std::vector<std::unique_ptr<Client>> leaving;
  for (int i = 0; i < kLeaving; ++i) {
    leaving.emplace_back(new Client(gw.port()));
    ASSERT_TRUE(leaving.back()->send(data_req(1000 + i, "hi")));
  }
  Client player(gw.port()), heir(gw.port());
  size_t at = 0;
  round_trip(player, a, &at, 7, "p0");
  // Each leaving client sends a last request and closes; the player plays on, and a new
  // connection takes over one leaving id, perhaps before that departure is complete.
  for (int i = 0; i < kLeaving; ++i) {
    ASSERT_TRUE(leaving[i]->send(data_req(1000 + i, "bye")));
    leaving[i]->close();
  }
  for (int k = 1; k <= 20; ++k) round_trip(player, a, &at, 7, "p" + std::to_string(k));
  round_trip(heir, a, &at, 1000, "heir");

  // Every departure completes: each id but the heir's is announced once, to one server,
  // after its last forward there; the heir's route stays.
  EXPECT_TRUE(wait_until([&] { return open_client_links(gw.port()) == 2; }, 30000)) << open_client_links(gw.port());
  EXPECT_TRUE(wait_until([&] { return a.count(2) + b.count(2) >= static_cast<size_t>(kLeaving - 1); }, 30000));
  round_trip(heir, a, &at, 1000, "still");
  std::map<int, int> notices;
  for (FakeLogic* l : {&a, &b}) {
    std::map<int, std::string> last;  // id -> text of its last forward so far
    for (const Packet& p : l->packets()) {
      if (p.cmd == 0x1003) last[p.int_at(0)] = p.str_at(4);
      if (p.cmd != 2) continue;
      ++notices[p.int_at(0)];
      EXPECT_EQ(last[p.int_at(0)], "bye") << "close notice of " << p.int_at(0) << " before its last forward";
    }
  }
  for (int i = 1; i < kLeaving; ++i) EXPECT_EQ(notices[1000 + i], 1) << 1000 + i;
  EXPECT_LE(notices[1000], 1);
  EXPECT_EQ(notices.count(7), 0u);
}

}  // namespace
