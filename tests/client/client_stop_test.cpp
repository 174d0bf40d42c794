// The order loop run in-process, to reach states a black-box test cannot time: a stop that
// arrives while popped orders wait for the gateway, a write cut part way through a batch.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "conf.h"
#include "fake_gateway.h"
#include "log.h"
#include "order_sync_client.h"
#include "run_control.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// The loop run on its own thread over the given gateway connection, with Redis.
class InProcessLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    init_log("order_sync_client", dir_.path().c_str(), 0, 0);
    std::strcpy(g_conf.redis_key, "orders");
    g_conf.client_id = 9;
    g_conf.order_pause_ms = 0;
  }
  void start_loop(CTcpClient* c) {
    CRedisHelper* r = new CRedisHelper();
    r->host_ = "127.0.0.1";
    r->port_ = static_cast<unsigned short>(redis_.port());
    r->timeout = {2, 0};
    r->Connect();
    app_.reset(new order_sync_client_t(new fetcher_t(r), c, nullptr, new poller_t()));
    clear_stop();
    loop_ = std::thread([this] {
      app_->run();
      ended_ = true;
    });
  }
  void TearDown() override {
    request_stop();
    redis_.freeze(false);
    if (loop_.joinable()) loop_.join();
    clear_stop();
  }
  // Requests a stop; true when the loop ended within timeout_ms.
  bool stop_loop(int timeout_ms) {
    request_stop();
    return wait_until([&] { return ended_.load(); }, timeout_ms);
  }
  std::string log() const { return read_file(dir_.file("order_sync_client_0.log")); }

  RedisServer redis_;
  TempDir dir_;
  std::unique_ptr<order_sync_client_t> app_;
  std::thread loop_;
  std::atomic<bool> ended_{false};
};

// A stop while a whole batch waits to be settled and Redis is frozen: one short wait, not
// one per order, and the orders stay in the sending list for the next start.
TEST_F(InProcessLoop, StopWithRedisFrozenEndsABatchSettleAfterOneShortWait) {
  std::vector<std::string> args = {"RPUSH", "orders"};
  std::string expected;
  for (int i = 0; i < fetcher_t::MAX_BATCH; ++i) {
    args.push_back("{\"n\":" + std::to_string(i) + "}");
    if (i > 0) expected += (i > 1 ? "\n" : "") + args.back();
  }
  redis_.command(args);
  CRedisHelper* r = new CRedisHelper();
  r->host_ = "127.0.0.1";
  r->port_ = static_cast<unsigned short>(redis_.port());
  r->timeout = {2, 0};
  r->command_timeout_ms = 5000;
  r->Connect();
  fetcher_t f(r);
  std::vector<std::string> orders;
  ASSERT_EQ(static_cast<size_t>(fetcher_t::MAX_BATCH), f.fetch("orders", fetcher_t::MAX_BATCH, &orders));
  redis_.freeze(true);
  request_stop();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(0, f.settle_all("orders", orders));
  using std::chrono::duration_cast;
  EXPECT_LT(duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(), 3000);
  redis_.freeze(false);
  // The one removal sent reaches Redis once it runs again; the others were never sent.
  EXPECT_TRUE(wait_until(
      [&] {
        return redis_.command({"LRANGE", "orders:sending", "0", "-1"}) == expected;
      },
      5000))
      << redis_.command({"LRANGE", "orders:sending", "0", "-1"});
}

class ClientStop : public InProcessLoop {
 protected:
  // Starts the loop with {"n":1}, {"n":2} waiting and a connection whose peer no longer
  // reads (it looks alive, yet every write fails; reconnecting goes to a port where
  // nobody listens), and returns once the loop holds the first order, unsendable.
  void SetUp() override {
    InProcessLoop::SetUp();
    redis_.command({"RPUSH", "orders", "{\"n\":1}", "{\"n\":2}"});
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
    ASSERT_EQ(0, shutdown(sv_[1], SHUT_RD));
    CTcpClient* c = new CTcpClient("127.0.0.1", static_cast<unsigned short>(free_port()), 500, 500);
    c->socketfd_ = sv_[0];
    c->IsConnected = true;
    start_loop(c);
    ASSERT_TRUE(wait_until([&] { return log().find("connected server failed") != std::string::npos; }, 10000)) << log();
  }
  void TearDown() override {
    InProcessLoop::TearDown();
    if (sv_[1] >= 0) close(sv_[1]);
  }

  int sv_[2] = {-1, -1};
};

TEST_F(ClientStop, OrderUnsentAtStopGoesBackToTheHeadOfItsList) {
  ASSERT_TRUE(stop_loop(10000));
  EXPECT_EQ("{\"n\":1}\n{\"n\":2}", redis_.command({"LRANGE", "orders", "0", "-1"}));
  EXPECT_NE(std::string::npos, log().find("put back at the head of orders"));
}

// Redis frozen (stopped, its connections open): the stop is still prompt, and the push
// that puts the order back reaches Redis, which carries it out once it runs again.
TEST_F(ClientStop, OrderUnsentAtStopWithRedisFrozenIsNotLost) {
  redis_.freeze(true);
  EXPECT_TRUE(stop_loop(3000)) << log();
  redis_.freeze(false);
  EXPECT_TRUE(wait_until(
      [&] {
        return redis_.command({"LRANGE", "orders", "0", "-1"}) == "{\"n\":1}\n{\"n\":2}";
      },
      5000))
      << log();
  EXPECT_NE(std::string::npos, log().find("sent back to the head of orders, unconfirmed")) << log();
}

// Orders of 4 KB taken in batches, and a gateway that stops reading after 40 KB: a write
// fails part way through a batch, once the socket buffers are full and the send time-out
// has passed. What the socket took reaches the gateway once it reads again.
class ClientBatchCut : public InProcessLoop {
 protected:
  void SetUp() override {
    InProcessLoop::SetUp();
    std::vector<std::string> args = {"RPUSH", "orders"};
    for (int i = 0; i < 120; ++i) {
      orders_.push_back("{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(4000, 'x') + "\"}");
      args.push_back(orders_.back());
    }
    redis_.command(args);
    ASSERT_TRUE(gateway_.start(0, 4096));
    gateway_.stall_after(40000);
  }
  // Connects to the fake gateway, with a small send buffer; reconnects go to
  // reconnect_port.
  CTcpClient* connected_client(int reconnect_port, int send_timeout_ms = 500) {
    CTcpClient* c = new CTcpClient("127.0.0.1", static_cast<unsigned short>(gateway_.port()), 500, send_timeout_ms);
    EXPECT_EQ(0, c->Reconnect());
    int size = 4096;
    setsockopt(c->socketfd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    c->port_ = static_cast<unsigned short>(reconnect_port);
    return c;
  }
  // The orders received, in order, are orders_[0, n).
  void expect_received_in_order(size_t n) {
    std::vector<ReceivedOrder> got = gateway_.orders();
    ASSERT_EQ(n, got.size());
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(orders_[i], got[i].text) << "order " << i;
  }

  // The orders that arrived are orders_[0, n) in order, and the rest are back at the head
  // of the list, in order. Returns n.
  size_t expect_sent_or_given_back() {
    const size_t sent = gateway_.order_count();
    expect_received_in_order(sent);
    std::string rest;
    for (size_t i = sent; i < orders_.size(); ++i) rest += (i > sent ? "\n" : "") + orders_[i];
    const std::string left = redis_.command({"LRANGE", "orders", "0", "-1"});
    EXPECT_TRUE(rest == left) << sent << " orders arrived; the list starts with " << left.substr(0, 12);
    return sent;
  }

  FakeGateway gateway_;
  std::vector<std::string> orders_;
};

TEST_F(ClientBatchCut, WriteCutPartWayThroughABatchLosesAndRepeatsNothing) {
  start_loop(connected_client(gateway_.port()));
  ASSERT_TRUE(wait_until(
      [&] {
        return gateway_.order_count() >= orders_.size() && redis_.command({"LLEN", "orders"}) == "0" &&
               redis_.command({"LLEN", "orders:sending"}) == "0";
      },
      30000))
      << log();
  expect_received_in_order(orders_.size());
  EXPECT_EQ(2, gateway_.connections());
  EXPECT_NE(std::string::npos, log().find("SEND: 0")) << log();
}

TEST_F(ClientBatchCut, StopPartWayThroughABatchSettlesTheSentAndGivesBackTheRest) {
  start_loop(connected_client(free_port()));
  ASSERT_TRUE(wait_until([&] { return log().find("connected server failed") != std::string::npos; }, 15000)) << log();
  ASSERT_TRUE(stop_loop(10000));
  gateway_.drain();
  const size_t sent = expect_sent_or_given_back();
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, orders_.size());
  EXPECT_EQ("0", redis_.command({"LLEN", "orders:sending"}));
  EXPECT_NE(std::string::npos, log().find("put back at the head of orders")) << log();
}

// A stop while a write waits for the gateway to read: the wait is cut short, and the
// orders the socket did not take whole go back to the head of the list.
TEST_F(ClientBatchCut, StopWhileAWriteWaitsForTheGatewayIsPrompt) {
  gateway_.stall_after(30000);  // part way through the fourth take, 8 orders from 28 KB on
  start_loop(connected_client(gateway_.port(), 5000));
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 7 && unread_bytes_on_port(gateway_.port()); }, 15000))
      << log();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(stop_loop(10000)) << log();
  using std::chrono::duration_cast;
  EXPECT_LT(duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(), 3000);
  gateway_.drain();
  expect_sent_or_given_back();
}

// Answers the gateway wrote while a write waited are still unread when the program ends:
// closing the connection must not reset it and throw away the orders the socket took,
// which count as sent.
TEST_F(ClientBatchCut, StopWithAnswersUnreadStillDeliversWhatTheSocketTook) {
  gateway_.stall_after(30000);
  start_loop(connected_client(gateway_.port(), 5000));
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 7 && unread_bytes_on_port(gateway_.port()); }, 15000))
      << log();
  ASSERT_TRUE(gateway_.send_to_client(std::string(64, 'a')));
  ASSERT_TRUE(stop_loop(10000)) << log();
  loop_.join();
  app_.reset();  // the program ends
  gateway_.drain();
  expect_sent_or_given_back();
}

// The TCP state ("01" established, "04" FIN_WAIT1...) of the loopback connection from
// local port `from` to port `to`, "" when there is none. Both ports are needed: the
// kernel gives one local port to connections to different ports, and a busy machine
// holds many of them.
std::string tcp_state_of_connection(int from, int to) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line, sl, local, remote, state;
  std::getline(tcp, line);  // column names
  auto port_of = [](const std::string& addr) { return std::stoi(addr.substr(addr.find(':') + 1), nullptr, 16); };
  while (tcp >> sl >> local >> remote >> state && std::getline(tcp, line))
    if (port_of(local) == from && port_of(remote) == to) return state;
  return "";
}

// Regression: answers the gateway wrote after the program closed its connection (those to
// the orders the gateway had still to read) made the kernel reset it and throw away the
// orders still in the socket, already settled in Redis: a stop of a busy client lost
// thousands of orders. The close is now announced and waits for the gateway to close too.
TEST_F(ClientBatchCut, AnswersAfterTheCloseDoNotThrowAwayWhatTheSocketTook) {
  gateway_.stall_after(30000);
  // Time-outs far beyond the test's own steps: the write waits for the stop, and the close
  // for the gateway, however late a loaded machine runs the test's next step.
  CTcpClient* c = connected_client(gateway_.port(), 60000);
  c->close_wait_ms = 60000;
  sockaddr_in me{};
  socklen_t len = sizeof(me);
  ASSERT_EQ(0, getsockname(c->socketfd_, reinterpret_cast<sockaddr*>(&me), &len));
  start_loop(c);
  ASSERT_TRUE(wait_until([&] { return gateway_.order_count() >= 7 && unread_bytes_on_port(gateway_.port()); }, 15000))
      << log();
  request_stop();  // the loop drops the connection it cannot write to
  EXPECT_TRUE(wait_until([&] { return tcp_state_of_connection(ntohs(me.sin_port), gateway_.port()) == "04"; }, 5000));
  gateway_.send_to_client(std::string(64, 'a'));
  gateway_.drain();
  ASSERT_TRUE(stop_loop(10000)) << log();
  expect_sent_or_given_back();
}

// A gateway that closes behind more answers than one look reads (64 reads of 4 KB): the
// close must still be seen, or the next orders go into a connection nobody reads.
TEST(ClientLink, ACloseBehindMoreAnswersThanOneCheckReadsIsSeen) {
  int port = 0;
  const int listener = tcp_listener(&port);
  ASSERT_GE(listener, 0);
  CTcpClient c("127.0.0.1", static_cast<unsigned short>(port));
  ASSERT_EQ(0, c.Reconnect());
  int size = 4 << 20;
  ASSERT_EQ(0, setsockopt(c.socketfd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)));
  const int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  const std::string answers(300000, 'a');
  size_t sent = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        const ssize_t n = send(peer, answers.data() + sent, answers.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
        return sent == answers.size();
      },
      10000));
  close(peer);
  pollfd p = {c.socketfd_, POLLRDHUP, 0};
  ASSERT_TRUE(wait_until([&] { return poll(&p, 1, 0) == 1; }, 10000)) << "the close arrived behind the answers";
  int unread = 0;
  ASSERT_EQ(0, ioctl(c.socketfd_, FIONREAD, &unread));
  ASSERT_GT(unread, 64 * 4096);
  int discarded = 0;
  EXPECT_EQ(0, c.check(&discarded));
  EXPECT_GT(discarded, 0);
  close(listener);
}

// A stop while the client connects to a gateway that does not answer (its queue of
// connections is full, so the kernel drops the request): the connect gives up at once
// instead of waiting out its 3-second time-out.
TEST(ClientLink, AStopEndsAConnectToAGatewayThatDoesNotAnswer) {
  int port = 0;
  const int listener = tcp_listener(&port, 0);
  ASSERT_GE(listener, 0);
  const int filler = tcp_connect_local(port);  // the one connection a backlog of 0 holds
  ASSERT_GE(filler, 0);
  CTcpClient c("127.0.0.1", static_cast<unsigned short>(port), 3000);
  c.cancel = [] { return true; };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, c.Reconnect());
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
            1500);
  EXPECT_LT(c.socketfd_, 0);
  close(filler);
  close(listener);
}

// A link that met itself (nothing listening on the gateway's port) takes every order and
// delivers none: the connect fails instead.
TEST(ClientLink, AConnectThatMeetsItselfFails) {
  const int port = testsupport::free_port();
  const int rc = testsupport::where_connects_meet_themselves(port, [&] {
    CTcpClient c("127.0.0.1", static_cast<unsigned short>(port));
    return c.Reconnect() == -1 && !c.IsConnected && c.socketfd_ < 0 ? 0 : 1;
  });
  if (rc == -1) GTEST_SKIP() << "no network namespace of our own here (needs root)";
  EXPECT_EQ(0, rc);
}

}  // namespace
