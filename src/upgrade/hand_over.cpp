#include "upgrade/hand_over.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hall_upgrade {

namespace {

// Waits until `sock` is readable, at most timeout_ms; false on a time-out or error.
bool wait_readable(int sock, int timeout_ms) {
  struct pollfd p = {sock, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

void close_all(std::vector<int>* fds) {
  for (int fd : *fds) close(fd);
  fds->clear();
}

}  // namespace

void CReader::take(void* out, size_t n) {
  if (!_ok || _left < n) {
    _ok = false;
    memset(out, 0, n);
    return;
  }
  memcpy(out, _p, n);
  _p += n;
  _left -= n;
}

bool CReader::bytes(std::string* s) {
  const uint32_t n = u32();
  if (!_ok || _left < n) {
    _ok = false;
    return false;
  }
  s->assign(_p, n);
  _p += n;
  _left -= n;
  return true;
}

void write_carry(CWriter* w, const __http_svr_ns__::TConnCarry& c) {
  w->u8(static_cast<uint8_t>(c.kind));
  w->u32(c.addr);
  w->u8(c.awaitingHeader ? 1 : 0);
  w->u32(static_cast<uint32_t>(c.ids.size()));
  for (int id : c.ids) w->u32(static_cast<uint32_t>(id));
  w->u32(static_cast<uint32_t>(c.lastId));
  w->u8(c.announce ? 1 : 0);
  w->u8(c.closeWhenSent ? 1 : 0);
  w->u64(static_cast<uint64_t>(c.idleLeftUs));
  w->bytes(c.unframed);
  w->bytes(c.unwritten);
  w->bytes(c.transport);
}

bool read_carry(CReader* r, __http_svr_ns__::TConnCarry* c) {
  c->kind = r->u8();
  c->addr = r->u32();
  c->awaitingHeader = r->u8() != 0;
  const uint32_t ids = r->u32();
  // Each id takes 4 bytes: a count beyond what is left is a broken record.
  if (!r->ok() || ids > r->left() / 4) return false;
  c->ids.clear();
  for (uint32_t i = 0; i < ids; ++i) c->ids.push_back(static_cast<int>(r->u32()));
  c->lastId = static_cast<int>(r->u32());
  c->announce = r->u8() != 0;
  c->closeWhenSent = r->u8() != 0;
  c->idleLeftUs = static_cast<int64_t>(r->u64());
  r->bytes(&c->unframed);
  r->bytes(&c->unwritten);
  r->bytes(&c->transport);
  return r->ok();
}

bool send_frame(int sock, uint32_t type, const std::string& payload, const int* fds, int nfds) {
  if (nfds < 0 || nfds > kMaxFds || payload.size() > kMaxPayload) return false;
  uint32_t head[2] = {type, static_cast<uint32_t>(payload.size())};
  struct iovec iov[2];
  iov[0].iov_base = head;
  iov[0].iov_len = sizeof(head);
  iov[1].iov_base = const_cast<char*>(payload.data());
  iov[1].iov_len = payload.size();
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_iov = iov;
  msg.msg_iovlen = payload.empty() ? 1 : 2;
  std::vector<char> control;
  if (nfds > 0) {
    control.assign(CMSG_SPACE(sizeof(int) * static_cast<size_t>(nfds)), 0);
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    struct cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<size_t>(nfds));
    memcpy(CMSG_DATA(cm), fds, sizeof(int) * static_cast<size_t>(nfds));
  }
  ssize_t n;
  do {
    n = sendmsg(sock, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  // The descriptors went with the first bytes; the rest of a long frame follows plain.
  size_t sent = static_cast<size_t>(n);
  const size_t total = sizeof(head) + payload.size();
  while (sent < total) {
    const char* from =
        sent < sizeof(head) ? reinterpret_cast<const char*>(head) + sent : payload.data() + (sent - sizeof(head));
    const size_t len = sent < sizeof(head) ? sizeof(head) - sent : total - sent;
    n = send(sock, from, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool recv_frame(int sock, int timeout_ms, uint32_t* type, std::string* payload, std::vector<int>* fds,
                std::string* why) {
  fds->clear();
  uint32_t head[2] = {0, 0};
  size_t got = 0;
  // Sized for a whole batch: a shorter buffer would drop descriptors (MSG_CTRUNC).
  std::vector<char> control(CMSG_SPACE(sizeof(int) * kMaxFds));
  while (got < sizeof(head)) {
    if (!wait_readable(sock, timeout_ms)) {
      *why = "no message in time";
      close_all(fds);
      return false;
    }
    struct iovec iov = {reinterpret_cast<char*>(head) + got, sizeof(head) - got};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      *why = n == 0 ? "the other process closed the socket" : std::string("recvmsg: ") + strerror(errno);
      close_all(fds);
      return false;
    }
    for (struct cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
        fds->push_back(fd);
      }
    }
    if ((msg.msg_flags & MSG_CTRUNC) != 0) {
      *why = "descriptors cut short (MSG_CTRUNC)";
      close_all(fds);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  if (head[1] > kMaxPayload) {
    *why = "a frame beyond the payload bound";
    close_all(fds);
    return false;
  }
  *type = head[0];
  payload->resize(head[1]);
  for (size_t at = 0; at < head[1];) {
    if (!wait_readable(sock, timeout_ms)) {
      *why = "a frame cut short";
      close_all(fds);
      return false;
    }
    const ssize_t n = recv(sock, &(*payload)[at], head[1] - at, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      *why = "a frame cut short";
      close_all(fds);
      return false;
    }
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace hall_upgrade
