// soak_client: many gateway clients that connect, send and disconnect at random, and
// account for every request and answer. Driven by scripts/soak.sh.
//
//   soak_client -p PORT [-n CLIENTS] [-d SECONDS] [-a ANSWERS] [-r RATE] [-s SEED]
//               [-i FIRST_ID] -o REPORT
//
// Each of CLIENTS slots is, at any time, closed, connecting or open. Every 10 ms a closed
// slot may connect; an open one may send a request (command 2 with a client id that is
// unique to the connection and a text of random length), and now and then it leaves:
// gracefully (stops sending, waits until every request got its ANSWERS answers, then
// closes) or abruptly (closes at once, answers unread). RATE is the mean number of
// requests per second of an open connection (default 1). After SECONDS everything still
// open leaves gracefully.
//
// REPORT gets one line per connection: "conn id=ID sent=N answers=M mode=MODE", MODE one
// of graceful, abrupt, dropped (closed by the gateway), missing (a graceful leave that
// waited 15 s for answers in vain), failed (connect failed). A request counts as sent
// once its last byte was written. Standard output gets one summary line of key=value
// pairs. Exit status 0 when every graceful connection got all its answers, every answer
// was well formed, none came twice and the gateway dropped no connection; 1 otherwise; 2 on bad usage.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "packet_frame.h"

namespace {

enum State { CLOSED, CONNECTING, OPEN, LEAVING };

struct Slot {
  int fd = -1;
  State state = CLOSED;
  int id = 0;
  long sent = 0;
  long answers = 0;
  std::string out;           // bytes not yet written
  std::vector<size_t> ends;  // offsets in `out` where a request ends
  std::string in;
  int64_t leave_deadline = 0;
};

struct Totals {
  long connections = 0, connect_failed = 0, requests = 0, answers = 0, bad_answers = 0;
  long graceful = 0, abrupt = 0, dropped = 0, missing = 0, missing_answers = 0, extra_answers = 0;
};

struct Options {
  int port = 0;
  int clients = 300;
  double seconds = 60;
  int answers_per_request = 2;
  double rate = 1.0;
  unsigned seed = 1;
  int first_id = 1000000;
  std::string report;
};

int64_t now_ms() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

std::string request(int id, const std::string& text) {
  std::string body(8, '\0');
  pkg_put_i32(&body[0], id);
  pkg_put_i32(&body[4], static_cast<int>(text.size() + 1));
  body += text;
  body += '\0';
  std::string p(PACKET_HEADER_SIZE, '\0');
  pkg_put_u16(&p[0], static_cast<unsigned short>(body.size() + 7));
  p[2] = 'T';
  p[3] = 'Q';
  p[4] = 1;
  p[5] = 1;
  pkg_put_u16(&p[6], 0x0002);
  unsigned char sum = 0;
  for (char& c : body) {
    sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    c = static_cast<char>(CEncryptDecrypt::MapSendByte(static_cast<unsigned char>(c)));
  }
  p[8] = static_cast<char>(static_cast<unsigned char>(256 - sum));
  return p + body;
}

class Soak {
 public:
  explicit Soak(const Options& o) : opt_(o), rng_(o.seed), slots_(static_cast<size_t>(o.clients)) {
    report_ = std::fopen(o.report.c_str(), "w");
    ep_ = epoll_create1(0);
    next_id_ = o.first_id;
  }
  ~Soak() {
    if (report_ != nullptr) std::fclose(report_);
    close(ep_);
  }
  bool ok() const { return report_ != nullptr && ep_ >= 0; }
  int run();

 private:
  double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }
  void open_slot(Slot& s);
  void finish(Slot& s, const char* mode);
  void send_request(Slot& s);
  bool flush(Slot& s);
  void on_event(Slot& s, uint32_t ev);
  void read_answers(Slot& s);
  void watch(Slot& s, bool want_out);

  Options opt_;
  std::mt19937 rng_;
  std::vector<Slot> slots_;
  FILE* report_ = nullptr;
  int ep_ = -1;
  int next_id_ = 0;
  long seq_ = 0;
  Totals t_;
};

void Soak::watch(Slot& s, bool want_out) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  if (want_out) ev.events |= EPOLLOUT;
  ev.data.u32 = static_cast<uint32_t>(&s - &slots_[0]);
  epoll_ctl(ep_, EPOLL_CTL_MOD, s.fd, &ev);
}

void Soak::open_slot(Slot& s) {
  s = Slot();
  s.id = next_id_++;
  s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(opt_.port));
  ++t_.connections;
  if (s.fd < 0 || (connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS)) {
    finish(s, "failed");
    return;
  }
  int one = 1;
  setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u32 = static_cast<uint32_t>(&s - &slots_[0]);
  epoll_ctl(ep_, EPOLL_CTL_ADD, s.fd, &ev);
  s.state = CONNECTING;
}

void Soak::finish(Slot& s, const char* mode) {
  if (std::strcmp(mode, "failed") == 0) ++t_.connect_failed;
  if (std::strcmp(mode, "graceful") == 0) ++t_.graceful;
  if (std::strcmp(mode, "abrupt") == 0) ++t_.abrupt;
  if (std::strcmp(mode, "dropped") == 0) ++t_.dropped;
  if (std::strcmp(mode, "missing") == 0) {
    ++t_.missing;
    t_.missing_answers += s.sent * opt_.answers_per_request - s.answers;
  }
  if (s.answers > s.sent * opt_.answers_per_request) t_.extra_answers += s.answers - s.sent * opt_.answers_per_request;
  std::fprintf(report_, "conn id=%d sent=%ld answers=%ld mode=%s\n", s.id, s.sent, s.answers, mode);
  if (s.fd >= 0) close(s.fd);  // also takes it out of the epoll set
  s.fd = -1;
  s.state = CLOSED;
}

// Writes what it can; counts requests whose last byte went out. False on a broken link.
bool Soak::flush(Slot& s) {
  while (!s.out.empty()) {
    ssize_t n = send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    size_t done = static_cast<size_t>(n);
    s.out.erase(0, done);
    size_t k = 0;
    while (k < s.ends.size() && s.ends[k] <= done) ++k;
    s.sent += static_cast<long>(k);
    t_.requests += static_cast<long>(k);
    s.ends.erase(s.ends.begin(), s.ends.begin() + static_cast<long>(k));
    for (size_t& e : s.ends) e -= done;
  }
  watch(s, !s.out.empty());
  return true;
}

void Soak::send_request(Slot& s) {
  const size_t pad = static_cast<size_t>(uniform() * 300);
  ++seq_;
  std::string text = "seq=" + std::to_string(seq_) + " " + std::string(pad, static_cast<char>('a' + seq_ % 26));
  s.out += request(s.id, text);
  s.ends.push_back(s.out.size());
  if (!flush(s)) finish(s, "dropped");
}

// Cuts whole answers out of the input, counting those that are not a valid answer.
void Soak::read_answers(Slot& s) {
  for (;;) {
    const TFrame frame = frame_packet(s.in.data(), s.in.size(), PACKET_BUFFER_SIZE, true);
    if (frame.status == FRAME_NEED_MORE) return;
    if (frame.status != FRAME_WHOLE) {
      ++t_.bad_answers;
      s.in.clear();
      return;
    }
    const size_t total = static_cast<size_t>(frame.size);
    unsigned char sum = static_cast<unsigned char>(s.in[8]);
    std::string body = s.in.substr(PACKET_HEADER_SIZE, total - PACKET_HEADER_SIZE);
    for (char& c : body) {
      c = static_cast<char>(CEncryptDecrypt::MapRecvByte(static_cast<unsigned char>(c)));
      sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    }
    const bool good = pkg_cmd(s.in.data()) == 0x1001 && sum == 0 && body.size() >= 8 && pkg_get_i32(body.data()) == 0 &&
                      body.compare(8, 8, "ok from ") == 0;
    if (good) {
      ++s.answers;
      ++t_.answers;
    } else {
      ++t_.bad_answers;
    }
    s.in.erase(0, total);
  }
}

void Soak::on_event(Slot& s, uint32_t ev) {
  if (s.state == CONNECTING) {
    int err = 0;
    socklen_t len = sizeof(err);
    getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      finish(s, "failed");
      return;
    }
    s.state = OPEN;
    watch(s, false);
    return;
  }
  if (ev & EPOLLOUT) {
    if (!flush(s)) {
      finish(s, "dropped");
      return;
    }
  }
  if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    char buf[16384];
    for (;;) {
      ssize_t n = recv(s.fd, buf, sizeof(buf), 0);
      if (n > 0) {
        s.in.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      read_answers(s);
      finish(s, "dropped");
      return;
    }
    read_answers(s);
  }
}

int Soak::run() {
  const int64_t start = now_ms();
  const int64_t end = start + static_cast<int64_t>(opt_.seconds * 1000);
  // Per 10 ms tick: a closed slot connects within about half a second on average, an
  // open one leaves after about 10 s on average.
  const double p_connect = 0.02, p_leave = 0.001, p_send = opt_.rate / 100.0;
  bool ending = false;
  int64_t next_tick = start;
  epoll_event evs[256];
  for (;;) {
    const int64_t now = now_ms();
    if (!ending && now >= end) {
      ending = true;
      for (Slot& s : slots_) {
        if (s.state == CONNECTING) finish(s, "abrupt");
        if (s.state == OPEN) {
          s.state = LEAVING;
          s.leave_deadline = now + 15000;
        }
      }
    }
    if (now >= next_tick) {
      next_tick = now + 10;
      bool busy = false;
      for (Slot& s : slots_) {
        if (s.state == CLOSED && !ending && uniform() < p_connect) open_slot(s);
        if (s.state == OPEN) {
          if (uniform() < p_leave) {
            if (uniform() < 0.3) {
              finish(s, "abrupt");
              continue;
            }
            s.state = LEAVING;
            s.leave_deadline = now + 15000;
          } else if (uniform() < p_send) {
            send_request(s);
          }
        }
        if (s.state == LEAVING) {
          if (s.out.empty() && s.answers >= s.sent * opt_.answers_per_request)
            finish(s, "graceful");
          else if (now >= s.leave_deadline)
            finish(s, "missing");
        }
        if (s.state != CLOSED) busy = true;
      }
      if (ending && !busy) break;
    }
    const int wait = static_cast<int>(next_tick > now_ms() ? next_tick - now_ms() : 0);
    const int n = epoll_wait(ep_, evs, 256, wait);
    for (int i = 0; i < n; ++i) {
      Slot& s = slots_[evs[i].data.u32];
      if (s.fd >= 0) on_event(s, evs[i].events);
    }
  }
  std::printf(
      "soak_client seconds=%.0f connections=%ld connect_failed=%ld requests=%ld answers=%ld bad_answers=%ld "
      "graceful=%ld abrupt=%ld dropped=%ld missing=%ld missing_answers=%ld extra_answers=%ld\n",
      (now_ms() - start) / 1000.0, t_.connections, t_.connect_failed, t_.requests, t_.answers, t_.bad_answers,
      t_.graceful, t_.abrupt, t_.dropped, t_.missing, t_.missing_answers, t_.extra_answers);
  const bool clean =
      t_.bad_answers == 0 && t_.dropped == 0 && t_.missing == 0 && t_.connect_failed == 0 && t_.extra_answers == 0;
  return clean ? 0 : 1;
}

void usage() {
  std::fprintf(stderr,
               "usage: soak_client -p PORT [-n CLIENTS] [-d SECONDS] [-a ANSWERS] [-r RATE] [-s SEED] "
               "[-i FIRST_ID] -o REPORT\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int c;
  while ((c = getopt(argc, argv, "p:n:d:a:r:s:i:o:")) != -1) {
    switch (c) {
      case 'p':
        o.port = std::atoi(optarg);
        break;
      case 'n':
        o.clients = std::atoi(optarg);
        break;
      case 'd':
        o.seconds = std::atof(optarg);
        break;
      case 'a':
        o.answers_per_request = std::atoi(optarg);
        break;
      case 'r':
        o.rate = std::atof(optarg);
        break;
      case 's':
        o.seed = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10));
        break;
      case 'i':
        o.first_id = std::atoi(optarg);
        break;
      case 'o':
        o.report = optarg;
        break;
      default:
        usage();
        return 2;
    }
  }
  if (o.port <= 0 || o.port > 65535 || o.clients <= 0 || o.seconds <= 0 || o.rate < 0 || o.report.empty() ||
      o.answers_per_request < 0) {
    usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Soak soak(o);
  if (!soak.ok()) {
    std::fprintf(stderr, "soak_client: cannot open %s or create the epoll set\n", o.report.c_str());
    return 2;
  }
  return soak.run();
}
