// CDecoderUnit: the glue object of one accepted client connection. The listener creates
// it for each new descriptor; it owns the connection's CClientUnit. After every
// notification of the client unit it decides whether the connection lives on, and
// complete() is the one place where the connection ends: close notices, routing
// entries, poller slot and timer, descriptor, objects, in that order. Runs on the loop
// thread only.
//
// Any call that leads to complete() destroys this object and its client unit: the
// caller must return at once without touching either.
//
// A client that leaves (end-of-file, the peer's shutdown, a hang-up) departs first: on
// its one edge-triggered event it joins the departure queue, with no read and no system
// call, and the rest of the end (its last requests, close notices, log lines, routes, the
// poller and the close itself) waits on the departure queue,
// which the loop works off in arrival order within a time budget per turn
// (complete_departures). Thousands of players leaving at once then cost the players who
// stay one short slice of each turn instead of every turn until all have gone.
#ifndef HALL_PROXY_DECODE_UNIT_H
#define HALL_PROXY_DECODE_UNIT_H

#include <stdint.h>

#include <list>
#include <memory>
#include <set>

#include "admission/admission.h"
#include "conn_carry.h"
#include "noncopyable.h"

class CPollerUnit;
class CTimerList;

namespace __http_svr_ns__ {

class CClientUnit;
class CListener;

class CDecoderUnit : private noncopyable {
 public:
  explicit CDecoderUnit(CListener* listener);
  ~CDecoderUnit();

  // Creates the client unit and registers it for input and the idle time-out.
  // 0 on success, -1 on failure (the listener then ends the connection with complete()).
  int listener_input();

  // Called at the end of the client unit's notifications. 0 while the connection lives
  // on, 1 once it has been completed (this object is gone then).
  int web_input();
  int web_output();  // always 1
  int web_timer();   // completes, 1
  int web_hangup();  // completes, 1

  // Ends the connection and deletes this unit (see above); tells the listener that a
  // descriptor came free. A second call during the first does nothing. A departing unit
  // leaves the departure queue.
  void complete();
  // The client has left: the unit leaves the idle timer and joins the tail of the
  // departure queue, its notifications are ignored, and results for its ids find no
  // client from now on. Completed later by complete_departures (or by complete()), which
  // first reads what the client sent last.
  void depart();
  bool departing() const { return _departing; }

  // Completes departures from the head of the queue until it is empty or `budget_us`
  // microseconds have passed (at least one is completed). The number completed.
  static int complete_departures(int64_t budget_us);
  // Completes every departure left (the loop's end).
  static void complete_all_departures() { complete_departures(INT64_MAX); }
  static bool departures_pending();

  // Live upgrade. carry_out: what the connection carries to another process; false
  // when it cannot travel (a TLS or WebSocket transport, a connection ending,
  // departed or half-closed). carry_in: builds the connection of this unit (made by the
  // listener for a handed-over descriptor) from what it carried: routes, queues, timer, input
  // interest; -1 when it cannot (then complete() it). let_go: another process serves the
  // connection: its routes go without close notices, it leaves the poller and its timer,
  // this process's copy of the descriptor closes (no shutdown(), no last word) and the
  // unit is deleted.
  bool carry_out(TConnCarry* out);
  int carry_in(const TConnCarry& in);
  void let_go();

  // Sends a close notice for every id this connection registered and still holds, each
  // to one logic server (round robin). An id taken over by a later connection has not
  // left: it is not announced. Always 0.
  int ProcessUserClose();

  // Records `uid` as registered by this connection (the routing entry itself is made
  // by the command handler). Every id recorded here is taken out of m_objmap again,
  // if it still names this unit, when the unit is destroyed. False, recording nothing,
  // when `uid` would be one id more than TGlobal::_maxClientIds.
  bool add_registered_uid(int uid);
  // True when m_objmap holds the entry of `uid` and it names this unit.
  bool holds_uid_entry(int uid) const;

  void set_flag(int flag) { _flag = flag; }
  void set_netfd(int fd) { _fd = fd; }
  int get_netfd() const { return _fd; }
  void set_ip(uint32_t ip) { _ip = ip; }
  void set_conn_type(int type) { _conn_type = type; }
  CPollerUnit* pollerunit() const { return _pollerUnit; }
  void pollerunit(CPollerUnit* unit) { _pollerUnit = unit; }
  CTimerList* get_web_timer() const { return _webTimer; }
  void set_web_timer(CTimerList* list) { _webTimer = list; }
  void set_helper_timer(CTimerList* list) { _helperTimer = list; }
  CClientUnit* get_web_unit() const { return _webUnit; }
  // Admission of this connection: limits, PROXY header, fair share.
  hall_admission::CConnGate& gate() { return _gate; }

 private:
  // The close notice of `uid`, when this connection still holds it.
  void announce_departure(int uid);
  // Takes out of m_objmap every entry of an id registered here that still names this unit.
  void release_routes();
  // True while m_objmap holds an entry of an id registered here that names this unit.
  bool holds_any_route() const;

  CPollerUnit* _pollerUnit;
  CTimerList* _webTimer;
  CTimerList* _helperTimer;
  CClientUnit* _webUnit;  // owned
  CListener* _listener;   // not owned
  int _flag;              // uid registered last; above 0 once registered
  int _fd;
  uint32_t _ip;    // network byte order
  int _conn_type;  // 0: announce the departure; 1: silent
  // Every client id this connection registered: nearly every connection registers one,
  // which is kept inline; a set is made only for a second one.
  bool _has_registered;
  int _first_registered;
  std::unique_ptr<std::set<int> > _more_registered;
  bool _ending;     // complete() has begun
  bool _departing;  // on the departure queue, at _departure
  std::list<CDecoderUnit*>::iterator _departure;
  hall_admission::CConnGate _gate;
};

}  // namespace __http_svr_ns__

#endif
