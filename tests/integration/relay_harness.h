// End-to-end harness for the relay: a real `hall` started in the foreground from a
// temporary run directory laid out as bin/ conf/ log/, real sample logic servers
// (tools/logic_server) on free loopback ports, a fake logic server for fault
// injection, and clients that speak hand-built packets.
#ifndef HALL_TESTS_RELAY_HARNESS_H
#define HALL_TESTS_RELAY_HARNESS_H

#include "hall_run.h"
#include "logic_servers.h"
#include "packets.h"
#include "test_support.h"

namespace relaytest {

// Hand-built packets, shared with the other black-box harnesses.
using testpackets::be32;
using testpackets::data_req;
using testpackets::packet;
using testpackets::raw_header;
using testpackets::read_packet;
using testpackets::result_pkt;
using testpackets::str_field;
using Packet = testpackets::Packet;

using testsupport::FakeLogic;
using testsupport::LogicServer;

// The gateway: `hall` in the foreground from a temporary bin/.
using GatewayConfig = testsupport::HallConfig;
using Gateway = testsupport::HallRun;

using Client = testpackets::Client;

// A gateway in front of one fake logic server (svid 3), started and its link accepted;
// `cfg` holds the gateway's other settings.
struct FakeLogicGateway {
  explicit FakeLogicGateway(GatewayConfig cfg = GatewayConfig()) : gw(with_logic(cfg, logic.port())) {}
  FakeLogic logic;
  Gateway gw;
  bool start() { return gw.start() && logic.accept_link(); }

 private:
  static GatewayConfig with_logic(GatewayConfig cfg, int port) {
    cfg.servers = {{3, port}};
    return cfg;
  }
};

}  // namespace relaytest

#endif
