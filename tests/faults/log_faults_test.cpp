// Log files that cannot be written: the gateway goes on serving, counts what it lost and
// says so while it happens.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "faults_harness.h"

using namespace relaytest;

namespace {

// Regression: with the log files replaced by FIFOs that nobody reads, opening one held
// its writer for ever; a drain's first line then hung the loop in open (metrics stopped
// answering, the drain never ended), and the lost lines were counted as written.
TEST(LogFaults, FifoInPlaceOfTheLogFilesHoldsNeitherTheLoopNorTheDrain) {
  GatewayConfig cfg;
  cfg.log_level = 7;
  const int stats = testsupport::free_port();
  cfg.attrs = {{"StatsPort", std::to_string(stats)}};
  FakeLogicGateway run(cfg);
  ASSERT_TRUE(run.start()) << run.gw.stderr_text();
  Gateway& gw = run.gw;
  const std::string dir = gw.root() + "/log";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  int fifos = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = dir + "/" + e->d_name;
    ASSERT_EQ(unlink(path.c_str()), 0) << path;
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
    ++fifos;
  }
  closedir(d);
  ASSERT_GE(fifos, 3);  // the process log and both rolling logs

  {
    Client c(gw.port());  // its departure goes to the rolling log
    ASSERT_TRUE(c.send(data_req(5, "x")));
    Packet fw;
    ASSERT_TRUE(run.logic.read(&fw, 5000));
  }
  double written = -1;
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        const std::string m = testsupport::scrape(stats);
        written = testsupport::figure(m, "hall_log_lines_total");
        return testsupport::figure(m, "hall_log_lines_dropped_total") >= 3;
      },
      10000));
  // Said on standard error as it happens, not once writing works again.
  EXPECT_TRUE(
      testsupport::wait_until([&] { return gw.stderr_text().find("open log file failed") != std::string::npos; }, 5000))
      << gw.stderr_text();
  EXPECT_EQ(testsupport::figure(testsupport::scrape(stats), "hall_log_lines_total"), written);

  ASSERT_EQ(kill(gw.pid(), SIGUSR1), 0);
  EXPECT_EQ(testsupport::exit_code(gw.wait_exit(15000)), 0) << gw.stderr_text();
}

}  // namespace
