// CStatsListener: the listening socket of the metrics endpoint (StatsAddr:StatsPort). It
// keeps at most MAX_CONNS stats connections at a time, each a CStatsConn on the same
// poller and timer unit as everything else; a new one while all are taken closes the one
// that has waited longest for its request. Stats connections are never clients: they are not in m_objmap, not forwarded and
// not counted among client connections. Owned by CIncoming; loop thread only.
#ifndef HALL_PROXY_STATS_LISTENER_H
#define HALL_PROXY_STATS_LISTENER_H

#include <stdint.h>

#include <set>

#include "noncopyable.h"
#include "poller.h"
#include "timerlist.h"

namespace __http_svr_ns__ {

class CStatsConn;

class CStatsListener : public CPollerObject, public CTimerObject, private noncopyable {
 public:
  static const int MAX_CONNS = 8;        // stats connections open at once
  static const int REQUEST_SECONDS = 5;  // a connection is closed this long after accept

  CStatsListener(const char* addr, uint16_t port);
  // Closes every open stats connection.
  virtual ~CStatsListener();

  // Binds, listens and registers for input. 0, or -1 after logging the failure.
  int Attach(CPollerUnit* unit, CTimerUnit* timers);

  // Poller slots the client listener leaves free for stats connections not yet open.
  static int PollerSlotsKept();

  // Live upgrade: another process listens on the socket now. It leaves the poller and
  // this process's copy closes; open scrapes finish.
  void let_go();

  virtual int InputNotify() override;
  virtual int HangupNotify() override;
  // The pause after running out of descriptors is over.
  virtual void TimerNotify() override;

  // `conn` has closed and is being deleted.
  void conn_ended(CStatsConn* conn);

 private:
  // Closes the stats connection accepted first among those open.
  void close_oldest();
  void pause(bool retry);
  void resume();

  char _addr[64];
  uint16_t _port;
  CTimerUnit* _timers;
  std::set<CStatsConn*> _conns;
  bool _paused;
};

}  // namespace __http_svr_ns__

#endif
