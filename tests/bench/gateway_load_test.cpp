// The load generator's gateway mode through a real gateway and real sample logic
// servers, as the benchmark runs it: every request of every connection gets exactly one
// answer, with one logic server and with three of which one answers, over TCP and over
// the gateway's WebSocket, WebSocket-over-TLS and TLS listeners.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

long long field(const std::string& output, const std::string& key, const std::string& tag = "RESULT") {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, tag.size() + 1, tag + " ") != 0) continue;
    std::string pat = " " + key + "=";
    size_t at = line.find(pat);
    if (at == std::string::npos) break;
    return std::stoll(line.substr(at + pat.size()));
  }
  ADD_FAILURE() << "no " << key << " in: " << output;
  return -1;
}

struct Setup {
  int logic;              // logic servers, of which only the first answers
  std::string transport;  // load_gen's transport: tcp, ws, wss or tls
};
void PrintTo(const Setup& s, std::ostream* os) { *os << s.transport << " with " << s.logic << " logic server(s)"; }

// A gateway in bin/ beside conf/ and log/, in front of the logic servers, with the
// listener of the transport (TLS with a certificate made here).
class GatewayUnderLoad : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override {
    const std::string& transport = GetParam().transport;
    std::string listeners;
    port_ = free_port();
    if (transport != "tcp") {
      const std::string cert = dir_.file("cert.pem"), key = dir_.file("key.pem");
      ASSERT_NE("", make_certificate(dir_.path(), "127.0.0.1"));
      load_port_ = free_port();
      while (load_port_ == port_) load_port_ = free_port();
      const char* attr = transport == "ws" ? "WsPort" : transport == "wss" ? "WssPort" : "TlsPort";
      listeners = std::string(attr) + "=\"" + std::to_string(load_port_) + "\" TlsCert=\"" + cert + "\" TlsKey=\"" +
                  key + "\" ";
    }
    ASSERT_EQ(0, system(("mkdir -p " + dir_.file("bin") + " " + dir_.file("conf") + " " + dir_.file("log")).c_str()));
    std::string servers = "<SYSTEM><Node><ServerList>\n";
    for (int i = 0; i < GetParam().logic; ++i) {
      int port = free_port();
      std::vector<std::string> argv = {binary("logic_server"), "--name", "logic" + std::to_string(i)};
      if (i > 0) argv.push_back("--silent");
      argv.push_back(std::to_string(port));
      logic_.emplace_back(new Process);
      ASSERT_TRUE(logic_.back()->start(argv, dir_.path()));
      ASSERT_TRUE(wait_port(port, 10000));
      servers +=
          "<Server svid=\"" + std::to_string(i + 1) + "\" ip=\"127.0.0.1\" port=\"" + std::to_string(port) + "\"/>\n";
    }
    write_file(dir_.file("conf/server.xml"), servers + "</ServerList></Node></SYSTEM>\n");
    // Redis registration goes to a port where nothing listens; the gateway runs on.
    write_file(dir_.file("conf/config.xml"),
               "<SYSTEM LogDir=\"../log\" LogLevel=\"4\" MaxFdCount=\"4096\" WebTimeout=\"60\" HelperTimeout=\"60\" "
               "MaxListenCount=\"1024\" BindAddr=\"127.0.0.1\" RedisServer=\"127.0.0.1\" RedisPort=\"" +
                   std::to_string(free_port()) + "\" UdpSwitch=\"0\" " + listeners + "/>\n");
    ASSERT_TRUE(hall_.start({binary("hall"), "-p", std::to_string(port_), "-s", "1", "-h", "127.0.0.1", "-f"},
                            dir_.file("bin"), dir_.file("hall.out"), dir_.file("hall.out")));
    ASSERT_TRUE(wait_port(port_, 10000)) << read_file(dir_.file("hall.out"));
    if (load_port_ == 0) load_port_ = port_;
    ASSERT_TRUE(wait_port(load_port_, 10000)) << read_file(dir_.file("hall.out"));
  }
  void TearDown() override {
    hall_.stop();
    for (auto& p : logic_) p->stop();
  }

  TempDir dir_;
  std::vector<std::unique_ptr<Process>> logic_;
  Process hall_;
  int port_ = 0;
  int load_port_ = 0;  // where load_gen connects: the listener of the transport
};

TEST_P(GatewayUnderLoad, EveryRequestGetsExactlyOneAnswer) {
  std::string out;
  int st = run_program({binary("load_gen"), "--mode", "gateway", "--transport", GetParam().transport, "--port",
                        std::to_string(load_port_), "--conns", "8", "--body", "512", "--duration", "0.5", "--warmup",
                        "0.1", "--pid", std::to_string(hall_.pid())},
                       "", 60000, &out);
  ASSERT_TRUE(st != -1 && WIFEXITED(st)) << out;
  EXPECT_EQ(0, WEXITSTATUS(st)) << out;
  EXPECT_GT(field(out, "rt"), 0);
  EXPECT_EQ(0, field(out, "errors"));
  EXPECT_EQ(0, field(out, "unexpected"));
  EXPECT_EQ(field(out, "sent"), field(out, "answered") + field(out, "lost") + field(out, "inflight"));
  EXPECT_EQ(0, field(out, "inflight"));
  EXPECT_EQ(8, field(out, "live"));
  if (GetParam().transport != "tls") return;
  // The benchmark's handshake run: full handshakes, one after another on each connection.
  st = run_program({binary("load_gen"), "--mode", "gateway", "--transport", "tls", "--handshakes", "--port",
                    std::to_string(load_port_), "--conns", "4", "--duration", "0.5", "--warmup", "0.1"},
                   "", 60000, &out);
  EXPECT_EQ(0, exit_code(st)) << out;
  EXPECT_GT(field(out, "handshakes", "HANDSHAKES"), 1);
  EXPECT_EQ(0, field(out, "failed", "HANDSHAKES"));
}

INSTANTIATE_TEST_SUITE_P(LogicServersAndTransports, GatewayUnderLoad,
                         ::testing::Values(Setup{1, "tcp"}, Setup{3, "tcp"}, Setup{1, "ws"}, Setup{1, "wss"},
                                           Setup{1, "tls"}),
                         [](const ::testing::TestParamInfo<Setup>& info) {
                           return info.param.transport + "_" + std::to_string(info.param.logic);
                         });

}  // namespace
