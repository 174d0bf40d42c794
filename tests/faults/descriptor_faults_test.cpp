// More clients than the gateway can hold: beyond MaxFdCount (its poller is full) and
// beyond its descriptor limit (accept fails with EMFILE). The gateway keeps serving the
// connections it has, does not spin or flood its log, and serves again once
// descriptors are free.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "faults_harness.h"
#include "packet_base.h"

using namespace relaytest;
using faulttest::FaultGateway;
using faulttest::FaultGatewayConfig;

namespace {

enum Outcome { PENDING, ANSWERED, CLOSED };

struct Conn {
  int fd = -1;
  int id = 0;
  std::string buf;
  Outcome outcome = PENDING;
  std::string text;
};

// Waits on every still-pending connection at once until each has an answer or was
// closed, or timeout_ms passed.
void collect(std::vector<Conn>* conns, int timeout_ms) {
  testsupport::wait_until(
      [&] {
        std::vector<pollfd> pfds;
        std::vector<Conn*> who;
        for (Conn& c : *conns)
          if (c.outcome == PENDING && c.fd >= 0) {
            pfds.push_back({c.fd, POLLIN, 0});
            who.push_back(&c);
          }
        if (pfds.empty()) return true;
        if (poll(pfds.data(), pfds.size(), 50) <= 0) return false;
        for (size_t i = 0; i < pfds.size(); ++i) {
          if (pfds[i].revents == 0) continue;
          Conn* c = who[i];
          char data[4096];
          ssize_t n = recv(c->fd, data, sizeof(data), MSG_DONTWAIT);
          if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) c->outcome = CLOSED;
            continue;
          }
          c->buf.append(data, static_cast<size_t>(n));
          if (c->buf.size() >= 9 && c->buf.size() >= static_cast<size_t>(pkg_length(c->buf.data())) + 2) {
            if (pkg_cmd(c->buf.data()) == 0x1001) {
              std::string body = c->buf.substr(9, static_cast<size_t>(pkg_length(c->buf.data())) - 7);
              for (char& ch : body)
                ch = static_cast<char>(CEncryptDecrypt::MapRecvByte(static_cast<unsigned char>(ch)));
              Packet p;
              p.body = body;
              c->text = p.str_at(4);
            }
            c->outcome = ANSWERED;
          }
        }
        return false;
      },
      timeout_ms);
}

// Opens n connections and sends one request on each (ids from first_id).
std::vector<Conn> open_and_ask(int port, int n, int first_id) {
  std::vector<Conn> conns(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    conns[i].id = first_id + i;
    conns[i].fd = testsupport::tcp_connect_local(port, 10000);
    if (conns[i].fd < 0) continue;
    // A logic server started later must not inherit the client's end, or closing it
    // here would not end the connection.
    fcntl(conns[i].fd, F_SETFD, FD_CLOEXEC);
    const std::string req = data_req(conns[i].id, "hello " + std::to_string(conns[i].id));
    if (!testsupport::send_all(conns[i].fd, req.data(), req.size())) conns[i].outcome = CLOSED;
  }
  return conns;
}

std::map<Outcome, int> tally(const std::vector<Conn>& conns) {
  std::map<Outcome, int> t{{PENDING, 0}, {ANSWERED, 0}, {CLOSED, 0}};
  for (const Conn& c : conns) ++t[c.outcome];
  return t;
}

void close_all(std::vector<Conn>* conns, Outcome which) {
  for (Conn& c : *conns)
    if (c.outcome == which && c.fd >= 0) {
      ::close(c.fd);
      c.fd = -1;
    }
}

class DescriptorFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(logic_.start());
  }
  void TearDown() override {
    for (auto* set : {&a_, &b_, &c_})
      for (Conn& c : *set)
        if (c.fd >= 0) ::close(c.fd);
  }
  // The logic server restarts while no descriptor is left to reconnect with: a request
  // then is lost at worst, and costs no connection.
  void restart_logic_while_out_of_descriptors(FaultGateway& gw) {
    ASSERT_EQ(0, logic_.stop() & 0x7f);
    ASSERT_TRUE(logic_.start());
    usleep(1500000);
    Conn* probe = nullptr;
    for (Conn& c : a_)
      if (c.outcome == ANSWERED && probe == nullptr) probe = &c;
    ASSERT_NE(probe, nullptr);
    const std::string req = data_req(probe->id, "while out of descriptors");
    ASSERT_TRUE(testsupport::send_all(probe->fd, req.data(), req.size()));
    Packet lost;
    read_packet(probe->fd, &lost, 1000);
    EXPECT_FALSE(testsupport::wait_closed(probe->fd, 200));
    EXPECT_TRUE(gw.alive());
  }
  LogicServer logic_{"L", {"--result", "ok"}};
  std::vector<Conn> a_, b_, c_;
};

// Clients the poller has room for: MaxFdCount less the listener, the registration's link
// to Redis and two slots per logic server (its link and one kept for reconnecting it).
// All of them answered.
std::vector<Conn> fill(int port, const FaultGatewayConfig& cfg, int first_id) {
  std::vector<Conn> conns = open_and_ask(port, cfg.max_fd - 2 - 2 * static_cast<int>(cfg.servers.size()), first_id);
  collect(&conns, 60000);
  EXPECT_EQ(tally(conns)[ANSWERED], static_cast<int>(conns.size()));
  return conns;
}

// A full gateway takes no connection it could only close: the order-sync client's waits
// in the listen queue with the orders written into it, and once players leave every
// order arrives exactly once.
TEST_F(DescriptorFaults, ClientsBeyondMaxFdCountWaitUntilSlotsFree) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  FaultGatewayConfig cfg;
  cfg.max_fd = 1024;  // the smallest the gateway accepts
  cfg.nofile = 4096;
  cfg.servers = {{1, logic_.port()}};
  FaultGateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  a_ = fill(gw.port(), cfg, 100000);

  const int kOrders = 5;
  for (int n = 1; n <= kOrders; ++n)
    ASSERT_EQ(redis.command({"RPUSH", "orders", "{\"order\":" + std::to_string(n) + "}"}), std::to_string(n));
  testsupport::TempDir dir;
  testsupport::Process client;
  ASSERT_TRUE(testsupport::start_order_sync_client(&client, dir.path(), gw.port(), redis.port(), 4242));
  ASSERT_TRUE(testsupport::wait_until([&] { return redis.command({"LLEN", "orders"}) == "0"; }, 20000));

  // Free 100 places: the waiting client is served, then as many newcomers as fit.
  for (int i = 0; i < 100; ++i) {
    ::close(a_[i].fd);
    a_[i].fd = -1;
  }
  const std::string needle = "forward client=4242 data=";
  EXPECT_TRUE(logic_.wait_matching(needle, kOrders, 20000)) << testsupport::read_file(dir.file("out"));
  std::printf("%zu of %d orders sent to a full gateway arrived\n", logic_.matching(needle).size(), kOrders);
  for (int n = 1; n <= kOrders; ++n)
    EXPECT_EQ(logic_.matching(needle + "{\"order\":" + std::to_string(n) + "}").size(), 1u) << n;
  b_ = open_and_ask(gw.port(), 99, 200000);
  collect(&b_, 30000);
  EXPECT_EQ(tally(b_)[ANSWERED], 99);
  EXPECT_TRUE(gw.alive());
  client.stop();
}

// Regression: with every poller slot taken by clients, a logic server that restarted
// could not be reconnected once a newcomer took the slot its link had left, and no
// client got an answer until some client left. Slots are now kept for the links.
TEST_F(DescriptorFaults, LogicServerRestartedWhileThePollerIsFullIsReconnected) {
  FaultGatewayConfig cfg;
  cfg.max_fd = 1024;
  cfg.nofile = 4096;
  cfg.servers = {{1, logic_.port()}};
  FaultGateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  a_ = fill(gw.port(), cfg, 500000);

  ASSERT_EQ(0, logic_.stop() & 0x7f);
  // Newcomers try to take the slot the dropped link left.
  b_ = open_and_ask(gw.port(), 5, 600000);
  collect(&b_, 3000);
  ASSERT_TRUE(logic_.start());
  usleep(500000);
  // The clients it holds ask again: the link is reopened and they are answered.
  int asked = 0;
  for (Conn& c : a_)
    if (c.outcome == ANSWERED && asked < 20) {
      const std::string req = data_req(c.id, "after the restart");
      ASSERT_TRUE(testsupport::send_all(c.fd, req.data(), req.size()));
      c.outcome = PENDING;
      c.buf.clear();
      ++asked;
    }
  collect(&a_, 10000);
  EXPECT_EQ(tally(a_)[PENDING], 0);
  EXPECT_TRUE(gw.alive());
}

// The client listener and the metrics listener share the poller: with every slot a client
// may take in use, newcomers wait in the queue, while the slots kept for metrics
// connections stay theirs and every scrape, eight open at once included, is answered.
TEST_F(DescriptorFaults, AFullPollerLeavesTheMetricsEndpointItsSlots) {
  FaultGatewayConfig cfg;
  cfg.max_fd = 1024;
  cfg.nofile = 4096;
  cfg.servers = {{1, logic_.port()}};
  const int stats_port = testsupport::free_port();
  cfg.attrs = {{"StatsAddr", "127.0.0.1"}, {"StatsPort", std::to_string(stats_port)}};
  FaultGateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  // The metrics listener takes one slot and keeps eight for its connections.
  a_ = open_and_ask(gw.port(), cfg.max_fd - 2 - 2 - 9, 700000);
  collect(&a_, 60000);
  ASSERT_EQ(tally(a_)[ANSWERED], static_cast<int>(a_.size()));
  b_ = open_and_ask(gw.port(), 5, 800000);
  collect(&b_, 1000);
  EXPECT_EQ(tally(b_)[PENDING], 5);

  std::vector<int> scrapes;
  for (int i = 0; i < 8; ++i) scrapes.push_back(testsupport::tcp_connect_local(stats_port, 10000));
  const std::string get = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int fd : scrapes) {
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testsupport::send_all(fd, get.data(), get.size()));
  }
  for (int fd : scrapes) {
    // The endpoint answers and closes: read until it has, 10 s at most.
    std::string answer;
    char buf[4096];
    for (int turns = 0; turns < 200; ++turns) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer.substr(0, 200);
    EXPECT_EQ(testsupport::figure(answer, "hall_client_connections"), static_cast<double>(a_.size()));
  }
  EXPECT_GE(testsupport::figure(testsupport::scrape(stats_port), "hall_accept_pauses_total"), 1);

  close_all(&a_, ANSWERED);
  collect(&b_, 30000);
  EXPECT_EQ(tally(b_)[ANSWERED], 5);
  EXPECT_TRUE(gw.alive());
}

// A MaxFdCount beyond what the process may open is cut to its descriptor limit: the
// gateway serves, without a table it could never fill (one too large for epoll_wait
// made every wait fail).
TEST_F(DescriptorFaults, MaxFdCountAboveTheDescriptorLimitIsCutToIt) {
  FaultGatewayConfig cfg;
  cfg.max_fd = 179000000;
  cfg.nofile = 4096;
  cfg.servers = {{1, logic_.port()}};
  FaultGateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  EXPECT_NE(gw.process_log().find("MaxFdCount 179000000 is more than the 4096 descriptors this process may open; "
                                  "4096 used"),
            std::string::npos);
  a_ = open_and_ask(gw.port(), 1, 1);
  collect(&a_, 10000);
  EXPECT_EQ(tally(a_)[ANSWERED], 1);
  std::printf("MaxFdCount 179000000 with 4096 descriptors: %ld kB resident\n", faulttest::rss_kb(gw.pid()));
}

// True when this build (and so the gateway under test) runs with the sanitizers; GCC and
// clang say so in different ways.
#if defined(__SANITIZE_ADDRESS__)
#define HALL_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALL_SANITIZED_BUILD 1
#endif
#endif

// While out of descriptors the gateway neither spins nor floods its log: over a 2-second
// window, few lines about accept (or complaints on standard error of lines that could not
// be written for want of a descriptor) and few CPU ticks.
void expect_quiet_while_out_of_descriptors(FaultGateway& gw) {
  const long cpu_before = faulttest::cpu_ticks(gw.pid());
  auto log_noise = [&] {
    return faulttest::count_of(gw.process_log(), "accept") + faulttest::count_of(gw.stderr_text(), "ATTENTION");
  };
  const size_t noise_before = log_noise();
  sleep(2);
  const long cpu_used = faulttest::cpu_ticks(gw.pid()) - cpu_before;
  const size_t failed_lines = log_noise() - noise_before;
  std::printf("out of descriptors for 2 s: %ld CPU ticks, %zu log lines\n", cpu_used, failed_lines);
  EXPECT_LT(failed_lines, 20u);
  // A loop that keeps failing to accept would take every tick the machine gives it.
  EXPECT_LT(cpu_used, 40);
}

TEST_F(DescriptorFaults, DescriptorsRunningOutPauseAcceptingUntilSomeAreFree) {
#if defined(HALL_SANITIZED_BUILD)
  // UBSan's vptr check probes memory through a pipe: with no descriptor left it takes
  // every object for invalid and aborts the gateway.
  GTEST_SKIP() << "needs a gateway built without the sanitizers";
#endif
  FaultGatewayConfig cfg;
  cfg.nofile = 64;
  cfg.log_level = 3;
  cfg.servers = {{1, logic_.port()}};
  FaultGateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  const int base_fds = faulttest::open_fds(gw.pid());
  const std::string base_targets = faulttest::fd_targets(gw.pid());
  ASSERT_GT(base_fds, 0);

  // More clients than descriptors are left: the kernel completes every connection
  // (the backlog holds them) but the gateway can accept only some.
  const int kClients = 90;
  a_ = open_and_ask(gw.port(), kClients, 300000);
  collect(&a_, 4000);
  auto t = tally(a_);
  ASSERT_TRUE(gw.alive()) << gw.stderr_text();
  const int served = t[ANSWERED];
  EXPECT_GT(served, 20);
  EXPECT_LT(served, kClients);
  EXPECT_EQ(t[CLOSED], 0);
  std::printf("%d of %d clients served with the descriptor limit at 64; %d descriptors open\n", served, kClients,
              faulttest::open_fds(gw.pid()));

  expect_quiet_while_out_of_descriptors(gw);

  // The clients it has keep being served.
  for (Conn& c : a_)
    if (c.outcome == ANSWERED) {
      const std::string req = data_req(c.id, "again");
      ASSERT_TRUE(testsupport::send_all(c.fd, req.data(), req.size()));
      Packet p;
      ASSERT_TRUE(read_packet(c.fd, &p, 5000)) << c.id;
      EXPECT_EQ(p.cmd, 0x1001);
    }

  restart_logic_while_out_of_descriptors(gw);

  // Once the served clients leave, the waiting ones are accepted and answered: the
  // link to the logic server is opened again with a free descriptor.
  close_all(&a_, ANSWERED);
  collect(&a_, 8000);
  // One accepted while the link was down may have had its request lost with the link:
  // it asks again.
  for (Conn& c : a_)
    if (c.outcome == PENDING) {
      const std::string again = data_req(c.id, "asking again");
      ASSERT_TRUE(testsupport::send_all(c.fd, again.data(), again.size()));
    }
  collect(&a_, 10000);
  t = tally(a_);
  EXPECT_EQ(t[PENDING], 0);
  EXPECT_EQ(t[CLOSED], 0);
  close_all(&a_, ANSWERED);
  b_ = open_and_ask(gw.port(), 10, 400000);
  collect(&b_, 10000);
  EXPECT_EQ(tally(b_)[ANSWERED], 10);
  // And the descriptors went back to what they were.
  close_all(&b_, ANSWERED);
  EXPECT_TRUE(testsupport::wait_until([&] { return faulttest::open_fds(gw.pid()) <= base_fds; }, 10000))
      << faulttest::fd_targets(gw.pid()) << " vs " << base_targets;
  EXPECT_TRUE(gw.alive());
}

// The sample logic server out of descriptors (more gateway links than its limit allows)
// neither spins on the failing accept nor stops accepting: the links it holds are
// answered, and the waiting ones are taken and answered once some leave.
TEST(LogicServerDescriptors, OutOfDescriptorsItPausesAcceptingUntilALinkLeaves) {
#if defined(HALL_SANITIZED_BUILD)
  // As for the gateway: with no descriptor left the sanitizers' own checks abort it.
  GTEST_SKIP() << "needs a logic server built without the sanitizers";
#endif
  LogicServer s("E", {"--result", "ok"});
  ASSERT_TRUE(s.start());
  const struct rlimit lim = {16, 16};
  ASSERT_EQ(0, prlimit(s.pid(), RLIMIT_NOFILE, &lim, nullptr)) << strerror(errno);
  auto ask = [](int fd, int id) {
    const std::string f = packet(0x1003, be32(id) + testpackets::str_field("q"));
    return testsupport::send_all(fd, f.data(), f.size());
  };
  auto answered = [](int fd, int timeout_ms) {
    Packet p;
    return read_packet(fd, &p, timeout_ms) && p.cmd == 0x9001;
  };
  // 24 links against about 12 free descriptors: each asks once.
  std::vector<int> links;
  for (int i = 0; i < 24; ++i) {
    const int fd = testsupport::tcp_connect_local(s.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ask(fd, i));
    links.push_back(fd);
  }
  std::vector<int> waiting;
  int served = 0;
  for (int fd : links) {
    if (answered(fd, served == 0 ? 3000 : 300))
      ++served;
    else
      waiting.push_back(fd);
  }
  ASSERT_GT(served, 0);
  ASSERT_FALSE(waiting.empty()) << "the descriptor limit did not bite";
  const long before = faulttest::cpu_ticks(s.pid());
  sleep(2);
  const long used = faulttest::cpu_ticks(s.pid()) - before;
  std::printf("logic server out of descriptors for 2 s: %ld CPU ticks\n", used);
  // A loop that keeps failing to accept would take every tick the machine gives it.
  EXPECT_LT(used, 40);
  EXPECT_EQ(s.matching("accepting paused").size(), 1u);  // one line, however long it lasts
  // The served links leave: every waiting link is taken and answered.
  for (int fd : links)
    if (std::find(waiting.begin(), waiting.end(), fd) == waiting.end()) close(fd);
  for (int fd : waiting) {
    EXPECT_TRUE(answered(fd, 5000));
    close(fd);
  }
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
