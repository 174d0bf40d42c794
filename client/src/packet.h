// The order-sync client's packet writer: builds one packet of the gateway's wire format
// (9-byte header, body of typed fields, body enciphered with the shared byte map) in a
// buffer that the caller provides and owns. The caller sets _data, sz, idx and len and
// writes the header bytes itself; see header_s for their layout. One thread.
#ifndef ORDER_SYNC_PACKET_H
#define ORDER_SYNC_PACKET_H

#include <string>

// The 9-byte wire header as the client names it; multi-byte fields are big-endian.
#pragma pack(push, 1)
struct header_s {
  unsigned short len;     // bytes after this field: packet size - 2
  unsigned char mark[2];  // "TQ"
  unsigned char main;     // version, 1
  unsigned char sub;      // sub-version, 1
  unsigned short cmd;     // command code
  unsigned char code;     // checksum of the enciphered body
};
#pragma pack(pop)
static_assert(sizeof(header_s) == 9, "the wire header is 9 bytes");

class packet_t {
 public:
  packet_t() : _data(nullptr), sz(0), idx(0), len(0) {}

  // Field writers append at len. A field that would not fit into sz bytes is not
  // written and the writer returns false.
  bool write_int(int value);                   // 4 bytes big-endian
  bool write_string(const std::string& text);  // int N = size + 1, the bytes, a zero byte

  // Fills in the header of a command packet of len bytes: flag "TQ", version 1.1, the
  // command and the length field. The body must be written already.
  void finish(unsigned short command);

  // Enciphers the body (bytes 9 .. len-1) and sets `code` exactly as the gateway's
  // cipher does. Returns the body length, or -1 when the header does not describe len.
  int encode();

  unsigned char* _data;  // the packet bytes, header first (not owned)
  unsigned short sz;     // capacity of _data
  unsigned short idx;    // read index (unused by the writer)
  unsigned short len;    // bytes written, header included
};

#endif
