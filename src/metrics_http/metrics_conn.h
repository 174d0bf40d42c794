// CMetricsConn: one connection to the metrics endpoint. It reads one request head (at
// most STATS_REQUEST_MAX bytes), writes one answer and closes; a connection that has not
// finished within CMetricsListener::REQUEST_SECONDS of its accept, or sends a head too
// large, is closed without one. Created and tracked by CMetricsListener; loop thread only.
#ifndef HALL_METRICS_HTTP_METRICS_CONN_H
#define HALL_METRICS_HTTP_METRICS_CONN_H

#include <string>

#include "noncopyable.h"
#include "poller.h"
#include "timerlist.h"

namespace hall_metrics {

class CMetricsListener;

class CMetricsConn : public CPollerObject, public CTimerObject, private noncopyable {
 public:
  CMetricsConn(CMetricsListener* owner, CPollerUnit* unit, int fd);
  virtual ~CMetricsConn();

  virtual int InputNotify() override;
  virtual int OutputNotify() override;
  virtual int HangupNotify() override;
  virtual void TimerNotify() override;

 private:
  // Writes what is left of the answer; closes once it is all out or the peer is gone.
  // Non-zero when the connection has been deleted.
  int write_answer();
  // Tells the owner and deletes this object (closing the descriptor). Returns 1.
  int close();

  CMetricsListener* _owner;
  std::string _in;
  std::string _out;
  size_t _sent;
};

}  // namespace hall_metrics

#endif
