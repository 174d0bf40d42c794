// The one packet format of every TCP link: a 9-byte header followed by a body of typed
// fields, held in a fixed buffer. Packets are short-lived values built on the stack of the
// handler that uses them; sending one means copying packet_size() bytes of packet_buf().
// Shared by the gateway and the order-sync client; the body cipher is CEncryptDecrypt.
//
// Wire header (multi-byte integers big-endian):
//   0  2  length       bytes after this field (packet size - 2)
//   2  2  flag         "TQ"
//   4  1  cVersion     1 in every packet we build, ignored on receipt
//   5  1  cSubVersion  1 in every packet we build, ignored on receipt
//   6  2  cmd          command code
//   8  1  code         checksum of an enciphered body, 0 for a plain body
// Body fields: int = 4 bytes big-endian; byte = 1 byte; string = int N (text length + 1),
// the text, one zero byte.
#ifndef HALL_INCLUDE_PACKET_BASE_H
#define HALL_INCLUDE_PACKET_BASE_H

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

// Command codes.
const unsigned short CLIENT_CMD_DATA_REQ = 0x0002;        // client -> gateway; gateway -> logic (close notice)
const unsigned short CLIENT_CMD_AUTH_REQ = 0x0003;        // client -> gateway: string token
const unsigned short SERVER_CMD_REP = 0x1001;             // gateway -> client: int status, string result
const unsigned short SERVER_CMD_DATA_FW_REQ = 0x1003;     // gateway -> logic: int client id, string data
const unsigned short INTER_CMD_RES = 0x9001;              // logic -> gateway: byte, string JSON
const unsigned short INTER_CMD_WAITER_STAT_RES = 0x9002;  // logic -> gateway: int qlen, int time
const unsigned short INTER_CMD_NOTIFY_STAT_RES = 0x9003;  // logic -> gateway: int qlen, int time

const int PACKET_HEADER_SIZE = 9;
const int PACKET_BUFFER_SIZE = 8192;
const char PACKET_FLAG_0 = 'T';
const char PACKET_FLAG_1 = 'Q';

#pragma pack(push, 1)
// The header as it lies in the buffer. `length` and `cmd` hold network byte order; use
// pkg_length()/pkg_cmd() or the packet accessors to read them.
struct TPkgHeader {
  unsigned short length;
  char flag[2];
  char cVersion;
  char cSubVersion;
  unsigned short cmd;
  unsigned char code;
};
#pragma pack(pop)
static_assert(sizeof(TPkgHeader) == 9, "the wire header is 9 bytes");

inline unsigned short pkg_get_u16(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<unsigned short>((u[0] << 8) | u[1]);
}
inline void pkg_put_u16(char* p, unsigned short v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v & 0xFF);
}
inline int pkg_get_i32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  unsigned int v = (static_cast<unsigned int>(u[0]) << 24) | (static_cast<unsigned int>(u[1]) << 16) |
                   (static_cast<unsigned int>(u[2]) << 8) | static_cast<unsigned int>(u[3]);
  return static_cast<int>(v);
}
inline void pkg_put_i32(char* p, int value) {
  unsigned int v = static_cast<unsigned int>(value);
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>((v >> 16) & 0xFF);
  p[2] = static_cast<char>((v >> 8) & 0xFF);
  p[3] = static_cast<char>(v & 0xFF);
}

// Framing helpers over raw received bytes; `head` must hold at least 9 bytes.
inline unsigned short pkg_length(const char* head) { return pkg_get_u16(head); }
inline unsigned short pkg_cmd(const char* head) { return pkg_get_u16(head + 6); }
inline bool pkg_flag_ok(const char* head) { return head[2] == PACKET_FLAG_0 && head[3] == PACKET_FLAG_1; }

template <int _buffer_size>
class PacketBase {
 public:
  // Only the header is cleared: nothing reads a byte at or past m_nPacketSize, and the
  // header accessors are the only reads that do not check it. Clearing all 8 KB of a
  // packet built on the stack for every message cost more than handling the message.
  PacketBase() : m_nPacketSize(0), m_nBufPos(0) { std::memset(m_strBuf, 0, PACKET_HEADER_SIZE); }
  virtual ~PacketBase() {}

  char* packet_buf() { return m_strBuf; }
  const char* packet_buf() const { return m_strBuf; }
  int packet_size() const { return m_nPacketSize; }

  // Header fields; meaningful once the packet holds at least a header.
  unsigned short GetLength() const { return pkg_get_u16(m_strBuf); }
  unsigned short GetCmdType() const { return pkg_get_u16(m_strBuf + 6); }
  char GetVersion() const { return m_strBuf[4]; }
  char GetSubVersion() const { return m_strBuf[5]; }
  unsigned char GetCode() const { return static_cast<unsigned char>(m_strBuf[8]); }
  bool FlagOk() const { return pkg_flag_ok(m_strBuf); }

 protected:
  char m_strBuf[_buffer_size];
  int m_nPacketSize;  // bytes in use, header included
  int m_nBufPos;      // read cursor of a reader, write position of a writer
};

// Reader of one received packet. Every read stays inside the first m_nPacketSize bytes:
// a read that does not fit yields -1, 0xFF or the empty text and leaves the cursor.
template <int _buffer_size>
class InputPacket : public PacketBase<_buffer_size> {
  typedef PacketBase<_buffer_size> base;

 public:
  // Takes a copy of len bytes (one whole packet) and puts the cursor on the body.
  bool Copy(const void* data, int len) {
    if (len < 0 || len > _buffer_size || (len > 0 && data == nullptr)) return false;
    // Bytes past len are never read (every reader stops at m_nPacketSize), so only a
    // header that the copy leaves short is cleared, for the header accessors.
    if (len > 0) std::memcpy(base::m_strBuf, data, static_cast<size_t>(len));
    if (len < PACKET_HEADER_SIZE) std::memset(base::m_strBuf + len, 0, static_cast<size_t>(PACKET_HEADER_SIZE - len));
    base::m_nPacketSize = len;
    base::m_nBufPos = PACKET_HEADER_SIZE;
    return true;
  }

  // Bytes left between the cursor and the end of the packet (0 when the cursor is past it).
  int Remaining() const {
    int left = base::m_nPacketSize - base::m_nBufPos;
    return left > 0 ? left : 0;
  }

  int ReadInt() {
    if (Remaining() < 4) return -1;
    int v = pkg_get_i32(base::m_strBuf + base::m_nBufPos);
    base::m_nBufPos += 4;
    return v;
  }

  unsigned char ReadByte() {
    if (Remaining() < 1) return 0xFF;
    return static_cast<unsigned char>(base::m_strBuf[base::m_nBufPos++]);
  }

  // A string field: the text ends at its first zero byte, and never beyond the N bytes of
  // its own field, so a peer cannot make it run into the following fields or past the
  // packet. A missing length gives "" with the cursor unmoved; a negative length or one
  // larger than what is left gives "" with the cursor after the length field. The view
  // points into the packet: it lives as long as the packet does.
  std::string_view ReadString() {
    if (Remaining() < 4) return std::string_view();
    int n = ReadInt();
    if (n <= 0 || n > Remaining()) return std::string_view();
    const char* p = base::m_strBuf + base::m_nBufPos;
    const void* zero = std::memchr(p, 0, static_cast<size_t>(n));
    size_t len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : static_cast<size_t>(n);
    base::m_nBufPos += n;
    return std::string_view(p, len);
  }
};

class CEncryptDecrypt;

// Writer of one packet: Begin, field writers, End, then optionally
// CEncryptDecrypt::EncryptBuffer. A field writer either appends the whole field or
// returns false and leaves the packet unchanged.
template <int _buffer_size>
class OutputPacket : public PacketBase<_buffer_size> {
  typedef PacketBase<_buffer_size> base;
  friend class CEncryptDecrypt;

 public:
  OutputPacket() : m_isCheckCode(false) {}

  // Sets the whole header (length and code 0 until End); the body is written field by
  // field behind it and nothing past packet_size() is ever read, so it is not cleared.
  void Begin(unsigned short cmd, char version = 1, char subversion = 1) {
    std::memset(base::m_strBuf, 0, PACKET_HEADER_SIZE);
    base::m_strBuf[2] = PACKET_FLAG_0;
    base::m_strBuf[3] = PACKET_FLAG_1;
    base::m_strBuf[4] = version;
    base::m_strBuf[5] = subversion;
    pkg_put_u16(base::m_strBuf + 6, cmd);
    base::m_nPacketSize = PACKET_HEADER_SIZE;
    base::m_nBufPos = PACKET_HEADER_SIZE;
    m_isCheckCode = false;
  }

  bool WriteInt(int value) {
    if (Free() < 4) return false;
    pkg_put_i32(base::m_strBuf + base::m_nPacketSize, value);
    Advance(4);
    return true;
  }

  bool WriteByte(unsigned char value) {
    if (Free() < 1) return false;
    base::m_strBuf[base::m_nPacketSize] = static_cast<char>(value);
    Advance(1);
    return true;
  }

  bool WriteString(const char* text) {
    if (text == nullptr) text = "";
    return WriteBytesAsString(text, std::strlen(text));
  }
  bool WriteString(std::string_view text) { return WriteBytesAsString(text.data(), text.size()); }

  // Sets the length field; the body is plain and `code` 0 until EncryptBuffer.
  void End() {
    base::m_strBuf[8] = 0;
    m_isCheckCode = false;
    pkg_put_u16(base::m_strBuf, static_cast<unsigned short>(base::m_nPacketSize - 2));
  }

  bool IsCheckCode() const { return m_isCheckCode; }

 private:
  int Free() const { return _buffer_size - base::m_nPacketSize; }
  void Advance(int n) {
    base::m_nPacketSize += n;
    base::m_nBufPos = base::m_nPacketSize;
  }
  bool WriteBytesAsString(const char* text, size_t len) {
    // 4 bytes of length, the text and its zero byte, all or nothing.
    if (len > static_cast<size_t>(_buffer_size) || static_cast<size_t>(Free()) < len + 5) return false;
    char* p = base::m_strBuf + base::m_nPacketSize;
    pkg_put_i32(p, static_cast<int>(len + 1));
    if (len > 0) std::memcpy(p + 4, text, len);
    p[4 + len] = 0;
    Advance(static_cast<int>(len + 5));
    return true;
  }

  bool m_isCheckCode;  // true once the body is enciphered and `code` set
};

typedef InputPacket<PACKET_BUFFER_SIZE> NETInputPacket;
typedef OutputPacket<PACKET_BUFFER_SIZE> NETOutputPacket;

#endif
