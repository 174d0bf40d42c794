// CNet on real loopback sockets: bind address parsing and options, listen failures,
// and the three ends of a connect (connected, refused, timed out). Each test writes
// the process log into its own temporary directory.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "net.h"
#include "test_support.h"

using testsupport::free_port;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

int open_fd_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

int int_option(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof(v);
  if (getsockopt(fd, level, name, &v, &len) != 0) return -1;
  return v;
}

sockaddr_in local_address(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return a;
}

bool fd_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

long ms_since(const timeval& start) {
  timeval now;
  gettimeofday(&now, nullptr);
  return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_usec - start.tv_usec) / 1000L;
}

class Net : public ::testing::Test {
 protected:
  void SetUp() override { init_log("net", dir_.path().c_str(), 3, 1 << 20); }
  std::string log_text() { return read_file(dir_.file("net_0.log")); }
  TempDir dir_;
};

}  // namespace

TEST_F(Net, BindAnyAddressSetsTheOptionsAndStaysBlocking) {
  int port = free_port();
  testing::internal::CaptureStderr();
  int fd = CNet::tcp_bind("*", static_cast<unsigned short>(port), 16);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GE(fd, 0);
  sockaddr_in a = local_address(fd);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(ntohs(a.sin_port), port);
  EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
  EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_GT(int_option(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT), 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  std::string line = "listen on tcp *:" + std::to_string(port);
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_NE(log_text().find(line), std::string::npos);
  close(fd);
}

TEST_F(Net, PortInTheAddressTextIsIgnored) {
  int port = free_port();
  int fd = CNet::tcp_bind("127.0.0.1:1", static_cast<unsigned short>(port), 16);
  ASSERT_GE(fd, 0);
  sockaddr_in a = local_address(fd);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ntohs(a.sin_port), port);
  EXPECT_NE(log_text().find("listen on tcp 127.0.0.1:" + std::to_string(port)), std::string::npos);
  // The deferred accept hands the connection over once the client has sent something.
  int c = testsupport::tcp_connect_local(port);
  ASSERT_GE(c, 0);
  ASSERT_TRUE(testsupport::send_all(c, "hi", 2));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  int s = accept(fd, nullptr, nullptr);
  EXPECT_GE(s, 0);
  close(s);
  close(c);
  close(fd);
}

TEST_F(Net, HostNameOrGarbageIsRefusedWithoutASocket) {
  int before = open_fd_count();
  int port = free_port();
  const char* bad[] = {"localhost", "1.2.3", "", "300.1.1.1", "abc:123"};
  for (const char* addr : bad) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(CNet::tcp_bind(addr, static_cast<unsigned short>(port), 16), -1) << addr;
    std::string err = testing::internal::GetCapturedStderr();
    std::string line = std::string("invalid address ") + addr + ":" + std::to_string(port);
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_NE(log_text().find(line), std::string::npos) << addr;
  }
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(Net, BindFailureClosesTheSocket) {
  int port = free_port();
  int first = CNet::tcp_bind("127.0.0.1", static_cast<unsigned short>(port), 16);
  ASSERT_GE(first, 0);
  int before = open_fd_count();
  testing::internal::CaptureStderr();
  EXPECT_EQ(CNet::tcp_bind("127.0.0.1", static_cast<unsigned short>(port), 16), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("bind tcp 127.0.0.1:" + std::to_string(port) + " failed, "), std::string::npos) << err;
  EXPECT_EQ(open_fd_count(), before);
  close(first);
}

TEST_F(Net, ConnectToAListenerSucceedsWithANonBlockingSocketWithoutNagle) {
  int port = free_port();
  int lfd = CNet::tcp_bind("127.0.0.1", static_cast<unsigned short>(port), 16);
  ASSERT_GE(lfd, 0);
  int fd = 12345;
  ASSERT_EQ(CNet::tcp_connect(&fd, "127.0.0.1", port, 1, 1000), 0);
  ASSERT_TRUE(fd_open(fd));
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // even when asked for a blocking one
  // A forward is not held back while the server has not acknowledged the one before.
  int nodelay = 0;
  socklen_t len = sizeof(nodelay);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_NE(nodelay, 0);
  ASSERT_EQ(write(fd, "x", 1), 1);
  pollfd p{lfd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  int s = accept(lfd, nullptr, nullptr);
  ASSERT_GE(s, 0);
  char c = 0;
  EXPECT_EQ(read(s, &c, 1), 1);
  EXPECT_EQ(c, 'x');
  close(s);
  close(fd);
  close(lfd);
}

TEST_F(Net, RefusedConnectFailsLogsTheErrorAndLeavesTheSocketOpen) {
  int port = free_port();
  int fd = -7;
  EXPECT_EQ(CNet::tcp_connect(&fd, "127.0.0.1", port, 0, 1000), -1);
  EXPECT_TRUE(fd_open(fd));
  std::string log = log_text();
  bool logged = log.find("socket connect error, " + std::to_string(ECONNREFUSED)) != std::string::npos ||
                log.find("socket connect errno, " + std::to_string(ECONNREFUSED)) != std::string::npos;
  EXPECT_TRUE(logged) << log;
  EXPECT_NE(log.find("<3>"), std::string::npos);
  close(fd);
}

// A text that is not a dotted address must not become 255.255.255.255.
TEST_F(Net, ConnectRefusesAnAddressThatIsNotDotted) {
  int fd = -7;
  EXPECT_EQ(CNet::tcp_connect(&fd, "localhost", 80, 0, 100), -1);
  EXPECT_TRUE(fd_open(fd));
  EXPECT_NE(log_text().find("invalid address localhost:80"), std::string::npos);
  close(fd);
}

// A listener whose accept queue is full drops new SYNs, so a connect to it stays pending
// on loopback: tcp_connect gives up after its time-out, silently.
TEST_F(Net, ConnectTimesOutSilentlyAgainstAFullAcceptQueue) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(lfd, 0), 0);
  int port = ntohs(local_address(lfd).sin_port);

  // Fill the queue: connect until one connection no longer completes.
  std::vector<int> fillers;
  bool pending = false;
  for (int i = 0; i < 8 && !pending; ++i) {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    fcntl(c, F_SETFL, O_NONBLOCK);
    a.sin_port = htons(static_cast<unsigned short>(port));
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    fillers.push_back(c);
    pollfd p{c, POLLOUT, 0};
    pending = poll(&p, 1, 200) == 0;
  }
  if (!pending) {
    for (int c : fillers) close(c);
    close(lfd);
    GTEST_SKIP() << "the kernel accepted every connection; no pending connect to time out";
  }

  int fd = -7;
  timeval start;
  gettimeofday(&start, nullptr);
  EXPECT_EQ(CNet::tcp_connect(&fd, "127.0.0.1", port, 0, 300), -1);
  EXPECT_GE(ms_since(start), 250);
  EXPECT_TRUE(fd_open(fd));
  EXPECT_EQ(log_text().find("socket connect"), std::string::npos);
  close(fd);
  for (int c : fillers) close(c);
  close(lfd);
}

// With nothing listening on a port of this host, a connect to it can take that same port
// as its source and meet itself: the link would carry every forward back to the gateway,
// and keep the logic server from binding its port once it restarts.
TEST_F(Net, ConnectThatMeetsItselfFails) {
  const int port = free_port();
  const int rc = testsupport::where_connects_meet_themselves(port, [&] {
    int fd = -1;
    const int r = CNet::tcp_connect(&fd, "127.0.0.1", port, 0, 1000);
    if (fd >= 0) close(fd);
    return r == -1 ? 0 : 1;
  });
  if (rc == -1) GTEST_SKIP() << "no network namespace of our own here (needs root)";
  EXPECT_EQ(0, rc);
  EXPECT_NE(log_text().find("met itself"), std::string::npos) << log_text();
}
