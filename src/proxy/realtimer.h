// The gateway's periodic timer: once a minute it reports the number of registered
// client ids to the UDP collector (when the UDP switch is on) and re-arms itself.
// One instance per process (_RealTimer), created at start-up and never deleted; the
// reactor owner stores the 60-second list in realTimerlist and attaches it. Runs on
// the loop thread only.
#ifndef HALL_PROXY_REALTIMER_H
#define HALL_PROXY_REALTIMER_H

#include "timerlist.h"

namespace __http_svr_ns__ {

class CRealTimer : public CTimerObject {
 public:
  CRealTimer() : realTimerlist(nullptr) {}
  CRealTimer(const CRealTimer&) = delete;
  CRealTimer& operator=(const CRealTimer&) = delete;
  virtual ~CRealTimer();

  // Sends the user-count report when the UDP switch is on, then attaches itself to
  // realTimerlist again (when it is set), so the next report follows one period later.
  virtual void TimerNotify() override;

  CTimerList* realTimerlist;  // the 60-second list; not owned
};

extern CRealTimer* _RealTimer;

}  // namespace __http_svr_ns__

#endif
