// CDrain: the gateway's graceful stop, asked for with SIGUSR1. The drain withdraws the
// Redis registration, closes the listening socket for good and keeps relaying for the
// clients it holds until every one has left or TGlobal::_drainTimeout seconds have
// passed, logging how many are left once a second. It then writes the answers still
// queued (for a few seconds at most), half-closes the remaining connections and reads
// and forwards what their clients still send until they close too (kHalfCloseSeconds at
// most), closes what is left, writes what is still queued for the logic servers
// (forwards and close notices, for a few seconds at most), half-closes the logic links
// and waits for their servers to close them (kHalfCloseSeconds at most), and lets the
// loop end, so that the process exits 0. A second SIGUSR1 changes nothing; the other
// stop signals keep ending the process at once. Runs on the loop thread only.
#ifndef HALL_DRAIN_DRAIN_H
#define HALL_DRAIN_DRAIN_H

#include <stdint.h>

#include <vector>

#include "incoming.h"
#include "noncopyable.h"
#include "timerlist.h"

class CPollerUnit;

namespace __http_svr_ns__ {

class CDecoderUnit;
class CListener;
class CRedisServer;

class CDrain : public CLoopStop, public CTimerObject, private noncopyable {
 public:
  // Answers still queued are written for this long at most once the clients are done,
  // and then what is queued for the logic servers for as long again.
  static const int kFlushSeconds = 3;
  // Half-closed client connections are read for this long at most before they close.
  static const int kHalfCloseSeconds = 2;
  // The removal from Redis is waited for this long at most at the end.
  static const int kRegistryWaitSeconds = 2;

  // `registry` may be null (nothing to withdraw); `every_second` paces the count lines.
  // `listeners`: every client listener (the client port and the WebSocket/TLS ports).
  CDrain(const std::vector<CListener*>& listeners, CRedisServer* registry, CPollerUnit* unit, CTimerList* every_second);

  // Once per loop turn, before the wait: begins the drain when it has been asked for
  // and moves it on. True once the loop may end.
  bool step(int64_t now_us) override;
  // Draining: the loop waits in short steps, so that the deadlines are kept.
  bool active() const override {
    return _stage == kHolding || _stage == kFlushing || _stage == kClosing || _stage == kForwarding ||
           _stage == kLeaving;
  }

  // The count line, once a second while the clients are waited for.
  void TimerNotify() override;

 private:
  enum TStage { kServing, kHolding, kFlushing, kClosing, kForwarding, kLeaving, kDone };

  void begin(int64_t now_us);
  void stop_holding(int64_t now_us, bool timedOut);
  // Half-closes the client connections left: each client reads end-of-file, and what it
  // sent before it saw it is still read and forwarded.
  void half_close_clients(int64_t now_us);
  // Closes the client connections left, after handling what their sockets hold; their
  // close notices join the logic servers' queues.
  void close_clients(int64_t now_us);
  // Half-closes the logic links once their forwards are out: each server reads what its
  // socket holds, then end-of-file, and closes the link.
  void leave_logic_servers(int64_t now_us);
  static int links_up();
  void finish();
  // The client connections of every listener, and their count.
  std::vector<CDecoderUnit*> clients() const;
  int client_count() const;
  // Bytes of answers not yet delivered, over every client connection: those the gateway
  // holds and those its sockets hold unacknowledged (lost if a close resets the link).
  unsigned long queued_answers() const;
  // Bytes queued for the logic servers and not yet delivered, over every link: those the
  // gateway holds and those its sockets hold unacknowledged. The exit closes the links,
  // and a link closed with input unread is reset, which loses what its socket held.
  static unsigned long queued_forwards();
  // Bytes for the logic servers dropped unwritten so far (a link that could not be
  // reached, was reset or was full), over every link.
  static unsigned long dropped_forwards();

  std::vector<CListener*> _listeners;
  CRedisServer* _registry;
  CPollerUnit* _unit;
  CTimerList* _every_second;
  TStage _stage = kServing;
  int64_t _hold_until = 0;
  int64_t _flush_until = 0;
  int64_t _registry_until = 0;
  int64_t _close_until = 0;
  int64_t _forward_until = 0;
  int64_t _leave_until = 0;
  unsigned long _unwritten_answers = 0;     // answer bytes dropped when the clients were closed
  bool _unconfirmed = false;                // the removal from Redis was not confirmed by then
  unsigned long _dropped_before_close = 0;  // dropped_forwards() when the clients were half-closed
};

}  // namespace __http_svr_ns__

#endif
