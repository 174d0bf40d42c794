// The time half of the reactor. A CTimerUnit owns one CTimerList per distinct time-out
// (whole seconds) plus a pending list; timed objects derive from CTimerObject, append
// themselves with AttachTimer and receive TimerNotify once their deadline has passed.
// Every append stamps "now + time-out", so each list is ordered by deadline without
// sorting and expiry only looks at list heads. The unit deletes its lists; the lists
// never delete their members. Everything here runs on the one loop thread.
#ifndef HALL_INCLUDE_TIMERLIST_H
#define HALL_INCLUDE_TIMERLIST_H

#include <stdint.h>

#include "list.h"
#include "noncopyable.h"
#include "timestamp.h"

class CTimerUnit;
class CTimerList;

// A timed object: unlinked, or a member of exactly one list. It is unlinked before its
// TimerNotify runs, so the handler may re-arm it, move it or delete it.
class CTimerObject : public CListObject<CTimerObject> {
 public:
  CTimerObject() : objexp(0) {}
  // Leaves its list (through the list node's destructor).
  virtual ~CTimerObject();

  // No usable default: the base version aborts. Every concrete class supplies one.
  virtual void TimerNotify();

  // Stamps the deadline now + the list's time-out (lists with a time-out of 0 or less
  // keep the old deadline) and moves the object to the tail of `lst`.
  void AttachTimer(CTimerList* lst);
  // Takes the object off its list without notifying it.
  void DisableTimer() { ResetList(); }
  // Queues the object on the unit's pending list: it fires at the next check,
  // whatever its deadline.
  void AttachZeroTimer(CTimerUnit* unit);

  int64_t GetExpireTime() const { return objexp; }

 protected:
  int64_t objexp;  // deadline, a GET_TIMESTAMP stamp in microseconds; 0 until first stamped
};

class CTimerList : private noncopyable {
 public:
  explicit CTimerList(int t) : timeout(t), span_us(static_cast<int64_t>(t) * 1000000), next(0) {}
  // Unlinks every member without notifying it.
  ~CTimerList();

  // Notifies, in order, every member whose deadline is at or before `now` (0: the
  // current time). Returns the number notified.
  int CheckExpired(int64_t now = 0);

  int GetTimeout() const { return timeout; }
  int Empty() const { return tlist.ListEmpty(); }

 private:
  friend class CTimerObject;
  friend class CTimerUnit;

  CListObject<CTimerObject> tlist;
  int timeout;      // whole seconds, as asked for (0 for a list of milliseconds below one second)
  int64_t span_us;  // the time-out in microseconds
  CTimerList* next;
};

class CTimerUnit : private noncopyable {
 public:
  CTimerUnit();
  // Deletes every list (unlinking their members), then the pending list.
  ~CTimerUnit();

  // The list of `to` seconds, created and put at the head of the chain on first
  // request. Never null.
  CTimerList* GetTimerList(int to);
  // The same for a time-out of `ms` milliseconds (more than 0): one list per distinct
  // time-out, shared with GetTimerList for whole seconds.
  CTimerList* GetTimerListMs(int ms);
  // Notifies the pending list, then every expired member of every list, all against
  // the same `now` (0: the current time). Returns the number notified.
  int CheckExpired(int64_t now = 0);
  // Notifies everything on the pending list. Returns the number notified.
  int CheckPending();
  // Milliseconds until the earliest deadline, at most `msec`, 0 when one has passed.
  int ExpireMicroSeconds(int msec);

 private:
  friend class CTimerObject;

  CTimerList pending;
  CTimerList* next;
};

#endif
