// The byte-map cipher of packet bodies and its checksum. The sender maps every body byte
// through m_SendByteMap and stores in `code` the value that makes the plain body bytes and
// `code` sum to 0 modulo 256; the receiver maps back through m_RecvByteMap and checks the
// sum. The header is never enciphered. Stateless: create one on the stack where needed.
// Every peer of an installation (clients, gateway, logic servers) shares these maps.
#ifndef HALL_PROXY_ENCRYPTDECRYPT_H
#define HALL_PROXY_ENCRYPTDECRYPT_H

#include "packet_base.h"

typedef unsigned char BYTE;
typedef unsigned short WORD;

class CEncryptDecrypt {
 public:
  static BYTE MapSendByte(BYTE b) { return m_SendByteMap[b]; }
  static BYTE MapRecvByte(BYTE b) { return m_RecvByteMap[b]; }

  // Enciphers the body of a finished packet (after End()) in place and sets `code`.
  // Returns the body length; 0 when the packet is enciphered already or its header does
  // not describe the bytes it holds (then nothing changes).
  WORD EncryptBuffer(NETOutputPacket* packet);

  // Deciphers the body of a received packet in place and checks `code`. Returns the body
  // length, or -1 when the checksum does not match (the body stays deciphered) or the
  // header's length is below 7 or beyond the bytes held (then nothing changes).
  int DecryptBuffer(NETInputPacket* packet);

  // The same rules over a raw packet of `size` bytes (header included), for writers that
  // keep packets in their own buffers. Results as above; EncryptPacket returns -1 on a
  // malformed header.
  static int EncryptPacket(char* buf, int size);
  static int DecryptPacket(char* buf, int size);

  static const BYTE m_SendByteMap[256];
  static const BYTE m_RecvByteMap[256];
};

#endif
