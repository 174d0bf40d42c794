// The Debian package of scripts/package.sh, made from this build tree: its files and
// conffiles, lintian's verdict, the units' systemd security rating, and the gateway
// started from the package's own layout the way hall.service starts it (as an
// unprivileged user without capabilities, no new privileges, the unit's umask, READY=1 on
// NOTIFY_SOCKET), serving a player and draining on SIGUSR1. Nothing is installed on the
// machine: the package is extracted into a temporary directory.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "logic_servers.h"
#include "packets.h"
#include "test_support.h"

using testsupport::exit_code;
using testsupport::read_file;
using testsupport::run_program;
using testsupport::source_path;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

bool have(const std::string& tool) { return run_program({"/bin/sh", "-c", "command -v " + tool}, "", 10000) == 0; }

// Replaces the one occurrence of `from` in the file at `path`.
void replace_in_file(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = read_file(path);
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << path << " has no " << from;
  write_file(path, text.replace(at, from.size(), to));
}

// The overall exposure systemd-analyze gives the unit file, or 99 when it gives none.
double exposure(const std::string& unit) {
  std::string out;
  run_program({"/bin/sh", "-c", "systemd-analyze security --offline=true " + unit + " 2>&1"}, "", 60000, &out);
  const size_t at = out.find("Overall exposure level for ");
  if (at == std::string::npos) return 99;
  const size_t colon = out.find(": ", at);
  return colon == std::string::npos ? 99 : std::atof(out.c_str() + colon + 2);
}

}  // namespace

TEST(Package, HoldsTheLayoutPassesLintianAndItsGatewayStartsServesAndDrains) {
  for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "lintian", "systemd-analyze"}) {
    if (!have(tool)) GTEST_SKIP() << tool << " is missing (packages dpkg-dev, lintian, systemd)";
  }
  TempDir tmp;
  std::string out;
  ASSERT_EQ(0, run_program({"/bin/bash", source_path("scripts/package.sh"), "--build-dir", HALL_BINARY_DIR, "--out",
                            tmp.path()},
                           "", 180000, &out))
      << out;
  // Its last line names the package.
  std::string deb_path = out;
  while (!deb_path.empty() && deb_path.back() == '\n') deb_path.pop_back();
  deb_path = deb_path.substr(deb_path.find_last_of('\n') + 1);
  ASSERT_EQ(deb_path.substr(deb_path.size() - 10), "_amd64.deb") << out;

  std::string listing;
  ASSERT_EQ(0, run_program({"/usr/bin/dpkg-deb", "-c", deb_path}, "", 30000, &listing)) << listing;
  for (const char* f :
       {"./usr/lib/hall/bin/hall", "./usr/lib/hall/bin/order_sync_client", "./usr/bin/hall_cli", "./usr/bin/hall_token",
        "./usr/lib/hall/conf -> /etc/hall", "./usr/lib/hall/log -> /var/log/hall", "./lib/systemd/system/hall.service",
        "./lib/systemd/system/order_sync_client.service", "./var/log/hall/", "./usr/share/doc/hall/copyright"})
    EXPECT_NE(listing.find(f), std::string::npos) << f << " missing from\n" << listing;
  std::string conffiles;
  ASSERT_EQ(0, run_program({"/usr/bin/dpkg-deb", "-I", deb_path, "conffiles"}, "", 30000, &conffiles));
  EXPECT_EQ(conffiles,
            "/etc/default/hall\n/etc/hall/clib_log_coloring.conf\n/etc/hall/config.xml\n"
            "/etc/hall/order_sync_client.ini\n/etc/hall/server.xml\n");

  // lintian: no error (it prints "E: hall: tag ..." lines for errors).
  std::string lint;
  run_program({"/bin/sh", "-c", "lintian --no-tag-display-limit " + deb_path + " 2>&1"}, "", 180000, &lint);
  EXPECT_EQ(lint.find("E: "), std::string::npos) << lint;

  const std::string root = tmp.file("root");
  ASSERT_EQ(0, run_program({"/usr/bin/dpkg-deb", "-x", deb_path, root}, "", 30000, &out)) << out;
  for (const char* unit : {"hall.service", "order_sync_client.service"}) {
    const double level = exposure(root + "/lib/systemd/system/" + unit);
    EXPECT_LE(level, 3.0) << unit << " is rated " << level;
  }

  // The installed layout, with its two links pointing into the extracted tree instead of
  // the machine's /etc and /var/log; settings on loopback only, with a logic server of
  // the test and a Redis port where nobody listens.
  const std::string bin = root + "/usr/lib/hall/bin";
  const std::string etc = root + "/etc/hall";
  const std::string logs = root + "/var/log/hall";
  ASSERT_EQ(0, unlink((root + "/usr/lib/hall/conf").c_str()));
  ASSERT_EQ(0, unlink((root + "/usr/lib/hall/log").c_str()));
  ASSERT_EQ(0, symlink(etc.c_str(), (root + "/usr/lib/hall/conf").c_str()));
  ASSERT_EQ(0, symlink(logs.c_str(), (root + "/usr/lib/hall/log").c_str()));
  testsupport::LogicServer logic("logic-1");
  ASSERT_TRUE(logic.start());
  const int port = testsupport::free_port();
  replace_in_file(etc + "/config.xml", "BindAddr=\"0.0.0.0\"", "BindAddr=\"127.0.0.1\"");
  replace_in_file(etc + "/config.xml", "RedisPort=\"6379\"",
                  "RedisPort=\"" + std::to_string(testsupport::free_port()) + "\"");
  write_file(etc + "/server.xml", "<SYSTEM><Node><ServerList><Server svid=\"1\" ip=\"127.0.0.1\" port=\"" +
                                      std::to_string(logic.port()) + "\"/></ServerList></Node></SYSTEM>\n");

  // As the unit runs it: as root here, that is as an unprivileged user (nobody stands in
  // for the hall user, which is not created), with no capability and no new privileges.
  const std::string unit = read_file(root + "/lib/systemd/system/hall.service");
  const size_t umask_at = unit.find("\nUMask=");
  ASSERT_NE(umask_at, std::string::npos);
  const std::string umask = unit.substr(umask_at + 7, unit.find('\n', umask_at + 1) - umask_at - 7);
  std::vector<std::string> as_service = {"/bin/sh", "-c", "umask " + umask + " && exec \"$0\" \"$@\""};
  const bool as_nobody = geteuid() == 0 && testsupport::file_exists("/usr/bin/setpriv");
  if (as_nobody) {
    as_service.insert(as_service.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                           "--no-new-privs", "--inh-caps=-all", "--bounding-set=-all"});
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    ASSERT_EQ(0, chown(logs.c_str(), 65534, 65534));  // LogsDirectory= does this
  }
  auto command = [&](std::vector<std::string> argv) {
    std::vector<std::string> all = as_service;
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
  };
  // The ExecStartPre lines.
  ASSERT_EQ(0, run_program(command({bin + "/hall", "-t"}), bin, 30000, &out)) << out;
  ASSERT_EQ(0,
            run_program(command({bin + "/order_sync_client", "-t", etc + "/order_sync_client.ini"}), bin, 30000, &out))
      << out;

  // A notification socket as systemd's: the gateway says READY=1 there once it serves.
  const std::string notify_path = tmp.file("notify");
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(notify, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", notify_path.c_str());
  ASSERT_EQ(0, bind(notify, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, chmod(notify_path.c_str(), 0666));
  struct timeval tv = {60, 0};
  setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  setenv("NOTIFY_SOCKET", notify_path.c_str(), 1);
  testsupport::Process gw;
  ASSERT_TRUE(gw.start(command({bin + "/hall", "-p", std::to_string(port), "-s", "1", "-h", "127.0.0.1", "-f"}), bin,
                       "", tmp.file("stderr")));
  unsetenv("NOTIFY_SOCKET");
  const pid_t pid = gw.pid();
  char state[256] = {};
  const ssize_t n = recv(notify, state, sizeof(state) - 1, 0);
  close(notify);
  ASSERT_GT(n, 0) << "no READY=1 within 60 s; stderr: " << read_file(tmp.file("stderr"));
  EXPECT_NE(std::string(state).find("READY=1"), std::string::npos) << state;

  {
    testpackets::Client player(port);
    ASSERT_TRUE(player.ok());
    ASSERT_TRUE(player.send(testpackets::data_req(1001, "{\"flow\":1001}")));
    int status = -1;
    std::string text;
    ASSERT_TRUE(player.answer(&status, &text, 10000));
    EXPECT_EQ(status, 0);

    // The process log went through ../log into the log directory, readable by the
    // service's group only.
    struct stat st = {};
    const std::string log0 = logs + "/Log_" + std::to_string(pid) + "_0.log";
    ASSERT_EQ(0, stat(log0.c_str(), &st)) << log0;
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    if (as_nobody) {
      EXPECT_EQ(st.st_uid, 65534u);
    }

    // systemctl stop: SIGUSR1 drains; the player leaves and the gateway exits 0.
    ASSERT_EQ(0, kill(pid, SIGUSR1));
    ASSERT_TRUE(
        testsupport::wait_until([&] { return read_file(log0).find("drain: started") != std::string::npos; }, 30000));
  }
  EXPECT_EQ(0, exit_code(gw.wait(40000)));
  EXPECT_NE(read_file(logs + "/Log_" + std::to_string(pid) + "_0.log").find("drain: exiting"), std::string::npos);
}
