// TCP socket helpers. See net.h for the contract.
#include "net.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "log.h"

namespace {

std::vector<CNet::TListening> g_listening;  // open listening sockets of this process
std::vector<CNet::TListening> g_inherited;  // handed down and not taken yet

}  // namespace

const std::vector<CNet::TListening>& CNet::listening() { return g_listening; }

void CNet::forget_listening(int fd) {
  for (size_t i = 0; i < g_listening.size(); ++i)
    if (g_listening[i].fd == fd) {
      g_listening.erase(g_listening.begin() + static_cast<long>(i));
      return;
    }
}

void CNet::inherit_listening(uint32_t addr, unsigned short port, int fd) { g_inherited.push_back({addr, port, fd}); }

int CNet::close_unused_inherited() {
  const int n = static_cast<int>(g_inherited.size());
  for (const TListening& l : g_inherited) close(l.fd);
  g_inherited.clear();
  return n;
}

namespace {

// Milliseconds elapsed since `start`.
long elapsed_ms(const struct timeval& start) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_usec - start.tv_usec) / 1000L;
}

// 0 for a connection made, -1 (logged) for one that met itself.
int usable_link(int fd, const char* address, int port) {
  if (!CNet::connected_to_itself(fd)) return 0;
  log_error("socket connect to %s:%d met itself: nothing listens there", address, port);
  return -1;
}

}  // namespace

bool CNet::listen_address(const char* addr, struct in_addr* out) {
  // Only the host part counts: "1.2.3.4:99" binds 1.2.3.4.
  char host[64];
  const char* text = addr != nullptr ? addr : "";
  const size_t len = strcspn(text, ":");
  if (len >= sizeof(host)) return false;
  memcpy(host, text, len);
  host[len] = '\0';
  if (strcmp(host, "*") == 0) {
    out->s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, host, out) == 1;
}

bool CNet::connect_address(const char* address, struct in_addr* out) {
  // A text that is not a dotted address must not turn into 255.255.255.255.
  return address != nullptr && inet_pton(AF_INET, address, out) == 1;
}

int CNet::tcp_bind(const char* addr, unsigned short port, int backlog) {
  const char* text = addr != nullptr ? addr : "";
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (!listen_address(text, &sa.sin_addr)) {
    log_boot("invalid address %s:%d", text, port);
    return -1;
  }
  const int host_len = static_cast<int>(strcspn(text, ":"));  // the host as written

  for (size_t i = 0; i < g_inherited.size(); ++i) {
    const TListening l = g_inherited[i];
    if (l.addr != sa.sin_addr.s_addr || l.port != port) continue;
    g_inherited.erase(g_inherited.begin() + static_cast<long>(i));
    // The same socket, still listening: connections waiting in its queue stay there. A
    // second listen() only applies this configuration's backlog.
    listen(l.fd, backlog);
    g_listening.push_back(l);
    log_boot("listen on tcp %.*s:%u (handed down)", host_len, text, unsigned(port));
    return l.fd;
  }

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    log_boot("make tcp socket error, %m");
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  // Report a connection to accept() only once the client has sent data (or after 60 s).
  int defer = 60;
  setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof(defer));

  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
    log_boot("bind tcp %.*s:%u failed, %m", host_len, text, unsigned(port));
    close(fd);
    return -1;
  }
  if (listen(fd, backlog) != 0) {
    log_boot("listen tcp %.*s:%u failed, %m", host_len, text, unsigned(port));
    close(fd);
    return -1;
  }
  log_boot("listen on tcp %.*s:%u", host_len, text, unsigned(port));
  g_listening.push_back({sa.sin_addr.s_addr, port, fd});
  return fd;
}

int CNet::tcp_connect_start(int* netfd, const char* address, int port) {
  *netfd = -1;
  *netfd = socket(AF_INET, SOCK_STREAM, 0);
  if (*netfd < 0) return -2;

  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<unsigned short>(port));
  if (!connect_address(address, &sa.sin_addr)) {
    log_error("invalid address %s:%d", address != nullptr ? address : "(null)", port);
    return -1;
  }

  // The loop writes each link's packets of a turn in one send: Nagle's algorithm would
  // only hold a forward back until the server acknowledges the previous one, up to a
  // delayed ACK (40 ms) whenever that one got no answer, such as a close notice.
  int on = 1;
  setsockopt(*netfd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));

  // Always non-blocking: the loop thread never waits for a handshake.
  int flags = fcntl(*netfd, F_GETFL, 0);
  fcntl(*netfd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);

  if (connect(*netfd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0)
    return usable_link(*netfd, address, port);
  if (errno != EINPROGRESS) {
    log_error("socket connect errno, %d", errno);
    return -1;
  }
  return 1;
}

int CNet::connect_result(int fd, const char* address, int port) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
  if (err != 0) {
    log_error("socket connect error, %d", err);
    return -1;
  }
  // Writable without an error yet not connected: the handshake has not ended.
  struct sockaddr_in peer;
  socklen_t peer_len = sizeof(peer);
  if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0) return 1;
  return usable_link(fd, address, port);
}

int CNet::tcp_connect(int* netfd, const char* address, int port, int /*block*/, int timeout) {
  int ret = tcp_connect_start(netfd, address, port);
  if (ret <= 0) return ret;

  if (timeout < 0) timeout = 0;
  struct timeval start;
  gettimeofday(&start, nullptr);
  struct pollfd pfd;
  int ready;
  for (;;) {
    long left = timeout - elapsed_ms(start);
    if (left < 0) left = 0;
    pfd.fd = *netfd;
    pfd.events = POLLOUT;
    pfd.revents = 0;
    ready = poll(&pfd, 1, static_cast<int>(left));
    // A signal must not cut the wait short: retry with the time that is left.
    if (ready < 0 && errno == EINTR) continue;
    break;
  }
  if (ready <= 0) return -1;
  return connect_result(*netfd, address, port) == 0 ? 0 : -1;
}

bool CNet::connected_to_itself(int fd) {
  struct sockaddr_in local = {}, peer = {};
  socklen_t local_len = sizeof(local), peer_len = sizeof(peer);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &local_len) != 0 ||
      getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0)
    return false;
  return local.sin_family == AF_INET && peer.sin_family == AF_INET && local.sin_port == peer.sin_port &&
         local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

int CNet::unread_bytes(int fd) {
  int n = 0;
  return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

int CNet::unacked_bytes(int fd) {
  int n = 0;
  return fd >= 0 && ioctl(fd, SIOCOUTQ, &n) == 0 && n > 0 ? n : 0;
}
