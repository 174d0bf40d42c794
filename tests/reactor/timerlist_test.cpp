// Timer lists: a random structure test against a model, then the expiry, re-arming,
// wait-time and lifetime rules one by one.
#include <limits.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "timerlist.h"

// The system clock of this test program can be stepped, as NTP or an operator steps it:
// wall-clock readings (gettimeofday) come out `g_wall_step_us` microseconds off.
namespace {
int64_t g_wall_step_us = 0;
}  // namespace

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict) __THROW {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64_t us = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 + g_wall_step_us;
  tv->tv_sec = static_cast<time_t>(us / 1000000);
  tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
  return 0;
}

namespace {

class Probe : public CTimerObject {
 public:
  void TimerNotify() override {
    ++fired;
    if (log) log->push_back(this);
    if (on_fire) on_fire();
  }
  void set_expire(int64_t t) { objexp = t; }

  int fired = 0;
  std::vector<Probe*>* log = nullptr;
  std::function<void()> on_fire;
};

// Walks the circle that holds `member` and returns the members in list order, checking
// the links both ways. Exactly one node of the circle is not a known member: the head.
std::vector<Probe*> members_of(Probe* member, const std::set<CListHead*>& known) {
  std::vector<CListHead*> circle;
  CListHead* node = member;
  for (size_t i = 0; i <= known.size() + 1; ++i) {
    circle.push_back(node);
    EXPECT_EQ(node, node->ListNext()->ListPrev()) << "broken back link";
    node = node->ListNext();
    if (node == member) break;
  }
  EXPECT_EQ(member, node) << "the list does not close its circle";
  size_t head = circle.size();
  for (size_t i = 0; i < circle.size(); ++i) {
    if (known.count(circle[i]) == 0) {
      EXPECT_EQ(circle.size(), head) << "two foreign nodes in one list";
      head = i;
    }
  }
  std::vector<Probe*> order;
  if (head == circle.size()) {
    ADD_FAILURE() << "a list without head";
    return order;
  }
  for (size_t i = 1; i < circle.size(); ++i) order.push_back(static_cast<Probe*>(circle[(head + i) % circle.size()]));
  return order;
}

// Structure: every armed probe sits in a list of its time-out, in stamp order, the lists
// hold nothing else, and an unarmed probe points to itself.
void expect_lists_match(std::map<Probe*, int>& model, const std::set<CListHead*>& known,
                        std::map<int, CTimerList*>& lists, const std::vector<std::unique_ptr<Probe>>& probes) {
  std::map<int, std::vector<Probe*>> seen;
  for (auto& entry : model) {
    if (seen.count(entry.second)) continue;
    seen[entry.second] = members_of(entry.first, known);
  }
  size_t total = 0;
  for (auto& list : seen) {
    int64_t last = 0;
    for (Probe* p : list.second) {
      ASSERT_EQ(1u, model.count(p));
      EXPECT_EQ(list.first, model[p]);
      EXPECT_LE(last, p->GetExpireTime()) << "list " << list.first << " out of order";
      last = p->GetExpireTime();
    }
    total += list.second.size();
    EXPECT_EQ(list.second.empty(), static_cast<bool>(lists[list.first]->Empty()));
  }
  EXPECT_EQ(model.size(), total);
  for (auto& probe : probes) {
    if (model.count(probe.get()) == 0) {
      EXPECT_TRUE(probe->ListEmpty()) << "an unarmed probe must point to itself";
    }
  }
}

}  // namespace

TEST(TimerLists, RandomOperationsKeepListsOrderedAndExpireExactlyTheDueMembers) {
  std::mt19937 rng(20261207);
  CTimerUnit unit;
  const int timeouts[] = {1, 5, 30, 60};
  std::map<int, CTimerList*> lists;
  for (int t : timeouts) lists[t] = unit.GetTimerList(t);

  std::vector<std::unique_ptr<Probe>> probes;
  std::map<Probe*, int> model;  // armed probe -> its list's time-out
  std::vector<Probe*> fired;
  std::set<CListHead*> known;
  for (int i = 0; i < 200; ++i) {
    probes.emplace_back(new Probe);
    probes.back()->log = &fired;
    known.insert(probes.back().get());
  }

  for (int round = 0; round < 50; ++round) {
    for (int op = 0; op < 100; ++op) {
      const size_t k = rng() % probes.size();
      Probe* p = probes[k].get();
      switch (rng() % 4) {
        case 0:
        case 1: {
          const int t = timeouts[rng() % 4];
          p->AttachTimer(lists[t]);
          model[p] = t;
          break;
        }
        case 2:
          p->DisableTimer();
          model.erase(p);
          break;
        default: {
          // Destroy and replace: a dying member leaves its list.
          known.erase(p);
          model.erase(p);
          probes[k].reset(new Probe);
          probes[k]->log = &fired;
          known.insert(probes[k].get());
          break;
        }
      }
    }

    expect_lists_match(model, known, lists, probes);

    // Expire at a random moment up to a minute ahead; exactly the due probes fire,
    // each once, and they leave their lists.
    const int64_t now = GET_TIMESTAMP() + static_cast<int64_t>(rng() % 61) * 1000000;
    std::set<Probe*> due;
    for (auto& entry : model)
      if (entry.first->GetExpireTime() <= now) due.insert(entry.first);
    fired.clear();
    EXPECT_EQ(static_cast<int>(due.size()), unit.CheckExpired(now));
    EXPECT_EQ(due, std::set<Probe*>(fired.begin(), fired.end()));
    EXPECT_EQ(due.size(), fired.size());
    for (Probe* p : due) {
      EXPECT_TRUE(p->ListEmpty());
      model.erase(p);
    }
  }
}

TEST(TimerLists, ListsAreSharedByTimeoutAndTheNewestStandsFirst) {
  CTimerUnit unit;
  CTimerList* thirty = unit.GetTimerList(30);
  EXPECT_EQ(thirty, unit.GetTimerList(30));
  CTimerList* sixty = unit.GetTimerList(60);
  EXPECT_NE(thirty, sixty);
  EXPECT_EQ(60, sixty->GetTimeout());

  std::vector<Probe*> order;
  Probe a, b;
  a.log = b.log = &order;
  a.AttachTimer(thirty);
  b.AttachTimer(sixty);
  EXPECT_EQ(2, unit.CheckExpired(GET_TIMESTAMP() + 61000000LL));
  ASSERT_EQ(2u, order.size());
  EXPECT_EQ(&b, order[0]) << "the 60-second list was created last and is checked first";
}

TEST(TimerLists, MemberFiresAtItsDeadlineAndNotBefore) {
  CTimerUnit unit;
  Probe p;
  const int64_t before = GET_TIMESTAMP();
  p.AttachTimer(unit.GetTimerList(30));
  const int64_t exp = p.GetExpireTime();
  EXPECT_GE(exp, before + 30000000LL);
  EXPECT_LE(exp, GET_TIMESTAMP() + 30000000LL);
  EXPECT_EQ(0, unit.CheckExpired(exp - 1));
  EXPECT_EQ(0, p.fired);
  EXPECT_EQ(1, unit.CheckExpired(exp));
  EXPECT_EQ(1, p.fired);
  EXPECT_EQ(0, unit.CheckExpired(exp + 60000000LL)) << "one arming, one notification";
}

TEST(TimerLists, ReattachPostponesAndMovesBehindEarlierMembers) {
  CTimerUnit unit;
  CTimerList* lst = unit.GetTimerList(10);
  std::vector<Probe*> order;
  Probe a, b;
  a.log = b.log = &order;
  a.AttachTimer(lst);
  b.AttachTimer(lst);
  const int64_t first = a.GetExpireTime();
  a.set_expire(0);  // pretend a was stamped long ago; re-arming must restamp it
  a.AttachTimer(lst);
  EXPECT_GE(a.GetExpireTime(), first);
  EXPECT_EQ(static_cast<CListHead*>(&a), b.ListNext()) << "a moved behind b";
  EXPECT_EQ(2, unit.CheckExpired(a.GetExpireTime()));
  ASSERT_EQ(2u, order.size());
  EXPECT_EQ(&b, order[0]);
  EXPECT_EQ(&a, order[1]);
}

TEST(TimerLists, WaitTimeFollowsTheEarliestDeadline) {
  CTimerUnit unit;
  EXPECT_EQ(100, unit.ExpireMicroSeconds(100)) << "no lists: the caller's limit";
  EXPECT_EQ(INT_MAX, unit.ExpireMicroSeconds(INT_MAX)) << "a large limit must not overflow";

  CTimerList* lst = unit.GetTimerList(5);
  EXPECT_EQ(1000, unit.ExpireMicroSeconds(1000)) << "an empty list does not shorten the wait";
  Probe p;
  p.AttachTimer(lst);
  p.set_expire(GET_TIMESTAMP() + 2500);
  const int ms = unit.ExpireMicroSeconds(100);
  EXPECT_GE(ms, 0);
  EXPECT_LE(ms, 2) << "2.5 ms away rounds down";
  p.set_expire(GET_TIMESTAMP() + 50000000LL);
  EXPECT_EQ(100, unit.ExpireMicroSeconds(100)) << "a later deadline leaves the limit";
  p.set_expire(GET_TIMESTAMP() - 1000);
  EXPECT_EQ(0, unit.ExpireMicroSeconds(100)) << "a passed deadline means no wait";

  Probe queued;
  queued.AttachZeroTimer(&unit);
  p.DisableTimer();
  EXPECT_EQ(100, unit.ExpireMicroSeconds(100)) << "the pending list does not shorten the wait";
}

TEST(TimerLists, HandlersMayDeleteThemselvesOrTheNextMember) {
  CTimerUnit unit;
  CTimerList* lst = unit.GetTimerList(1);
  Probe* self_deleting = new Probe;
  Probe* victim = new Probe;
  Probe* killer = new Probe;
  Probe last;
  self_deleting->on_fire = [&]() { delete self_deleting; };
  killer->on_fire = [&]() { delete victim; };
  self_deleting->AttachTimer(lst);
  killer->AttachTimer(lst);
  victim->AttachTimer(lst);
  last.AttachTimer(lst);
  EXPECT_EQ(3, unit.CheckExpired(GET_TIMESTAMP() + 2000000));
  EXPECT_EQ(1, killer->fired);
  EXPECT_EQ(1, last.fired) << "the loop carries on after the deletions";
  EXPECT_TRUE(lst->Empty());
  delete killer;
}

TEST(TimerLists, AHandlerThatThrowsLeavesTheRestOfItsBatchInTheList) {
  // An exhausted pool throws out of a handler, and the loop catches it and goes on: the
  // members due after that handler must stay in their list, linked and notified at the
  // next check, not be left hanging on the check's own list head.
  CTimerUnit unit;
  CTimerList* lst = unit.GetTimerList(1);
  Probe first, thrower, third, fourth;
  thrower.on_fire = []() { throw 0; };
  for (Probe* p : {&first, &thrower, &third, &fourth}) p->AttachTimer(lst);
  Probe pending_thrower, pending_next;
  pending_thrower.on_fire = []() { throw 0; };
  pending_thrower.AttachZeroTimer(&unit);
  pending_next.AttachZeroTimer(&unit);
  const int64_t later = GET_TIMESTAMP() + 2000000;
  EXPECT_THROW(lst->CheckExpired(later), int);
  EXPECT_THROW(unit.CheckPending(), int);
  EXPECT_EQ(1, first.fired);
  EXPECT_EQ(0, third.fired + fourth.fired + pending_next.fired);
  std::vector<Probe*> order;
  third.log = fourth.log = pending_next.log = &order;
  EXPECT_EQ(3, unit.CheckExpired(later));
  EXPECT_EQ((std::vector<Probe*>{&pending_next, &third, &fourth}), order) << "in their order";
  EXPECT_TRUE(lst->Empty());
}

TEST(TimerLists, PeriodicTimerRearmsInsideItsHandlerAndFiresOncePerPass) {
  CTimerUnit unit;
  CTimerList* lst = unit.GetTimerList(60);
  Probe p;
  p.on_fire = [&]() { p.AttachTimer(lst); };
  p.AttachTimer(lst);
  EXPECT_EQ(1, unit.CheckExpired(p.GetExpireTime()));
  EXPECT_FALSE(lst->Empty());
  EXPECT_EQ(1, unit.CheckExpired(p.GetExpireTime()));
  EXPECT_EQ(2, p.fired);
}

TEST(TimerLists, RequeueingOnAListWithoutTimeoutDoesNotSpinTheCheck) {
  // Regression: a handler that queued its object again where it was due at once (the
  // pending list, or a list with no time-out) kept the expiry loop busy forever.
  CTimerUnit unit;
  Probe pending;
  // The handlers stop re-queuing after a while, so that a regression fails instead
  // of hanging.
  pending.on_fire = [&]() {
    if (pending.fired < 100) pending.AttachZeroTimer(&unit);
  };
  pending.AttachZeroTimer(&unit);
  EXPECT_EQ(1, unit.CheckPending());
  EXPECT_EQ(1, unit.CheckPending()) << "queued again for the next check";

  CTimerList* zero = unit.GetTimerList(0);
  Probe immediate;
  immediate.on_fire = [&]() {
    if (immediate.fired < 100) immediate.AttachTimer(zero);
  };
  immediate.AttachTimer(zero);
  EXPECT_EQ(1, zero->CheckExpired(GET_TIMESTAMP()));
  EXPECT_EQ(1, immediate.fired);
  pending.DisableTimer();
  immediate.DisableTimer();
}

TEST(TimerLists, CheckWithoutTimeUsesTheClock) {
  CTimerUnit unit;
  CTimerList* lst = unit.GetTimerList(3600);
  Probe past, future;
  past.AttachTimer(lst);
  future.AttachTimer(lst);
  past.set_expire(GET_TIMESTAMP() - 1);
  EXPECT_EQ(1, unit.CheckExpired(0));
  EXPECT_EQ(1, past.fired);
  EXPECT_EQ(0, future.fired);
  EXPECT_EQ(0, lst->CheckExpired(0));
}

TEST(TimerLists, DestroyedListsReleaseTheirMembers) {
  Probe a, b;
  {
    CTimerList lst(5);
    a.AttachTimer(&lst);
    b.AttachTimer(&lst);
  }
  EXPECT_TRUE(a.ListEmpty());
  EXPECT_TRUE(b.ListEmpty());
  CTimerUnit* unit = new CTimerUnit;
  a.AttachTimer(unit->GetTimerList(7));
  b.AttachZeroTimer(unit);
  delete unit;
  EXPECT_TRUE(a.ListEmpty()) << "the unit's lists unlink their members";
  EXPECT_TRUE(b.ListEmpty()) << "and so does the pending list";
  EXPECT_EQ(0, a.fired + b.fired) << "members are never notified on the way out";
}

TEST(TimerLists, SteppingTheSystemClockNeitherHoldsBackNorFiresDeadlines) {
  // The system clock is stepped an hour back after a 1-second time-out was armed: it
  // still fires about a second later, not an hour later. Stepped an hour forward, a
  // 60-second time-out armed a moment ago does not fire at once.
  struct Restore {
    ~Restore() { g_wall_step_us = 0; }
  } restore;
  CTimerUnit unit;
  Probe soon, later;
  soon.AttachTimer(unit.GetTimerList(1));
  later.AttachTimer(unit.GetTimerList(60));

  g_wall_step_us = -3600LL * 1000000;
  for (int i = 0; i < 300 && soon.fired == 0; ++i) {
    unit.CheckExpired(0);
    if (soon.fired == 0) usleep(10 * 1000);
  }
  EXPECT_EQ(1, soon.fired) << "a step back held the 1-second time-out back";

  g_wall_step_us = 3600LL * 1000000;
  unit.CheckExpired(0);
  EXPECT_EQ(0, later.fired) << "a step forward fired the 60-second time-out at once";
}
