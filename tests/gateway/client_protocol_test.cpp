// The client side of the gateway, black-box: a real `hall` in the foreground, a fake
// logic server written here, and clients that speak hand-built packets.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gateway_harness.h"

using namespace gwtest;

namespace {

const unsigned short kForward = 0x1003;
const unsigned short kCloseNotice = 0x0002;
const std::string kPolicyRequest("<policy-file-request/>\0", 23);
const std::string kPolicyAnswer =
    "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" /></cross-domain-policy>";

class ClientProtocol : public ::testing::Test {
 protected:
  virtual void configure(GatewayConfig*) {}

  void SetUp() override {
    GatewayConfig cfg;
    cfg.servers = {{3, logic_.port()}};
    configure(&cfg);
    gw_.reset(new Gateway(cfg));
    ASSERT_TRUE(gw_->start()) << gw_->stderr_text();
    ASSERT_TRUE(logic_.accept_link());
  }

  // The forwards seen so far, in arrival order.
  std::vector<Packet> forwards() {
    std::vector<Packet> out;
    for (const Packet& p : logic_.packets())
      if (p.cmd == kForward) out.push_back(p);
    return out;
  }

  // Sends one request on `c` and waits until the logic server has it.
  void round_trip(Client& c, int id, const std::string& text) {
    const size_t before = logic_.count(kForward);
    ASSERT_TRUE(c.send(data_req(id, text)));
    ASSERT_TRUE(logic_.wait_for(kForward, before + 1, 5000));
    EXPECT_EQ(forwards().back().str_at(4), text);
  }

  FakeLogic logic_;
  std::unique_ptr<Gateway> gw_;
};

TEST_F(ClientProtocol, PolicyRequestIsAnsweredAndClosed) {
  Client c(gw_->port());
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.send(kPolicyRequest));
  std::string got(88, '\0');
  ASSERT_EQ(testsupport::recv_exact(c.fd(), &got[0], got.size(), 5000), 88u);
  EXPECT_EQ(got, kPolicyAnswer);
  EXPECT_TRUE(testsupport::wait_closed(c.fd(), 5000));

  // A near miss of the same size gets no answer; the text without its zero byte is
  // not a packet stream. Both are closed.
  Client near(gw_->port());
  std::string miss = kPolicyRequest;
  miss[10] = 'X';
  ASSERT_TRUE(near.send(miss));
  char byte;
  EXPECT_EQ(testsupport::recv_exact(near.fd(), &byte, 1, 3000), 0u);
  EXPECT_TRUE(testsupport::wait_closed(near.fd(), 5000));

  Client short_req(gw_->port());
  ASSERT_TRUE(short_req.send(kPolicyRequest.substr(0, 22)));
  EXPECT_TRUE(testsupport::wait_closed(short_req.fd(), 5000));
  EXPECT_EQ(logic_.count(kForward), 0u);

  // A registered client that sends it is answered and closed alike, and its departure
  // is announced like any other.
  Client registered(gw_->port());
  round_trip(registered, 77, "registered");
  ASSERT_TRUE(registered.send(kPolicyRequest));
  ASSERT_EQ(testsupport::recv_exact(registered.fd(), &got[0], got.size(), 5000), 88u);
  EXPECT_TRUE(testsupport::wait_closed(registered.fd(), 5000));
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
  for (const Packet& p : logic_.packets())
    if (p.cmd == kCloseNotice) {
      EXPECT_EQ(p.int_at(0), 77);
    }
}

TEST_F(ClientProtocol, ManyPacketsInOneReadAndOnePacketOverManyReads) {
  Client c(gw_->port());
  ASSERT_TRUE(c.send(data_req(11, "a") + data_req(11, "bb") + data_req(11, "ccc")));
  ASSERT_TRUE(logic_.wait_for(kForward, 3, 5000));

  // Two whole packets and half of a third: the half waits for its rest.
  const std::string third = data_req(11, "third-one");
  ASSERT_TRUE(c.send(data_req(11, "dd") + data_req(11, "ee") + third.substr(0, 7)));
  ASSERT_TRUE(logic_.wait_for(kForward, 5, 5000));
  usleep(200 * 1000);
  EXPECT_EQ(logic_.count(kForward), 5u);
  ASSERT_TRUE(c.send(third.substr(7)));
  ASSERT_TRUE(logic_.wait_for(kForward, 6, 5000));

  // One packet dribbled out in pieces, each its own read on the gateway side.
  const std::string split = data_req(12, "split over many reads");
  const size_t cuts[] = {1, 3, 8, 9, 14, split.size()};
  size_t from = 0;
  for (size_t to : cuts) {
    ASSERT_TRUE(c.send(split.substr(from, to - from)));
    from = to;
    usleep(30 * 1000);
  }
  ASSERT_TRUE(logic_.wait_for(kForward, 7, 5000));

  const std::vector<Packet> fw = forwards();
  const char* texts[] = {"a", "bb", "ccc", "dd", "ee", "third-one", "split over many reads"};
  ASSERT_EQ(fw.size(), 7u);
  for (size_t i = 0; i < fw.size(); ++i) {
    EXPECT_NE(fw[i].code, 0) << "forwards travel enciphered";
    EXPECT_EQ(fw[i].int_at(0), i < 6 ? 11 : 12);
    EXPECT_EQ(fw[i].str_at(4), texts[i]) << "forward " << i;
  }
}

TEST_F(ClientProtocol, PacketOfExactly8000BytesPassesAndOneMoreCloses) {
  Client c(gw_->port());
  const std::string big(7982, 'x');
  const std::string p8000 = data_req(21, big);
  ASSERT_EQ(p8000.size(), 8000u);
  ASSERT_TRUE(c.send(p8000));
  ASSERT_TRUE(logic_.wait_for(kForward, 1, 5000));
  EXPECT_EQ(forwards().back().str_at(4), big);
  round_trip(c, 21, "still open");

  Client d(gw_->port());
  const std::string p8001 = data_req(22, big + "y");
  ASSERT_EQ(p8001.size(), 8001u);
  ASSERT_TRUE(d.send(p8001));
  EXPECT_TRUE(testsupport::wait_closed(d.fd(), 5000));
  EXPECT_EQ(logic_.count(kForward), 2u);
  round_trip(c, 21, "others unaffected");
}

struct BadCase {
  const char* name;
  std::string bytes;
};

TEST_F(ClientProtocol, BadPacketClosesOnlyItsConnectionAfterTheGoodOnesBeforeIt) {
  std::string bad_flag = data_req(31, "bad flag");
  bad_flag[2] = 'X';
  std::string bad_sum = data_req(31, "bad checksum");
  bad_sum[8] = static_cast<char>(bad_sum[8] + 1);
  const std::string other_cmd = packet(0x0003, be32(31) + str_field("other command"));
  const std::string too_short("\x00\x05TQ\x01\x01\x00\x02\x00", 9);
  const BadCase cases[] = {{"flag", bad_flag}, {"checksum", bad_sum}, {"command", other_cmd}, {"length", too_short}};

  Client good(gw_->port());
  round_trip(good, 30, "good before");
  for (const BadCase& bc : cases) {
    SCOPED_TRACE(bc.name);
    Client bad(gw_->port());
    const size_t before = logic_.count(kForward);
    // The packet ahead of the bad one in the same read is still forwarded.
    ASSERT_TRUE(bad.send(data_req(31, "ahead") + bc.bytes + data_req(31, "behind")));
    EXPECT_TRUE(testsupport::wait_closed(bad.fd(), 5000));
    ASSERT_TRUE(logic_.wait_for(kForward, before + 1, 5000));
    usleep(100 * 1000);
    EXPECT_EQ(logic_.count(kForward), before + 1);
    EXPECT_EQ(forwards().back().str_at(4), "ahead");
    round_trip(good, 30, std::string("good after ") + bc.name);
  }
  EXPECT_TRUE(gw_->alive());
}

TEST_F(ClientProtocol, EmptyBodyRegistersMinusOneAndForwardsEmptyText) {
  Client c(gw_->port());
  ASSERT_TRUE(c.send(packet(0x0002, "")));
  ASSERT_TRUE(logic_.wait_for(kForward, 1, 5000));
  const Packet fw = forwards().back();
  EXPECT_EQ(fw.int_at(0), -1);
  EXPECT_EQ(fw.str_at(4), "");
  EXPECT_EQ(fw.body.size(), 9u);
  round_trip(c, 1, "open");
}

TEST_F(ClientProtocol, RegisteredClientClosingIsAnnouncedOnce) {
  Client c(gw_->port());
  round_trip(c, 42, "hello");
  c.close();
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
  Packet notice;
  for (const Packet& p : logic_.packets())
    if (p.cmd == kCloseNotice) notice = p;
  EXPECT_EQ(notice.code, 0) << "the close notice travels plain";
  EXPECT_EQ(notice.body.size(), 8u);
  EXPECT_EQ(notice.int_at(0), 42);
  EXPECT_EQ(notice.int_at(4), 9) << "the gateway's own svid";

  // A connection that never registered leaves silently.
  Client silent(gw_->port());
  ASSERT_TRUE(silent.send(std::string("\x00", 1)));
  usleep(100 * 1000);
  silent.close();
  usleep(300 * 1000);
  EXPECT_EQ(logic_.count(kCloseNotice), 1u);
}

// Regression: a connection whose id was taken over by a later connection used to erase
// the later connection's routing entry and announce a departure that did not happen.
TEST_F(ClientProtocol, IdTakenOverByLaterConnectionIsAnnouncedOnlyByItsHolder) {
  Client first(gw_->port());
  Client second(gw_->port());
  round_trip(first, 5, "from first");
  round_trip(second, 5, "from second");
  first.close();
  usleep(300 * 1000);
  EXPECT_EQ(logic_.count(kCloseNotice), 0u);

  // The entry still names the second connection: an answer for 5 reaches it.
  ASSERT_TRUE(logic_.send(packet(0x9001, std::string(1, '\0') + str_field("{\"flow\":5,\"result\":\"for five\"}"))));
  Packet answer;
  ASSERT_TRUE(read_packet(second.fd(), &answer, 5000));
  EXPECT_EQ(answer.cmd, 0x1001);
  EXPECT_EQ(answer.int_at(0), 0);
  EXPECT_EQ(answer.str_at(4), "for five");

  second.close();
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
  usleep(200 * 1000);
  EXPECT_EQ(logic_.count(kCloseNotice), 1u);
}

// Regression: ids registered earlier on a connection (and ids of 0 or below) kept
// routing entries that named the deleted connection; an answer for such an id then
// wrote into freed memory.
TEST_F(ClientProtocol, NoRoutingEntryOutlivesItsConnection) {
  Client c(gw_->port());
  round_trip(c, 7, "seven");
  round_trip(c, 0, "zero");
  round_trip(c, 8, "eight");
  c.close();
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
  for (int flow : {7, 0, 8}) {
    const std::string json = "{\"flow\":" + std::to_string(flow) + ",\"result\":\"late\"}";
    ASSERT_TRUE(logic_.send(packet(0x9001, std::string(1, '\0') + str_field(json))));
  }
  // The gateway is alive, and a new holder of 7 gets exactly its own answer.
  Client next(gw_->port());
  round_trip(next, 7, "seven again");
  ASSERT_TRUE(logic_.send(packet(0x9001, std::string(1, '\0') + str_field("{\"flow\":7,\"result\":\"fresh\"}"))));
  Packet answer;
  ASSERT_TRUE(read_packet(next.fd(), &answer, 5000));
  EXPECT_EQ(answer.str_at(4), "fresh");
  EXPECT_TRUE(gw_->alive());
}

// Regression: a client that stops reading used to be dropped by the 50th blocked write
// of an answer and then linger, with no interest in any event, until the idle time-out.
// It is now closed in the same loop turn and its departure announced.
TEST_F(ClientProtocol, ClientThatStopsReadingIsClosedAfterFiftyBlockedWrites) {
  Client slow(gw_->port(), 4096);
  ASSERT_TRUE(slow.ok());
  round_trip(slow, 61, "I will not read");
  const std::string answer =
      packet(0x9001, std::string(1, '\0') + str_field("{\"flow\":61,\"result\":\"" + std::string(7900, 'r') + "\"}"));
  // Far more than the socket buffers hold; the gateway drops the client on the way.
  bool closed = false;
  for (int i = 0; i < 4000 && !closed; ++i) {
    ASSERT_TRUE(logic_.send(answer));
    if (i % 100 == 99) closed = logic_.count(kCloseNotice) > 0;
  }
  // Well inside the 30-second idle time-out of this gateway.
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 10000));
  // What did reach the client is whole answers followed by the end of the stream.
  size_t answers = 0;
  Packet p;
  while (read_packet(slow.fd(), &p, 3000)) {
    EXPECT_EQ(p.cmd, 0x1001);
    ++answers;
  }
  EXPECT_GT(answers, 0u);
  EXPECT_TRUE(testsupport::wait_closed(slow.fd(), 3000));
  Client other(gw_->port());
  round_trip(other, 62, "others unaffected");
}

// Regression: a leaving connection announced only the id it registered last.
TEST_F(ClientProtocol, EveryIdALeavingConnectionStillHoldsIsAnnounced) {
  Client first(gw_->port());
  Client second(gw_->port());
  for (int id : {1, 2, 3}) round_trip(first, id, "from first");
  round_trip(second, 2, "taken over");
  first.close();
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 2, 5000));
  std::multiset<int> gone;
  for (const Packet& p : logic_.packets())
    if (p.cmd == kCloseNotice) gone.insert(p.int_at(0));
  EXPECT_EQ(gone, (std::multiset<int>{1, 3}));
  // 2 still routes to the connection that took it over.
  ASSERT_TRUE(logic_.send(testpackets::result_pkt("{\"flow\":2,\"result\":\"still here\"}")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(second.answer(&status, &text));
  EXPECT_EQ(text, "still here");
}

// Regression: one connection could register any number of ids.
TEST_F(ClientProtocol, ConnectionRegisteringMoreIdsThanTheBoundIsClosed) {
  Client c(gw_->port());
  std::string burst;
  for (int id = 1; id <= 17; ++id) burst += data_req(id, "id " + std::to_string(id));
  ASSERT_TRUE(c.send(burst));
  EXPECT_TRUE(testsupport::wait_closed(c.fd(), 5000));
  EXPECT_TRUE(gw_->wait_log("more than 16 client ids", 5000));
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 16, 5000));
  EXPECT_EQ(logic_.count(kForward), 16u);
}

TEST_F(ClientProtocol, ConnectionStormIsServedCompletely) {
  const int kClients = 300;  // more than one accept batch of 256
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(new Client(gw_->port()));
    ASSERT_TRUE(clients.back()->ok()) << i;
  }
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(clients[i]->send(data_req(1000 + i, "storm")));
  ASSERT_TRUE(logic_.wait_for(kForward, kClients, 30000)) << logic_.count(kForward);
  std::set<int> ids;
  for (const Packet& p : forwards()) ids.insert(p.int_at(0));
  EXPECT_EQ(ids.size(), static_cast<size_t>(kClients));
  // Every connection is registered and open: the answer for the last one arrives.
  ASSERT_TRUE(logic_.send(packet(0x9001, std::string(1, '\0') + str_field("{\"flow\":1299,\"result\":\"last\"}"))));
  Packet answer;
  ASSERT_TRUE(read_packet(clients.back()->fd(), &answer, 5000));
  EXPECT_EQ(answer.str_at(4), "last");
}

class ShortIdleTimeout : public ClientProtocol {
 protected:
  void configure(GatewayConfig* cfg) override { cfg->web_timeout = 1; }
};

TEST_F(ShortIdleTimeout, SilentClientIsClosedWithoutNotice) {
  Client c(gw_->port());
  // A partial header gets the connection accepted (the listener defers accepts until
  // data arrives) without completing a packet.
  ASSERT_TRUE(c.send(std::string("\x00\x20T", 3)));
  EXPECT_TRUE(testsupport::wait_closed(c.fd(), 8000));
  EXPECT_EQ(logic_.count(kCloseNotice), 0u);

  // A registered client that falls silent is closed too, and announced.
  Client r(gw_->port());
  round_trip(r, 77, "then silence");
  EXPECT_TRUE(testsupport::wait_closed(r.fd(), 8000));
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
}

class SmallClientQueue : public ClientProtocol {
 protected:
  void configure(GatewayConfig* cfg) override { cfg->attrs = {{"MaxClientQueue", "65536"}}; }
};

// Regression: a client that takes a little of every write never counted as blocked, and
// its queue grew without bound.
TEST_F(SmallClientQueue, ClientWhoseQueuePassesTheBoundIsClosed) {
  Client slow(gw_->port(), 4096);
  round_trip(slow, 61, "I read slowly");
  const std::string answer = testpackets::result_pkt("{\"flow\":61,\"result\":\"" + std::string(7900, 'r') + "\"}");
  bool logged = false;
  for (int i = 0; i < 400 && !logged; ++i) {
    ASSERT_TRUE(logic_.send(answer));
    if (i % 10 == 9) logged = gw_->wait_log("would pass 65536 bytes: client closed", 1);
  }
  EXPECT_TRUE(gw_->wait_log("would pass 65536 bytes: client closed", 5000));
  ASSERT_TRUE(logic_.wait_for(kCloseNotice, 1, 5000));
}

}  // namespace

// Regression: when one accept batch took exactly the connections waiting, the next one
// found the queue empty and the gateway logged "invoke proc_accept failed" at level 3.
TEST(ClientAccept, AFullAcceptBatchIsNoAcceptFailure) {
  FakeLogic logic;
  GatewayConfig cfg;
  cfg.servers = {{3, logic.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(logic.accept_link());
  // 256 (one batch) wait in the queue, each with its request, while the gateway is stopped.
  ASSERT_EQ(0, kill(gw.pid(), SIGSTOP));
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 256; ++i) {
    clients.emplace_back(new Client(gw.port()));
    ASSERT_TRUE(clients.back()->send(data_req(1000 + i, "x")));
  }
  auto queued = [&] {  // the listening socket's accept queue (its rx_queue in /proc/net/tcp)
    std::istringstream table(testsupport::read_file("/proc/net/tcp"));
    unsigned port = 0, state = 0, waiting = 0;
    for (std::string line; std::getline(table, line);)
      if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %x %*x:%x", &port, &state, &waiting) == 3 &&
          port == static_cast<unsigned>(gw.port()) && state == 0x0A)
        return waiting;
    return 0u;
  };
  ASSERT_TRUE(testsupport::wait_until([&] { return queued() == 256; }, 5000)) << queued();
  ASSERT_EQ(0, kill(gw.pid(), SIGCONT));
  ASSERT_TRUE(logic.wait_for(kForward, 256, 10000));
  EXPECT_EQ(gw.process_log().find("proc_accept failed"), std::string::npos);
}
