// The UDP reporter and the periodic user-count timer, with a real loopback UDP socket
// standing in for the collector.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "clib_log.h"
#include "global.h"
#include "helper_pool.h"
#include "realtimer.h"
#include "test_support.h"
#include "timerlist.h"
#include "watchdog.h"

using namespace __http_svr_ns__;

namespace {

using testsupport::recv_datagram;

// Splits "a#b#c\r\n" into fields after checking the line end.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return out;
  std::string body = line.substr(0, line.size() - 2);
  size_t start = 0;
  for (;;) {
    size_t hash = body.find('#', start);
    out.push_back(body.substr(start, hash - start));
    if (hash == std::string::npos) break;
    start = hash + 1;
  }
  return out;
}

// Seconds of the wall clock the reporter stamps its lines with. time() reads a coarser
// clock that can still show the previous second when gettimeofday has moved on.
long wall_seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec;
}

class Collector : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = testsupport::udp_listener(&port_);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { close(fd_); }

  int fd_ = -1;
  int port_ = 0;
};

}  // namespace

TEST_F(Collector, UserCountLineCarriesTimeAddressAndCount) {
  Watchdog w("127.0.0.1", port_);
  ASSERT_EQ(0, w.init());
  const long before = wall_seconds();
  EXPECT_EQ(0, w.writeHallUserCount(25, "127.0.0.1", 8000));
  const long after = wall_seconds();

  const std::string line = recv_datagram(fd_, 2000);
  std::vector<std::string> f = fields(line);
  ASSERT_EQ(4u, f.size()) << line;
  EXPECT_EQ("2307", f[0]);
  EXPECT_GE(atol(f[1].c_str()), before);
  EXPECT_LE(atol(f[1].c_str()), after);
  EXPECT_EQ("127.0.0.1:8000", f[2]);
  EXPECT_EQ("25", f[3]);
  EXPECT_EQ(2 + 4 + 1 + f[1].size() + 1 + 14 + 1 + 2, line.size());
}

TEST_F(Collector, UserLeftLineNamesTheUid) {
  Watchdog w("127.0.0.1", port_);
  ASSERT_EQ(0, w.init());
  const long before = wall_seconds();
  EXPECT_EQ(0, w.writeUserLeaveHall(42, "127.0.0.1", 8000));
  const std::string line = recv_datagram(fd_, 2000);
  std::vector<std::string> f = fields(line);
  ASSERT_EQ(4u, f.size()) << line;
  EXPECT_EQ("2306", f[0]);
  EXPECT_GE(atol(f[1].c_str()), before);
  EXPECT_EQ("42", f[2]);
  EXPECT_EQ("127.0.0.1:8000", f[3]);
  EXPECT_EQ("2306#" + f[1] + "#42#127.0.0.1:8000\r\n", line);
}

TEST_F(Collector, HostNameIsResolved) {
  Watchdog w("localhost", port_);
  ASSERT_EQ(0, w.init());
  EXPECT_GE(w.fd(), 0);
  w.writeUserLeaveHall(7, "127.0.0.1", 1);
  EXPECT_NE("", recv_datagram(fd_, 2000));
}

TEST_F(Collector, OverlongLineIsCutAt999Characters) {
  Watchdog w("127.0.0.1", port_);
  ASSERT_EQ(0, w.init());
  w.writeHallUserCount(1, std::string(1500, 'x'), 8000);
  const std::string line = recv_datagram(fd_, 2000);
  EXPECT_EQ(999u, line.size());
  EXPECT_EQ(0, line.compare(0, 5, "2307#"));
}

TEST_F(Collector, ReporterWithoutSocketLogsEachFailedSend) {
  testsupport::TempDir dir;
  const std::string path = dir.file("error.log");
  clib_log* saved = g_pErrorLog;
  g_pErrorLog = new clib_log(nullptr, 0, nullptr, 0, 5, 10485760, "", "\n", 1, nullptr);
  g_pErrorLog->set_file(path.c_str(), 1);
  g_pErrorLog->set_level(5);
  {
    Watchdog w("127.0.0.1", port_);  // init never called: no socket
    EXPECT_EQ(-1, w.fd());
    EXPECT_EQ(0, w.writeHallUserCount(3, "127.0.0.1", 8000));
    EXPECT_EQ(0, w.writeUserLeaveHall(3, "127.0.0.1", 8000));
  }
  delete g_pErrorLog;
  g_pErrorLog = saved;
  const std::string log = testsupport::read_file(path);
  size_t first = log.find("Failed to sendto because of ");
  ASSERT_NE(std::string::npos, first) << log;
  EXPECT_NE(std::string::npos, log.find("Failed to sendto because of ", first + 1));
  EXPECT_EQ("", recv_datagram(fd_, 100));
}

TEST_F(Collector, DestructorClosesTheSocket) {
  int fd;
  {
    Watchdog w("127.0.0.1", port_);
    ASSERT_EQ(0, w.init());
    fd = w.fd();
  }
  errno = 0;
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
  EXPECT_EQ(EBADF, errno);
}

namespace {

// The process-wide objects the timer reads, set up for one test and put back after.
class RealTimerTest : public Collector {
 protected:
  void SetUp() override {
    Collector::SetUp();
    saved_pool_ = _helperpool;
    saved_log_ = LogFile;
    saved_switch_ = TGlobal::_udpSwitch;
    saved_ip_ = TGlobal::_ip;
    saved_port_ = TGlobal::_port;
    _helperpool = new CHelperPool;
    LogFile = new Watchdog("127.0.0.1", port_);
    ASSERT_EQ(0, LogFile->init());
    TGlobal::_ip = "127.0.0.1";
    TGlobal::_port = 8000;
  }
  void TearDown() override {
    delete _helperpool;
    delete LogFile;
    _helperpool = saved_pool_;
    LogFile = saved_log_;
    TGlobal::_udpSwitch = saved_switch_;
    TGlobal::_ip = saved_ip_;
    TGlobal::_port = saved_port_;
    Collector::TearDown();
  }
  // Registers a client id the way the command handler does: one entry per id.
  void register_client(int uid) { _helperpool->m_objmap[uid] = nullptr; }

  CHelperPool* saved_pool_ = nullptr;
  Watchdog* saved_log_ = nullptr;
  int saved_switch_ = 0;
  std::string saved_ip_;
  uint16_t saved_port_ = 0;
};

}  // namespace

TEST_F(RealTimerTest, ReportsDistinctClientIdsAndKeepsFiring) {
  TGlobal::_udpSwitch = 1;
  register_client(101);
  register_client(102);
  register_client(103);
  register_client(102);  // the same id again counts once

  CTimerUnit unit;
  CRealTimer timer;
  timer.realTimerlist = unit.GetTimerList(60);
  timer.AttachTimer(timer.realTimerlist);
  const int64_t armed = GET_TIMESTAMP();

  // Not due before its minute is up.
  EXPECT_EQ(0, unit.CheckExpired(armed + 59 * 1000000LL));
  EXPECT_EQ("", recv_datagram(fd_, 50));

  EXPECT_EQ(1, unit.CheckExpired(armed + 61 * 1000000LL));
  std::vector<std::string> f = fields(recv_datagram(fd_, 2000));
  ASSERT_EQ(4u, f.size());
  EXPECT_EQ("2307", f[0]);
  EXPECT_EQ("127.0.0.1:8000", f[2]);
  EXPECT_EQ("3", f[3]);

  // Re-armed on the same list, one period after it fired.
  EXPECT_FALSE(timer.realTimerlist->Empty());
  EXPECT_GE(timer.GetExpireTime(), GET_TIMESTAMP() + 59 * 1000000LL);

  _helperpool->m_objmap.erase(101);
  EXPECT_EQ(1, unit.CheckExpired(timer.GetExpireTime()));
  f = fields(recv_datagram(fd_, 2000));
  ASSERT_EQ(4u, f.size());
  EXPECT_EQ("2", f[3]);
}

TEST_F(RealTimerTest, SwitchOffSendsNothingButStillReArms) {
  TGlobal::_udpSwitch = 0;
  register_client(5);
  CTimerUnit unit;
  CRealTimer timer;
  timer.realTimerlist = unit.GetTimerList(60);
  timer.TimerNotify();
  EXPECT_FALSE(timer.realTimerlist->Empty());
  EXPECT_EQ("", recv_datagram(fd_, 200));
  EXPECT_EQ(1, unit.CheckExpired(timer.GetExpireTime()));
  EXPECT_FALSE(timer.realTimerlist->Empty());
  EXPECT_EQ("", recv_datagram(fd_, 100));
}

TEST_F(RealTimerTest, SwitchOnWithoutReporterDoesNotCrash) {
  TGlobal::_udpSwitch = 1;
  delete LogFile;
  LogFile = nullptr;
  CTimerUnit unit;
  CRealTimer timer;
  timer.realTimerlist = unit.GetTimerList(60);
  timer.TimerNotify();
  EXPECT_FALSE(timer.realTimerlist->Empty());
}
