// Bare epoll echo server: the floor of the relay benchmarks. Whatever a connection sends
// comes back on the same connection, unchanged and in order, with nothing in between.
//
//   echo_server [-b ADDR] PORT
//
// Listens on ADDR (default 127.0.0.1) at PORT; with PORT 0 the kernel picks one. Once it
// listens it prints "listening PORT" on standard output. One thread, level-triggered
// epoll, one read per readiness event. Bytes that the socket does not take at once wait in
// a per-connection buffer, and that connection is not read again until they are gone, so
// a client that never reads cannot make the server grow without bound. Out of
// descriptors, accepting pauses until a connection ends or a second has passed.
// SIGTERM and SIGINT stop it (exit status 0).
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
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Conn {
  int fd = -1;
  std::string pending;  // echoed bytes the socket has not taken yet
};

int set_nonblock(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int listen_on(const char* addr, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
      listen(fd, 4096) != 0 || set_nonblock(fd) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in sa;
  socklen_t len = sizeof(sa);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

class EchoServer {
 public:
  explicit EchoServer(int listen_fd) : lfd_(listen_fd), buf_(65536) {}

  int run() {
    ep_ = epoll_create1(0);
    if (ep_ < 0) return -1;
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the listener
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, lfd_, &ev) != 0) return -1;
    std::vector<epoll_event> events(1024);
    while (!g_stop) {
      if (accept_paused_ && (resume_accept_ || now_ms() >= accept_paused_until_)) set_accepting(true);
      int n = epoll_wait(ep_, events.data(), static_cast<int>(events.size()), 500);
      if (n < 0) {
        if (errno == EINTR) continue;
        perror("epoll_wait");
        return -1;
      }
      for (int i = 0; i < n; ++i) {
        Conn* c = static_cast<Conn*>(events[i].data.ptr);
        if (c == nullptr) {
          accept_all();
        } else if (events[i].events & (EPOLLERR | EPOLLHUP)) {
          drop(c);
        } else if (events[i].events & EPOLLOUT) {
          flush(c);
        } else if (events[i].events & EPOLLIN) {
          echo(c);
        }
      }
    }
    return 0;
  }

 private:
  void accept_all() {
    for (;;) {
      int fd = accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK);
      if (fd < 0) {
        const int err = errno;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
          // The listener stays readable while the queue holds connections: watching it
          // now would spin. One line until an accept succeeds again.
          if (!accept_failing_)
            fprintf(stderr, "echo_server: accept4: %s; accepting paused until a connection ends\n", strerror(err));
          accept_failing_ = true;
          accept_paused_until_ = now_ms() + 1000;
          set_accepting(false);
        } else if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
          perror("accept4");
        }
        return;
      }
      accept_failing_ = false;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      Conn* c = new Conn;
      c->fd = fd;
      if (watch(c, EPOLLIN, EPOLL_CTL_ADD) != 0) {
        close(fd);
        delete c;
      }
    }
  }

  static long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  void set_accepting(bool on) {
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.ptr = nullptr;
    epoll_ctl(ep_, EPOLL_CTL_MOD, lfd_, &ev);
    accept_paused_ = !on;
    resume_accept_ = false;
  }

  int watch(Conn* c, uint32_t events, int op) {
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = events;
    ev.data.ptr = c;
    return epoll_ctl(ep_, op, c->fd, &ev);
  }

  void echo(Conn* c) {
    ssize_t r = recv(c->fd, buf_.data(), buf_.size(), 0);
    if (r < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop(c);
      return;
    }
    if (r == 0) {
      drop(c);
      return;
    }
    ssize_t w = send(c->fd, buf_.data(), static_cast<size_t>(r), MSG_NOSIGNAL);
    if (w < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        drop(c);
        return;
      }
      w = 0;
    }
    if (w < r) {
      c->pending.assign(buf_.data() + w, static_cast<size_t>(r - w));
      // Stop reading until the backlog is written: the echo keeps its order and bound.
      if (watch(c, EPOLLOUT, EPOLL_CTL_MOD) != 0) drop(c);
    }
  }

  void flush(Conn* c) {
    while (!c->pending.empty()) {
      ssize_t w = send(c->fd, c->pending.data(), c->pending.size(), MSG_NOSIGNAL);
      if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        drop(c);
        return;
      }
      c->pending.erase(0, static_cast<size_t>(w));
    }
    std::string().swap(c->pending);
    if (watch(c, EPOLLIN, EPOLL_CTL_MOD) != 0) drop(c);
  }

  // Closing the descriptor removes it from the epoll set; no event of this batch can
  // still name it because each connection appears at most once per epoll_wait result.
  void drop(Conn* c) {
    close(c->fd);
    delete c;
    resume_accept_ = true;  // a descriptor is free again
  }

  int lfd_;
  int ep_ = -1;
  std::vector<char> buf_;
  bool accept_paused_ = false;
  bool accept_failing_ = false;
  bool resume_accept_ = false;
  long long accept_paused_until_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* addr = "127.0.0.1";
  int port = -1;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-b") == 0 && i + 1 < argc) {
      addr = argv[++i];
    } else if (port < 0 && argv[i][0] >= '0' && argv[i][0] <= '9') {
      port = atoi(argv[i]);
    } else {
      port = -1;
      break;
    }
  }
  if (port < 0 || port > 65535) {
    fprintf(stderr, "usage: echo_server [-b ADDR] PORT\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int lfd = listen_on(addr, port);
  if (lfd < 0) {
    fprintf(stderr, "echo_server: cannot listen on %s:%d: %s\n", addr, port, strerror(errno));
    return 1;
  }
  printf("listening %d\n", bound_port(lfd));
  fflush(stdout);
  EchoServer server(lfd);
  return server.run() == 0 ? 0 : 1;
}
