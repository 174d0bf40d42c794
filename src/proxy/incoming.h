// CIncoming: the process-wide owner of the reactor. It holds the epoll poller unit, the
// listeners (the client port, and the WebSocket and TLS ports when set) and the timer unit with its lists, and at start-up creates and connects one
// helper unit per logic server of server.xml (as start-up read it), which it deletes again before the
// poller unit. A singleton created on first use (Instance) and deleted by Destroy; the
// module opens it once and runs its main loop. Runs on the loop thread only.
#ifndef HALL_PROXY_INCOMING_H
#define HALL_PROXY_INCOMING_H

#include <stdint.h>
#include <vector>

#include "noncopyable.h"
#include "singleton.h"

class CPollerUnit;
class CTimerUnit;
class CTimerList;

namespace hall_metrics {
class CMetricsListener;
}

namespace __http_svr_ns__ {

// A stop that the loop moves on at every turn, before its wait: the drain (src/drain),
// which stands above the gateway and reaches it only through this.
class CLoopStop {
 public:
  virtual ~CLoopStop() {}
  // Begins the stop when it has been asked for and moves it on. True once the loop may end.
  virtual bool step(int64_t now_us) = 0;
  // Stopping: the loop waits in short steps, so that the deadlines are kept.
  virtual bool active() const = 0;
};
class CListener;

class CIncoming : private noncopyable {
 public:
  CIncoming();
  virtual ~CIncoming();

  static CIncoming* Instance() { return CSingleton<CIncoming, CreateUsingNew>::Instance(); }
  static void Destroy() { CSingleton<CIncoming, CreateUsingNew>::Destroy(); }

  // Builds the reactor: poller unit, listener, timer lists, the bound listening socket
  // and the helper connections. 0, or -1 after logging the failed step.
  int open();
  // The main loop; returns 0 once the stop flag that TGlobal::_module_close points at
  // is set or the drain has ended, -1 when the event wait fails (the reason is logged).
  int run();
  // One loop turn: waits at most `wait_ms` for events, dispatches them, runs the expired
  // and pending timers, then writes what the turn queued on the logic links
  // (CHelperUnit::flush_deferred). -1 when the wait itself failed, else 0.
  int turn(int wait_ms);
  // Ends the measure of the turn that ran last (turn() starts it when its wait returns):
  // recorded in g_loop_turns, and a turn that worked longer than 100 ms logged.
  void end_turn();
  // The metrics page: every owner's families, in the page's order.
  static void register_metrics();
  // Connects one helper unit per server id of TGlobal::_servers. 0 or -1.
  int InitHelperUnit();

  CPollerUnit* pollerunit() const { return _pollerunit; }
  CTimerUnit* timerunit() const { return _timerunit; }
  // The listener of the client port, and every client listener (that one first).
  CListener* listener() const { return _listener; }
  const std::vector<CListener*>& listeners() const { return _listeners; }
  // The drain the loop moves on at every turn and whose end ends the loop; not owned,
  // null for none.
  void set_drain(CLoopStop* drain) { _drain = drain; }
  // Live upgrade: every listening socket (clients and metrics) stops (true) or resumes
  // (false) accepting; let_go_listeners: another process listens on them now (see
  // CListener::let_go).
  void hold_listeners(bool on);
  void let_go_listeners();
  // Called once per loop turn before the wait, like the drain's step; true ends the loop
  // (a live upgrade has handed everything over). Null for none.
  typedef bool (*TurnHook)(int64_t now_us);
  void set_turn_hook(TurnHook hook) { _turn_hook = hook; }
  // Families an addition adds to the metrics page after the gateway's own, registered
  // again whenever the loop registers its own (live upgrade). Null for none.
  static void set_more_metrics(void (*registrar)()) { _more_metrics = registrar; }

 private:
  CPollerUnit* _pollerunit;
  // Opens the listener of one more client port with its transport. 0 or -1.
  int open_listener(int port, int kind);

  CListener* _listener;
  std::vector<CListener*> _listeners;  // owned, _listener first
  CTimerUnit* _timerunit;
  CTimerList* _webtimerlist;
  CTimerList* _helpertimerlist;
  int _epwaittimeout;  // milliseconds, upper bound of one poller wait
  CTimerList* _realtimerlist;
  CLoopStop* _drain = nullptr;
  TurnHook _turn_hook = nullptr;
  static inline void (*_more_metrics)() = nullptr;
  hall_metrics::CMetricsListener* _statslistener;  // null unless StatsPort is set
  int _helper_slots_id = 0;                        // CPollerSlots registration of the logic links
  // The turn being measured: when its wait returned (0: none), its event count, and the
  // counts of ended clients and written bytes at its start.
  struct {
    int64_t started = 0;
    int events = 0;
    uint64_t clients_ended = 0;
    uint64_t bytes_written = 0;
  } _turn;
};

}  // namespace __http_svr_ns__

#endif
