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

#include "test_support.h"

namespace gwtest {

// --- hand-built packets -------------------------------------------------------------
std::string be32(int v);
std::string str_field(const std::string& text);  // int N = len + 1, text, zero byte
// A whole packet. The body is enciphered with the shared byte map and `code` set,
// unless `encipher` is false (then code is 0 and the body plain).
std::string packet(unsigned short cmd, const std::string& body, bool encipher = true);
// Command 2 as a client sends it.
std::string data_req(int client_id, const std::string& text);

// A packet as received, with its body deciphered when it arrived enciphered.
struct Packet {
  unsigned short cmd = 0;
  unsigned char code = 0;
  std::string body;      // plain
  int int_at(size_t off) const;
  std::string str_at(size_t off) const;  // the text of a string field at `off`
};
// Reads one packet from fd within timeout_ms; false on time-out or close.
bool read_packet(int fd, Packet* out, int timeout_ms);

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
struct GatewayConfig {
  int web_timeout = 30;
  int helper_timeout = 60;
  std::string bind_addr = "127.0.0.1";
  int svid = 9;
  std::vector<std::pair<int, int>> servers;  // (svid, port) of logic servers
  bool with_node = true;
  int redis_port = 0;  // 0: a port where nobody listens
};

class Gateway {
 public:
  explicit Gateway(const GatewayConfig& cfg = GatewayConfig());
  ~Gateway();

  const std::string& root() const { return dir_.path(); }
  std::string bin() const { return dir_.file("bin"); }
  int port() const { return port_; }
  void set_port(int p) { port_ = p; }
  std::vector<std::string> argv(bool foreground) const;

  // Foreground start; true once the port accepts connections.
  bool start();
  // Daemon start: runs the launcher to completion and returns its wait status (the
  // launcher's output goes to *output).
  int start_daemon(std::string* output);
  // Pid of the gateway process that wrote log/debug.<pid>, or -1.
  pid_t logged_pid() const;
  pid_t pid() const { return proc_.pid(); }  // the foreground process
  void stop();
  bool alive();
  std::string stderr_text() const;
  std::string process_log() const;  // all process-log files concatenated

 private:
  testsupport::TempDir dir_;
  int port_ = 0;
  testsupport::Process proc_;
  pid_t daemon_pid_ = -1;
  std::string svid_text_;
};

// A connected client socket (closed on destruction).
class Client {
 public:
  // rcvbuf > 0: a small receive buffer, set before connecting.
  explicit Client(int port, int rcvbuf = 0);
  ~Client();
  int fd() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool send(const std::string& bytes);
  void close();

 private:
  int fd_ = -1;
};

}  // namespace gwtest

#endif
