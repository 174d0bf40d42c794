// A fleet across hosts: network namespaces joined by veth pairs on a bridge of their own
// (10.213.0.0/24, reachable only inside them), a gateway on each of hosts 1 to 3, Redis
// and two logic servers on host 4, where the test itself and the players run. One
// gateway is killed and its host cut off while orders flow through every gateway.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hall_run.h"
#include "logic_servers.h"
#include "test_support.h"

using testsupport::HallConfig;
using testsupport::HallRun;
using testsupport::LogicServer;
using testsupport::Process;
using testsupport::TempDir;

namespace {

const char kPrefix[] = "hallfleet";

// The namespaces of one run, named kPrefix<pid>-br (the bridge) and kPrefix<pid>-h1 to -h4.
class Lab {
 public:
  ~Lab() {
    if (home_ >= 0) {
      setns(home_, CLONE_NEWNET);
      close(home_);
    }
    for (const std::string& ns : made_) run({"netns", "del", ns});
  }

  // False, with the reason, when namespaces cannot be made here.
  bool make(std::string* why) {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
      if (access(p, X_OK) == 0) ip_ = p;
    if (ip_.empty()) return *why = "no ip(8) on this machine", false;
    remove_leftovers();
    name_ = kPrefix + std::to_string(getpid());
    std::string out;
    for (const std::string& ns : {br(), host(1), host(2), host(3), host(4)}) {
      if (!run({"netns", "add", ns}, &out)) return *why = "cannot make a network namespace: " + out, false;
      made_.push_back(ns);
    }
    bool ok =
        run({"-n", br(), "link", "add", "br0", "type", "bridge"}) && run({"-n", br(), "link", "set", "br0", "up"});
    for (int h = 1; ok && h <= 4; ++h) {
      const std::string v = "v" + std::to_string(h);
      ok = run({"-n", br(), "link", "add", v, "type", "veth", "peer", "name", "eth0", "netns", host(h)}) &&
           run({"-n", br(), "link", "set", v, "master", "br0", "up"}) &&
           run({"-n", host(h), "addr", "add", addr(h) + "/24", "dev", "eth0"}) &&
           run({"-n", host(h), "link", "set", "eth0", "up"}) && run({"-n", host(h), "link", "set", "lo", "up"});
    }
    if (!ok) *why = "cannot set up the veth pairs";
    return ok;
  }

  // Moves the calling thread (and what it starts from now on) into host h.
  bool enter(int h) {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = open(("/run/netns/" + host(h)).c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = home_ >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    return ok;
  }

  bool cut(int h) { return run({"-n", br(), "link", "set", "v" + std::to_string(h), "down"}); }
  std::vector<std::string> exec_in(int h) const { return {ip_, "netns", "exec", host(h)}; }
  static std::string addr(int h) { return "10.213.0." + std::to_string(h); }

 private:
  std::string br() const { return name_ + "-br"; }
  std::string host(int h) const { return name_ + "-h" + std::to_string(h); }

  bool run(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {ip_};
    argv.insert(argv.end(), args.begin(), args.end());
    const int st = testsupport::run_program(argv, "", 10000, out);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }

  // Namespaces of an earlier run that was killed (its pid is gone), with whatever still
  // runs in them.
  void remove_leftovers() {
    std::string list;
    run({"netns", "list"}, &list);
    std::istringstream in(list);
    for (std::string line; std::getline(in, line);) {
      const std::string ns = line.substr(0, line.find(' '));
      if (ns.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) continue;
      const pid_t owner = static_cast<pid_t>(std::atoi(ns.c_str() + sizeof(kPrefix) - 1));
      if (owner <= 0 || kill(owner, 0) == 0 || errno != ESRCH) continue;
      std::string pids;
      run({"netns", "pids", ns}, &pids);
      std::istringstream p(pids);
      for (int pid; p >> pid;) kill(pid, SIGKILL);
      run({"netns", "del", ns});
    }
  }

  std::string ip_, name_;
  std::vector<std::string> made_;
  int home_ = -1;
};

std::string order(int n, int players, int first) {
  return "{\"flow\":" + std::to_string(first + n % players) + ",\"order\":" + std::to_string(n) + "}";
}

TEST(FleetHosts, PlayersOfALostGatewayMoveAndNoOrderIsLostOrDoubled) {
  Lab lab;
  std::string why;
  if (!lab.make(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(lab.enter(4));

  testsupport::RedisServer redis;
  redis.also_bind(Lab::addr(4));
  ASSERT_TRUE(redis.start());
  LogicServer l1("L1", {"--echo", "--bind", Lab::addr(4)}), l2("L2", {"--echo", "--bind", Lab::addr(4)});
  ASSERT_TRUE(l1.start() && l2.start());
  std::unique_ptr<HallRun> gw[4];
  TempDir osc_dir[4];
  Process osc[4];
  for (int h = 1; h <= 3; ++h) {
    HallConfig cfg;
    cfg.svid = h;
    cfg.ip = cfg.bind_addr = Lab::addr(h);
    cfg.log_level = 5;
    cfg.redis_ip = cfg.servers_ip = Lab::addr(4);
    cfg.redis_port = redis.port();
    cfg.servers = {{1, l1.port()}, {2, l2.port()}};
    cfg.attrs = {{"RegisterInterval", "1"}};
    cfg.launcher = lab.exec_in(h);
    gw[h].reset(new HallRun(cfg));
    ASSERT_TRUE(gw[h]->start()) << gw[h]->stderr_text();
    ASSERT_TRUE(testsupport::start_order_sync_client(&osc[h], osc_dir[h].path(), gw[h]->port(), redis.port(), 100 + h,
                                                     "", Lab::addr(h), Lab::addr(4), lab.exec_in(h)));
  }
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        return redis.command({"HLEN", "HALLSERVER_ALIVE"}) == "3";
      },
      10000))
      << redis.command({"HGETALL", "HALLSERVER"}) << "\n"
      << gw[1]->process_log().substr(0, 4000);

  // 300 players in three processes, spread by discovery.
  const int kPlayers = 300, kFirst = 1000;
  TempDir dir;
  Process players[3];
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(players[k].start(
        {testsupport::binary("hall_cli"), "--redis", "127.0.0.1:" + std::to_string(redis.port()), "--interval", "1",
         "--players", "100", "-i", std::to_string(kFirst + 100 * k), "-w", "-1", "-t", "1000"},
        dir.path(), dir.file("p" + std::to_string(k)), dir.file("e" + std::to_string(k))));
  }
  auto output = [&] {
    return testsupport::read_file(dir.file("p0")) + testsupport::read_file(dir.file("p1")) +
           testsupport::read_file(dir.file("p2"));
  };
  const auto count = testsupport::count_of;
  // Everyone connected and registered: both logic servers answered every hello.
  auto settled = [&] {
    const std::string out = output();
    return count(out, "text={\"hello\":") == 2 * count(out, "connected to gateway");
  };
  auto on = [&](int h) { return count(output(), "connected to gateway " + std::to_string(h) + " "); };
  ASSERT_TRUE(testsupport::wait_until([&] { return on(1) + on(2) + on(3) == kPlayers && settled(); }, 20000))
      << output().substr(0, 3000);
  const size_t on1 = on(1);
  for (int h = 1; h <= 3; ++h) EXPECT_GE(on(h), 50u) << "gateway " << h;

  // Orders for every player, pushed until told to stop (at most 6,000, one per 6 ms).
  std::atomic<bool> stop{false};
  std::atomic<int> pushed{0};
  std::thread pusher([&] {
    for (int n = 1; n <= 6000 && !stop; ++n) {
      redis.command({"RPUSH", "orders", order(n, kPlayers, kFirst)});
      pushed = n;
      usleep(6000);
    }
  });
  struct Join {
    std::atomic<bool>& stop;
    std::thread& t;
    ~Join() {
      stop = true;
      if (t.joinable()) t.join();
    }
  } join{stop, pusher};
  for (int h = 1; h <= 3; ++h)
    ASSERT_TRUE(l1.wait_matching("forward client=" + std::to_string(100 + h) + " ", 20, 20000)) << h;

  // Host 1 drops off the network, then its gateway dies: no close reaches anyone, the
  // players learn it from the heartbeat.
  ASSERT_TRUE(lab.cut(1));
  gw[1]->stop(SIGKILL);
  ASSERT_TRUE(testsupport::wait_until(
      [&] { return count(output(), "lost gateway 1") == on1 && on(2) + on(3) == kPlayers && settled(); }, 20000))
      << count(output(), "lost gateway 1") << " of " << on1 << "; on " << on(1) << " " << on(2) << " " << on(3)
      << "; hello answers " << count(output(), "text={\"hello\":") << "\n"
      << testsupport::read_file(dir.file("e0")).substr(0, 2000);
  const int first_after = pushed + 1;
  ASSERT_TRUE(testsupport::wait_until([&] { return pushed >= first_after + 300; }, 20000));
  stop = true;
  pusher.join();
  const int last = pushed;

  // Every order pushed once the players were back reaches its player once from each logic
  // server, through whichever gateway it entered.
  auto answers = [&] {
    std::map<int, int> n;
    std::istringstream in(output());
    for (std::string line; std::getline(in, line);) {
      int id = 0, flow = 0, ord = 0;
      if (std::sscanf(line.c_str(), "id=%d answer status=0 text={\"flow\":%d,\"order\":%d}", &id, &flow, &ord) == 3 &&
          id == flow && ord >= first_after && ord <= last)
        ++n[ord];
    }
    return n;
  };
  const size_t expected = static_cast<size_t>(last - first_after + 1);
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        auto a = answers();
        if (a.size() < expected) return false;
        for (auto& kv : a)
          if (kv.second < 2) return false;
        return true;
      },
      30000))
      << answers().size() << " of " << expected << " orders answered";
  for (auto& kv : answers()) EXPECT_EQ(2, kv.second) << "order " << kv.first;
  for (LogicServer* s : {&l1, &l2}) {
    std::map<int, int> seen;
    for (const std::string& line : s->matching("recv cmd=0x1003 forward client=10")) {
      int ord = 0;
      const size_t at = line.find("\"order\":");
      if (at != std::string::npos && std::sscanf(line.c_str() + at, "\"order\":%d", &ord) == 1 && ord >= first_after)
        ++seen[ord];
    }
    EXPECT_EQ(expected, seen.size()) << s->name();
    for (auto& kv : seen) EXPECT_EQ(1, kv.second) << s->name() << " order " << kv.first;
  }

  // The dead gateway's heartbeat goes stale; the others never stopped.
  EXPECT_TRUE(testsupport::wait_until(
      [&] {
        return time(nullptr) - std::atoll(redis.command({"HGET", "HALLSERVER_ALIVE", "HALLSERVER1"}).c_str()) > 3;
      },
      10000));
  for (int h = 2; h <= 3; ++h) {
    EXPECT_TRUE(gw[h]->alive()) << h;
    EXPECT_EQ(0u, count(output(), "lost gateway " + std::to_string(h))) << h;
    EXPECT_LE(time(nullptr) -
                  std::atoll(redis.command({"HGET", "HALLSERVER_ALIVE", "HALLSERVER" + std::to_string(h)}).c_str()),
              3)
        << h;
  }
}

}  // namespace
