#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net.h"
#include "packet_base.h"

namespace {

typedef std::chrono::steady_clock Clock;

Clock::time_point after_ms(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Waits for `events` on fd for one slice of at most 50 ms that ends by `deadline`, so that
// a caller looks for a stop between slices. poll's result, or -2 (no wait) once the
// deadline has passed.
int poll_slice(int fd, short events, Clock::time_point deadline) {
  const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return -2;
  pollfd p = {fd, events, 0};
  return poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
}

}  // namespace

CTcpClient::CTcpClient(const std::string& host, unsigned short port, int connect_timeout_ms, int send_timeout_ms)
    : socketfd_(-1),
      host_(host),
      port_(port),
      IsConnected(false),
      event(0),
      cancel(nullptr),
      close_wait_ms(500),
      connect_timeout_ms_(connect_timeout_ms),
      send_timeout_ms_(send_timeout_ms) {}

CTcpClient::~CTcpClient() { Close(); }

void CTcpClient::Close() {
  if (socketfd_ < 0) return;
  // Bytes from the gateway left unread at close(), or arriving after it (the answers to
  // the orders it is still reading), make the kernel reset the connection and throw away
  // what the socket has still to deliver: packets that count as sent. So the end is
  // announced first (a FIN behind the last packet), and what the gateway sends is read
  // and dropped until it closes too, for close_wait_ms at most.
  shutdown(socketfd_, SHUT_WR);
  const Clock::time_point deadline = after_ms(close_wait_ms);
  char scratch[4096];
  while (Clock::now() < deadline) {
    const ssize_t n = recv(socketfd_, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    poll_slice(socketfd_, POLLIN, deadline);
  }
  close(socketfd_);
  socketfd_ = -1;
}

int CTcpClient::Reconnect() {
  Close();
  IsConnected = false;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  if (inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1) return -1;

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (rc != 0 && errno == EINPROGRESS) {
    // Waited for in short slices, as Send waits, so that a stop is seen at once: a gateway
    // that drops connection requests would otherwise hold it for the whole time-out.
    const Clock::time_point deadline = after_ms(connect_timeout_ms_);
    int ready = 0;
    while (cancel == nullptr || !cancel()) {
      ready = poll_slice(fd, POLLOUT, deadline);
      if (ready != 0 && (ready != -1 || errno != EINTR)) break;  // connected, failed or too late
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
  }
  // A link that met itself (nothing listens on the gateway's port) would take every
  // order and deliver none.
  if (rc != 0 || CNet::connected_to_itself(fd)) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  socketfd_ = fd;
  IsConnected = true;
  if (greeting) {
    const std::string first = greeting();
    std::string answer;
    if (first.empty() || Send(first.data(), static_cast<int>(first.size())) == 0 || !read_packet(&answer) ||
        (greeting_answer && !greeting_answer(answer))) {
      IsConnected = false;
      Close();
      return -1;
    }
  }
  return 0;
}

bool CTcpClient::read_packet(std::string* out) {
  out->clear();
  const Clock::time_point deadline = after_ms(connect_timeout_ms_);
  char buf[PACKET_BUFFER_SIZE];
  for (;;) {
    const size_t want = out->size() < PACKET_HEADER_SIZE ? PACKET_HEADER_SIZE : pkg_length(out->data()) + 2u;
    if (want > sizeof(buf)) return false;
    if (out->size() >= want) {
      out->resize(want);
      return true;
    }
    const ssize_t n = recv(socketfd_, buf, want - out->size(), MSG_DONTWAIT);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    if ((cancel != nullptr && cancel()) || poll_slice(socketfd_, POLLIN, deadline) == -2) return false;
  }
}

int CTcpClient::check(int* discarded) {
  if (discarded) *discarded = 0;
  if (socketfd_ < 0) return 0;
  char scratch[4096];
  // Bounded so that a gateway flooding us cannot keep this call from returning.
  for (int round = 0; round < 64; ++round) {
    ssize_t n = recv(socketfd_, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (n > 0) {
      if (discarded) *discarded += static_cast<int>(n);
      continue;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 1;
    return 0;
  }
  // More is waiting than one look reads: a close behind it is seen without reading on.
  pollfd p = {socketfd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return 0;
  return 1;
}

// A full socket is waited for in short slices, so that a cancel is seen at once; the send
// time-out counts from the last byte the socket took.
int CTcpClient::Send(const char* data, int len, int* accepted) {
  int sent = 0;
  if (accepted) *accepted = 0;
  if (socketfd_ < 0 || data == nullptr || len <= 0) return 0;
  Clock::time_point deadline = after_ms(send_timeout_ms_);
  while (sent < len) {
    ssize_t n = send(socketfd_, data + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<int>(n);
      if (accepted) *accepted = sent;
      deadline = after_ms(send_timeout_ms_);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return 0;
    if ((cancel != nullptr && cancel()) || poll_slice(socketfd_, POLLOUT, deadline) == -2) return 0;
  }
  return len;
}
