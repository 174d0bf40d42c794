// Black-box harness for the gateway: a run directory laid out as bin/ conf/ log/, a
// real `hall` process started in it on free loopback ports, a fake logic server that
// records every packet the gateway sends it, and hand-built client packets.
#ifndef HALL_TESTS_GATEWAY_HARNESS_H
#define HALL_TESTS_GATEWAY_HARNESS_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hall_run.h"
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

// --- fake logic server ----------------------------------------------------------------
// Listens on a free loopback port; a thread accepts the gateway's connections and
// records every packet (deciphered when `code` is not 0). Answers can be sent on the
// newest connection.
class FakeLogic {
 public:
  FakeLogic();
  ~FakeLogic();
  int port() const { return port_; }
  std::vector<Packet> packets();
  size_t count(unsigned short cmd);
  // Waits until `n` packets of `cmd` have arrived.
  bool wait_for(unsigned short cmd, size_t n, int timeout_ms);
  bool wait_connected(int timeout_ms);
  bool send_to_gateway(const std::string& bytes);
  // Links that the gateway closed so far.
  size_t closed_links();

 private:
  void loop();
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mu_;
  std::vector<Packet> got_;
  std::vector<int> conns_;
  size_t closed_ = 0;
};

// --- the gateway ------------------------------------------------------------------------
struct GatewayConfig : testsupport::HallConfig {
  GatewayConfig() {
    web_timeout = 30;
    log_size = 10000000;
    max_listen = 512;
  }
};

// A foreground run as the shared harness makes it, and also a daemon start.
class Gateway : public testsupport::HallRun {
 public:
  explicit Gateway(const GatewayConfig& cfg = GatewayConfig()) : HallRun(cfg) {}
  ~Gateway();

  // Daemon start: runs the launcher with its output and error in a pipe that is read
  // to its end, as a shell's `$(...)` does, and returns its wait status; -1 when the
  // pipe stays open for 30 s (the launcher's output goes to *output).
  int start_daemon(std::string* output);
  // Pid of the gateway process that wrote log/debug.<pid>, or -1.
  pid_t logged_pid() const;
  void stop();
  bool alive();

 private:
  pid_t daemon_pid_ = -1;
};

using Client = testpackets::Client;

}  // namespace gwtest

#endif
