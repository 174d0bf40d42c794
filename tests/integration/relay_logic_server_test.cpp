// The sample logic server on its own: the test plays the gateway over a raw socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "relay_harness.h"

using namespace relaytest;

namespace {

std::string forward(int client_id, const std::string& text) {
  return packet(0x1003, be32(client_id) + str_field(text));
}

// The answer to one forward: its JSON text, or "" when none came.
std::string answer_json(int fd, int timeout_ms = 3000) {
  Packet p;
  if (!read_packet(fd, &p, timeout_ms) || p.cmd != 0x9001 || !p.checksum_ok) return "";
  if (p.body.empty() || p.body[0] != 0) return "";
  return p.str_at(1);
}

TEST(LogicServer, AnswersEachForwardNamingTheFlowOrTheClient) {
  LogicServer s("L", {"--result", "done"});
  ASSERT_TRUE(s.start());
  int fd = testsupport::tcp_connect_local(s.port());
  ASSERT_GE(fd, 0);
  std::string batch = forward(17, "plain") + forward(17, "{\"flow\":99,\"x\":1}") + forward(-4, "{\"flow\":\"7\"}") +
                      forward(5, "{\"flow\":123456789012}");
  ASSERT_TRUE(testsupport::send_all(fd, batch.data(), batch.size()));
  EXPECT_EQ(answer_json(fd), "{\"flow\":17,\"result\":\"done\"}");
  EXPECT_EQ(answer_json(fd), "{\"flow\":99,\"result\":\"done\"}");
  EXPECT_EQ(answer_json(fd), "{\"flow\":-4,\"result\":\"done\"}");
  EXPECT_EQ(answer_json(fd), "{\"flow\":123456789012,\"result\":\"done\"}");

  // Close notices travel plain and are logged, not answered.
  std::string notice = packet(0x0002, be32(17) + be32(9), false);
  ASSERT_TRUE(testsupport::send_all(fd, notice.data(), notice.size()));
  EXPECT_TRUE(s.wait_matching("recv cmd=0x0002 close client=17 svid=9", 1, 3000));
  EXPECT_EQ(answer_json(fd, 300), "");

  // One line per packet, control bytes escaped so a line stays a line.
  std::string odd = forward(3, "two\nlines");
  ASSERT_TRUE(testsupport::send_all(fd, odd.data(), odd.size()));
  EXPECT_TRUE(s.wait_matching("forward client=3 data=two\\x0alines", 1, 3000));
  // A long text of escaped bytes is logged whole.
  std::string wide = forward(4, std::string(7000, '\xff') + "END");
  ASSERT_TRUE(testsupport::send_all(fd, wide.data(), wide.size()));
  EXPECT_TRUE(s.wait_matching("\\xff\\xffEND", 1, 3000));
  EXPECT_EQ(s.matching("recv cmd=0x1003").size(), 6u);
  close(fd);
  EXPECT_TRUE(s.wait_matching("link closed", 1, 3000));
  EXPECT_EQ(s.stop(), 0);  // SIGTERM: clean exit
  EXPECT_EQ(s.matching("stopped").size(), 1u);
}

TEST(LogicServer, ResultTextIsQuotedTheSameWhetherOrNotTheRequestIsJson) {
  LogicServer s("Q", {"--result", "say \"hi\" caf\xc3\xa9 \\ \x01"});
  ASSERT_TRUE(s.start());
  int fd = testsupport::tcp_connect_local(s.port());
  ASSERT_GE(fd, 0);
  std::string batch = forward(8, "plain text") + forward(8, "{\"x\":1}") + forward(8, " /*c*/ {\"flow\":6}");
  ASSERT_TRUE(testsupport::send_all(fd, batch.data(), batch.size()));
  const std::string plain = answer_json(fd);
  EXPECT_EQ(plain, "{\"flow\":8,\"result\":\"say \\\"hi\\\" caf\\u00e9 \\\\ \\u0001\"}");
  EXPECT_EQ(answer_json(fd), plain);
  EXPECT_EQ(answer_json(fd), "{\"flow\":6" + plain.substr(plain.find(',')));
  close(fd);
}

TEST(LogicServer, SendsLoadReportsOnEveryLink) {
  LogicServer s("R", {"--waiter-stat", "1500,20", "--notify-stat", "3,4", "--report-ms", "100"});
  ASSERT_TRUE(s.start());
  int fd = testsupport::tcp_connect_local(s.port());
  ASSERT_GE(fd, 0);
  Packet p;
  ASSERT_TRUE(read_packet(fd, &p, 3000));
  EXPECT_EQ(p.cmd, 0x9002);
  EXPECT_TRUE(p.checksum_ok);
  EXPECT_EQ(p.int_at(0), 1500);
  EXPECT_EQ(p.int_at(4), 20);
  ASSERT_TRUE(read_packet(fd, &p, 3000));
  EXPECT_EQ(p.cmd, 0x9003);
  EXPECT_EQ(p.int_at(0), 3);
  EXPECT_EQ(p.int_at(4), 4);
  // Repeated with --report-ms.
  ASSERT_TRUE(read_packet(fd, &p, 3000));
  EXPECT_EQ(p.cmd, 0x9002);
  close(fd);
}

TEST(LogicServer, SilentAndNeverReadingModes) {
  LogicServer silent("S", {"--silent"});
  ASSERT_TRUE(silent.start());
  int fd = testsupport::tcp_connect_local(silent.port());
  std::string f = forward(1, "x");
  ASSERT_TRUE(testsupport::send_all(fd, f.data(), f.size()));
  EXPECT_TRUE(silent.wait_matching("forward client=1 data=x", 1, 3000));
  EXPECT_EQ(answer_json(fd, 300), "");
  close(fd);

  LogicServer deaf("D", {"--no-read"});
  ASSERT_TRUE(deaf.start());
  fd = testsupport::tcp_connect_local(deaf.port());
  ASSERT_TRUE(testsupport::send_all(fd, f.data(), f.size()));
  usleep(200000);
  EXPECT_TRUE(deaf.matching("recv").empty());
  close(fd);
  // A link its gateway closed is closed here too, although it is never read.
  EXPECT_TRUE(deaf.wait_matching("link closed", 1, 3000));
  EXPECT_EQ(deaf.stop(), 0);
}

// With --echo, a text that its JSON escapes make too long for one packet: no answer
// without its text goes out; the line says why, and the next forward is answered.
TEST(LogicServer, EchoedResultTooLongForAPacketIsNotSentHalfWritten) {
  LogicServer s("E", {"--echo"});
  ASSERT_TRUE(s.start());
  int fd = testsupport::tcp_connect_local(s.port());
  ASSERT_GE(fd, 0);
  std::string batch = forward(1, std::string(2000, '\x01')) + forward(2, "y");
  ASSERT_TRUE(testsupport::send_all(fd, batch.data(), batch.size()));
  EXPECT_EQ(answer_json(fd), "{\"flow\":2,\"result\":\"y\"}");
  EXPECT_TRUE(s.wait_matching("does not fit in one packet, not sent", 1, 3000));
  EXPECT_TRUE(s.matching("sent cmd=0x9001 result {\"flow\":1").empty());
  close(fd);
}

TEST(LogicServer, BrokenStreamClosesOnlyThatLink) {
  LogicServer s("B");
  ASSERT_TRUE(s.start());
  int bad = testsupport::tcp_connect_local(s.port());
  int good = testsupport::tcp_connect_local(s.port());
  std::string junk = raw_header(3, 0x1003, 4);
  ASSERT_TRUE(testsupport::send_all(bad, junk.data(), junk.size()));
  EXPECT_TRUE(testsupport::wait_closed(bad, 3000));
  std::string f = forward(2, "y");
  ASSERT_TRUE(testsupport::send_all(good, f.data(), f.size()));
  EXPECT_EQ(answer_json(good), "{\"flow\":2,\"result\":\"ok from B\"}");
  close(bad);
  close(good);
}

// Started with standard input and output closed (a supervisor's "<&- >&-"): its log
// lines go nowhere, never into a gateway link that took descriptor 1.
TEST(LogicServer, StandardDescriptorsClosedByTheStarterAreNeverALink) {
  const int port = testsupport::free_port();
  testsupport::Process p;
  ASSERT_TRUE(p.start(
      {"/bin/sh", "-c", "exec '" + testsupport::binary("logic_server") + "' " + std::to_string(port) + " <&- >&-"}));
  // The first connection it accepts takes the lowest free descriptor: no probe first.
  int fd = -1;
  ASSERT_TRUE(testsupport::wait_until([&] { return (fd = testsupport::tcp_connect_local(port)) >= 0; }, 10000));
  std::string f = forward(2, "y");
  ASSERT_TRUE(testsupport::send_all(fd, f.data(), f.size()));
  EXPECT_EQ(answer_json(fd), "{\"flow\":2,\"result\":\"ok from logic:" + std::to_string(port) + "\"}");
  close(fd);
  EXPECT_EQ(p.stop(), 0);
}

// Gateways of a fleet share the logic server: a result goes over the link that last
// forwarded for its flow, and over every link while no link speaks for it.
TEST(LogicServer, ResultGoesOverTheLinkThatSpeaksForItsFlow) {
  LogicServer s("F", {"--result", "r"});
  ASSERT_TRUE(s.start());
  int a = testsupport::tcp_connect_local(s.port());
  int b = testsupport::tcp_connect_local(s.port());
  ASSERT_TRUE(a >= 0 && b >= 0);
  auto send = [](int fd, const std::string& bytes) { return testsupport::send_all(fd, bytes.data(), bytes.size()); };
  const std::string for7 = "{\"flow\":7,\"result\":\"r\"}";
  ASSERT_TRUE(send(b, forward(7, "hello")));  // client 7 is held behind link b
  EXPECT_EQ(answer_json(b), for7);
  ASSERT_TRUE(send(a, forward(100, "{\"flow\":7}")));  // an order for 7 enters through a
  EXPECT_EQ(answer_json(b), for7);
  EXPECT_EQ(answer_json(a, 300), "");
  // Nobody speaks for 8 yet: every link gets the result.
  ASSERT_TRUE(send(a, forward(100, "{\"flow\":8}")));
  EXPECT_EQ(answer_json(a), "{\"flow\":8,\"result\":\"r\"}");
  EXPECT_EQ(answer_json(b), "{\"flow\":8,\"result\":\"r\"}");
  // A close notice for 7 on a link that does not speak for it changes nothing; on b it does.
  ASSERT_TRUE(send(a, packet(0x0002, be32(7) + be32(1), false) + forward(100, "{\"flow\":7}")));
  EXPECT_EQ(answer_json(b), for7);
  EXPECT_EQ(answer_json(a, 300), "");
  ASSERT_TRUE(send(b, packet(0x0002, be32(7) + be32(2), false)));
  ASSERT_TRUE(s.wait_matching("close client=7 svid=2", 1, 3000));
  ASSERT_TRUE(send(a, forward(100, "{\"flow\":7}")));
  EXPECT_EQ(answer_json(a), for7);
  EXPECT_EQ(answer_json(b), for7);
  // When b ends, 9 (held behind b) is forgotten with it.
  ASSERT_TRUE(send(b, forward(9, "x")));
  EXPECT_EQ(answer_json(b), "{\"flow\":9,\"result\":\"r\"}");
  close(b);
  ASSERT_TRUE(s.wait_matching("link closed", 1, 3000));
  ASSERT_TRUE(send(a, forward(100, "{\"flow\":9}")));
  EXPECT_EQ(answer_json(a), "{\"flow\":9,\"result\":\"r\"}");
  close(a);
}

// A gateway link that never reads while results for its clients keep coming over other
// links: its queue is bounded. The link is closed with a line, its clients are forgotten,
// and their results go over every link again.
TEST(LogicServer, LinkThatNeverReadsIsClosedOnceItsQueuePassesTheBound) {
  LogicServer s("N", {"--result", std::string(7000, 'r')});
  ASSERT_TRUE(s.start());
  int deaf = testsupport::tcp_connect_local(s.port());
  int a = testsupport::tcp_connect_local(s.port());
  ASSERT_TRUE(deaf >= 0 && a >= 0);
  const std::string hello = forward(7, "hello");  // client 7 is held behind the deaf link
  ASSERT_TRUE(testsupport::send_all(deaf, hello.data(), hello.size()));
  ASSERT_TRUE(s.wait_matching("forward client=7 data=hello", 1, 3000));
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += forward(100, "{\"flow\":7}");
  batch += forward(100, "{\"flow\":999}");  // answered on every link: marks the batch's end
  // Each batch queues 700 KB for the deaf link; at most 84 MiB in all.
  bool came_over_a = false;
  for (int round = 0; round < 120 && !came_over_a; ++round) {
    ASSERT_TRUE(testsupport::send_all(a, batch.data(), batch.size()));
    for (int n = 0; n < 102; ++n) {
      const std::string json = answer_json(a, 5000);
      ASSERT_NE(json, "") << "round " << round;
      if (json.compare(0, 10, "{\"flow\":7,") == 0) came_over_a = true;
      if (json.compare(0, 12, "{\"flow\":999,") == 0) break;
    }
  }
  EXPECT_TRUE(came_over_a) << "the deaf link still queues results";
  EXPECT_EQ(s.matching("answers wait for a gateway that does not read them, closing").size(), 1u);
  close(deaf);
  close(a);
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
