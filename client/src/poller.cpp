#include "poller.h"

#include <unistd.h>

#include <cerrno>

#include "tcp_client.h"

poller_t::poller_t() : efd(epoll_create1(EPOLL_CLOEXEC)), events() {}

poller_t::~poller_t() {
  if (efd >= 0) close(efd);
}

int poller_t::attach(CTcpClient* c) {
  if (c == nullptr || c->socketfd_ < 0) return -1;
  epoll_event ev = {};
  ev.events = c->event;
  ev.data.ptr = c;
  if (epoll_ctl(efd, EPOLL_CTL_ADD, c->socketfd_, &ev) == 0) return 0;
  if (errno == EEXIST && epoll_ctl(efd, EPOLL_CTL_MOD, c->socketfd_, &ev) == 0) return 0;
  return -1;
}

int poller_t::detach(CTcpClient* c) {
  if (c == nullptr || c->socketfd_ < 0) return -1;
  epoll_event ev = {};
  return epoll_ctl(efd, EPOLL_CTL_DEL, c->socketfd_, &ev) == 0 ? 0 : -1;
}

int poller_t::wait(int ms) { return epoll_wait(efd, events, MAX_EVENTS, ms); }
