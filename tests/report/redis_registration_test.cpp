// The Redis registration against a real redis-server on a private loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "log.h"
#include "redis_server.h"
#include "test_support.h"

using __http_svr_ns__::CRedisServer;
using testsupport::RedisServer;

namespace {

double seconds_since(const struct timeval& t0) {
  struct timeval t1;
  gettimeofday(&t1, nullptr);
  return (t1.tv_sec - t0.tv_sec) + (t1.tv_usec - t0.tv_usec) / 1e6;
}

// A loopback TCP listener that never accepts. With a backlog of 0 and its queue
// filled, the kernel drops further SYNs, so a connect to it hangs like one to an
// address that does not answer.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
    listen(fd_, 0);
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() {
    for (int fd : fillers_) close(fd);
    close(fd_);
  }
  // Completes connections (the kernel does the handshake) until the queue is full.
  void fill_queue() {
    for (int i = 0; i < 4; ++i) {
      int fd = testsupport::tcp_connect_local(port_, 300);
      if (fd < 0) break;
      fillers_.push_back(fd);
    }
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

class RedisRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    init_log("Log_report", logs_.path().c_str(), 3, 1 << 20);
  }
  std::string process_log() { return testsupport::read_file(logs_.file("Log_report_0.log")); }

  RedisServer redis_;
  testsupport::TempDir logs_;
};

}  // namespace

TEST_F(RedisRegistration, RecordIsCompactJsonWithLineFeed) {
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_EQ("{\"IP\":\"127.0.0.1\",\"PORT\":8000,\"SVID\":12}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER12"}));
  EXPECT_EQ("hash", redis_.command({"TYPE", "HALLSERVER"}));
  EXPECT_EQ("-1", redis_.command({"TTL", "HALLSERVER"}));  // no expiry
}

TEST_F(RedisRegistration, TwoGatewaysAddTwoFieldsAndARestartOverwrites) {
  std::string host = "127.0.0.1";
  {
    CRedisServer a, b;
    ASSERT_EQ(0, a.Connect(host, redis_.port()));
    ASSERT_EQ(0, b.Connect(host, redis_.port()));
    a.SetInfo("10.0.0.1", 8000, 3);
    b.SetInfo("10.0.0.2", 8001, 4);
  }
  EXPECT_EQ("2", redis_.command({"HLEN", "HALLSERVER"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.1\",\"PORT\":8000,\"SVID\":3}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER3"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.2\",\"PORT\":8001,\"SVID\":4}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER4"}));

  CRedisServer again;
  ASSERT_EQ(0, again.Connect(host, redis_.port()));
  again.SetInfo("10.0.0.9", 9000, 3);
  EXPECT_EQ("2", redis_.command({"HLEN", "HALLSERVER"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.9\",\"PORT\":9000,\"SVID\":3}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER3"}));
}

TEST_F(RedisRegistration, AnAddressWithSpacesAndQuotesStaysOneArgument) {
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  r.SetInfo("a b \"c\"", 1, 7);
  EXPECT_EQ("{\"IP\":\"a b \\\"c\\\"\",\"PORT\":1,\"SVID\":7}\n",
            redis_.command({"HGET", "HALLSERVER", "HALLSERVER7"}));
}

TEST_F(RedisRegistration, ErrorReplyIsLoggedAndNothingElseHappens) {
  redis_.command({"SET", "HALLSERVER", "a string"});
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, redis_.port()));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_EQ("a string", redis_.command({"GET", "HALLSERVER"}));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, RedisDownLeavesNoRegistrationAndSaysSo) {
  const int dead_port = testsupport::free_port();
  CRedisServer r;
  std::string host = "127.0.0.1";
  EXPECT_EQ(-1, r.Connect(host, dead_port));
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));  // no context: sends nothing
  const std::string log = process_log();
  EXPECT_NE(std::string::npos, log.find("<3>")) << log;
  EXPECT_NE(std::string::npos, log.find("registration not written")) << log;
  EXPECT_EQ("0", redis_.command({"EXISTS", "HALLSERVER"}));
}

TEST_F(RedisRegistration, NeverConnectedSetInfoSendsNothing) {
  CRedisServer r;
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, ConnectToSilentAddressGivesUpWithinTheBound) {
  SilentListener silent;
  silent.fill_queue();
  CRedisServer r;
  std::string host = "127.0.0.1";
  struct timeval t0;
  gettimeofday(&t0, nullptr);
  EXPECT_EQ(-1, r.Connect(host, silent.port()));
  EXPECT_LT(seconds_since(t0), CRedisServer::kTimeoutMs / 1000.0 + 5);
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}

TEST_F(RedisRegistration, ServerThatNeverRepliesDoesNotHangRegistration) {
  SilentListener silent;  // the kernel completes the handshake; nobody reads
  CRedisServer r;
  std::string host = "127.0.0.1";
  ASSERT_EQ(0, r.Connect(host, silent.port()));
  struct timeval t0;
  gettimeofday(&t0, nullptr);
  EXPECT_EQ(0, r.SetInfo("127.0.0.1", 8000, 12));
  EXPECT_LT(seconds_since(t0), CRedisServer::kTimeoutMs / 1000.0 + 5);
  EXPECT_NE(std::string::npos, process_log().find("registration not written"));
}
