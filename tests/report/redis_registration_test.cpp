// The Redis registration against a real redis-server on a private loopback port.
#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hall_run.h"
#include "log.h"
#include "packets.h"
#include "registration/redis_server.h"
#include "test_support.h"

using __http_svr_ns__::CRedisServer;
using testsupport::RedisServer;

namespace {

double seconds_since(const struct timeval& t0) {
  struct timeval t1;
  gettimeofday(&t1, nullptr);
  return (t1.tv_sec - t0.tv_sec) + (t1.tv_usec - t0.tv_usec) / 1e6;
}

// A loopback TCP listener that never accepts. With a backlog of 0 and its queue
// filled, the kernel drops further SYNs, so a connect to it hangs like one to an
// address that does not answer.
class SilentListener {
 public:
  SilentListener() { fd_ = testsupport::tcp_listener(&port_, 0); }
  ~SilentListener() {
    for (int fd : fillers_) close(fd);
    close(fd_);
  }
  // Completes connections (the kernel does the handshake) until the queue is full.
  void fill_queue() {
    for (int i = 0; i < 4; ++i) {
      int fd = testsupport::tcp_connect_local(port_, 300);
      if (fd < 0) break;
      fillers_.push_back(fd);
    }
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

class RedisRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    init_log("Log_report", logs_.path().c_str(), 3, 1 << 20);
  }
  std::string process_log() { return testsupport::read_file(logs_.file("Log_report_0.log")); }

  RedisServer redis_;
  testsupport::TempDir logs_;
};

}  // namespace

TEST_F(RedisRegistration, RecordIsCompactJsonWithLineFeed) {
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_EQ("{\"IP\":\"127.0.0.1\",\"PORT\":8000,\"SVID\":12}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER12"}));
  EXPECT_EQ("hash", redis_.command({"TYPE", "HALLSERVER"}));
  EXPECT_EQ("-1", redis_.command({"TTL", "HALLSERVER"}));  // no expiry
}

TEST_F(RedisRegistration, TwoGatewaysAddTwoFieldsAndARestartOverwrites) {
  std::string host = "127.0.0.1";
  {
    CRedisServer a, b;
    ASSERT_EQ(0, a.Connect(host, redis_.port()));
    ASSERT_EQ(0, b.Connect(host, redis_.port()));
    a.SetInfo("10.0.0.1", 8000, 3);
    b.SetInfo("10.0.0.2", 8001, 4);
  }
  EXPECT_EQ("2", redis_.command({"HLEN", "HALLSERVER"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.1\",\"PORT\":8000,\"SVID\":3}\n", redis_.command({"HGET", "HALLSERVER", "HALLSERVER3"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.2\",\"PORT\":8001,\"SVID\":4}\n", redis_.command({"HGET", "HALLSERVER", "HALLSERVER4"}));

  CRedisServer again;
  ASSERT_EQ(0, again.Connect(host, redis_.port()));
  again.SetInfo("10.0.0.9", 9000, 3);
  EXPECT_EQ("2", redis_.command({"HLEN", "HALLSERVER"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.9\",\"PORT\":9000,\"SVID\":3}\n", redis_.command({"HGET", "HALLSERVER", "HALLSERVER3"}));
}

TEST_F(RedisRegistration, AnAddressWithSpacesAndQuotesStaysOneArgument) {
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  r.SetInfo("a b \"c\"", 1, 7);
  EXPECT_EQ("{\"IP\":\"a b \\\"c\\\"\",\"PORT\":1,\"SVID\":7}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER7"}));
}

TEST_F(RedisRegistration, ErrorReplyIsLoggedAndNothingElseHappens) {
  redis_.command({"SET", "HALLSERVER", "a string"});
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_EQ("a string", redis_.command({"GET", "HALLSERVER"}));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, RedisDownLeavesNoRegistrationAndSaysSo) {
  const int dead_port = testsupport::free_port();
  CRedisServer r;
  std::string host = "127.0.0.1";
  EXPECT_EQ(-1, r.Connect(host, dead_port));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));  // no context: sends nothing
  const std::string log = process_log();
  EXPECT_NE(std::string::npos, log.find("<3>")) << log;
  EXPECT_NE(std::string::npos, log.find("registration not written")) << log;
  EXPECT_EQ("0", redis_.command({"EXISTS", "HALLSERVER"}));
}

TEST_F(RedisRegistration, NeverConnectedSetInfoSendsNothing) {
  CRedisServer r;
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, ConnectToSilentAddressGivesUpWithinTheBound) {
  SilentListener silent;
  silent.fill_queue();
  CRedisServer r;
  std::string host = "127.0.0.1";
  struct timeval t0;
  gettimeofday(&t0, nullptr);
  EXPECT_EQ(-1, r.Connect(host, silent.port()));
  EXPECT_LT(seconds_since(t0), CRedisServer::kTimeoutMs / 1000.0 + 5);
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, ServerThatNeverRepliesDoesNotHangRegistration) {
  SilentListener silent;  // the kernel completes the handshake; nobody reads
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, silent.port()));
  struct timeval t0;
  gettimeofday(&t0, nullptr);
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_LT(seconds_since(t0), CRedisServer::kTimeoutMs / 1000.0 + 5);
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

namespace {

// A gateway that refreshes its registration every second in `redis`, with `servers` as
// its logic servers.
class RefreshingHall : public testsupport::HallRun {
 public:
  RefreshingHall(int svid, const testsupport::RedisServer& redis, std::vector<std::pair<int, int>> servers = {})
      : HallRun(config(svid, redis.port(), std::move(servers))), svid_(svid) {}
  ~RefreshingHall() { stop(SIGKILL); }
  // Record and a heartbeat of the last few seconds both in `redis`.
  bool registered(testsupport::RedisServer& redis) const {
    const std::string field = "HALLSERVER" + std::to_string(svid_);
    const std::string record =
        "{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(port()) + ",\"SVID\":" + std::to_string(svid_) + "}\n";
    return redis.command({"HGET", "HALLSERVER", field}) == record && labs(heartbeat(redis) - time(nullptr)) <= 5;
  }
  long heartbeat(testsupport::RedisServer& redis) const {
    return atol(redis.command({"HGET", "HALLSERVER_ALIVE", "HALLSERVER" + std::to_string(svid_)}).c_str());
  }

 private:
  static testsupport::HallConfig config(int svid, int redis_port, std::vector<std::pair<int, int>> servers) {
    testsupport::HallConfig c;
    c.svid = svid;
    c.log_level = 4;
    c.redis_port = redis_port;
    c.servers = std::move(servers);
    c.attrs = {{"RegisterInterval", "1"}};
    return c;
  }
  int svid_;
};

}  // namespace

TEST(RegistrationRefresh, RecordAndHeartbeatComeBackEveryInterval) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  RefreshingHall hall(12, redis);
  ASSERT_TRUE(hall.start());
  auto registered = [&] { return hall.registered(redis); };
  ASSERT_TRUE(testsupport::wait_until(registered, 10000));
  const long first = hall.heartbeat(redis);
  EXPECT_TRUE(testsupport::wait_until([&] { return hall.heartbeat(redis) > first; }, 10000));

  EXPECT_EQ("OK", redis.command({"FLUSHALL"}));
  EXPECT_TRUE(testsupport::wait_until(registered, 10000));

  // Restarted empty on the same port: the gateway's link breaks and is opened again.
  const int port = redis.port();
  redis.stop();
  ASSERT_TRUE(redis.start(port));
  EXPECT_TRUE(testsupport::wait_until(registered, 10000));
  EXPECT_TRUE(hall.alive());
}

TEST(RegistrationRefresh, AFrozenRedisLeavesRoundTripsAlone) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  testsupport::TempDir dir;
  testsupport::Process logic;
  const int logic_port = testsupport::free_port();
  ASSERT_TRUE(logic.start({testsupport::binary("logic_server"), "--name", "L", std::to_string(logic_port)}, dir.path(),
                          dir.file("out"), dir.file("err")));
  ASSERT_TRUE(testsupport::wait_until(
      [&] { return testsupport::read_file(dir.file("out")).find("listening on") != std::string::npos; }, 10000));
  RefreshingHall hall(13, redis, {{1, logic_port}});
  ASSERT_TRUE(hall.start());
  ASSERT_TRUE(testsupport::wait_until([&] { return hall.registered(redis); }, 10000));

  testpackets::Client client(hall.port());
  ASSERT_TRUE(client.ok());
  // Milliseconds of one request and its answer.
  auto round_trip = [&] {
    const auto t0 = std::chrono::steady_clock::now();
    int status = -1;
    std::string text;
    if (!client.send(testpackets::data_req(77, "{\"order\":1}")) || !client.answer(&status, &text, 5000)) return 1e9;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  auto p99 = [](std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() * 99 / 100];
  };
  // Round trips for as many refreshes as the freeze below lasts, so that both samples
  // meet the same load of the machine.
  auto trips_until = [&](const std::function<bool()>& done, std::vector<double>* ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline && (ms->size() % 100 != 0 || ms->size() < 500 || !done())) {
      ms->push_back(round_trip());
      if (ms->back() >= 1e9) return false;
    }
    return done();
  };
  std::vector<double> before;
  const long first = hall.heartbeat(redis);
  ASSERT_TRUE(trips_until([&] { return hall.heartbeat(redis) >= first + 4; }, &before));

  struct Thaw {
    testsupport::RedisServer* r;
    ~Thaw() { r->freeze(false); }
  } thaw{&redis};
  redis.freeze(true);
  // Round trips while the gateway writes into the frozen Redis, skips the intervals it
  // leaves unanswered and finally reconnects.
  std::vector<double> frozen;
  ASSERT_TRUE(trips_until([&] { return hall.wait_log("no answer for three intervals", 0); }, &frozen));
  // Generous: the machine is shared, and its load differs between the two samples.
  const double limit = std::max(20.0, 3 * p99(before));
  printf("round trip p99: %.3f ms before, %.3f ms with Redis frozen (%zu trips, slowest %.3f ms)\n", p99(before),
         p99(frozen), frozen.size(), *std::max_element(frozen.begin(), frozen.end()));
  EXPECT_LT(p99(frozen), limit);
  // A loop that waited on Redis, even once, would show as one trip held for seconds.
  EXPECT_LT(*std::max_element(frozen.begin(), frozen.end()), 1500.0);

  redis.freeze(false);
  const long thawed = time(nullptr);
  EXPECT_TRUE(testsupport::wait_until([&] { return hall.heartbeat(redis) >= thawed; }, 10000));
  EXPECT_TRUE(hall.alive());
}

namespace {

// A name server that never answers and a hosts file of the test's, seen by the gateway
// alone: its launcher gives it a mount namespace of its own with both bound over the
// system's files. The hosts file is rewritten in place, so the gateway sees each change.
class OwnResolver {
 public:
  ~OwnResolver() {
    if (dns_ >= 0) close(dns_);
  }
  // False, with the reason, where the machine does not allow it (the test is skipped).
  bool start(std::string* why) {
    hosts("");
    const std::string server = "127.53.0." + std::to_string(2 + getpid() % 250);
    dns_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    inet_pton(AF_INET, server.c_str(), &a.sin_addr);
    if (bind(dns_, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0)
      return *why = "cannot bind a name server on " + server + ":53", false;
    testsupport::write_file(dir_.file("resolv.conf"), "nameserver " + server + "\noptions timeout:4 attempts:1\n");
    launcher_ = {"/usr/bin/unshare",
                 "-m",
                 "/bin/sh",
                 "-c",
                 "mount --bind " + dir_.file("resolv.conf") + " /etc/resolv.conf && mount --bind " +
                     dir_.file("hosts") + " /etc/hosts && exec \"$@\"",
                 "sh"};
    std::vector<std::string> probe = launcher_;
    probe.push_back("/bin/true");
    if (testsupport::run_program(probe, "", 10000) != 0)
      return *why = "no private mount namespace (unshare -m, mount --bind)", false;
    return true;
  }
  void hosts(const std::string& text) { testsupport::write_file(dir_.file("hosts"), text); }
  // A gateway that reaches Redis by the name this resolver answers (or does not).
  testsupport::HallConfig config(int redis_port) const {
    testsupport::HallConfig c;
    c.redis_ip = "redis.hall.test";
    c.redis_port = redis_port;
    c.launcher = launcher_;
    return c;
  }

 private:
  testsupport::TempDir dir_;
  int dns_ = -1;
  std::vector<std::string> launcher_;
};

}  // namespace

// Regression: a Redis host name that did not resolve at start-up (its name server silent)
// was looked up again by the connect of every interval, on the loop: each lookup held
// every connection of the gateway for the resolver's whole time-out. Once the name
// resolves, the registration is written.
TEST(RegistrationRefresh, AHostNameThatDoesNotResolveNeverHoldsTheLoop) {
  OwnResolver resolver;
  std::string why;
  if (!resolver.start(&why)) GTEST_SKIP() << why;
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  testsupport::HallConfig c = resolver.config(redis.port());
  const int stats = testsupport::free_port();
  c.attrs = {{"RegisterInterval", "1"}, {"StatsPort", std::to_string(stats)}};
  testsupport::HallRun hall(c);
  ASSERT_TRUE(hall.start(30000)) << hall.stderr_text();
  // Scrapes for several intervals: none may wait for a lookup.
  double slowest = 0;
  int scrapes = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end && scrapes < 10000) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_NE("", testsupport::scrape(stats));
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    slowest = std::max(slowest, took.count());
    ++scrapes;
  }
  // Each lookup on the loop held it for 4 s or more.
  EXPECT_LT(slowest, 3000.0) << scrapes << " scrapes";
  EXPECT_EQ("0", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));

  resolver.hosts("127.0.0.1 redis.hall.test\n");
  EXPECT_TRUE(testsupport::wait_until(
      [&] {
        return redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}) == "1";
      },
      15000));
  EXPECT_TRUE(hall.alive());
}

// Regression: with the registration written at start only (RegisterInterval 0), a drain
// looked the Redis host name up again on the loop; with the name server gone silent the
// loop was held for the resolver's time-out and the record stayed. The removal goes to
// the address start-up reached.
TEST(RegistrationRefresh, WithoutRefreshADrainRemovesTheRecordWithoutALookup) {
  OwnResolver resolver;
  std::string why;
  if (!resolver.start(&why)) GTEST_SKIP() << why;
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  resolver.hosts("127.0.0.1 redis.hall.test\n");
  testsupport::HallConfig c = resolver.config(redis.port());
  c.attrs = {{"RegisterInterval", "0"}};
  testsupport::HallRun hall(c);
  ASSERT_TRUE(hall.start(30000)) << hall.stderr_text();
  ASSERT_EQ("1", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));

  resolver.hosts("");
  ASSERT_EQ(0, kill(hall.pid(), SIGUSR1));
  const int st = hall.wait_exit(20000);
  EXPECT_TRUE(st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ("0", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));
  EXPECT_EQ(std::string::npos, hall.process_log().find("removal from redis not confirmed")) << hall.process_log();
}

// A failover takes a few seconds: the search for the master is repeated soon at first,
// then less often (the second wait used to jump straight to the longest).
TEST(RegistrationRefresh, FailedMasterSearchesWaitOneOneTwoThenFourSeconds) {
  const int expected[] = {1, 1, 2, 4, 4, 4};
  for (int round = 1; round <= 6; ++round)
    EXPECT_EQ(expected[round - 1], CRedisServer::SearchWaitSeconds(round)) << "after failed search " << round;
}

// Regression: a server on the Redis port that answers with more replies than commands
// (a broken Redis, a proxy that repeats itself) made hiredis abort the whole gateway on
// the first reply that no command waited for. The link is dropped instead, reopened at
// the next interval, and the gateway runs on.
TEST(RegistrationRefresh, RepliesThatNoCommandAskedForDropTheLinkNotTheGateway) {
  int port = 0;
  const int listener = testsupport::tcp_listener(&port);
  ASSERT_GE(listener, 0);
  std::atomic<bool> done{false};
  std::atomic<int> accepted{0};
  std::thread fake([&] {  // every chunk it reads is answered three times over
    std::vector<struct pollfd> fds = {{listener, POLLIN, 0}};
    while (!done) {
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (size_t i = fds.size(); i-- > 0;) {
        if (fds[i].revents == 0) continue;
        char buf[4096];
        const int fd = fds[i].fd;
        if (i == 0) {
          const int c = accept(listener, nullptr, nullptr);
          if (c >= 0) fds.push_back({c, POLLIN, 0}), ++accepted;
        } else if (recv(fd, buf, sizeof(buf), 0) <= 0 || send(fd, "+OK\r\n+OK\r\n+OK\r\n", 15, MSG_NOSIGNAL) < 0) {
          close(fd);
          fds.erase(fds.begin() + static_cast<long>(i));
        }
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
  });
  testsupport::HallConfig c;
  c.log_level = 4;
  c.redis_port = port;
  c.attrs = {{"RegisterInterval", "1"}};
  {
    testsupport::HallRun hall(c);
    EXPECT_TRUE(hall.start());
    // Start-up's connection, then a link per interval: each dropped after its extra reply.
    EXPECT_TRUE(testsupport::wait_until([&] { return accepted >= 4 || !hall.alive(); }, 15000));
    EXPECT_TRUE(hall.alive()) << hall.stderr_text();
    EXPECT_TRUE(hall.wait_log("registration refresh failed: a reply that no command asked for", 5000))
        << hall.process_log();
  }
  done = true;
  fake.join();
  close(listener);
}
