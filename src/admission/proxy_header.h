// The reader of a PROXY protocol header (versions 1 and 2, as the protocol's published
// text lays them out): the line or block a TCP balancer writes first on a connection to
// name the client it relays. Bytes are fed as they arrive; the reader takes exactly the
// header's bytes and never more, so whatever follows belongs to the client's stream.
//
// Written by hand: Debian packages no library for this protocol, and the header is a
// few fixed fields. Memory is bounded whatever a peer sends: a version 1 line holds at
// most 107 bytes, and of a version 2 block only its 16-byte head and the first 216
// bytes of addresses are kept (the rest, TLVs included, is counted and skipped).
#ifndef HALL_ADMISSION_PROXY_HEADER_H
#define HALL_ADMISSION_PROXY_HEADER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace hall_admission {

class CProxyHeaderReader {
 public:
  enum Status { NEED_MORE, DONE, BAD };
  // What a complete header says about the client.
  enum Source {
    SOURCE_IPV4,        // client_addr holds the client's IPv4 address
    SOURCE_CONNECTION,  // no address to use (v1 UNKNOWN, v2 LOCAL or an unspecified family):
                        // the connection's own peer counts
    SOURCE_UNSUPPORTED  // an address the gateway cannot hold (IPv6 not mapped from IPv4, unix)
  };
  static const size_t V1_MAX = 107;        // the longest version 1 line, CRLF included
  static const size_t V2_HEAD = 16;        // signature, version and command, family, length
  static const size_t V2_ADDR_KEPT = 216;  // the largest address block (two unix paths)

  // Takes bytes from `data` (at most `len`) into the header; *used tells how many were
  // taken. DONE once the header is whole (then nothing more is taken), BAD for a stream
  // that is no header (the connection must be closed); the result stays once reached.
  Status feed(const uint8_t* data, size_t len, size_t* used);

  Status status() const { return _status; }
  Source source() const { return _source; }
  uint32_t client_addr() const { return _addr; }   // network byte order, for SOURCE_IPV4
  int version() const { return _version; }         // 1 or 2 once known, else 0
  const std::string& why() const { return _why; }  // for BAD: what was wrong

 private:
  Status fail(const char* why);
  Status feed_v1(const uint8_t* data, size_t len, size_t* used);
  Status feed_v2(const uint8_t* data, size_t len, size_t* used);
  Status parse_v1();
  Status parse_v2();

  Status _status = NEED_MORE;
  Source _source = SOURCE_CONNECTION;
  uint32_t _addr = 0;
  int _version = 0;
  std::string _why;
  uint8_t _buf[V2_HEAD + V2_ADDR_KEPT];  // a v1 line (<= 107) or a v2 head and addresses
  size_t _have = 0;                      // bytes kept in _buf
  size_t _v2_total = 0;                  // the whole v2 block: head and length
  size_t _v2_seen = 0;                   // of it, bytes taken so far
};

}  // namespace hall_admission

#endif
