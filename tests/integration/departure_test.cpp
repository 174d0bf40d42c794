// Many players leaving at once, against a real gateway and two fake logic servers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay_harness.h"

using namespace relaytest;
using testsupport::count_of;
using testsupport::wait_until;

namespace {

const unsigned short kForward = 0x1003;
const unsigned short kCloseNotice = 0x0002;

// Sockets the process holds open (its log files come and go).
int open_sockets(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  char target[64];
  while (dirent* e = readdir(d)) {
    const ssize_t len = readlink((dir + e->d_name).c_str(), target, sizeof(target) - 1);
    n += len > 7 && std::string(target, 7) == "socket:";
  }
  closedir(d);
  return n;
}

// The forward of `id` with `text` at or after packet `from` of `l`, answered; its index.
size_t answer_forward(FakeLogic& l, size_t from, int id, const std::string& text) {
  size_t at = from;
  EXPECT_TRUE(wait_until(
      [&] {
        const std::vector<Packet> got = l.packets();
        for (; at < got.size(); ++at)
          if (got[at].cmd == kForward && got[at].int_at(0) == id && got[at].str_at(4) == text) return true;
        return false;
      },
      20000))
      << "forward " << text;
  EXPECT_TRUE(l.send(result_pkt("{\"flow\":" + std::to_string(id) + ",\"result\":\"" + text + "\"}")));
  return at + 1;
}

// Regression: 19,000 players leaving at once held the other players' requests behind
// their departures in epoll's ready list for hundreds of milliseconds.
TEST(Departures, ManyClientsLeavingAtOnceAreAllClosedAndAnnouncedAfterTheirLastForward) {
  const int kLeaving = 1500;
  FakeLogic a, b;
  GatewayConfig cfg;
  cfg.log_level = 4;
  cfg.max_fd = 4096;
  cfg.nofile = 4096;
  cfg.servers = {{1, a.port()}, {2, b.port()}};
  Gateway gw(cfg);
  ASSERT_TRUE(gw.start());
  ASSERT_TRUE(a.accept_link());
  ASSERT_TRUE(b.accept_link());
  const int base_fds = open_sockets(gw.pid());

  std::vector<std::unique_ptr<Client>> leaving;
  for (int i = 0; i < kLeaving; ++i) {
    leaving.emplace_back(new Client(gw.port()));
    ASSERT_TRUE(leaving.back()->ok());
    ASSERT_TRUE(leaving.back()->send(data_req(1000 + i, "hi")));
  }
  Client player(gw.port());
  ASSERT_TRUE(player.send(data_req(7, "p0")));
  size_t at = answer_forward(a, 0, 7, "p0");
  int status = -1;
  std::string text;
  ASSERT_TRUE(player.answer(&status, &text, 20000));
  ASSERT_TRUE(a.wait_for(kForward, kLeaving + 1, 20000));
  ASSERT_TRUE(b.wait_for(kForward, kLeaving + 1, 20000));

  // Each leaving client sends one last request and closes; the player plays on.
  for (auto& c : leaving) {
    const int id = 1000 + static_cast<int>(&c - &leaving[0]);
    ASSERT_TRUE(c->send(data_req(id, "bye")));
    c->close();
  }
  for (int k = 1; k <= 20; ++k) {
    const std::string req = "p" + std::to_string(k);
    ASSERT_TRUE(player.send(data_req(7, req)));
    at = answer_forward(a, at, 7, req);
    ASSERT_TRUE(player.answer(&status, &text, 20000)) << req;
    EXPECT_EQ(text, req);
  }
  // A new connection takes over one leaving id, perhaps before its departure is complete:
  // that completion leaves the new route alone.
  Client heir(gw.port());
  ASSERT_TRUE(heir.send(data_req(1000, "heir")));
  at = answer_forward(a, at, 1000, "heir");
  ASSERT_TRUE(heir.answer(&status, &text, 20000));
  EXPECT_EQ(text, "heir");

  // Every departure completes: the descriptors close and each id but the heir's is
  // announced once, to one server, after its last forward there.
  EXPECT_TRUE(wait_until([&] { return open_sockets(gw.pid()) == base_fds + 2; }, 30000)) << open_sockets(gw.pid());
  EXPECT_TRUE(wait_until(
      [&] { return a.count(kCloseNotice) + b.count(kCloseNotice) >= static_cast<size_t>(kLeaving - 1); }, 30000));
  std::map<int, int> notices;
  for (FakeLogic* l : {&a, &b}) {
    std::map<int, size_t> last_forward;
    const std::vector<Packet> got = l->packets();
    for (size_t i = 0; i < got.size(); ++i) {
      const int id = got[i].int_at(0);
      if (got[i].cmd == kForward) {
        last_forward[id] = i;
      } else if (got[i].cmd == kCloseNotice) {
        ++notices[id];
        ASSERT_TRUE(last_forward.count(id) != 0) << id;
        EXPECT_EQ(got[last_forward[id]].str_at(4), "bye") << "close notice of " << id << " before its last forward";
      }
    }
  }
  for (int i = 1; i < kLeaving; ++i) EXPECT_EQ(notices[1000 + i], 1) << 1000 + i;
  EXPECT_LE(notices[1000], 1);
  EXPECT_EQ(notices.count(7), 0u);
  // The heir is still routed: its answers arrive once every departure is done.
  ASSERT_TRUE(heir.send(data_req(1000, "still")));
  answer_forward(a, at, 1000, "still");
  ASSERT_TRUE(heir.answer(&status, &text, 20000));
  EXPECT_EQ(text, "still");
  // The departure lines of the rolling log are all written.
  EXPECT_TRUE(wait_until(
      [&] {
        std::string log;
        DIR* d = opendir((gw.root() + "/log").c_str());
        if (d == nullptr) return false;
        while (dirent* e = readdir(d))
          if (std::string(e->d_name).rfind("debug.", 0) == 0)
            log += testsupport::read_file(gw.root() + "/log/" + e->d_name);
        closedir(d);
        return count_of(log, "ProcessUserClose||Connect close, uid:[") ==
               static_cast<size_t>(kLeaving) - 1 + notices[1000];
      },
      20000));
}

}  // namespace
