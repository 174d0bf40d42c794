// Timer lists: per-time-out lists ordered by deadline, and their owner unit.
#include "timerlist.h"

#include <stdlib.h>

#include "log.h"

CTimerObject::~CTimerObject() {}

void CTimerObject::TimerNotify() {
  log_error("TimerNotify not implemented");
  log_defer(false);  // written before the abort
  abort();
}

void CTimerObject::AttachTimer(CTimerList* lst) {
  if (lst->span_us > 0) objexp = GET_TIMESTAMP() + lst->span_us;
  ListMoveTail(lst->tlist);
}

void CTimerObject::AttachZeroTimer(CTimerUnit* unit) { ListMoveTail(unit->pending.tlist); }

CTimerList::~CTimerList() { tlist.FreeList(); }

namespace {

// Notifies every member of `due`, first to last. The batch is fixed before any handler
// runs, so a handler that re-queues its object where it would be due again (a list with
// no time-out, or the pending list) is notified at the next check instead of looping
// here forever. A member that another handler deletes or re-arms leaves the batch.
// A handler may throw (an exhausted pool; the loop catches it): the members not yet
// notified then go back to the front of `source`, in their order, before the batch's
// head on the caller's stack goes away, and are notified at the next check.
int NotifyBatch(CListObject<CTimerObject>& due, CListObject<CTimerObject>& source) {
  int count = 0;
  try {
    while (!due.ListEmpty()) {
      CTimerObject* obj = due.NextOwner();
      obj->ResetList();
      obj->TimerNotify();
      ++count;
    }
  } catch (...) {
    while (!due.ListEmpty()) due.PrevOwner()->ListMove(source);
    throw;
  }
  return count;
}

}  // namespace

int CTimerList::CheckExpired(int64_t now) {
  if (now == 0) now = GET_TIMESTAMP();
  CListObject<CTimerObject> due;
  while (!tlist.ListEmpty()) {
    CTimerObject* obj = tlist.NextOwner();
    if (now < obj->GetExpireTime()) break;
    obj->ListMoveTail(due);
  }
  return NotifyBatch(due, tlist);
}

CTimerUnit::CTimerUnit() : pending(0), next(0) {}

CTimerUnit::~CTimerUnit() {
  while (next != 0) {
    CTimerList* lst = next;
    next = lst->next;
    delete lst;
  }
}

CTimerList* CTimerUnit::GetTimerList(int to) {
  for (CTimerList* lst = next; lst != 0; lst = lst->next) {
    if (lst->span_us == static_cast<int64_t>(to) * 1000000) return lst;
  }
  CTimerList* lst = new CTimerList(to);
  lst->next = next;
  next = lst;
  return lst;
}

CTimerList* CTimerUnit::GetTimerListMs(int ms) {
  if (ms % 1000 == 0) return GetTimerList(ms / 1000);
  for (CTimerList* lst = next; lst != 0; lst = lst->next) {
    if (lst->span_us == static_cast<int64_t>(ms) * 1000) return lst;
  }
  CTimerList* lst = new CTimerList(ms / 1000);
  lst->span_us = static_cast<int64_t>(ms) * 1000;
  lst->next = next;
  next = lst;
  return lst;
}

int CTimerUnit::CheckPending() {
  CListObject<CTimerObject> due;
  while (!pending.tlist.ListEmpty()) pending.tlist.NextOwner()->ListMoveTail(due);
  return NotifyBatch(due, pending.tlist);
}

int CTimerUnit::CheckExpired(int64_t now) {
  if (now == 0) now = GET_TIMESTAMP();
  int count = CheckPending();
  for (CTimerList* lst = next; lst != 0; lst = lst->next) count += lst->CheckExpired(now);
  return count;
}

int CTimerUnit::ExpireMicroSeconds(int msec) {
  const int64_t now = GET_TIMESTAMP();
  int64_t limit = now + static_cast<int64_t>(msec) * 1000;
  for (CTimerList* lst = next; lst != 0; lst = lst->next) {
    if (lst->tlist.ListEmpty()) continue;
    const int64_t first = lst->tlist.NextOwner()->GetExpireTime();
    if (first < limit) limit = first;
  }
  if (limit - now < 1) return 0;
  return static_cast<int>((limit - now) / 1000);
}
