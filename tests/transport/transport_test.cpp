// WebSocket and TLS players against a real `hall` with real sample logic servers: a
// WebSocket client written here (masked frames, the opening handshake by hand) and TLS
// clients on OpenSSL, with a test certificate made by the openssl program.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "hall_run.h"
#include "logic_servers.h"
#include "packets.h"
#include "transport/ssl_memory.h"
#include "transport/ws_transport.h"

using namespace testsupport;
using namespace testpackets;

namespace {

// The test's end of one connection, plain or TLS, with blocking reads bounded by 5 s.
struct Link {
  int fd = -1;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  std::string in;  // bytes read and not yet used

  ~Link() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    if (fd >= 0) close(fd);
  }
  bool open(int port, bool tls, int max_version = 0) {
    fd = tcp_connect_local(port);
    if (fd < 0) return false;
    timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if (!tls) return true;
    signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(): a closed link must fail the check, not the program
    ctx = SSL_CTX_new(TLS_client_method());
    if (max_version != 0) SSL_CTX_set_max_proto_version(ctx, max_version);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    return SSL_connect(ssl) == 1;
  }
  // A TLS link in two steps: the client's first flight sent, then the handshake ended, so
  // that the gateway holds many handshakes at once.
  bool hello(int port) {
    if (!open(port, false)) return false;
    ctx = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const int r = SSL_connect(ssl);
    fcntl(fd, F_SETFL, 0);
    // A quick gateway's whole flight may have come already.
    return r == 1 || SSL_get_error(ssl, r) == SSL_ERROR_WANT_READ;
  }
  bool finish() { return SSL_connect(ssl) == 1; }
  bool put(const std::string& b) {
    return ssl != nullptr ? SSL_write(ssl, b.data(), static_cast<int>(b.size())) == static_cast<int>(b.size())
                          : send_all(fd, b.data(), b.size());
  }
  // Reads what comes next into `in`; false when the peer closed or nothing came in time.
  bool more() {
    char buf[16384];
    const int n = ssl != nullptr ? SSL_read(ssl, buf, sizeof(buf)) : static_cast<int>(::recv(fd, buf, sizeof(buf), 0));
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
    return true;
  }
  std::string peer_cn() {
    X509* cert = SSL_get1_peer_certificate(ssl);
    char cn[64] = "";
    if (cert != nullptr) X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof(cn));
    X509_free(cert);
    return cn;
  }
};

std::string ws_request(const std::string& path = "/play", const std::string& version = "13") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n" +
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: " + version + "\r\n\r\n";
}

// The answer head to a handshake request: its status line, or "" when none came.
std::string handshake(Link& l, const std::string& request) {
  if (!l.put(request)) return "";
  size_t end;
  while ((end = l.in.find("\r\n\r\n")) == std::string::npos)
    if (!l.more()) return "";
  const std::string head = l.in.substr(0, end + 4);
  l.in.erase(0, end + 4);
  return head;
}

// A client frame: masked unless `masked` is false.
std::string frame(int opcode, const std::string& payload, bool masked = true) {
  std::string f(1, static_cast<char>(0x80 | opcode));
  const char mask_bit = masked ? static_cast<char>(0x80) : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(mask_bit | static_cast<char>(payload.size()));
  } else {
    f += static_cast<char>(mask_bit | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xff);
  }
  const char key[4] = {0x12, 0x34, 0x56, 0x78};
  if (masked) f.append(key, 4);
  for (size_t i = 0; i < payload.size(); ++i) f += masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
  return f;
}

// Reads the next server frame (never masked, at most 64 KB); false when none came.
bool next_frame(Link& l, int* opcode, std::string* payload) {
  for (;;) {
    const size_t short_len = l.in.size() >= 2 ? static_cast<unsigned char>(l.in[1]) & 0x7f : 0;
    const size_t at = short_len == 126 ? 4 : 2;
    if (l.in.size() >= at) {
      const size_t len =
          at == 2 ? short_len : (static_cast<unsigned char>(l.in[2]) << 8) | static_cast<unsigned char>(l.in[3]);
      if (l.in.size() >= at + len) {
        *opcode = l.in[0] & 0x0f;
        *payload = l.in.substr(at, len);
        l.in.erase(0, at + len);
        return true;
      }
    }
    if (!l.more()) return false;
  }
}

// The close code of the next close frame, skipping other frames; -1 when none came.
int close_code(Link& l) {
  int op = 0;
  std::string p;
  while (next_frame(l, &op, &p))
    if (op == 8) return p.size() >= 2 ? (static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]) : 0;
  return -1;
}

// The result texts of `n` answers (the logic server's name, "r1" or "r2"), sorted: over
// WebSocket from binary messages, else from the stream.
std::vector<std::string> answers(Link& l, size_t n, bool ws) {
  std::vector<std::string> out;
  std::string stream, payload;
  int op = 0;
  while (out.size() < n) {
    Packet p;
    if (cut_packet(&stream, &p)) {
      if (p.cmd == 0x1001 && p.checksum_ok) out.push_back(p.str_at(4));
      continue;
    }
    if (ws ? !next_frame(l, &op, &payload) || op != 2 : (l.in.empty() && !l.more())) break;
    stream += ws ? payload : l.in;
    if (!ws) l.in.clear();
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Two logic servers and a gateway with the client port, WsPort, WssPort, TlsPort and
// metrics.
struct Hall {
  LogicServer s1{"L1", {"--result", "r1"}}, s2{"L2", {"--result", "r2"}};
  TempDir certs;
  std::vector<int> ports = free_ports(4);
  int ws = ports[0], wss = ports[1], tls = ports[2], stats = ports[3];
  std::unique_ptr<HallRun> gw;

  explicit Hall(int web_timeout = 60) {
    EXPECT_NE(make_certificate(certs.path(), "first"), "");
    HallConfig cfg;
    cfg.web_timeout = web_timeout;
    cfg.attrs = {{"WsPort", std::to_string(ws)},       {"WsPath", "/play"},
                 {"WssPort", std::to_string(wss)},     {"TlsPort", std::to_string(tls)},
                 {"TlsCert", certs.file("cert.pem")},  {"TlsKey", certs.file("key.pem")},
                 {"StatsPort", std::to_string(stats)}, {"DrainTimeout", "0"}};
    if (s1.start() && s2.start()) {
      cfg.servers = {{1, s1.port()}, {2, s2.port()}};
      gw.reset(new HallRun(cfg));
    }
  }
  bool start() { return gw != nullptr && gw->start(); }
  double metric(const std::string& series) { return figure(scrape(stats), series); }
};

const std::vector<std::string> kBoth = {"r1", "r2"};

TEST(WebSocket, OrdersTravelInBinaryMessagesBadInputIsRefusedAndClosesAreAnswered) {
  Hall h;
  ASSERT_TRUE(h.start()) << h.gw->stderr_text();
  Link l;
  ASSERT_TRUE(l.open(h.ws, false));
  // A frame right behind the head, in the same write, is read too.
  const std::string two = data_req(501, "a") + data_req(501, "b");
  const std::string third = data_req(501, "c");
  const std::string head = handshake(l, ws_request() + frame(2, two + third.substr(0, 5)));
  ASSERT_EQ(head.find("HTTP/1.1 101 Switching Protocols"), 0u) << head;
  EXPECT_NE(head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  ASSERT_TRUE(l.put(frame(2, third.substr(5))));
  EXPECT_EQ(answers(l, 6, true), std::vector<std::string>({"r1", "r1", "r1", "r2", "r2", "r2"}));
  EXPECT_EQ(h.metric("hall_client_connections_by_transport{transport=\"ws\"}"), 1);
  EXPECT_EQ(h.metric("hall_client_connections_by_transport{transport=\"tcp\"}"), 0);

  // Ping is answered with a pong of the same payload.
  ASSERT_TRUE(l.put(frame(9, "hi")));
  int op = 0;
  std::string payload;
  ASSERT_TRUE(next_frame(l, &op, &payload));
  EXPECT_EQ(op, 10);
  EXPECT_EQ(payload, "hi");

  // The client's close is answered with a close, then the gateway ends the connection
  // and announces the id as leaving.
  ASSERT_TRUE(l.put(frame(8, std::string("\x03\xe8", 2))));
  EXPECT_EQ(close_code(l), 1000);
  EXPECT_TRUE(wait_closed(l.fd, 5000));
  EXPECT_TRUE(wait_until(
      [&] { return h.s1.matching("close client=501").size() + h.s2.matching("close client=501").size() == 1; }, 5000));
  EXPECT_TRUE(wait_until([&] { return h.metric("hall_ws_closes_total{code=\"1000\"}") == 1; }, 5000));

  // Refused handshakes get an HTTP error; text, an unmasked frame and a message one
  // byte longer than the largest packet get their close codes.
  const struct {
    std::string request, status;
  } refused[] = {{ws_request("/other"), "404"},
                 {ws_request("/play", "8"), "426"},
                 {"POST /play HTTP/1.1\r\nHost: x\r\n\r\n", "405"},
                 {"GET /play HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", "400"},
                 {"GET /play HTTP/1.1\r\n" + std::string(5000, 'x'), "431"}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.status);
    Link c;
    ASSERT_TRUE(c.open(h.ws, false));
    EXPECT_EQ(handshake(c, r.request).substr(0, 12), "HTTP/1.1 " + r.status);
    EXPECT_TRUE(wait_closed(c.fd, 5000));
  }
  const struct {
    std::string frames;
    int code;
  } bad[] = {
      {frame(1, "hello"), 1003}, {frame(2, data_req(7, "x"), false), 1002}, {frame(2, std::string(8001, 'x')), 1009}};
  for (const auto& b : bad) {
    SCOPED_TRACE(b.code);
    Link c;
    ASSERT_TRUE(c.open(h.ws, false));
    ASSERT_EQ(handshake(c, ws_request()).find("HTTP/1.1 101"), 0u);
    ASSERT_TRUE(c.put(b.frames));
    EXPECT_EQ(close_code(c), b.code);
    EXPECT_TRUE(wait_closed(c.fd, 5000));
    EXPECT_TRUE(wait_until(
        [&] { return h.metric("hall_ws_closes_total{code=\"" + std::to_string(b.code) + "\"}") == 1; }, 5000));
  }
  EXPECT_TRUE(h.gw->alive());

  // The gateway's own close (its idle time-out here is long: the drain ends it) sends 1001.
  Link idle;
  ASSERT_TRUE(idle.open(h.ws, false));
  ASSERT_EQ(handshake(idle, ws_request()).find("HTTP/1.1 101"), 0u);
  ASSERT_TRUE(idle.put(frame(2, data_req(502, "x"))));
  EXPECT_EQ(answers(idle, 2, true).size(), 2u);
  kill(h.gw->pid(), SIGUSR1);
  EXPECT_EQ(close_code(idle), 1001);
}

TEST(Tls, NativeAndWebSocketPlayersOverTls12And13) {
  Hall h;
  ASSERT_TRUE(h.start()) << h.gw->stderr_text();
  Link v12, v13, wss;
  ASSERT_TRUE(v12.open(h.tls, true, TLS1_2_VERSION));
  ASSERT_TRUE(v13.open(h.tls, true));
  EXPECT_EQ(SSL_version(v12.ssl), TLS1_2_VERSION);
  EXPECT_EQ(SSL_version(v13.ssl), TLS1_3_VERSION);
  ASSERT_TRUE(wss.open(h.wss, true));
  ASSERT_EQ(handshake(wss, ws_request()).find("HTTP/1.1 101"), 0u);
  ASSERT_TRUE(v12.put(data_req(601, "a")));
  ASSERT_TRUE(v13.put(data_req(602, "b") + data_req(602, "c")));
  ASSERT_TRUE(wss.put(frame(2, data_req(603, "d"))));
  EXPECT_EQ(answers(v12, 2, false), kBoth);
  EXPECT_EQ(answers(v13, 4, false).size(), 4u);
  EXPECT_EQ(answers(wss, 2, true), kBoth);
  // A burst of more than one read can take, in messages that split packets, over TLS
  // records: what the layers hold is read on without a prompt from the kernel.
  std::string burst, frames;
  for (int i = 0; i < 300; ++i) burst += data_req(603, std::string(600, static_cast<char>('a' + i % 26)));
  for (size_t at = 0; at < burst.size(); at += 7000) frames += frame(2, burst.substr(at, 7000));
  // The gateway stopped meanwhile finds it all waiting at once.
  kill(h.gw->pid(), SIGSTOP);
  const bool put = wss.put(frames);
  kill(h.gw->pid(), SIGCONT);
  ASSERT_TRUE(put);
  EXPECT_EQ(answers(wss, 600, true).size(), 600u);
  // Many small records at once: a read of the socket takes far more of them than the
  // connection reads per prompt, and all are handed out.
  kill(h.gw->pid(), SIGSTOP);
  bool all_put = true;
  for (int i = 0; i < 400; ++i) all_put = v13.put(data_req(602, "e")) && all_put;
  kill(h.gw->pid(), SIGCONT);
  ASSERT_TRUE(all_put);
  EXPECT_EQ(answers(v13, 800, false).size(), 800u);
  EXPECT_EQ(h.metric("hall_client_connections_by_transport{transport=\"tls\"}"), 2);
  EXPECT_EQ(h.metric("hall_client_connections_by_transport{transport=\"wss\"}"), 1);
  EXPECT_EQ(h.metric("hall_tls_handshakes_total{result=\"ok\"}"), 3);
  // A TLS player that shuts its socket without a close_notify leaves as a TCP one does,
  // and so does one that sends it first.
  shutdown(v12.fd, SHUT_WR);
  SSL_shutdown(v13.ssl);
  for (int id : {601, 602}) {
    const std::string notice = "close client=" + std::to_string(id);
    EXPECT_TRUE(wait_until([&] { return h.s1.matching(notice).size() + h.s2.matching(notice).size() == 1; }, 5000))
        << notice;
  }
  EXPECT_TRUE(wait_closed(v12.fd, 5000));
}

// A wss player cut inside a TLS record and then inside a WebSocket frame keeps what it
// holds (OpenSSL its part record, the connection its wslay context with the half frame)
// while another player reads with the context lent to it, and goes on where it stopped.
TEST(Tls, AWssPlayerCutInsideARecordAndAFrameGoesOnWhileAnotherPlays) {
  Hall h;
  ASSERT_TRUE(h.start()) << h.gw->stderr_text();
  Link l;
  ASSERT_TRUE(l.open(h.wss, true));
  ASSERT_EQ(handshake(l, ws_request()).find("HTTP/1.1 101"), 0u);
  ASSERT_TRUE(l.put(frame(2, data_req(801, "a"))));
  ASSERT_EQ(answers(l, 2, true), kBoth);
  // One record with the first half of a frame, sealed aside and sent in two parts.
  const std::string whole = frame(2, data_req(801, "b"));
  BIO* aside = BIO_new(BIO_s_mem());
  SSL_set0_wbio(l.ssl, aside);
  ASSERT_EQ(SSL_write(l.ssl, whole.data(), 9), 9);
  std::string record(static_cast<size_t>(BIO_pending(aside)), '\0');
  ASSERT_EQ(BIO_read(aside, &record[0], static_cast<int>(record.size())), static_cast<int>(record.size()));
  SSL_set0_wbio(l.ssl, BIO_new_socket(l.fd, BIO_NOCLOSE));
  ASSERT_TRUE(send_all(l.fd, record.data(), 8));
  // Another player reads while this one holds a part record, then a half frame.
  auto other_plays = [&](int id) {
    Link other;
    return other.open(h.ws, false) && handshake(other, ws_request()).find("HTTP/1.1 101") == 0 &&
           other.put(frame(2, data_req(id, "x"))) && answers(other, 2, true) == kBoth;
  };
  EXPECT_TRUE(other_plays(802));
  ASSERT_TRUE(send_all(l.fd, record.data() + 8, record.size() - 8));
  EXPECT_TRUE(other_plays(803));
  ASSERT_TRUE(l.put(whole.substr(9) + frame(2, data_req(801, "c"))));
  EXPECT_EQ(answers(l, 4, true), std::vector<std::string>({"r1", "r1", "r2", "r2"}));
  ASSERT_TRUE(l.put(frame(2, data_req(801, "d"))));
  EXPECT_EQ(answers(l, 2, true), kBoth);
}

// A crowd's handshakes at once, then over: the pages of OpenSSL's blocks they leave free go back to the
// system (the sweep's debug line), and the players play again on blocks taken from the
// pool, the returned ones among them. (With AddressSanitizer, OpenSSL keeps malloc: the
// sweep has nothing of its own to return.)
TEST(Tls, AHandshakeStormReturnsThePagesOfItsBuffersAndThePlayersPlayOn) {
  Hall h;
  ASSERT_TRUE(h.start()) << h.gw->stderr_text();
  std::vector<std::unique_ptr<Link>> crowd;
  for (int i = 0; i < 24; ++i) {
    crowd.emplace_back(new Link);
    ASSERT_TRUE(crowd.back()->hello(h.tls));
  }
  for (auto& l : crowd) ASSERT_TRUE(l->finish());
  // The KB returned by the last return the log shows; -1 before the first.
  auto returned = [&] {
    const std::string log = h.gw->process_log();
    const size_t at = log.rfind(" KB returned");
    if (at == std::string::npos) return -1L;
    return std::stol(log.substr(log.rfind(' ', at - 1) + 1));
  };
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < crowd.size(); ++i) ASSERT_TRUE(crowd[i]->put(data_req(900 + static_cast<int>(i), "a")));
    for (auto& l : crowd) EXPECT_EQ(answers(*l, 2, false), kBoth) << round;
    if (round == 0 && !hall_transport::ssl_memory_bypassed()) {
      EXPECT_TRUE(wait_until([&] { return returned() >= 1; }, 10000)) << h.gw->process_log();
    }
  }
}

TEST(Tls, HandshakeIsBoundedAndTheCertificatePairIsReloadedForNewConnections) {
  Hall h(2);
  ASSERT_TRUE(h.start()) << h.gw->stderr_text();
  // A client that starts a handshake and stalls is closed by the web time-out, however
  // it trickles.
  Link stall;
  ASSERT_TRUE(stall.open(h.tls, false));
  ASSERT_TRUE(stall.put(std::string("\x16\x03\x01", 3)));
  EXPECT_TRUE(wait_closed(stall.fd, 10000));
  EXPECT_TRUE(wait_until([&] { return h.metric("hall_tls_handshakes_total{result=\"timeout\"}") == 1; }, 5000));

  Link before;
  ASSERT_TRUE(before.open(h.tls, true));
  EXPECT_EQ(before.peer_cn(), "first");
  ASSERT_NE(make_certificate(h.certs.path(), "second"), "");
  Link after;
  ASSERT_TRUE(after.open(h.tls, true));
  EXPECT_EQ(after.peer_cn(), "second");
  // The player connected before keeps playing.
  ASSERT_TRUE(before.put(data_req(701, "x")));
  EXPECT_EQ(answers(before, 2, false), kBoth);

  // A key that does not match keeps the last good pair, with a level-3 line.
  const std::string second_cert = read_file(h.certs.file("cert.pem"));
  ASSERT_NE(make_certificate(h.certs.path(), "third"), "");
  write_file(h.certs.file("cert.pem"), second_cert);
  Link kept;
  ASSERT_TRUE(kept.open(h.tls, true));
  EXPECT_EQ(kept.peer_cn(), "second");
  EXPECT_TRUE(h.gw->wait_log("TLS certificate pair changed but cannot be used", 5000));

  // hall -t refuses that pair.
  std::string out;
  EXPECT_EQ(h.gw->check(&out), 1) << out;
  EXPECT_NE(out.find("does not match TlsCert"), std::string::npos) << out;
}

// What the live-upgrade scenario cannot reach: a WebSocket connection handed over while
// its socket took only part of an answer frame and a fragmented message is half read.
TEST(WebSocket, FramesInProgressBothWaysTravelToAFreshTransport) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  const int small = 4096;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  Link l;
  l.fd = sv[1];
  timeval tv = {5, 0};
  setsockopt(l.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  auto old = std::make_unique<hall_transport::CWsTransport>(new hall_transport::CTcpTransport(sv[0]));
  ASSERT_TRUE(l.put(ws_request("/")));
  char buf[1000];
  EXPECT_EQ(-1, old->read(buf, sizeof(buf)));
  while (l.in.find("\r\n\r\n") == std::string::npos) ASSERT_TRUE(l.more());
  l.in.erase(0, l.in.find("\r\n\r\n") + 4);
  std::string answer(60000, 'a');
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>(i * 7);
  ASSERT_EQ(60000, old->write(answer.data(), answer.size()));
  ASSERT_TRUE(old->output_pending());
  std::string first = frame(2, "one ");
  first[0] = 0x02;  // not the last fragment
  const std::string second = frame(0, "two");
  for (const std::string& part : {first, second.substr(0, 4)}) {  // two reads
    ASSERT_TRUE(l.put(part));
    EXPECT_EQ(-1, old->read(buf, sizeof(buf)));
  }
  std::string state;
  ASSERT_TRUE(old->carry_out(&state));
  old->handed_over();
  old.reset();

  hall_transport::CWsTransport fresh(new hall_transport::CTcpTransport(sv[0]));
  ASSERT_TRUE(fresh.carry_in(state));
  for (int i = 0; i < 1000 && fresh.output_pending(); ++i) {
    ASSERT_TRUE(l.more());
    ASSERT_EQ(0, fresh.flush());
  }
  int op = 0;
  std::string payload;
  ASSERT_TRUE(next_frame(l, &op, &payload));
  EXPECT_EQ(2, op);
  EXPECT_TRUE(payload == answer) << payload.size();
  ASSERT_TRUE(l.put(second.substr(4)));
  const ssize_t n = fresh.read(buf, sizeof(buf));
  EXPECT_EQ("one two", std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
  close(sv[0]);
}

}  // namespace
