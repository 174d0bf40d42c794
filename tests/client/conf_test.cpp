// Settings of order_sync_client: loaded from real files; a bad setting stops the program
// at start with a message naming it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "conf.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const char* kGood =
    "[gateway]\nip=10.1.2.3\nport=8707\nclient_id=-5\n"
    "[redis]\nip=127.0.0.1\nport=6379\nkey=order list\n";

TEST(ClientConf, RequiredAndOptionalSettings) {
  TempDir d;
  std::string f = d.file("c.ini");
  write_file(f, kGood);
  conf_s c;
  std::string err;
  ASSERT_EQ(0, load_conf(f.c_str(), &c, &err)) << err;
  EXPECT_STREQ("10.1.2.3", c.server_ip);
  EXPECT_EQ(8707, c.server_port);
  EXPECT_EQ(-5, c.client_id);
  EXPECT_STREQ("127.0.0.1", c.redis_ip);
  EXPECT_EQ(6379, c.redis_port);
  EXPECT_STREQ("order list", c.redis_key);
  EXPECT_STREQ("127.0.0.1", c.mysql_ip);  // defaults
  EXPECT_EQ(3306, c.mysql_port);
  EXPECT_STREQ("", c.mysql_username);
  EXPECT_STREQ("../log", c.log_dir);
  EXPECT_EQ(6, c.log_level);

  write_file(f, std::string(kGood) +
                    "[mysql]\nip=127.0.0.2\nport=3307\nusername=u\npassword=\ndb=shop\n"
                    "[log]\ndir=/tmp/x\nlevel=7\n");
  ASSERT_EQ(0, load_conf(f.c_str(), &c, &err)) << err;
  EXPECT_STREQ("127.0.0.2", c.mysql_ip);
  EXPECT_EQ(3307, c.mysql_port);
  EXPECT_STREQ("u", c.mysql_username);
  EXPECT_STREQ("shop", c.mysql_db);
  EXPECT_STREQ("/tmp/x", c.log_dir);
  EXPECT_EQ(7, c.log_level);
}

// Sixteen sentinels are allowed, whatever their addresses: the longest list fits whole.
TEST(ClientConf, SixteenSentinelsOfTheLongestAddressesFit) {
  TempDir d;
  std::string f = d.file("c.ini");
  std::string list;
  for (int i = 0; i < 16; ++i)
    list += std::string(list.empty() ? "" : ",") + "255.255.255." + std::to_string(200 + i) + ":65535";
  write_file(f, "[gateway]\nip=127.0.0.1\nport=8707\nclient_id=1\n[redis]\nsentinels=" + list +
                    "\nmaster=mymaster\nkey=orders\n");
  conf_s c;
  std::string err;
  ASSERT_EQ(0, load_conf(f.c_str(), &c, &err)) << err;
  EXPECT_EQ(list, c.redis_sentinels);
}

TEST(ClientConf, EveryBadSettingIsNamed) {
  TempDir d;
  std::string f = d.file("c.ini");
  conf_s c;
  struct Case {
    std::string text;
    std::string named;
  } cases[] = {
      {"[gateway]\nport=1\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n", "[gateway] ip"},
      {"[gateway]\nip=localhost\nport=1\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n", "[gateway] ip"},
      {"[gateway]\nip=1.2.3.4\nport=70000\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n", "[gateway] port"},
      {"[gateway]\nip=1.2.3.4\nport=80x\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n", "[gateway] port"},
      {"[gateway]\nip=1.2.3.4\nport=80\nclient_id=9999999999\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n",
       "[gateway] client_id"},
      {"[gateway]\nip=1.2.3.4\nport=80\nclient_id=1\n[redis]\nip=127.0.0.1\nport=0\nkey=k\n", "[redis] port"},
      {"[gateway]\nip=1.2.3.4\nport=80\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=\n", "[redis] key"},
      {"[gateway]\nip=1.2.3.4\nport=80\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=" + std::string(64, 'k') + "\n",
       "[redis] key"},
      {std::string(kGood) + "sending=order list\n", "[redis] sending"},
      {std::string(kGood) + "sending=order list:dead\n", "[redis] sending"},
      {std::string(kGood) + "[mysql]\nport=-1\n", "[mysql] port"},
      {std::string(kGood) + "[log]\nlevel=9\n", "[log] level"},
      {"[gateway]\nip=1.2.3.4\nport=80\nclient_id=1\nauth_key_file=" + d.file("none.key") +
           "\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n",
       "[gateway] auth_key_file: " + d.file("none.key") + ": cannot be read"},
  };
  for (const Case& k : cases) {
    write_file(f, k.text);
    std::string err;
    EXPECT_EQ(-1, load_conf(f.c_str(), &c, &err)) << k.text;
    EXPECT_NE(std::string::npos, err.find(k.named)) << err;
  }
  std::string err;
  EXPECT_EQ(-1, load_conf(d.file("missing.ini").c_str(), &c, &err));
  EXPECT_NE(std::string::npos, err.find("missing.ini")) << err;
}

TEST(ClientConf, ProgramStopsAtStartNamingTheBadKey) {
  TempDir d;
  std::string f = d.file("c.ini");
  write_file(f, "[gateway]\nip=127.0.0.1\nport=99999\nclient_id=1\n[redis]\nip=127.0.0.1\nport=1\nkey=k\n");
  std::string out;
  int st = run_program({binary("order_sync_client"), f}, d.path(), 10000, &out);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(1, WEXITSTATUS(st));
  EXPECT_NE(std::string::npos, out.find("[gateway] port")) << out;

  // A wrong command line, "-t" without its file among them, gives the usage and status 2.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"-t"}, std::vector<std::string>{"--help"}}) {
    std::vector<std::string> argv = {binary("order_sync_client")};
    argv.insert(argv.end(), args.begin(), args.end());
    st = run_program(argv, d.path(), 10000, &out);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(2, WEXITSTATUS(st)) << out;
    EXPECT_NE(std::string::npos, out.find("usage")) << out;
  }
}

TEST(ClientConf, DashTListsEveryProblemAndDefaultWithoutConnecting) {
  TempDir d;
  int gateway_port = 0;
  int redis_port = 0;
  const int gateway = tcp_listener(&gateway_port);
  const int redis = tcp_listener(&redis_port);
  ASSERT_GE(gateway, 0);
  ASSERT_GE(redis, 0);
  const std::string f = d.file("c.ini");
  const std::string tail =
      "\n[redis]\nip=127.0.0.1\nport=" + std::to_string(redis_port) +
      "\nkey=orders\n[mysql]\nip=127.0.0.1\nport=3306\nusername=u\npassword=\n[log]\ndir=" + d.file("log") + "\n";
  auto check = [&](int want_status, const std::string& want) {
    std::string out;
    const int st = run_program({binary("order_sync_client"), "-t", f}, d.path(), 10000, &out);
    ASSERT_TRUE(WIFEXITED(st)) << out;
    EXPECT_EQ(want_status, WEXITSTATUS(st)) << out;
    EXPECT_EQ(want, out);
    EXPECT_FALSE(file_exists(d.file("log")));
    EXPECT_FALSE(connection_waiting(gateway));
    EXPECT_FALSE(connection_waiting(redis));
  };
  write_file(f, "[gateway]\nip=127.0.0.1\nport=" + std::to_string(gateway_port) + "\nclient_id=7" + tail);
  check(0, f + ": [redis] sending missing; \"orders:sending:127.0.0.1:" + std::to_string(gateway_port) + ":7\" used\n" +
               f + ": [mysql] db missing; \"\" used\n" + f + ": [log] level missing; \"6\" used\n" + f +
               ": [order] pause_ms missing; \"10\" used\n" + "order_sync_client: settings OK: 4 default(s) used\n");

  write_file(f, "[gateway]\nip=localhost\nport=0" + tail + "level=9\n");
  check(1, f + ": setting [gateway] ip is not a dotted IPv4 address: \"localhost\"\n" + f +
               ": setting [gateway] port must be a whole number from 1 to 65535: \"0\"\n" + f +
               ": missing setting [gateway] client_id\n" + f +
               ": setting [log] level must be a whole number from 4 to 7: \"9\"\n" + f +
               ": [redis] sending missing; \"orders:sending::0:0\" used\n" + f + ": [mysql] db missing; \"\" used\n" +
               f + ": [order] pause_ms missing; \"10\" used\norder_sync_client: settings refused: 4 problem(s)\n");
  close(gateway);
  close(redis);
}

TEST(ClientConf, OrderPauseIsReadWithZeroAllowed) {
  TempDir d;
  const std::string f = d.file("c.ini");
  conf_s c;
  std::string err;
  write_file(f, kGood);
  ASSERT_EQ(0, load_conf(f.c_str(), &c, &err)) << err;
  EXPECT_EQ(10, c.order_pause_ms);
  for (const char* ms : {"0", "250"}) {
    write_file(f, std::string(kGood) + "[order]\npause_ms=" + ms + "\n");
    ASSERT_EQ(0, load_conf(f.c_str(), &c, &err)) << err;
    EXPECT_EQ(std::stoi(ms), c.order_pause_ms);
  }
  for (const char* bad : {"-1", "10ms", ""}) {
    write_file(f, std::string(kGood) + "[order]\npause_ms=" + bad + "\n");
    EXPECT_EQ(-1, load_conf(f.c_str(), &c, &err)) << bad;
    EXPECT_NE(std::string::npos, err.find("[order] pause_ms")) << err;
  }
}

TEST(ClientConf, SampleSettingsFileIsComplete) {
  conf_s c;
  std::string err;
  ASSERT_EQ(0, load_conf(source_path("conf/order_sync_client.ini").c_str(), &c, &err)) << err;
  EXPECT_STREQ("orders", c.redis_key);
}

}  // namespace
