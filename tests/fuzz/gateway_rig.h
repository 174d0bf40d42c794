// The gateway's reactor inside a fuzz driver. Set up once per process: the process-wide
// objects the module would create (pools, routing tables, load records), the reactor
// owner opened for real on a loopback listener with two logic servers (svid 1 and 2)
// that the rig itself listens for, and nothing else. Client connections are made the
// way the listener makes them, from one end of a socketpair; the other end is the
// driver's. Every byte the gateway sends to a client or a logic server is checked to
// be a whole, well-formed packet stream.
#ifndef HALL_TESTS_FUZZ_GATEWAY_RIG_H
#define HALL_TESTS_FUZZ_GATEWAY_RIG_H

#include <string>
#include <utility>
#include <vector>

namespace __http_svr_ns__ {
class CHelperUnit;
}

namespace hallfuzz {

// Reassembles and checks the packets of one direction of one link.
class PacketStream {
 public:
  // `to_client`: answers to a client (0x1001, enciphered, int status and string);
  // otherwise traffic to a logic server (0x1003 enciphered, or the plain close notice).
  PacketStream(const char* who, bool to_client) : who_(who), to_client_(to_client) {}
  // Appends received bytes and checks every packet they complete.
  void feed(const std::string& bytes);
  // Aborts when bytes of an unfinished packet are left (the link has ended).
  void finish();
  size_t packets() const { return packets_; }
  bool idle() const { return pending_.empty(); }

  // What a logic server received: (client id, data) of every forward, (uid, svid) of
  // every close notice. What a client received: (status, text) of every answer.
  std::vector<std::pair<int, std::string>> forwards;
  std::vector<std::pair<int, int>> notices;
  std::vector<std::pair<int, std::string>> answers;

 private:
  void check_packet(const char* p, size_t n);
  const char* who_;
  bool to_client_;
  std::string pending_;
  size_t packets_ = 0;
};

class GatewayRig {
 public:
  static GatewayRig& get();

  // A new client connection of the gateway; returns the client's end (non-blocking).
  int open_client();
  // One turn of the gateway's main loop, without waiting.
  void turn();
  // Reads what is there on a client's end without blocking and checks it; *closed
  // tells that the gateway closed the connection.
  std::string read_client(int fd, PacketStream* stream, bool* closed);
  // Ends a client connection from the client's side and runs loop turns until the
  // gateway has closed its end; aborts when it never does. Closes fd and returns the
  // bytes read meanwhile.
  std::string close_client(int fd, PacketStream* stream);

  // Waits (boundedly) until `n` bytes are readable on fd: loopback TCP may deliver
  // after send() has returned.
  static void wait_arrival(int fd, size_t n);
  // Accepts the links the helpers opened and reads and checks all they carry.
  void service_logic();
  // Server side of the current link of `svid` (1 or 2), -1 when there is none.
  int logic_conn(int svid);
  __http_svr_ns__::CHelperUnit* helper(int svid);
  // Hands over and forgets what logic server `svid` received so far.
  std::vector<std::pair<int, std::string>> take_forwards(int svid);
  std::vector<std::pair<int, int>> take_notices(int svid);
  // End of an input: checks that no client connection is left registered or routed.
  // A helper link that is idle both ways is kept for the next input (connecting is
  // the costliest step of an input); any other is reset and its server side dropped.
  void end_input();

 private:
  GatewayRig();
  struct Logic {
    int listen_fd = -1;
    int conn = -1;
    PacketStream* stream = nullptr;
  };
  void accept_links(Logic& l);
  Logic logic_[2];
  std::string root_;
};

}  // namespace hallfuzz

#endif
