// hall -t: the real program, run from bin/ of a run directory, lists every refused and
// replaced value of the three configuration files and exits 0 or 1, without creating a
// file or connecting anywhere.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hall_run.h"

using namespace testsupport;

namespace {

// Names in `dir`, other than "." and "..".
int entries(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr)
    n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  if (d != nullptr) closedir(d);
  return n;
}

TEST(ConfigCheck, HallDashTListsEveryProblemAndTouchesNothing) {
  int redis_port = 0;
  int logic_port = 0;
  const int redis = tcp_listener(&redis_port);
  const int logic = tcp_listener(&logic_port);
  ASSERT_GE(redis, 0);
  ASSERT_GE(logic, 0);
  HallConfig cfg;
  cfg.redis_port = redis_port;
  cfg.servers = {{1, logic_port}};
  cfg.max_listen = 0;
  cfg.attrs = {{"MaxClientQueue", "1048576"},
               {"MaxHelperQueue", "67108864"},
               {"MaxClientIds", "16"},
               {"TrafficLogLevel", "3"},
               {"DrainTimeout", "-5"}};
  HallRun run(cfg);
  auto check = [&](int want_status, const std::string& want) {
    std::string out;
    const int st = run_program({binary("hall"), "-t"}, run.bin(), 30000, &out);
    ASSERT_TRUE(WIFEXITED(st)) << out;
    EXPECT_EQ(want_status, WEXITSTATUS(st)) << out;
    EXPECT_EQ(want, out);
    EXPECT_EQ(0, entries(run.root() + "/log"));
    EXPECT_FALSE(file_exists(run.root() + "/new"));
    EXPECT_EQ(0, entries(run.bin()));
    EXPECT_FALSE(connection_waiting(redis));
    EXPECT_FALSE(connection_waiting(logic));
  };
  check(0,
        "../conf/config.xml: SYSTEM MaxListenCount=\"\": missing or empty; 256 used\n"
        "../conf/config.xml: SYSTEM RegisterInterval=\"\": missing or empty; 10 used\n"
        "../conf/config.xml: SYSTEM UdpPort=\"\": missing or empty; 0 used\n"
        "../conf/config.xml: SYSTEM DrainTimeout=\"-5\": negative; 30 used\n"
        "../conf/clib_log_coloring.conf: cannot be read (No such file or directory); no user id is filtered\n"
        "hall: configuration OK: 5 note(s)\n");

  // ../new/log is two levels short of existing: start-up makes both (as mkdir -p does),
  // so it is no finding.
  write_file(
      run.root() + "/conf/config.xml",
      "<SYSTEM LogDir=\"../new/log\" LogNum=\"0\" LogSize=\"9\" LogLevel=\"-1\" MaxFdCount=\"1024\" WebTimeout=\"7\""
      " HelperTimeout=\"7\" MaxListenCount=\"512\" BindAddr=\"\" RedisServer=\"127.0.0.1\" RedisPort=\"" +
          std::to_string(redis_port) +
          "x\" RegisterInterval=\"-1\" UdpSwitch=\"0\" UdpServer=\"127.0.0.1\" UdpPort=\"0\""
          " MaxClientQueue=\"1048576\" MaxHelperQueue=\"0\" MaxClientIds=\"16\" TrafficLogLevel=\"9\" "
          "DrainTimeout=\"2x\""
          " StatsAddr=\"localhost\" StatsPort=\"70000\"/>");
  write_file(run.root() + "/conf/server.xml",
             "<SYSTEM><Node><ServerList><Server svid=\"1\" ip=\"localhost\" port=\"" + std::to_string(logic_port) +
                 "\"/><Server svid=\"1\" ip=\"127.0.0.1\" port=\"70000\"/></ServerList></Node></SYSTEM>");
  write_file(run.root() + "/conf/clib_log_coloring.conf", "12345\n# a comment\n42\n");
  check(1,
        "../conf/config.xml: SYSTEM LogNum=\"0\": not above 0; 3 used\n"
        "../conf/config.xml: SYSTEM LogLevel=\"-1\": negative; 6 used\n"
        "../conf/config.xml: SYSTEM BindAddr=\"\": missing or empty (the address to listen on)\n"
        "../conf/config.xml: SYSTEM RedisPort=\"" +
            std::to_string(redis_port) + "x\": not a whole number; " + std::to_string(redis_port) +
            " used\n"
            "../conf/config.xml: SYSTEM RegisterInterval=\"-1\": negative; 10 used\n"
            "../conf/config.xml: SYSTEM MaxHelperQueue=\"0\": not above 0; 67108864 used\n"
            "../conf/config.xml: SYSTEM TrafficLogLevel=\"9\": not a level from 3 to 7; 3 used\n"
            "../conf/config.xml: SYSTEM DrainTimeout=\"2x\": not a whole number; 30 used\n"
            "../conf/config.xml: SYSTEM StatsAddr=\"localhost\": not a dotted IPv4 address or * to listen on\n"
            "../conf/config.xml: SYSTEM StatsPort=\"70000\": not a port number from 0 to 65535\n"
            "../conf/server.xml: Server 1 ip=\"localhost\": not a dotted IPv4 address\n"
            "../conf/server.xml: Server 2 svid=\"1\": listed twice (also Server 1)\n"
            "../conf/server.xml: Server 2 port=\"70000\": not a port (a whole number from 1 to 65535)\n"
            "../conf/clib_log_coloring.conf: line 3 \"42\": not a user id from 10000 to 4294967295; ignored\n"
            "hall: configuration refused: 6 problem(s), 8 other note(s)\n");
  close(redis);
  close(logic);
}

// Settings of the token check and of admission: each unusable value is refused with its
// reason.
TEST(ConfigCheck, HallDashTRefusesUnusableAuthAndAdmissionSettings) {
  TempDir dir;
  write_file(dir.file("bad.pub"), "k1 AAECAwQ=\n");
  const struct {
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string want;
  } cases[] = {
      {{{"ClientAuth", "yes"}}, "ClientAuth=\"yes\": not 0 or 1"},
      {{{"ClientAuth", "1"}}, "AuthKeysFile=\"\": missing"},
      {{{"ClientAuth", "1"}, {"AuthKeysFile", dir.file("bad.pub")}},
       "bad.pub line 1: not \"<kid> <base64 of a 32-byte key>\""},
      {{{"ClientAuth", "1"}, {"AuthKeysFile", dir.file("none.pub")}}, "none.pub: cannot be read"},
      {{{"AuthMaxTtl", "0"}}, "AuthMaxTtl=\"0\": not a number of seconds from 1 to 86400"},
      {{{"MaxConnsPerIp", "-1"}}, "MaxConnsPerIp=\"-1\""},
      {{{"TrustedNets", "10.0.0.0/33"}}, "TrustedNets=\"10.0.0.0/33\""},
      {{{"MaxRequestsPerSecond", "x"}}, "MaxRequestsPerSecond=\"x\""},
      {{{"ProxyProtocol", "1"}}, "ProxyProtocol=\"1\": needs ProxyFrom"},
  };
  for (const auto& c : cases) {
    HallConfig cfg;
    cfg.attrs = c.attrs;
    HallRun run(cfg);
    std::string out;
    EXPECT_EQ(1, run.check(&out)) << out;
    EXPECT_NE(std::string::npos, out.find(c.want)) << out;
  }
}

}  // namespace
