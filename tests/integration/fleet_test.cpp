// A fleet on loopback: several gateways registered in one Redis, in front of the same two
// sample logic servers, with order-sync clients sharing one order list and players that
// find their gateway through Redis.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay_harness.h"
#include "test_support.h"

using namespace relaytest;
using testsupport::Process;
using testsupport::TempDir;

namespace {

class Fleet : public ::testing::Test {
 protected:
  void start_fleet(int gateways) {
    ASSERT_TRUE(redis_.start());
    ASSERT_TRUE(l1_.start() && l2_.start());
    for (int svid = 1; svid <= gateways; ++svid) {
      GatewayConfig cfg;
      cfg.svid = svid;
      cfg.log_level = 5;
      cfg.servers = {{1, l1_.port()}, {2, l2_.port()}};
      cfg.redis_port = redis_.port();
      cfg.attrs = {{"RegisterInterval", "1"}};
      gws_.emplace_back(new Gateway(cfg));
      ASSERT_TRUE(gws_.back()->start()) << gws_.back()->stderr_text();
    }
  }

  testsupport::RedisServer redis_;
  LogicServer l1_{"L1", {"--echo"}}, l2_{"L2", {"--echo"}};
  std::vector<std::unique_ptr<Gateway>> gws_;
};

// Order numbers of the {"order":N} forwards a logic server received, by sending client id.
std::map<int, std::vector<int>> orders_by_client(const LogicServer& s) {
  std::map<int, std::vector<int>> out;
  for (const std::string& line : s.matching("recv cmd=0x1003 forward client=")) {
    int client = 0, n = 0;
    if (std::sscanf(line.c_str() + line.find("client="), "client=%d data={\"order\":%d}", &client, &n) == 2)
      out[client].push_back(n);
  }
  return out;
}

TEST_F(Fleet, OrderSyncClientsOnOneListDeliverEveryOrderOnceInOrder) {
  start_fleet(3);
  TempDir dirs[3];
  Process clients[3];
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(testsupport::start_order_sync_client(&clients[k], dirs[k].path(), gws_[k]->port(), redis_.port(),
                                                     100 + k));
  }
  for (int k = 0; k < 3; ++k) {
    const std::string log = dirs[k].file("log/order_sync_client_0.log");
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return testsupport::read_file(log).find("order_sync_client started") != std::string::npos; }, 10000))
        << testsupport::read_file(dirs[k].file("out"));
  }
  const int kOrders = 300;
  std::vector<std::string> push = {"RPUSH", "orders"};
  for (int n = 1; n <= kOrders; ++n) push.push_back("{\"order\":" + std::to_string(n) + "}");
  ASSERT_EQ(std::to_string(kOrders), redis_.command(push));

  for (LogicServer* s : {&l1_, &l2_}) {
    SCOPED_TRACE(s->name());
    ASSERT_TRUE(s->wait_matching("forward client=", kOrders, 30000)) << s->matching("forward client=").size();
    std::map<int, int> times;
    for (const auto& kv : orders_by_client(*s)) {
      EXPECT_TRUE(kv.first >= 100 && kv.first <= 102) << kv.first;
      // Each client pops from the head of the list: its orders arrive in list order.
      for (size_t i = 1; i < kv.second.size(); ++i) EXPECT_LT(kv.second[i - 1], kv.second[i]) << kv.first;
      for (int n : kv.second) ++times[n];
    }
    EXPECT_EQ(3u, orders_by_client(*s).size()) << "every client took a share";
    EXPECT_EQ(static_cast<size_t>(kOrders), times.size());
    for (const auto& kv : times) EXPECT_EQ(1, kv.second) << "order " << kv.first;
  }
  EXPECT_EQ("0", redis_.command({"LLEN", "orders"}));
  for (Process& c : clients) {
    int st = c.stop(SIGTERM, 5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }
}

}  // namespace
