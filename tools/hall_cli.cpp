// hall_cli: a command-line client of the hall gateway, in the manner of redis-cli.
//
//   hall_cli -h HOST -p PORT [-i ID] [-w SECONDS] [-n COUNT] [-t MS] [-v] [text ...]
//   hall_cli --redis HOST:PORT [--interval SECONDS] [--players N] [options] [text ...]
//
// Connects to a gateway and sends one data request (command 2: client id, text) per text
// argument, or, without text arguments, one per line of standard input. Every answer the
// gateway sends back (command 0x1001) is printed as it arrives, one line each:
//   answer status=<int> text=<text>
// After the last request it keeps listening for -w seconds (default 2; a negative value
// listens until the gateway closes the connection or COUNT answers arrived).
//
// With --redis the gateway is found in Redis: among the gateways registered in the hash
// HALLSERVER, those whose heartbeat in HALLSERVER_ALIVE is at most three intervals old are
// live, and one of them is picked at random. Redis holds no load figure of a gateway, and
// a uniform pick spreads players evenly without sending every player that reconnects at
// once to the same gateway. When the gateway goes away (its connection ends, or its
// heartbeat goes stale: checked every interval), the player connects to another live one
// and registers its id again. Every connection starts with a registration
// request (the text {"hello":ID}); the texts follow on the first connection. --players N
// runs N players with the ids ID to ID+N-1 (no texts then), whose lines start "id=ID ".
//
// Exit status: 0 done; 1 usage error or no connection; 2 the connection was closed or
// broken, or the gateway sent something that is not a valid packet; 3 a text was too long
// to be sent (it is skipped, the others still go).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <hiredis/hiredis.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "json_text.h"
#include "log.h"
#include "packet_base.h"
#include "packet_frame.h"

namespace {

// The gateway closes a connection whose packet is larger than 8000 bytes; the request
// takes 9 header bytes, 4 for the id and 5 around the text.
const int kMaxClientPacket = 8000;
const size_t kMaxText = kMaxClientPacket - PACKET_HEADER_SIZE - 4 - 5;

const int kExitOk = 0;
const int kExitUsage = 1;
const int kExitClosed = 2;
const int kExitTooLong = 3;

struct Options {
  std::string host;
  int port = 0;
  int id = 1;
  double wait_seconds = 2.0;
  long max_answers = -1;  // -1: no limit
  int connect_timeout_ms = 3000;
  bool verbose = false;
  std::vector<std::string> texts;
  std::string redis_host;  // --redis: the gateway is found there
  int redis_port = 0;
  int interval = 10;  // the gateways' RegisterInterval, in seconds
  int players = 1;
};

void usage(FILE* out) {
  std::fprintf(out,
               "Usage: hall_cli -h HOST -p PORT [-i ID] [-w SECONDS] [-n COUNT] [-t MS] [-v] [text ...]\n"
               "       hall_cli --redis HOST:PORT [--interval SECONDS] [--players N] [-i ID] [-w SECONDS]\n"
               "                [-n COUNT] [-t MS] [-v] [text ...]\n"
               "  -h HOST     gateway address (name or IPv4)\n"
               "  -p PORT     gateway port\n"
               "  -i ID       client id sent with every request (default 1)\n"
               "  -w SECONDS  how long to listen for answers after the last request (default 2;\n"
               "              negative: until the gateway closes the connection)\n"
               "  -n COUNT    exit as soon as COUNT answers have arrived\n"
               "  -t MS       connect time-out in milliseconds (default 3000)\n"
               "  -v          dump every packet sent and received in hex on standard error\n"
               "  --redis HOST:PORT  instead of -h and -p: pick a live gateway at random among\n"
               "              those registered in HALLSERVER, and another one when it goes away\n"
               "  --interval SECONDS  the gateways' RegisterInterval (default 10): a heartbeat\n"
               "              in HALLSERVER_ALIVE older than three intervals is a gone gateway;\n"
               "              0 takes every registered gateway as live\n"
               "  --players N  with --redis: N players, ids ID to ID+N-1, no texts; their lines\n"
               "              start with id=ID\n"
               "With --redis the pick is uniform: Redis holds no load figure of a gateway, and a\n"
               "random pick spreads players evenly. Every connection starts with the request\n"
               "{\"hello\":ID}, which registers the id; the texts (arguments only) follow on the\n"
               "first one. It prints \"connected to gateway SVID at IP:PORT\" on each connection.\n"
               "Without text arguments, every line of standard input is one request (empty\n"
               "lines are skipped). Each answer is printed as: answer status=N text=TEXT\n");
}

bool parse_long(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// A number argument of an option, from lo to hi; false, with a message naming `what`,
// for anything else.
bool number_arg(const char* what, long lo, long hi, long* out) {
  if (parse_long(optarg, lo, hi, out)) return true;
  std::fprintf(stderr, "hall_cli: bad %s '%s'\n", what, optarg);
  return false;
}

// One option `c` of getopt_long with its optarg: -1 when it is wrong (a message is
// printed), 0 to go on, 1 after --help.
int take_option(int c, Options* o) {
  long v = 0;
  switch (c) {
    case 'h':
      o->host = optarg;
      return 0;
    case 'p':
      if (!number_arg("port", 1, 65535, &v)) return -1;
      o->port = static_cast<int>(v);
      return 0;
    case 'i':
      if (!number_arg("client id", INT_MIN, INT_MAX, &v)) return -1;
      o->id = static_cast<int>(v);
      return 0;
    case 'w': {
      char* end = nullptr;
      o->wait_seconds = std::strtod(optarg, &end);
      if (*optarg != '\0' && *end == '\0') return 0;
      std::fprintf(stderr, "hall_cli: bad wait '%s'\n", optarg);
      return -1;
    }
    case 'n':
      if (!number_arg("count", 1, LONG_MAX, &v)) return -1;
      o->max_answers = v;
      return 0;
    case 't':
      if (!number_arg("time-out", 1, 3600000, &v)) return -1;
      o->connect_timeout_ms = static_cast<int>(v);
      return 0;
    case 'v':
      o->verbose = true;
      return 0;
    case 'R': {
      const char* colon = std::strrchr(optarg, ':');
      if (colon == nullptr || colon == optarg || !parse_long(colon + 1, 1, 65535, &v)) {
        std::fprintf(stderr, "hall_cli: bad Redis address '%s' (HOST:PORT)\n", optarg);
        return -1;
      }
      o->redis_host.assign(optarg, static_cast<size_t>(colon - optarg));
      o->redis_port = static_cast<int>(v);
      return 0;
    }
    case 'I':
      if (!number_arg("interval", 0, 86400, &v)) return -1;
      o->interval = static_cast<int>(v);
      return 0;
    case 'P':
      if (!number_arg("player count", 1, 100000, &v)) return -1;
      o->players = static_cast<int>(v);
      return 0;
    case 'H':
      usage(stdout);
      return 1;
    default:
      usage(stderr);
      return -1;
  }
}

// Returns -1 when the options are wrong (a message is printed), 0 to go on, 1 after --help.
int parse_options(int argc, char** argv, Options* o) {
  static const struct option longopts[] = {{"help", no_argument, nullptr, 'H'},
                                           {"redis", required_argument, nullptr, 'R'},
                                           {"interval", required_argument, nullptr, 'I'},
                                           {"players", required_argument, nullptr, 'P'},
                                           {nullptr, 0, nullptr, 0}};
  int c;
  // '+': options end at the first text, so a text may start with '-' after "--" or later.
  while ((c = getopt_long(argc, argv, "+h:p:i:w:n:t:v", longopts, nullptr)) != -1) {
    const int taken = take_option(c, o);
    if (taken != 0) return taken;
  }
  const bool direct = !o->host.empty() || o->port != 0;
  if (o->redis_host.empty() ? (o->host.empty() || o->port == 0) : direct) {
    std::fprintf(stderr, "hall_cli: either -h HOST and -p PORT or --redis HOST:PORT is required\n");
    usage(stderr);
    return -1;
  }
  for (int i = optind; i < argc; ++i) o->texts.push_back(argv[i]);
  if (o->players > 1 && (o->redis_host.empty() || !o->texts.empty())) {
    std::fprintf(stderr, "hall_cli: --players goes with --redis and without texts\n");
    return -1;
  }
  return 0;
}

long long now_ms() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void dump(const char* what, const char* data, int len) {
  std::fprintf(stderr, "%s %d bytes:", what, len);
  for (int i = 0; i < len; ++i) std::fprintf(stderr, " %02x", static_cast<unsigned char>(data[i]));
  std::fprintf(stderr, "\n");
}

// Starts a connection to host:port: returns the non-blocking socket and sets *err to 0
// (connected) or EINPROGRESS, or returns -1 with *err set, -1 when the name does not
// resolve (a message printed).
int start_connect(const std::string& host, int port, int* err) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0 || res == nullptr) {
    std::fprintf(stderr, "hall_cli: cannot resolve %s: %s\n", host.c_str(), gai_strerror(rc));
    *err = -1;
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  *err = fd < 0 ? errno : 0;
  if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) != 0) *err = errno;
  freeaddrinfo(res);
  if (fd >= 0 && *err != 0 && *err != EINPROGRESS) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// The outcome of a connection started by start_connect once it is writable: 0 or the error.
int connect_result(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

void set_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK); }

// Connects to host:port within timeout_ms; returns the blocking socket or -1 (message printed).
int connect_to(const std::string& host, int port, int timeout_ms) {
  int err = 0;
  int fd = start_connect(host, port, &err);
  if (fd >= 0 && err == EINPROGRESS) {
    struct pollfd p = {fd, POLLOUT, 0};
    int n = poll(&p, 1, timeout_ms);
    err = n > 0 ? connect_result(fd) : n == 0 ? ETIMEDOUT : errno;
  }
  if (fd < 0 && err < 0) return -1;
  if (fd < 0 || err != 0) {
    std::fprintf(stderr, "hall_cli: could not connect to %s:%d: %s\n", host.c_str(), port, std::strerror(err));
    if (fd >= 0) close(fd);
    return -1;
  }
  set_blocking(fd);
  return fd;
}

class Session {
 public:
  // Requests carry `id`; answer lines start with `prefix`.
  Session(int fd, const Options& o, int id, const std::string& prefix = "")
      : fd_(fd), opt_(o), id_(id), prefix_(prefix) {}

  // Sends one request; false when the connection is gone (reported).
  bool send_request(const std::string& text) {
    if (text.size() > kMaxText) {
      std::fprintf(stderr, "hall_cli: text of %zu bytes not sent (at most %zu)\n", text.size(), kMaxText);
      too_long_ = true;
      return true;
    }
    NETOutputPacket out;
    out.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
    out.WriteInt(id_);
    out.WriteString(text);
    out.End();
    CEncryptDecrypt cipher;
    cipher.EncryptBuffer(&out);
    if (opt_.verbose) dump("sent", out.packet_buf(), out.packet_size());
    const char* p = out.packet_buf();
    size_t left = static_cast<size_t>(out.packet_size());
    while (left > 0) {
      ssize_t n = send(fd_, p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        int err = errno;
        std::fprintf(stderr, "hall_cli: connection lost while sending: %s\n", std::strerror(err));
        broken_ = true;
        return false;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    return true;
  }

  // Reads what the socket holds and prints the complete answers; false once the
  // connection is closed or broken (reported).
  bool on_readable() {
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return true;
      int err = errno;
      std::fprintf(stderr, "hall_cli: connection lost: %s\n", std::strerror(err));
      broken_ = true;
      return false;
    }
    if (n == 0) {
      std::printf("%sconnection closed by the gateway\n", prefix_.c_str());
      std::fflush(stdout);
      broken_ = true;
      return false;
    }
    in_.append(buf, static_cast<size_t>(n));
    return drain();
  }

  long answers() const { return answers_; }
  bool broken() const { return broken_; }
  bool too_long() const { return too_long_; }

 private:
  bool drain() {
    size_t off = 0;
    bool ok = true;
    for (;;) {
      const char* head = in_.data() + off;
      const TFrame frame = frame_packet(head, in_.size() - off, PACKET_BUFFER_SIZE, true);
      if (frame.status == FRAME_NEED_MORE) break;
      if (frame.status != FRAME_WHOLE) {
        std::fprintf(stderr, "hall_cli: invalid packet from the gateway (flag %02x%02x, length %d)\n",
                     static_cast<unsigned char>(head[2]), static_cast<unsigned char>(head[3]), pkg_length(head));
        broken_ = true;
        ok = false;
        break;
      }
      handle(head, frame.size);
      off += static_cast<size_t>(frame.size);
    }
    in_.erase(0, off);
    return ok;
  }

  void handle(const char* data, int len) {
    if (opt_.verbose) dump("received", data, len);
    NETInputPacket in;
    in.Copy(data, len);
    CEncryptDecrypt cipher;
    if (cipher.DecryptBuffer(&in) < 0) {
      std::fprintf(stderr, "hall_cli: packet 0x%04x with a bad checksum, ignored\n", in.GetCmdType());
      return;
    }
    if (in.GetCmdType() != SERVER_CMD_REP) {
      std::printf("packet cmd=0x%04x length=%d\n", in.GetCmdType(), len);
      std::fflush(stdout);
      return;
    }
    int status = in.ReadInt();
    std::string text(in.ReadString());
    std::printf("%sanswer status=%d text=%s\n", prefix_.c_str(), status, text.c_str());
    std::fflush(stdout);
    ++answers_;
  }

  int fd_;
  const Options& opt_;
  int id_;
  std::string prefix_;
  std::string in_;
  long answers_ = 0;
  bool broken_ = false;
  bool too_long_ = false;
};

// Splits complete lines off `pending`; a trailing carriage return is dropped.
void take_lines(std::string* pending, std::vector<std::string>* lines, bool at_eof) {
  size_t start = 0;
  for (;;) {
    size_t nl = pending->find('\n', start);
    if (nl == std::string::npos) break;
    lines->push_back(pending->substr(start, nl - start));
    start = nl + 1;
  }
  pending->erase(0, start);
  if (at_eof && !pending->empty()) {
    lines->push_back(*pending);
    pending->clear();
  }
  for (std::string& l : *lines) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
  }
}

int run(const Options& opt) {
  int fd = connect_to(opt.host, opt.port, opt.connect_timeout_ms);
  if (fd < 0) return kExitUsage;
  Session s(fd, opt, opt.id);
  bool from_stdin = opt.texts.empty();
  bool sending = true;
  std::string pending;
  long long last_send = now_ms();

  if (!from_stdin) {
    for (const std::string& t : opt.texts) {
      if (!s.send_request(t)) break;
    }
    sending = false;
    last_send = now_ms();
  }

  while (!s.broken()) {
    if (opt.max_answers > 0 && s.answers() >= opt.max_answers) break;
    int timeout = -1;
    if (!sending && opt.wait_seconds >= 0) {
      long long left = last_send + static_cast<long long>(opt.wait_seconds * 1000) - now_ms();
      if (left <= 0) break;
      timeout = static_cast<int>(left > 1000 ? 1000 : left);
    }
    struct pollfd p[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    int n = poll(p, sending ? 2 : 1, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (!s.on_readable()) break;
    }
    if (sending && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[8192];
      ssize_t r = read(0, buf, sizeof(buf));
      if (r < 0 && errno == EINTR) continue;
      bool eof = r <= 0;
      if (r > 0) pending.append(buf, static_cast<size_t>(r));
      std::vector<std::string> lines;
      take_lines(&pending, &lines, eof);
      for (const std::string& l : lines) {
        if (l.empty()) continue;
        if (!s.send_request(l)) break;
        last_send = now_ms();
      }
      if (eof) {
        sending = false;
        last_send = now_ms();
      }
    }
  }
  close(fd);
  if (s.broken()) return kExitClosed;
  return s.too_long() ? kExitTooLong : kExitOk;
}

// ---- finding a live gateway in Redis ----

struct Gateway {
  int svid = 0;
  std::string ip;
  int port = 0;
};

// The elements of a reply array, as texts (nil and integers become "").
std::vector<std::string> reply_texts(const redisReply* r) {
  std::vector<std::string> out;
  if (r == nullptr || r->type != REDIS_REPLY_ARRAY) return out;
  for (size_t i = 0; i < r->elements; ++i) {
    const redisReply* e = r->element[i];
    out.push_back(e->type == REDIS_REPLY_STRING ? std::string(e->str, e->len) : std::string());
  }
  return out;
}

// The live gateways: every field of HALLSERVER whose value is a valid record and whose
// heartbeat is at most three intervals old (any heartbeat when the interval is 0). False
// when Redis cannot be read (a message printed).
bool live_gateways(const Options& o, std::vector<Gateway>* out) {
  out->clear();
  struct timeval tv = {2, 0};
  redisContext* c = redisConnectWithTimeout(o.redis_host.c_str(), o.redis_port, tv);
  if (c == nullptr || c->err) {
    std::fprintf(stderr, "hall_cli: cannot reach Redis %s:%d: %s\n", o.redis_host.c_str(), o.redis_port,
                 c ? c->errstr : "out of memory");
    if (c) redisFree(c);
    return false;
  }
  redisSetTimeout(c, tv);
  redisReply* reg = static_cast<redisReply*>(redisCommand(c, "HGETALL HALLSERVER"));
  redisReply* alive = static_cast<redisReply*>(redisCommand(c, "HGETALL HALLSERVER_ALIVE"));
  const bool ok = reg != nullptr && alive != nullptr;
  if (!ok) std::fprintf(stderr, "hall_cli: Redis %s:%d did not answer\n", o.redis_host.c_str(), o.redis_port);
  const std::vector<std::string> fields = reply_texts(reg), beats = reply_texts(alive);
  if (reg) freeReplyObject(reg);
  if (alive) freeReplyObject(alive);
  redisFree(c);
  std::map<std::string, long long> beat;
  for (size_t i = 0; i + 1 < beats.size(); i += 2) beat[beats[i]] = std::atoll(beats[i + 1].c_str());
  const long long now = static_cast<long long>(time(nullptr));
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    auto b = beat.find(fields[i]);
    if (o.interval > 0 && (b == beat.end() || now - b->second > 3LL * o.interval)) continue;
    Json::Value v;
    if (!jsontext::parse(fields[i + 1], &v) || !v.isObject() || !v["IP"].isString() || !v["PORT"].isInt() ||
        !v["SVID"].isInt() || v["PORT"].asInt() < 1 || v["PORT"].asInt() > 65535)
      continue;
    Gateway g;
    g.ip = v["IP"].asString();
    g.port = v["PORT"].asInt();
    g.svid = v["SVID"].asInt();
    out->push_back(g);
  }
  return ok;
}

struct Player {
  int id = 0;
  int fd = -1;
  bool connected = false;
  long long next_ms = 0;  // connect deadline while connecting, next attempt while apart
  Gateway gw;
  std::set<int> avoid;  // gateways that failed this player since it last connected
  std::unique_ptr<Session> session;
  bool texts_sent = false;
};

// Players that each keep one connection to a live gateway found in Redis.
class Fleet {
 public:
  explicit Fleet(const Options& o) : opt_(o), rng_(static_cast<unsigned>(getpid() ^ now_ms())) {
    for (int k = 0; k < o.players; ++k) {
      players_.emplace_back(new Player);
      players_.back()->id = o.id + k;
    }
  }

  int run() {
    long long last_send = now_ms();
    for (;;) {
      const long long now = now_ms();
      if (opt_.max_answers > 0 && answers() >= opt_.max_answers) break;
      if (opt_.wait_seconds >= 0 && all_texts_sent() &&
          now > last_send + static_cast<long long>(opt_.wait_seconds * 1000))
        break;
      // A gateway whose heartbeat went stale is gone even when its connections are not
      // closed (a host cut off): its players move. Checked once an interval.
      if (opt_.interval > 0 && now - checked_ms_ >= 1000LL * opt_.interval) {
        checked_ms_ = now;
        if (refresh_live()) {
          for (auto& p : players_)
            if (p->connected && !is_live(p->gw.svid)) drop(*p, " (heartbeat stale)");
        }
      }
      std::vector<struct pollfd> fds;
      std::vector<Player*> who;
      for (auto& p : players_) {
        if (p->fd < 0 && now >= p->next_ms) begin_connect(*p);
        if (p->fd < 0) continue;
        fds.push_back({p->fd, static_cast<short>(p->connected ? POLLIN : POLLOUT), 0});
        who.push_back(p.get());
      }
      if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return kExitClosed;
      for (size_t i = 0; i < fds.size(); ++i) {
        Player& p = *who[i];
        if (!p.connected) {
          if (fds[i].revents != 0) {
            const int err = connect_result(p.fd);
            if (err != 0)
              fail(p, std::strerror(err));
            else if (on_connected(p))
              last_send = now_ms();
          } else if (now_ms() > p.next_ms) {
            fail(p, "time-out");
          }
        } else if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && !p.session->on_readable()) {
          drop(p);
        }
      }
    }
    return too_long_ ? kExitTooLong : kExitOk;
  }

 private:
  std::string prefix(const Player& p) const { return opt_.players > 1 ? "id=" + std::to_string(p.id) + " " : ""; }

  long answers() const {
    long n = answers_before_;
    for (const auto& p : players_)
      if (p->session) n += p->session->answers();
    return n;
  }

  bool all_texts_sent() const {
    for (const auto& p : players_)
      if (!p->texts_sent) return false;
    return true;
  }

  bool refresh_live() {
    listed_ms_ = now_ms();
    return live_gateways(opt_, &live_);
  }

  bool is_live(int svid) const {
    for (const Gateway& g : live_)
      if (g.svid == svid) return true;
    return false;
  }

  // Picks a live gateway that has not failed this player (any live one when all have) and
  // starts connecting; without one, tries again a little later. One read of Redis serves
  // the players that connect within 500 ms.
  void begin_connect(Player& p) {
    const long long now = now_ms();
    if (now - listed_ms_ > 500) refresh_live();
    std::vector<const Gateway*> pick;
    for (const Gateway& g : live_)
      if (p.avoid.count(g.svid) == 0) pick.push_back(&g);
    if (pick.empty()) {
      p.avoid.clear();
      for (const Gateway& g : live_) pick.push_back(&g);
    }
    if (pick.empty()) {
      p.next_ms = now + 200 + static_cast<long long>(rng_() % 300);
      return;
    }
    p.gw = *pick[rng_() % pick.size()];
    int err = 0;
    p.fd = start_connect(p.gw.ip, p.gw.port, &err);
    p.connected = false;
    p.next_ms = now + opt_.connect_timeout_ms;
    if (p.fd < 0) fail(p, err < 0 ? "the address does not resolve" : std::strerror(err));
  }

  // Registers the player's id on its new connection and sends its texts the first time.
  bool on_connected(Player& p) {
    set_blocking(p.fd);
    p.connected = true;
    if (p.session) answers_before_ += p.session->answers();
    p.session.reset(new Session(p.fd, opt_, p.id, prefix(p)));
    std::printf("%sconnected to gateway %d at %s:%d\n", prefix(p).c_str(), p.gw.svid, p.gw.ip.c_str(), p.gw.port);
    bool ok = p.session->send_request("{\"hello\":" + std::to_string(p.id) + "}");
    for (size_t i = 0; ok && !p.texts_sent && i < opt_.texts.size(); ++i) ok = p.session->send_request(opt_.texts[i]);
    if (!ok) {
      drop(p);
      return false;
    }
    if (!p.texts_sent && p.session->too_long()) too_long_ = true;
    p.texts_sent = true;
    p.avoid.clear();
    return true;
  }

  void fail(Player& p, const char* why) {
    std::fprintf(stderr, "hall_cli: %scould not connect to gateway %d at %s:%d: %s\n", prefix(p).c_str(), p.gw.svid,
                 p.gw.ip.c_str(), p.gw.port, why);
    close_player(p, 100);
  }

  void drop(Player& p, const char* why = "") {
    std::printf("%slost gateway %d%s\n", prefix(p).c_str(), p.gw.svid, why);
    close_player(p, 0);
  }

  // Closes the player's connection; it tries another gateway after `pause_ms` and up to
  // 200 ms more, so that players who lost the same gateway do not all come back at once.
  void close_player(Player& p, int pause_ms) {
    if (p.fd >= 0) close(p.fd);
    p.fd = -1;
    p.connected = false;
    p.avoid.insert(p.gw.svid);
    p.next_ms = now_ms() + pause_ms + static_cast<long long>(rng_() % 200);
  }

  const Options& opt_;
  std::mt19937 rng_;
  std::vector<std::unique_ptr<Player>> players_;
  std::vector<Gateway> live_;
  long long listed_ms_ = -1000000;
  long long checked_ms_ = 0;
  long answers_before_ = 0;
  bool too_long_ = false;  // a text was not sent: exit status 3, as without --redis
};

}  // namespace

int main(int argc, char** argv) {
  // A standard descriptor closed by the starter would be taken by the gateway socket:
  // with standard input closed, the tool read its own answers as request lines.
  open_standard_descriptors();
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  Options opt;
  int rc = parse_options(argc, argv, &opt);
  if (rc < 0) return kExitUsage;
  if (rc > 0) return kExitOk;
  if (!opt.redis_host.empty()) return Fleet(opt).run();
  return run(opt);
}
