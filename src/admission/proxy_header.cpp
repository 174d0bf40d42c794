#include "proxy_header.h"

#include <arpa/inet.h>
#include <string.h>

#include <algorithm>

namespace hall_admission {

namespace {

const uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char kV1Prefix[] = "PROXY ";
const size_t kV1PrefixLen = 6;

// A decimal port of 1 to 5 digits, no sign, at most 65535.
bool port_field(const std::string& s) {
  if (s.empty() || s.size() > 5 || (s.size() > 1 && s[0] == '0')) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return v <= 65535;
}

}  // namespace

CProxyHeaderReader::Status CProxyHeaderReader::fail(const char* why) {
  _why = why;
  _status = BAD;
  return BAD;
}

CProxyHeaderReader::Status CProxyHeaderReader::feed(const uint8_t* data, size_t len, size_t* used) {
  *used = 0;
  if (_status != NEED_MORE || len == 0) return _status;
  if (_version == 0) {
    // The first byte tells the version: 'P' starts a v1 line, CR a v2 signature.
    if (data[0] == 'P')
      _version = 1;
    else if (data[0] == kV2Signature[0])
      _version = 2;
    else
      return fail("neither a version 1 nor a version 2 header");
  }
  return _version == 1 ? feed_v1(data, len, used) : feed_v2(data, len, used);
}

CProxyHeaderReader::Status CProxyHeaderReader::feed_v1(const uint8_t* data, size_t len, size_t* used) {
  // Byte by byte up to the line feed: nothing after the line is taken.
  while (*used < len) {
    const uint8_t c = data[(*used)++];
    _buf[_have++] = c;
    if (_have <= kV1PrefixLen && c != static_cast<uint8_t>(kV1Prefix[_have - 1]))
      return fail("a version 1 line that does not start with \"PROXY \"");
    if (c == '\n') return parse_v1();
    if (_have >= V1_MAX) return fail("a version 1 line longer than 107 bytes");
  }
  return NEED_MORE;
}

CProxyHeaderReader::Status CProxyHeaderReader::parse_v1() {
  if (_have < 2 || _buf[_have - 2] != '\r') return fail("a version 1 line not ended by CRLF");
  const std::string line(reinterpret_cast<const char*>(_buf) + kV1PrefixLen, _have - kV1PrefixLen - 2);
  // Fields are separated by exactly one space.
  std::string fields[5];
  size_t n = 0, start = 0;
  for (;;) {
    const size_t sp = line.find(' ', start);
    if (n == 5) return fail("a version 1 line with too many fields");
    fields[n++] = line.substr(start, sp == std::string::npos ? std::string::npos : sp - start);
    if (sp == std::string::npos) break;
    start = sp + 1;
    // UNKNOWN may be followed by anything up to the CRLF, which is ignored.
    if (n == 1 && fields[0] == "UNKNOWN") break;
  }
  if (fields[0] == "UNKNOWN") {
    _source = SOURCE_CONNECTION;
    _status = DONE;
    return DONE;
  }
  if (n != 5) return fail("a version 1 line without protocol, two addresses and two ports");
  if (!port_field(fields[3]) || !port_field(fields[4])) return fail("a version 1 line with a bad port");
  if (fields[0] == "TCP4") {
    struct in_addr src, dst;
    if (inet_pton(AF_INET, fields[1].c_str(), &src) != 1 || inet_pton(AF_INET, fields[2].c_str(), &dst) != 1)
      return fail("a TCP4 line with a bad IPv4 address");
    _addr = src.s_addr;
    _source = SOURCE_IPV4;
  } else if (fields[0] == "TCP6") {
    struct in6_addr src, dst;
    if (inet_pton(AF_INET6, fields[1].c_str(), &src) != 1 || inet_pton(AF_INET6, fields[2].c_str(), &dst) != 1)
      return fail("a TCP6 line with a bad IPv6 address");
    if (IN6_IS_ADDR_V4MAPPED(&src)) {
      memcpy(&_addr, src.s6_addr + 12, 4);
      _source = SOURCE_IPV4;
    } else {
      _source = SOURCE_UNSUPPORTED;
    }
  } else {
    return fail("a version 1 line with a protocol other than TCP4, TCP6 or UNKNOWN");
  }
  _status = DONE;
  return DONE;
}

CProxyHeaderReader::Status CProxyHeaderReader::feed_v2(const uint8_t* data, size_t len, size_t* used) {
  while (*used < len && _v2_seen < V2_HEAD) {
    const uint8_t c = data[(*used)++];
    if (_v2_seen < sizeof(kV2Signature) && c != kV2Signature[_v2_seen])
      return fail("a version 2 block with a wrong signature");
    _buf[_have++] = c;
    ++_v2_seen;
    if (_v2_seen == V2_HEAD) {
      if ((_buf[12] >> 4) != 2) return fail("a version 2 block of another version");
      if ((_buf[12] & 0x0F) > 1) return fail("a version 2 block with a command other than LOCAL or PROXY");
      _v2_total = V2_HEAD + ((static_cast<size_t>(_buf[14]) << 8) | _buf[15]);
    }
  }
  if (_v2_seen < V2_HEAD) return NEED_MORE;
  // The address block is kept as far as it can matter; TLVs and the rest are skipped.
  const size_t take = std::min(len - *used, _v2_total - _v2_seen);
  const size_t keep = std::min(take, sizeof(_buf) - _have);
  memcpy(_buf + _have, data + *used, keep);
  _have += keep;
  _v2_seen += take;
  *used += take;
  return _v2_seen == _v2_total ? parse_v2() : NEED_MORE;
}

CProxyHeaderReader::Status CProxyHeaderReader::parse_v2() {
  const size_t body = _v2_total - V2_HEAD;
  const uint8_t* a = _buf + V2_HEAD;
  const bool local = (_buf[12] & 0x0F) == 0;
  const uint8_t family = _buf[13] >> 4;
  const uint8_t proto = _buf[13] & 0x0F;
  if (family > 3 || proto > 2) return fail("a version 2 block with an unknown family or protocol");
  _status = DONE;
  // LOCAL (a balancer's own health check) and an unspecified family carry no client:
  // the connection's endpoints count.
  _source = SOURCE_CONNECTION;
  if (local || family == 0) return DONE;
  if (family == 1) {
    if (body < 12) return fail("a version 2 IPv4 block shorter than its addresses");
    memcpy(&_addr, a, 4);
    _source = SOURCE_IPV4;
  } else if (family == 2) {
    if (body < 36) return fail("a version 2 IPv6 block shorter than its addresses");
    struct in6_addr src;
    memcpy(&src, a, 16);
    if (IN6_IS_ADDR_V4MAPPED(&src)) {
      memcpy(&_addr, a + 12, 4);
      _source = SOURCE_IPV4;
    } else {
      _source = SOURCE_UNSUPPORTED;
    }
  } else {
    if (body < 216) return fail("a version 2 unix block shorter than its paths");
    _source = SOURCE_UNSUPPORTED;
  }
  return DONE;
}

}  // namespace hall_admission
