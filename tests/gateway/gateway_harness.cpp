#include "gateway_harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

namespace gwtest {

using testsupport::wait_until;

FakeLogic::FakeLogic() {
  listen_fd_ = testpackets::listen_loopback(64, &port_);
  if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
  thread_ = std::thread([this] { loop(); });
}

FakeLogic::~FakeLogic() {
  if (wake_[1] >= 0) {
    char c = 'x';
    ssize_t n = write(wake_[1], &c, 1);
    (void)n;
  }
  thread_.join();
  for (int fd : conns_) ::close(fd);
  ::close(listen_fd_);
  if (wake_[0] >= 0) ::close(wake_[0]);
  if (wake_[1] >= 0) ::close(wake_[1]);
}

void FakeLogic::loop() {
  std::map<int, std::string> bufs;  // per connection: bytes not yet cut into packets
  for (;;) {
    std::vector<pollfd> pfds;
    pfds.push_back({wake_[0], POLLIN, 0});
    pfds.push_back({listen_fd_, POLLIN, 0});
    {
      std::lock_guard<std::mutex> g(mu_);
      for (int fd : conns_) pfds.push_back({fd, POLLIN, 0});
    }
    if (poll(pfds.data(), pfds.size(), 200) < 0 && errno != EINTR) return;
    if (pfds[0].revents) return;
    if (pfds[1].revents & POLLIN) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd >= 0) {
        std::lock_guard<std::mutex> g(mu_);
        conns_.push_back(fd);
      }
    }
    for (size_t i = 2; i < pfds.size(); ++i) {
      if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const int fd = pfds[i].fd;
      char tmp[65536];
      ssize_t n = recv(fd, tmp, sizeof(tmp), 0);
      std::lock_guard<std::mutex> g(mu_);
      if (n <= 0) {
        ::close(fd);
        bufs.erase(fd);
        for (size_t k = 0; k < conns_.size(); ++k)
          if (conns_[k] == fd) conns_.erase(conns_.begin() + static_cast<long>(k));
        ++closed_;
        continue;
      }
      std::string& buf = bufs[fd];
      buf.append(tmp, static_cast<size_t>(n));
      Packet p;
      while (testpackets::cut_packet(&buf, &p)) got_.push_back(p);
      if (testpackets::broken_header(buf)) buf.clear();  // not a packet stream; drop it
    }
  }
}

size_t FakeLogic::closed_links() {
  std::lock_guard<std::mutex> g(mu_);
  return closed_;
}

std::vector<Packet> FakeLogic::packets() {
  std::lock_guard<std::mutex> g(mu_);
  return got_;
}

size_t FakeLogic::count(unsigned short cmd) {
  std::lock_guard<std::mutex> g(mu_);
  size_t n = 0;
  for (const Packet& p : got_) n += p.cmd == cmd;
  return n;
}

bool FakeLogic::wait_for(unsigned short cmd, size_t n, int timeout_ms) {
  return wait_until([&] { return count(cmd) >= n; }, timeout_ms);
}

bool FakeLogic::wait_connected(int timeout_ms) {
  return wait_until(
      [&] {
        std::lock_guard<std::mutex> g(mu_);
        return !conns_.empty();
      },
      timeout_ms);
}

bool FakeLogic::send_to_gateway(const std::string& bytes) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!conns_.empty()) fd = conns_.back();
  }
  return fd >= 0 && testsupport::send_all(fd, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------

Gateway::~Gateway() { stop(); }

int Gateway::start_daemon(std::string* output) {
  // As `out=$(hall ...)` runs it: output and error into one pipe, read to its end.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const std::string write_end = "/dev/fd/" + std::to_string(fds[1]);
  testsupport::Process starter;
  const bool started = starter.start(argv(false), bin(), write_end, write_end);
  close(fds[1]);
  std::string out;
  bool ended = false;
  const bool in_time = started && wait_until(
                                      [&] {
                                        pollfd p = {fds[0], POLLIN, 0};
                                        char buf[4096];
                                        while (!ended && poll(&p, 1, 0) == 1) {
                                          const ssize_t n = read(fds[0], buf, sizeof(buf));
                                          if (n > 0) out.append(buf, static_cast<size_t>(n));
                                          ended = n <= 0;
                                        }
                                        return ended;
                                      },
                                      30000);
  close(fds[0]);
  const int st = starter.wait(30000);
  if (output) *output = out;
  // Only a gateway that reported success is ours to stop later; the pid of a failed
  // one may already belong to someone else.
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) daemon_pid_ = logged_pid();
  // A gateway that holds on to the pipe leaves the reader waiting.
  return in_time ? st : -1;
}

pid_t Gateway::logged_pid() const {
  pid_t pid = -1;
  DIR* d = opendir((root() + "/log").c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "debug.", 6) == 0) pid = static_cast<pid_t>(atoi(e->d_name + 6));
  }
  closedir(d);
  return pid;
}

void Gateway::stop() {
  HallRun::stop();
  if (daemon_pid_ > 0) {
    if (kill(daemon_pid_, SIGTERM) == 0) {
      const pid_t pid = daemon_pid_;
      if (!wait_until([&] { return kill(pid, 0) != 0; }, 5000)) kill(pid, SIGKILL);
    }
    daemon_pid_ = -1;
  }
}

bool Gateway::alive() {
  if (daemon_pid_ > 0) return kill(daemon_pid_, 0) == 0;
  return HallRun::alive();
}

}  // namespace gwtest
