// The metrics endpoint, black-box: a real gateway with StatsPort set, a fake logic server
// and a real redis-server. The figures scraped must equal what the test sent.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gateway_harness.h"

using namespace gwtest;

namespace {

const unsigned short kForward = 0x1003;

using testsupport::figure;
using testsupport::http;
using testsupport::scrape;

}  // namespace

TEST(Metrics, ScrapeOfALoadedGatewayMatchesWhatWasSent) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  FakeLogic logic;
  const int stats = testsupport::free_port();
  GatewayConfig cfg;
  cfg.servers = {{3, logic.port()}};
  cfg.redis_port = redis.port();
  cfg.attrs = {{"StatsPort", std::to_string(stats)}};
  Gateway gw(cfg);
  const time_t started = time(nullptr);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());

  // A stats connection that never completes its request is no client, and is closed
  // after 5 s.
  const int idle = testsupport::tcp_connect_local(stats);
  ASSERT_TRUE(testsupport::send_all(idle, "GET /metrics HTTP/1.1\r\n", 23));

  // 5 + 3 requests from two clients; two packets refused for different reasons.
  Client a(gw.port()), b(gw.port()), bad_flag(gw.port()), bad_cmd(gw.port());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(a.send(data_req(101, "a" + std::to_string(i))));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(b.send(data_req(202, "b" + std::to_string(i))));
  ASSERT_TRUE(logic.wait_for(kForward, 8, 5000));
  std::string broken = data_req(303, "x");
  broken[2] = 'X';
  ASSERT_TRUE(bad_flag.send(broken));
  ASSERT_TRUE(bad_cmd.send(packet(5, be32(304))));
  EXPECT_TRUE(testsupport::wait_closed(bad_flag.fd(), 5000));
  EXPECT_TRUE(testsupport::wait_closed(bad_cmd.fd(), 5000));

  // Two results for nobody, then three that reach their clients.
  ASSERT_TRUE(logic.send(testpackets::result_pkt("{\"flow\":999,\"result\":\"x\"}") +
                         testpackets::result_pkt("{\"result\":\"x\"}") +
                         testpackets::result_pkt("{\"flow\":101,\"result\":\"r1\"}") +
                         testpackets::result_pkt("{\"flow\":101,\"result\":\"r2\"}") +
                         testpackets::result_pkt("{\"flow\":202,\"result\":\"r3\"}")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(a.answer(&status, &text));
  ASSERT_TRUE(a.answer(&status, &text));
  ASSERT_TRUE(b.answer(&status, &text));
  EXPECT_EQ(text, "r3");

  const std::string m = scrape(stats);
  EXPECT_EQ(figure(m, "hall_client_connections"), 2) << m;
  EXPECT_EQ(figure(m, "hall_registered_clients"), 2);
  EXPECT_EQ(figure(m, "hall_client_packets_total"), 8);
  EXPECT_EQ(figure(m, "hall_client_packets_rejected_total{reason=\"bad_flag\"}"), 1);
  EXPECT_EQ(figure(m, "hall_client_packets_rejected_total{reason=\"bad_command\"}"), 1);
  EXPECT_EQ(figure(m, "hall_client_packets_rejected_total{reason=\"bad_checksum\"}"), 0);
  EXPECT_EQ(figure(m, "hall_forwards_total{svid=\"3\"}"), 8);
  EXPECT_EQ(figure(m, "hall_forwards_dropped_total{svid=\"3\",reason=\"link_down\"}"), 0);
  EXPECT_EQ(figure(m, "hall_logic_link_up{svid=\"3\"}"), 1);
  EXPECT_EQ(figure(m, "hall_logic_queued_bytes{svid=\"3\"}"), 0);
  EXPECT_EQ(figure(m, "hall_results_total"), 3);
  EXPECT_EQ(figure(m, "hall_results_unroutable_total"), 2);
  EXPECT_EQ(figure(m, "hall_client_queued_bytes"), 0);
  EXPECT_EQ(figure(m, "hall_clients_refused_total"), 0);
  EXPECT_EQ(figure(m, "hall_accept_pauses_total"), 0);
  // Lines count once stored; the writer thread is a few milliseconds behind.
  EXPECT_TRUE(testsupport::wait_until([&] { return figure(scrape(stats), "hall_log_lines_total") > 8; }, 5000));
  EXPECT_GE(figure(m, "hall_start_time_seconds"), static_cast<double>(started - 1));
  EXPECT_NE(m.find("hall_build_info{version=\""), std::string::npos);
  EXPECT_GT(figure(m, "process_resident_memory_bytes"), 0);
  EXPECT_GT(figure(m, "process_open_fds"), 5);
  EXPECT_GE(figure(m, "process_cpu_seconds_total"), 0);
  // Stats connections were neither forwarded nor announced as leaving clients.
  EXPECT_EQ(logic.packets().size(), 8u);
  EXPECT_EQ(redis.command({"HGET", "HALLSERVER", "HALLSERVER9"}),
            "{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(gw.port()) + ",\"SVID\":9}\n");

  // HTTP/1.0 as well; other paths and methods; a head over 4 KB is closed unanswered.
  EXPECT_EQ(http(stats, "GET /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(http(stats, "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
  EXPECT_EQ(http(stats, "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n").rfind("HTTP/1.1 405 ", 0), 0u);
  EXPECT_EQ(http(stats, "GET /metrics HTTP/1.1\r\nX: " + std::string(5000, 'x') + "\r\n\r\n"), "");
  EXPECT_TRUE(testsupport::wait_closed(idle, 10000));
  ::close(idle);

  // A logic server that cannot be reached: the next forward is dropped as link down.
  logic.close_link();
  logic.stall();
  ASSERT_TRUE(
      testsupport::wait_until([&] { return figure(scrape(stats), "hall_logic_link_up{svid=\"3\"}") == 0; }, 5000));
  ASSERT_TRUE(a.send(data_req(101, "lost")));
  EXPECT_TRUE(testsupport::wait_until(
      [&] { return figure(scrape(stats), "hall_forwards_dropped_total{svid=\"3\",reason=\"link_down\"}") == 1; },
      5000));
  const std::string last = scrape(stats);
  EXPECT_EQ(figure(last, "hall_forwards_total{svid=\"3\"}"), 8);
  EXPECT_EQ(figure(last, "hall_client_packets_total"), 9);
  logic.unstall();

  if (system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool absent: exposition not validated";
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("scrape"), last);
  std::string out;
  EXPECT_EQ(
      testsupport::run_program({"/bin/sh", "-c", "promtool check metrics < " + dir.file("scrape")}, "", 30000, &out), 0)
      << out;
}

TEST(Metrics, AnswerThatClosesASlowClientIsNotCountedAsHandedOver) {
  // A client that never reads, with a queue bound below one answer: the first answer
  // the socket does not take whole closes it, and that answer reached no one.
  FakeLogic logic;
  const int stats = testsupport::free_port();
  GatewayConfig cfg;
  cfg.servers = {{3, logic.port()}};
  cfg.attrs = {{"StatsPort", std::to_string(stats)}, {"MaxClientQueue", "1"}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());
  Client slow(gw.port(), 1024);
  ASSERT_TRUE(slow.send(data_req(101, "a")));
  ASSERT_TRUE(logic.wait_for(kForward, 1, 5000));
  const int kResults = 20000;
  std::string results;
  for (int i = 0; i < kResults; ++i)
    results += testpackets::result_pkt("{\"flow\":101,\"result\":\"" + std::string(500, 'r') + "\"}");
  ASSERT_TRUE(logic.send(results));
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        const std::string m = scrape(stats);
        return figure(m, "hall_results_total") + figure(m, "hall_results_unroutable_total") == kResults;
      },
      10000));

  // Every whole answer the client can read, up to the close.
  std::string bytes;
  char buf[65536];
  for (pollfd p{slow.fd(), POLLIN, 0}; bytes.size() < results.size() && poll(&p, 1, 5000) == 1;) {
    const ssize_t n = ::recv(slow.fd(), buf, sizeof(buf), 0);
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  int whole = 0;
  for (testpackets::Packet p; testpackets::cut_packet(&bytes, &p);) ++whole;
  ASSERT_GT(whole, 0);
  EXPECT_EQ(figure(scrape(stats), "hall_results_total"), whole);
}

TEST(Metrics, ResultTooLargeForAnAnswerIsCountedAsUnroutable) {
  // A result whose packet does not fit the gateway's packet buffer is dropped: it reached
  // no one and is counted so, like every result that reaches no client.
  FakeLogic logic;
  const int stats = testsupport::free_port();
  GatewayConfig cfg;
  cfg.servers = {{3, logic.port()}};
  cfg.attrs = {{"StatsPort", std::to_string(stats)}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());
  Client a(gw.port());
  ASSERT_TRUE(a.send(data_req(101, "a")));
  ASSERT_TRUE(logic.wait_for(kForward, 1, 5000));
  ASSERT_TRUE(logic.send(testpackets::result_pkt("{\"flow\":101,\"result\":\"" + std::string(9000, 'r') + "\"}") +
                         testpackets::result_pkt("{\"flow\":101,\"result\":\"ok\"}")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(a.answer(&status, &text));
  EXPECT_EQ(text, "ok");
  const std::string m = scrape(stats);
  EXPECT_EQ(figure(m, "hall_results_total"), 1);
  EXPECT_EQ(figure(m, "hall_results_unroutable_total"), 1);
}

TEST(Metrics, SlowStatsConnectionsDoNotShutOutAScrape) {
  // Regression: sixteen connections sending a byte now and then held every slot, and a
  // scrape waited in the kernel's queue until their time-outs (5 s each round).
  const int stats = testsupport::free_port();
  GatewayConfig cfg;
  cfg.with_node = false;
  cfg.attrs = {{"StatsPort", std::to_string(stats)}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(testsupport::tcp_connect_local(stats));
    ASSERT_GE(slow.back(), 0);
    ASSERT_TRUE(testsupport::send_all(slow.back(), "G", 1));
  }
  const std::string m = scrape(stats);
  EXPECT_GE(figure(m, "hall_loop_turn_max_seconds"), 0) << m;
  // Served while the newest slow ones still held their slots: only the oldest went.
  int open = 0;
  for (int fd : slow) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) == 0) ++open;
    ::close(fd);
  }
  EXPECT_GE(open, 7);
}
