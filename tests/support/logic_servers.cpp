#include "logic_servers.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <utility>

namespace testsupport {

LogicServer::LogicServer(const std::string& name, std::vector<std::string> extra_args)
    : name_(name), extra_(std::move(extra_args)), port_(free_port()) {}

LogicServer::~LogicServer() {
  if (proc_) proc_->stop(SIGTERM, 3000);
}

bool LogicServer::start() {
  if (proc_ && proc_->running()) return true;
  std::vector<std::string> argv = {binary("logic_server"), "--name", name_};
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  argv.push_back(std::to_string(port_));
  proc_.reset(new Process);
  const std::string out = dir_.file("out" + std::to_string(++starts_) + ".txt");
  if (!proc_->start(argv, dir_.path(), out, dir_.file("err.txt"))) return false;
  // "listening on ADDR:PORT", the address 127.0.0.1 unless --bind names another.
  const std::string needle = ":" + std::to_string(port_);
  return wait_until(
      [&] {
        const std::string text = read_file(out);
        const size_t at = text.find("listening on ");
        return at != std::string::npos && text.find(needle, at) != std::string::npos;
      },
      10000);
}

pid_t LogicServer::pid() const { return proc_ ? proc_->pid() : -1; }

int LogicServer::stop() { return proc_ ? proc_->stop(SIGTERM, 5000) : -1; }

std::vector<std::string> LogicServer::lines() const {
  std::vector<std::string> all;
  for (int i = 1; i <= starts_; ++i) {
    std::istringstream in(read_file(dir_.file("out" + std::to_string(i) + ".txt")));
    std::string line;
    while (std::getline(in, line)) all.push_back(line);
  }
  return all;
}

std::vector<std::string> LogicServer::matching(const std::string& needle) const {
  std::vector<std::string> out;
  for (const std::string& l : lines())
    if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

bool LogicServer::wait_matching(const std::string& needle, size_t n, int timeout_ms) const {
  return wait_until([&] { return matching(needle).size() >= n; }, timeout_ms);
}

// ---------------------------------------------------------------------------------------

namespace {

const int kBacklog = 16;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

FakeLogic::FakeLogic(int rcvbuf) {
  lfd_ = testsupport::tcp_listener(&port_, kBacklog, rcvbuf);
  // Ask for receive stamps now, long before the first packet: the kernel switches stamping
  // on from a deferred work item, so a socket that asks for it just before data arrives can
  // get its first reads unstamped. Accepted sockets inherit the option.
  int one = 1;
  setsockopt(lfd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
}

FakeLogic::~FakeLogic() {
  close_link();
  unstall();
  ::close(lfd_);
}

bool FakeLogic::accept_link(int timeout_ms) {
  pollfd p{lfd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  close_link();
  conn_ = accept(lfd_, nullptr, nullptr);
  return conn_ >= 0;
}

bool FakeLogic::send(const std::string& bytes) { return conn_ >= 0 && send_all(conn_, bytes.data(), bytes.size()); }

void FakeLogic::close_link() {
  if (conn_ >= 0) ::close(conn_);
  conn_ = -1;
  ended_ = false;
  buf_.clear();
  next_ = got_.size();  // what the old link left unread goes with it
}

int FakeLogic::pump(int timeout_ms) {
  if (conn_ < 0 || ended_) return -1;
  pollfd p{conn_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return 0;
  char data[65536];
  char control[256];
  iovec iov{data, sizeof(data)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  const ssize_t n = recvmsg(conn_, &msg, 0);
  if (n < 0 && errno == EINTR) return 0;
  if (n <= 0) {
    ended_ = true;
    return -1;
  }
  int64_t stamp = 0;  // an unstamped read must not keep an earlier read's stamp
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      struct timespec ts;
      memcpy(&ts, CMSG_DATA(c), sizeof(ts));
      stamp = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
  }
  buf_.append(data, static_cast<size_t>(n));
  testpackets::Packet pkt;
  while (testpackets::cut_packet(&buf_, &pkt)) {
    pkt.recv_ns = stamp;
    got_.push_back(pkt);
  }
  if (testpackets::broken_header(buf_)) buf_.clear();  // not a packet stream; drop it
  return 1;
}

bool FakeLogic::read_until(const std::function<bool()>& done, int timeout_ms) {
  const long long end = now_ms() + timeout_ms;
  while (!done()) {
    const long long left = end - now_ms();
    if (left <= 0 || pump(static_cast<int>(left)) < 0) return done();
  }
  return true;
}

bool FakeLogic::read(testpackets::Packet* out, int timeout_ms) {
  if (!read_until([&] { return next_ < got_.size(); }, timeout_ms)) return false;
  *out = got_[next_++];
  return true;
}

std::vector<testpackets::Packet> FakeLogic::packets() {
  for (int i = 0; i < 1000 && pump(0) > 0; ++i) {
  }
  return got_;
}

size_t FakeLogic::count(unsigned short cmd) {
  size_t n = 0;
  for (const testpackets::Packet& p : packets()) n += p.cmd == cmd;
  return n;
}

bool FakeLogic::wait_for(unsigned short cmd, size_t n, int timeout_ms) {
  return read_until(
      [&] {
        size_t have = 0;
        for (const testpackets::Packet& p : got_) have += p.cmd == cmd;
        return have >= n;
      },
      timeout_ms);
}

bool FakeLogic::wait_closed(int timeout_ms) {
  return read_until([&] { return ended_; }, timeout_ms);
}

void FakeLogic::stall() {
  // With a backlog of 0 the queue holds one connection; this one fills it, and the
  // kernel drops every further connection request.
  listen(lfd_, 0);
  const int fd = tcp_connect_local(port_, 2000);
  if (fd >= 0) fillers_.push_back(fd);
}

void FakeLogic::unstall() {
  pollfd p{lfd_, POLLIN, 0};
  for (int i = 0; i < 64 && poll(&p, 1, 0) == 1; ++i) {
    const int fd = accept(lfd_, nullptr, nullptr);
    if (fd < 0) break;
    ::close(fd);
  }
  for (int fd : fillers_) ::close(fd);
  fillers_.clear();
  listen(lfd_, kBacklog);
}

}  // namespace testsupport
