// Hand-built packets for black-box tests: client requests and logic-server answers in
// the wire format (9-byte header, optional enciphered body), and a reader that cuts
// packets off a socket or a buffer and deciphers them.
#ifndef HALL_TESTS_PACKETS_H
#define HALL_TESTS_PACKETS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace testpackets {

std::string be32(int v);
std::string str_field(const std::string& text);  // int N = len + 1, the text, a zero byte
// A whole packet. The body is enciphered with the shared byte map and `code` set,
// unless `encipher` is false (then code is 0 and the body plain).
std::string packet(unsigned short cmd, const std::string& body, bool encipher = true);
// Command 2 as a client sends it.
std::string data_req(int client_id, const std::string& text);
// A 0x9001 result as a logic server sends it.
std::string result_pkt(const std::string& json, unsigned char errcode = 0);
// A bare header announcing `length`, followed by `body_bytes` zero bytes.
std::string raw_header(int length, unsigned short cmd, size_t body_bytes);

// A packet as received, with its body deciphered when it arrived enciphered.
struct Packet {
  unsigned short cmd = 0;
  unsigned char code = 0;
  bool checksum_ok = true;  // for enciphered bodies
  std::string body;         // plain
  int64_t recv_ns = 0;      // kernel receive time of the read that completed it, when known
  int int_at(size_t off) const;
  std::string str_at(size_t off) const;  // the text of a string field at `off`
};

// Cuts one packet off the front of `buf` when it is complete.
bool cut_packet(std::string* buf, Packet* out);
// True when `buf` starts with a header whose length cannot be a packet's.
bool broken_header(const std::string& buf);
// Reads one packet from fd within timeout_ms; false on time-out, close or a broken header.
bool read_packet(int fd, Packet* out, int timeout_ms);

// A client connection to the gateway (closed on destruction).
class Client {
 public:
  // rcvbuf > 0: a small receive buffer, set before connecting.
  explicit Client(int port, int rcvbuf = 0);
  // Connected from the loopback address `from` (127.0.0.2 and so on).
  Client(int port, const char* from);
  ~Client();
  int fd() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool send(const std::string& bytes);
  // Reads one 0x1001 answer: status and result text. False when none arrives in time.
  bool answer(int* status, std::string* text, int timeout_ms = 5000);
  // True when no answer arrives within timeout_ms.
  bool no_answer(int timeout_ms = 500);
  void close();

 private:
  int fd_ = -1;
};

}  // namespace testpackets

#endif
