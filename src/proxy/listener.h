// CListener: owner of one of the gateway's listening TCP sockets (the client port, and
// one per WebSocket or TLS port, each with its transport kind). On readiness its acceptor
// drains the kernel's accept queue in batches of acceptCount and gives every new
// descriptor to a fresh CDecoderUnit, which ends the connection itself
// (CDecoderUnit::complete) and then reports here that a descriptor came free. Owned by
// CIncoming; runs on the loop thread only.
//
// When the process runs out of descriptors, or the poller has no slot left for a client
// (the slots that the logic links, the registration and the metrics endpoint keep are not
// a client's), accepting pauses (CAcceptor): input interest is dropped until a connection
// ends here or the retry timer fires.
#ifndef HALL_PROXY_LISTENER_H
#define HALL_PROXY_LISTENER_H

#include <netinet/in.h>
#include <stdint.h>

#include <set>
#include <vector>

#include "acceptor/acceptor.h"
#include "conn_carry.h"
#include "timerlist.h"
#include "transport/transport.h"

namespace __http_svr_ns__ {

class CDecoderUnit;

class CListener : public hall_acceptor::CAcceptor {
 public:
  CListener(const char* bindAddr, uint16_t port, int acceptCount,
            hall_transport::TTransportKind kind = hall_transport::TRANSPORT_TCP);
  virtual ~CListener();

  // Binds, listens with `backlog` and registers for input. 0, or negative on failure.
  int Attach(CPollerUnit* unit, CTimerList* webList, CTimerList* helperList, int backlog);

  // The transport every connection accepted here gets.
  hall_transport::TTransportKind transport_kind() const { return _kind; }

  // The list whose time-out paces new accept attempts after descriptors ran out.
  void set_retry_timer(CTimerList* list) { _retrytimerlist = list; }

  // Accepts everything pending, batch after batch. Always 0.
  virtual int InputNotify() override;
  // A listening socket in error: logged and unregistered; the gateway keeps serving the
  // connections it has. Returns 1.
  virtual int HangupNotify() override;
  // The retry delay after running out of descriptors is over: accept again.
  virtual void TimerNotify() override;

  CDecoderUnit* create_decoderunit(int fd);

  // A connection has ended and its descriptor is closed: accepting resumes if paused,
  // on every listener, since they share the poller's slots.
  void connection_ended();

  // The client connections that live now: each decoder unit made here, from its
  // creation to its destructor (forget).
  int client_count() const { return static_cast<int>(_clients.size()); }
  std::vector<CDecoderUnit*> clients() const { return std::vector<CDecoderUnit*>(_clients.begin(), _clients.end()); }
  void forget(CDecoderUnit* unit) { _clients.erase(unit); }
  // Adds the families of the client connections open, in all and by transport, to the
  // metrics page.
  static void register_metrics();
  // Closes the listening socket for good: connects are refused from then on, and
  // nothing resumes accepting. The connections already made live on, those waiting in
  // the queue included (taken first, while there is room).
  void close_for_good();

  // Live upgrade. hold: accepting stops (true) or goes on (false) while a hand-over
  // runs. let_go: another process listens on the socket now: it leaves the poller and
  // this process's copy closes, without shutdown(). adopt_client: a connection handed over
  // by the process this one takes over from, with what it carried; null (the descriptor
  // closed) when it cannot be served.
  void hold(bool on);
  void let_go();
  CDecoderUnit* adopt_client(int fd, const TConnCarry& carry);

 private:
  // Builds the connection objects of every descriptor of the batch.
  void take_batch(int* fds, const sockaddr_in* peers, int slots) override;
  void accept_failed(int err) override;
  void paused_for(int err) override;
  CTimerList* retry_list(int) override { return _retrytimerlist; }
  bool may_resume() const override { return !_closed; }

  CPollerUnit* _pollerunit;
  CTimerList* _webtimerlist;
  CTimerList* _helpertimerlist;
  uint16_t _bindPort;
  char _bindAddr[128];
  CTimerList* _retrytimerlist;  // not owned
  bool _closed = false;         // close_for_good ran
  hall_transport::TTransportKind _kind;
  std::set<CDecoderUnit*> _clients;  // not owned
  static std::set<CListener*> _all;  // every listener alive
};

}  // namespace __http_svr_ns__

#endif
