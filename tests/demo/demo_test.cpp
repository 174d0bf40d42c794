// The quick-start demo run as an operator runs it: redis-server, two logic servers,
// hall, order_sync_client and the player client, all started by scripts/demo.sh.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hall_run.h"
#include "test_support.h"

namespace {

using testsupport::binary;
using testsupport::source_path;

// The run directory that the demo announces on its first line.
std::string run_dir_of(const std::string& output) {
  std::smatch m;
  static const std::regex re("run directory (/tmp/hall-demo\\.[A-Za-z0-9]+)");
  return std::regex_search(output, m, re) ? m[1].str() : std::string();
}

// Number of live processes whose working directory or command line mentions dir.
int processes_using(const std::string& dir) {
  int n = 0;
  DIR* d = opendir("/proc");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + e->d_name;
    char cwd[PATH_MAX];
    ssize_t len = readlink((base + "/cwd").c_str(), cwd, sizeof(cwd) - 1);
    std::string cmdline = testsupport::read_file(base + "/cmdline");
    if ((len > 0 && std::string(cwd, len).find(dir) == 0) || cmdline.find(dir) != std::string::npos) ++n;
  }
  closedir(d);
  return n;
}

std::string build_dir() {
  std::string hall = binary("hall");
  return hall.substr(0, hall.rfind('/'));
}

TEST(Demo, OrdersReachBothLogicServersAndResultsReachThePlayer) {
  std::string out;
  int status = testsupport::run_program(
      {"/bin/bash", source_path("scripts/demo.sh"), "-d", "1", "-n", "3", "--no-build", "--build-dir", build_dir()}, "",
      90000, &out);
  ASSERT_EQ(status, 0) << out;
  // Every order reached both logic servers, in the order pushed.
  for (const std::string logic : {"[logic-1] ", "[logic-2] "}) {
    std::vector<std::string> seen;
    static const std::regex order_re(
        "recv cmd=0x1003 forward client=100 data=\\{\"flow\":1001,\"order\":\"(A-[0-9]+)\"");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (line.compare(0, logic.size(), logic) == 0 && std::regex_search(line, m, order_re)) seen.push_back(m[1]);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"A-1", "A-2", "A-3"})) << logic << "\n" << out;
  }
  EXPECT_NE(out.find("[player] answer status=0 text=ok from logic-1"), std::string::npos) << out;
  EXPECT_NE(out.find("[player] answer status=0 text=ok from logic-2"), std::string::npos) << out;
  EXPECT_NE(out.find("summary: logic-1 received 3/3 orders, logic-2 received 3/3, the player got 8/8 answers"),
            std::string::npos)
      << out;
  // Everything it started is gone, and so is its run directory.
  std::string run = run_dir_of(out);
  ASSERT_FALSE(run.empty()) << out;
  EXPECT_FALSE(testsupport::file_exists(run));
  EXPECT_EQ(processes_using(run), 0);
}

TEST(Demo, FleetCarriesOrdersFromAnyGatewayToThePlayer) {
  std::string out;
  int status = testsupport::run_program({"/bin/bash", source_path("scripts/demo.sh"), "-d", "1", "-n", "6",
                                         "--gateways", "3", "--no-build", "--build-dir", build_dir()},
                                        "", 90000, &out);
  ASSERT_EQ(status, 0) << out;
  for (const std::string k : {"1", "2", "3"}) {
    EXPECT_NE(out.find("hall " + k + " is listening"), std::string::npos) << out;
    EXPECT_NE(out.find("[order-sync-" + k + "] "), std::string::npos) << out;
  }
  EXPECT_NE(out.find("[player] connected to gateway "), std::string::npos) << out;
  // Whichever order-sync client popped an order, its results reached the player.
  static const std::regex entered("order A-[1-6] entered through gateway [1-3]; the player is held by gateway [1-3]");
  EXPECT_EQ(6, std::distance(std::sregex_iterator(out.begin(), out.end(), entered), std::sregex_iterator())) << out;
  EXPECT_NE(out.find("summary: logic-1 received 6/6 orders, logic-2 received 6/6, the player got 14/14 answers"),
            std::string::npos)
      << out;
  std::string run = run_dir_of(out);
  ASSERT_FALSE(run.empty()) << out;
  EXPECT_EQ(processes_using(run), 0);
}

TEST(Demo, InterruptStopsEverythingItStarted) {
  testsupport::TempDir tmp;
  std::string out_file = tmp.path() + "/demo.out";
  testsupport::Process demo;
  ASSERT_TRUE(
      demo.start({"/bin/bash", source_path("scripts/demo.sh"), "-n", "1", "--no-build", "--build-dir", build_dir()}, "",
                 out_file, out_file));
  ASSERT_TRUE(testsupport::wait_until(
      [&] { return testsupport::read_file(out_file).find("press Ctrl-C") != std::string::npos; }, 60000))
      << testsupport::read_file(out_file);
  std::string run = run_dir_of(testsupport::read_file(out_file));
  ASSERT_FALSE(run.empty());
  EXPECT_GT(processes_using(run), 0);
  int status = demo.stop(SIGINT, 30000);
  std::string out = testsupport::read_file(out_file);
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("summary: logic-1 received 1/1 orders"), std::string::npos) << out;
  EXPECT_EQ(processes_using(run), 0);
  EXPECT_FALSE(testsupport::file_exists(run));
}

TEST(Demo, MissingProgramsFailAtOnce) {
  testsupport::TempDir empty;
  std::string out;
  int status = testsupport::run_program(
      {"/bin/bash", source_path("scripts/demo.sh"), "-d", "1", "--no-build", "--build-dir", empty.path()}, "", 30000,
      &out);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("is missing; build first"), std::string::npos) << out;
}

// A value that is no number ends the script before it starts or builds anything: the
// demo would otherwise run until Ctrl-C, the test command skip the fuzz targets.
TEST(Demo, NumbersThatAreNoneAreRefusedAtOnce) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-d", "x"}, {"-d", "1x"}, {"-n", "-3"}}) {
    std::vector<std::string> argv = {"/bin/bash", source_path("scripts/demo.sh"), "--no-build", "--build-dir",
                                     build_dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    const int status = testsupport::run_program(argv, "", 10000, &out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0] << " " << args[1] << ": " << out;
    EXPECT_EQ(out.find("run directory"), std::string::npos) << out;
  }
  std::string out;
  const int status = testsupport::run_program(
      {"/usr/bin/env", "HALL_FUZZ_SECONDS=abc", "/bin/bash", source_path("scripts/test.sh")}, "", 10000, &out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << out;
  EXPECT_NE(out.find("HALL_FUZZ_SECONDS must be whole seconds"), std::string::npos) << out;
}

// Started by the next test only: a test that holds a server, a detached gateway and a
// temporary directory.
TEST(Demo, DISABLED_HoldsAServerAndADirectory) {
  testsupport::TempDir dir;
  testsupport::Process server;
  ASSERT_TRUE(server.start({"/bin/sleep", "300"}));
  testsupport::HallRun gateway;
  std::string out;
  ASSERT_EQ(0, gateway.start_daemon(&out)) << out;
  std::printf("held pid=%d gateway=%d dir=%s\n", static_cast<int>(server.pid()), static_cast<int>(gateway.logged_pid()),
              dir.path().c_str());
  std::fflush(stdout);
  sleep(60);
}

// Ctrl-C (SIGINT) or SIGTERM on a test, as on scripts/test.sh, leaves neither the servers
// it started (out of reach of the terminal's signal, in process groups of their own) nor
// its temporary directories behind.
TEST(Demo, StoppedTestLeavesNoServerNorDirectory) {
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  for (int sig : {SIGINT, SIGTERM}) {
    testsupport::TempDir tmp;
    const std::string out = tmp.file("held.out");
    testsupport::Process test;
    ASSERT_TRUE(test.start(
        {self, "--gtest_also_run_disabled_tests", "--gtest_filter=Demo.DISABLED_HoldsAServerAndADirectory"}, "", out));
    std::smatch m;
    std::string text;
    static const std::regex held_re("held pid=([0-9]+) gateway=([0-9]+) dir=(\\S+)");
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return std::regex_search(text = testsupport::read_file(out), m, held_re); }, 20000));
    const pid_t server = std::stoi(m[1].str());
    const pid_t gateway = std::stoi(m[2].str());
    const std::string dir = m[3].str();
    const int status = test.stop(sig, 10000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    for (pid_t held : {server, gateway}) {
      EXPECT_TRUE(testsupport::wait_until([&] { return !testsupport::process_alive(held); }, 5000))
          << "process " << held << " left running after signal " << sig;
      if (testsupport::process_alive(held)) kill(held, SIGKILL);
    }
    EXPECT_FALSE(testsupport::file_exists(dir)) << dir;
    if (testsupport::file_exists(dir)) testsupport::run_program({"/bin/rm", "-rf", dir});
  }
}

}  // namespace
