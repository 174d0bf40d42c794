// Black-box harness for the gateway: a run directory laid out as bin/ conf/ log/, a
// real `hall` process started in it on free loopback ports, a fake logic server, and
// hand-built client packets.
#ifndef HALL_TESTS_GATEWAY_HARNESS_H
#define HALL_TESTS_GATEWAY_HARNESS_H

#include "hall_run.h"
#include "logic_servers.h"
#include "packets.h"
#include "test_support.h"

namespace gwtest {

// Hand-built packets, shared with the other black-box harnesses.
using testpackets::be32;
using testpackets::data_req;
using testpackets::packet;
using testpackets::read_packet;
using testpackets::str_field;
using Packet = testpackets::Packet;

using testsupport::FakeLogic;

// --- the gateway ------------------------------------------------------------------------
struct GatewayConfig : testsupport::HallConfig {
  GatewayConfig() {
    web_timeout = 30;
    log_size = 10000000;
    max_listen = 512;
  }
};

class Gateway : public testsupport::HallRun {
 public:
  explicit Gateway(const GatewayConfig& cfg = GatewayConfig()) : HallRun(cfg) {}
};

using Client = testpackets::Client;

}  // namespace gwtest

#endif
