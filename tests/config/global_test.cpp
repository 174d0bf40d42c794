// DaemonInit against real config files in temporary directories: defaults, clamps,
// number parsing, each failure message and where it goes; and LoopSvid's shared
// round-robin position.
#include <fcntl.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "auth/client_auth.h"
#include "global.h"
#include "log.h"
#include "test_support.h"
#include "transport/tls_transport.h"
#include "auth/token.h"

using __http_svr_ns__::TGlobal;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// Puts every setting and the process log back to the built-in values, so the tests
// also pass when they all run in one process.
void reset_settings() {
  snprintf(TGlobal::_addr, sizeof(TGlobal::_addr), "%s", "0.0.0.0");
  TGlobal::_port = 80;
  TGlobal::_backlog = 256;
  TGlobal::_maxpoller = 1024;
  TGlobal::_webtimeout = 10;
  TGlobal::_helpertimeout = 5;
  TGlobal::_svid = 0;
  TGlobal::_ip = "0.0.0.0";
  TGlobal::_redisIp = "0.0.0.0";
  TGlobal::_redisPort = 0;
  TGlobal::_udpSwitch = 0;
  TGlobal::_udpIp = "0.0.0.0";
  TGlobal::_udpPort = 0;
  TGlobal::_loopNum = 0;
  __log_level__ = 6;
  snprintf(log_dir, sizeof(log_dir), "%s", "../log");
  max_file_size = 52428800;
  max_file_num = 3;
  appname[0] = '\0';
  cur_file_pos = 0;
}

// Reads config.xml at `path` (and a server.xml that is not there) as start-up does, and
// applies it with standard error sent to a file; returns what was written there.
int daemon_init_capturing(const char* path, const TempDir& dir, std::string* err) {
  __http_svr_ns__::TConfigReading reading;
  TGlobal::ReadConfiguration(path, dir.file("server.xml").c_str(), &reading);
  std::string err_path = dir.file("stderr.txt");
  fflush(stderr);
  int saved = dup(2);
  int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 2);
  close(fd);
  int rc = TGlobal::DaemonInit(reading);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  *err = read_file(err_path);
  return rc;
}

std::string process_log_path(const std::string& dir) { return dir + "/Log_" + std::to_string(getpid()) + "_0.log"; }

class DaemonInitTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_settings(); }
  void TearDown() override { reset_settings(); }

  // A config.xml holding one SYSTEM element with `attrs`, logging into the temp dir.
  std::string config(const std::string& attrs) {
    std::string path = dir_.file("config.xml");
    write_file(path, "<?xml version=\"1.0\"?>\n<SYSTEM LogDir=\"" + log_dir_() + "\" " + attrs + "/>\n");
    return path;
  }
  std::string log_dir_() const { return dir_.file("log"); }

  int run(const std::string& path) { return daemon_init_capturing(path.c_str(), dir_, &err_); }

  // Makes <temp>/bin the working directory, so that "../log" is <temp>/log.
  void chdir_into_bin() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    saved_cwd_ = cwd;
    std::string bin = dir_.file("bin");
    mkdir(bin.c_str(), 0755);
    ASSERT_EQ(chdir(bin.c_str()), 0);
  }
  void restore_cwd() { ASSERT_EQ(chdir(saved_cwd_.c_str()), 0); }

  TempDir dir_;
  std::string err_;
  std::string saved_cwd_;
};

}  // namespace

TEST_F(DaemonInitTest, MissingAttributesTakeTheirLowerLimits) {
  ASSERT_EQ(run(config("BindAddr=\"127.0.0.1\"")), 0);
  EXPECT_STREQ(TGlobal::_addr, "127.0.0.1");
  EXPECT_EQ(TGlobal::_maxpoller, 1024);
  EXPECT_EQ(TGlobal::_webtimeout, 1);
  EXPECT_EQ(TGlobal::_helpertimeout, 1);
  EXPECT_EQ(TGlobal::_backlog, 256);
  EXPECT_EQ(TGlobal::_redisIp, "");  // a missing text attribute reads as empty
  EXPECT_EQ(TGlobal::_redisPort, 0);
  EXPECT_EQ(TGlobal::_udpSwitch, 0);
  EXPECT_EQ(TGlobal::_udpIp, "");
  EXPECT_EQ(TGlobal::_udpPort, 0);
  EXPECT_EQ(__log_level__, 4);  // LogLevel 0 counts as 4
  EXPECT_EQ(max_file_num, 3);
  EXPECT_EQ(max_file_size, 52428800);
  // Settings that only the command line or nothing sets keep their defaults.
  EXPECT_EQ(TGlobal::_port, 80);
  EXPECT_EQ(TGlobal::_svid, 0);
  EXPECT_EQ(TGlobal::_ip, "0.0.0.0");
  EXPECT_EQ(TGlobal::_timerConnect, 500);
  EXPECT_STREQ(TGlobal::_progname, "hall");
  EXPECT_STREQ(TGlobal::_version, "svr 2.0");
  EXPECT_EQ(TGlobal::_module_close, nullptr);
  EXPECT_EQ(TGlobal::_stopped, 0);
}

TEST_F(DaemonInitTest, EveryAttributeIsApplied) {
  ASSERT_EQ(run(config("LogNum='7' LogSize='4096' LogLevel='7' MaxFdCount='5000' WebTimeout='30' "
                       "HelperTimeout='8' MaxListenCount='1000' BindAddr='10.0.0.1' RedisServer='127.0.0.2' "
                       "RedisPort='6380' UdpSwitch='1' UdpServer='127.0.0.3' UdpPort='9999'")),
            0)
      << err_;
  EXPECT_EQ(max_file_num, 7);
  EXPECT_EQ(max_file_size, 4096);
  EXPECT_EQ(__log_level__, 7);
  EXPECT_STREQ(log_dir, log_dir_().c_str());
  EXPECT_EQ(TGlobal::_maxpoller, 5000);
  EXPECT_EQ(TGlobal::_webtimeout, 30);
  EXPECT_EQ(TGlobal::_helpertimeout, 8);
  EXPECT_EQ(TGlobal::_backlog, 1000);
  EXPECT_STREQ(TGlobal::_addr, "10.0.0.1");
  EXPECT_EQ(TGlobal::_redisIp, "127.0.0.2");
  EXPECT_EQ(TGlobal::_redisPort, 6380);
  EXPECT_EQ(TGlobal::_udpSwitch, 1);
  EXPECT_EQ(TGlobal::_udpIp, "127.0.0.3");
  EXPECT_EQ(TGlobal::_udpPort, 9999);

  // The two time-out lines go to the process log and to standard error.
  std::string log = read_file(process_log_path(log_dir_()));
  EXPECT_NE(log.find("global.cpp("), std::string::npos) << log;
  EXPECT_NE(log.find("_webtimeout is 30\n"), std::string::npos) << log;
  EXPECT_NE(log.find("HelperTimeout is 8\n"), std::string::npos) << log;
  EXPECT_NE(err_.find("_webtimeout is 30"), std::string::npos) << err_;
}

TEST_F(DaemonInitTest, ClampsAndNumberParsing) {
  ASSERT_EQ(run(config("MaxFdCount='100' WebTimeout='0' HelperTimeout=' -5' MaxListenCount='255' "
                       "RedisPort='6379abc' UdpPort='+12' UdpSwitch='x1' LogLevel='2' LogNum='-4' LogSize='0' "
                       "BindAddr='0.0.0.0'")),
            0);
  EXPECT_EQ(TGlobal::_maxpoller, 1024);
  EXPECT_EQ(TGlobal::_webtimeout, 1);
  EXPECT_EQ(TGlobal::_helpertimeout, 1);
  EXPECT_EQ(TGlobal::_backlog, 256);
  EXPECT_EQ(TGlobal::_redisPort, 6379);
  EXPECT_EQ(TGlobal::_udpPort, 12);
  EXPECT_EQ(TGlobal::_udpSwitch, 0);
  EXPECT_EQ(__log_level__, 4);
  EXPECT_EQ(max_file_num, 3);
  EXPECT_EQ(max_file_size, 52428800);

  // Values are cut to 32 bits; a negative LogLevel keeps the current level.
  reset_settings();
  __log_level__ = 5;
  ASSERT_EQ(run(config("RedisPort='4294967297' MaxFdCount='4294972296' LogLevel='-1' BindAddr='a'")), 0);
  EXPECT_EQ(TGlobal::_redisPort, 1);
  EXPECT_EQ(TGlobal::_maxpoller, 5000);
  EXPECT_EQ(__log_level__, 5);
}

TEST_F(DaemonInitTest, LongBindAddrIsCutTo63Characters) {
  std::string addr(100, 'h');
  ASSERT_EQ(run(config("BindAddr='" + addr + "'")), 0);
  EXPECT_EQ(std::string(TGlobal::_addr), addr.substr(0, 63));
}

TEST_F(DaemonInitTest, EmptyLogDirKeepsTheDefaultDirectory) {
  // An empty directory would name the ring files "/Log_<pid>_0.log" in the root.
  std::string path = dir_.file("config.xml");
  write_file(path, "<SYSTEM LogDir='' BindAddr=''/>");
  chdir_into_bin();
  EXPECT_EQ(run(path), -1);
  restore_cwd();
  EXPECT_STREQ(log_dir, "../log");
  EXPECT_NE(read_file(dir_.file("log/Log_" + std::to_string(getpid()) + "_0.log")).find("bind ip address invalid."),
            std::string::npos);
}

TEST_F(DaemonInitTest, EmptyBindAddrFailsAfterTheLogIsOpen) {
  ASSERT_EQ(run(config("WebTimeout='3' MaxListenCount='900' BindAddr='' RedisServer='127.0.0.9' "
                       "RedisPort='1' UdpSwitch='1'")),
            -1);
  std::string log = read_file(process_log_path(log_dir_()));
  EXPECT_NE(log.find("global.cpp("), std::string::npos);
  EXPECT_NE(log.find("bind ip address invalid.\n"), std::string::npos) << log;
  EXPECT_NE(err_.find("bind ip address invalid."), std::string::npos) << err_;
  // Settings before the address are applied, the ones after it keep their defaults.
  EXPECT_EQ(TGlobal::_webtimeout, 3);
  EXPECT_EQ(TGlobal::_backlog, 900);
  EXPECT_STREQ(TGlobal::_addr, "0.0.0.0");
  EXPECT_EQ(TGlobal::_redisIp, "0.0.0.0");
  EXPECT_EQ(TGlobal::_redisPort, 0);
  EXPECT_EQ(TGlobal::_udpSwitch, 0);

  reset_settings();
  EXPECT_EQ(run(config("")), -1);  // missing counts as empty
  EXPECT_NE(err_.find("bind ip address invalid."), std::string::npos) << err_;
}

TEST_F(DaemonInitTest, FailuresBeforeTheLogGoToStandardError) {
  EXPECT_EQ(daemon_init_capturing(nullptr, dir_, &err_), -1);
  EXPECT_EQ(err_, "module config file is invalid.\n");
  EXPECT_EQ(daemon_init_capturing("", dir_, &err_), -1);
  EXPECT_EQ(err_, "module config file is invalid.\n");

  std::string missing = dir_.file("missing.xml");
  EXPECT_EQ(run(missing), -1);
  EXPECT_EQ(err_, "Load xml " + missing + " failed\n");

  std::string bad = dir_.file("bad.xml");
  for (const char* text : {"", "<SYSTEM BindAddr='1.2.3.4'>", "no element here", "<SYSTEM></System>"}) {
    write_file(bad, text);
    EXPECT_EQ(run(bad), -1) << text;
    EXPECT_EQ(err_, "Load xml " + bad + " failed\n") << text;
  }

  // SYSTEM must be the document's first top-level element.
  for (const char* text : {"<CONFIG><SYSTEM BindAddr='1.2.3.4'/></CONFIG>", "<CONFIG/><SYSTEM BindAddr='1.2.3.4'/>",
                           "<system BindAddr='1.2.3.4'/>"}) {
    write_file(bad, text);
    EXPECT_EQ(run(bad), -1) << text;
    EXPECT_EQ(err_, "Can not FindElem [SYSTEM] in xml " + bad + " failed\n") << text;
  }
  // Nothing was logged or changed: the process log was never opened.
  EXPECT_EQ(appname[0], '\0');
  EXPECT_EQ(TGlobal::_maxpoller, 1024);
  EXPECT_EQ(TGlobal::_webtimeout, 10);
}

TEST_F(DaemonInitTest, ShippedSampleApplies) {
  // The sample logs into "../log": run it from a "bin" directory inside a temp dir.
  chdir_into_bin();
  int rc = run(testsupport::source_path("conf/config.xml"));
  restore_cwd();
  ASSERT_EQ(rc, 0) << err_;
  EXPECT_EQ(TGlobal::_maxpoller, 10240);
  EXPECT_EQ(TGlobal::_webtimeout, 10);
  EXPECT_EQ(TGlobal::_helpertimeout, 5);
  EXPECT_EQ(TGlobal::_backlog, 256);
  EXPECT_STREQ(TGlobal::_addr, "0.0.0.0");
  EXPECT_EQ(TGlobal::_redisIp, "127.0.0.1");
  EXPECT_EQ(TGlobal::_redisPort, 6379);
  EXPECT_EQ(TGlobal::_udpSwitch, 0);
  EXPECT_EQ(__log_level__, 6);
  EXPECT_NE(read_file(dir_.file("log/Log_" + std::to_string(getpid()) + "_0.log")).find("_webtimeout is 10"),
            std::string::npos);
}

// Start-up uses the files as the reading loaded them: with every file gone before the
// reading is applied, the logic servers, the signers' key and the certificate pair of
// the reading are the ones in force.
TEST_F(DaemonInitTest, StartUpUsesWhatTheReadingLoaded) {
  unsigned char seed[32] = {7};
  hall_auth::PkeyPtr signer = hall_auth::private_key_from_seed(seed);
  unsigned char raw[32];
  ASSERT_TRUE(signer != nullptr && hall_auth::raw_public_key(signer.get(), raw));
  const std::string keys = dir_.file("keys.txt");
  write_file(keys, "k1 " + hall_auth::base64_encode(raw, sizeof(raw)) + "\n");
  ASSERT_NE(testsupport::make_certificate(dir_.path(), "gateway"), "");
  const std::string conf = config("BindAddr='127.0.0.1' ClientAuth='1' AuthKeysFile='" + keys + "' TlsPort='4433' " +
                                  "TlsCert='" + dir_.file("cert.pem") + "' TlsKey='" + dir_.file("key.pem") + "'");
  const std::string servers = dir_.file("server.xml");
  write_file(servers,
             "<SYSTEM><Node><ServerList><Server svid='7' ip='127.0.0.1' port='9107'/>"
             "<Server svid='8' ip='127.0.0.2' port='9108'/></ServerList></Node></SYSTEM>");
  __http_svr_ns__::TConfigReading reading;
  TGlobal::ReadConfiguration(conf.c_str(), servers.c_str(), &reading);
  EXPECT_TRUE(TGlobal::ConfigProblems(reading).empty());
  for (const std::string& f : {conf, servers, keys, dir_.file("cert.pem"), dir_.file("key.pem")})
    ASSERT_EQ(unlink(f.c_str()), 0) << f;
  ASSERT_EQ(TGlobal::DaemonInit(reading), 0);

  ASSERT_EQ(TGlobal::_servers.size(), 2u);
  EXPECT_EQ(TGlobal::_servers[1].svid, 8);
  EXPECT_EQ(TGlobal::_servers[1].ip, "127.0.0.2");
  EXPECT_EQ(TGlobal::_servers[1].port, 9108);
  int id = 0;
  const std::string token =
      hall_auth::issue_token(signer.get(), "k1", 42, time(nullptr) + 60, hall_auth::random_nonce());
  EXPECT_EQ(hall_auth::client_auth_check(token, &id), hall_auth::AUTH_OK);
  EXPECT_EQ(id, 42);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  hall_transport::CTlsTransport* tls = hall_transport::CTlsTransport::Create(sv[0]);
  EXPECT_NE(tls, nullptr);  // the pair loaded by the reading, kept though its files are gone
  delete tls;
  close(sv[0]);
  close(sv[1]);
  hall_transport::tls_teardown();
  TGlobal::_servers.clear();
}

TEST(LoopSvid, RoundRobinStartsAtTheSecondEntry) {
  TGlobal::_loopNum = 0;
  std::vector<int> list = {7, 8, 9};
  std::vector<int> picks;
  for (int i = 0; i < 6; ++i) picks.push_back(TGlobal::LoopSvid(list));
  EXPECT_EQ(picks, (std::vector<int>{8, 9, 7, 8, 9, 7}));

  std::vector<int> one = {5};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(TGlobal::LoopSvid(one), 5);
    EXPECT_EQ(TGlobal::_loopNum, 0);
  }
}

TEST(LoopSvid, PositionIsSharedAcrossLists) {
  TGlobal::_loopNum = 0;
  std::vector<int> four = {1, 2, 3, 4};
  EXPECT_EQ(TGlobal::LoopSvid(four), 2);
  EXPECT_EQ(TGlobal::LoopSvid(four), 3);
  EXPECT_EQ(TGlobal::_loopNum, 2);
  std::vector<int> two = {10, 20};
  EXPECT_EQ(TGlobal::LoopSvid(two), 10);
  EXPECT_EQ(TGlobal::_loopNum, 0);

  TGlobal::_loopNum = -3;  // a corrupt position restarts at the first entry
  EXPECT_EQ(TGlobal::LoopSvid(four), 1);

  // An empty list has no pick and leaves the position alone.
  std::vector<int> none;
  TGlobal::_loopNum = 1;
  EXPECT_EQ(TGlobal::LoopSvid(none), -1);
  EXPECT_EQ(TGlobal::_loopNum, 1);
  TGlobal::_loopNum = 0;
}

TEST(DaemonStart, DetachesWithTheSignalDispositions) {
  TempDir dir;
  std::string report = dir.file("report.txt");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGTERM, SIG_IGN);  // must come back to the default action
    TGlobal::DaemonStart();    // the forked child exits 0 here; its own child goes on
    struct sigaction term, pipe_act, chld;
    sigaction(SIGTERM, nullptr, &term);
    sigaction(SIGPIPE, nullptr, &pipe_act);
    sigaction(SIGCHLD, nullptr, &chld);
    char here[4096];
    std::string line = std::to_string(term.sa_handler == SIG_DFL) + " " +
                       std::to_string(pipe_act.sa_handler == SIG_IGN) + " " +
                       std::to_string(chld.sa_handler == SIG_IGN) + " " + std::to_string(getsid(0) == getpid()) + " " +
                       (getcwd(here, sizeof(here)) ? here : "?");
    std::string tmp = report + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f != nullptr) {
      fputs(line.c_str(), f);
      fclose(f);
      rename(tmp.c_str(), report.c_str());
    }
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(testsupport::wait_until([&] { return testsupport::file_exists(report); }, 5000));
  EXPECT_EQ(read_file(report), std::string("1 1 1 1 ") + cwd);
}

std::vector<std::string> config_problems(const std::string& conf, const std::string& servers) {
  __http_svr_ns__::TConfigReading reading;
  TGlobal::ReadConfiguration(conf.c_str(), servers.c_str(), &reading);
  return TGlobal::ConfigProblems(reading);
}

TEST(ConfigProblems, EveryProblemOfBothFilesIsListed) {
  TempDir dir;
  const std::string conf = dir.file("config.xml");
  const std::string servers = dir.file("server.xml");
  write_file(conf, "<SYSTEM LogDir='" + std::string(128, 'd') + "' MaxFdCount='1024' BindAddr='0.0.0.0'/>");
  write_file(servers,
             "<SYSTEM><Node><ServerList><Server svid='3' ip='127.0.0.1' port='0'/>"
             "<Server svid='3' ip='127.0.0.1' port='9102'/><Server svid='4x' ip='127.0.0.1' port='65535'/>"
             "</ServerList></Node></SYSTEM>");
  const std::vector<std::string> want = {
      conf + ": SYSTEM LogDir=\"" + std::string(64, 'd') + "...\" (128 characters): longer than 127 characters",
      servers + ": Server 1 port=\"0\": not a port (a whole number from 1 to 65535)",
      servers + ": Server 2 svid=\"3\": listed twice (also Server 1)",
      servers + ": Server 3 svid=\"4x\": not a server id (a whole number from 1 to 2147483647)",
  };
  EXPECT_EQ(config_problems(conf, servers), want);

  write_file(conf, "<SYSTEM LogDir='" + std::string(127, 'd') + "' BindAddr='0.0.0.0'/>");
  write_file(servers,
             "<SYSTEM><Node><ServerList><Server svid='2147483647' ip='127.0.0.1' port='1'/>"
             "</ServerList></Node></SYSTEM>");
  EXPECT_TRUE(config_problems(conf, servers).empty());
}
