// Load generator of the relay benchmarks: one process, one thread, epoll, up to several
// thousand TCP connections to 127.0.0.1.
//
//   load_gen --port P [--mode gateway|raw] [--conns N] [--body B] [--duration S]
//            [--warmup S] [--pid PID]... [--peer-pid PID]... [--id-base N] [--timeout-ms MS]
//            [--memory PID] [--settle-ms MS] [--host ADDR] [--source ADDR] [--hold] [--flood]
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

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "packet_frame.h"

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
  bool gateway() const { return mode == "gateway"; }
};

Options g_opt;

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

// utime + stime of a process in clock ticks; -1 when it cannot be read.
long long proc_cpu_ticks(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[2048];
  size_t n = fread(line, 1, sizeof(line) - 1, f);
  fclose(f);
  line[n] = 0;
  // The command name may hold spaces and parentheses: the fields start after the last ')'.
  const char* p = strrchr(line, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  // Fields after ')': state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime(14) stime(15).
  if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return -1;
  return static_cast<long long>(utime + stime);
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

enum State { CONNECTING, READY, WAITING, DEAD };

struct Conn {
  int fd = -1;
  int index = 0;
  State state = CONNECTING;
  std::string request;    // the bytes of one round trip
  size_t sent_off = 0;    // bytes of the current request already written
  bool want_out = false;  // output interest is on while a write is blocked
  std::string in;         // received bytes not yet consumed
  long long sent_ns = 0;
};

struct Counters {
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
  long long errors() const { return connect_failed + closed + bad_packet + bad_answer + unexpected + timeouts; }
};

class LoadGen {
 public:
  LoadGen() : buf_(65536) {}

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
  void close_all() {
    for (auto& c : conns_)
      if (c->fd >= 0) kill(c.get(), false);
  }

  const Counters& counters() const { return cnt_; }
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
      if (c->state == DEAD) continue;
      if (c->state == CONNECTING) {
        ++finished;
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (ev & (EPOLLERR | EPOLLHUP))) {
          ++cnt_.connect_failed;
          kill(c, false);
          continue;
        }
        c->state = READY;
        watch(c, EPOLLIN, EPOLL_CTL_MOD);
        continue;
      }
      if (ev & EPOLLOUT) write_more(c);
      if (c->state != DEAD && (ev & (EPOLLIN | EPOLLERR | EPOLLHUP))) read_some(c);
    }
    return finished;
  }

  void send_request(Conn* c) {
    c->sent_off = 0;
    c->state = WAITING;
    c->sent_ns = now_ns();
    if (expect_answers_)
      ++cnt_.sent;
    else
      ++cnt_.registrations;
    write_more(c);
  }

  void write_more(Conn* c) {
    while (c->sent_off < c->request.size()) {
      ssize_t w = send(c->fd, c->request.data() + c->sent_off, c->request.size() - c->sent_off, MSG_NOSIGNAL);
      if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
          if (!c->want_out) watch(c, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
          c->want_out = true;
          return;
        }
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

  void read_some(Conn* c) {
    ssize_t r = recv(c->fd, buf_.data(), buf_.size(), 0);
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      ++cnt_.closed;
      kill(c, true);
      return;
    }
    if (r == 0) {
      ++cnt_.closed;
      kill(c, true);
      return;
    }
    c->in.append(buf_.data(), static_cast<size_t>(r));
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
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
    c->state = DEAD;
    std::string().swap(c->in);
  }

  int ep_ = -1;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::vector<char> buf_;
  std::vector<unsigned> samples_;  // latencies in ns of the answers in the window
  Counters cnt_;
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

void print_counters(const Counters& c, long long inflight) {
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
  const Counters& c = gen.counters();
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
  const Counters& c = gen.counters();
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
  const Counters& c = gen.counters();
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

void usage() {
  fprintf(stderr,
          "usage: load_gen --port P [--mode gateway|raw] [--conns N] [--body B] [--duration S]\n"
          "                [--warmup S] [--pid PID]... [--peer-pid PID]... [--id-base N]\n"
          "                [--timeout-ms MS] [--memory PID] [--settle-ms MS] [--host ADDR]\n"
          "                [--source ADDR] [--hold] [--flood]\n");
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
    } else {
      return false;
    }
  }
  in_addr probe;
  return (g_opt.mode == "gateway" || g_opt.mode == "raw") && g_opt.port > 0 && g_opt.port < 65536 && g_opt.conns > 0 &&
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
  if (g_opt.hold) return run_hold();
  if (g_opt.flood) return run_flood();
  return g_opt.memory_pid > 0 ? run_memory() : run_load();
}
