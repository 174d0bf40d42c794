// The order_sync_client program against a real redis-server and a fake gateway that
// decodes what it receives.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_gateway.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string json_of_size(size_t size) {
  // {"pad":"xxx..."} of exactly `size` bytes
  std::string s = "{\"pad\":\"";
  s += std::string(size - s.size() - 2, 'x');
  s += "\"}";
  return s;
}

std::string log_text(const TempDir& dir) { return read_file(dir.file("log/order_sync_client_0.log")); }

// Redis's count of `command` calls carried out, from its command statistics: -1 before it
// has any line for the command (a command only refused so far has one, with 0 calls).
long command_calls(RedisServer& redis, const std::string& command) {
  const std::string info = redis.command({"INFO", "commandstats"});
  const std::string key = "cmdstat_" + command + ":calls=";
  const size_t at = info.find(key);
  return at == std::string::npos ? -1 : std::stol(info.substr(at + key.size()));
}
long lmove_calls(RedisServer& redis) { return std::max(0L, command_calls(redis, "lmove")); }

class ClientLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    ASSERT_TRUE(gateway_.start());
  }
  void start_client(int log_level = 6, int pause_ms = -1, std::vector<std::string> argv = {}) {
    conf_ = write_client_conf(dir_.path(), gateway_.port(), redis_.port(), "orders", 4242, log_level, pause_ms);
    argv.insert(argv.end(), {binary("order_sync_client"), conf_});
    ASSERT_TRUE(client_.start(argv, dir_.path(), dir_.file("out"), dir_.file("out")));
    ASSERT_TRUE(wait_until([&] { return gateway_.connections() >= 1; }, 10000)) << read_file(dir_.file("out"));
  }
  void push(const std::string& order) { ASSERT_NE("ERR", redis_.command({"RPUSH", "orders", order}).substr(0, 3)); }
  void expect_clean_stop() {
    int st = client_.stop(SIGTERM, 5000);
    ASSERT_TRUE(WIFEXITED(st)) << "status " << st;
    EXPECT_EQ(0, WEXITSTATUS(st));
  }

  TempDir dir_;
  RedisServer redis_;
  FakeGateway gateway_;
  Process client_;
  std::string conf_;
};

TEST_F(ClientLoopTest, OrdersArriveByteForByteInOrderAndUnsendableOnesAreSetAside) {
  start_client();
  std::vector<std::string> good = {"{\"id\":1,\"item\":\"two words\",\"u\":\"\\u00e9\"}", json_of_size(7982), "[1,2,3]",
                                   "{\"id\":4} ", "{}"};
  std::vector<std::string> bad = {"not json{", json_of_size(7983), "{\"id\":5} trailing",
                                  std::string(3000, '[') + std::string(3000, ']'), ""};
  for (size_t i = 0; i < good.size(); ++i) {
    push(good[i]);
    push(bad[i]);
  }

  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= good.size(); }, 10000)) << log_text(dir_);
  ASSERT_TRUE(wait_until([&] { return redis_.command({"LLEN", "orders:dead"}) == "5"; }, 5000)) << log_text(dir_);
  std::vector<ReceivedOrder> got = gateway_.orders();
  ASSERT_EQ(good.size(), got.size());
  for (size_t i = 0; i < good.size(); ++i) {
    EXPECT_EQ(2, got[i].cmd);
    EXPECT_EQ(4242, got[i].client_id);
    EXPECT_TRUE(got[i].checksum_ok);
    EXPECT_EQ(good[i], got[i].text) << "order " << i;
    EXPECT_EQ(static_cast<int>(good[i].size()) + 18, got[i].packet_size);
  }
  EXPECT_EQ(8000, got[1].packet_size);  // the largest packet the gateway takes
  EXPECT_EQ(0, gateway_.protocol_errors());
  EXPECT_EQ(1, gateway_.connections());
  EXPECT_EQ(bad[0] + "\n" + bad[1] + "\n" + bad[2] + "\n" + bad[3] + "\n",
            redis_.command({"LRANGE", "orders:dead", "0", "-1"}));
  EXPECT_EQ("0", redis_.command({"LLEN", "orders"}));

  // The client's log is written by a thread of its own: its lines may trail what Redis shows.
  wait_until([&] { return log_text(dir_).find("json:  parse failed.") != std::string::npos; }, 5000);
  std::string log = log_text(dir_);
  EXPECT_NE(std::string::npos, log.find("json: not json{ parse failed.")) << log;
  EXPECT_NE(std::string::npos, log.find("json:  parse failed.")) << log;
  EXPECT_NE(std::string::npos, log.find("<1>")) << log;
  EXPECT_NE(std::string::npos, log.find("moved to orders:dead")) << log;
  EXPECT_NE(std::string::npos, log.find("JSON: [1,2,3]")) << log;
  EXPECT_NE(std::string::npos, log.find("SEND: 25")) << log;  // "[1,2,3]": 7 + 18 bytes
  expect_clean_stop();
}

// A 16 MB JSON array in the list cannot be sent; it is set aside without being read as
// JSON, which held the orders behind it for seconds and took 1.5 GB.
TEST_F(ClientLoopTest, AHugeOrderIsSetAsideWithoutBeingReadAsJson) {
  start_client();
  std::string huge = "[" + std::string(15999999, '1');  // [1,1,...,1]
  for (size_t i = 2; i < huge.size(); i += 2) huge[i] = ',';
  push(huge + "]");
  push("{\"n\":2}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 1; }, 30000)) << log_text(dir_);
  EXPECT_EQ("{\"n\":2}", gateway_.orders()[0].text);
  EXPECT_EQ("1", redis_.command({"LLEN", "orders:dead"}));
  EXPECT_NE(std::string::npos, log_text(dir_).find("order too long (16000001 bytes), moved to orders:dead"));
  // The order and a few copies of it in the client's buffers, but no tree of it.
  const std::string status = read_file("/proc/" + std::to_string(client_.pid()) + "/status");
  const size_t at = status.find("VmHWM:");
  ASSERT_NE(std::string::npos, at);
  EXPECT_LT(std::stol(status.substr(at + 6)), 400 * 1024) << "kB at the peak";
  expect_clean_stop();
}

// Without a pause orders are taken, written and settled in batches: a long list still goes
// out once and in order, unsendable orders are set aside in their place, and the log
// holds each order's lines as if it had been sent alone.
TEST_F(ClientLoopTest, WithoutPauseALongListGoesOutOnceInOrder) {
  std::vector<std::string> args = {"RPUSH", "orders"}, good, lines, dead;
  for (int i = 0; i < 400; ++i) {
    const bool bad = i % 97 == 50;
    args.push_back(bad ? "bad" + std::to_string(i) : "{\"n\":" + std::to_string(i) + "}");
    (bad ? dead : good).push_back(args.back());
    lines.push_back(bad ? "json: " + args.back() + " parse failed." : "JSON: " + args.back());
    if (!bad) lines.push_back("SEND: " + std::to_string(args.back().size() + 18));
  }
  redis_.command(args);
  start_client(6, 0);
  const std::string sending = "orders:sending:127.0.0.1:" + std::to_string(gateway_.port()) + ":4242";
  ASSERT_TRUE(wait_until(
      [&] {
        return gateway_.order_count() >= good.size() && redis_.command({"LLEN", "orders"}) == "0" &&
               redis_.command({"LLEN", sending}) == "0";
      },
      20000))
      << log_text(dir_);
  std::vector<ReceivedOrder> got = gateway_.orders();
  ASSERT_EQ(good.size(), got.size());
  for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(good[i], got[i].text) << "order " << i;
  EXPECT_EQ(1, gateway_.connections());
  std::string want_dead;
  for (const std::string& d : dead) want_dead += d + "\n";
  EXPECT_EQ(want_dead, redis_.command({"LRANGE", "orders:dead", "0", "-1"}) + "\n");
  expect_clean_stop();
  std::vector<std::string> logged;
  const std::string log = log_text(dir_);
  for (size_t at = log.find("[run]: "); at != std::string::npos; at = log.find("[run]: ", at)) {
    at += 7;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    if (line.rfind("JSON: ", 0) == 0 || line.rfind("SEND: ", 0) == 0 || line.rfind("json: ", 0) == 0)
      logged.push_back(line);
  }
  EXPECT_EQ(lines, logged);
}

TEST_F(ClientLoopTest, GatewayLeavingAndComingBackLosesNoOrder) {
  start_client();
  push("{\"n\":1}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 1; }, 10000));

  // The gateway drops the connection: the client notices and connects again.
  gateway_.close_client();
  ASSERT_TRUE(wait_until([&] { return gateway_.connections() == 2; }, 10000)) << log_text(dir_);
  push("{\"n\":2}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 2; }, 10000));

  // The gateway goes away for longer than one reconnect attempt; orders keep coming.
  int port = gateway_.port();
  gateway_.stop();
  for (int i = 3; i <= 6; ++i) push("{\"n\":" + std::to_string(i) + "}");
  ASSERT_TRUE(wait_until([&] { return log_text(dir_).find("connected server failed") != std::string::npos; }, 15000))
      << log_text(dir_);
  ASSERT_TRUE(gateway_.start(port));
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 6; }, 15000)) << log_text(dir_);
  std::vector<ReceivedOrder> got = gateway_.orders();
  for (int i = 0; i < 6; ++i) EXPECT_EQ("{\"n\":" + std::to_string(i + 1) + "}", got[static_cast<size_t>(i)].text);
  EXPECT_EQ(3, got[2].connection);
  std::string log = log_text(dir_);
  EXPECT_NE(std::string::npos, log.find("Tcp connection closed.")) << log;
  EXPECT_NE(std::string::npos, log.find("connected server failed")) << log;
  expect_clean_stop();
}

TEST_F(ClientLoopTest, AnswersFromTheGatewayAreReadAndDiscarded) {
  start_client(7);
  push("{\"n\":1}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 1; }, 10000));
  // Far more than socket buffers hold: only a client that reads can take it all.
  ASSERT_TRUE(gateway_.send_to_client(std::string(8 << 20, 'a')));
  push("{\"n\":2}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 2; }, 10000));
  EXPECT_EQ(1, gateway_.connections());
  EXPECT_NE(std::string::npos, log_text(dir_).find("discarded"));
  expect_clean_stop();
}

TEST_F(ClientLoopTest, IdleClientDoesNotSpinOnRedis) {
  start_client();
  ASSERT_TRUE(wait_until([&] { return lmove_calls(redis_) > 0; }, 5000));
  long before = lmove_calls(redis_);
  sleep(1);
  long during = lmove_calls(redis_) - before;
  // One pop per 100 ms pause at most: a busy loop would make thousands.
  EXPECT_LE(during, 15);
  expect_clean_stop();
}

// Orders in hand wait in the client's own sending list: those left there by a run that
// died, or by a take whose reply Redis sent into a dead connection, go out first. The
// orders in hand of another client of the same list stay where they are.
TEST_F(ClientLoopTest, OrdersLeftInHandByAnEarlierRunGoFirst) {
  const std::string mine = "orders:sending:127.0.0.1:" + std::to_string(gateway_.port()) + ":4242";
  const std::string other = "orders:sending";
  redis_.command({"RPUSH", mine, "{\"n\":1}", "{\"n\":2}"});
  redis_.command({"RPUSH", other, "{\"other\":1}"});
  push("{\"n\":3}");
  start_client();
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 3; }, 10000)) << log_text(dir_);
  std::vector<ReceivedOrder> got = gateway_.orders();
  for (int i = 0; i < 3; ++i) EXPECT_EQ("{\"n\":" + std::to_string(i + 1) + "}", got[static_cast<size_t>(i)].text);
  EXPECT_TRUE(wait_until([&] { return redis_.command({"LLEN", mine}) == "0"; }, 5000));
  EXPECT_EQ("1", redis_.command({"LLEN", other}));
  EXPECT_EQ(3u, gateway_.order_count());
  expect_clean_stop();
}

// Redis out of memory (maxmemory reached, no eviction) refuses the moves that put orders
// left in hand back in the list, and the takes: once it takes them again, those go first.
TEST_F(ClientLoopTest, OrdersLeftInHandGoFirstAfterRedisRefusedToPutThemBack) {
  redis_.command({"RPUSH", "orders:sending:127.0.0.1:" + std::to_string(gateway_.port()) + ":4242", "{\"n\":1}"});
  push("{\"n\":2}");
  ASSERT_EQ("OK", redis_.command({"CONFIG", "SET", "maxmemory", "1"}));
  start_client();
  ASSERT_TRUE(wait_until([&] { return command_calls(redis_, "lmove") == 0; }, 10000));
  ASSERT_EQ("OK", redis_.command({"CONFIG", "SET", "maxmemory", "0"}));
  ASSERT_TRUE(wait_until(
      [&] {
        return gateway_.order_count() >= 1 && redis_.command({"LLEN", "orders"}) == "0";
      },
      10000));
  EXPECT_EQ("{\"n\":1}", gateway_.orders()[0].text) << log_text(dir_);
  expect_clean_stop();
}

// A frozen Redis (stopped, its connections open) leaves a command of the idle client
// unanswered: a stop still ends the client at once.
TEST_F(ClientLoopTest, StopIsPromptWhileRedisIsFrozen) {
  start_client();
  ASSERT_TRUE(wait_until([&] { return lmove_calls(redis_) > 0; }, 5000));
  redis_.freeze(true);
  // A command Redis read before it froze waits out the client's 5 s time-out; the next
  // one stays unread.
  ASSERT_TRUE(wait_until([&] { return redis_.has_unread_command(); }, 15000));
  const auto t0 = std::chrono::steady_clock::now();
  expect_clean_stop();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  std::printf("stopped %lld ms after SIGTERM with Redis frozen\n", static_cast<long long>(ms.count()));
}

// Redis refusing the removals that settle sent orders (here an ACL; a failed snapshot
// refuses every write alike): they stay in hand until it takes them, so the next
// reconnect has nothing to recover and sends nothing twice.
TEST_F(ClientLoopTest, SettleRefusedByRedisSendsNothingTwice) {
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "-lrem"}));
  for (int i = 1; i <= 3; ++i) push("{\"n\":" + std::to_string(i) + "}");
  start_client(6, 0);
  ASSERT_TRUE(wait_until([&] { return command_calls(redis_, "lrem") == 0; }, 10000));
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "+lrem"}));
  ASSERT_TRUE(wait_until(
      [&] {
        return gateway_.order_count() >= 3 && redis_.command({"LLEN", "orders"}) == "0";
      },
      10000));
  ASSERT_TRUE(wait_until([&] { return redis_.command({"CLIENT", "KILL", "TYPE", "normal"}) != "0"; }, 5000));
  push("{\"n\":4}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 4; }, 10000)) << log_text(dir_);
  std::vector<ReceivedOrder> got = gateway_.orders();
  ASSERT_EQ(4u, got.size()) << got[3].text;
  for (int i = 0; i < 4; ++i) EXPECT_EQ("{\"n\":" + std::to_string(i + 1) + "}", got[static_cast<size_t>(i)].text);
  expect_clean_stop();
}

// A Redis that refuses the takes (here an ACL; a Redis before 6.2 has no LMOVE) is named
// in the log once, not in silence and not on every take; orders flow once it takes them.
TEST_F(ClientLoopTest, TakesRefusedByRedisAreLoggedOnce) {
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "-lmove"}));
  push("{\"n\":1}");
  start_client(7, 0);
  const std::string line = "redis refused to take orders from orders: NOPERM";
  ASSERT_TRUE(wait_until([&] { return log_text(dir_).find(line) != std::string::npos; }, 10000)) << log_text(dir_);
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "+lmove"}));
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 1; }, 10000)) << log_text(dir_);
  const std::string log = log_text(dir_);
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
  expect_clean_stop();
}

// Regression: started with its standard descriptors closed (a supervisor, `<&- >&- 2>&-`),
// the client gave their numbers to its Redis and gateway links, and the lines it writes to
// standard error (its stop line, a failing log file) went into the gateway's stream.
TEST_F(ClientLoopTest, StandardDescriptorsClosedByTheStarterAreNeverItsLinks) {
  start_client(6, -1, {"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"});
  push("{\"n\":1}");
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() == 1; }, 10000)) << log_text(dir_);
  for (int fd = 0; fd <= 2; ++fd) {
    char target[256] = "";
    const std::string link = "/proc/" + std::to_string(client_.pid()) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    EXPECT_EQ("/dev/null", std::string(target, n > 0 ? static_cast<size_t>(n) : 0)) << "descriptor " << fd;
  }
  expect_clean_stop();
  EXPECT_EQ(0, gateway_.protocol_errors());
}

// Regression: a Redis that refuses even the ping (a password required, an ACL) held the
// client in its wait for Redis with nothing in the log until it was stopped.
TEST_F(ClientLoopTest, PingRefusedByRedisIsLoggedWhileItLasts) {
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "-ping", "-lmove"}));
  push("{\"n\":1}");
  start_client(6, 0);
  const std::string line = "redis refused to take orders from orders: NOPERM";
  ASSERT_TRUE(wait_until([&] { return log_text(dir_).find(line) != std::string::npos; }, 10000)) << log_text(dir_);
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "+ping", "+lmove"}));
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 1; }, 10000)) << log_text(dir_);
  expect_clean_stop();
}

TEST(ClientLoopRedis, RedisStoppedMeansNothingSentThenOrdersFlowAgain) {
  TempDir dir;
  FakeGateway gateway;
  ASSERT_TRUE(gateway.start());
  int redis_port = free_port();
  auto start_redis = [&](Process* p) {
    EXPECT_TRUE(p->start({"/usr/bin/redis-server", "--port", std::to_string(redis_port), "--bind", "127.0.0.1",
                          "--save", "", "--appendonly", "no", "--dir", dir.path()},
                         dir.path(), dir.file("redis.out"), dir.file("redis.out")));
    EXPECT_TRUE(wait_port(redis_port, 10000));
  };
  auto rpush = [&](const std::string& v) {
    int fd = tcp_connect_local(redis_port);
    ASSERT_GE(fd, 0);
    std::string cmd = "*3\r\n$5\r\nRPUSH\r\n$6\r\norders\r\n$" + std::to_string(v.size()) + "\r\n" + v + "\r\n";
    ASSERT_TRUE(send_all(fd, cmd.data(), cmd.size()));
    char reply[16];
    ASSERT_GT(recv_exact(fd, reply, 4, 2000), 0u);
    close(fd);
  };
  Process redis;
  start_redis(&redis);
  std::string conf = write_client_conf(dir.path(), gateway.port(), redis_port, "orders", 7);
  Process client;
  ASSERT_TRUE(client.start({binary("order_sync_client"), conf}, dir.path(), dir.file("out"), dir.file("out")));
  rpush("{\"n\":1}");
  ASSERT_TRUE(wait_until([&] { return gateway.order_count() == 1; }, 10000));

  redis.stop(SIGKILL);
  sleep(2);
  EXPECT_EQ(1u, gateway.order_count());
  EXPECT_TRUE(client.running());

  start_redis(&redis);
  rpush("{\"n\":2}");
  ASSERT_TRUE(wait_until([&] { return gateway.order_count() == 2; }, 10000));
  EXPECT_EQ("{\"n\":2}", gateway.orders()[1].text);

  // Stopping while Redis is away is prompt too.
  redis.stop(SIGKILL);
  sleep(1);
  int st = client.stop(SIGTERM, 5000);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(0, WEXITSTATUS(st));
}

}  // namespace
