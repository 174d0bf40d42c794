// Epoll poller unit and the base of socket-owning objects.
#include "poller.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"

namespace {
const int HANGUP_EVENTS = EPOLLHUP | EPOLLERR;
}  // namespace

CPollerUnit::CPollerUnit(int mp)
    : ep_events(0), epfd(-1), maxPollers(mp), usedPollers(0), freeSlotList(0), pollerTable(0), nrEvents(0), waits(0) {}

CPollerUnit::~CPollerUnit() {
  free(pollerTable);
  pollerTable = 0;
  if (epfd != -1) {
    close(epfd);
    epfd = -1;
  }
  free(ep_events);
  ep_events = 0;
}

int CPollerUnit::SetMaxPollers(int mp) {
  if (epfd >= 0) return -1;
  maxPollers = mp;
  return 0;
}

int CPollerUnit::InitializePollerUnit() {
  // A second initialisation would leak the first table and descriptor.
  if (epfd >= 0) return -1;
  if (maxPollers <= 0) {
    errno = EINVAL;
    log_error("calloc failed, num=%d, %m", maxPollers);
    return -1;
  }
  pollerTable = static_cast<CEpollSlot*>(calloc(maxPollers, sizeof(CEpollSlot)));
  if (pollerTable == 0) {
    log_error("calloc failed, num=%d, %m", maxPollers);
    return -1;
  }
  for (int i = 0; i < maxPollers - 1; ++i) pollerTable[i].freeList = &pollerTable[i + 1];
  pollerTable[maxPollers - 1].freeList = 0;
  freeSlotList = &pollerTable[0];

  ep_events = static_cast<struct epoll_event*>(calloc(EventsPerWait(), sizeof(struct epoll_event)));
  if (ep_events == 0) {
    log_error("malloc failed, %m");
    return -1;
  }
  epfd = epoll_create(maxPollers);
  if (epfd < 0) {
    epfd = -1;
    log_warning("epoll_create failed, %m");
    return -1;
  }
  return 0;
}

int CPollerUnit::WaitPollerEvents(int timeout) {
  ++waits;
  nrEvents = epoll_wait(epfd, ep_events, EventsPerWait(), timeout);
  if (nrEvents >= 0 || errno == EINTR) return 0;
  log_error("epoll_wait failed, epfd[%d], maxevents[%d], %m", epfd, EventsPerWait());
  return -1;
}

int CPollerUnit::Epctl(int op, int fd, struct epoll_event* events) {
  return epoll_ctl(epfd, op, fd, events) == 0 ? 0 : -1;
}

int CPollerUnit::GetSlotId(CEpollSlot* slot) const { return static_cast<int>(slot - pollerTable); }

CEpollSlot* CPollerUnit::AllocEpollSlot() {
  CEpollSlot* slot = freeSlotList;
  if (slot == 0) {
    log_warning("no free epoll slot, usedPollers=%d", usedPollers);
    return 0;
  }
  freeSlotList = slot->freeList;
  slot->freeList = 0;
  ++usedPollers;
  return slot;
}

void CPollerUnit::FreeEpollSlot(CEpollSlot* slot) {
  slot->freeList = freeSlotList;
  freeSlotList = slot;
  slot->poller = 0;
  --usedPollers;
  ++slot->seq;
}

int CPollerUnit::VerifyEvents(struct epoll_event* ev) const {
  const int index = static_cast<int>(static_cast<uint32_t>(ev->data.u64));
  const uint32_t seq = static_cast<uint32_t>(ev->data.u64 >> 32);
  // A negative index must be refused as firmly as one past the end.
  if (index < 0 || index >= maxPollers || pollerTable == 0) return -1;
  return pollerTable[index].seq == seq ? 0 : -1;
}

void CPollerUnit::ProcessPollerEvents() {
  for (int i = 0; i < nrEvents; ++i) {
    struct epoll_event* ev = &ep_events[i];
    // A handler earlier in this batch may have destroyed or re-registered the object
    // this event was queued for; its slot sequence has moved on since, so the event
    // is dropped here instead of reaching freed memory.
    if (VerifyEvents(ev) != 0) {
      log_notice("VerifyEvents failed, ep_events[%d].data.u64 = %llu", i,
                 static_cast<unsigned long long>(ev->data.u64));
      continue;
    }
    CEpollSlot* slot = &pollerTable[static_cast<uint32_t>(ev->data.u64)];
    CPollerObject* obj = slot->poller;
    if (obj == 0) continue;
    obj->newEvents = obj->oldEvents;

    // The object hears of its input now: a read posted for it would come on top.
    if (obj->isPosted && (ev->events & (HANGUP_EVENTS | EPOLLRDHUP | EPOLLIN))) obj->CancelPostedInput();
    if (ev->events & HANGUP_EVENTS) {
      log_debug("EPOLLHUP | EPOLLERR netfd[%d]", obj->netfd);
      obj->HangupNotify();
      continue;
    }
    // Only edge-triggered objects ask for it; no further edge comes for the stream's end.
    if (ev->events & EPOLLRDHUP) {
      log_debug("EPOLLRDHUP netfd[%d]", obj->netfd);
      const int ret = obj->PeerShutdownNotify();
      if (slot->poller == obj && ret == 0) obj->ApplyEvents();
      continue;
    }
    if (ev->events & EPOLLIN) {
      log_debug("EPOLLIN netfd[%d]", obj->netfd);
      int ret = obj->InputNotify();
      log_debug("ret_code [%d]", ret);
      // Read the slot, never the object: the handler may have deleted it.
      if (slot->poller != obj || ret != 0) continue;
    }
    if (ev->events & EPOLLOUT) {
      log_debug("EPOLLOUT netfd[%d]", obj->netfd);
      int ret = obj->OutputNotify();
      if (slot->poller != obj || ret != 0) continue;
    }
    obj->ApplyEvents();
  }
}

int CPollerUnit::ProcessPostedInput() {
  int done = 0;
  // Objects posted during this turn (by the events above, or by the notifications here)
  // are at the tail with this wait's count: they wait for the next turn.
  while (!posted.empty() && posted.front()->postedWait != waits) {
    CPollerObject* obj = posted.front();
    obj->CancelPostedInput();
    // Input turned off since: turning it on again makes the kernel report what waits.
    if (obj->epslot == 0 || (obj->oldEvents & EPOLLIN) == 0) continue;
    CEpollSlot* slot = obj->epslot;
    obj->newEvents = obj->oldEvents;
    ++done;
    const int ret = obj->InputNotify();
    if (slot->poller == obj && ret == 0) obj->ApplyEvents();
  }
  return done;
}

CPollerObject::CPollerObject(CPollerUnit* o, int fd)
    : netfd(fd),
      ownerUnit(o),
      newEvents(0),
      oldEvents(0),
      epslot(0),
      edgeTriggered(false),
      isPosted(false),
      postedWait(0) {}

void CPollerObject::PostInput() {
  if (isPosted || ownerUnit == 0 || epslot == 0) return;
  isPosted = true;
  postedWait = ownerUnit->waits;
  postedAt = ownerUnit->posted.insert(ownerUnit->posted.end(), this);
}

void CPollerObject::CancelPostedInput() {
  if (!isPosted) return;
  isPosted = false;
  ownerUnit->posted.erase(postedAt);
}

CPollerObject::~CPollerObject() {
  CancelPostedInput();
  if (ownerUnit != 0 && epslot != 0) {
    // Closing the descriptor only ends the registration when no other descriptor
    // (a dup or a forked child's copy) shares the open file; remove it explicitly so
    // the kernel never reports it again for a slot that someone else may hold.
    if (netfd > 0) {
      struct epoll_event ev;
      memset(&ev, 0, sizeof(ev));
      ownerUnit->Epctl(EPOLL_CTL_DEL, netfd, &ev);
    }
    ownerUnit->FreeEpollSlot(epslot);
    epslot = 0;
  }
  if (netfd > 0) {
    close(netfd);
    log_debug("netfd[%d] closed", netfd);
    netfd = 0;
  } else {
    log_debug("netfd[%d], already closed.", netfd);
  }
}

int CPollerObject::InputNotify() {
  EnableInput(false);
  return 0;
}

int CPollerObject::PeerShutdownNotify() { return InputNotify(); }

int CPollerObject::OutputNotify() {
  EnableOutput(false);
  return 0;
}

int CPollerObject::HangupNotify() {
  log_error("HangupNotify not implemented, netfd[%d]", netfd);
  log_defer(false);  // written before the abort
  abort();
}

void CPollerObject::EnableInput(bool i) {
  if (i)
    newEvents |= EPOLLIN;
  else
    newEvents &= ~EPOLLIN;
}

void CPollerObject::EnableOutput(bool o) {
  if (o)
    newEvents |= EPOLLOUT;
  else
    newEvents &= ~EPOLLOUT;
}

void CPollerObject::DisableOutput() {
  newEvents &= ~EPOLLOUT;
  log_debug("netfd[%d] DisableOutput!!!", netfd);
}

void CPollerObject::BuildEvent(struct epoll_event* ev) {
  memset(ev, 0, sizeof(*ev));
  ev->events = static_cast<uint32_t>(newEvents);
  // The peer's shutdown is news only while input is wanted, as end-of-file is to a read.
  if (edgeTriggered) {
    ev->events |= EPOLLET;
    if ((newEvents & EPOLLIN) != 0) ev->events |= EPOLLRDHUP;
  }
  ++epslot->seq;
  ev->data.u64 = (static_cast<uint64_t>(epslot->seq) << 32) | static_cast<uint32_t>(ownerUnit->GetSlotId(epslot));
}

int CPollerObject::AttachPoller(CPollerUnit* unit) {
  if (unit != 0) {
    if (ownerUnit != 0) return -1;
    ownerUnit = unit;
  }
  if (netfd < 0 || ownerUnit == 0) return -1;
  if (epslot != 0) return ApplyEvents();

  epslot = ownerUnit->AllocEpollSlot();
  if (epslot == 0) return -1;
  epslot->poller = this;

  int flags = fcntl(netfd, F_GETFL, 0);
  fcntl(netfd, F_SETFL, flags | O_NONBLOCK);

  struct epoll_event ev;
  BuildEvent(&ev);
  if (ownerUnit->Epctl(EPOLL_CTL_ADD, netfd, &ev) != 0) return -1;
  oldEvents = newEvents;
  return 0;
}

int CPollerObject::DetachPoller() {
  CancelPostedInput();
  if (epslot == 0) return 0;
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  if (ownerUnit->Epctl(EPOLL_CTL_DEL, netfd, &ev) == 0)
    oldEvents = newEvents;
  else
    log_error("Epctl:%d %m", errno);
  ownerUnit->FreeEpollSlot(epslot);
  epslot = 0;
  return 0;
}

int CPollerObject::ApplyEvents() {
  if (epslot == 0 || newEvents == oldEvents) return 0;
  struct epoll_event ev;
  BuildEvent(&ev);
  if (ownerUnit->Epctl(EPOLL_CTL_MOD, netfd, &ev) != 0) return -1;
  oldEvents = newEvents;
  return 0;
}

uint64_t CPollerObject::GetPollerEventId() const {
  if (epslot == 0) return 0;
  return (static_cast<uint64_t>(epslot->seq) << 32) | static_cast<uint32_t>(ownerUnit->GetSlotId(epslot));
}
