#include "fake_gateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "test_support.h"

bool FakeGateway::start(int port, int rcvbuf) {
  stop();
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // Set before listen so that the window offered to the client is small from the start.
  if (rcvbuf > 0) setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port == 0 ? testsupport::free_port() : port));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listen_fd_, 8) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  port_ = ntohs(addr.sin_port);
  if (pipe(wake_) != 0) return false;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void FakeGateway::stop() {
  if (!thread_.joinable()) return;
  char c = 'q';
  if (write(wake_[1], &c, 1) != 1) {
  }
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
}

void FakeGateway::close_client() {
  close_request_ = true;
  char c = 'c';
  if (write(wake_[1], &c, 1) != 1) {
  }
  testsupport::wait_until([&] { return !close_request_.load(); }, 5000);
}

void FakeGateway::stall_after(size_t bytes) { stall_at_ = bytes; }

void FakeGateway::drain() {
  drain_request_ = true;
  char c = 'd';
  if (write(wake_[1], &c, 1) != 1) {
  }
  testsupport::wait_until([&] { return !drain_request_.load(); }, 15000);
}

void FakeGateway::read_to_end(std::string* in, int conn_no) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool close_it = false;
  while (!close_it && std::chrono::steady_clock::now() < deadline) {
    pollfd p = {client_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(client_fd_, buf, sizeof(buf), 0);
    if (n <= 0) break;
    in->append(buf, static_cast<size_t>(n));
    handle_bytes(in, conn_no, &close_it);
  }
  close(client_fd_.exchange(-1));
  in->clear();
  stall_at_ = 0;
}

bool FakeGateway::send_to_client(const std::string& bytes) {
  int fd = client_fd_;
  if (fd < 0) return false;
  size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 50);
    } else {
      return false;
    }
  }
  return done == bytes.size();
}

std::vector<ReceivedOrder> FakeGateway::orders() {
  std::lock_guard<std::mutex> lock(mu_);
  return orders_;
}

size_t FakeGateway::order_count() {
  std::lock_guard<std::mutex> lock(mu_);
  return orders_.size();
}

void FakeGateway::handle_bytes(std::string* in, int conn_no, bool* close_it) {
  while (in->size() >= static_cast<size_t>(PACKET_HEADER_SIZE)) {
    int total = pkg_length(in->data()) + 2;
    if (!pkg_flag_ok(in->data()) || total > 8000 || total < PACKET_HEADER_SIZE) {
      ++errors_;
      *close_it = true;
      return;
    }
    if (in->size() < static_cast<size_t>(total)) return;
    std::string packet = in->substr(0, static_cast<size_t>(total));
    in->erase(0, static_cast<size_t>(total));
    ReceivedOrder o;
    o.cmd = pkg_cmd(packet.data());
    o.packet_size = total;
    o.connection = conn_no;
    o.checksum_ok = CEncryptDecrypt::DecryptPacket(&packet[0], total) >= 0;
    if (total >= 17) {
      o.client_id = pkg_get_i32(packet.data() + 9);
      int n = pkg_get_i32(packet.data() + 13);
      if (n >= 1 && 17 + n <= total && packet[static_cast<size_t>(16 + n)] == '\0')
        o.text = packet.substr(17, static_cast<size_t>(n - 1));
      else
        ++errors_;
    }
    std::lock_guard<std::mutex> lock(mu_);
    orders_.push_back(o);
  }
}

void FakeGateway::serve() {
  std::string in;
  int conn_no = 0;
  size_t conn_bytes = 0;  // read from the connection in service
  for (;;) {
    const bool stalled = stall_at_ != 0 && conn_bytes >= stall_at_;
    pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client_fd_, POLLIN, 0}};
    int nfds = client_fd_ >= 0 && !stalled ? 3 : 2;
    if (poll(fds, static_cast<nfds_t>(nfds), 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char c = 0;
      if (read(wake_[0], &c, 1) == 1 && c == 'q') break;
    }
    if (close_request_) {
      if (client_fd_ >= 0) close(client_fd_.exchange(-1));
      in.clear();
      close_request_ = false;
    }
    if (client_fd_ >= 0 && stalled && (drain_request_ || (fds[1].revents & POLLIN))) read_to_end(&in, conn_no);
    drain_request_ = false;
    if (nfds == 3 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && client_fd_ >= 0) {
      char buf[65536];
      size_t want = sizeof(buf);
      if (stall_at_ != 0 && stall_at_ - conn_bytes < want) want = stall_at_ - conn_bytes;
      ssize_t n = recv(client_fd_, buf, want, 0);
      if (n > 0) conn_bytes += static_cast<size_t>(n);
      bool close_it = n <= 0;
      if (n > 0) {
        in.append(buf, static_cast<size_t>(n));
        handle_bytes(&in, conn_no, &close_it);
      }
      if (close_it) {
        close(client_fd_.exchange(-1));
        in.clear();
      }
    }
    if ((fds[1].revents & POLLIN) && client_fd_ < 0) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        client_fd_ = fd;
        conn_no = ++accepted_;
        conn_bytes = 0;
      }
    }
  }
  if (client_fd_ >= 0) close(client_fd_.exchange(-1));
  close(listen_fd_);
  listen_fd_ = -1;
}

std::string write_client_conf(const std::string& dir, int gateway_port, int redis_port, const std::string& key,
                              int client_id, int log_level, int pause_ms) {
  std::string path = dir + "/client.ini";
  testsupport::write_file(path, "[gateway]\nip=127.0.0.1\nport=" + std::to_string(gateway_port) +
                                    "\nclient_id=" + std::to_string(client_id) +
                                    "\n[redis]\nip=127.0.0.1\nport=" + std::to_string(redis_port) + "\nkey=" + key +
                                    "\n[log]\ndir=" + dir + "/log\nlevel=" + std::to_string(log_level) + "\n" +
                                    (pause_ms < 0 ? "" : "[order]\npause_ms=" + std::to_string(pause_ms) + "\n"));
  return path;
}
