// The relay end to end: a real `hall`, real sample logic servers (or a raw fake one for
// fault injection) on loopback, and clients that build packets byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay_harness.h"

using namespace relaytest;

namespace {

const unsigned short kForward = 0x1003;

// Reads answers until `n` arrived or one is missing; returns the result texts.
std::vector<std::string> read_answers(Client& c, size_t n, int* bad_status = nullptr) {
  std::vector<std::string> out;
  int status = -1;
  std::string text;
  while (out.size() < n && c.answer(&status, &text)) {
    if (status != 0 && bad_status != nullptr) ++*bad_status;
    out.push_back(text);
  }
  return out;
}

TEST(Relay, RequestsReachEveryLogicServerInOrderAndAnswersComeBack) {
  LogicServer s10("L10", {"--result", "r10"}), s20("L20", {"--result", "r20"}), s30("L30", {"--result", "r30"});
  ASSERT_TRUE(s10.start() && s20.start() && s30.start());
  GatewayConfig cfg;
  cfg.servers = {{30, s30.port()}, {10, s10.port()}, {20, s20.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();

  Client a(gw.port()), b(gw.port());
  ASSERT_TRUE(a.ok() && b.ok());
  // Three requests in one write, and one from a second client.
  ASSERT_TRUE(a.send(data_req(101, "a1") + data_req(101, "a2") + data_req(101, "{\"order\":3}")));
  ASSERT_TRUE(b.send(data_req(202, "b1")));

  for (LogicServer* s : {&s10, &s20, &s30}) {
    SCOPED_TRACE(s->name());
    ASSERT_TRUE(s->wait_matching("recv cmd=0x1003", 4, 5000));
    std::vector<std::string> from_a = s->matching("forward client=101 ");
    ASSERT_EQ(from_a.size(), 3u);
    EXPECT_NE(from_a[0].find("data=a1"), std::string::npos);
    EXPECT_NE(from_a[1].find("data=a2"), std::string::npos);
    EXPECT_NE(from_a[2].find("data={\"order\":3}"), std::string::npos);
    EXPECT_EQ(s->matching("forward client=202 data=b1").size(), 1u);
    EXPECT_TRUE(s->matching("checksum=bad").empty());
  }

  int bad = 0;
  std::vector<std::string> got_a = read_answers(a, 9, &bad);
  ASSERT_EQ(got_a.size(), 9u);
  EXPECT_EQ(bad, 0);
  for (const char* r : {"r10", "r20", "r30"}) EXPECT_EQ(std::count(got_a.begin(), got_a.end(), r), 3) << r;
  std::vector<std::string> got_b = read_answers(b, 3, &bad);
  ASSERT_EQ(got_b.size(), 3u);
  EXPECT_TRUE(a.no_answer(300));

  // An order that names another client's id as its flow is answered to that client.
  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(303, "{\"flow\":202,\"item\":1}")));
  EXPECT_EQ(read_answers(b, 3).size(), 3u);
  EXPECT_TRUE(c.no_answer(300));

  // A registered client that leaves is announced to one logic server.
  a.close();
  auto closes = [&] {
    return s10.matching("close client=101 svid=9").size() + s20.matching("close client=101 svid=9").size() +
           s30.matching("close client=101 svid=9").size();
  };
  EXPECT_TRUE(testsupport::wait_until([&] { return closes() == 1; }, 5000));
  EXPECT_TRUE(gw.alive());
}

TEST(Relay, ForwardsAreEncipheredCopiesSentInAscendingSvidOrder) {
  FakeLogic l5, l7, l9;
  GatewayConfig cfg;
  cfg.servers = {{9, l9.port()}, {5, l5.port()}, {7, l7.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(l5.accept_link() && l7.accept_link() && l9.accept_link());

  Client c(gw.port());
  const std::string text = "{\"orderid\":\"A-1\",\"amount\":12.5,\"note\":\"\xc3\xa9t\xc3\xa9\"}";
  int stamped = 0;
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(c.send(data_req(4242, text + std::to_string(round))));
    Packet p5, p7, p9;
    ASSERT_TRUE(l5.read(&p5, 5000) && l7.read(&p7, 5000) && l9.read(&p9, 5000));
    for (const Packet* p : {&p5, &p7, &p9}) {
      EXPECT_EQ(p->cmd, kForward);
      EXPECT_NE(p->code, 0);
      EXPECT_TRUE(p->checksum_ok);
      EXPECT_EQ(p->int_at(0), 4242);
      EXPECT_EQ(p->str_at(4), text + std::to_string(round));
      EXPECT_EQ(p->body.size(), 4 + 4 + text.size() + 2);
    }
    // Loopback delivers during the gateway's send, so the kernel's receive stamps show
    // the order in which the gateway wrote the three links. A read the kernel left
    // unstamped says nothing about the order and is not counted.
    if (p5.recv_ns == 0 || p7.recv_ns == 0 || p9.recv_ns == 0) continue;
    ++stamped;
    EXPECT_LE(p5.recv_ns, p7.recv_ns) << "round " << round;
    EXPECT_LE(p7.recv_ns, p9.recv_ns) << "round " << round;
  }
  EXPECT_GE(stamped, 4) << "too few stamped reads to see the order of the writes";
}

// Regression: a request went at once to links that had to reconnect and only at the end
// of the loop turn to the idle ones, out of svid order.
TEST(Relay, ForwardsKeepAscendingSvidOrderWhileSomeLinksReconnect) {
  FakeLogic l1, l2, l3;
  GatewayConfig cfg;
  cfg.servers = {{1, l1.port()}, {2, l2.port()}, {3, l3.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(l1.accept_link() && l2.accept_link() && l3.accept_link());
  Client c(gw.port());
  int stamped = 0;
  for (int round = 1; round <= 3; ++round) {
    // Links 2 and 3 drop; link 1 stays up and idle.
    l2.close_link();
    l3.close_link();
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return testsupport::count_of(gw.process_log(), "logic server close") == static_cast<size_t>(2 * round); },
        5000));
    ASSERT_TRUE(c.send(data_req(11, "round " + std::to_string(round))));
    Packet p1, p2, p3;
    ASSERT_TRUE(l1.read(&p1, 5000));
    ASSERT_TRUE(l2.accept_link() && l2.read(&p2, 5000));
    ASSERT_TRUE(l3.accept_link() && l3.read(&p3, 5000));
    for (const Packet* p : {&p1, &p2, &p3}) EXPECT_EQ(p->str_at(4), "round " + std::to_string(round));
    if (p1.recv_ns == 0 || p2.recv_ns == 0 || p3.recv_ns == 0) continue;
    ++stamped;
    EXPECT_LE(p1.recv_ns, p2.recv_ns) << "round " << round;
    EXPECT_LE(p2.recv_ns, p3.recv_ns) << "round " << round;
  }
  EXPECT_GE(stamped, 2) << "too few stamped reads to see the order of the writes";
}

TEST(Relay, AnswersForUnknownFlowsAreDroppedWithoutHarm) {
  LogicServer s("L1");
  ASSERT_TRUE(s.start());
  GatewayConfig cfg;
  cfg.servers = {{1, s.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();

  Client c(gw.port());
  // 2^32 + 1 must not be taken for client 1; the others name nobody.
  ASSERT_TRUE(c.send(data_req(1, "{\"flow\":4294967297}") + data_req(1, "{\"flow\":999999}") +
                     data_req(1, "{\"flow\":-3}") + data_req(1, "{\"flow\":0}")));
  ASSERT_TRUE(s.wait_matching("sent cmd=0x9001", 4, 5000));
  EXPECT_TRUE(c.no_answer());

  ASSERT_TRUE(c.send(data_req(1, "plain text")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "ok from L1");
  EXPECT_TRUE(c.no_answer(300));
  EXPECT_TRUE(gw.alive());
}

// The five lines written for every packet follow TrafficLogLevel: at 3 (the default) they
// are always written, at 7 a log at LogLevel 6 leaves them out.
TEST(Relay, TrafficLinesFollowTrafficLogLevel) {
  const char* traffic[] = {"client packet body length", "send packet before", "sent packet length",
                           "*STEP: recv from logic server fd", "helper packet body length"};
  for (const char* level : {"3", "7"}) {
    LogicServer s("L1");
    ASSERT_TRUE(s.start());
    GatewayConfig cfg;
    cfg.servers = {{1, s.port()}};
    cfg.log_level = 6;
    cfg.attrs = {{"TrafficLogLevel", level}};
    Gateway gw(cfg);
    ASSERT_TRUE(gw.start()) << gw.stderr_text();
    Client c(gw.port());
    int status = -1;
    std::string text;
    // The lines of a turn are written before the loop waits again: once the second
    // answer is in, the first round trip's lines are in the log.
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(c.send(data_req(5, "plain")));
      ASSERT_TRUE(c.answer(&status, &text));
    }
    for (const char* line : traffic) {
      if (std::string(level) == "3")
        EXPECT_TRUE(gw.wait_log(line, 5000)) << line;
      else
        EXPECT_EQ(gw.process_log().find(line), std::string::npos) << line;
    }
  }
}

TEST(Relay, LogicServerRestartedIsReconnectedOnDemand) {
  LogicServer s("L4");
  ASSERT_TRUE(s.start());
  GatewayConfig cfg;
  cfg.servers = {{4, s.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  Client c(gw.port());
  int status = -1;
  std::string text;

  ASSERT_TRUE(c.send(data_req(8, "before")));
  ASSERT_TRUE(c.answer(&status, &text));

  // While the server is down the request has nowhere to go; the gateway stays up.
  EXPECT_EQ(s.stop(), 0);
  ASSERT_TRUE(c.send(data_req(8, "while down")));
  EXPECT_TRUE(c.no_answer());
  EXPECT_TRUE(gw.alive());

  ASSERT_TRUE(s.start());
  ASSERT_TRUE(c.send(data_req(8, "after")));
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_TRUE(s.wait_matching("data=after", 1, 5000));
  EXPECT_TRUE(s.matching("data=while down").empty());
}

// Regression: a logic server that restarts before any client traffic used to get the
// first forward written into the dead link and lost.
TEST(Relay, LogicServerRestartedBeforeAnyTrafficLosesNoRequest) {
  LogicServer s("L6");
  ASSERT_TRUE(s.start());
  GatewayConfig cfg;
  cfg.servers = {{6, s.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(s.wait_matching("link accepted", 1, 5000));
  EXPECT_EQ(s.stop(), 0);
  ASSERT_TRUE(s.start());

  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(12, "first")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(text, "ok from L6");
}

TEST(Relay, LoadReportsAreAccepted) {
  LogicServer s("L2", {"--waiter-stat", "1025,77", "--notify-stat", "3,4"});
  ASSERT_TRUE(s.start());
  GatewayConfig cfg;
  cfg.servers = {{2, s.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();

  // Reports sent right after the link opens are read before any client traffic.
  ASSERT_TRUE(gw.wait_log("_n_qlen:  3", 5000)) << gw.process_log();
  const std::string log = gw.process_log();
  EXPECT_NE(log.find("_w_qlen:  1025"), std::string::npos);
  EXPECT_NE(log.find("_w_ctime: 77"), std::string::npos);
  EXPECT_NE(log.find("_w_is_busyed: true"), std::string::npos);
  EXPECT_NE(log.find("_n_is_busyed: false"), std::string::npos);

  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(3, "x")));
  int status = -1;
  std::string text;
  EXPECT_TRUE(c.answer(&status, &text));
}

TEST(Relay, IdleLinkIsClosedAfterTheHelperTimeOutAndReopenedOnDemand) {
  LogicServer s("L8");
  ASSERT_TRUE(s.start());
  GatewayConfig cfg;
  cfg.helper_timeout = 1;
  cfg.servers = {{8, s.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  int status = -1;
  std::string text;
  {
    Client c(gw.port());
    ASSERT_TRUE(c.send(data_req(77, "x")));
    ASSERT_TRUE(c.answer(&status, &text));
  }
  // The close notice puts the link on the helper timer list; a second of silence ends it.
  ASSERT_TRUE(s.wait_matching("close client=77", 1, 5000));
  ASSERT_TRUE(s.wait_matching("link closed", 1, 5000));
  Client d(gw.port());
  ASSERT_TRUE(d.send(data_req(78, "y")));
  ASSERT_TRUE(d.answer(&status, &text));
  EXPECT_EQ(s.matching("link accepted").size(), 2u);
}

TEST(Relay, LogicServerThatNeverReadsIsDroppedWithoutHarmToTheOthers) {
  LogicServer healthy("H"), deaf("D", {"--no-read"});
  ASSERT_TRUE(healthy.start() && deaf.start());
  GatewayConfig cfg;
  cfg.log_level = 4;
  cfg.servers = {{1, deaf.port()}, {2, healthy.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(deaf.wait_matching("link accepted", 1, 5000));

  // Big requests until the deaf server's link has been given up and opened anew.
  Client c(gw.port());
  const std::string pad(7900, 'p');
  int sent = 0;
  for (; sent < 3000 && deaf.matching("link accepted").size() < 2; ++sent) {
    ASSERT_TRUE(c.send(data_req(21, std::to_string(sent) + pad)));
    int status = -1;
    std::string text;
    ASSERT_TRUE(c.answer(&status, &text)) << "request " << sent;
    EXPECT_EQ(text, "ok from H");
  }
  EXPECT_GE(deaf.matching("link accepted").size(), 2u);
  ASSERT_TRUE(healthy.wait_matching("forward client=21", static_cast<size_t>(sent), 5000));
  std::vector<std::string> got = healthy.matching("forward client=21");
  ASSERT_EQ(got.size(), static_cast<size_t>(sent));
  for (int i = 0; i < sent; ++i) EXPECT_NE(got[i].find("data=" + std::to_string(i) + "ppp"), std::string::npos) << i;
  EXPECT_TRUE(gw.alive());
}

TEST(Relay, RepeatedSvidIsRefusedAtStartUp) {
  LogicServer first("F"), second("S");
  ASSERT_TRUE(first.start() && second.start());
  GatewayConfig cfg;
  cfg.servers = {{2, first.port()}, {2, second.port()}};
  Gateway gw(cfg);
  EXPECT_FALSE(gw.start());
  EXPECT_NE(gw.stderr_text().find("Server 2 svid=\"2\": listed twice (also Server 1)"), std::string::npos)
      << gw.stderr_text();
  EXPECT_TRUE(first.matching("link accepted").empty());
}

TEST(Relay, MalformedPacketsFromALogicServerDoNotCrashTheGateway) {
  FakeLogicGateway run;
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  FakeLogic& l = run.logic;
  Gateway& gw = run.gw;

  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(5, "hello")));
  Packet fw;
  ASSERT_TRUE(l.read(&fw, 5000));
  int status = -1;
  std::string text;

  // Skipped one by one while the link stays: an unknown command, a packet too big for
  // a packet buffer, texts that are no JSON or name nobody, nesting that makes the JSON
  // reader throw, an empty body. Then a result whose "result" is not text (status 1)
  // and a good one.
  ASSERT_TRUE(l.send(packet(0x7777, be32(1)) + raw_header(10240, 0x9001, 10240 - 7) + result_pkt("not json") +
                     result_pkt("{\"flow\":\"5\",\"result\":\"x\"}") + result_pkt("[5]") +
                     result_pkt(std::string(6000, '[')) + packet(0x9001, "") + packet(0x9002, "") +
                     result_pkt("{\"flow\":5,\"result\":[1,2]}") + result_pkt("{\"flow\":5,\"result\":\"fine\"}")));
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(text, "");
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "fine");
  EXPECT_TRUE(c.no_answer(300));

  // A length the protocol cannot have drops the link; the next request reconnects.
  for (int length : {3, 10241}) {
    SCOPED_TRACE(length);
    ASSERT_TRUE(l.send(raw_header(length, 0x9001, 16)));
    ASSERT_TRUE(l.wait_closed(5000));
    ASSERT_TRUE(c.send(data_req(5, "again")));
    ASSERT_TRUE(l.accept_link());
    ASSERT_TRUE(l.read(&fw, 5000));
    EXPECT_EQ(fw.str_at(4), "again");
  }

  // Random bodies under well-formed headers: every command the link knows and some it
  // does not, enciphered or plain. The parsers must take them all and the link stays.
  unsigned seed = 12345;
  auto rnd = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  const unsigned short cmds[] = {0x9001, 0x9002, 0x9003, 0x1001, 0x0002, 0xFFFF};
  std::string noise;
  for (int i = 0; i < 300; ++i) {
    std::string body(rnd() % 300, '\0');
    for (char& ch : body) ch = static_cast<char>(rnd());
    noise += packet(cmds[rnd() % 6], body, rnd() % 2 == 0);
  }
  ASSERT_TRUE(l.send(noise + result_pkt("{\"flow\":5,\"result\":\"end\"}")));
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(text, "end");
  EXPECT_FALSE(l.wait_closed(200));
  EXPECT_TRUE(gw.alive());
}

}  // namespace
