// Load generator of the relay benchmarks: one process, one thread, epoll, up to several
// thousand TCP connections to 127.0.0.1.
//
//   load_gen --port P [--mode gateway|raw] [--conns N] [--body B] [--duration S]
//            [--warmup S] [--pid PID]... [--peer-pid PID]... [--id-base N] [--timeout-ms MS]
//            [--memory PID] [--settle-ms MS] [--host ADDR] [--source ADDR] [--hold] [--flood]
//            [--transport tcp|ws|wss|tls] [--ws-path PATH] [--tls-groups LIST] [--handshakes]
//
// Transport: tcp (the default) writes the packets on the socket; tls wraps the same bytes
// in TLS (OpenSSL, TLS 1.2 or 1.3, the server's certificate not verified: the peer is the
// benchmark's own); ws opens a WebSocket with the HTTP upgrade to --ws-path (default /)
// and sends each request as one masked binary message, reading the answers out of the
// binary messages whatever their boundaries; wss is ws over TLS. --tls-groups restricts
// the key exchange groups offered (e.g. X25519), so that two servers are met alike.
//
// Gateway mode: every connection speaks as its own client id (id-base + index). It sends
// command 2 (client id, text) enciphered as every client does, waits for the 0x1001 answer
// and sends again at once (closed loop). Its first packet registers the id with the
// gateway. Raw mode: the same request bytes go to an echo peer, and the round trip ends
// when the same bytes are back. B is the size of the request body (the packet minus its
// 9-byte header; at least 9).
//
// Load run: connect everything, run for the warm-up, then measure for the duration, then
// stop sending and let the answers in flight arrive (bounded). Prints one line of
// key=value pairs starting with "RESULT": round trips and their rate in the window,
// latency percentiles in microseconds, errors by kind, the CPU time of the --pid processes
// (the relay) over the window (from /proc/PID/stat) and per round trip, the same for the
// --peer-pid processes (the servers behind the relay), the generator's own CPU time, and the
// busy share of the whole machine (from /proc/stat), which shows contention.
// The counters satisfy sent = answered + lost + inflight, where lost requests died with
// their connection and inflight ones were still unanswered at exit.
//
// Memory run (--memory PID): reads the resident size of PID (VmRSS), opens every
// connection and leaves it idle (in gateway mode after registering: a command 2 whose
// text {"flow":0} names no client, so no answer comes back), reads it again, then makes
// one round trip on every connection and reads it a third time. Prints "MEMORY" with the
// sizes and the bytes per connection.
//
// Hold run (--hold): opens every connection (from --source when given, so that several
// generators spread over loopback source addresses), registers each id as the memory run
// does, prints "HOLD ready" with the time that took, then keeps them idle until standard
// input ends, closes them all at once and prints "HOLD released". The benchmark uses it to
// load a gateway with idle players while another generator measures the active ones.
//
// Flood run (--flood, gateway mode): one connection writes requests (client id id-base,
// text {"flow":0}, which names no client, so nothing is answered) as fast as the gateway
// takes them, for the warm-up and the duration, and prints "FLOOD" with the requests
// written and their rate, and whether the gateway closed the connection. The benchmark
// runs it beside a load run to see what one flooder does to the players.
//
// Handshake run (--handshakes, tls or wss): every connection connects, completes the TLS
// handshake (a full one: no session is resumed), closes and starts again, for the warm-up
// and then the duration. Prints "HANDSHAKES" with the handshakes completed in the window,
// their rate, the failures and the CPU time of the --pid processes.
//
// Exit status: 0 when at least one round trip succeeded, nothing failed and no request
// is left unanswered, 1 otherwise, 2 on bad arguments.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "packet_frame.h"
#include "proc_stat.h"

namespace {

struct Options {
  std::string mode = "gateway";
  std::string host = "127.0.0.1";
  std::string source;  // local address to connect from; empty: the kernel's choice
  bool hold = false;
  bool flood = false;
  int port = 0;
  int conns = 1;
  int body = 64;
  double duration = 5.0;
  double warmup = 1.0;
  std::vector<int> pids;       // the relay: its CPU time per round trip is reported
  std::vector<int> peer_pids;  // the servers behind it, reported apart
  int id_base = 100000;
  int timeout_ms = 3000;
  int memory_pid = 0;
  int settle_ms = 1000;
  std::string transport = "tcp";
  std::string ws_path = "/";
  std::string tls_groups;  // empty: OpenSSL's default groups
  bool handshakes = false;
  bool gateway() const { return mode == "gateway"; }
  bool tls() const { return transport == "tls" || transport == "wss"; }
  bool ws() const { return transport == "ws" || transport == "wss"; }
};

Options g_opt;
SSL_CTX* g_tls = nullptr;  // the client context of the tls and wss transports

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Busy and total jiffies of the whole machine from the first line of /proc/stat.
bool machine_ticks(unsigned long long* busy, unsigned long long* total) {
  FILE* f = fopen("/proc/stat", "r");
  if (f == nullptr) return false;
  unsigned long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int got =
      fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
  fclose(f);
  if (got < 4) return false;
  *total = 0;
  for (unsigned long long x : v) *total += x;
  *busy = *total - v[3] - v[4];  // minus idle and iowait
  return true;
}

// Resident size of a process in kB (VmRSS); -1 when it cannot be read.
long rss_kb(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/status", pid);
  FILE* f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof(line), f) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kb = atol(line + 6);
      break;
    }
  }
  fclose(f);
  return kb;
}

double cpu_seconds_self() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// One command-2 packet (client id, text), enciphered as a client sends it.
std::string build_request(int client_id, const std::string& text) {
  std::unique_ptr<NETOutputPacket> pkt(new NETOutputPacket);
  pkt->Begin(CLIENT_CMD_DATA_REQ);
  pkt->WriteInt(client_id);
  pkt->WriteString(text);
  pkt->End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(pkt.get());
  return std::string(pkt->packet_buf(), static_cast<size_t>(pkt->packet_size()));
}

// WebSocket framing of the client side, written here rather than taken from libwslay: the
// generator sends one fixed-shape frame per request and must spend as little CPU as it can
// per round trip, while wslay's event layer copies every message into its own queue and
// drives its own send loop. The gateway's side of the framing is the library's.
const char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string base64(const unsigned char* data, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(n));
  out.resize(static_cast<size_t>(len));
  return out;
}

// A masked client frame of `opcode` holding `payload`, with a fresh masking key.
std::string ws_frame(int opcode, const char* payload, size_t n) {
  std::string f;
  f.reserve(n + 14);
  f.push_back(static_cast<char>(0x80 | opcode));
  if (n < 126) {
    f.push_back(static_cast<char>(0x80 | n));
  } else if (n < 65536) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n & 0xFF));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8)
      f.push_back(static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF));
  }
  // The masking key from a fast generator seeded once: the key guards a browser's peers
  // against what a page makes it send, which a load generator does not need; OpenSSL's
  // RAND_bytes per frame took a microsecond of the two cores that the gateway under test
  // shares with this program.
  static uint64_t state = [] {
    uint64_t seed = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&seed), sizeof(seed));
    return seed | 1;
  }();
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  const uint64_t bits = state * 0x2545F4914F6CDD1DULL;
  unsigned char key[4];
  memcpy(key, &bits, sizeof(key));
  f.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ static_cast<char>(key[i & 3])));
  return f;
}

enum State { CONNECTING, TLS_HANDSHAKE, UPGRADING, READY, WAITING, DEAD };

bool opening(State s) { return s == CONNECTING || s == TLS_HANDSHAKE || s == UPGRADING; }

struct Conn {
  int fd = -1;
  int index = 0;
  State state = CONNECTING;
  std::string request;    // the packet of one round trip
  std::string out;        // bytes to write: the request as the transport carries it
  size_t sent_off = 0;    // bytes of `out` already written
  bool want_out = false;  // output interest is on while a write is blocked
  std::string in;         // received packet bytes not yet consumed
  std::string wire;       // ws: received bytes not yet unframed; the upgrade's answer first
  std::string ws_accept;  // the Sec-WebSocket-Accept value the upgrade must bring
  SSL* ssl = nullptr;
  long long sent_ns = 0;
};

struct TCounters {
  long long sent = 0;           // requests whose first byte went out
  long long registrations = 0;  // memory run: packets that expect no answer
  long long answered = 0;       // requests whose answer came back
  long long lost = 0;           // requests outstanding when their connection died
  long long connect_failed = 0;
  long long closed = 0;      // connections closed or reset by the peer
  long long bad_packet = 0;  // framing errors, wrong echo bytes
  long long bad_answer = 0;  // wrong command, checksum or status
  long long unexpected = 0;  // answers with no request outstanding
  long long timeouts = 0;    // requests unanswered for longer than --timeout-ms
  long long handshakes = 0;  // handshake run: TLS handshakes completed
  long long errors() const { return connect_failed + closed + bad_packet + bad_answer + unexpected + timeouts; }
};

class LoadGen {
 public:
  LoadGen() : buf_(65536) {}
  // Connections still open at the end go with their TLS state.
  ~LoadGen() {
    close_all();
    if (ep_ >= 0) close(ep_);
  }
  LoadGen(const LoadGen&) = delete;
  LoadGen& operator=(const LoadGen&) = delete;

  bool open_all() {
    ep_ = epoll_create1(0);
    if (ep_ < 0) return false;
    conns_.reserve(static_cast<size_t>(g_opt.conns));
    for (int i = 0; i < g_opt.conns; ++i) {
      std::unique_ptr<Conn> c(new Conn);
      c->index = i;
      conns_.push_back(std::move(c));
    }
    return true;
  }

  // Connects every connection, at most kConnectBatch at a time so that a short listen
  // backlog does not turn into SYN retries. Returns when all are connected or failed.
  void connect_all(double deadline) {
    size_t next = 0;
    int pending = 0;
    while (next < conns_.size() || pending > 0) {
      while (next < conns_.size() && pending < kConnectBatch) {
        if (start_connect(conns_[next].get())) ++pending;
        ++next;
      }
      if (now_s() > deadline) break;
      pending -= poll_once(50);
    }
    for (auto& c : conns_) {
      if (c->state == CONNECTING) {
        ++cnt_.connect_failed;
        kill(c.get(), false);
      }
    }
  }

  // Runs the event loop until `until`; with send_more every answer triggers the next
  // request. With stop_when_done it returns early once nothing is outstanding and
  // nothing more will be sent.
  void run_until(double until, bool send_more, bool stop_when_done = true) {
    send_more_ = send_more;
    double next_check = now_s() + 0.1;
    while (now_s() < until) {
      poll_once(10);
      double t = now_s();
      if (t >= next_check) {
        check_timeouts();
        next_check = t + 0.1;
      }
      if (stop_when_done && !send_more && outstanding() == 0) break;
    }
  }

  // Sends one request on every live connection that has none outstanding.
  void fire_all() {
    for (auto& c : conns_)
      if (c->state == READY) send_request(c.get());
  }

  void set_requests(bool registration) {
    for (auto& c : conns_) c->request = request_for(c->index, registration);
  }

  void start_window() {
    recording_ = true;
    samples_.clear();
    samples_.reserve(1 << 20);
    window_answered_ = 0;
  }
  void stop_window() { recording_ = false; }

  long long outstanding() const {
    long long n = 0;
    for (const auto& c : conns_)
      if (c->state == WAITING) ++n;
    return n;
  }
  int live() const {
    int n = 0;
    for (const auto& c : conns_)
      if (c->state == READY || c->state == WAITING) ++n;
    return n;
  }

  // Closes every connection at once (a crowd of players leaving together).
  // Handshake run: starts every connection; each one starts again when its handshake ends.
  void start_handshakes() {
    send_more_ = true;
    for (auto& c : conns_) start_connect(c.get());
  }

  void close_all() {
    for (auto& c : conns_)
      if (c->fd >= 0) kill(c.get(), false);
  }

  const TCounters& counters() const { return cnt_; }
  long long window_answered() const { return window_answered_; }
  std::vector<unsigned>& samples() { return samples_; }
  bool expect_answers() const { return expect_answers_; }
  void set_expect_answers(bool v) { expect_answers_ = v; }

 private:
  static const int kConnectBatch = 256;

  static std::string request_for(int index, bool registration) {
    int id = g_opt.id_base + index;
    if (registration) return build_request(id, "{\"flow\":0}");
    std::string text(static_cast<size_t>(g_opt.body - 9), 'x');
    return build_request(id, text);
  }

  bool start_connect(Conn* c) {
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (c->fd < 0) {
      ++cnt_.connect_failed;
      c->state = DEAD;
      return false;
    }
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!g_opt.source.empty() && !bind_source(c->fd)) {
      ++cnt_.connect_failed;
      kill(c, false);
      return false;
    }
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(g_opt.port));
    inet_pton(AF_INET, g_opt.host.c_str(), &sa.sin_addr);
    int r = connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    if (r != 0 && errno != EINPROGRESS) {
      ++cnt_.connect_failed;
      kill(c, false);
      return false;
    }
    c->state = CONNECTING;
    watch(c, EPOLLOUT, EPOLL_CTL_ADD);
    return true;
  }

  // Binds to the source address; the port is chosen at connect time, per destination, so
  // one source address offers its whole ephemeral range to every destination.
  static bool bind_source(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, g_opt.source.c_str(), &sa.sin_addr);
    return bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  }

  void watch(Conn* c, uint32_t events, int op) {
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = events;
    ev.data.ptr = c;
    epoll_ctl(ep_, op, c->fd, &ev);
  }

  // One epoll_wait and its dispatch; returns how many connects finished (either way).
  int poll_once(int timeout_ms) {
    epoll_event events[512];
    int n = epoll_wait(ep_, events, 512, timeout_ms);
    int finished = 0;
    for (int i = 0; i < n; ++i) {
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      uint32_t ev = events[i].events;
      const State before = c->state;
      if (before == DEAD) continue;
      if (before == CONNECTING) {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (ev & (EPOLLERR | EPOLLHUP))) {
          ++cnt_.connect_failed;
          kill(c, false);
        } else {
          begin_transport(c);
        }
      } else if (before == TLS_HANDSHAKE) {
        continue_tls(c);
      } else {
        if (ev & EPOLLOUT) write_more(c);
        if (c->state != DEAD && (ev & (EPOLLIN | EPOLLERR | EPOLLHUP))) read_some(c);
      }
      if (opening(before) && !opening(c->state)) ++finished;
    }
    return finished;
  }

  // The TCP connection is up: TLS first where the transport has it, then the upgrade.
  void begin_transport(Conn* c) {
    if (g_opt.tls()) {
      c->ssl = SSL_new(g_tls);
      if (c->ssl == nullptr || SSL_set_fd(c->ssl, c->fd) != 1) {
        ++cnt_.connect_failed;
        kill(c, false);
        return;
      }
      SSL_set_connect_state(c->ssl);
      c->state = TLS_HANDSHAKE;
      continue_tls(c);
      return;
    }
    after_tls(c);
  }

  void continue_tls(Conn* c) {
    ERR_clear_error();
    const int r = SSL_do_handshake(c->ssl);
    if (r == 1) {
      if (g_opt.handshakes) {
        ++cnt_.handshakes;
        if (recording_) ++window_answered_;
        kill(c, false);
        if (send_more_) start_connect(c);
        return;
      }
      after_tls(c);
      return;
    }
    const int err = SSL_get_error(c->ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      watch(c, err == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT, EPOLL_CTL_MOD);
      return;
    }
    ++cnt_.connect_failed;
    kill(c, false);
    if (g_opt.handshakes && send_more_) start_connect(c);
  }

  void after_tls(Conn* c) {
    c->state = g_opt.ws() ? UPGRADING : READY;
    watch(c, EPOLLIN, EPOLL_CTL_MOD);
    c->want_out = false;
    if (c->state == UPGRADING) start_upgrade(c);
  }

  // The opening handshake of RFC 6455: a GET with a random key; the answer must be 101
  // and carry the key's SHA-1 with the protocol's GUID, in base64.
  void start_upgrade(Conn* c) {
    unsigned char nonce[16];
    RAND_bytes(nonce, sizeof(nonce));
    const std::string key = base64(nonce, sizeof(nonce));
    const std::string keyed = key + kWsGuid;
    unsigned char sha[EVP_MAX_MD_SIZE];
    unsigned int sha_len = 0;
    EVP_Digest(keyed.data(), keyed.size(), sha, &sha_len, EVP_sha1(), nullptr);
    c->ws_accept = base64(sha, sha_len);
    queue_out(c, "GET " + g_opt.ws_path + " HTTP/1.1\r\nHost: " + g_opt.host + ":" + std::to_string(g_opt.port) +
                     "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                     "\r\nSec-WebSocket-Version: 13\r\n\r\n");
  }

  // Reads the answer to the upgrade; true once it is whole and good (any bytes behind it
  // stay in c->wire as the first frames).
  bool finish_upgrade(Conn* c) {
    const size_t end = c->wire.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (c->wire.size() > 8192) fail_upgrade(c);
      return false;
    }
    const std::string head = c->wire.substr(0, end + 2);
    c->wire.erase(0, end + 4);
    if (head.compare(0, 13, "HTTP/1.1 101 ") != 0 || head.find(": " + c->ws_accept + "\r\n") == std::string::npos) {
      fail_upgrade(c);
      return false;
    }
    c->ws_accept.clear();
    c->state = READY;
    return true;
  }

  void fail_upgrade(Conn* c) {
    ++cnt_.connect_failed;
    kill(c, false);
  }

  // Adds bytes to write behind what is still waiting, or in place of what has gone.
  void queue_out(Conn* c, const std::string& bytes) {
    if (c->sent_off < c->out.size()) {
      c->out += bytes;
    } else {
      c->out = bytes;
      c->sent_off = 0;
    }
    write_more(c);
  }

  // Unframes the server's messages in c->wire: data payloads go to c->in, a ping is
  // answered, a close or a protocol fault ends the connection. False when it ended.
  bool unframe(Conn* c) {
    std::string& w = c->wire;
    size_t at = 0;
    bool ok = true;
    while (ok && w.size() - at >= 2) {
      const unsigned char b0 = static_cast<unsigned char>(w[at]), b1 = static_cast<unsigned char>(w[at + 1]);
      uint64_t len = b1 & 0x7F;
      size_t head = 2;
      if (len == 126) head = 4;
      if (len == 127) head = 10;
      if (w.size() - at < head) break;
      if (head > 2) {
        len = 0;
        for (size_t i = 2; i < head; ++i) len = (len << 8) | static_cast<unsigned char>(w[at + i]);
      }
      const int opcode = b0 & 0x0F;
      // A server never masks; no message of the gateway comes near 1 MiB.
      if ((b1 & 0x80) != 0 || len > (1u << 20)) {
        ok = false;
        break;
      }
      if (w.size() - at - head < len) break;
      const char* payload = w.data() + at + head;
      if (opcode == 0 || opcode == 2) {
        c->in.append(payload, static_cast<size_t>(len));
      } else if (opcode == 9) {
        queue_out(c, ws_frame(0xA, payload, static_cast<size_t>(len)));
        if (c->state == DEAD) return false;
      } else if (opcode != 0xA) {
        ok = false;  // a close, or a text message where only binary ones are sent
      }
      at += head + static_cast<size_t>(len);
    }
    w.erase(0, at);
    if (!ok) {
      ++cnt_.closed;
      kill(c, true);
    }
    return ok;
  }

  // One read of the transport: bytes, 0 at the end of the stream, -1 when nothing is
  // there now, -2 on an error.
  ssize_t io_read(Conn* c, char* buf, size_t n) {
    if (c->ssl == nullptr) {
      const ssize_t r = recv(c->fd, buf, n, 0);
      if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -1 : -2;
      return r;
    }
    ERR_clear_error();
    const int r = SSL_read(c->ssl, buf, static_cast<int>(n));
    if (r > 0) return r;
    const int err = SSL_get_error(c->ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return -1;
    return err == SSL_ERROR_ZERO_RETURN ? 0 : -2;
  }

  ssize_t io_write(Conn* c, const char* buf, size_t n) {
    if (c->ssl == nullptr) {
      const ssize_t w = send(c->fd, buf, n, MSG_NOSIGNAL);
      if (w < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -1 : -2;
      return w;
    }
    ERR_clear_error();
    const int w = SSL_write(c->ssl, buf, static_cast<int>(n));
    if (w > 0) return w;
    const int err = SSL_get_error(c->ssl, w);
    return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) ? -1 : -2;
  }

  void send_request(Conn* c) {
    c->state = WAITING;
    c->sent_ns = now_ns();
    if (expect_answers_)
      ++cnt_.sent;
    else
      ++cnt_.registrations;
    queue_out(c, g_opt.ws() ? ws_frame(2, c->request.data(), c->request.size()) : c->request);
  }

  void write_more(Conn* c) {
    while (c->sent_off < c->out.size()) {
      ssize_t w = io_write(c, c->out.data() + c->sent_off, c->out.size() - c->sent_off);
      if (w == -1) {
        if (!c->want_out) watch(c, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        c->want_out = true;
        return;
      }
      if (w < 0) {
        ++cnt_.closed;
        kill(c, true);
        return;
      }
      c->sent_off += static_cast<size_t>(w);
    }
    if (c->want_out) {
      watch(c, EPOLLIN, EPOLL_CTL_MOD);
      c->want_out = false;
    }
    if (!expect_answers_ && c->state == WAITING) c->state = READY;
  }

  // One read on plain TCP (the poller reports what is left); TLS reads until the socket
  // is drained, as a record read whole may hold more than was asked for.
  void read_some(Conn* c) {
    for (;;) {
      ssize_t r = io_read(c, buf_.data(), buf_.size());
      if (r == -1) return;
      if (r <= 0) {
        if (c->state == UPGRADING)
          fail_upgrade(c);
        else
          ++cnt_.closed;
        kill(c, true);
        return;
      }
      take(c, static_cast<size_t>(r));
      if (c->ssl == nullptr || c->state == DEAD) return;
    }
  }

  void take(Conn* c, size_t n) {
    if (g_opt.ws()) {
      c->wire.append(buf_.data(), n);
      if (c->state == UPGRADING && !finish_upgrade(c)) return;
      if (!unframe(c)) return;
    } else {
      c->in.append(buf_.data(), n);
    }
    if (g_opt.gateway())
      consume_answers(c);
    else
      consume_echo(c);
  }

  void consume_echo(Conn* c) {
    while (c->state != DEAD && !c->in.empty()) {
      if (c->state != WAITING) {
        ++cnt_.unexpected;
        c->in.clear();
        return;
      }
      if (c->in.size() < c->request.size()) return;
      bool same = memcmp(c->in.data(), c->request.data(), c->request.size()) == 0;
      c->in.erase(0, c->request.size());
      if (!same) {
        ++cnt_.bad_packet;
        kill(c, true);
        return;
      }
      complete(c);
    }
  }

  void consume_answers(Conn* c) {
    while (c->state != DEAD) {
      const TFrame frame = frame_packet(c->in.data(), c->in.size(), PACKET_BUFFER_SIZE, true);
      if (frame.status == FRAME_NEED_MORE) return;
      if (frame.status != FRAME_WHOLE) {
        ++cnt_.bad_packet;
        kill(c, true);
        return;
      }
      const int total = frame.size;
      char* pkt = &c->in[0];
      bool ok = pkg_cmd(pkt) == SERVER_CMD_REP && CEncryptDecrypt::DecryptPacket(pkt, total) >= 0 &&
                total >= PACKET_HEADER_SIZE + 4 && pkg_get_i32(pkt + PACKET_HEADER_SIZE) == 0;
      c->in.erase(0, static_cast<size_t>(total));
      if (!ok) {
        ++cnt_.bad_answer;
        continue;
      }
      if (c->state != WAITING) {
        ++cnt_.unexpected;
        continue;
      }
      complete(c);
    }
  }

  void complete(Conn* c) {
    long long t = now_ns();
    ++cnt_.answered;
    c->state = READY;
    if (recording_) {
      ++window_answered_;
      long long d = t - c->sent_ns;
      samples_.push_back(d > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<unsigned>(d));
    }
    if (send_more_) send_request(c);
  }

  void check_timeouts() {
    if (!expect_answers_) return;
    long long limit = now_ns() - static_cast<long long>(g_opt.timeout_ms) * 1000000LL;
    for (auto& c : conns_) {
      if (c->state == WAITING && c->sent_ns < limit) {
        ++cnt_.timeouts;
        kill(c.get(), true);
      }
    }
  }

  // Closes a connection for good; its outstanding request, if any, counts as lost.
  void kill(Conn* c, bool count_lost) {
    if (count_lost && c->state == WAITING) ++cnt_.lost;
    if (c->ssl != nullptr) SSL_free(c->ssl);
    c->ssl = nullptr;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
    c->state = DEAD;
    c->want_out = false;
    c->sent_off = 0;
    std::string().swap(c->in);
    std::string().swap(c->out);
    std::string().swap(c->wire);
  }

  int ep_ = -1;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::vector<char> buf_;
  std::vector<unsigned> samples_;  // latencies in ns of the answers in the window
  TCounters cnt_;
  long long window_answered_ = 0;
  bool recording_ = false;
  bool send_more_ = false;
  bool expect_answers_ = true;
};

double percentile_us(const std::vector<unsigned>& sorted, double q) {
  if (sorted.empty()) return 0.0;
  size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[std::min(i, sorted.size() - 1)]) / 1000.0;
}

void print_counters(const TCounters& c, long long inflight) {
  printf(
      " sent=%lld answered=%lld lost=%lld inflight=%lld errors=%lld connect_failed=%lld closed=%lld"
      " bad_packet=%lld bad_answer=%lld unexpected=%lld timeouts=%lld",
      c.sent, c.answered, c.lost, inflight, c.errors(), c.connect_failed, c.closed, c.bad_packet, c.bad_answer,
      c.unexpected, c.timeouts);
}

// CPU time of a set of processes between start() and stop(), from /proc/PID/stat.
class CpuWatch {
 public:
  explicit CpuWatch(const std::vector<int>& pids) : pids_(pids), t0_(pids.size()), t1_(pids.size()) {}
  void start() {
    for (size_t i = 0; i < pids_.size(); ++i) t0_[i] = proc_cpu_ticks(pids_[i]);
  }
  void stop() {
    for (size_t i = 0; i < pids_.size(); ++i) t1_[i] = proc_cpu_ticks(pids_[i]);
  }
  // " <name>_ms_PID=..." for each process, then the sum as "<name>_ms", "<name>_share"
  // (of one core) and "<name>_us_per_rt"; nothing when no process was given.
  void print(const char* name, double window, long long rt) const {
    if (pids_.empty()) return;
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double sum = 0;
    bool ok = true;
    for (size_t i = 0; i < pids_.size(); ++i) {
      if (t0_[i] < 0 || t1_[i] < 0) {
        ok = false;
        printf(" %s_ms_%d=NA", name, pids_[i]);
        continue;
      }
      double cpu = static_cast<double>(t1_[i] - t0_[i]) / tick;
      sum += cpu;
      printf(" %s_ms_%d=%.0f", name, pids_[i], cpu * 1000.0);
    }
    if (ok)
      printf(" %s_ms=%.0f %s_share=%.3f %s_us_per_rt=%.2f", name, sum * 1000.0, name, sum / window, name,
             rt > 0 ? sum * 1e6 / static_cast<double>(rt) : 0.0);
  }

 private:
  std::vector<int> pids_;
  std::vector<long long> t0_, t1_;
};

int run_load() {
  LoadGen gen;
  if (!gen.open_all()) return 1;
  gen.set_requests(false);
  gen.connect_all(now_s() + 10.0);
  double t0 = now_s();
  gen.fire_all();
  gen.run_until(t0 + g_opt.warmup, true);

  CpuWatch relay(g_opt.pids), peers(g_opt.peer_pids);
  relay.start();
  peers.start();
  unsigned long long busy0 = 0, total0 = 0, busy1 = 0, total1 = 0;
  bool have_machine = machine_ticks(&busy0, &total0);
  double self0 = cpu_seconds_self();
  double w0 = now_s();
  gen.start_window();
  gen.run_until(w0 + g_opt.duration, true);
  gen.stop_window();
  double w1 = now_s();
  double self1 = cpu_seconds_self();
  have_machine = machine_ticks(&busy1, &total1) && have_machine;
  relay.stop();
  peers.stop();

  // Let the answers in flight arrive so that every request is accounted for: a request
  // sent just before the window closed is waited for up to its whole time-out (and a
  // check after it), so that one whose answer never comes counts as timed out.
  gen.run_until(now_s() + g_opt.timeout_ms / 1000.0 + 0.25, false);

  double window = w1 - w0;
  long long rt = gen.window_answered();
  std::vector<unsigned>& s = gen.samples();
  std::sort(s.begin(), s.end());
  const TCounters& c = gen.counters();
  printf(
      "RESULT mode=%s conns=%d live=%d body=%d window_s=%.3f rt=%lld samples=%zu rps=%.1f p50_us=%.1f "
      "p99_us=%.1f p999_us=%.1f max_us=%.1f",
      g_opt.mode.c_str(), g_opt.conns, gen.live(), g_opt.body, window, rt, s.size(), rt / window,
      percentile_us(s, 0.50), percentile_us(s, 0.99), percentile_us(s, 0.999), s.empty() ? 0.0 : s.back() / 1000.0);
  print_counters(c, gen.outstanding());
  relay.print("cpu", window, rt);
  peers.print("peer_cpu", window, rt);
  printf(" gen_cpu_share=%.3f", (self1 - self0) / window);
  if (have_machine && total1 > total0)
    printf(" machine_busy=%.3f", static_cast<double>(busy1 - busy0) / static_cast<double>(total1 - total0));
  printf("\n");
  fflush(stdout);
  return (c.errors() == 0 && rt > 0 && gen.outstanding() == 0) ? 0 : 1;
}

int run_memory() {
  int pid = g_opt.memory_pid;
  long base = rss_kb(pid);
  if (base < 0) {
    fprintf(stderr, "load_gen: cannot read the resident size of pid %d\n", pid);
    return 1;
  }
  LoadGen gen;
  if (!gen.open_all()) return 1;
  gen.connect_all(now_s() + 30.0);
  if (g_opt.gateway()) {
    // Register every id without an answer: the text names flow 0, which no client has.
    gen.set_requests(true);
    gen.set_expect_answers(false);
    gen.fire_all();
  }
  // The relay accepts, connects onwards and handles the registrations in its own time.
  gen.run_until(now_s() + g_opt.settle_ms / 1000.0, false, false);
  long idle = rss_kb(pid);
  int idle_live = gen.live();

  gen.set_requests(false);
  gen.set_expect_answers(true);
  gen.fire_all();
  gen.run_until(now_s() + g_opt.timeout_ms / 1000.0 + 1.0, false);
  gen.run_until(now_s() + g_opt.settle_ms / 1000.0, false, false);
  long after = rss_kb(pid);
  const TCounters& c = gen.counters();
  double n = g_opt.conns > 0 ? g_opt.conns : 1;
  printf(
      "MEMORY mode=%s pid=%d conns=%d live=%d body=%d rss_base_kb=%ld rss_idle_kb=%ld rss_rt_kb=%ld "
      "idle_bytes_per_conn=%.0f rt_bytes_per_conn=%.0f",
      g_opt.mode.c_str(), pid, g_opt.conns, idle_live, g_opt.body, base, idle, after, (idle - base) * 1024.0 / n,
      (after - base) * 1024.0 / n);
  print_counters(c, gen.outstanding());
  printf(" registrations=%lld\n", c.registrations);
  fflush(stdout);
  return (c.errors() == 0 && c.answered == g_opt.conns) ? 0 : 1;
}

int run_hold() {
  LoadGen gen;
  if (!gen.open_all()) return 1;
  const double t0 = now_s();
  gen.connect_all(t0 + 60.0);
  if (g_opt.gateway()) {
    gen.set_requests(true);
    gen.set_expect_answers(false);
    gen.fire_all();
    // Returns once every registration is written.
    gen.run_until(now_s() + 60.0, false);
  }
  const double t1 = now_s();
  const TCounters& c = gen.counters();
  printf("HOLD ready conns=%d live=%d connect_ms=%.0f", g_opt.conns, gen.live(), (t1 - t0) * 1000.0);
  print_counters(c, gen.outstanding());
  printf("\n");
  fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  // Whatever the gateway closed meanwhile shows up as closed in the last line.
  gen.run_until(now_s() + 0.05, false, false);
  const int live = gen.live();
  const double t2 = now_s();
  gen.close_all();
  printf("HOLD released live=%d close_ms=%.1f", live, (now_s() - t2) * 1000.0);
  print_counters(c, 0);
  printf("\n");
  fflush(stdout);
  return c.errors() == 0 ? 0 : 1;
}

int run_flood() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(g_opt.port));
  inet_pton(AF_INET, g_opt.host.c_str(), &a.sin_addr);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    printf("FLOOD failed=connect\n");
    return 1;
  }
  // Writes block at most a moment, so that the end of the run is kept.
  timeval slice{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof(slice));
  std::string text = "{\"flow\":0}";
  const int extra = g_opt.body - 8 - static_cast<int>(text.size()) - 1;
  if (extra > 0) text.insert(text.size() - 1, ",\"pad\":\"" + std::string(static_cast<size_t>(extra), 'f') + "\"");
  const std::string one = build_request(g_opt.id_base, text);
  std::string burst;
  for (int i = 0; i < 64; ++i) burst += one;
  const double end = now_s() + g_opt.warmup + g_opt.duration;
  const double t0 = now_s();
  long long bytes = 0;
  int closed = 0;  // the errno of the write that found the connection closed
  size_t at = 0;   // a write cut short by the time-out goes on where it stopped
  while (now_s() < end) {
    const ssize_t n = send(fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL);
    if (n > 0) {
      bytes += n;
      at = (at + static_cast<size_t>(n)) % burst.size();
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      closed = errno;
      break;
    }
  }
  const double secs = now_s() - t0;
  const long long sent = bytes / static_cast<long long>(one.size());
  printf("FLOOD sent=%lld rate=%.0f closed=%d%s%s\n", sent, secs > 0 ? sent / secs : 0.0, closed != 0 ? 1 : 0,
         closed != 0 ? " error=" : "", closed != 0 ? strerror(closed) : "");
  close(fd);
  return 0;
}

int run_handshakes() {
  LoadGen gen;
  if (!gen.open_all()) return 1;
  gen.start_handshakes();
  gen.run_until(now_s() + g_opt.warmup, true, false);
  CpuWatch relay(g_opt.pids);
  relay.start();
  const long long failed0 = gen.counters().connect_failed;
  const double w0 = now_s();
  gen.start_window();
  gen.run_until(w0 + g_opt.duration, true, false);
  gen.stop_window();
  const double window = now_s() - w0;
  relay.stop();
  const long long done = gen.window_answered(), failed = gen.counters().connect_failed - failed0;
  gen.close_all();
  printf("HANDSHAKES transport=%s conns=%d window_s=%.3f handshakes=%lld rate=%.1f failed=%lld",
         g_opt.transport.c_str(), g_opt.conns, window, done, done / window, failed);
  relay.print("cpu", window, done);
  printf("\n");
  fflush(stdout);
  return done > 0 && gen.counters().connect_failed == 0 ? 0 : 1;
}

// The client context of the TLS transports: TLS 1.2 or 1.3, no certificate check (the
// server is the benchmark's own, on loopback), partial writes so that a blocked write
// continues where it stopped, read-ahead.
bool init_tls() {
  g_tls = SSL_CTX_new(TLS_client_method());
  if (g_tls == nullptr || SSL_CTX_set_min_proto_version(g_tls, TLS1_2_VERSION) != 1) return false;
  SSL_CTX_set_verify(g_tls, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(g_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Whole records in one read where they have arrived, not a header and a body apart: the
  // generator's system calls are not what is measured.
  SSL_CTX_set_read_ahead(g_tls, 1);
  SSL_CTX_set_session_cache_mode(g_tls, SSL_SESS_CACHE_OFF);
  if (!g_opt.tls_groups.empty() && SSL_CTX_set1_groups_list(g_tls, g_opt.tls_groups.c_str()) != 1) {
    fprintf(stderr, "load_gen: unknown TLS groups '%s'\n", g_opt.tls_groups.c_str());
    return false;
  }
  return true;
}

void usage() {
  fprintf(stderr,
          "usage: load_gen --port P [--mode gateway|raw] [--conns N] [--body B] [--duration S]\n"
          "                [--warmup S] [--pid PID]... [--peer-pid PID]... [--id-base N]\n"
          "                [--timeout-ms MS] [--memory PID] [--settle-ms MS] [--host ADDR]\n"
          "                [--source ADDR] [--hold] [--flood] [--transport tcp|ws|wss|tls] [--ws-path PATH]\n"
          "                [--tls-groups LIST] [--handshakes]\n");
}

bool parse_args(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--hold") {
      g_opt.hold = true;
      continue;
    }
    if (a == "--flood") {
      g_opt.flood = true;
      continue;
    }
    if (a == "--handshakes") {
      g_opt.handshakes = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--mode") {
      g_opt.mode = v;
    } else if (a == "--host") {
      g_opt.host = v;
    } else if (a == "--source") {
      g_opt.source = v;
    } else if (a == "--port") {
      g_opt.port = atoi(v);
    } else if (a == "--conns") {
      g_opt.conns = atoi(v);
    } else if (a == "--body") {
      g_opt.body = atoi(v);
    } else if (a == "--duration") {
      g_opt.duration = atof(v);
    } else if (a == "--warmup") {
      g_opt.warmup = atof(v);
    } else if (a == "--pid") {
      g_opt.pids.push_back(atoi(v));
    } else if (a == "--peer-pid") {
      g_opt.peer_pids.push_back(atoi(v));
    } else if (a == "--id-base") {
      g_opt.id_base = atoi(v);
    } else if (a == "--timeout-ms") {
      g_opt.timeout_ms = atoi(v);
    } else if (a == "--memory") {
      g_opt.memory_pid = atoi(v);
    } else if (a == "--settle-ms") {
      g_opt.settle_ms = atoi(v);
    } else if (a == "--transport") {
      g_opt.transport = v;
    } else if (a == "--ws-path") {
      g_opt.ws_path = v;
    } else if (a == "--tls-groups") {
      g_opt.tls_groups = v;
    } else {
      return false;
    }
  }
  in_addr probe;
  const bool transport_ok = g_opt.transport == "tcp" || g_opt.tls() || g_opt.ws();
  const bool path_ok =
      !g_opt.ws_path.empty() && g_opt.ws_path[0] == '/' && g_opt.ws_path.find_first_of(" \r\n") == std::string::npos;
  return transport_ok && path_ok && (!g_opt.handshakes || g_opt.tls()) &&
         (g_opt.mode == "gateway" || g_opt.mode == "raw") && g_opt.port > 0 && g_opt.port < 65536 && g_opt.conns > 0 &&
         g_opt.conns <= 60000 && g_opt.body >= 9 && g_opt.body <= 8000 - 9 && g_opt.duration > 0 && g_opt.warmup >= 0 &&
         g_opt.id_base > 0 && g_opt.timeout_ms > 0 && g_opt.settle_ms >= 0 &&
         inet_pton(AF_INET, g_opt.host.c_str(), &probe) == 1 &&
         (g_opt.source.empty() || inet_pton(AF_INET, g_opt.source.c_str(), &probe) == 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!parse_args(argc, argv)) {
    usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (g_opt.tls() && !init_tls()) {
    ERR_print_errors_fp(stderr);
    return 2;
  }
  if (g_opt.handshakes) return run_handshakes();
  if (g_opt.hold) return run_hold();
  if (g_opt.flood) return run_flood();
  return g_opt.memory_pid > 0 ? run_memory() : run_load();
}
