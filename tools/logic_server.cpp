// Sample logic server: the backend that the gateway forwards client requests to.
//
//   logic_server [options] PORT
//
// Listens on 127.0.0.1:PORT (or --bind ADDR) and serves any number of gateway links with
// poll(2) on one thread. Every 0x1003 forward is answered with a 0x9001 result whose JSON names a "flow"
// (the numeric "flow" member of the request's text when that text is a JSON object with
// one, else the request's client id) and carries a "result" text. Every packet received,
// close notices (0x0002) included, is logged as one readable line on standard output.
//
// Several gateways may share it (a fleet): the link a client id's last forward came over
// speaks for that client, until the client's close notice arrives on that link or the
// link ends. A result goes over the link that speaks for its "flow", and over every link
// when none does (a gateway drops a result for a client it does not hold). A link is not
// read while 4 MiB of answers wait to be written to it; a link whose queue would pass
// 16 MiB (results for its clients that came in over other links) is closed.
//
// Options:
//   --name NAME           label of the log lines (default "logic:PORT")
//   --result TEXT         "result" text of the answers (default "ok from NAME")
//   --echo                the "result" text of each answer is the request's own text
//   --bind ADDR           listen on this IPv4 address (default 127.0.0.1)
//   --silent              read and log, but never answer
//   --no-read             accept links but never read from them (for fault tests)
//   --waiter-stat Q,T     send a 0x9002 load report (queue length Q, time T) on each link
//   --notify-stat Q,T     send a 0x9003 load report on each link
//   --report-ms MS        repeat the load reports every MS milliseconds (default: once,
//                         right after the link is accepted)
//   --rcvbuf BYTES        the links' socket receive buffer (SO_RCVBUF; default: the
//                         kernel's, grown by its autotuning up to net.ipv4.tcp_rmem's max)
//   -h, --help            this summary
//
// SIGTERM and SIGINT stop it cleanly (exit status 0).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <json/json.h>

#include <map>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "json_text.h"
#include "log.h"
#include "packet_base.h"
#include "packet_frame.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

struct Options {
  int port = 0;
  std::string name;
  std::string result;
  bool silent = false;
  bool echo = false;
  std::string bind_addr = "127.0.0.1";
  bool no_read = false;
  bool waiter = false;
  bool notify = false;
  int waiter_q = 0, waiter_t = 0;
  int notify_q = 0, notify_t = 0;
  int report_ms = 0;
  int rcvbuf = 0;  // 0: the kernel's autotuned receive buffer
};

struct Link {
  std::string in;   // bytes received, not yet cut into packets
  std::string out;  // bytes queued for the gateway
  std::string peer;
  long long next_report_ms = 0;
  bool paused = false;      // not read while its output is over kMaxQueued
  bool overflowed = false;  // its queue would have passed kMaxBacklog: closed at the next turn
};

// A link is not read while this much output waits for its gateway: a gateway that stops
// reading (frozen, or gone without a close) then meets TCP's flow control instead of
// making this process queue answers without bound.
const size_t kMaxQueued = 4u << 20;
// Pausing a link bounds only what its own forwards queue. Results for its clients that
// other links bring in keep coming, so a gateway that never reads would make its queue
// grow without bound: past this much the link is closed instead.
const size_t kMaxBacklog = 16u << 20;

Options g_opt;
// Every open gateway link by descriptor.
std::map<int, Link> g_links;
// Client id -> the link that speaks for that client.
std::map<int, int> g_route;
// While accept fails for want of a descriptor (or of memory) the listener stays
// readable: polling it would spin. It is left out of the poll set until a link ends or
// this time (ms) has passed.
long long g_accept_paused_until = 0;
bool g_accept_failing = false;  // the failure was logged; cleared by the next accept

long long now_ms() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Keeps a log line on one line: control bytes and non-ASCII bytes become \xNN escapes.
std::string printable(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      const char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
      out.append(esc, 4);
    }
  }
  return out;
}

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// One whole line, however long (an escaped packet text may be four times its size).
void logf(const char* fmt, ...) {
  char small[4096];
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof(small), fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < sizeof(small)) {
    printf("[%s] %s\n", g_opt.name.c_str(), small);
  } else if (n > 0) {
    std::string line(static_cast<size_t>(n), '\0');
    vsnprintf(&line[0], line.size() + 1, fmt, again);
    printf("[%s] %s\n", g_opt.name.c_str(), line.c_str());
  }
  va_end(again);
}

bool parse_pair(const char* text, int* a, int* b) {
  char* end = nullptr;
  long x = strtol(text, &end, 10);
  if (end == text || *end != ',') return false;
  const char* second = end + 1;
  long y = strtol(second, &end, 10);
  if (end == second || *end != '\0') return false;
  *a = static_cast<int>(x);
  *b = static_cast<int>(y);
  return true;
}

void usage(FILE* out) {
  fprintf(out,
          "usage: logic_server [options] PORT\n"
          "Sample logic server on 127.0.0.1:PORT: answers every 0x1003 forward with a 0x9001\n"
          "result and logs every packet it receives, one line each, on standard output.\n"
          "A result goes over the gateway link the client of its \"flow\" last spoke on, or\n"
          "over every link when that client is unknown.\n"
          "  --name NAME        label of the log lines (default logic:PORT)\n"
          "  --result TEXT      \"result\" text of the answers (default \"ok from NAME\")\n"
          "  --echo             the \"result\" text of an answer is the request's own text\n"
          "  --bind ADDR        listen on this IPv4 address (default 127.0.0.1)\n"
          "  --silent           read and log, never answer\n"
          "  --no-read          accept links, never read them\n"
          "  --waiter-stat Q,T  send a 0x9002 load report on each new link\n"
          "  --notify-stat Q,T  send a 0x9003 load report on each new link\n"
          "  --report-ms MS     repeat the load reports every MS milliseconds\n"
          "  --rcvbuf BYTES     the links' socket receive buffer (default: autotuned)\n");
}

bool parse_args(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "-h" || a == "--help") {
      usage(stdout);
      exit(0);
    } else if (a == "--silent") {
      g_opt.silent = true;
    } else if (a == "--echo") {
      g_opt.echo = true;
    } else if (a == "--bind" && has_value) {
      g_opt.bind_addr = argv[++i];
    } else if (a == "--no-read") {
      g_opt.no_read = true;
    } else if (a == "--name" && has_value) {
      g_opt.name = argv[++i];
    } else if (a == "--result" && has_value) {
      g_opt.result = argv[++i];
    } else if (a == "--waiter-stat" && has_value) {
      if (!parse_pair(argv[++i], &g_opt.waiter_q, &g_opt.waiter_t)) return false;
      g_opt.waiter = true;
    } else if (a == "--notify-stat" && has_value) {
      if (!parse_pair(argv[++i], &g_opt.notify_q, &g_opt.notify_t)) return false;
      g_opt.notify = true;
    } else if (a == "--report-ms" && has_value) {
      g_opt.report_ms = atoi(argv[++i]);
    } else if (a == "--rcvbuf" && has_value) {
      g_opt.rcvbuf = atoi(argv[++i]);
      if (g_opt.rcvbuf <= 0) return false;
    } else if ((a == "-p" || a == "--port") && has_value) {
      g_opt.port = atoi(argv[++i]);
    } else if (!a.empty() && a[0] != '-' && g_opt.port == 0) {
      g_opt.port = atoi(a.c_str());
    } else {
      return false;
    }
  }
  if (g_opt.port <= 0 || g_opt.port > 65535) return false;
  if (g_opt.name.empty()) g_opt.name = "logic:" + std::to_string(g_opt.port);
  if (g_opt.result.empty()) g_opt.result = "ok from " + g_opt.name;
  return true;
}

int listen_on(const std::string& addr, int port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  // Set before listen, so that every accepted link inherits it and its handshake already
  // offers a window that fits; a fixed size also turns the kernel's autotuning off. What
  // a link holds unread then stays small, and the rest waits in the gateway's send
  // buffer, where the gateway sees whose bytes they are.
  if (g_opt.rcvbuf > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &g_opt.rcvbuf, sizeof(g_opt.rcvbuf)) != 0) {
    close(fd);
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) < 0 || listen(fd, 128) < 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Queues one packet; false (nothing queued) once the link's queue would pass kMaxBacklog.
bool queue_packet(Link& link, NETOutputPacket& pkt) {
  const size_t size = static_cast<size_t>(pkt.packet_size());
  if (link.overflowed) return false;
  if (link.out.size() + size > kMaxBacklog) {
    link.overflowed = true;
    return false;
  }
  link.out.append(pkt.packet_buf(), size);
  return true;
}

void queue_report(int fd, Link& link, unsigned short cmd, int q, int t) {
  NETOutputPacket pkt;
  pkt.Begin(cmd, 1, 1);
  pkt.WriteInt(q);
  pkt.WriteInt(t);
  pkt.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&pkt);
  if (!queue_packet(link, pkt)) return;
  logf("fd=%d sent cmd=%#06x %s report qlen=%d time=%d", fd, cmd,
       cmd == INTER_CMD_WAITER_STAT_RES ? "waiter" : "notify", q, t);
}

void queue_reports(int fd, Link& link) {
  if (g_opt.waiter) queue_report(fd, link, INTER_CMD_WAITER_STAT_RES, g_opt.waiter_q, g_opt.waiter_t);
  if (g_opt.notify) queue_report(fd, link, INTER_CMD_NOTIFY_STAT_RES, g_opt.notify_q, g_opt.notify_t);
}

// The answer's JSON text: a numeric "flow" member of a JSON object request text names
// the receiver, else the client id of the request does. *flow is the receiver's client
// id; *known is false when the "flow" is no int.
std::string answer_text(const std::string& data, int client_id, int* flow, bool* known) {
  *flow = client_id;
  *known = true;
  // Only a text that starts an object (or a comment) can name a flow; anything else is
  // answered without running the JSON reader, in the bytes Json::FastWriter would give.
  size_t first = data.find_first_not_of(" \t\r\n");
  if (!g_opt.echo && (first == std::string::npos || (data[first] != '{' && data[first] != '/'))) {
    static const std::string quoted_result = Json::valueToQuotedString(g_opt.result.c_str());
    return "{\"flow\":" + std::to_string(client_id) + ",\"result\":" + quoted_result + "}";
  }
  Json::Value root;
  const bool parsed = jsontext::parse(data, &root);
  Json::Value answer(Json::objectValue);
  if (parsed && root.isObject() && root.isMember("flow") && root["flow"].isNumeric()) {
    answer["flow"] = root["flow"];
    *known = root["flow"].isInt();
    if (*known) *flow = root["flow"].asInt();
  } else {
    answer["flow"] = client_id;
  }
  answer["result"] = g_opt.echo ? data : g_opt.result;
  Json::FastWriter writer;
  std::string text = writer.write(answer);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void handle_forward(int fd, NETInputPacket& pkt, bool checksum_ok) {
  int client_id = pkt.ReadInt();
  std::string data(pkt.ReadString());
  g_route[client_id] = fd;
  logf("fd=%d recv cmd=0x1003 forward client=%d data=%s%s", fd, client_id, printable(data).c_str(),
       checksum_ok ? "" : " checksum=bad");
  if (g_opt.silent) return;

  int flow = 0;
  bool known = false;
  std::string text = answer_text(data, client_id, &flow, &known);

  NETOutputPacket out;
  out.Begin(INTER_CMD_RES, 1, 1);
  out.WriteByte(0);
  if (!out.WriteString(text)) {
    // An echoed text grows when the JSON writer escapes it (a control byte takes six).
    logf("fd=%d result of %zu bytes does not fit in one packet, not sent", fd, text.size());
    return;
  }
  out.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&out);
  auto route = known ? g_route.find(flow) : g_route.end();
  if (route != g_route.end()) {
    if (queue_packet(g_links[route->second], out))
      logf("fd=%d sent cmd=0x9001 result %s", route->second, printable(text).c_str());
    return;
  }
  for (auto& kv : g_links) {
    if (queue_packet(kv.second, out)) logf("fd=%d sent cmd=0x9001 result %s", kv.first, printable(text).c_str());
  }
}

void handle_packet(int fd, const char* data, int size) {
  NETInputPacket pkt;
  pkt.Copy(data, size);
  unsigned short cmd = pkt.GetCmdType();
  if (cmd == CLIENT_CMD_DATA_REQ && pkt.GetCode() == 0) {
    // The close notice travels plain.
    int uid = pkt.ReadInt();
    int svid = pkt.ReadInt();
    logf("fd=%d recv cmd=0x0002 close client=%d svid=%d", fd, uid, svid);
    auto route = g_route.find(uid);
    if (route != g_route.end() && route->second == fd) g_route.erase(route);
    return;
  }
  CEncryptDecrypt cipher;
  bool checksum_ok = cipher.DecryptBuffer(&pkt) >= 0;
  if (cmd == SERVER_CMD_DATA_FW_REQ) {
    handle_forward(fd, pkt, checksum_ok);
    return;
  }
  std::string body(pkt.packet_buf() + PACKET_HEADER_SIZE, static_cast<size_t>(size - PACKET_HEADER_SIZE));
  logf("fd=%d recv cmd=%#06x other length=%d body=%s%s", fd, cmd, size - 2, printable(body).c_str(),
       checksum_ok ? "" : " checksum=bad");
}

// Cuts whole packets out of link.in. False when the stream is broken (the link is closed).
bool handle_input(int fd, Link& link) {
  size_t pos = 0;
  bool ok = true;
  for (;;) {
    const char* head = link.in.data() + pos;
    const TFrame frame = frame_packet(head, link.in.size() - pos, PACKET_BUFFER_SIZE, false);
    if (frame.status == FRAME_NEED_MORE) break;
    if (frame.status != FRAME_WHOLE) {
      logf("fd=%d recv malformed header length=%d cmd=%#06x, closing", fd, frame.size - 2, pkg_cmd(head));
      ok = false;
      break;
    }
    handle_packet(fd, head, frame.size);
    pos += static_cast<size_t>(frame.size);
  }
  link.in.erase(0, pos);
  return ok;
}

// Writes what the link has queued. False on a write error.
bool flush_link(int fd, Link& link) {
  while (!link.out.empty()) {
    ssize_t n = send(fd, link.out.data(), link.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    link.out.erase(0, static_cast<size_t>(n));
  }
  return true;
}

void install_signal_handlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// The listener first, then every link: readable unless --no-read or paused, writable
// while it has output queued. A link pauses and resumes with a line each.
std::vector<struct pollfd> poll_set(int lfd, std::map<int, Link>& links) {
  std::vector<struct pollfd> fds;
  fds.push_back({lfd, static_cast<short>(g_accept_paused_until > now_ms() ? 0 : POLLIN), 0});
  for (auto& kv : links) {
    Link& link = kv.second;
    const bool full = link.out.size() >= kMaxQueued;
    if (full != link.paused) {
      link.paused = full;
      if (full)
        logf("fd=%d reading paused: %zu bytes wait for the gateway", kv.first, link.out.size());
      else
        logf("fd=%d reading resumed", kv.first);
    }
    // A link that is never read still learns of its gateway's close (POLLRDHUP), or its
    // descriptor would stay for good after each reconnect of the gateway.
    short ev = g_opt.no_read ? POLLRDHUP : link.paused ? 0 : POLLIN;
    if (!link.out.empty()) ev |= POLLOUT;
    fds.push_back({kv.first, ev, 0});
  }
  return fds;
}

void close_link(std::map<int, Link>& links, int fd) {
  logf("fd=%d link closed (peer %s)", fd, links[fd].peer.c_str());
  for (auto it = g_route.begin(); it != g_route.end();) it = it->second == fd ? g_route.erase(it) : std::next(it);
  close(fd);
  links.erase(fd);
  g_accept_paused_until = 0;  // a descriptor is free again
}

// Reads, handles and flushes one link after poll reported `re`. False when it is to be closed.
bool serve_link(int fd, Link& link, short re) {
  bool alive = true;
  if (re & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
    if (g_opt.no_read) {
      if (re & (POLLRDHUP | POLLHUP | POLLERR)) alive = false;
    } else {
      char buf[65536];
      ssize_t got = recv(fd, buf, sizeof(buf), 0);
      if (got > 0) {
        link.in.append(buf, static_cast<size_t>(got));
        alive = handle_input(fd, link);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        alive = false;
      }
    }
  }
  if (alive && !link.out.empty()) alive = flush_link(fd, link);
  return alive;
}

// Serves every link poll reported on (fds[0] is the listener), then closes the dead ones.
void serve_links(const std::vector<struct pollfd>& fds, std::map<int, Link>& links) {
  std::vector<int> dead;
  for (size_t i = 1; i < fds.size(); ++i) {
    int fd = fds[i].fd;
    Link& link = links[fd];
    short re = fds[i].revents;
    if (re == 0) continue;
    if (!serve_link(fd, link, re)) dead.push_back(fd);
  }
  for (int fd : dead) close_link(links, fd);
}

// Accepts up to 64 waiting links and sends each its first load reports. Out of
// descriptors, accepting pauses (see g_accept_paused_until).
void accept_links(int lfd, std::map<int, Link>& links) {
  for (int k = 0; k < 64; ++k) {
    struct sockaddr_in peer;
    socklen_t plen = sizeof(peer);
    int fd = accept(lfd, reinterpret_cast<struct sockaddr*>(&peer), &plen);
    if (fd < 0) {
      const int err = errno;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        if (!g_accept_failing) logf("accept failed: %s; accepting paused until a link ends", strerror(err));
        g_accept_failing = true;
        g_accept_paused_until = now_ms() + 1000;
      }
      break;
    }
    g_accept_failing = false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    Link& link = links[fd];
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof(addr));
    link.peer = std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
    logf("fd=%d link accepted from %s", fd, link.peer.c_str());
    queue_reports(fd, link);
    link.next_report_ms = now_ms() + g_opt.report_ms;
    if (!flush_link(fd, link)) close_link(links, fd);
  }
}

// Repeats the load reports on every link whose --report-ms period has passed.
void send_due_reports(std::map<int, Link>& links) {
  if (g_opt.report_ms <= 0 || (!g_opt.waiter && !g_opt.notify)) return;
  long long now = now_ms();
  for (auto& kv : links) {
    if (now < kv.second.next_report_ms) continue;
    queue_reports(kv.first, kv.second);
    kv.second.next_report_ms = now + g_opt.report_ms;
    flush_link(kv.first, kv.second);
  }
}

// Closes the links whose queue passed kMaxBacklog (their gateway does not read).
void close_overflowed(std::map<int, Link>& links) {
  std::vector<int> full;
  for (auto& kv : links)
    if (kv.second.overflowed) full.push_back(kv.first);
  for (int fd : full) {
    logf("fd=%d %zu bytes of answers wait for a gateway that does not read them, closing", fd, links[fd].out.size());
    close_link(links, fd);
  }
}

// The poll loop, until SIGTERM or SIGINT or a failed poll; closes every link on the way out.
void serve(int lfd) {
  std::map<int, Link>& links = g_links;
  while (!g_stop) {
    close_overflowed(links);
    std::vector<struct pollfd> fds = poll_set(lfd, links);
    fflush(stdout);
    int n = poll(fds.data(), fds.size(), 200);
    if (n < 0 && errno != EINTR) {
      fprintf(stderr, "logic_server: poll failed: %s\n", strerror(errno));
      break;
    }
    if (g_stop) break;
    if (n > 0) serve_links(fds, links);
    if (n > 0 && (fds[0].revents & POLLIN)) accept_links(lfd, links);
    send_due_reports(links);
  }
  for (auto& kv : links) close(kv.first);
}

}  // namespace

int main(int argc, char** argv) {
  // Otherwise a gateway link could take descriptor 1 and carry the log lines.
  open_standard_descriptors();
  // Lines go out once per loop turn, before the next wait: a write per line would cost
  // more than the relaying it reports.
  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof(out_buffer));
  if (!parse_args(argc, argv)) {
    usage(stderr);
    return 2;
  }
  install_signal_handlers();

  int lfd = listen_on(g_opt.bind_addr, g_opt.port);
  if (lfd < 0) {
    fprintf(stderr, "logic_server: cannot listen on %s:%d: %s\n", g_opt.bind_addr.c_str(), g_opt.port, strerror(errno));
    return 1;
  }
  logf("listening on %s:%d%s%s", g_opt.bind_addr.c_str(), g_opt.port, g_opt.silent ? " (silent)" : "",
       g_opt.no_read ? " (never reads)" : "");
  serve(lfd);
  close(lfd);
  logf("stopped");
  return 0;
}
