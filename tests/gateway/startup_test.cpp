// Start-up of the real `hall` binary: the exit status of the process the shell started
// tells whether the gateway is listening, in daemon mode and in the foreground.
#include <gtest/gtest.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "gateway_harness.h"

using namespace gwtest;

namespace {

using testsupport::exit_code;

// A listening socket that keeps a loopback port busy.
int occupy(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Runs the launcher with these arguments after the program name; returns its status.
int launch(Gateway& gw, const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {testsupport::binary("hall")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::run_program(argv, gw.bin(), 30000, out);
}

TEST(Startup, DaemonParentExitsZeroOnlyOnceListening) {
  FakeLogic logic;
  GatewayConfig cfg;
  cfg.servers = {{1, logic.port()}};
  Gateway gw(cfg);
  std::string out;
  const int st = gw.start_daemon(&out);
  ASSERT_EQ(exit_code(st), 0) << out;
  // No waiting: the launcher returned only after the listener was bound.
  EXPECT_TRUE(testsupport::port_open(gw.port()));
  const pid_t pid = gw.logged_pid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(testsupport::process_alive(pid));
  EXPECT_TRUE(logic.accept_link());
  EXPECT_NE(gw.process_log().find("Proxy open is done!!"), std::string::npos);
  EXPECT_NE(out.find("Proxy open is done!!"), std::string::npos) << "start-up lines reach the starter";

  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(1, "through the daemon")));
  EXPECT_TRUE(logic.wait_for(0x1003, 1, 5000));
}

// Regression: a gateway started with standard input, output and error closed (by a
// supervisor, or `hall ... <&- >&- 2>&-`) gave their numbers to its own descriptors; the
// release of the standard streams after start-up then closed its event queue: the
// starter exited 1 while "Proxy open is done!!" was logged, and the gateway died.
TEST(Startup, StartedWithStandardDescriptorsClosedItServes) {
  FakeLogic logic;
  GatewayConfig cfg;
  cfg.servers = {{1, logic.port()}};
  Gateway gw(cfg);
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"};
  for (const std::string& a : gw.argv(false)) argv.push_back(a);
  std::string out;
  const int st = testsupport::run_program(argv, gw.bin(), 30000, &out);
  const pid_t pid = gw.logged_pid();
  EXPECT_EQ(exit_code(st), 0) << gw.process_log();
  EXPECT_TRUE(logic.accept_link());
  Client c(gw.port());
  EXPECT_TRUE(c.send(data_req(1, "no standard streams")));
  EXPECT_TRUE(logic.wait_for(0x1003, 1, 5000));
  EXPECT_TRUE(testsupport::process_alive(pid)) << gw.process_log();
  if (pid > 0 && exit_code(st) == 0) kill(pid, SIGKILL);
}

// Regression: with ../log unusable (a file in its place) and the process log elsewhere,
// the rolling logs were lost without a word: `hall -t` said OK and start-up said nothing.
TEST(Startup, RollingLogsThatCannotBeCreatedAreReported) {
  Gateway gw;
  const std::string conf = gw.root() + "/conf/config.xml";
  std::string text = testsupport::read_file(conf);
  text.replace(text.find("LogDir=\"../log\""), 15, "LogDir=\"../plog\"");
  testsupport::write_file(conf, text);
  ASSERT_EQ(rmdir((gw.root() + "/log").c_str()), 0);
  testsupport::write_file(gw.root() + "/log", "");

  std::string out;
  EXPECT_EQ(exit_code(launch(gw, {"-t"}, &out)), 0) << out;
  EXPECT_NE(out.find("../log: cannot be created or written; the rolling logs are lost"), std::string::npos) << out;
  const int st = testsupport::run_program(gw.argv(false), gw.bin(), 30000, &out);
  pid_t pid = -1;
  if (DIR* d = opendir((gw.root() + "/plog").c_str())) {
    while (dirent* e = readdir(d))
      if (strncmp(e->d_name, "Log_", 4) == 0) pid = static_cast<pid_t>(atoi(e->d_name + 4));
    closedir(d);
  }
  if (exit_code(st) == 0 && pid > 0) kill(pid, SIGKILL);
  EXPECT_EQ(exit_code(st), 0) << out;
  EXPECT_NE(out.find("rolling log ../log/debug." + std::to_string(pid) + " cannot be created: Not a directory"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("rolling log ../log/error."), std::string::npos) << out;
}

// Regression: a gateway started by a program that blocks signals (a threaded supervisor
// blocks them before it forks) kept that mask: SIGUSR1 did not drain it and SIGTERM did
// not end it.
TEST(Startup, SignalsBlockedByTheStarterStillReachTheGateway) {
  Gateway drained;
  Gateway ended;
  sigset_t stops, saved;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stops, &saved);
  const bool started = drained.start() && ended.start();
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ASSERT_TRUE(started);
  EXPECT_EQ(exit_code(drained.stop(SIGUSR1)), 0);
  const int st = ended.stop(SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
}

TEST(Startup, PortInUseFailsWithNonZeroStatus) {
  Gateway gw;
  const int busy = occupy(gw.port());
  ASSERT_GE(busy, 0);
  std::string out;
  const int st = gw.start_daemon(&out);
  EXPECT_EQ(exit_code(st), 1) << out;
  EXPECT_NE(out.find("invoke CListener::Attach() failed."), std::string::npos) << out;
  EXPECT_NE(out.find("start-up failed"), std::string::npos) << out;
  const pid_t pid = gw.logged_pid();
  EXPECT_TRUE(testsupport::wait_until([&] { return !testsupport::process_alive(pid); }, 5000))
      << "the child must not linger";
  close(busy);

  // The same in the foreground: the process itself exits 1.
  Gateway fg;
  const int busy2 = occupy(fg.port());
  ASSERT_GE(busy2, 0);
  EXPECT_EQ(exit_code(testsupport::run_program(fg.argv(true), fg.bin(), 30000, &out)), 1) << out;
  close(busy2);
}

TEST(Startup, BadCommandLinesAreRefusedWithNonZeroStatus) {
  Gateway gw;
  const std::string port = std::to_string(gw.port());
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "param format error"},
      {{"-s", "9", "-p", port, "-h", "127.0.0.1"}, "param format error -s,-p,-h"},
      {{"-p", port, "-s", "9"}, "param format error"},
      {{"-p", "0", "-s", "9", "-h", "127.0.0.1"}, "param value error"},
      {{"-p", port, "-s", "0", "-h", "127.0.0.1"}, "param value error"},
      {{"-p", port, "-s", "-4", "-h", "127.0.0.1"}, "param value error"},
      // Out of range or not a number: refused rather than cut to some other port.
      {{"-p", std::to_string(gw.port() + 65536), "-s", "9", "-h", "127.0.0.1"}, "param value error"},
      {{"-p", port + "x", "-s", "9", "-h", "127.0.0.1"}, "param value error"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    std::string out;
    EXPECT_EQ(exit_code(launch(gw, c.args, &out)), 1) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_NE(out.find("start-up failed"), std::string::npos) << out;
  }
  EXPECT_FALSE(testsupport::port_open(gw.port()));
}

// Regression: a refused port or server id used to be announced in Redis before the
// check refused it.
TEST(Startup, OnlyAcceptedParametersAreAnnouncedInRedis) {
  testsupport::RedisServer redis;
  ASSERT_TRUE(redis.start());
  GatewayConfig cfg;
  cfg.redis_port = redis.port();
  Gateway gw(cfg);
  std::string out;
  EXPECT_EQ(exit_code(launch(gw, {"-p", "0", "-s", "9", "-h", "127.0.0.1"}, &out)), 1) << out;
  EXPECT_EQ(exit_code(launch(gw, {"-p", std::to_string(gw.port()), "-s", "0", "-h", "127.0.0.1"}, &out)), 1) << out;
  // Nor a gateway that cannot listen: a second one on a busy port.
  const int busy = occupy(gw.port());
  ASSERT_GE(busy, 0);
  EXPECT_EQ(exit_code(gw.start_daemon(&out)), 1) << out;
  close(busy);
  EXPECT_EQ(redis.command({"HLEN", "HALLSERVER"}), "0");

  ASSERT_EQ(exit_code(gw.start_daemon(&out)), 0) << out;
  EXPECT_EQ(redis.command({"HGET", "HALLSERVER", "HALLSERVER9"}),
            "{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(gw.port()) + ",\"SVID\":9}\n");
}

TEST(Startup, MissingConfigurationOrLogicServerFailsStartUp) {
  {
    Gateway gw;
    std::remove((gw.root() + "/conf/config.xml").c_str());
    std::string out;
    EXPECT_EQ(exit_code(gw.start_daemon(&out)), 1) << out;
    EXPECT_NE(out.find("Load xml ../conf/config.xml failed"), std::string::npos) << out;
  }
  {
    GatewayConfig cfg;
    cfg.servers = {{4, testsupport::free_port()}};  // nobody listens there
    Gateway gw(cfg);
    std::string out;
    EXPECT_EQ(exit_code(gw.start_daemon(&out)), 1) << out;
    EXPECT_NE(out.find("connect failed."), std::string::npos) << out;
    EXPECT_FALSE(testsupport::port_open(gw.port()));
  }
}

// Configurations that cannot work are refused before the gateway announces or serves
// anything, with a message naming the file, the element or attribute and the value.
TEST(Startup, ConfigurationsThatCannotWorkAreRefused) {
  FakeLogic logic;
  const std::string live = std::to_string(logic.port());
  const std::string big_svid(100000, '9');
  std::vector<std::pair<int, int>> many;
  for (int i = 1; i <= 1000; ++i) many.push_back({i, logic.port()});
  struct Case {
    std::vector<std::pair<int, int>> servers;
    std::string server_xml;  // replaces the written server.xml when not empty
    std::string log_dir;     // replaces LogDir when not empty
    std::string message;
  } cases[] = {
      {{{1, logic.port() + 65536}},
       "",
       "",
       "server.xml: Server 1 port=\"" + std::to_string(logic.port() + 65536) + "\": not a port"},
      {{{1, logic.port()}, {1, testsupport::free_port()}},
       "",
       "",
       "server.xml: Server 2 svid=\"1\": listed twice (also Server 1)"},
      {{{0, logic.port()}}, "", "", "server.xml: Server 1 svid=\"0\": not a server id"},
      {{{-5, logic.port()}}, "", "", "server.xml: Server 1 svid=\"-5\": not a server id"},
      {{},
       "<SYSTEM><Node><ServerList><Server svid='" + big_svid + "' ip='127.0.0.1' port='" + live +
           "'/></ServerList></Node></SYSTEM>",
       "",
       "server.xml: Server 1 svid=\"" + big_svid.substr(0, 64) + "...\" (100000 characters): not a server id"},
      {{{1, logic.port()}}, "", std::string(200, 'd'), "config.xml: SYSTEM LogDir=\""},
      {many, "", "", "config.xml: SYSTEM MaxFdCount=\"1024\": 1024 poller slots leave none for clients"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    GatewayConfig cfg;
    cfg.servers = c.servers;
    Gateway gw(cfg);
    const std::string conf = gw.root() + "/conf/";
    if (!c.server_xml.empty()) testsupport::write_file(conf + "server.xml", c.server_xml);
    if (!c.log_dir.empty()) {
      std::string xml = testsupport::read_file(conf + "config.xml");
      xml.replace(xml.find("../log"), 6, c.log_dir);
      testsupport::write_file(conf + "config.xml", xml);
    }
    std::string out;
    EXPECT_EQ(exit_code(gw.start_daemon(&out)), 1) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out.substr(0, 2000);
    if (c.log_dir.empty()) {
      EXPECT_NE(gw.process_log().find(c.message), std::string::npos);
    }
  }
}

// A datagram socket such as systemd's NOTIFY_SOCKET; the next message within timeout_ms
// ("" when none came).
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
  }
  std::string next(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    char buf[256];
    if (poll(&p, 1, timeout_ms) != 1) return "";
    const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Regression: the shipped systemd unit ran the gateway with -f as Type=simple, so
// `systemctl start hall` succeeded, and units ordered after it started, even when the
// gateway then failed to start (port in use, a logic server away). The foreground
// gateway now tells a waiting service manager "READY=1" once it listens, and only then.
TEST(Startup, ForegroundTellsTheServiceManagerOnlyOnceListening) {
  {
    FakeLogic logic;
    GatewayConfig cfg;
    cfg.servers = {{1, logic.port()}};
    Gateway gw(cfg);
    NotifySocket manager(gw.root() + "/notify");
    testsupport::Process starting;
    ASSERT_TRUE(starting.start(gw.argv(true), gw.bin()));
    EXPECT_EQ(manager.next(15000), "READY=1");
    EXPECT_TRUE(testsupport::port_open(gw.port()));
    starting.stop(SIGTERM);
  }
  {
    GatewayConfig cfg;
    cfg.servers = {{4, testsupport::free_port()}};  // nobody listens there
    Gateway gw(cfg);
    NotifySocket manager(gw.root() + "/notify");
    std::string out;
    EXPECT_EQ(exit_code(testsupport::run_program(gw.argv(true), gw.bin(), 30000, &out)), 1) << out;
    EXPECT_EQ(manager.next(0), "");
  }
}

TEST(Startup, ForegroundRunsInTheStartedProcessAndWithoutLogicServers) {
  GatewayConfig cfg;
  cfg.with_node = false;
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start()) << gw.stderr_text();
  EXPECT_TRUE(gw.alive());
  EXPECT_TRUE(testsupport::wait_until([&] { return gw.logged_pid() == gw.pid(); }, 5000)) << "no fork";
  // Requests go nowhere, and the connection stays.
  Client c(gw.port());
  ASSERT_TRUE(c.send(data_req(3, "nowhere")));
  usleep(200 * 1000);
  ASSERT_TRUE(c.send(data_req(3, "still nowhere")));
  char byte;
  EXPECT_EQ(testsupport::recv_exact(c.fd(), &byte, 1, 300), 0u);
  EXPECT_FALSE(testsupport::wait_closed(c.fd(), 200));
  gw.stop();
  EXPECT_FALSE(gw.alive());
}

}  // namespace
