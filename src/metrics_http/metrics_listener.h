// CMetricsListener: the listening socket of the metrics endpoint (StatsAddr:StatsPort).
// It keeps at most MAX_CONNS metrics connections at a time, each a CMetricsConn on the
// same poller and timer unit as everything else; a new one while all are taken closes the
// one that has waited longest for its request. Metrics connections are never clients:
// they are not in m_objmap, not forwarded and not counted among client connections. The
// slots of the connections not yet open are kept from the client listeners
// (CPollerSlots). Owned by CIncoming; loop thread only.
#ifndef HALL_METRICS_HTTP_METRICS_LISTENER_H
#define HALL_METRICS_HTTP_METRICS_LISTENER_H

#include <stdint.h>

#include <set>

#include "acceptor/acceptor.h"

namespace hall_metrics {

class CMetricsConn;

class CMetricsListener : public hall_acceptor::CAcceptor {
 public:
  static const int MAX_CONNS = 8;        // metrics connections open at once
  static const int REQUEST_SECONDS = 5;  // a connection is closed this long after accept

  CMetricsListener(const char* addr, uint16_t port);
  // Closes every open metrics connection.
  virtual ~CMetricsListener();

  // Binds, listens and registers for input. 0, or -1 after logging the failure.
  int Attach(CPollerUnit* unit, CTimerUnit* timers);

  // Live upgrade: another process listens on the socket now. It leaves the poller and
  // this process's copy closes (no shutdown()); open scrapes finish.
  void let_go();

  virtual int InputNotify() override;
  virtual int HangupNotify() override;
  // The pause after running out of descriptors is over.
  virtual void TimerNotify() override;

  // `conn` has closed and is being deleted.
  void conn_ended(CMetricsConn* conn);

 private:
  void take_batch(int* fds, const sockaddr_in* peers, int slots) override;
  // Every slot is held by a request not yet whole (a whole one is answered at once): the
  // one that has waited longest goes, so that slow senders never shut out a scrape.
  void before_accept() override;
  void accept_failed(int err) override;
  void paused_for(int) override {}
  CTimerList* retry_list(int err) override;
  bool may_resume() const override { return GetEpollSlot() != nullptr; }
  // Closes the metrics connection accepted first among those open.
  void close_oldest();

  char _addr[64];
  uint16_t _port;
  CTimerUnit* _timers;
  std::set<CMetricsConn*> _conns;
  int _slots_id = 0;  // CPollerSlots registration, 0 for none
};

}  // namespace hall_metrics

#endif
