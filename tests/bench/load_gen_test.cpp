// The benchmark load generator against the bare echo server and against small peers
// written here: its counters must add up, whatever the speed. No figure of speed is
// checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "test_support.h"

using namespace testsupport;

namespace {

typedef std::map<std::string, std::string> Fields;

// The key=value pairs of the first output line that starts with `tag`.
Fields parse_line(const std::string& output, const std::string& tag) {
  Fields f;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, tag.size() + 1, tag + " ") != 0) continue;
    std::istringstream words(line.substr(tag.size() + 1));
    std::string w;
    while (words >> w) {
      size_t eq = w.find('=');
      if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    break;
  }
  return f;
}

long long num(const Fields& f, const std::string& key) {
  auto it = f.find(key);
  if (it == f.end()) {
    ADD_FAILURE() << "missing field " << key;
    return -1;
  }
  return std::stoll(it->second);
}

// Runs load_gen with these arguments; its exit code.
int run_load_gen(std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), binary("load_gen"));
  return exit_code(run_program(args, "", 60000, out));
}

// Runs load_gen in gateway mode against the port with further arguments; its exit code.
int run_gateway_mode(int port, std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), {"--mode", "gateway", "--port", std::to_string(port)});
  return run_load_gen(args, out);
}

// Every request is answered, lost with its connection, or still in flight.
void expect_counts_add_up(const Fields& r) {
  EXPECT_EQ(num(r, "sent"), num(r, "answered") + num(r, "lost") + num(r, "inflight"));
  EXPECT_EQ(num(r, "rt"), num(r, "samples"));
  EXPECT_LE(num(r, "rt"), num(r, "answered"));
  EXPECT_EQ(num(r, "errors"), num(r, "connect_failed") + num(r, "closed") + num(r, "bad_packet") +
                                  num(r, "bad_answer") + num(r, "unexpected") + num(r, "timeouts"));
}

class EchoServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = free_port();
    ASSERT_TRUE(echo_.start({binary("echo_server"), std::to_string(port_)}, dir_.path(), dir_.file("echo.out"),
                            dir_.file("echo.err")));
    ASSERT_TRUE(wait_port(port_, 10000));
  }

  TempDir dir_;
  Process echo_;
  int port_ = 0;
};

TEST_F(EchoServerFixture, RawModeCountsAddUpAndNothingFails) {
  std::string out;
  int code = run_load_gen({"--mode", "raw", "--port", std::to_string(port_), "--conns", "16", "--body", "512",
                           "--duration", "1", "--warmup", "0.2", "--pid", std::to_string(echo_.pid())},
                          &out);
  Fields r = parse_line(out, "RESULT");
  ASSERT_FALSE(r.empty()) << out;
  EXPECT_EQ(0, code) << out;
  expect_counts_add_up(r);
  EXPECT_GT(num(r, "rt"), 0);
  EXPECT_EQ(0, num(r, "errors"));
  EXPECT_EQ(0, num(r, "lost"));
  EXPECT_EQ(0, num(r, "inflight"));
  EXPECT_EQ(16, num(r, "live"));
  EXPECT_EQ(1, r.count("cpu_us_per_rt")) << out;
}

TEST_F(EchoServerFixture, MemoryModeMakesOneRoundTripOnEveryConnection) {
  std::string out;
  int code = run_load_gen({"--mode", "raw", "--port", std::to_string(port_), "--conns", "200", "--memory",
                           std::to_string(echo_.pid()), "--settle-ms", "100"},
                          &out);
  Fields m = parse_line(out, "MEMORY");
  ASSERT_FALSE(m.empty()) << out;
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(200, num(m, "live"));
  EXPECT_EQ(200, num(m, "sent"));
  EXPECT_EQ(200, num(m, "answered"));
  EXPECT_EQ(0, num(m, "errors"));
  EXPECT_GT(num(m, "rss_base_kb"), 0);
  EXPECT_GT(num(m, "rss_idle_kb"), 0);
}

// The echo server out of descriptors (more connections than its limit allows) neither
// spins on the failing accept nor floods its standard error; the waiting connections are
// taken and echoed once the served ones leave.
TEST_F(EchoServerFixture, OutOfDescriptorsItPausesAcceptingUntilAConnectionLeaves) {
#if defined(HALL_SANITIZED_BUILD)
  GTEST_SKIP() << "with no descriptor left the sanitizers' own checks abort it";
#endif
  const struct rlimit lim = {16, 16};
  ASSERT_EQ(0, prlimit(echo_.pid(), RLIMIT_NOFILE, &lim, nullptr)) << strerror(errno);
  auto echoed = [](int fd, int timeout_ms) {
    char c = 0;
    return send_all(fd, "e", 1) && recv_exact(fd, &c, 1, timeout_ms) == 1 && c == 'e';
  };
  std::vector<int> conns, served, waiting;
  for (int i = 0; i < 24; ++i) {
    conns.push_back(tcp_connect_local(port_));
    ASSERT_GE(conns.back(), 0);
  }
  for (int fd : conns) (echoed(fd, served.empty() ? 3000 : 300) ? served : waiting).push_back(fd);
  ASSERT_FALSE(served.empty());
  ASSERT_FALSE(waiting.empty()) << "the descriptor limit did not bite";
  const long before = cpu_ticks(echo_.pid());
  sleep(2);
  // A loop that keeps failing to accept takes every tick the machine gives it.
  EXPECT_LT(cpu_ticks(echo_.pid()) - before, 40);
  EXPECT_LT(file_size(dir_.file("echo.err")), 1000);
  for (int fd : served) close(fd);
  for (int fd : waiting) {
    EXPECT_TRUE(echoed(fd, 5000));
    close(fd);
  }
}

TEST(LoadGen, NothingListeningCountsEveryConnectAsFailed) {
  int port = free_port();
  std::string out;
  int code = run_load_gen(
      {"--mode", "raw", "--port", std::to_string(port), "--conns", "5", "--duration", "0.2", "--warmup", "0"}, &out);
  Fields r = parse_line(out, "RESULT");
  ASSERT_FALSE(r.empty()) << out;
  EXPECT_EQ(1, code);
  EXPECT_EQ(5, num(r, "connect_failed"));
  EXPECT_EQ(0, num(r, "sent"));
  EXPECT_EQ(0, num(r, "live"));
}

TEST(LoadGen, BadArgumentsAreRefused) {
  std::string out;
  EXPECT_EQ(2, run_load_gen({"--port", "0"}, &out));
  EXPECT_EQ(2, run_load_gen({"--port", "1", "--body", "8"}, &out));
  EXPECT_EQ(2, run_load_gen({"--port", "1", "--mode", "udp"}, &out));
}

// A one-connection peer speaking the gateway's client side: reads command-2 packets and
// answers each with 0x1001 carrying `status`; after `answers` answers it closes, or with
// `then_silent` reads on without answering until the client closes.
// Packets must carry this process's cipher and checksum.
class FakeGateway {
 public:
  FakeGateway(int status, int answers, bool then_silent = false)
      : status_(status), answers_(answers), then_silent_(then_silent) {
    lfd_ = tcp_listener(&port_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeGateway() {
    thread_.join();
    close(lfd_);
  }
  int port() const { return port_; }
  int bad_requests() const { return bad_.load(); }
  int last_id() const { return last_id_.load(); }
  int unanswered() const { return unanswered_.load(); }

 private:
  void serve() {
    pollfd p{lfd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    int fd = accept(lfd_, nullptr, nullptr);
    if (fd < 0) return;
    std::string in;
    char buf[4096];
    int answered = 0;
    // Bounded by the answer count and by a quiet period of five seconds.
    while (answered < answers_) {
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, 5000) != 1) break;
      ssize_t r = recv(fd, buf, sizeof(buf), 0);
      if (r <= 0) break;
      in.append(buf, static_cast<size_t>(r));
      while (in.size() >= 9 && in.size() >= static_cast<size_t>(pkg_length(in.data()) + 2) && answered < answers_) {
        int total = pkg_length(in.data()) + 2;
        std::string pkt = in.substr(0, static_cast<size_t>(total));
        in.erase(0, static_cast<size_t>(total));
        if (pkg_cmd(pkt.data()) != CLIENT_CMD_DATA_REQ || CEncryptDecrypt::DecryptPacket(&pkt[0], total) < 0) {
          ++bad_;
          continue;
        }
        last_id_ = pkg_get_i32(pkt.data() + 9);
        // As the gateway with its sample logic server: a text naming flow 0 gets no answer.
        if (pkt.compare(17, std::string::npos, std::string("{\"flow\":0}", 11)) == 0) {
          ++unanswered_;
          continue;
        }
        std::unique_ptr<NETOutputPacket> rep(new NETOutputPacket);
        rep->Begin(SERVER_CMD_REP);
        rep->WriteInt(status_);
        rep->WriteString("ok");
        rep->End();
        CEncryptDecrypt cipher;
        cipher.EncryptBuffer(rep.get());
        send_all(fd, rep->packet_buf(), static_cast<size_t>(rep->packet_size()));
        ++answered;
      }
    }
    for (int k = 0; then_silent_ && k < 100; ++k) {
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, 5000) != 1 || recv(fd, buf, sizeof(buf), 0) <= 0) break;
    }
    close(fd);
  }

  int status_;
  int answers_;
  bool then_silent_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<int> bad_{0};
  std::atomic<int> last_id_{0};
  std::atomic<int> unanswered_{0};
  std::thread thread_;
};

TEST(LoadGenGatewayMode, AnswersOfTheGatewayCompleteRoundTrips) {
  FakeGateway gw(0, 1000000);
  std::string out;
  int code =
      run_gateway_mode(gw.port(), {"--conns", "1", "--id-base", "4242", "--duration", "0.5", "--warmup", "0.1"}, &out);
  Fields r = parse_line(out, "RESULT");
  ASSERT_FALSE(r.empty()) << out;
  EXPECT_EQ(0, code) << out;
  expect_counts_add_up(r);
  EXPECT_GT(num(r, "rt"), 0);
  EXPECT_EQ(0, num(r, "errors"));
  EXPECT_EQ(0, gw.bad_requests());
  EXPECT_EQ(4242, gw.last_id());
}

TEST(LoadGenGatewayMode, AnswerWithFailureStatusIsAnErrorNotARoundTrip) {
  FakeGateway gw(1, 1);
  std::string out;
  int code =
      run_gateway_mode(gw.port(), {"--conns", "1", "--duration", "0.3", "--warmup", "0", "--timeout-ms", "200"}, &out);
  Fields r = parse_line(out, "RESULT");
  ASSERT_FALSE(r.empty()) << out;
  EXPECT_EQ(1, code);
  expect_counts_add_up(r);
  EXPECT_EQ(1, num(r, "bad_answer"));
  EXPECT_EQ(0, num(r, "answered"));
  EXPECT_EQ(1, num(r, "sent"));
  // The fake peer closes after its one answer: the request dies with the connection.
  EXPECT_EQ(1, num(r, "lost"));
}

// A peer that stops answering shortly before the window ends: the request it holds is
// waited for up to the time-out and counted as timed out, and the run fails.
TEST(LoadGenGatewayMode, AnswerThatNeverComesAtTheEndIsATimeOutNotSuccess) {
  FakeGateway gw(0, 5, true);
  std::string out;
  int code =
      run_gateway_mode(gw.port(), {"--conns", "1", "--duration", "0.3", "--warmup", "0", "--timeout-ms", "2500"}, &out);
  Fields r = parse_line(out, "RESULT");
  ASSERT_FALSE(r.empty()) << out;
  EXPECT_EQ(1, code) << out;
  expect_counts_add_up(r);
  EXPECT_EQ(5, num(r, "answered"));
  EXPECT_EQ(1, num(r, "timeouts"));
  EXPECT_EQ(0, num(r, "inflight"));
}

TEST(LoadGenGatewayMode, MemoryRunRegistersWithoutAnswerThenMakesOneRoundTrip) {
  FakeGateway gw(0, 2);
  std::string out;
  int code =
      run_gateway_mode(gw.port(), {"--conns", "1", "--memory", std::to_string(getpid()), "--settle-ms", "100"}, &out);
  Fields m = parse_line(out, "MEMORY");
  ASSERT_FALSE(m.empty()) << out;
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ(1, num(m, "registrations"));
  EXPECT_EQ(1, num(m, "sent"));
  EXPECT_EQ(1, num(m, "answered"));
  EXPECT_EQ(0, num(m, "errors"));
  EXPECT_EQ(1, gw.unanswered());
}

}  // namespace
