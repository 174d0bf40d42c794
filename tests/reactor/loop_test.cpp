// The two halves of the reactor together, as the gateway's connections use them: one
// object that owns a socket and an idle time-out, ended from either side.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "poller.h"
#include "reactor_support.h"
#include "timerlist.h"

namespace {

// Built like a client connection: the poller base first, the timer base second, so the
// timer part does not sit at the start of the object.
class Connection : public CPollerObject, public CTimerObject {
 public:
  Connection(CPollerUnit* unit, int fd, CTimerList* idle, int* gone)
      : CPollerObject(unit, fd), idle_(idle), gone_(gone) {}
  ~Connection() override { ++*gone_; }

  int Attach() {
    EnableInput();
    if (AttachPoller() != 0) return -1;
    AttachTimer(idle_);
    return 0;
  }
  int InputNotify() override {
    char buf[64];
    const ssize_t n = read(netfd, buf, sizeof(buf));
    if (n <= 0) {
      delete this;
      return 1;
    }
    ++reads;
    AttachTimer(idle_);  // activity restarts the idle time-out
    return 0;
  }
  int HangupNotify() override {
    delete this;
    return 1;
  }
  void TimerNotify() override { delete this; }

  int reads = 0;

 private:
  CTimerList* idle_;
  int* gone_;
};

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    reactortest::take_log();
    ASSERT_EQ(0, poller.InitializePollerUnit());
    idle = timers.GetTimerList(10);
  }
  // One turn of the main loop with a clock of our choosing for the timers.
  void turn(int64_t now) {
    poller.WaitPollerEvents(timers.ExpireMicroSeconds(0));
    poller.ProcessPollerEvents();
    timers.CheckExpired(now);
  }

  CPollerUnit poller{16};
  CTimerUnit timers;
  CTimerList* idle = nullptr;
  int gone = 0;
};

}  // namespace

TEST_F(Loop, HangupDeletesTheConnectionAndItsTimerEntry) {
  int sp[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sp));
  Connection* c = new Connection(&poller, sp[0], idle, &gone);
  ASSERT_EQ(0, c->Attach());
  const int64_t deadline = c->GetExpireTime();
  close(sp[1]);
  poller.WaitPollerEvents(1000);
  poller.ProcessPollerEvents();
  EXPECT_EQ(1, gone);
  EXPECT_TRUE(idle->Empty()) << "the deleted connection left the idle list";
  EXPECT_EQ(0, timers.CheckExpired(deadline + 1));
  EXPECT_EQ(0, poller.GetUsedPollers());
}

TEST_F(Loop, IdleTimeoutDeletesTheConnectionAndReleasesItsSlot) {
  int sp[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sp));
  Connection* quiet = new Connection(&poller, sp[0], idle, &gone);
  ASSERT_EQ(0, quiet->Attach());
  int sp2[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sp2));
  Connection* busy = new Connection(&poller, sp2[0], idle, &gone);
  ASSERT_EQ(0, busy->Attach());

  // The busy connection talks just before the quiet one's deadline and is kept alive.
  const int64_t quiet_deadline = quiet->GetExpireTime();
  ASSERT_EQ(1, write(sp2[1], "x", 1));
  turn(quiet_deadline - 1);
  EXPECT_EQ(1, busy->reads);
  EXPECT_EQ(0, gone);

  // Input for the quiet connection is already queued when its time-out ends it; the
  // event must not reach it afterwards.
  ASSERT_EQ(1, write(sp[1], "y", 1));
  EXPECT_EQ(1, timers.CheckExpired(quiet_deadline));
  EXPECT_EQ(1, gone);
  EXPECT_EQ(1, poller.GetUsedPollers());
  poller.WaitPollerEvents(0);
  poller.ProcessPollerEvents();
  EXPECT_EQ(1, gone);

  EXPECT_EQ(1, timers.CheckExpired(busy->GetExpireTime()));
  EXPECT_EQ(2, gone);
  EXPECT_EQ(0, poller.GetUsedPollers());
  close(sp[1]);
  close(sp2[1]);
}
