// The gateway's packet format for a browser: a 9-byte header (big-endian length of what
// follows the length field, "TQ", version 1, sub-version 1, command, checksum) and a body
// enciphered with the byte map. WebSocket messages carry the same byte stream a TCP client
// sends, so one message may hold several packets or part of one: PacketReader joins them.

export const CMD_REQUEST = 0x0002; // client -> gateway: int client id, string text
export const CMD_AUTH = 0x0003; // client -> gateway: string token
export const CMD_ANSWER = 0x1001; // gateway -> client: int status, string text

const HEADER = 9;
const MAX_PACKET = 8192;

// Entry b is the enciphered form of plain byte b.
// prettier-ignore
export const SEND_MAP = Uint8Array.from([
  0xE9, 0x57, 0x7D, 0x54, 0x4C, 0xAD, 0xF3, 0x30, 0xD1, 0xA5, 0x7F, 0x78, 0x0E, 0x7B, 0xF5, 0x18,
  0x11, 0xD9, 0x6F, 0x72, 0xA0, 0x77, 0xF9, 0xB9, 0xAC, 0x23, 0xCE, 0xD8, 0xEF, 0x65, 0x0D, 0x9A,
  0x8F, 0x33, 0xCD, 0xD0, 0x3A, 0x96, 0xBD, 0x98, 0x2B, 0x31, 0x07, 0x3B, 0xE3, 0x68, 0xE7, 0xA2,
  0x2F, 0x24, 0x10, 0xB1, 0xB7, 0x0A, 0x3E, 0x51, 0x5B, 0xD7, 0x13, 0x9B, 0x2C, 0xB6, 0xF0, 0x40,
  0xD6, 0x1C, 0xE5, 0x21, 0x2D, 0x50, 0x17, 0xCA, 0xE4, 0x53, 0xBC, 0xC2, 0xBA, 0xEB, 0x94, 0xB4,
  0x9D, 0x66, 0x67, 0xFA, 0x15, 0xD2, 0xB2, 0xDC, 0x99, 0x90, 0x80, 0x4D, 0xA4, 0xFB, 0x8D, 0x35,
  0x0B, 0x5D, 0x82, 0x84, 0x5C, 0x49, 0x14, 0x09, 0x5F, 0x6E, 0xED, 0x9E, 0xCB, 0x69, 0xDB, 0x41,
  0x95, 0x79, 0xF1, 0x92, 0x87, 0xA8, 0x91, 0x27, 0xCC, 0xAF, 0xA1, 0x55, 0x02, 0x74, 0x3C, 0xB5,
  0x12, 0x4A, 0x19, 0xD3, 0x28, 0xF4, 0x93, 0x8C, 0xB3, 0x59, 0x26, 0x64, 0x20, 0x9F, 0x86, 0xE0,
  0xFE, 0x46, 0xC1, 0xB0, 0xA7, 0x39, 0xE6, 0x60, 0xDA, 0x3F, 0x3D, 0xC6, 0xA6, 0x42, 0xF8, 0xC8,
  0x1E, 0xC3, 0x45, 0x36, 0x03, 0xBE, 0xFF, 0x63, 0x37, 0xE8, 0x4F, 0x1A, 0x7A, 0xAA, 0x4E, 0xEE,
  0x4B, 0xDF, 0x22, 0x1D, 0x88, 0x34, 0x7C, 0xBB, 0x00, 0x89, 0x06, 0x08, 0x8A, 0x38, 0xDE, 0x29,
  0x5E, 0xC5, 0x8B, 0xF6, 0x0C, 0x47, 0x81, 0xA9, 0x83, 0xC0, 0x62, 0x8E, 0xFD, 0xEA, 0x05, 0xE2,
  0x9C, 0x25, 0xF2, 0xEC, 0xBF, 0xC9, 0x58, 0x6C, 0x04, 0x71, 0x01, 0xCF, 0x7E, 0xE1, 0x5A, 0x52,
  0xB8, 0xD4, 0x76, 0x32, 0xF7, 0x73, 0x6B, 0x44, 0x56, 0x2A, 0x43, 0xAB, 0xC7, 0x75, 0x1B, 0x0F,
  0x16, 0xAE, 0x97, 0xC4, 0xDD, 0x6D, 0x61, 0x85, 0xA3, 0x1F, 0xD5, 0x70, 0x48, 0xFC, 0x2E, 0x6A,
]);

// The inverse: RECV_MAP[SEND_MAP[b]] == b.
export const RECV_MAP = new Uint8Array(256);
SEND_MAP.forEach((e, b) => (RECV_MAP[e] = b));

const encoder = new TextEncoder();
const decoder = new TextDecoder();

// A packet of `cmd` whose body is the given fields, enciphered: each field is
// {int: n} (4 bytes big-endian) or {string: text} (length + 1, the UTF-8 bytes, a zero).
export function buildPacket(cmd, fields) {
  const parts = fields.map((f) => ("int" in f ? f : { bytes: encoder.encode(f.string) }));
  const bodyLen = parts.reduce((n, p) => n + ("int" in p ? 4 : 5 + p.bytes.length), 0);
  if (HEADER + bodyLen > MAX_PACKET) throw new RangeError(`packet of ${HEADER + bodyLen} bytes is too large`);
  const pkt = new Uint8Array(HEADER + bodyLen);
  const view = new DataView(pkt.buffer);
  view.setUint16(0, pkt.length - 2);
  pkt.set([0x54, 0x51, 1, 1], 2);
  view.setUint16(6, cmd);
  let at = HEADER;
  for (const p of parts) {
    if ("int" in p) {
      view.setInt32(at, p.int);
      at += 4;
    } else {
      view.setInt32(at, p.bytes.length + 1);
      pkt.set(p.bytes, at + 4);
      at += 5 + p.bytes.length; // the zero byte is already there
    }
  }
  // The plain body bytes plus the checksum add up to 0 modulo 256.
  let sum = 0;
  for (let i = HEADER; i < pkt.length; ++i) {
    sum = (sum + pkt[i]) & 0xff;
    pkt[i] = SEND_MAP[pkt[i]];
  }
  pkt[8] = (256 - sum) & 0xff;
  return pkt;
}

export const requestPacket = (clientId, text) => buildPacket(CMD_REQUEST, [{ int: clientId }, { string: text }]);
export const authPacket = (token) => buildPacket(CMD_AUTH, [{ string: token }]);

// Deciphers the body of one whole packet in place; false when the checksum is wrong.
export function decipher(pkt) {
  let sum = pkt[8];
  for (let i = HEADER; i < pkt.length; ++i) {
    pkt[i] = RECV_MAP[pkt[i]];
    sum = (sum + pkt[i]) & 0xff;
  }
  return sum === 0;
}

// Reads fields of a deciphered body as the gateway does: a field cut short reads as -1
// or the empty text, and a text ends at its first zero byte.
export class BodyReader {
  constructor(pkt) {
    this.pkt = pkt;
    this.view = new DataView(pkt.buffer, pkt.byteOffset, pkt.length);
    this.at = HEADER;
  }
  int() {
    if (this.pkt.length - this.at < 4) return -1;
    const v = this.view.getInt32(this.at);
    this.at += 4;
    return v;
  }
  string() {
    const n = this.int();
    if (n <= 0 || n > this.pkt.length - this.at) return "";
    let bytes = this.pkt.subarray(this.at, this.at + n);
    this.at += n;
    const zero = bytes.indexOf(0);
    if (zero >= 0) bytes = bytes.subarray(0, zero);
    return decoder.decode(bytes);
  }
}

// Splits a byte stream into packets, whatever the message boundaries.
export class PacketReader {
  constructor() {
    this.buf = new Uint8Array(0);
  }
  // Adds bytes and returns every whole packet they complete, as {cmd, pkt}. Throws on a
  // stream that cannot be framed (wrong flag or impossible length).
  push(bytes) {
    const joined = new Uint8Array(this.buf.length + bytes.length);
    joined.set(this.buf);
    joined.set(bytes, this.buf.length);
    const out = [];
    let at = 0;
    while (joined.length - at >= HEADER) {
      const size = ((joined[at] << 8) | joined[at + 1]) + 2;
      if (joined[at + 2] !== 0x54 || joined[at + 3] !== 0x51 || size < HEADER || size > MAX_PACKET)
        throw new Error("the gateway sent bytes that are not a packet");
      if (joined.length - at < size) break;
      const pkt = joined.slice(at, at + size);
      out.push({ cmd: (pkt[6] << 8) | pkt[7], pkt });
      at += size;
    }
    this.buf = joined.slice(at);
    return out;
  }
}

// An answer packet as {status, text}; null when its checksum is wrong.
export function readAnswer(pkt) {
  if (!decipher(pkt)) return null;
  const r = new BodyReader(pkt);
  const status = r.int();
  return { status, text: r.string() };
}
