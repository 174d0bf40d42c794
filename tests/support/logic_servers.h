// Logic servers for black-box tests, on free loopback ports: the sample program
// (tools/logic_server) run as a child process, and a fake one that the test drives.
#ifndef HALL_TESTS_LOGIC_SERVERS_H
#define HALL_TESTS_LOGIC_SERVERS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packets.h"
#include "test_support.h"

namespace testsupport {

// The sample logic server.
class LogicServer {
 public:
  LogicServer(const std::string& name, std::vector<std::string> extra_args = {});
  ~LogicServer();
  int port() const { return port_; }
  const std::string& name() const { return name_; }
  pid_t pid() const;  // -1 before start()
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
  TempDir dir_;
  std::string name_;
  std::vector<std::string> extra_;
  int port_ = 0;
  int starts_ = 0;
  std::unique_ptr<Process> proc_;
};

// A fake logic server, driven from the test's own thread: nothing happens between
// calls, so a link the test does not read fills up and connections the test does not
// accept wait in the listener's queue. It holds one link at a time: it accepts it,
// reads its packets (deciphered, each stamped with the kernel's receive time when
// known), sends raw bytes, cuts it at any byte (send part of a packet, then
// close_link) and sees the gateway close it.
class FakeLogic {
 public:
  // rcvbuf > 0: the receive buffer of every link.
  explicit FakeLogic(int rcvbuf = 0);
  ~FakeLogic();
  FakeLogic(const FakeLogic&) = delete;
  FakeLogic& operator=(const FakeLogic&) = delete;
  int port() const { return port_; }
  // The current link, for tests that read its bytes themselves; -1 when there is none.
  int fd() const { return conn_; }

  // Closes the current link and accepts the next one; false on time-out.
  bool accept_link(int timeout_ms = 5000);
  bool send(const std::string& bytes);
  // Closes the current link from this side.
  void close_link();
  // The next packet of the current link; false on time-out or when the link ended.
  bool read(testpackets::Packet* out, int timeout_ms);
  // Every packet read so far, after reading what has arrived.
  std::vector<testpackets::Packet> packets();
  size_t count(unsigned short cmd);
  // Reads until `n` packets of `cmd` have arrived in all.
  bool wait_for(unsigned short cmd, size_t n, int timeout_ms);
  // True when the gateway closed the current link within timeout_ms.
  bool wait_closed(int timeout_ms);

  // Holds the accept queue full with connections of its own, so that a connect to
  // this server waits in vain; unstall() accepts and closes all that waits.
  void stall();
  void unstall();

 private:
  // One read of the current link within timeout_ms: 1 when bytes came, 0 when none,
  // -1 when the link has ended (or there is none).
  int pump(int timeout_ms);
  bool read_until(const std::function<bool()>& done, int timeout_ms);

  int lfd_ = -1;
  int conn_ = -1;
  int port_ = 0;
  bool ended_ = false;
  std::string buf_;
  std::vector<testpackets::Packet> got_;
  size_t next_ = 0;  // the first packet of got_ that read() has not handed out
  std::vector<int> fillers_;
};

}  // namespace testsupport

#endif
