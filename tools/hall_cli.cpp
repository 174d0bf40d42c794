// hall_cli: a command-line client of the hall gateway, in the manner of redis-cli.
//
//   hall_cli -h HOST -p PORT [-i ID] [-w SECONDS] [-n COUNT] [-t MS] [-v] [text ...]
//
// Connects to a gateway and sends one data request (command 2: client id, text) per text
// argument, or, without text arguments, one per line of standard input. Every answer the
// gateway sends back (command 0x1001) is printed as it arrives, one line each:
//   answer status=<int> text=<text>
// After the last request it keeps listening for -w seconds (default 2; a negative value
// listens until the gateway closes the connection or COUNT answers arrived).
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

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
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
};

void usage(FILE* out) {
  std::fprintf(out,
               "Usage: hall_cli -h HOST -p PORT [-i ID] [-w SECONDS] [-n COUNT] [-t MS] [-v] [text ...]\n"
               "  -h HOST     gateway address (name or IPv4)\n"
               "  -p PORT     gateway port\n"
               "  -i ID       client id sent with every request (default 1)\n"
               "  -w SECONDS  how long to listen for answers after the last request (default 2;\n"
               "              negative: until the gateway closes the connection)\n"
               "  -n COUNT    exit as soon as COUNT answers have arrived\n"
               "  -t MS       connect time-out in milliseconds (default 3000)\n"
               "  -v          dump every packet sent and received in hex on standard error\n"
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

// Returns -1 when the options are wrong (a message is printed), 0 to go on, 1 after --help.
int parse_options(int argc, char** argv, Options* o) {
  static const struct option longopts[] = {{"help", no_argument, nullptr, 'H'}, {nullptr, 0, nullptr, 0}};
  int c;
  long v;
  // '+': options end at the first text, so a text may start with '-' after "--" or later.
  while ((c = getopt_long(argc, argv, "+h:p:i:w:n:t:v", longopts, nullptr)) != -1) {
    switch (c) {
      case 'h':
        o->host = optarg;
        break;
      case 'p':
        if (!parse_long(optarg, 1, 65535, &v)) {
          std::fprintf(stderr, "hall_cli: bad port '%s'\n", optarg);
          return -1;
        }
        o->port = static_cast<int>(v);
        break;
      case 'i':
        if (!parse_long(optarg, INT_MIN, INT_MAX, &v)) {
          std::fprintf(stderr, "hall_cli: bad client id '%s'\n", optarg);
          return -1;
        }
        o->id = static_cast<int>(v);
        break;
      case 'w': {
        char* end = nullptr;
        o->wait_seconds = std::strtod(optarg, &end);
        if (*optarg == '\0' || *end != '\0') {
          std::fprintf(stderr, "hall_cli: bad wait '%s'\n", optarg);
          return -1;
        }
        break;
      }
      case 'n':
        if (!parse_long(optarg, 1, LONG_MAX, &v)) {
          std::fprintf(stderr, "hall_cli: bad count '%s'\n", optarg);
          return -1;
        }
        o->max_answers = v;
        break;
      case 't':
        if (!parse_long(optarg, 1, 3600000, &v)) {
          std::fprintf(stderr, "hall_cli: bad time-out '%s'\n", optarg);
          return -1;
        }
        o->connect_timeout_ms = static_cast<int>(v);
        break;
      case 'v':
        o->verbose = true;
        break;
      case 'H':
        usage(stdout);
        return 1;
      default:
        usage(stderr);
        return -1;
    }
  }
  if (o->host.empty() || o->port == 0) {
    std::fprintf(stderr, "hall_cli: -h HOST and -p PORT are required\n");
    usage(stderr);
    return -1;
  }
  for (int i = optind; i < argc; ++i) o->texts.push_back(argv[i]);
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

// Connects to host:port within timeout_ms; returns the blocking socket or -1 (message printed).
int connect_to(const std::string& host, int port, int timeout_ms) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0 || res == nullptr) {
    std::fprintf(stderr, "hall_cli: cannot resolve %s: %s\n", host.c_str(), gai_strerror(rc));
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int err = errno;
  if (fd >= 0) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (connect(fd, res->ai_addr, res->ai_addrlen) == 0) {
      err = 0;
    } else if (errno != EINPROGRESS) {
      err = errno;
    } else {
      struct pollfd p = {fd, POLLOUT, 0};
      int n = poll(&p, 1, timeout_ms);
      if (n <= 0) {
        err = n == 0 ? ETIMEDOUT : errno;
      } else {
        socklen_t len = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
    if (err == 0) fcntl(fd, F_SETFL, flags);
  }
  freeaddrinfo(res);
  if (fd < 0 || err != 0) {
    std::fprintf(stderr, "hall_cli: could not connect to %s:%d: %s\n", host.c_str(), port, std::strerror(err));
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

class Session {
 public:
  Session(int fd, const Options& o) : fd_(fd), opt_(o) {}

  // Sends one request; false when the connection is gone (reported).
  bool send_request(const std::string& text) {
    if (text.size() > kMaxText) {
      std::fprintf(stderr, "hall_cli: text of %zu bytes not sent (at most %zu)\n", text.size(), kMaxText);
      too_long_ = true;
      return true;
    }
    NETOutputPacket out;
    out.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
    out.WriteInt(opt_.id);
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
      std::printf("connection closed by the gateway\n");
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
    std::string text = in.ReadString();
    std::printf("answer status=%d text=%s\n", status, text.c_str());
    std::fflush(stdout);
    ++answers_;
  }

  int fd_;
  const Options& opt_;
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
  Session s(fd, opt);
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

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  Options opt;
  int rc = parse_options(argc, argv, &opt);
  if (rc < 0) return kExitUsage;
  if (rc > 0) return kExitOk;
  return run(opt);
}
