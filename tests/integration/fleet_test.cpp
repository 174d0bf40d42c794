// A fleet on loopback: several gateways registered in one Redis, in front of the same two
// sample logic servers, with order-sync clients sharing one order list and players that
// find their gateway through Redis.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
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
    ASSERT_TRUE(
        testsupport::start_order_sync_client(&clients[k], dirs[k].path(), gws_[k]->port(), redis_.port(), 100 + k));
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

// Lines of a player process's output that contain `needle`.
size_t count_lines(const std::string& file, const std::string& needle) {
  return testsupport::count_of(testsupport::read_file(file), needle);
}

TEST_F(Fleet, PlayersFindALiveGatewayAndMoveToAnotherWhenItGoes) {
  start_fleet(2);
  // Two stale registrations point at a port the test holds: neither may be picked.
  int trap_port = 0;
  const int trap = testsupport::tcp_listener(&trap_port);
  const std::string trap_rec = "{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(trap_port) + ",\"SVID\":97}\n";
  redis_.command({"HSET", "HALLSERVER", "HALLSERVER97", trap_rec, "HALLSERVER98", trap_rec});
  redis_.command({"HSET", "HALLSERVER_ALIVE", "HALLSERVER97", "1000"});  // long gone; 98 has no heartbeat
  ASSERT_TRUE(testsupport::wait_until([&] { return redis_.command({"HLEN", "HALLSERVER_ALIVE"}) == "3"; }, 5000));

  const int kPlayers = 20, kFirst = 500;
  TempDir dir;
  const std::string out = dir.file("players.out");
  Process players;
  ASSERT_TRUE(players.start(
      {testsupport::binary("hall_cli"), "--redis", "127.0.0.1:" + std::to_string(redis_.port()), "--interval", "1",
       "--players", std::to_string(kPlayers), "-i", std::to_string(kFirst), "-w", "-1", "-t", "1000"},
      dir.path(), out, dir.file("players.err")));
  // Each hello is answered by both logic servers.
  ASSERT_TRUE(testsupport::wait_until([&] { return count_lines(out, "answer status=0") >= 2 * kPlayers; }, 15000))
      << testsupport::read_file(out) << testsupport::read_file(dir.file("players.err"));
  const size_t on1 = count_lines(out, "connected to gateway 1 ");
  EXPECT_EQ(static_cast<size_t>(kPlayers), on1 + count_lines(out, "connected to gateway 2 "));
  EXPECT_GT(on1, 0u);
  EXPECT_LT(on1, static_cast<size_t>(kPlayers));

  // An order for every player enters through the gateway `via` and reaches the player
  // wherever it is held, once from each logic server.
  auto orders_reach_everyone = [&](int via, const std::string& tag) {
    Client c(gws_[via]->port());
    ASSERT_TRUE(c.ok());
    for (int id = kFirst; id < kFirst + kPlayers; ++id)
      ASSERT_TRUE(c.send(data_req(100, "{\"flow\":" + std::to_string(id) + ",\"tag\":\"" + tag + "\"}")));
    for (int id = kFirst; id < kFirst + kPlayers; ++id) {
      const std::string line = "id=" + std::to_string(id) + " answer status=0 text={\"flow\":" + std::to_string(id) +
                               ",\"tag\":\"" + tag + "\"}";
      EXPECT_TRUE(testsupport::wait_until([&] { return count_lines(out, line) == 2; }, 10000))
          << line << "\n"
          << testsupport::read_file(out);
    }
  };
  orders_reach_everyone(0, "first");

  // Gateway 1 dies; its players come back through gateway 2 and register there again.
  gws_[0]->stop(SIGKILL);
  ASSERT_TRUE(testsupport::wait_until([&] { return count_lines(out, "lost gateway 1") == on1; }, 10000))
      << testsupport::read_file(out);
  ASSERT_TRUE(testsupport::wait_until(
      [&] { return count_lines(out, "connected to gateway 2 ") == static_cast<size_t>(kPlayers); }, 15000))
      << testsupport::read_file(out) << testsupport::read_file(dir.file("players.err"));
  ASSERT_TRUE(
      testsupport::wait_until([&] { return count_lines(out, "answer status=0") >= 2 * (kPlayers + on1); }, 10000));
  orders_reach_everyone(1, "second");
  EXPECT_EQ(0u, count_lines(out, "lost gateway 2"));
  EXPECT_FALSE(testsupport::connection_waiting(trap));
  close(trap);
}

// A gateway of the fleet that stops reading its link (here a socket standing in for a
// frozen one) makes the shared logic server pause that link instead of queueing answers
// without bound; once read again, every request has its answer.
TEST(SharedLogicServer, ALinkThatIsNotReadPausesAndLosesNothing) {
  LogicServer server("L", {"--echo"});
  ASSERT_TRUE(server.start());
  const int fd = testsupport::tcp_connect_local(server.port());
  ASSERT_GE(fd, 0);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::string forward = packet(0x1003, be32(7) + str_field(std::string(8000, 'x')));
  // Writes forwards while the server takes them: at most 64 MiB, 30 s.
  size_t sent = 0;  // bytes of the forwards, the last one perhaps in part
  bool paused = false;
  for (int turn = 0; turn < 30000 && !paused && sent < (64u << 20); ++turn) {
    const size_t at = sent % forward.size();
    const ssize_t n = ::send(fd, forward.data() + at, forward.size() - at, MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
    if (n < 0) {
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
      pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 1);
      paused = !server.matching("reading paused").empty();
    }
  }
  ASSERT_TRUE(paused) << sent << " bytes taken without a pause";
  const size_t forwards = (sent + forward.size() - 1) / forward.size();

  size_t answers = 0;
  std::string in;
  char buf[65536];
  for (int turn = 0; turn < 20000 && answers < forwards; ++turn) {
    const bool more = sent % forward.size() != 0;
    pollfd p = {fd, static_cast<short>(POLLIN | (more ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 1) <= 0) continue;
    if (more && (p.revents & POLLOUT)) {
      const size_t at = sent % forward.size();
      const ssize_t n = ::send(fd, forward.data() + at, forward.size() - at, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    ASSERT_NE(0, n) << "link closed after " << answers << " answers";
    if (n > 0) in.append(buf, static_cast<size_t>(n));
    for (Packet pkt; testpackets::cut_packet(&in, &pkt); ++answers) ASSERT_EQ(0x9001, pkt.cmd);
  }
  EXPECT_EQ(forwards, answers);
  EXPECT_TRUE(server.wait_matching("reading resumed", 1, 5000));
  close(fd);
}

}  // namespace
