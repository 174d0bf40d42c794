// Writes the seed corpus of the fuzz targets: fuzz_seeds <corpus dir> creates
// <dir>/<target>/<name> for every seed below. The packets are built with the project's
// own writer and cipher, so the seeds start the fuzzers on the paths real peers use.
// Run it again after changing a seed; the files are committed.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "EncryptDecrypt.h"
#include "packet_base.h"

namespace {

std::string g_dir;

void put(const char* target, const char* name, const std::string& bytes) {
  const std::string dir = g_dir + "/" + target;
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string be16(unsigned v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

std::string be32(int v) {
  char b[4];
  pkg_put_i32(b, v);
  return std::string(b, 4);
}

// A finished packet; enciphered unless `plain`.
std::string finish(NETOutputPacket& p, bool plain = false) {
  p.End();
  if (!plain) CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

std::string data_req(int id, const std::string& text, bool plain = false) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  p.WriteInt(id);
  p.WriteString(text);
  return finish(p, plain);
}

std::string result(const std::string& json, unsigned char err = 0) {
  NETOutputPacket p;
  p.Begin(INTER_CMD_RES, 1, 1);
  p.WriteByte(err);
  p.WriteString(json);
  return finish(p);
}

std::string report(unsigned short cmd, int qlen, int ctime) {
  NETOutputPacket p;
  p.Begin(cmd, 1, 1);
  p.WriteInt(qlen);
  p.WriteInt(ctime);
  return finish(p);
}

// A header announcing `length` with `body` after it (not enciphered).
std::string raw(int length, unsigned short cmd, const std::string& body) {
  return be16(static_cast<unsigned>(length)) + "TQ\x01\x01" + be16(cmd) + std::string(1, '\0') + body;
}

// A packet whose length field matches its body.
std::string fitting(unsigned short cmd, const std::string& body) {
  return raw(static_cast<int>(body.size()) + PACKET_HEADER_SIZE - 2, cmd, body);
}

// One read of the stream drivers.
std::string rd(const std::string& bytes) { return be16(static_cast<unsigned>(bytes.size())) + bytes; }
const std::string kShutdown = be16(0);

void packet_seeds() {
  // Script length, script (0 int, 1 byte, 2 string, 3 decipher), packet.
  put("packet", "data_req", std::string("\x03\x03\x00\x02", 4) + data_req(7, "{\"cmd\":1}"));
  put("packet", "result", std::string("\x03\x03\x01\x02", 4) + result("{\"flow\":1,\"result\":\"ok\"}"));
  put("packet", "report", std::string("\x03\x03\x00\x00", 4) + report(INTER_CMD_WAITER_STAT_RES, 1025, 9));
  put("packet", "close_notice", std::string("\x02\x00\x00", 3) + data_req(5, "", true).substr(0, 17));
  put("packet", "negative_string", std::string("\x02\x02\x01", 3) + raw(11, 2, be32(-5)));
  put("packet", "long_string", std::string("\x02\x02\x02", 3) + raw(15, 2, be32(1000) + "abcd"));
  put("packet", "string_with_zero",
      std::string("\x02\x02\x02", 3) + fitting(2, be32(6) + std::string("ab\0cd\0", 6) + be32(2) + "x"));
  put("packet", "header_only", std::string("\x04\x00\x01\x02\x03", 5) + raw(7, 2, ""));
  put("packet", "short", std::string("\x02\x00\x02", 3) + "TQ");
}

void markup_seeds() {
  put("markup", "server",
      "<SYSTEM><Node><ServerList><Server svid=\"1\" ip=\"127.0.0.1\" port=\"9101\"/>"
      "<Server svid=\"2\" ip=\"127.0.0.1\" port=\"9102\"/></ServerList></Node></SYSTEM>");
  put("markup", "config",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- gateway -->\n<SYSTEM>\n"
      "  <BindAddr>0.0.0.0</BindAddr>\n  <MaxFdCount value='2048'/>\n"
      "  <WebTimeout value=\"30\" name=\"a &amp; b &lt;c&gt; &#65;&#x42; &quot;q&quot;\"/>\n"
      "</SYSTEM>\n");
  put("markup", "doctype_cdata", "<!DOCTYPE x [<!ELEMENT x ANY>]><x><![CDATA[<y/>]]><?pi data?><y a=\"1\">t</y></x>");
  put("markup", "nested", "<a><b><c><d><e f=\"g\"/></d></c></b><b/><c x='1' y=\"2\"></c></a>");
  put("markup", "mismatched", "<a><b></a></b>");
  put("markup", "unterminated", "<a x=\"1><b>");
  put("markup", "second_root", "<a/><b/>text<c>");
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<d>";
  put("markup", "deep", deep);
}

void ini_seeds() {
  // section, key, value separated by zero bytes, then the file.
  put("ini", "found",
      std::string("redis\0port\0"
                  "6380\0",
                  16) +
          "[redis]\nhost=127.0.0.1\nport=6379\n");
  put("ini", "new_key",
      std::string("redis\0db\0"
                  "3\0",
                  11) +
          "[redis]\nhost=127.0.0.1\n\n[mysql]\nuser=root\n");
  put("ini", "new_section",
      std::string("gateway\0ip\0"
                  "1.2.3.4\0",
                  19) +
          "; comment\n[redis]\nport=1\n");
  put("ini", "crlf",
      std::string("ab\0x\0"
                  "9\0",
                  7) +
          "[ab]\r\nx=1\r\n;x=2\r\n=x\r\n");
  put("ini", "prefix", std::string("abc\0abc\0v\0", 10) + "[ab]\nab=5\n[abc]\nabc=6\n");
  put("ini", "no_bracket", std::string("s\0k\0v\0", 6) + "[s");
  put("ini", "blanks", std::string("s\0x\0 1\0", 7) + "[s]  \n\n x = 1\nx=2\n");
  put("ini", "missing_file", std::string("s\0k\0v\0", 6));
  // Findings: a header without its ']' must not swallow the lines after it.
  put("ini", "finding_header_swallows_next",
      std::string("redis\0db\0"
                  "3\0",
                  11) +
          "[\x1b");
  put("ini", "finding_empty_header_last",
      std::string("s\0"
                  "9\0[ab]x=2\0",
                  12) +
          "x\r[");
}

void client_stream_seeds() {
  const std::string a = data_req(1, "{\"cmd\":1,\"uid\":1}");
  const std::string b = data_req(2, "hello");
  put("client_stream", "one_packet", rd(a));
  put("client_stream", "two_in_one_read", rd(a + b));
  put("client_stream", "split", rd(a.substr(0, 4)) + rd(a.substr(4, 7)) + rd(a.substr(11)));
  put("client_stream", "policy", rd(std::string("<policy-file-request/>", 23)));
  put("client_stream", "policy_late", rd(a) + rd(std::string("<policy-file-request/>", 23)));
  put("client_stream", "bad_flag", rd(std::string("\x00\x07XQ\x01\x01\x00\x02\x00", 9)));
  put("client_stream", "too_long", rd(raw(9000, 2, "")));
  put("client_stream", "header_only", rd(raw(7, 2, "")));
  put("client_stream", "then_shutdown", rd(a) + kShutdown);
  put("client_stream", "other_cmd", rd(report(INTER_CMD_RES, 1, 2)));
  std::string bad = b;
  bad[8] = static_cast<char>(bad[8] + 1);
  put("client_stream", "bad_checksum", rd(bad));
  // Finding: a valid packet whose second read is 23 bytes starting with '<' 'p' (its
  // version bytes) is packet data, not a policy request.
  {
    NETOutputPacket p;
    p.Begin(CLIENT_CMD_DATA_REQ, '<', 'p');
    p.WriteInt(41);
    p.WriteString("{\"cmd\":1,\"text\":\"split by the network\"}");
    const std::string pkt = finish(p);
    put("client_stream", "finding_policy_like_continuation",
        rd(pkt.substr(0, 4)) + rd(pkt.substr(4, 23)) + rd(pkt.substr(27)));
  }
  put("client_stream", "reregister", rd(data_req(3, "x")) + rd(data_req(4, "y")) + rd(data_req(3, "z")));
}

void logic_stream_seeds() {
  put("logic_stream", "result", rd(result("{\"flow\":1,\"result\":\"ok\"}")));
  put("logic_stream", "results_batched",
      rd(result("{\"flow\":2,\"result\":\"a\"}") + result("{\"flow\":3}") + result("{\"flow\":1,\"result\":5}")));
  put("logic_stream", "result_split",
      rd(result("{\"flow\":2,\"result\":\"b\"}").substr(0, 5)) + rd(result("{\"flow\":2,\"result\":\"b\"}").substr(5)));
  put("logic_stream", "bad_flows",
      rd(result("{\"flow\":\"1\"}") + result("{\"flow\":-1}") + result("{\"flow\":4294967297}") +
         result("{\"result\":\"x\"}") + result("not json") + result("[1]")));
  put("logic_stream", "deep_json", rd(result(std::string(2000, '[') + std::string(2000, ']'))));
  put("logic_stream", "reports",
      rd(report(INTER_CMD_WAITER_STAT_RES, 2000, 1) + report(INTER_CMD_NOTIFY_STAT_RES, 3, 4)));
  put("logic_stream", "oversized_skipped",
      rd(raw(10000, INTER_CMD_RES, std::string(9998, 'x')) + result("{\"flow\":1,\"result\":\"after\"}")));
  put("logic_stream", "length_too_big", rd(raw(20000, INTER_CMD_RES, "")));
  put("logic_stream", "short_length", rd(raw(3, INTER_CMD_RES, "")));
  put("logic_stream", "unknown_cmd", rd(report(0x7777, 1, 1) + result("{\"flow\":3,\"result\":\"c\"}")));
  put("logic_stream", "server_closes", rd(result("{\"flow\":1,\"result\":\"x\"}").substr(0, 12)) + kShutdown);
}

void order_seeds() {
  put("order", "object", "{\"order\":1,\"item\":\"two words\",\"u\":\"\\u00e9\"}");
  put("order", "array_comment", "[1,2,3] // last");
  put("order", "trailing", "{\"id\":5} trailing");
  put("order", "deep", std::string(3000, '[') + std::string(3000, ']'));
  put("order", "zero_byte", std::string("{\"a\":\"x\0y\"}", 11));
  put("order", "empty", "");
  put("order", "longest", "{\"pad\":\"" + std::string(7982 - 10, 'x') + "\"}");
}

void stats_request_seeds() {
  put("stats_request", "get", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9100\r\nAccept: text/plain\r\n\r\n");
  put("stats_request", "get_10_lf", "GET /metrics?x=1 HTTP/1.0\n\n");
  put("stats_request", "other_path", "GET /metricsx HTTP/1.1\r\n\r\n");
  put("stats_request", "post", "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
  put("stats_request", "bad_version", "GET /metrics HTTP/2.0\r\n\r\n");
  put("stats_request", "partial", "GET /metrics HTTP/1.1\r\nHost: a\r\n");
  put("stats_request", "large", "GET /metrics HTTP/1.1\r\nX: " + std::string(4100, 'x') + "\r\n\r\n");
}

void token_seeds() {
  // A mode byte, then the text (see token_driver.cpp); the checker's key is "k1".
  put("token", "unknown_kid",
      std::string(1, '\x00') +
          "v1.login-2026.10086.1767225600.q9ZmH2xYpLk4T1aw.f0KccKcM7mEfRkFyyJFELAn_yFevA7a5l1es4emgJ-"
          "wn5qWV3YNo10uDY37pE3u2S2Ah8zRRaScknL1rWQqlBQ");
  put("token", "signed_ok", std::string(1, '\x01') + "v1.k1.42.1700000060.abcdefgh12.x");
  put("token", "signed_expired", std::string(1, '\x01') + "v1.k1.42.1699999999.abcdefgh13.x");
  put("token", "signed_too_long", std::string(1, '\x01') + "v1.k1.2147483647.1700000301.abcdefgh14.x");
  put("token", "signed_other_kid", std::string(1, '\x01') + "v1.k2.42.1700000060.abcdefgh15.x");
  put("token", "leading_zero", std::string(1, '\x01') + "v1.k1.042.1700000060.abcdefgh16.x");
  put("token", "public_keys",
      std::string(1, '\x02') +
          "k1 AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8= # c\n# x\n\nk2 "
          "A6EHv/POEL4dcN0Y50vAmWfk1jCbpQ1fHdyGZBJVMbg=\n");
  put("token", "private_keys", std::string(1, '\x06') + "login-2026 AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n");
}

// The first byte is the size of the pieces the driver feeds (its value % 16, plus 1).
void proxy_header_seeds() {
  const std::string sig("\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12);
  const std::string v4 = std::string("\xC0\x00\x02\x09\x7F\x00\x00\x01", 8) + be16(5555) + be16(80);
  put("proxy_header", "v1_tcp4", "\x03PROXY TCP4 192.0.2.9 127.0.0.1 5555 80\r\nTQ");
  put("proxy_header", "v1_tcp6", "\x00PROXY TCP6 ::ffff:192.0.2.9 ::1 5555 80\r\n");
  put("proxy_header", "v1_unknown", "\x07PROXY UNKNOWN whatever\r\n");
  put("proxy_header", "v1_partial", "\x01PROXY TCP4 192.0.2.");
  put("proxy_header", "v2_tcp4", std::string("\x05") + sig + "\x21\x11" + be16(12) + v4 + "TQ");
  put("proxy_header", "v2_local", std::string("\x0F") + sig + "\x20\x00" + be16(0));
  put("proxy_header", "v2_tlv", std::string("\x02") + sig + "\x21\x11" + be16(19) + v4 + "\x04" + be16(4) + "abcd");
  put("proxy_header", "v2_tcp6",
      std::string("\x09") + sig + "\x21\x21" + be16(36) + std::string(10, '\0') + "\xFF\xFF\xC0\x00\x02\x09" +
          std::string(16, '\x01') + be16(1) + be16(2));
}

}  // namespace

// The handshake driver's first byte picks the origin list (odd: one applies).
void ws_head_seeds() {
  const std::string get =
      "GET /play HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  put("ws_head", "accepted", "\x00" + get + "\r\n");
  put("ws_head", "origin_allowed", "\x01" + get + "Origin: https://a.example\r\n\r\n");
  put("ws_head", "origin_refused", "\x01" + get + "Origin: https://b.example\r\n\r\n");
  put("ws_head", "query", "\x00GET /play?room=1 HTTP/1.1\r\n" + get.substr(get.find("\r\n") + 2) + "\r\n");
  put("ws_head", "version_8", "\x00" + get.substr(0, get.size() - 4) + "8\r\n\r\n");
  put("ws_head", "other_path", "\x00GET / HTTP/1.1\r\n\r\n");
  put("ws_head", "post", "\x00POST /play HTTP/1.1\r\nHost: a\r\n\r\n");
  put("ws_head", "partial", "\x00" + get);
  put("ws_head", "large", "\x00" + get + "X: " + std::string(4100, 'x') + "\r\n\r\n");
}

// A client frame with the mask 12 34 56 78 (or none).
std::string ws_frame(int first_byte, const std::string& payload, bool masked = true) {
  std::string f(1, static_cast<char>(first_byte));
  const char bit = masked ? static_cast<char>(0x80) : 0;
  if (payload.size() < 126)
    f += static_cast<char>(bit | static_cast<char>(payload.size()));
  else
    f += static_cast<char>(bit | 126) + be16(static_cast<unsigned>(payload.size()));
  const char key[4] = {0x12, 0x34, 0x56, 0x78};
  if (masked) f.append(key, 4);
  for (size_t i = 0; i < payload.size(); ++i) f += masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
  return f;
}

void ws_frames_seeds() {
  const std::string req = data_req(42, "{\"order\":1}");
  put("ws_frames", "binary", rd(ws_frame(0x82, req + req)));
  put("ws_frames", "split", rd(ws_frame(0x82, req.substr(0, 5))) + rd(ws_frame(0x82, req.substr(5))));
  put("ws_frames", "fragments",
      rd(ws_frame(0x02, req.substr(0, 3)) + ws_frame(0x89, "p") + ws_frame(0x80, req.substr(3))));
  put("ws_frames", "ping_close", rd(ws_frame(0x89, "hi") + ws_frame(0x88, "\x03\xe8")));
  put("ws_frames", "text", rd(ws_frame(0x81, "hello")));
  put("ws_frames", "unmasked", rd(ws_frame(0x82, req, false)));
  put("ws_frames", "too_big", rd(ws_frame(0x82, std::string(8001, 'x'))));
  put("ws_frames", "eof", rd(ws_frame(0x82, req).substr(0, 9)) + rd(""));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];
  mkdir(g_dir.c_str(), 0755);
  packet_seeds();
  markup_seeds();
  ini_seeds();
  client_stream_seeds();
  logic_stream_seeds();
  order_seeds();
  stats_request_seeds();
  token_seeds();
  proxy_header_seeds();
  ws_head_seeds();
  ws_frames_seeds();
  return 0;
}
