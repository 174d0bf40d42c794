// Orders from a real Redis list through order_sync_client and a real hall to sample logic
// servers, with the gateway stopped and restarted while orders keep coming.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay_harness.h"
#include "test_support.h"

using namespace relaytest;
using testsupport::TempDir;

namespace {

// The logic server prints received data with control and non-ASCII bytes as \xNN and a
// backslash doubled; the same rule, to compare byte for byte.
std::string printable(const std::string& s) {
  std::string out;
  char buf[8];
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

// The data of every forward a logic server received from `client_id`, in arrival order.
std::vector<std::string> forwarded(const LogicServer& s, int client_id) {
  std::vector<std::string> out;
  const std::string needle = "forward client=" + std::to_string(client_id) + " data=";
  for (const std::string& line : s.matching(needle)) {
    std::string data = line.substr(line.find(needle) + needle.size());
    const std::string bad = " checksum=bad";
    if (data.size() >= bad.size() && data.compare(data.size() - bad.size(), bad.size(), bad) == 0)
      data = "BAD CHECKSUM: " + data;
    out.push_back(data);
  }
  return out;
}

std::string order_text(int n) { return "{\"order\":" + std::to_string(n) + ",\"item\":\"box of 6\"}"; }

class OrderSyncE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    ASSERT_TRUE(l1_.start() && l2_.start());
    GatewayConfig cfg;
    cfg.servers = {{1, l1_.port()}, {2, l2_.port()}};
    cfg.log_level = 6;
    gw_.reset(new Gateway(cfg));
    ASSERT_TRUE(gw_->start()) << gw_->stderr_text();
    ASSERT_TRUE(testsupport::start_order_sync_client(&client_, dir_.path(), gw_->port(), redis_.port(), kClientId));
  }
  void TearDown() override {
    int st = client_.stop(SIGTERM, 5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "client status " << st;
  }
  std::string client_log() { return testsupport::read_file(dir_.file("log/order_sync_client_0.log")); }
  void push(const std::string& order) { ASSERT_NE("ERR", redis_.command({"RPUSH", "orders", order}).substr(0, 3)); }

  static const int kClientId = 31337;
  TempDir dir_;
  testsupport::RedisServer redis_;
  LogicServer l1_{"L1"}, l2_{"L2"};
  std::unique_ptr<Gateway> gw_;
  testsupport::Process client_;
};

TEST_F(OrderSyncE2E, OrdersArriveByteForByteAndInOrderAtEveryLogicServer) {
  std::vector<std::string> orders = {
      "{\"id\":1,\"name\":\"caf\xc3\xa9 cr\xc3\xa8me\",\"note\":\"two  blanks\"}",
      "{\"id\":2,\"path\":\"C:\\\\orders\\\\2\",\"quote\":\"say \\\"hi\\\"\"}", "[1,2.5,-3e2,true,null]",
      "{\"id\":4,\"pad\":\"" + std::string(7982 - 17, 'p') + "\"}",  // the largest order a packet takes
  };
  ASSERT_EQ(7982u, orders[3].size());
  for (int i = 5; i <= 40; ++i) orders.push_back(order_text(i));
  for (const std::string& o : orders) push(o);

  for (LogicServer* s : {&l1_, &l2_}) {
    SCOPED_TRACE(s->name());
    ASSERT_TRUE(testsupport::wait_until([&] { return forwarded(*s, kClientId).size() >= orders.size(); }, 20000))
        << forwarded(*s, kClientId).size() << " of " << orders.size() << "\n"
        << client_log();
    std::vector<std::string> got = forwarded(*s, kClientId);
    ASSERT_EQ(orders.size(), got.size());
    for (size_t i = 0; i < orders.size(); ++i) EXPECT_EQ(printable(orders[i]), got[i]) << "order " << i;
  }
  // Every forward was answered; the answers reached the client, which read them away
  // and kept its one connection.
  EXPECT_EQ(std::string::npos, client_log().find("Tcp connection closed.")) << client_log();
  EXPECT_EQ("0", redis_.command({"LLEN", "orders"}));
  EXPECT_EQ("0", redis_.command({"LLEN", "orders:dead"}));
}

TEST_F(OrderSyncE2E, GatewayRestartLosesNoOrderPoppedAfterItStopped) {
  std::mutex mu;
  int pushed = 0;
  std::atomic<bool> stop_pushing{false};
  std::thread pusher([&] {
    // Bounded: at most 600 orders, one every 15 ms.
    for (int n = 1; n <= 600 && !stop_pushing; ++n) {
      {
        std::lock_guard<std::mutex> lock(mu);
        redis_.command({"RPUSH", "orders", order_text(n)});
        pushed = n;
      }
      usleep(15000);
    }
  });

  ASSERT_TRUE(l1_.wait_matching("forward client=" + std::to_string(kClientId), 20, 10000));
  gw_->stop();
  ASSERT_FALSE(gw_->alive());
  // Orders still in the list now are popped after the gateway stopped: none may be lost.
  int first_protected;
  {
    std::lock_guard<std::mutex> lock(mu);
    int waiting = std::stoi(redis_.command({"LLEN", "orders"}));
    first_protected = pushed - waiting + 1;
  }
  sleep(2);
  ASSERT_TRUE(gw_->start()) << gw_->stderr_text();
  sleep(1);
  stop_pushing = true;
  pusher.join();
  int last = pushed;
  ASSERT_GT(last, first_protected);

  for (LogicServer* s : {&l1_, &l2_}) {
    SCOPED_TRACE(s->name());
    auto arrived_from = [&](int from) {
      std::map<int, int> seen;
      std::vector<int> sequence;
      for (const std::string& d : forwarded(*s, kClientId)) {
        int n = 0;
        if (std::sscanf(d.c_str(), "{\"order\":%d,", &n) == 1 && n >= from) sequence.push_back(n);
      }
      return sequence;
    };
    ASSERT_TRUE(testsupport::wait_until([&] { return !arrived_from(last).empty(); }, 30000))
        << "first protected " << first_protected << ", last " << last << "\n"
        << client_log();
    std::vector<int> seq = arrived_from(first_protected);
    std::vector<int> want;
    for (int n = first_protected; n <= last; ++n) want.push_back(n);
    EXPECT_EQ(want, seq);
  }
  std::string log = client_log();
  EXPECT_NE(std::string::npos, log.find("Tcp connection closed.")) << log;
  EXPECT_EQ("0", redis_.command({"LLEN", "orders"}));
}

}  // namespace
