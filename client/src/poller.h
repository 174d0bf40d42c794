// A small epoll wrapper of the order-sync client: one epoll descriptor (owned, closed by
// the destructor) watching the gateway connection. One thread.
#ifndef ORDER_SYNC_POLLER_H
#define ORDER_SYNC_POLLER_H

#include <sys/epoll.h>

#include "noncopyable.h"

class CTcpClient;

class poller_t : private noncopyable {
 public:
  enum { MAX_EVENTS = 8 };

  poller_t();  // efd is -1 when epoll_create1 failed
  ~poller_t();

  bool ok() const { return efd >= 0; }
  // Registers the connection's socket with its `event` mask; 0 on success, -1 on error.
  int attach(CTcpClient* c);
  // Removes the connection's socket; 0 on success, -1 when it was not registered.
  int detach(CTcpClient* c);
  // Waits at most ms milliseconds; the number of events in `events`, 0 on time-out,
  // -1 on error (EINTR included, so a signal ends the wait early).
  int wait(int ms);

  int efd;
  epoll_event events[MAX_EVENTS];
};

#endif
