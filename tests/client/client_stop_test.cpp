// The order loop run in-process, to reach states a black-box test cannot time: a stop that
// arrives while a popped order waits for the gateway.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "conf.h"
#include "log.h"
#include "order_sync_client.h"
#include "run_control.h"
#include "test_support.h"

using namespace testsupport;

namespace {

class ClientStop : public ::testing::Test {
 protected:
  // Starts the loop with {"n":1}, {"n":2} waiting and a connection whose peer no longer
  // reads (it looks alive, yet every write fails; reconnecting goes to a port where
  // nobody listens), and returns once the loop holds the first order, unsendable.
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    init_log("order_sync_client", dir_.path().c_str(), 0, 0);
    std::strcpy(g_conf.redis_key, "orders");
    g_conf.client_id = 9;
    redis_.command({"RPUSH", "orders", "{\"n\":1}", "{\"n\":2}"});
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
    ASSERT_EQ(0, shutdown(sv_[1], SHUT_RD));

    CRedisHelper* r = new CRedisHelper();
    r->host_ = "127.0.0.1";
    r->port_ = static_cast<unsigned short>(redis_.port());
    r->timeout = {2, 0};
    r->Connect();
    CTcpClient* c = new CTcpClient("127.0.0.1", static_cast<unsigned short>(free_port()), 500, 500);
    c->socketfd_ = sv_[0];
    c->IsConnected = true;
    app_.reset(new order_sync_client_t(new fetcher_t(r), c, nullptr, new poller_t()));
    clear_stop();
    loop_ = std::thread([this] {
      app_->run();
      ended_ = true;
    });
    ASSERT_TRUE(wait_until([&] { return log().find("connected server failed") != std::string::npos; }, 10000)) << log();
  }
  void TearDown() override {
    request_stop();
    redis_.freeze(false);
    if (loop_.joinable()) loop_.join();
    clear_stop();
    if (sv_[1] >= 0) close(sv_[1]);
  }
  // Requests a stop; true when the loop ended within timeout_ms.
  bool stop_loop(int timeout_ms) {
    request_stop();
    return wait_until([&] { return ended_.load(); }, timeout_ms);
  }
  std::string log() const { return read_file(dir_.file("order_sync_client_0.log")); }

  RedisServer redis_;
  TempDir dir_;
  int sv_[2] = {-1, -1};
  std::unique_ptr<order_sync_client_t> app_;
  std::thread loop_;
  std::atomic<bool> ended_{false};
};

TEST_F(ClientStop, OrderUnsentAtStopGoesBackToTheHeadOfItsList) {
  ASSERT_TRUE(stop_loop(10000));
  EXPECT_EQ("{\"n\":1}\n{\"n\":2}", redis_.command({"LRANGE", "orders", "0", "-1"}));
  EXPECT_NE(std::string::npos, log().find("put back at the head of orders"));
}

// Redis frozen (stopped, its connections open): the stop is still prompt, and the push
// that puts the order back reaches Redis, which carries it out once it runs again.
TEST_F(ClientStop, OrderUnsentAtStopWithRedisFrozenIsNotLost) {
  redis_.freeze(true);
  EXPECT_TRUE(stop_loop(3000)) << log();
  redis_.freeze(false);
  EXPECT_TRUE(wait_until(
      [&] {
        return redis_.command({"LRANGE", "orders", "0", "-1"}) == "{\"n\":1}\n{\"n\":2}";
      },
      5000))
      << log();
  EXPECT_NE(std::string::npos, log().find("sent back to the head of orders, unconfirmed")) << log();
}

}  // namespace
