// The graceful drain on SIGUSR1 against a real gateway, a real redis-server and a fake
// logic server.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "relay_harness.h"

using namespace relaytest;
using testsupport::count_of;
using testsupport::wait_until;

namespace {

// A request of `c` as client `id`, its forward, the logic server's result and the answer.
void round_trip(Client& c, FakeLogic& l, int id, const std::string& text) {
  ASSERT_TRUE(c.send(data_req(id, text)));
  Packet fw;
  ASSERT_TRUE(l.read(&fw, 5000));
  ASSERT_EQ(fw.str_at(4), text);
  ASSERT_TRUE(l.send(result_pkt("{\"flow\":" + std::to_string(id) + ",\"result\":\"" + text + "\"}")));
  int status = -1;
  std::string got;
  ASSERT_TRUE(c.answer(&status, &got));
  EXPECT_EQ(got, text);
}

// The foreground gateway's exit status, or -1 when it did not exit 0 within timeout_ms.
int exit_code(Gateway& gw, int timeout_ms) {
  const int st = gw.wait_exit(timeout_ms);
  return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A gateway that writes its registration to `redis` once, at start, with no refresh link.
GatewayConfig registered_once(const testsupport::RedisServer& redis) {
  GatewayConfig cfg;
  cfg.redis_port = redis.port();
  cfg.attrs = {{"RegisterInterval", "0"}};
  return cfg;
}

TEST(Drain, WithdrawsRefusesNewClientsServesHeldOnesAndExitsWhenTheyLeave) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  GatewayConfig cfg;
  cfg.redis_port = redis.port();
  cfg.attrs = {{"RegisterInterval", "1"}};  // DrainTimeout keeps its 30 s
  FakeLogicGateway run(cfg);
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;
  auto registered = [&] {
    return redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}) +
           redis.command({"HEXISTS", "HALLSERVER_ALIVE", "HALLSERVER9"});
  };
  ASSERT_TRUE(wait_until([&] { return registered() == "11"; }, 5000));
  Client a(gw.port()), b(gw.port());
  round_trip(a, l, 5, "a before");
  round_trip(b, l, 6, "b before");

  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  ASSERT_TRUE(gw.wait_log("drain: started", 5000));
  EXPECT_TRUE(wait_until([&] { return registered() == "00"; }, 5000)) << registered();
  const int late = testsupport::tcp_connect_local(gw.port(), 1000);
  EXPECT_LT(late, 0) << "a connect during the drain is refused";
  if (late >= 0) close(late);

  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));  // changes nothing
  round_trip(a, l, 5, "a during");
  // A refresh interval has passed by the first count line: nothing registers again.
  ASSERT_TRUE(gw.wait_log("drain: 2 clients left", 5000));
  EXPECT_EQ("00", registered());

  a.close();
  b.close();
  EXPECT_EQ(0, exit_code(gw, 5000)) << "the last client gone, the gateway exits at once";
  const std::string log = gw.process_log();
  EXPECT_EQ(1u, count_of(log, "drain: started")) << log;
  EXPECT_EQ(1u, count_of(log, "drain: ended: all clients left")) << log;
  EXPECT_EQ(1u, count_of(log, "drain: exiting: queued answers written")) << log;
}

// Answers the held client has not read when the time-out passes still reach it before
// its connection closes.
TEST(Drain, AfterDrainTimeoutTheAnswersStillQueuedAreWrittenThenTheGatewayExits) {
  GatewayConfig cfg;
  cfg.attrs = {{"DrainTimeout", "1"}};  // no Redis: the registration never got there
  FakeLogicGateway run(cfg);
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;
  Client c(gw.port(), 4096);
  round_trip(c, l, 5, "held");

  const std::string pad(7500, 'x');  // an answer fits one 8192-byte packet
  const int kAnswers = 20;
  std::string burst;
  for (int i = 0; i < kAnswers; ++i) burst += result_pkt("{\"flow\":5,\"result\":\"" + std::to_string(i) + pad + "\"}");
  ASSERT_TRUE(l.send(burst));
  ASSERT_TRUE(wait_until(
      [&] {
        int unsent = -1;
        return ioctl(l.fd(), SIOCOUTQ, &unsent) == 0 && unsent == 0;
      },
      5000))
      << "the gateway has the results";
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  ASSERT_TRUE(gw.wait_log("drain: ended: timed out with 1 clients still connected", 10000)) << gw.process_log();
  for (int i = 0; i < kAnswers; ++i) {
    int status = -1;
    std::string text;
    ASSERT_TRUE(c.answer(&status, &text, 5000)) << i;
    ASSERT_EQ(std::to_string(i) + pad, text);
  }
  EXPECT_TRUE(testsupport::wait_closed(c.fd(), 5000));
  EXPECT_EQ(0, exit_code(gw, 10000));
  EXPECT_NE(gw.process_log().find("drain: exiting: queued answers written"), std::string::npos) << gw.process_log();
}

TEST(Drain, SigtermDuringADrainEndsAtOnceAndADetachedGatewayDrainsToo) {
  {
    FakeLogicGateway run;
    ASSERT_TRUE(run.start()) << run.gw.stderr_text();
    FakeLogic& l = run.logic;
    Gateway& gw = run.gw;
    Client c(gw.port());
    round_trip(c, l, 5, "held");
    ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
    ASSERT_TRUE(gw.wait_log("drain: 1 clients left", 5000));
    ASSERT_EQ(0, kill(gw.pid(), SIGTERM));
    const int st = gw.wait_exit(3000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
  }
  // Detached, and with the registration written once at start only (no refresh link).
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  const GatewayConfig cfg = registered_once(redis);
  Gateway daemon(cfg);
  std::string out;
  const int st = daemon.start_daemon(&out);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out;
  const pid_t pid = daemon.logged_pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ("1", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));
  ASSERT_EQ(0, kill(pid, SIGUSR1));
  EXPECT_TRUE(wait_until([&] { return kill(pid, 0) != 0; }, 5000));
  EXPECT_TRUE(daemon.wait_log("drain: exiting: queued answers written", 5000));
  EXPECT_EQ("0", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));
}

// Requests the gateway took from a client but could not yet write to a logic server that
// reads slowly are written before the drain ends the process, not dropped with it.
TEST(Drain, ForwardsStillQueuedForALogicServerAreWrittenBeforeTheExit) {
  GatewayConfig cfg;
  const int stats = testsupport::free_port();
  cfg.attrs = {{"StatsPort", std::to_string(stats)}};
  FakeLogicGateway run(cfg);
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;
  Client c(gw.port());
  // The logic server reads nothing until the kernel's buffers are full and the gateway
  // holds 100 KB of forwards itself (fewer than 50 blocked writes). A scrape answered in
  // the turn that read requests sees them queued before the turn's end writes them: the
  // scrape that counts comes once every request has been read, in a later turn.
  const std::string pad(7900, 'f');
  size_t sent = 0;
  auto held = [&] {
    const bool all_read = wait_until(
        [&] { return testsupport::figure(testsupport::scrape(stats), "hall_client_packets_total") == sent; }, 10000);
    return all_read && testsupport::figure(testsupport::scrape(stats), "hall_logic_queued_bytes{svid=\"3\"}") >= 100000;
  };
  while (sent < 4000 && !held())
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(c.send(data_req(5, std::to_string(sent++) + pad)));
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  c.close();
  ASSERT_TRUE(wait_until([&] { return !gw.alive() || gw.wait_log("bytes still queued for logic servers", 1); }, 10000));
  EXPECT_TRUE(l.wait_for(0x1003, sent, 20000)) << l.count(0x1003) << " of " << sent << " forwards written";
  EXPECT_EQ(0, exit_code(gw, 10000));
}

// Regression: the close notices of the clients that a drain closes, lost because their
// logic server could not be reached, went unmentioned: "queued answers written" alone.
TEST(Drain, CloseNoticesLostToAnUnreachableLogicServerAreNamedInTheExitLine) {
  GatewayConfig cfg;
  const int stats = testsupport::free_port();
  cfg.attrs = {{"DrainTimeout", "1"}, {"StatsPort", std::to_string(stats)}};
  FakeLogicGateway run(cfg);
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;
  Client c(gw.port());
  round_trip(c, l, 5, "held");
  l.close_link();
  l.stall();
  ASSERT_TRUE(wait_until(
      [&] { return testsupport::figure(testsupport::scrape(stats), "hall_logic_link_up{svid=\"3\"}") == 0; }, 5000));
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  EXPECT_EQ(0, exit_code(gw, 15000));
  // The notice: a 9-byte header, the uid and the gateway's svid.
  EXPECT_NE(gw.process_log().find("queued answers written, 17 bytes for logic servers not written"), std::string::npos)
      << gw.process_log();
}

// Regression: a logic server that kept reporting its load while it read slowly lost the
// forwards its link still held in the kernel: the drain waited only for what the gateway
// held itself, and the exit closed the link with a report unread, which resets it.
TEST(Drain, ForwardsTheSocketStillHoldsReachALogicServerThatKeepsReporting) {
  FakeLogicGateway run;
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;
  Client c(gw.port());
  // Forwards enough to fill the kernel's buffers, fewer than 50 blocked writes.
  const std::string pad(7900, 'f');
  const size_t sent = 300;
  for (size_t i = 0; i < sent; ++i) ASSERT_TRUE(c.send(data_req(5, std::to_string(i) + pad)));
  ASSERT_TRUE(wait_until([&] { return gw.wait_log("client_id: 5 data: 299", 1); }, 10000));
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  c.close();
  const std::string report = packet(0x9002, be32(1) + be32(2));
  Packet p;
  size_t got = 0;
  // A slow reader that reports between reads, until the link ends.
  for (int i = 0; i < 20000 && got < sent; ++i) {
    l.send(report);
    if (!l.read(&p, 1000)) break;
    got += p.cmd == 0x1003;
    usleep(8000);
  }
  EXPECT_EQ(sent, got) << "forwards lost at the exit";
  EXPECT_EQ(0, exit_code(gw, 10000));
}

// Regression: a logic link whose idle time-out ended while its socket still held forwards
// the logic server had not taken (it stopped reading) closed with them, and the exit line
// said "queued answers written" as if they had all gone out. They are now named there.
TEST(Drain, ForwardsLostWithALinkResetAfterTheClientsClosedAreNamedInTheExitLine) {
  GatewayConfig cfg;
  cfg.helper_timeout = 1;
  cfg.attrs.push_back({"DrainTimeout", "1"});
  FakeLogicGateway run(cfg);  // its logic server never reads
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  Gateway& gw = run.gw;
  Client c(gw.port());
  const std::string pad(7900, 'f');
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(c.send(data_req(5, std::to_string(i) + pad)));
  ASSERT_TRUE(wait_until([&] { return gw.wait_log("client_id: 5 data: 299", 1); }, 10000));
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  ASSERT_TRUE(gw.wait_log("drain: exiting", 15000)) << gw.process_log();
  EXPECT_EQ(0, exit_code(gw, 10000));
  const std::string log = gw.process_log();
  const std::string exit_line = log.substr(log.find("drain: exiting"));
  EXPECT_NE(exit_line.find("for logic servers not written"), std::string::npos) << exit_line.substr(0, 200);
}

// Regression: a client that kept sending while it read its answers slowly lost the
// answers its socket still held when the drain timed out and closed it (a close with
// input unread resets the link), and the exit line said "queued answers written".
TEST(Drain, AnswersTheSocketStillHoldsReachAClientThatKeepsSending) {
  // Redis confirms the removal at once: the clients are closed as soon as nothing waits
  // in the gateway's own queues.
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  LogicServer ls("a", {"--result", std::string(4000, 'r')});
  ASSERT_TRUE(ls.start());
  GatewayConfig cfg = registered_once(redis);
  cfg.servers = {{3, ls.port()}};
  cfg.attrs.push_back({"DrainTimeout", "1"});
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  Client c(gw.port(), 8192);
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  // A request every 5 ms, each answered with 4 KB; 2 KB read per request for the first 200
  // (answers pile up in the sockets while the drain holds), then 6 KB (the pile shrinks).
  const std::string request = data_req(5, "q");
  std::string buf;
  size_t got = 0;
  bool sending = true;
  for (int i = 0; i < 4000; ++i) {
    if (sending && send(c.fd(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
      sending = false;
    char chunk[6144];
    const ssize_t n = recv(c.fd(), chunk, i < 200 ? 2048 : 6144, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    if (n > 0) buf.append(chunk, static_cast<size_t>(n));
    for (Packet p; testpackets::cut_packet(&buf, &p);) got += p.cmd == 0x1001;
    usleep(5000);
  }
  EXPECT_EQ(0, exit_code(gw, 10000));
  const std::string log = gw.process_log();
  const size_t handed = count_of(log, "_pay_res begin") - count_of(log, "answer dropped");
  EXPECT_NE(log.find("drain: exiting: queued answers written"), std::string::npos);
  EXPECT_EQ(handed, got) << "answers handed to the client's socket and lost";
}

// A Redis that takes the connection and never answers holds start-up for seconds: a
// SIGUSR1 then does not kill the gateway, it drains once the loop runs, and the
// unanswered removal delays the exit only briefly.
TEST(Drain, ASigusr1DuringStartUpDrainsOnceTheGatewayRuns) {
  GatewayConfig cfg;
  const int silent = testsupport::tcp_listener(&cfg.redis_port);
  ASSERT_GE(silent, 0);
  Gateway gw(cfg);
  testsupport::Process p;
  ASSERT_TRUE(p.start(gw.argv(true), gw.bin()));
  ASSERT_TRUE(gw.wait_log("HelperTimeout is", 10000));
  ASSERT_EQ(0, kill(p.pid(), SIGUSR1));
  const int st = p.wait(20000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  const std::string log = gw.process_log();
  EXPECT_LT(log.find("Proxy open is done!!"), log.find("drain: started")) << log;
  EXPECT_NE(log.find("drain: exiting: queued answers written, removal from redis not confirmed"), std::string::npos);
  close(silent);
}

// Regression: a removal Redis did not carry out (a server turned replica answers
// READONLY) counted as confirmed: the drain said nothing while the record stayed.
TEST(Drain, ARemovalRedisRefusedIsReportedAsNotConfirmed) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  const GatewayConfig cfg = registered_once(redis);
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_EQ("1", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));
  ASSERT_EQ("OK", redis.command({"REPLICAOF", "127.0.0.1", std::to_string(testsupport::free_port())}));
  ASSERT_EQ(0, kill(gw.pid(), SIGUSR1));
  EXPECT_EQ(0, exit_code(gw, 10000));
  EXPECT_EQ("1", redis.command({"HEXISTS", "HALLSERVER", "HALLSERVER9"}));
  EXPECT_NE(gw.process_log().find("drain: exiting: queued answers written, removal from redis not confirmed"),
            std::string::npos)
      << gw.process_log();
}

// A client whose connection the kernel completed before the drain began, and that wrote
// its request at once, was never accepted: closing the listener reset it, and its
// request was lost although its write had succeeded. Start-up held by a Redis that never
// answers keeps the gateway listening without accepting until the drain begins.
TEST(Drain, ConnectionsWaitingToBeAcceptedWhenTheDrainBeginsAreServed) {
  FakeLogic l;
  GatewayConfig cfg;
  cfg.servers = {{3, l.port()}};
  const int silent = testsupport::tcp_listener(&cfg.redis_port);
  ASSERT_GE(silent, 0);
  Gateway gw(cfg);
  testsupport::Process p;
  ASSERT_TRUE(p.start(gw.argv(true), gw.bin()));
  std::unique_ptr<Client> c;
  ASSERT_TRUE(wait_until(
      [&] {
        c.reset(new Client(gw.port()));
        return c->ok();
      },
      10000))
      << gw.process_log();
  ASSERT_TRUE(c->send(data_req(5, "queued")));
  ASSERT_EQ(0, kill(p.pid(), SIGUSR1));
  ASSERT_TRUE(l.accept_link());
  Packet fw;
  ASSERT_TRUE(l.read(&fw, 10000)) << gw.process_log();
  EXPECT_EQ(fw.str_at(4), "queued");
  ASSERT_TRUE(l.send(result_pkt("{\"flow\":5,\"result\":\"served\"}")));
  int status = -1;
  std::string got;
  EXPECT_TRUE(c->answer(&status, &got)) << gw.process_log();
  EXPECT_EQ(got, "served");
  c->close();
  const int st = p.wait(20000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  close(silent);
}

// Regression: players in a closed loop (a request, its answer, the next request) lost the
// request they wrote just before the drain's end closed them: the close met it unread and
// reset the connection. Each player now reads end-of-file and closes, every request it
// wrote reaches the logic server, and none is reset.
TEST(Drain, PlayersInAClosedLoopLoseNoRequestAndNoneIsReset) {
  LogicServer ls("a");
  ASSERT_TRUE(ls.start());
  GatewayConfig cfg;
  cfg.servers = {{3, ls.port()}};
  cfg.log_level = 4;
  cfg.attrs = {{"DrainTimeout", "1"}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  const int kPlayers = 200;
  std::vector<pollfd> players;
  std::vector<std::string> bufs(kPlayers);
  size_t sent = 0, answers = 0, resets = 0;
  auto ask = [&](int i) {
    const std::string req = data_req(1000 + i, "{\"n\":" + std::to_string(sent) + "}");
    if (send(players[i].fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) ++sent;
  };
  for (int i = 0; i < kPlayers; ++i) {
    players.push_back({testsupport::tcp_connect_local(gw.port(), 5000), POLLIN, 0});
    ASSERT_GE(players.back().fd, 0);
    ask(i);
  }
  bool drained = false;
  int open = kPlayers;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (open > 0 && std::chrono::steady_clock::now() < until) {
    if (!drained && answers >= 10 * kPlayers) drained = kill(gw.pid(), SIGUSR1) == 0;
    if (poll(players.data(), players.size(), 1000) <= 0) continue;
    for (int i = 0; i < kPlayers; ++i) {
      if (players[i].fd < 0 || players[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = recv(players[i].fd, chunk, sizeof(chunk), 0);
      if (n > 0) {
        bufs[i].append(chunk, static_cast<size_t>(n));
        for (Packet p; testpackets::cut_packet(&bufs[i], &p);)
          if (p.cmd == 0x1001) ++answers, ask(i);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      resets += n < 0;
      close(players[i].fd);
      players[i].fd = -1;
      --open;
    }
  }
  ASSERT_TRUE(drained);
  EXPECT_EQ(0, open);
  EXPECT_EQ(0, exit_code(gw, 10000));
  EXPECT_EQ(0u, resets) << "players reset";
  EXPECT_TRUE(ls.wait_matching("forward client=", sent, 10000));
  EXPECT_EQ(sent, ls.matching("forward client=").size()) << "requests lost";
}

}  // namespace
