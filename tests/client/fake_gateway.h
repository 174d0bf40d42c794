// A stand-in gateway for the order-sync client's tests: listens on 127.0.0.1, accepts
// connections one after another on its own thread, cuts the stream into packets, checks
// the flag and the 8000-byte limit as the real gateway does (closing the connection on a
// violation), deciphers bodies and records every CLIENT_CMD_DATA_REQ it receives.
#ifndef HALL_TESTS_CLIENT_FAKE_GATEWAY_H
#define HALL_TESTS_CLIENT_FAKE_GATEWAY_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ReceivedOrder {
  int cmd = 0;
  int client_id = 0;
  std::string text;  // the string field's bytes, without its zero byte
  int packet_size = 0;
  bool checksum_ok = false;
  int connection = 0;  // 1 for the first accepted connection, 2 for the next...
};

class FakeGateway {
 public:
  FakeGateway() = default;
  ~FakeGateway() { stop(); }

  // Listens on port (0: a free one); rcvbuf > 0 sets the receive buffer of the
  // connections it accepts. False when the port cannot be bound.
  bool start(int port = 0, int rcvbuf = 0);
  // Closes the listener and every connection, and joins the thread.
  void stop();
  int port() const { return port_; }

  // Closes the connection in service (the client sees the gateway leave).
  void close_client();
  // The connection in service is read up to `bytes` bytes in all, the rest staying in the
  // socket buffers, like a gateway that stops reading. When the client connects again, or
  // drain() is called, everything left on the stalled connection is read (up to its end,
  // 10 s at most), an unfinished packet at its end is thrown away, and it is closed.
  void stall_after(size_t bytes);
  void drain();
  // Writes bytes to the connection in service; false when none or it failed in 10 s.
  bool send_to_client(const std::string& bytes);

  std::vector<ReceivedOrder> orders();
  size_t order_count();
  int connections() const { return accepted_; }
  int protocol_errors() const { return errors_; }

 private:
  void serve();
  void handle_bytes(std::string* in, int conn_no, bool* close_it);
  void read_to_end(std::string* in, int conn_no);

  int port_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> client_fd_{-1};
  std::atomic<int> accepted_{0};
  std::atomic<int> errors_{0};
  std::atomic<bool> close_request_{false};
  std::atomic<size_t> stall_at_{0};  // 0: read everything
  std::atomic<bool> drain_request_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<ReceivedOrder> orders_;
};

// Writes an order_sync_client settings file and returns its path; [order] pause_ms is
// left to its default when pause_ms is negative.
std::string write_client_conf(const std::string& dir, int gateway_port, int redis_port, const std::string& key,
                              int client_id, int log_level = 6, int pause_ms = -1);

#endif
