// CDecoderUnit: the glue object of one accepted client connection. The listener creates
// it for each new descriptor; it owns the connection's CClientUnit. After every
// notification of the client unit it decides whether the connection lives on, and
// complete() is the one place where the connection ends: close notices, routing
// entries, poller slot and timer, descriptor, objects, in that order. Runs on the loop
// thread only.
//
// Any call that leads to complete() destroys this object and its client unit: the
// caller must return at once without touching either.
#ifndef HALL_PROXY_DECODE_UNIT_H
#define HALL_PROXY_DECODE_UNIT_H

#include <stdint.h>

#include <memory>
#include <set>

#include "admission/admission.h"
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
  // descriptor came free. A second call during the first does nothing.
  void complete();

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
  bool _ending;  // complete() has begun
  hall_admission::CConnGate _gate;
};

}  // namespace __http_svr_ns__

#endif
