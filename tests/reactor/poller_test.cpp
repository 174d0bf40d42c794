// Epoll poller against real descriptors: dispatch of input, output and hang-up, objects
// that vanish in the middle of a batch, slot exhaustion and reuse, mask updates.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "poller.h"
#include "reactor_support.h"

using reactortest::take_log;

namespace {

// A poller object whose handlers count their calls and run an optional action.
class Probe : public CPollerObject {
 public:
  Probe(CPollerUnit* unit, int fd) : CPollerObject(unit, fd) {}

  int InputNotify() override {
    ++inputs;
    if (on_input) return on_input();
    char buf[256];
    while (read(netfd, buf, sizeof(buf)) > 0) {
    }
    return 0;
  }
  int OutputNotify() override {
    ++outputs;
    if (on_output) return on_output();
    DisableOutput();
    return 0;
  }
  int HangupNotify() override {
    ++hangups;
    if (on_hangup) return on_hangup();
    return DetachPoller(), 1;
  }

  int inputs = 0;
  int outputs = 0;
  int hangups = 0;
  std::function<int()> on_input;
  std::function<int()> on_output;
  std::function<int()> on_hangup;
};

struct SocketPair {
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~SocketPair() {
    for (int f : fd)
      if (f > 0) close(f);
  }
  // Hands one end to an object, which will close it.
  int release(int i) {
    int f = fd[i];
    fd[i] = -1;
    return f;
  }
  int fd[2] = {-1, -1};
};

uint32_t slot_seq(const CPollerObject& o) { return static_cast<uint32_t>(o.GetPollerEventId() >> 32); }
uint32_t slot_index(const CPollerObject& o) { return static_cast<uint32_t>(o.GetPollerEventId()); }

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

class Poller : public ::testing::Test {
 protected:
  void SetUp() override {
    take_log();
    ASSERT_EQ(0, unit.InitializePollerUnit());
  }
  // One wait and one dispatch round.
  int turn(int timeout_ms = 1000) {
    unit.WaitPollerEvents(timeout_ms);
    const int n = unit.GetEventCount();
    unit.ProcessPollerEvents();
    return n;
  }

  CPollerUnit unit{8};
};

}  // namespace

TEST_F(Poller, DispatchesInputOutputAndHangup) {
  SocketPair sp;
  Probe p(&unit, sp.release(0));
  p.EnableInput();
  ASSERT_EQ(0, p.AttachPoller());
  EXPECT_NE(0, fcntl(p.GetNetfd(), F_GETFL) & O_NONBLOCK) << "attach makes the socket non-blocking";
  EXPECT_EQ(0, turn(0)) << "nothing to read yet";

  ASSERT_EQ(1, write(sp.fd[1], "x", 1));
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.inputs);
  EXPECT_EQ(0, p.outputs);

  p.EnableOutput();
  ASSERT_EQ(0, p.ApplyEvents());
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.outputs);
  EXPECT_EQ(EPOLLIN, p.GetOldEvents()) << "the handler's DisableOutput reached the kernel";
  EXPECT_EQ(0, turn(0));

  close(sp.fd[1]);
  sp.fd[1] = -1;
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.hangups);
  EXPECT_EQ(1, p.inputs) << "hang-up is reported alone, without input";
  EXPECT_EQ(0, unit.GetUsedPollers());
}

TEST_F(Poller, InputWithHangupOnAPipeCallsHangupOnly) {
  int pfd[2];
  ASSERT_EQ(0, pipe(pfd));
  Probe p(&unit, pfd[0]);
  p.EnableInput();
  ASSERT_EQ(0, p.AttachPoller());
  ASSERT_EQ(3, write(pfd[1], "abc", 3));
  close(pfd[1]);
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.hangups);
  EXPECT_EQ(0, p.inputs);
  EXPECT_EQ(0, p.outputs);
}

TEST_F(Poller, RegistrationWithoutWantedEventsStillReportsHangup) {
  int pfd[2];
  ASSERT_EQ(0, pipe(pfd));
  Probe p(&unit, pfd[0]);
  ASSERT_EQ(0, p.AttachPoller());
  EXPECT_EQ(1u, slot_seq(p)) << "the first registration is made even with an empty mask";
  close(pfd[1]);
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.hangups);
}

TEST_F(Poller, EventOfAnObjectDeletedEarlierInTheBatchIsDropped) {
  // Both objects are readable in the same batch; whichever is dispatched first deletes
  // the other and lets a new object take the freed slot at once. The second event must
  // be recognised as stale: neither the deleted object nor the newcomer may see it.
  SocketPair a, b, c;
  Probe* first = new Probe(&unit, a.release(0));
  Probe* second = new Probe(&unit, b.release(0));
  Probe* newcomer = nullptr;
  Probe* survivor = nullptr;
  int deleted_calls = 0;
  auto kill_other = [&](Probe* self, Probe*& other) {
    return [&, self]() {
      if (other == nullptr) return ++deleted_calls, 0;
      const uint32_t freed = slot_index(*other);
      delete other;
      other = nullptr;
      survivor = self;
      newcomer = new Probe(&unit, c.release(0));
      newcomer->EnableInput();
      EXPECT_EQ(0, newcomer->AttachPoller());
      EXPECT_EQ(freed, slot_index(*newcomer)) << "the slot just freed is reused first";
      char buf[8];
      EXPECT_EQ(1, read(self->GetNetfd(), buf, sizeof(buf)));
      return 0;
    };
  };
  first->on_input = kill_other(first, second);
  second->on_input = kill_other(second, first);
  first->EnableInput();
  second->EnableInput();
  ASSERT_EQ(0, first->AttachPoller());
  ASSERT_EQ(0, second->AttachPoller());
  ASSERT_EQ(1, write(a.fd[1], "1", 1));
  ASSERT_EQ(1, write(b.fd[1], "2", 1));
  ASSERT_EQ(1, write(c.fd[1], "3", 1));

  EXPECT_EQ(2, turn());
  ASSERT_NE(nullptr, survivor);
  ASSERT_NE(nullptr, newcomer);
  EXPECT_EQ(0, deleted_calls);
  EXPECT_EQ(0, newcomer->inputs) << "the stale event must not reach the slot's new holder";
  EXPECT_NE(std::string::npos, take_log().find("VerifyEvents failed, ep_events[1].data.u64 = "));

  EXPECT_EQ(1, turn()) << "the newcomer's own event comes with the next wait";
  EXPECT_EQ(1, newcomer->inputs);
  delete newcomer;
  delete survivor;
  EXPECT_EQ(0, unit.GetUsedPollers());
}

TEST_F(Poller, ObjectDeletingItselfInInputGetsNoOutputCall) {
  // Readable and writable at once: the input handler deletes its object. Returning 0
  // is allowed because the slot was released; the dispatcher must notice from the slot.
  for (int result : {0, 1}) {
    SocketPair sp;
    Probe* p = new Probe(&unit, sp.release(0));
    int outputs_after_delete = 0;
    p->on_input = [&, p]() {
      const int r = result;  // the closure dies with the object
      delete p;
      return r;
    };
    p->on_output = [&]() { return ++outputs_after_delete, 0; };
    p->EnableInput();
    p->EnableOutput();
    ASSERT_EQ(0, p->AttachPoller());
    ASSERT_EQ(1, write(sp.fd[1], "x", 1));
    EXPECT_EQ(1, turn());
    EXPECT_EQ(0, outputs_after_delete) << "result " << result;
    EXPECT_EQ(0, unit.GetUsedPollers());
  }
}

TEST_F(Poller, NonZeroInputResultSkipsOutputAndMaskUpdate) {
  SocketPair sp;
  Probe p(&unit, sp.release(0));
  p.on_input = [&]() {
    p.DisableOutput();
    return 1;
  };
  p.EnableInput();
  p.EnableOutput();
  ASSERT_EQ(0, p.AttachPoller());
  const uint32_t seq = slot_seq(p);
  ASSERT_EQ(1, write(sp.fd[1], "x", 1));
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.inputs);
  EXPECT_EQ(0, p.outputs);
  EXPECT_EQ(EPOLLIN | EPOLLOUT, p.GetOldEvents());
  EXPECT_EQ(seq, slot_seq(p)) << "no modify was issued";
}

TEST_F(Poller, HandlerMaskChangesReachTheKernelOnceAfterDispatch) {
  SocketPair sp;
  Probe p(&unit, sp.release(0));
  uint32_t seq_in_handler = 0;
  p.on_input = [&]() {
    char buf[8];
    EXPECT_EQ(1, read(p.GetNetfd(), buf, sizeof(buf)));
    p.DisableInput();
    p.EnableOutput();
    seq_in_handler = slot_seq(p);
    return 0;
  };
  p.on_output = [&]() {
    p.DisableOutput();
    return 0;
  };
  p.EnableInput();
  ASSERT_EQ(0, p.AttachPoller());
  ASSERT_EQ(1, write(sp.fd[1], "x", 1));
  EXPECT_EQ(1, turn());
  EXPECT_EQ(seq_in_handler + 1, slot_seq(p));
  EXPECT_EQ(EPOLLOUT, p.GetOldEvents());

  // An unapplied change left over from outside a handler is dropped by the dispatcher.
  p.EnableInput();
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.outputs);
  EXPECT_EQ(0, p.GetOldEvents());
  EXPECT_EQ(0, turn(0)) << "nothing is wanted any more";
}

TEST_F(Poller, SlotExhaustionFailsAndTheFreedSlotIsReusedFirst) {
  std::vector<std::unique_ptr<SocketPair>> pairs;
  std::vector<std::unique_ptr<Probe>> probes;
  for (int i = 0; i < unit.GetMaxPollers(); ++i) {
    pairs.emplace_back(new SocketPair);
    probes.emplace_back(new Probe(&unit, pairs.back()->release(0)));
    ASSERT_EQ(0, probes.back()->AttachPoller());
    EXPECT_EQ(static_cast<uint32_t>(i), slot_index(*probes.back())) << "slots go out in order";
  }
  SocketPair extra;
  Probe one_more(&unit, extra.release(0));
  take_log();
  EXPECT_EQ(-1, one_more.AttachPoller());
  EXPECT_EQ(0u, one_more.GetPollerEventId());
  EXPECT_NE(std::string::npos, take_log().find("no free epoll slot, usedPollers=8"));

  EXPECT_EQ(0, probes[5]->DetachPoller());
  EXPECT_EQ(7, unit.GetUsedPollers());
  EXPECT_TRUE(fd_open(probes[5]->GetNetfd())) << "detach does not close";
  EXPECT_EQ(0, one_more.AttachPoller());
  EXPECT_EQ(5u, slot_index(one_more));
  EXPECT_EQ(8, unit.GetUsedPollers());
}

TEST_F(Poller, AttachRulesAndRepeatedAttach) {
  SocketPair sp;
  Probe p(nullptr, sp.release(0));
  EXPECT_EQ(-1, p.AttachPoller()) << "no unit to register with";
  EXPECT_EQ(0, p.AttachPoller(&unit));
  EXPECT_EQ(-1, p.AttachPoller(&unit)) << "an owner is already set, even the same unit";

  const uint32_t seq = slot_seq(p);
  EXPECT_EQ(0, p.AttachPoller());
  EXPECT_EQ(seq, slot_seq(p)) << "an unchanged mask makes no system call";
  p.EnableInput();
  EXPECT_EQ(0, p.AttachPoller());
  EXPECT_EQ(seq + 1, slot_seq(p));
  EXPECT_EQ(EPOLLIN, p.GetOldEvents());

  Probe negative(&unit, -1);
  EXPECT_EQ(-1, negative.AttachPoller());
  EXPECT_EQ(1, unit.GetUsedPollers());
}

TEST_F(Poller, DetachedObjectCanAttachAgain) {
  SocketPair sp;
  Probe p(&unit, sp.release(0));
  p.EnableInput();
  ASSERT_EQ(0, p.AttachPoller());
  ASSERT_EQ(0, p.DetachPoller());
  EXPECT_EQ(0, p.DetachPoller()) << "detaching twice is harmless";
  ASSERT_EQ(1, write(sp.fd[1], "x", 1));
  EXPECT_EQ(0, turn(0));
  ASSERT_EQ(0, p.AttachPoller());
  EXPECT_EQ(1, turn());
  EXPECT_EQ(1, p.inputs);
}

TEST_F(Poller, DestructorClosesItsDescriptorOnly) {
  SocketPair sp;
  int fd = sp.release(0);
  {
    Probe p(&unit, fd);
    ASSERT_EQ(0, p.AttachPoller());
  }
  EXPECT_FALSE(fd_open(fd));
  EXPECT_EQ(0, unit.GetUsedPollers());

  __log_level__ = 7;
  take_log();
  { Probe none(&unit, 0); }
  __log_level__ = 6;
  EXPECT_NE(std::string::npos, take_log().find("netfd[0], already closed."));
  EXPECT_TRUE(fd_open(0)) << "descriptor 0 is never closed";
}

TEST_F(Poller, DestroyedObjectWithADuplicatedDescriptorIsNoLongerReported) {
  // Regression: closing a descriptor removes it from the epoll set only when no other
  // descriptor refers to the same socket. With a surviving duplicate the destroyed
  // object's registration stayed behind and woke every wait with a stale event.
  SocketPair sp;
  const int fd = sp.release(0);
  const int dup_fd = dup(fd);
  {
    Probe p(&unit, fd);
    p.EnableInput();
    ASSERT_EQ(0, p.AttachPoller());
  }
  ASSERT_EQ(1, write(sp.fd[1], "x", 1));
  EXPECT_EQ(0, turn(0));
  close(dup_fd);
}

TEST_F(Poller, VerifyEventsRejectsForeignIndexesAndSequences) {
  SocketPair sp;
  Probe p(&unit, sp.release(0));
  ASSERT_EQ(0, p.AttachPoller());
  struct epoll_event ev = {};
  ev.data.u64 = p.GetPollerEventId();
  EXPECT_EQ(0, unit.VerifyEvents(&ev));
  ev.data.u64 += 1ull << 32;
  EXPECT_EQ(-1, unit.VerifyEvents(&ev)) << "wrong sequence";
  ev.data.u64 = (1ull << 32) | 0xFFFFFFFFu;
  EXPECT_EQ(-1, unit.VerifyEvents(&ev)) << "negative index";
  ev.data.u64 = (1ull << 32) | 8u;
  EXPECT_EQ(-1, unit.VerifyEvents(&ev)) << "index past the table";
}

TEST(PollerUnit, CapacityIsFixedByInitialisation) {
  CPollerUnit unit(4);
  EXPECT_EQ(0, unit.SetMaxPollers(16));
  ASSERT_EQ(0, unit.InitializePollerUnit());
  EXPECT_GE(unit.GetEpollFd(), 0);
  EXPECT_EQ(-1, unit.SetMaxPollers(32));
  EXPECT_EQ(16, unit.GetMaxPollers());

  CPollerUnit empty(0);
  EXPECT_EQ(-1, empty.InitializePollerUnit()) << "a unit without slots is refused";
}

TEST_F(Poller, AFailedWaitIsReportedWithItsReason) {
  // The unit's descriptor is no epoll instance any more: every wait fails alike.
  const int other = open("/dev/null", O_RDONLY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(unit.GetEpollFd(), dup2(other, unit.GetEpollFd()));
  close(other);
  EXPECT_EQ(-1, unit.WaitPollerEvents(0));
  EXPECT_NE(take_log().find("epoll_wait failed, epfd[" + std::to_string(unit.GetEpollFd()) +
                            "], maxevents[8], Invalid argument"),
            std::string::npos);
}
