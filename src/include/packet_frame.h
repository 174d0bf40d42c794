// Framing of a packet stream, shared by the gateway's client and logic-server reads and by
// every tool that reads the gateway. A packet is its PACKET_HEADER_SIZE-byte header and
// what follows; the header's length field counts the bytes after itself, so a whole
// packet is that length plus 2. One set of bounds for every reader: a header that names
// a packet shorter than a header or longer than the reader's `max_size`, or (for a reader
// that checks it) carries another flag than "TQ", breaks the stream, which cannot be
// framed any further.
#ifndef HALL_INCLUDE_PACKET_FRAME_H
#define HALL_INCLUDE_PACKET_FRAME_H

#include <stddef.h>

#include "packet_base.h"

enum TFrameStatus {
  FRAME_NEED_MORE = 0,  // no whole packet yet: read more
  FRAME_WHOLE = 1,      // a whole packet of `size` bytes is at the head
  FRAME_BAD_FLAG = 2,   // broken stream: wrong flag
  FRAME_BAD_SIZE = 3,   // broken stream: `size` out of bounds
};

struct TFrame {
  TFrameStatus status;
  int size;  // whole packet size named by the header; 0 while the header is incomplete
};

// Frames the packet at the head of `data` (`len` bytes held).
inline TFrame frame_packet(const char* data, size_t len, int max_size, bool check_flag) {
  if (len < static_cast<size_t>(PACKET_HEADER_SIZE)) return TFrame{FRAME_NEED_MORE, 0};
  if (check_flag && !pkg_flag_ok(data)) return TFrame{FRAME_BAD_FLAG, 0};
  const int size = pkg_length(data) + 2;
  if (size < PACKET_HEADER_SIZE || size > max_size) return TFrame{FRAME_BAD_SIZE, size};
  return TFrame{len >= static_cast<size_t>(size) ? FRAME_WHOLE : FRAME_NEED_MORE, size};
}

#endif
