// A logic server that breaks its link in the middle of a packet: the gateway drops the
// half packet with the link, keeps the client, and the next link starts clean.
#include <gtest/gtest.h>

#include <string>

#include "faults_harness.h"

using namespace relaytest;
using faulttest::CuttableLogic;

namespace {

bool no_answer(Client& c, int ms) {
  int status = -1;
  std::string text;
  return !c.answer(&status, &text, ms);
}

TEST(LogicLinkFaults, LinkCutMidPacketIsDroppedAndTheNextLinkStartsClean) {
  CuttableLogic l;
  GatewayConfig cfg;
  cfg.servers = {{3, l.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(l.accept_link());
  Client c(gw.port());
  ASSERT_TRUE(c.ok());

  // Cut inside the header, right after it, and inside the JSON text; each time a whole
  // answer goes before the cut and must still arrive.
  int round = 0;
  for (size_t cut : {4u, 9u, 20u}) {
    SCOPED_TRACE(cut);
    ++round;
    ASSERT_TRUE(c.send(data_req(5, "before cut " + std::to_string(round))));
    Packet fw;
    ASSERT_TRUE(l.read(&fw, 5000));
    EXPECT_EQ(fw.cmd, 0x1003);
    const std::string whole = result_pkt("{\"flow\":5,\"result\":\"whole " + std::to_string(round) + "\"}");
    const std::string cut_short = result_pkt("{\"flow\":5,\"result\":\"never whole\"}").substr(0, cut);
    ASSERT_TRUE(l.send(whole + cut_short));
    l.close_link();
    int status = -1;
    std::string text;
    ASSERT_TRUE(c.answer(&status, &text));
    EXPECT_EQ(text, "whole " + std::to_string(round));
    EXPECT_TRUE(no_answer(c, 300));

    // The next request opens a new link; a stale half packet would garble this answer.
    ASSERT_TRUE(c.send(data_req(5, "after cut " + std::to_string(round))));
    ASSERT_TRUE(l.accept_link());
    ASSERT_TRUE(l.read(&fw, 5000));
    EXPECT_EQ(fw.str_at(4), "after cut " + std::to_string(round));
    ASSERT_TRUE(l.send(result_pkt("{\"flow\":5,\"result\":\"fresh " + std::to_string(round) + "\"}")));
    ASSERT_TRUE(c.answer(&status, &text));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "fresh " + std::to_string(round));
  }
  EXPECT_TRUE(gw.alive());
}

// The link cut while the gateway still has forwards queued for it (the logic server
// stopped reading first): the queue goes with the link, the gateway lives, and the
// next link carries only what came after.
TEST(LogicLinkFaults, LinkCutWithForwardsStillQueued) {
  CuttableLogic l;
  GatewayConfig cfg;
  cfg.servers = {{3, l.port()}};
  cfg.log_level = 4;
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  ASSERT_TRUE(l.accept_link());
  Client c(gw.port());
  const std::string pad(7000, 'q');
  // Enough to fill the socket buffers on both sides without reaching 50 blocked writes.
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(c.send(data_req(8, std::to_string(i) + pad)));
  usleep(300000);
  l.close_link();
  usleep(300000);
  ASSERT_TRUE(c.send(data_req(8, "after")));
  ASSERT_TRUE(l.accept_link());
  Packet fw;
  ASSERT_TRUE(l.read(&fw, 5000));
  EXPECT_EQ(fw.cmd, 0x1003);
  EXPECT_EQ(fw.int_at(0), 8);
  // Whatever comes first on the new link is a whole forward; "after" arrives.
  bool seen_after = fw.str_at(4) == "after";
  for (int i = 0; i < 60 && !seen_after; ++i) {
    ASSERT_TRUE(l.read(&fw, 5000)) << i;
    EXPECT_EQ(fw.cmd, 0x1003);
    seen_after = fw.str_at(4) == "after";
  }
  EXPECT_TRUE(seen_after);
  ASSERT_TRUE(l.send(result_pkt("{\"flow\":8,\"result\":\"done\"}")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(c.answer(&status, &text));
  EXPECT_EQ(text, "done");
  EXPECT_TRUE(gw.alive());
}

}  // namespace
