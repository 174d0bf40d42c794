// CAcceptor: the accepting half of a listening socket, shared by the client listener
// (CListener) and the metrics listener. On readiness it takes connections from the
// kernel's queue in batches and hands each batch to its owner; it takes none that it has
// no poller slot for (such a connection could only be closed, and its peer may already
// have written), and it pauses instead of spinning on a socket that stays readable: input
// interest is dropped when the poller is full or the process ran out of descriptors, until
// the owner resumes it (a connection ended) or its retry timer fires.
//
// CPollerSlots: the poller slots that owners keep free for connections they open later
// themselves (the logic links reconnecting, the Redis registration, metrics connections).
// An acceptor that yields them leaves them to their owners. Loop thread only.
#ifndef HALL_ACCEPTOR_ACCEPTOR_H
#define HALL_ACCEPTOR_ACCEPTOR_H

#include <netinet/in.h>

#include <functional>

#include "noncopyable.h"
#include "poller.h"
#include "timerlist.h"

namespace hall_acceptor {

class CPollerSlots {
 public:
  // `kept` says at each call how many slots its owner keeps free now. Returns the id that
  // forget takes.
  static int keep(std::function<int()> kept);
  static void forget(int id);
  // Slots kept over every owner.
  static int kept();
};

class CAcceptor : public CPollerObject, public CTimerObject, private noncopyable {
 public:
  // `batch`: descriptors gathered before they are handed on; `batches`: the most batches
  // one readiness takes (0: until the queue is empty); `yields_kept`: leaves the slots of
  // CPollerSlots to their owners.
  CAcceptor(int batch, int batches, bool yields_kept);
  virtual ~CAcceptor();

  bool paused() const { return _paused; }
  // Input interest back after a pause, unless the owner says it may not (may_resume).
  void resume_accept();

 protected:
  // Accepts and hands on the connections waiting in the queue, batch by batch, while
  // there is room. True when not one connection was taken.
  bool accept_waiting();
  // Poller slots a new connection may take, less the descriptors of the batch gathered.
  int room() const;
  // Stops input interest until resume_accept: out of descriptors or memory (`err`), or
  // no poller slot (0). Paced by the timer list retry_list gives, if any.
  void pause_accept(int err);
  // Descriptors gathered in the batch being handed on.
  int gathered() const { return _gathered; }

  // The owner's part. A batch: `fds[i]` is -1 or a new descriptor whose peer is
  // `peers[i]`, for i below `slots` (holes where an accept failed). Each is the owner's.
  virtual void take_batch(int* fds, const sockaddr_in* peers, int slots) = 0;
  // Before each accept: the owner may close one of its connections to make room.
  virtual void before_accept() {}
  // An accept failed with `err` (neither EINTR nor EAGAIN): the owner logs it.
  virtual void accept_failed(int err) = 0;
  // Accepting has just paused for `err` (0: the poller is full): the owner logs it.
  virtual void paused_for(int err) = 0;
  // The list whose time-out paces a retry after a pause for `err`; null for none.
  virtual CTimerList* retry_list(int err) = 0;
  virtual bool may_resume() const { return true; }

 private:
  // One batch: 0 when it filled up, -1 when the queue ran empty or accepting paused.
  int accept_batch();

  const int _batch;
  const int _batches;
  const bool _yields_kept;
  int _gathered = 0;
  int* _fds;
  sockaddr_in* _peers;
  bool _paused = false;
};

}  // namespace hall_acceptor

#endif
