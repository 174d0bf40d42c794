// Admission of client connections, black-box: real gateways, the sample logic server or
// a fake one, clients from several loopback addresses, and a real HAProxy in front.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "hall_run.h"
#include "logic_servers.h"
#include "packets.h"
#include "test_support.h"

using namespace testsupport;
using testpackets::Client;
using testpackets::data_req;

namespace {

const unsigned short kForward = 0x1003;

// One request and its answer from the sample logic server ("done").
bool served(Client& c, int id) {
  int status = -1;
  std::string text;
  return c.send(data_req(id, "x")) && c.answer(&status, &text) && status == 0 && text == "done";
}

struct Gated {
  explicit Gated(HallConfig cfg) : stats(free_port()) {
    cfg.servers = {{1, logic.port()}};
    cfg.attrs.push_back({"StatsPort", std::to_string(stats)});
    gw.reset(new HallRun(cfg));
  }
  bool start() { return logic.start() && gw->start(); }
  double metric(const std::string& series) { return figure(scrape(stats), series); }

  LogicServer logic{"L", {"--result", "done"}};
  int stats;
  std::unique_ptr<HallRun> gw;
};

}  // namespace

TEST(Admission, LimitsCloseBeyondTheirBoundsExceptForTrustedNets) {
  HallConfig cfg;
  cfg.attrs = {{"MaxConnsPerIp", "2"}, {"MaxRequestsPerSecond", "5"}, {"TrustedNets", "127.0.0.2/32, 10.0.0.0/8"}};
  Gated run(cfg);
  ASSERT_TRUE(run.start()) << run.gw->stderr_text();

  // Two connections from one address are served; a third is closed at accept.
  Client a(run.gw->port(), "127.0.0.1"), b(run.gw->port(), "127.0.0.1");
  ASSERT_TRUE(served(a, 11));
  ASSERT_TRUE(served(b, 12));
  Client c(run.gw->port(), "127.0.0.1");
  EXPECT_TRUE(wait_closed(c.fd(), 5000));
  EXPECT_EQ(run.metric("hall_connections_refused_total{reason=\"per_ip_limit\"}"), 1);
  // Another address has its own count, and a closed connection gives its slot back.
  Client d(run.gw->port(), "127.0.0.3");
  EXPECT_TRUE(served(d, 13));
  b.close();
  ASSERT_TRUE(wait_until([&] { return run.metric("hall_client_connections") == 2; }, 5000));
  Client e(run.gw->port(), "127.0.0.1");
  EXPECT_TRUE(served(e, 14));

  // The burst equals the rate: five requests at once pass, the sixth closes.
  std::string five;
  for (int i = 0; i < 5; ++i) five += data_req(15, "x");
  Client f(run.gw->port(), "127.0.0.4");
  ASSERT_TRUE(f.send(five));
  int status = -1;
  std::string text;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(f.answer(&status, &text)) << i;
  Client g(run.gw->port(), "127.0.0.5");
  ASSERT_TRUE(g.send(five + data_req(16, "x")));
  EXPECT_TRUE(wait_closed(g.fd(), 5000));
  EXPECT_EQ(run.metric("hall_client_packets_rejected_total{reason=\"rate_limited\"}"), 1);

  // A trusted address is bound by neither limit.
  std::vector<std::unique_ptr<Client>> trusted;
  for (int i = 0; i < 4; ++i) trusted.emplace_back(new Client(run.gw->port(), "127.0.0.2"));
  std::string many;
  for (int i = 0; i < 20; ++i) many += data_req(17, "x");
  ASSERT_TRUE(trusted[3]->send(many));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(trusted[3]->answer(&status, &text)) << i;
  for (auto& t : trusted) EXPECT_TRUE(served(*t, 18));
  EXPECT_EQ(run.metric("hall_connections_refused_total{reason=\"per_ip_limit\"}"), 1);
  EXPECT_EQ(run.metric("hall_client_packets_rejected_total{reason=\"rate_limited\"}"), 1);
}

TEST(Admission, ProxyHeadersFromBalancersNameTheClient) {
  // The header must come within WebTimeout: short here, and every client below is
  // served well within it.
  HallConfig cfg;
  cfg.web_timeout = 3;
  cfg.attrs = {{"ProxyProtocol", "1"}, {"ProxyFrom", "127.0.0.1/32"}, {"MaxConnsPerIp", "1"}};
  Gated run(cfg);
  ASSERT_TRUE(run.start()) << run.gw->stderr_text();

  // A real HAProxy in front, sending version 2 headers.
  TempDir dir;
  const int front = free_port();
  write_file(dir.file("haproxy.cfg"),
             "global\n  maxconn 64\ndefaults\n  mode tcp\n  timeout connect 5s\n  timeout client 60s\n"
             "  timeout server 60s\nfrontend fe\n  bind 127.0.0.1:" +
                 std::to_string(front) + "\n  default_backend be\nbackend be\n  server gw 127.0.0.1:" +
                 std::to_string(run.gw->port()) + " send-proxy-v2\n");
  Process haproxy;
  ASSERT_TRUE(haproxy.start({"/usr/sbin/haproxy", "-db", "-f", dir.file("haproxy.cfg")}, dir.path(), dir.file("out"),
                            dir.file("err")));
  ASSERT_TRUE(wait_port(front, 10000)) << read_file(dir.file("err"));

  Client a(front, "127.0.0.7");
  ASSERT_TRUE(served(a, 21));
  EXPECT_TRUE(run.gw->wait_log("client ip=127.0.0.7", 5000));
  // The per-source limit counts the header's address: a second client from .7 is
  // refused, one from .8 served, though all come from the balancer's address.
  Client b(front, "127.0.0.7");
  EXPECT_TRUE(wait_closed(b.fd(), 5000));
  Client c(front, "127.0.0.8");
  EXPECT_TRUE(served(c, 22));
  EXPECT_EQ(run.metric("hall_connections_refused_total{reason=\"per_ip_limit\"}"), 1);

  // By hand from the balancer's address: a version 1 line and the request in one
  // write; then a stream that is no header; then a header that never ends.
  Client v1(run.gw->port(), "127.0.0.1");
  ASSERT_TRUE(v1.send("PROXY TCP4 192.0.2.9 127.0.0.1 5555 80\r\n" + data_req(23, "x")));
  int status = -1;
  std::string text;
  EXPECT_TRUE(v1.answer(&status, &text));
  EXPECT_TRUE(run.gw->wait_log("client ip=192.0.2.9", 5000));
  Client raw(run.gw->port(), "127.0.0.1");
  ASSERT_TRUE(raw.send(data_req(24, "x")));
  EXPECT_TRUE(wait_closed(raw.fd(), 5000));
  EXPECT_EQ(run.metric("hall_connections_refused_total{reason=\"proxy_header\"}"), 1);
  Client slow(run.gw->port(), "127.0.0.1");
  ASSERT_TRUE(slow.send("PROXY TCP4 192.0.2."));
  EXPECT_TRUE(wait_closed(slow.fd(), 10000));
  EXPECT_EQ(run.metric("hall_connections_refused_total{reason=\"proxy_timeout\"}"), 1);

  // Other sources are served as direct clients.
  Client direct(run.gw->port(), "127.0.0.9");
  EXPECT_TRUE(served(direct, 25));
  haproxy.stop();

  // A header from anyone would let any client pose as any address: no ProxyFrom, no start
  // (hall -t says why).
  HallConfig bad;
  bad.attrs = {{"ProxyProtocol", "1"}};
  EXPECT_FALSE(HallRun(bad).start(10000));
}

// A gateway with one logic link, its metrics endpoint on `stats`, and a queue bound that
// one connection would pass in a moment without its share.
HallConfig one_slow_link(int logic_port, int stats) {
  HallConfig cfg;
  cfg.servers = {{1, logic_port}};
  cfg.attrs = {{"StatsPort", std::to_string(stats)}, {"MaxHelperQueue", "1048576"}};
  cfg.log_level = 4;
  return cfg;
}

TEST(Admission, AFlooderIsPausedAndThePlayerBesideItLosesNothing) {
  // A logic server that reads only when the test does, with a small receive buffer (what
  // it holds unread the gateway cannot see), and a queue bound that one flooder would
  // pass in a moment without its share.
  FakeLogic logic(8192);
  const int stats = free_port();
  HallRun gw(one_slow_link(logic.port(), stats));
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());

  // The flooder writes 1 KB requests as fast as the gateway takes them, for 30 s at most.
  std::atomic<bool> stop{false};
  Client flooder(gw.port());
  timeval limit{0, 200000};
  setsockopt(flooder.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  std::thread flood([&] {
    std::string burst;
    for (int i = 0; i < 64; ++i) burst += data_req(666, std::string(1000, 'f'));
    for (int rounds = 0; rounds < 100000 && !stop; ++rounds) {
      const ssize_t n = send(flooder.fd(), burst.data(), burst.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
  });
  const std::shared_ptr<void> joined(nullptr, [&](void*) {
    stop = true;
    if (flood.joinable()) flood.join();
  });
  // The link is not read meanwhile: the flooder's forwards pile up and it is paused.
  const bool paused = wait_until([&] { return figure(scrape(stats), "hall_client_read_pauses_total") > 0; }, 30000);

  // A player in the closed loop, one request at a time, each forward answered. Its
  // forwards crowd the flooder, whose bytes in the gateway ahead of each of them are then
  // at most its 16 KB share and one read of 16 KB; besides those, only what the link's
  // socket and this fake's last read hold. A read of a whole receive buffer at a time
  // (100 KB, past a 64 KB share) no longer lands in front of the player.
  int rcvbuf = 0;
  socklen_t optlen = sizeof(rcvbuf);
  ASSERT_EQ(getsockopt(logic.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &optlen), 0);
  const int most_ahead = (2 * rcvbuf + 40 * 1024) / 1000;
  int worst_ahead = 0;
  Client player(gw.port());
  int answered = 0;
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(player.send(data_req(7, "p" + std::to_string(i))));
    testpackets::Packet p;
    bool found = false;
    int ahead = 0;
    for (int reads = 0; reads < 200000 && !found && logic.read(&p, 10000); ++reads) {
      found = p.cmd == kForward && p.int_at(0) == 7;
      ahead += p.cmd == kForward && p.int_at(0) == 666;
    }
    ASSERT_TRUE(found) << "forward " << i << " of the player never reached the logic server";
    // The first two rounds: the flooder's reads before the player came.
    if (i >= 2) worst_ahead = std::max(worst_ahead, ahead);
    ASSERT_TRUE(logic.send(testpackets::result_pkt("{\"flow\":7,\"result\":\"r\"}")));
    int status = -1;
    std::string text;
    if (player.answer(&status, &text, 10000)) ++answered;
  }
  stop = true;
  flood.join();
  EXPECT_TRUE(paused);
  EXPECT_EQ(answered, 30);
  EXPECT_LE(worst_ahead, most_ahead) << "flooder's forwards ahead of one of the player's";
  const std::string m = scrape(stats);
  EXPECT_EQ(figure(m, "hall_forwards_dropped_total{svid=\"1\",reason=\"queue_full\"}"), 0) << m;
  EXPECT_EQ(figure(m, "hall_forwards_dropped_total{svid=\"1\",reason=\"link_reset\"}"), 0) << m;
  EXPECT_EQ(figure(m, "hall_logic_link_up{svid=\"1\"}"), 1);
}

TEST(Admission, ABurstFarBeyondOneReadIsReadWholeAfterItsPauseWithNothingMoreSent) {
  // One client writes 4 MB of requests at once and then nothing: forty reads' worth, and
  // more than its share of a link the logic server does not read yet, so it is paused with
  // bytes waiting in its socket. No new byte comes to prompt the gateway afterwards:
  // every request must still reach the logic server, in order, once the link is read.
  FakeLogic logic(65536);
  const int stats = free_port();
  HallRun gw(one_slow_link(logic.port(), stats));
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());

  const int kRequests = 4000;
  std::string burst;
  for (int i = 0; i < kRequests; ++i) burst += data_req(5, std::to_string(i) + ":" + std::string(1000, 'b'));
  Client c(gw.port());
  std::atomic<bool> written{false};
  std::thread writer([&] { written = c.send(burst); });
  const std::shared_ptr<void> joined(nullptr, [&](void*) {
    if (writer.joinable()) writer.join();
  });
  const bool paused = wait_until([&] { return figure(scrape(stats), "hall_client_read_pauses_total") > 0; }, 30000);

  int next = 0;
  testpackets::Packet p;
  for (int reads = 0; next < kRequests && reads < 2 * kRequests && logic.read(&p, 10000); ++reads) {
    if (p.cmd != kForward) continue;
    const std::string text = p.str_at(4);
    ASSERT_EQ(text.substr(0, text.find(':')), std::to_string(next)) << "requests out of order";
    ++next;
  }
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(paused);
  EXPECT_EQ(next, kRequests);
  const std::string m = scrape(stats);
  EXPECT_EQ(figure(m, "hall_forwards_dropped_total{svid=\"1\",reason=\"queue_full\"}"), 0) << m;
}
