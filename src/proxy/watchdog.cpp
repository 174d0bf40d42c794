#include "watchdog.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "clib_log.h"

namespace __http_svr_ns__ {

Watchdog* LogFile = nullptr;

namespace {

// Whole seconds of the wall clock, taken through milliseconds as the collector's
// other sources do.
int now_seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  long long ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  return static_cast<int>(ms / 1000);
}

// snprintf reports the length the text would have had; a cut line is sent as the
// 999 characters that fit.
int clamp_len(int n, size_t cap) {
  if (n < 0) return 0;
  if (static_cast<size_t>(n) >= cap) return static_cast<int>(cap - 1);
  return n;
}

}  // namespace

Watchdog::Watchdog(std::string host, int port)
    : _host(host), _port(port), _fd(-1), _server_addr(), _server_addr_len(0) {}

Watchdog::~Watchdog() {
  if (_fd >= 0) {
    ::close(_fd);
    _fd = -1;
  }
}

int Watchdog::init() {
  if (_fd >= 0) {  // a second init replaces the socket instead of leaking it
    ::close(_fd);
    _fd = -1;
  }
  _fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (_fd < 0) {
    int err = errno;
    printf("Failed to socket because of %s\n", strerror(err));
    return -1;
  }

  memset(&_server_addr, 0, sizeof(_server_addr));
  _server_addr.sin_family = AF_INET;
  _server_addr.sin_port = htons(static_cast<uint16_t>(_port));

  in_addr_t addr = inet_addr(_host.c_str());
  if (addr != INADDR_NONE) {
    _server_addr.sin_addr.s_addr = addr;
  } else {
    struct hostent* he = gethostbyname(_host.c_str());
    // gethostbyname reports through h_errno, not errno; only an IPv4 answer fits the
    // destination record.
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_length != 4 || he->h_addr_list[0] == nullptr) {
      printf("Failed to gethostbyname because of %s\n", he == nullptr ? hstrerror(h_errno) : "no IPv4 address");
      ::close(_fd);
      _fd = -1;
      return -1;
    }
    memcpy(&_server_addr.sin_addr, he->h_addr_list[0], 4);
  }
  _server_addr_len = sizeof(_server_addr);
  return 0;
}

int Watchdog::write(const char* data, int len) {
  ssize_t n = ::sendto(_fd, data, static_cast<size_t>(len), 0, reinterpret_cast<const struct sockaddr*>(&_server_addr),
                       static_cast<socklen_t>(_server_addr_len));
  if (n < 0) {
    int err = errno;
    if (g_pErrorLog != nullptr) g_pErrorLog->logMsg("Failed to sendto because of %s", strerror(err));
    return -1;
  }
  return 0;
}

int Watchdog::writeHallUserCount(int count, const std::string& ip, int port) {
  char buf[1000];
  int n = snprintf(buf, sizeof(buf), "%d#%d#%s:%d#%d\r\n", kHallUserCount, now_seconds(), ip.c_str(), port, count);
  write(buf, clamp_len(n, sizeof(buf)));
  return 0;
}

int Watchdog::writeUserLeaveHall(int uid, std::string ip, int port) {
  char buf[1000];
  int n = snprintf(buf, sizeof(buf), "%d#%d#%d#%s:%d\r\n", kUserLeaveHall, now_seconds(), uid, ip.c_str(), port);
  write(buf, clamp_len(n, sizeof(buf)));
  return 0;
}

}  // namespace __http_svr_ns__
