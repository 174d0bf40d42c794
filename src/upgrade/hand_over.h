// The hand-over socket of a live upgrade: framed messages between the old and the new
// gateway process on a Unix stream socket, descriptors passed with SCM_RIGHTS, and the
// versioned state record of a client connection.
//
// A frame is a header (type, payload length; 4 bytes each, host order: both ends run on
// one machine) and its payload. Descriptors travel with the frame that carries their
// records: at most kMaxFds a frame (the kernel's SCM_MAX_FD is 253), and the receiver's
// control buffer is sized for that many, so that a batch is never cut short in silence
// (a cut shows as MSG_CTRUNC and fails the hand-over).
//
//   new -> old  READY   u32 state version read, u32 descriptor room, u32 pid
//   old -> new  HELLO   u32 state version written, u32 connections, u64 state bytes
//   old -> new  CONNS   u32 count, then `count` records; the same count of descriptors
//   old -> new  END     u32 connections sent
//   new -> old  ACK     (empty): the new process serves them now
//   new -> old  NAK     text: why it refuses; it exits
//   old -> new  RESULT  a result packet as a logic server sent it
#ifndef HALL_UPGRADE_HAND_OVER_H
#define HALL_UPGRADE_HAND_OVER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "conn_carry.h"

namespace hall_upgrade {

// The state format written and read here. A process reads only its own version and
// refuses a hand-over in any other.
const uint32_t kStateVersion = 2;
// Descriptors one frame carries at most.
const int kMaxFds = 253;
// Payload of one frame at most; a CONNS frame closes before it would pass half of it.
const uint32_t kMaxPayload = 64u << 20;

enum TFrameType { FRAME_READY = 1, FRAME_HELLO, FRAME_CONNS, FRAME_END, FRAME_ACK, FRAME_NAK, FRAME_RESULT };

// Appends plain values and byte strings to a payload.
class CWriter {
 public:
  void u8(uint8_t v) { _out.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { _out.append(reinterpret_cast<const char*>(&v), sizeof(v)); }
  void u64(uint64_t v) { _out.append(reinterpret_cast<const char*>(&v), sizeof(v)); }
  void bytes(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    _out += s;
  }
  std::string& text() { return _out; }

 private:
  std::string _out;
};

// Reads them back; any read past the end fails the reader for good (ok() false).
class CReader {
 public:
  CReader(const char* data, size_t len) : _p(data), _left(len) {}
  uint8_t u8() {
    uint8_t v = 0;
    take(&v, sizeof(v));
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    take(&v, sizeof(v));
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    take(&v, sizeof(v));
    return v;
  }
  bool bytes(std::string* s);
  bool ok() const { return _ok; }
  size_t left() const { return _left; }

 private:
  void take(void* out, size_t n);
  const char* _p;
  size_t _left;
  bool _ok = true;
};

// The state record of one connection, in kStateVersion.
void write_carry(CWriter* w, const __http_svr_ns__::TConnCarry& c);
bool read_carry(CReader* r, __http_svr_ns__::TConnCarry* c);

// One frame with `fds` (at most kMaxFds) on a blocking socket. False on failure.
bool send_frame(int sock, uint32_t type, const std::string& payload, const int* fds = nullptr, int nfds = 0);
// One frame within `timeout_ms` (for every wait on the socket): its type, payload and
// the descriptors that came with it (which the caller owns). False on a time-out, the
// end of the stream, a frame out of bounds or descriptors cut short (those that came
// are closed); *why says which.
bool recv_frame(int sock, int timeout_ms, uint32_t* type, std::string* payload, std::vector<int>* fds,
                std::string* why);

}  // namespace hall_upgrade

#endif
