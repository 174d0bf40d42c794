// Ed25519 signature checks off the loop thread.
//
// A signature check costs about 100 us of CPU, which is most of what a command 3 costs; a
// reconnect storm of thousands of players done on the loop thread would make every other
// player wait behind it. The loop hands each token to a few verifying threads and goes
// on; the verdicts come back through an eventfd on the loop's poller, and the loop applies
// them there, so that everything with state (the replay memory, the routing of client ids)
// stays on the loop thread.
//
// At most MOST_HANDED_OVER jobs are with the threads at a time; further jobs wait in the
// loop's own backlog, in the order they came. A connection has at most one job (it is not
// read while its verdict is pending), so the backlog is bounded by the connections.
// Finished jobs are delivered in the order they were submitted, whichever thread ends
// first: of two connections sending the same token at once, the first to ask is the one
// accepted, as when the loop checked them itself.
#ifndef HALL_AUTH_SIGNATURE_POOL_H
#define HALL_AUTH_SIGNATURE_POOL_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "poller.h"
#include "auth/token.h"

namespace hall_auth {

// One token whose signature is to be checked. _token's views point into _text.
struct CSignatureJob {
  uint64_t _ticket = 0;
  std::string _text;
  TToken _token;
  EVP_PKEY* _key = nullptr;  // owned by the checker's key ring, which outlives the pool
  bool _valid = false;       // set by the verifying thread
};

class CSignaturePool : private CPollerObject {
 public:
  static const unsigned MOST_THREADS = 2;
  static const size_t MOST_HANDED_OVER = 256;

  // `done` receives every finished job on the loop thread, in the loop's poller turn.
  explicit CSignaturePool(std::function<void(std::unique_ptr<CSignatureJob>)> done);
  // Stops and joins the threads; jobs not finished are dropped. Call it before the
  // poller the pool registered with goes.
  ~CSignaturePool();

  // Loop thread. Queues `job` and returns its ticket (1, 2, ...: job->_ticket); the
  // threads and the eventfd start on the first one (after the process has detached, so
  // that no fork loses them). 0 when they cannot start.
  uint64_t submit(CPollerUnit* poller, std::unique_ptr<CSignatureJob> job);
  size_t backlog() const { return _backlog.size(); }
  unsigned threads() const { return static_cast<unsigned>(_threads.size()); }

 private:
  bool start(CPollerUnit* poller);
  void hand_over(std::unique_ptr<CSignatureJob> job);
  void work();
  int InputNotify() override;
  int HangupNotify() override;

  std::function<void(std::unique_ptr<CSignatureJob>)> _done_callback;
  std::vector<std::thread> _threads;
  // Loop thread only.
  std::deque<std::unique_ptr<CSignatureJob>> _backlog;
  size_t _handed_over = 0;
  uint64_t _last_ticket = 0;
  uint64_t _next_delivery = 1;
  std::map<uint64_t, std::unique_ptr<CSignatureJob>> _early;  // finished before an earlier one
  // Shared with the threads, under _mutex.
  std::mutex _mutex;
  std::condition_variable _wake;
  std::deque<CSignatureJob*> _todo;
  std::vector<CSignatureJob*> _finished;
  bool _stopping = false;
};

}  // namespace hall_auth

#endif
