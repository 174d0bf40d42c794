// A real `hall` process in the foreground, with its registration going to a private
// redis-server and its reports to a loopback UDP socket standing in for the collector.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hall_run.h"
#include "packets.h"
#include "test_support.h"

namespace {

using testpackets::data_req;

using testsupport::recv_datagram;

// Number of sockets the process holds open. An unbound UDP socket shows in no
// /proc/net table, so the reporter's socket is told apart by count alone.
int sockets_of(pid_t pid) {
  int n = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    char target[256];
    ssize_t len = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)).compare(0, 8, "socket:[") == 0) ++n;
  }
  closedir(d);
  return n;
}

// A run directory bin/ conf/ log/ with a gateway that has no logic servers; killed at
// the end, so it never gets to clean up after itself.
class Hall : public testsupport::HallRun {
 public:
  Hall(int svid, int redis_port, int udp_switch, int udp_port, const std::string& ip = "127.0.0.1")
      : HallRun(config(svid, redis_port, udp_switch, udp_port, ip)) {}
  ~Hall() { stop(SIGKILL); }
  bool start() { return HallRun::start(20000); }

 private:
  static testsupport::HallConfig config(int svid, int redis_port, int udp_switch, int udp_port, const std::string& ip) {
    testsupport::HallConfig c;
    c.svid = svid;
    c.ip = ip;
    c.log_size = 10485760;
    c.max_fd = 0;
    c.max_listen = 0;
    c.web_timeout = 120;
    c.helper_timeout = 5;
    c.redis_port = redis_port;
    c.udp_switch = udp_switch;
    c.udp_port = udp_port;
    c.with_node = false;
    c.coloring_file = true;
    return c;
  }
};

}  // namespace

TEST(HallReport, StartUpRegistersTheGatewayInRedis) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  Hall a(12, redis.port(), 0, 0);
  Hall b(13, redis.port(), 0, 0);
  ASSERT_TRUE(a.start());
  ASSERT_TRUE(b.start());
  EXPECT_EQ("{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(a.port()) + ",\"SVID\":12}\n",
            redis.command({"HGET", "HALLSERVER", "HALLSERVER12"}));
  EXPECT_EQ("{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(b.port()) + ",\"SVID\":13}\n",
            redis.command({"HGET", "HALLSERVER", "HALLSERVER13"}));
}

TEST(HallReport, RestartWithTheSameSvidOverwritesTheRecord) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  {
    Hall first(12, redis.port(), 0, 0, "10.0.0.1");
    ASSERT_TRUE(first.start());
  }
  Hall second(12, redis.port(), 0, 0, "10.0.0.2");
  ASSERT_TRUE(second.start());
  EXPECT_EQ("1", redis.command({"HLEN", "HALLSERVER"}));
  EXPECT_EQ("{\"IP\":\"10.0.0.2\",\"PORT\":" + std::to_string(second.port()) + ",\"SVID\":12}\n",
            redis.command({"HGET", "HALLSERVER", "HALLSERVER12"}));
}

TEST(HallReport, StartUpCompletesWithRedisDownAndSaysSo) {
  Hall hall(12, testsupport::free_port(), 0, 0);
  ASSERT_TRUE(hall.start());
  EXPECT_NE(std::string::npos, hall.process_log().find("registration not written"));
}

TEST(HallReport, SwitchOffMeansNoUdpSocket) {
  // Two gateways alike but for the switch: only the one with the switch on holds a
  // socket beyond its listener.
  int collector_port = 0;
  const int collector = testsupport::udp_listener(&collector_port);
  ASSERT_GE(collector, 0);
  fcntl(collector, F_SETFD, FD_CLOEXEC);  // the gateways must not inherit it
  Hall off(21, testsupport::free_port(), 0, collector_port);
  Hall on(22, testsupport::free_port(), 1, collector_port);
  ASSERT_TRUE(off.start());
  ASSERT_TRUE(on.start());
  // The readiness probe's connection lives on in a gateway until it has read the
  // probe's close, so the counts are taken once they have settled.
  testsupport::wait_until([&] { return sockets_of(off.pid()) == 1 && sockets_of(on.pid()) == 2; }, 15000);
  const int off_sockets = sockets_of(off.pid());
  EXPECT_EQ(1, off_sockets);  // the listener
  EXPECT_EQ(off_sockets + 1, sockets_of(on.pid()));
  close(collector);
}

TEST(HallReport, PeriodicReportCountsRegisteredClients) {
  // The first report is due one minute after start-up.
  int collector_port = 0;
  const int collector = testsupport::udp_listener(&collector_port);
  ASSERT_GE(collector, 0);
  Hall hall(31, testsupport::free_port(), 1, collector_port);
  ASSERT_TRUE(hall.start());

  std::vector<int> clients;
  for (int id : {501, 502, 501}) {  // 501 twice, on two connections: counted once
    int fd = testsupport::tcp_connect_local(hall.port());
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
    ASSERT_TRUE(testsupport::send_all(fd, data_req(id, "{\"order\":1}").data(), data_req(id, "{\"order\":1}").size()));
  }

  const std::string line = recv_datagram(collector, 90 * 1000);
  ASSERT_FALSE(line.empty()) << "no report within 90 s";
  const std::string prefix = "2307#";
  EXPECT_EQ(0, line.compare(0, prefix.size(), prefix)) << line;
  const std::string suffix = "#127.0.0.1:" + std::to_string(hall.port()) + "#2\r\n";
  ASSERT_GE(line.size(), suffix.size());
  EXPECT_EQ(suffix, line.substr(line.size() - suffix.size())) << line;
  const long t = atol(line.c_str() + prefix.size());
  EXPECT_LE(std::labs(t - static_cast<long>(time(nullptr))), 5);
  for (int fd : clients) close(fd);
  close(collector);
}
