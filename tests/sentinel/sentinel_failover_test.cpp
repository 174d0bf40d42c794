// A master, one replica and three sentinels on loopback, a gateway registering through
// the sentinels and an order-sync client feeding it while orders keep coming. The master
// is killed: after the failover the client takes orders from the new master, every order
// pushed there arrives exactly once, and the gateway's registration and heartbeat are
// written to it. Prints how long each switch took.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hall_run.h"
#include "logic_servers.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const int kClientId = 4343;
const char kName[] = "hallmaster";

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A sentinel watching 127.0.0.1:master_port with short time-outs.
class Sentinel {
 public:
  bool start(int master_port) {
    port_ = free_port();
    const std::string conf = dir_.file("sentinel.conf");
    write_file(conf, "port " + std::to_string(port_) + "\nbind 127.0.0.1\ndir " + dir_.path() + "\nsentinel monitor " +
                         kName + " 127.0.0.1 " + std::to_string(master_port) + " 2\nsentinel down-after-milliseconds " +
                         kName + " 600\nsentinel failover-timeout " + kName + " 4000\nsentinel parallel-syncs " +
                         kName + " 1\n");
    return proc_.start({"/usr/bin/redis-server", conf, "--sentinel"}, dir_.path(), dir_.file("log"),
                       dir_.file("log")) &&
           wait_until([&] { return ask({"PING"}) == "PONG"; }, 10000);
  }
  std::string ask(const std::vector<std::string>& args) const { return redis_command(port_, args); }
  int port() const { return port_; }
  // The port of the master this sentinel names, 0 when it names none.
  int master_port() const {
    const std::string a = ask({"SENTINEL", "get-master-addr-by-name", kName});
    const size_t nl = a.find('\n');
    return a.compare(0, 4, "ERR:") == 0 || nl == std::string::npos ? 0 : std::atoi(a.c_str() + nl + 1);
  }

 private:
  TempDir dir_;
  Process proc_;
  int port_ = 0;
};

// How often each order number reached the logic server.
std::map<int, int> received(const LogicServer& s) {
  std::map<int, int> out;
  const std::string needle = "forward client=" + std::to_string(kClientId) + " data={\"order\":";
  for (const std::string& line : s.matching(needle)) ++out[std::atoi(line.c_str() + line.find(needle) + needle.size())];
  return out;
}

TEST(SentinelFailover, ClientAndGatewayFollowTheMaster) {
  RedisServer master, replica;
  ASSERT_TRUE(master.start());
  replica.extra_args = {"--replicaof", "127.0.0.1", std::to_string(master.port())};
  ASSERT_TRUE(replica.start());
  Sentinel sentinels[3];
  if (!sentinels[0].start(master.port())) GTEST_SKIP() << "redis-server does not run as a sentinel (--sentinel)";
  ASSERT_TRUE(sentinels[1].start(master.port()) && sentinels[2].start(master.port()));
  std::string list;
  for (const Sentinel& s : sentinels) list += (list.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(s.port());
  // The failover needs the three sentinels to know each other and the replica in sync.
  ASSERT_TRUE(wait_until(
      [&] {
        return sentinels[0].ask({"SENTINEL", "ckquorum", kName}).compare(0, 5, "OK 3 ") == 0 &&
               sentinels[0].ask({"SENTINEL", "replicas", kName}).find(std::to_string(replica.port())) !=
                   std::string::npos &&
               replica.command({"INFO", "replication"}).find("master_link_status:up") != std::string::npos;
      },
      30000))
      << sentinels[0].ask({"SENTINEL", "ckquorum", kName});

  LogicServer logic("SL");
  ASSERT_TRUE(logic.start());
  HallConfig cfg;
  cfg.log_level = 6;
  cfg.servers = {{1, logic.port()}};
  cfg.attrs = {{"RedisSentinels", list}, {"RedisMaster", kName}, {"RegisterInterval", "1"}};
  HallRun gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  const std::string field = "HALLSERVER" + std::to_string(cfg.svid);
  ASSERT_TRUE(wait_until([&] { return master.command({"HGET", "HALLSERVER_ALIVE", field}) != "(nil)"; }, 10000));

  TempDir dir;
  Process client;
  ASSERT_TRUE(start_order_sync_client(&client, dir.path(), gw.port(), free_port(), kClientId,
                                      "sentinels=" + list + "\nmaster=" + kName + "\n"));

  // The producer pushes one order every 10 ms to the master the sentinels name, asking
  // again whenever a push fails, and notes the first order the new master took.
  std::atomic<bool> stop{false};
  std::atomic<int> pushed{0}, first_on_new{0};
  std::thread producer([&] {
    int target = master.port();
    for (int n = 1; n <= 5000 && !stop; ++n) {
      bool stored = false;
      for (int tries = 0; tries < 1500 && !stop && !stored; ++tries) {
        stored =
            redis_command(target, {"RPUSH", "orders", "{\"order\":" + std::to_string(n) + "}"}).compare(0, 4, "ERR:") !=
            0;
        if (stored) break;
        usleep(20000);
        const int named = sentinels[tries % 3].master_port();
        if (named != 0) target = named;
      }
      if (!stored) break;
      if (target == replica.port() && first_on_new == 0) first_on_new = n;
      pushed = n;
      usleep(10000);
    }
  });

  ASSERT_TRUE(logic.wait_matching("forward client=", 30, 20000));
  const long long killed_at = now_ms();
  master.kill9();
  long long named_at = 0, delivered_at = 0, registered_at = 0;
  bool cleared = false;
  // Each switch is timed by the first look that sees it; the replica's copy of the
  // registration is removed once it is master, so that only the gateway can write it back.
  const bool switched = wait_until(
      [&] {
        const long long t = now_ms();
        if (named_at == 0 && sentinels[0].master_port() == replica.port()) named_at = t;
        if (!cleared && replica.command({"ROLE"}).compare(0, 6, "master") == 0)
          cleared = replica.command({"DEL", "HALLSERVER", "HALLSERVER_ALIVE"}).compare(0, 4, "ERR:") != 0;
        if (cleared && registered_at == 0 && replica.command({"HGET", "HALLSERVER", field}) != "(nil)" &&
            replica.command({"HGET", "HALLSERVER_ALIVE", field}) != "(nil)")
          registered_at = t;
        if (delivered_at == 0 && first_on_new > 0 && received(logic).count(first_on_new) != 0) delivered_at = t;
        return named_at != 0 && registered_at != 0 && delivered_at != 0;
      },
      45000);
  const int mark = pushed + 30;
  const bool more = wait_until([&] { return pushed >= mark; }, 20000);
  stop = true;
  producer.join();
  ASSERT_TRUE(switched) << "named " << named_at << " registered " << registered_at << " delivered " << delivered_at
                        << "\n"
                        << read_file(dir.file("log/order_sync_client_0.log"));
  ASSERT_TRUE(more);
  std::printf(
      "after the kill: sentinels named the new master in %lld ms, the gateway registered there in %lld ms, "
      "the first order pushed there reached the logic server in %lld ms\n",
      named_at - killed_at, registered_at - killed_at, delivered_at - killed_at);

  const int last = pushed;
  ASSERT_TRUE(wait_until([&] { return received(logic).count(last) != 0; }, 20000));
  const std::map<int, int> got = received(logic);
  int repeated_before = 0;
  for (const auto& g : got)
    if (g.first < first_on_new && g.second > 1) ++repeated_before;
  for (int n = first_on_new; n <= last; ++n) {
    const auto it = got.find(n);
    EXPECT_EQ(1, it == got.end() ? 0 : it->second)
        << "order " << n << " (first on the new master " << first_on_new << ")";
  }
  std::printf("orders %d..%d pushed to the new master; orders pushed before the kill seen twice: %d\n",
              first_on_new.load(), last, repeated_before);
  // Every order the client took, from either master, reached the logic server.
  const std::string log = read_file(dir.file("log/order_sync_client_0.log"));
  const std::string taken = "JSON: {\"order\":";
  for (size_t at = log.find(taken); at != std::string::npos; at = log.find(taken, at + 1))
    EXPECT_EQ(1u, got.count(std::atoi(log.c_str() + at + taken.size()))) << log.substr(at, 40);
  EXPECT_NE(std::string::npos, log.find("redis master 127.0.0.1:" + std::to_string(replica.port())));
  EXPECT_TRUE(client.running());
  EXPECT_TRUE(gw.alive());

  // A drain after the failover takes the registration off the new master.
  client.stop();
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  EXPECT_EQ(0, gw.wait_exit(10000));
  EXPECT_EQ("(nil)", replica.command({"HGET", "HALLSERVER", field}));
  EXPECT_EQ("(nil)", replica.command({"HGET", "HALLSERVER_ALIVE", field}));
}

}  // namespace

// Regression: with the registration written at start only (RegisterInterval 0), a drain
// whose link to the master failed went looking for a new master without the search's
// timers and crashed the gateway (SIGSEGV) instead of exiting.
TEST(SentinelFailover, DrainWithoutRefreshWhoseMasterIsGoneExitsCleanly) {
  RedisServer master;
  ASSERT_TRUE(master.start());
  Sentinel sentinel;
  if (!sentinel.start(master.port())) GTEST_SKIP() << "redis-server does not run as a sentinel (--sentinel)";
  HallConfig cfg;
  cfg.attrs = {{"RedisSentinels", "127.0.0.1:" + std::to_string(sentinel.port())},
               {"RedisMaster", kName},
               {"RegisterInterval", "0"}};
  HallRun gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  const std::string field = "HALLSERVER" + std::to_string(cfg.svid);
  ASSERT_NE("(nil)", master.command({"HGET", "HALLSERVER", field}));

  master.kill9();
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  const int st = gw.wait_exit(10000);
  EXPECT_TRUE(st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << gw.process_log();
}
