// End-to-end harness for the relay: a real `hall` started in the foreground from a
// temporary run directory laid out as bin/ conf/ log/, real sample logic servers
// (tools/logic_server) on free loopback ports, a raw fake logic server for fault
// injection, and clients that speak hand-built packets.
#ifndef HALL_TESTS_RELAY_HARNESS_H
#define HALL_TESTS_RELAY_HARNESS_H

#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hall_run.h"
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

// --- the sample logic server ----------------------------------------------------------
class LogicServer {
 public:
  LogicServer(const std::string& name, std::vector<std::string> extra_args = {});
  ~LogicServer();
  int port() const { return port_; }
  const std::string& name() const { return name_; }
  // Starts the program (again, on the same port) and waits for its "listening" line.
  bool start();
  // SIGTERM and wait; returns the wait status.
  int stop();
  // Lines written so far to standard output.
  std::vector<std::string> lines() const;
  // Lines containing `needle`.
  std::vector<std::string> matching(const std::string& needle) const;
  bool wait_matching(const std::string& needle, size_t n, int timeout_ms) const;

 private:
  testsupport::TempDir dir_;
  std::string name_;
  std::vector<std::string> extra_;
  int port_ = 0;
  int starts_ = 0;
  std::unique_ptr<testsupport::Process> proc_;
};

// --- a raw fake logic server ----------------------------------------------------------
// Listens on a free loopback port; the test accepts the gateway's links one by one,
// writes raw bytes to the newest and reads the packets it receives, each stamped with
// the kernel's receive time.
class RawLogic {
 public:
  RawLogic();
  ~RawLogic();
  int port() const { return port_; }
  // Accepts the next pending link (the previous one is closed); false on time-out.
  bool accept_link(int timeout_ms = 5000);
  bool send(const std::string& bytes);
  bool read(Packet* out, int timeout_ms);
  // True when the gateway closed the current link within timeout_ms.
  bool wait_closed(int timeout_ms);
  // Closes the current link from this side.
  void close_link();

 private:
  int lfd_ = -1;
  int conn_ = -1;
  int port_ = 0;
  std::string buf_;
  int64_t last_ns_ = 0;
};

// --- the gateway: `hall` in the foreground from a temporary bin/ ------------------------
using GatewayConfig = testsupport::HallConfig;
using Gateway = testsupport::HallRun;

using Client = testpackets::Client;

}  // namespace relaytest

#endif
