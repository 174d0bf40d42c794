// hall_cli against a fake gateway in the test: a loopback listener that checks the exact
// bytes the tool sends and answers with packets enciphered by hand.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

typedef std::vector<unsigned char> Bytes;

// Command 2, id 7, "abc" and "de"; bodies through the send map, code = -(plain sum).
const Bytes kReqAbc = {0x00, 0x13, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0xCF, 0xE9, 0xE9,
                       0xE9, 0x30, 0xE9, 0xE9, 0xE9, 0x4C, 0x5D, 0x82, 0x84, 0xE9};
const Bytes kReqDe = {0x00, 0x12, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x2D, 0xE9,
                      0xE9, 0xE9, 0x30, 0xE9, 0xE9, 0xE9, 0x54, 0x5C, 0x49, 0xE9};
// Answers 0x1001: status 0 with "ok", and status 1 with the empty text.
const Bytes kAnsOk = {0x00, 0x12, 0x54, 0x51, 0x01, 0x01, 0x10, 0x01, 0x23, 0xE9,
                      0xE9, 0xE9, 0xE9, 0xE9, 0xE9, 0xE9, 0x54, 0x41, 0x9E, 0xE9};
const Bytes kAnsErr = {0x00, 0x10, 0x54, 0x51, 0x01, 0x01, 0x10, 0x01, 0xFE,
                       0xE9, 0xE9, 0xE9, 0x57, 0xE9, 0xE9, 0xE9, 0x57, 0xE9};

class FakeGateway {
 public:
  FakeGateway() { lfd_ = tcp_listener(&port_, 4); }
  ~FakeGateway() {
    drop();
    close(lfd_);
  }
  int port() const { return port_; }
  bool accept_one(int timeout_ms = 5000) {
    pollfd p = {lfd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    cfd_ = accept(lfd_, nullptr, nullptr);
    return cfd_ >= 0;
  }
  Bytes read(size_t n) {
    Bytes b(n);
    b.resize(recv_exact(cfd_, b.data(), n, 5000));
    return b;
  }
  bool write(const Bytes& b) { return send_all(cfd_, b.data(), b.size()); }
  void drop() {
    if (cfd_ >= 0) close(cfd_);
    cfd_ = -1;
  }
  int conn() const { return cfd_; }

 private:
  int lfd_ = -1;
  int cfd_ = -1;
  int port_ = 0;
};

Bytes cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

std::vector<std::string> cli(int port, std::vector<std::string> more) {
  std::vector<std::string> argv = {binary("hall_cli"), "-h", "127.0.0.1", "-p", std::to_string(port)};
  argv.insert(argv.end(), more.begin(), more.end());
  return argv;
}

// The arguments as one quoted shell command line.
std::string shell_line(const std::vector<std::string>& argv) {
  std::string cmd;
  for (const std::string& a : argv) cmd += "'" + a + "' ";
  return cmd;
}

// A run of the tool against the fake gateway: its output and error in files, its
// connection accepted.
struct CliRun {
  TempDir dir;
  FakeGateway gw;
  Process p;
  bool start(const std::vector<std::string>& argv) {
    return p.start(argv, "", dir.file("out"), dir.file("err")) && gw.accept_one();
  }
  std::string out() const { return read_file(dir.file("out")); }
  std::string err() const { return read_file(dir.file("err")); }
};

TEST(HallCli, SendsArgumentsAndPrintsEveryAnswerUntilTheGatewayCloses) {
  CliRun run;
  FakeGateway& gw = run.gw;
  ASSERT_TRUE(run.start(cli(gw.port(), {"-i", "7", "-w", "20", "abc", "de"})));
  EXPECT_EQ(gw.read(kReqAbc.size() + kReqDe.size()), cat(kReqAbc, kReqDe));

  // One answer cut in two, then a second answer and one with a bad checksum in one write.
  ASSERT_TRUE(gw.write(Bytes(kAnsOk.begin(), kAnsOk.begin() + 5)));
  usleep(50 * 1000);
  ASSERT_TRUE(gw.write(Bytes(kAnsOk.begin() + 5, kAnsOk.end())));
  Bytes bad = kAnsOk;
  bad[8] ^= 0x01;
  ASSERT_TRUE(gw.write(cat(kAnsErr, bad)));
  ASSERT_TRUE(wait_until([&] { return run.out().find("text=\n") != std::string::npos; }, 5000));
  gw.drop();

  EXPECT_EQ(exit_code(run.p.wait(5000)), 2);
  EXPECT_EQ(run.out(),
            "answer status=0 text=ok\n"
            "answer status=1 text=\n"
            "connection closed by the gateway\n");
  EXPECT_NE(run.err().find("bad checksum"), std::string::npos);
}

TEST(HallCli, SendsOneRequestPerInputLineAndStopsAfterCountAnswers) {
  CliRun run;
  write_file(run.dir.file("in"), "abc\r\n\nde");  // CRLF, an empty line (skipped), no final newline
  const std::string cmd = shell_line(cli(run.gw.port(), {"-i", "7", "-n", "1", "-w", "-1"}));
  ASSERT_TRUE(run.start({"/bin/sh", "-c", "exec " + cmd + "< '" + run.dir.file("in") + "'"}));
  EXPECT_EQ(run.gw.read(kReqAbc.size() + kReqDe.size()), cat(kReqAbc, kReqDe));
  ASSERT_TRUE(run.gw.write(kAnsOk));
  EXPECT_EQ(exit_code(run.p.wait(5000)), 0);
  EXPECT_EQ(run.out(), "answer status=0 text=ok\n");
  EXPECT_TRUE(wait_closed(run.gw.conn(), 2000));
}

// Started with standard input closed and no text: no request is read from anywhere (not
// from the gateway socket, which would take descriptor 0), and the wait ends the run.
TEST(HallCli, ClosedStandardInputSendsNothingAndTheWaitEndsTheRun) {
  CliRun run;
  ASSERT_TRUE(run.start({"/bin/sh", "-c", "exec " + shell_line(cli(run.gw.port(), {"-w", "1"})) + "<&-"}));
  ASSERT_TRUE(run.gw.write(cat(kAnsOk, {'\n'})));
  EXPECT_EQ(exit_code(run.p.wait(5000)), 0);
  EXPECT_EQ(run.out(), "answer status=0 text=ok\n");
  EXPECT_TRUE(run.gw.read(1).empty());  // closed without a byte sent
}

TEST(HallCli, ConnectFailureExitsNonZero) {
  std::string out;
  int st = run_program(cli(free_port(), {"hello"}), "", 10000, &out);
  EXPECT_EQ(exit_code(st), 1);
  EXPECT_NE(out.find("could not connect"), std::string::npos) << out;

  st = run_program({binary("hall_cli"), "-p", "12"}, "", 10000, &out);
  EXPECT_EQ(exit_code(st), 1);
}

TEST(HallCli, StopsListeningAfterTheWait) {
  CliRun run;
  ASSERT_TRUE(run.start(cli(run.gw.port(), {"-i", "7", "-w", "0.3", "abc"})));
  EXPECT_EQ(run.gw.read(kReqAbc.size()), kReqAbc);
  EXPECT_TRUE(wait_closed(run.gw.conn(), 5000));
  EXPECT_EQ(exit_code(run.p.wait(5000)), 0);
  EXPECT_EQ(run.out(), "");
}

TEST(HallCli, InvalidPacketFromTheGatewayEndsTheSession) {
  CliRun run;
  ASSERT_TRUE(run.start(cli(run.gw.port(), {"-i", "7", "-w", "20", "abc"})));
  EXPECT_EQ(run.gw.read(kReqAbc.size()), kReqAbc);
  Bytes wrong = kAnsOk;
  wrong[3] = 'X';
  ASSERT_TRUE(run.gw.write(wrong));
  EXPECT_EQ(exit_code(run.p.wait(5000)), 2);
  EXPECT_NE(run.err().find("invalid packet"), std::string::npos);
}

// The gateway drops a connection whose packet exceeds 8000 bytes, so a text that would
// make one is refused here and the others still go.
TEST(HallCli, TextTooLongForTheGatewayIsNotSent) {
  CliRun run;
  std::string fits(7982, 'a'), too_long(7983, 'b');
  ASSERT_TRUE(run.start(cli(run.gw.port(), {"-i", "7", "-w", "0.5", too_long, fits})));
  Bytes got = run.gw.read(8000);
  ASSERT_EQ(got.size(), 8000u);
  EXPECT_EQ(got[0], 0x1F);  // length 7998
  EXPECT_EQ(got[1], 0x3E);
  EXPECT_TRUE(wait_closed(run.gw.conn(), 5000));  // and nothing after it
  EXPECT_EQ(exit_code(run.p.wait(5000)), 3);
  EXPECT_NE(run.err().find("not sent"), std::string::npos);
}

// The same with the gateway found in Redis: the text is not sent, and the exit status says so.
TEST(HallCli, TextTooLongIsReportedWithTheGatewayFoundInRedis) {
  RedisServer redis;
  ASSERT_TRUE(redis.start());
  CliRun run;
  redis.command({"HSET", "HALLSERVER", "HALLSERVER1",
                 "{\"IP\":\"127.0.0.1\",\"PORT\":" + std::to_string(run.gw.port()) + ",\"SVID\":1}"});
  ASSERT_TRUE(run.start({binary("hall_cli"), "--redis", "127.0.0.1:" + std::to_string(redis.port()), "--interval", "0",
                         "-i", "7", "-w", "0.5", std::string(7983, 'b')}));
  EXPECT_EQ(exit_code(run.p.wait(10000)), 3) << run.err();
  EXPECT_NE(run.err().find("not sent"), std::string::npos);
}

}  // namespace
