#include "relay_harness.h"

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

namespace relaytest {

using testsupport::wait_until;

// ---------------------------------------------------------------------------------------

LogicServer::LogicServer(const std::string& name, std::vector<std::string> extra_args)
    : name_(name), extra_(std::move(extra_args)), port_(testsupport::free_port()) {}

LogicServer::~LogicServer() {
  if (proc_) proc_->stop(SIGTERM, 3000);
}

bool LogicServer::start() {
  if (proc_ && proc_->running()) return true;
  std::vector<std::string> argv = {testsupport::binary("logic_server"), "--name", name_};
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  argv.push_back(std::to_string(port_));
  proc_.reset(new testsupport::Process);
  const std::string out = dir_.file("out" + std::to_string(++starts_) + ".txt");
  if (!proc_->start(argv, dir_.path(), out, dir_.file("err.txt"))) return false;
  const std::string needle = "listening on 127.0.0.1:" + std::to_string(port_);
  return wait_until([&] { return testsupport::read_file(out).find(needle) != std::string::npos; }, 10000);
}

int LogicServer::stop() { return proc_ ? proc_->stop(SIGTERM, 5000) : -1; }

std::vector<std::string> LogicServer::lines() const {
  std::vector<std::string> all;
  for (int i = 1; i <= starts_; ++i) {
    std::istringstream in(testsupport::read_file(dir_.file("out" + std::to_string(i) + ".txt")));
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

RawLogic::RawLogic() {
  lfd_ = testpackets::listen_loopback(16, &port_);
  // Ask for receive stamps now, long before the first packet: the kernel switches stamping
  // on from a deferred work item, so a socket that asks for it just before data arrives can
  // get its first reads unstamped. Accepted sockets inherit the option.
  int one = 1;
  setsockopt(lfd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
}

RawLogic::~RawLogic() {
  if (conn_ >= 0) ::close(conn_);
  ::close(lfd_);
}

bool RawLogic::accept_link(int timeout_ms) {
  pollfd p{lfd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  if (conn_ >= 0) ::close(conn_);
  conn_ = accept(lfd_, nullptr, nullptr);
  buf_.clear();
  if (conn_ < 0) return false;
  int one = 1;
  setsockopt(conn_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
  return true;
}

bool RawLogic::send(const std::string& bytes) {
  return conn_ >= 0 && testsupport::send_all(conn_, bytes.data(), bytes.size());
}

bool RawLogic::read(Packet* out, int timeout_ms) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (testpackets::cut_packet(&buf_, out)) {
      out->recv_ns = last_ns_;
      return true;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (conn_ < 0 || elapsed >= timeout_ms) return false;
    pollfd p{conn_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_ms - elapsed)) != 1) continue;
    char data[65536];
    char control[256];
    iovec iov{data, sizeof(data)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(conn_, &msg, 0);
    if (n <= 0) return false;
    last_ns_ = 0;  // an unstamped read must not keep an earlier read's stamp
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        struct timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof(ts));
        last_ns_ = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
    }
    buf_.append(data, static_cast<size_t>(n));
  }
}

void RawLogic::close_link() {
  if (conn_ >= 0) ::close(conn_);
  conn_ = -1;
}

bool RawLogic::wait_closed(int timeout_ms) { return conn_ >= 0 && testsupport::wait_closed(conn_, timeout_ms); }

}  // namespace relaytest
