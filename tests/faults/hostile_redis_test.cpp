// Sentinels that answer with a huge bulk string, a huge array or one byte at a time, in
// front of a real Redis named by an honest sentinel: the gateway and the order-sync
// client skip them, stay small, keep working, and the client still stops on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "faults_harness.h"

using namespace relaytest;

namespace {

// A fake sentinel on a free port, served by a thread: every read of a connection is
// answered with `head`, then `flood` over and over (64 MB at most) while the peer takes it.
class FakeSentinel {
 public:
  explicit FakeSentinel(const std::string& head, const std::string& flood = "") : head_(head), flood_(flood) {
    lfd_ = testsupport::tcp_listener(&port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeSentinel() {
    stop_ = true;
    thread_.join();
    for (int fd : conns_) close(fd);
    close(lfd_);
  }
  std::string addr() const { return "127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_; }

 private:
  // False once the peer is gone.
  bool answer(int fd) {
    if (send(fd, head_.data(), head_.size(), MSG_NOSIGNAL) < 0) return false;
    for (int sent = 0; !flood_.empty() && sent < (64 << 20) && !stop_; sent += static_cast<int>(flood_.size())) {
      pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) != 1 || send(fd, flood_.data(), flood_.size(), MSG_NOSIGNAL) <= 0) return false;
    }
    return true;
  }
  void serve() {
    while (!stop_) {
      std::vector<pollfd> fds = {{lfd_, POLLIN, 0}};
      for (int fd : conns_) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      if (fds[0].revents != 0) {
        const int fd = accept(lfd_, nullptr, nullptr);
        if (fd >= 0) conns_.push_back(fd), ++accepted_;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        char buf[4096];
        if (recv(fds[i].fd, buf, sizeof(buf), MSG_DONTWAIT) > 0 && answer(fds[i].fd)) continue;
        close(fds[i].fd);
        conns_.erase(std::find(conns_.begin(), conns_.end(), fds[i].fd));
      }
    }
  }

  std::string head_, flood_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> conns_;
  std::thread thread_;
};

const int kClientId = 4343;

TEST(HostileRedis, OversizedAndTricklingSentinelRepliesAreSkippedAndBounded) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  std::string ones;
  while (ones.size() < 65536) ones += ":1\r\n";
  const std::string port = std::to_string(redis.port());
  FakeSentinel bulk("$9999999999\r\n", std::string(65536, 'x')), array("*2147483647\r\n", ones),
      trickle("*"),  // the next byte never comes
      honest("*2\r\n$9\r\n127.0.0.1\r\n$" + std::to_string(port.size()) + "\r\n" + port + "\r\n");
  const std::string list = bulk.addr() + "," + array.addr() + "," + trickle.addr() + "," + honest.addr();
  LogicServer logic("H1");
  ASSERT_TRUE(logic.start());
  GatewayConfig cfg;
  cfg.log_level = 4;
  cfg.servers = {{1, logic.port()}};
  cfg.attrs = {{"RedisSentinels", list}, {"RedisMaster", "hall"}, {"RegisterInterval", "1"}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  const std::string field = "HALLSERVER" + std::to_string(cfg.svid);
  // Start-up asks every sentinel in turn; the refresh does so again each time it searches.
  EXPECT_NE("(nil)", redis.command({"HGET", "HALLSERVER", field}));
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        return redis.command({"HGET", "HALLSERVER_ALIVE", field}) != "(nil)";
      },
      15000));
  const std::string log = gw.process_log();
  EXPECT_NE(std::string::npos, log.find("reply past 65536 bytes: connection dropped")) << log.substr(0, 2000);
  EXPECT_NE(std::string::npos, log.find("array of 2147483647 elements (more than 4096): connection dropped"));

  testsupport::TempDir dir;
  testsupport::Process client;
  ASSERT_TRUE(testsupport::start_order_sync_client(&client, dir.path(), gw.port(), testsupport::free_port(), kClientId,
                                                   "sentinels=" + list + "\nmaster=hall\n"));
  ASSERT_EQ("1", redis.command({"RPUSH", "orders", "{\"order\":1}"}));
  EXPECT_TRUE(logic.wait_matching("data={\"order\":1}", 1, 30000));
  long worst = 0;
  for (pid_t pid : {gw.pid(), client.pid()}) worst = std::max(worst, faulttest::rss_kb(pid));
  std::printf("largest resident size: %ld kB\n", worst);
  EXPECT_LT(worst, 100 * 1024);

  // A client whose only sentinel trickles its answer still stops at once.
  testsupport::TempDir dir2;
  const int before = trickle.accepted();
  testsupport::Process stuck;
  ASSERT_TRUE(testsupport::start_order_sync_client(&stuck, dir2.path(), gw.port(), testsupport::free_port(),
                                                   kClientId + 1, "sentinels=" + trickle.addr() + "\nmaster=hall\n"));
  // It waits on the sentinel's answer once it has connected there.
  ASSERT_TRUE(testsupport::wait_until([&] { return trickle.accepted() > before; }, 10000));
  const auto asked = std::chrono::steady_clock::now();
  const int st = stuck.stop(SIGTERM, 5000);
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
  std::printf("stopped %lld ms after SIGTERM\n", static_cast<long long>(took));
  EXPECT_TRUE(WIFEXITED(st)) << st;  // not killed after the 5 s
  EXPECT_LT(took, 1800);             // unheard, the wait for the sentinel alone would take 2 s
  const int cst = client.stop(SIGTERM, 5000);
  EXPECT_TRUE(WIFEXITED(cst) && WEXITSTATUS(cst) == 0) << cst;
}

}  // namespace
