// The order loop run in-process, to reach states a black-box test cannot time: a stop that
// arrives while a popped order waits for the gateway.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "conf.h"
#include "log.h"
#include "order_sync_client.h"
#include "run_control.h"
#include "test_support.h"

using namespace testsupport;

namespace {

TEST(ClientStop, OrderUnsentAtStopGoesBackToTheHeadOfItsList) {
  RedisServer redis;
  ASSERT_TRUE(redis.start());
  TempDir dir;
  init_log("order_sync_client", dir.path().c_str(), 0, 0);
  std::strcpy(g_conf.redis_key, "orders");
  g_conf.client_id = 9;
  redis.command({"RPUSH", "orders", "{\"n\":1}", "{\"n\":2}"});

  // A connection whose peer no longer reads: it looks alive, yet every write fails.
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ASSERT_EQ(0, shutdown(sv[1], SHUT_RD));

  CRedisHelper* r = new CRedisHelper();
  r->host_ = "127.0.0.1";
  r->port_ = static_cast<unsigned short>(redis.port());
  r->timeout = {2, 0};
  r->Connect();
  // Reconnecting goes to a port where nobody listens.
  CTcpClient* c = new CTcpClient("127.0.0.1", static_cast<unsigned short>(free_port()), 500, 500);
  c->socketfd_ = sv[0];
  c->IsConnected = true;
  order_sync_client_t app(new fetcher_t(r), c, nullptr, new poller_t());

  clear_stop();
  std::thread loop([&] { app.run(); });
  std::string log_file = dir.file("order_sync_client_0.log");
  bool failed = wait_until([&] { return read_file(log_file).find("connected server failed") != std::string::npos; },
                           10000);
  request_stop();
  loop.join();
  clear_stop();
  close(sv[1]);
  ASSERT_TRUE(failed) << read_file(log_file);
  EXPECT_EQ("{\"n\":1}\n{\"n\":2}", redis.command({"LRANGE", "orders", "0", "-1"}));
  EXPECT_NE(std::string::npos, read_file(log_file).find("put back at the head of orders"));
}

}  // namespace
