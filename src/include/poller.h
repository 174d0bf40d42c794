// The input/output half of the reactor. CPollerUnit owns one epoll instance and a fixed
// table of registration slots; every socket-owning object derives from CPollerObject,
// states the events it wants and receives InputNotify/OutputNotify/HangupNotify from
// ProcessPollerEvents. The unit never reads or writes sockets and never deletes objects.
//
// A registration is level-triggered unless its object asks for edges (SetEdgeTriggered:
// EPOLLET, and EPOLLRDHUP while it wants input). An edge-triggered descriptor is reported
// once per change: one that stays at end-of-file is not reported again at every wait, so
// thousands of departing clients do not crowd the others out of the ready list. In turn
// an object that leaves bytes unread (a read that filled its buffer, a layer that holds
// more) must say so with PostInput: its InputNotify comes again at the next turn
// (ProcessPostedInput), once per turn, as a level-triggered one would be reported again.
// Turning input on again with ApplyEvents (EPOLL_CTL_MOD) makes the kernel look at the
// descriptor afresh: bytes that waited meanwhile are reported as an edge.
//
// Each kernel registration carries "slot sequence << 32 | slot index" as its user data.
// A slot's sequence grows at every add, modify and release, so an event queued for an
// object that went away earlier in the same batch no longer matches and is dropped.
//
// Everything here runs on the one loop thread; nothing is locked.
#ifndef HALL_INCLUDE_POLLER_H
#define HALL_INCLUDE_POLLER_H

#include <stdint.h>
#include <sys/epoll.h>

#include <list>

#include "noncopyable.h"

class CPollerObject;

// One possible registration: held by one object, or on the unit's free list.
struct CEpollSlot {
  uint32_t seq;
  CPollerObject* poller;
  CEpollSlot* freeList;
};

class CPollerUnit : private noncopyable {
 public:
  // Records the capacity only; InitializePollerUnit allocates.
  explicit CPollerUnit(int mp);
  // Frees the table and the event buffer and closes the epoll descriptor. Registered
  // objects are left alone: they must be destroyed or detached before the unit.
  virtual ~CPollerUnit();

  // Changes the capacity before initialisation (0); afterwards -1 and no change.
  int SetMaxPollers(int mp);
  // Allocates the slot table and the event buffer and creates the epoll instance.
  // 0 on success, -1 on failure (logged).
  int InitializePollerUnit();
  // Events one wait takes at most. The rest stay ready for the next wait (level-triggered
  // ones are reported again, edge-triggered ones stay on the kernel's ready list), so that a burst (thousands of players leaving at once) is handled
  // over several loop turns, each short, with the other players' events between them.
  static const int MAX_EVENTS_PER_WAIT = 512;
  int EventsPerWait() const { return maxPollers < MAX_EVENTS_PER_WAIT ? maxPollers : MAX_EVENTS_PER_WAIT; }
  // epoll_wait for at most `timeout` milliseconds; the result goes to nrEvents. 0, also
  // for an interrupted wait (no events); -1 with the reason logged when the wait itself
  // fails, which no later wait would mend.
  int WaitPollerEvents(int timeout);
  // Dispatches the events of the last wait to their objects.
  void ProcessPollerEvents();
  // Calls InputNotify (then ApplyEvents, as for an event) of each object posted before the
  // last wait that still wants input; an object posted again meanwhile waits for the next
  // turn. The number of objects notified.
  int ProcessPostedInput();
  // Objects wait on the posted list: the next wait should not sleep.
  bool HasPostedInput() const { return !posted.empty(); }

  // epoll_ctl on the unit's descriptor: 0 on success, -1 on failure.
  int Epctl(int op, int fd, struct epoll_event* events);
  // Position of `slot` in the table.
  int GetSlotId(CEpollSlot* slot) const;
  // Pops a free slot (the most recently freed first), or null with a warning.
  CEpollSlot* AllocEpollSlot();
  // Gives a slot back and bumps its sequence, so queued events for it become stale.
  void FreeEpollSlot(CEpollSlot* slot);
  // 0 when the event's user data names a slot of the table with a matching sequence,
  // -1 for a stale or foreign event.
  int VerifyEvents(struct epoll_event* ev) const;

  int GetMaxPollers() const { return maxPollers; }
  int GetUsedPollers() const { return usedPollers; }
  int GetEpollFd() const { return epfd; }
  int GetEventCount() const { return nrEvents; }

 private:
  friend class CPollerObject;
  struct epoll_event* ep_events;
  int epfd;
  int maxPollers;
  int usedPollers;
  CEpollSlot* freeSlotList;
  CEpollSlot* pollerTable;
  int nrEvents;
  // Waits so far: an object posted in the current one is notified in the next.
  uint32_t waits;
  // Edge-triggered objects to notify of input again, oldest first.
  std::list<CPollerObject*> posted;
};

// Base of every socket-owning object. It owns `netfd` and closes it in its destructor;
// DetachPoller unregisters without closing. Derived classes override the notifications.
//
// Notification results: 0 lets the dispatcher carry on with the event (further
// notifications, then ApplyEvents); non-zero stops it. A handler that destroyed or
// detached its own object must return non-zero or have released its slot.
class CPollerObject {
 public:
  CPollerObject(CPollerUnit* o = 0, int fd = 0);
  virtual ~CPollerObject();

  virtual int InputNotify();
  virtual int OutputNotify();
  // No usable default: the base version aborts. Every concrete class supplies one.
  virtual int HangupNotify();
  // The peer shut its side of the stream down (EPOLLRDHUP, edge-triggered objects only,
  // while they want input); the bytes it sent before may still wait unread. The base
  // version is InputNotify, whose read finds them and then the end.
  virtual int PeerShutdownNotify();

  // These only edit the wanted mask; ApplyEvents (called by the dispatcher after a
  // notification, or by the object itself) brings it to the kernel.
  void EnableInput(bool i);
  void EnableOutput(bool o);
  void EnableInput() { newEvents |= EPOLLIN; }
  void EnableOutput() { newEvents |= EPOLLOUT; }
  void DisableInput() { newEvents &= ~EPOLLIN; }
  void DisableOutput();

  // Registers with `unit` (which becomes the owner; -1 if an owner is already set) or
  // with the owner given at construction, and makes the descriptor non-blocking. On an
  // object that already holds a slot this is ApplyEvents. 0 or -1.
  int AttachPoller(CPollerUnit* unit = 0);
  // Removes the registration and gives the slot back; the descriptor stays open.
  // Always 0.
  int DetachPoller();
  // Pushes the wanted mask to the kernel when it differs from the registered one.
  // 0 or -1.
  int ApplyEvents();

  // Edge-triggered registration (see the top of this file). Set before AttachPoller.
  void SetEdgeTriggered(bool on) { edgeTriggered = on; }
  bool EdgeTriggered() const { return edgeTriggered; }
  // The object left input unread that the kernel will not report again: InputNotify comes
  // again at the next turn, unless an event brings it first. Posting twice is posting once.
  void PostInput();
  // Takes the object off the posted list (done by the dispatcher before InputNotify and
  // HangupNotify, by DetachPoller and by the destructor).
  void CancelPostedInput();
  bool InputPosted() const { return isPosted; }

  // "slot sequence << 32 | slot index" of the current registration, 0 without a slot.
  uint64_t GetPollerEventId() const;

  int GetNetfd() const { return netfd; }
  CPollerUnit* GetOwnerUnit() const { return ownerUnit; }
  int GetNewEvents() const { return newEvents; }
  int GetOldEvents() const { return oldEvents; }
  CEpollSlot* GetEpollSlot() const { return epslot; }

 protected:
  int netfd;
  CPollerUnit* ownerUnit;
  int newEvents;
  int oldEvents;
  CEpollSlot* epslot;

 private:
  friend class CPollerUnit;
  bool edgeTriggered;
  bool isPosted;
  uint32_t postedWait;  // the owner's wait count when posted
  std::list<CPollerObject*>::iterator postedAt;
  // Builds the kernel event for the current wanted mask, bumping the slot sequence.
  void BuildEvent(struct epoll_event* ev);

  CPollerObject(const CPollerObject&) = delete;
  CPollerObject& operator=(const CPollerObject&) = delete;
};

#endif
