// A gateway run for black-box tests: a temporary run directory laid out as bin/ conf/
// log/ with config.xml and server.xml written from a HallConfig, and a real `hall`
// started from bin/ on a free loopback port, in the foreground (-f) or as a daemon.
#ifndef HALL_TESTS_HALL_RUN_H
#define HALL_TESTS_HALL_RUN_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace testsupport {

struct HallConfig {
  int svid = 9;
  std::string ip = "127.0.0.1";  // the address given with -h
  int log_level = 7;
  long log_size = 50000000;
  int max_fd = 1024;     // MaxFdCount; 0 leaves it out
  int max_listen = 256;  // MaxListenCount; 0 leaves it out
  int web_timeout = 60;
  int helper_timeout = 60;
  std::string bind_addr = "127.0.0.1";
  std::string redis_ip = "127.0.0.1";
  int redis_port = 0;                    // 0: a port where nobody listens (registration fails fast)
  std::string servers_ip = "127.0.0.1";  // address of every logic server
  std::vector<std::string> launcher;     // put before the command line, e.g. {"ip", "netns", "exec", "ns1"}
  int udp_switch = 0;
  int udp_port = -1;                         // >= 0: UdpServer 127.0.0.1 and this UdpPort; -1 leaves them out
  std::vector<std::pair<int, int>> servers;  // (svid, port) of logic servers, in file order
  bool with_node = true;                     // server.xml has a Node with a ServerList
  bool coloring_file = false;                // an empty conf/clib_log_coloring.conf
  int nofile = 0;                            // RLIMIT_NOFILE of the gateway; 0 keeps the inherited one
  std::vector<std::pair<std::string, std::string>> attrs;  // further SYSTEM attributes (name, value)
  std::vector<std::string> args;                           // further command-line arguments (e.g. -u PATH)
};

class HallRun {
 public:
  explicit HallRun(const HallConfig& cfg = HallConfig());
  ~HallRun();
  HallRun(const HallRun&) = delete;
  HallRun& operator=(const HallRun&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string bin() const { return dir_.file("bin"); }
  int port() const { return port_; }
  void set_port(int p) { port_ = p; }
  pid_t pid() const { return proc_.pid(); }
  // The gateway's command line (with -f when `foreground`).
  std::vector<std::string> argv(bool foreground) const;
  // Foreground start; true once start-up is over: listening, with every logic link open.
  bool start(int timeout_ms = 15000);
  // Daemon start: runs the launcher to completion and returns its wait status (the
  // launcher's output goes to *output).
  int start_daemon(std::string* output);
  // Pid of the gateway process that wrote log/debug.<pid>, or -1.
  pid_t logged_pid() const;
  bool alive();
  // Waits for the foreground gateway to exit; its wait status, or -1 on time-out.
  int wait_exit(int timeout_ms) { return proc_.wait(timeout_ms); }
  // Stops the gateway, foreground or daemon; the foreground one's wait status, or -1.
  int stop(int sig = SIGTERM);
  std::string stderr_text() const;
  // Runs `hall -t` on this run's settings: its exit code, its output in *out.
  int check(std::string* out) const;
  std::string process_log() const;  // every process-log file, concatenated
  bool wait_log(const std::string& needle, int timeout_ms) const;

 private:
  bool started_up() const;  // this process has logged the end of its start-up

  TempDir dir_;
  HallConfig cfg_;
  int port_ = 0;
  Process proc_;
  pid_t daemon_pid_ = -1;
};

// Writes settings for an order_sync_client into dir/client.ini (list "orders", process
// log under dir/log) and starts it in dir (through `launcher` when given), its output in
// dir/out. `redis_lines` and `gateway_lines` (each ending in a line feed) are added to
// [redis] and [gateway].
bool start_order_sync_client(Process* client, const std::string& dir, int gateway_port, int redis_port, int client_id,
                             const std::string& redis_lines = "", const std::string& gateway_ip = "127.0.0.1",
                             const std::string& redis_ip = "127.0.0.1", const std::vector<std::string>& launcher = {},
                             const std::string& gateway_lines = "");

// The metrics endpoint on 127.0.0.1:port. http: one exchange on a fresh connection,
// everything the gateway sent until it closed (at most 10 s); scrape: the body of a GET
// /metrics; figure: the value of `series` (name and labels as written) in a scrape, -1
// when absent.
std::string http(int port, const std::string& request);
std::string scrape(int port);
double figure(const std::string& text, const std::string& series);

}  // namespace testsupport

#endif
