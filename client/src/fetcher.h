// The order source of the order-sync client: pops orders from a Redis list through its
// own CRedisHelper (owned, deleted by the destructor) and keeps the Redis connection alive,
// reconnecting once a second while Redis does not answer. A stop request cuts every wait
// for Redis short. One thread.
#ifndef ORDER_SYNC_FETCHER_H
#define ORDER_SYNC_FETCHER_H

#include <string>

#include "RedisHelper.h"
#include "noncopyable.h"

typedef CRedisHelper redis_helper_t;

class fetcher_t : private noncopyable {
 public:
  explicit fetcher_t(redis_helper_t* r);  // takes ownership of r
  ~fetcher_t();

  // The next order from the list q, or "" when the list is empty. Blocks while Redis does
  // not answer; returns "" at once when a stop is requested. *popped (when given) tells
  // whether an element was taken, so that an empty element is not mistaken for none.
  std::string fetch(const char* q, bool* popped = nullptr);

  // Orders that must not be sent go, unchanged, to the tail of the dead-letter list of q
  // (see dead_letter_name). Waits for Redis like fetch; once a stop is requested it makes
  // one short attempt instead (see give_back). 0 when stored; 1 when handed to Redis
  // without confirmation; -1 when not stored (Redis away, or it refused the push because
  // the name holds something other than a list).
  int dead_letter(const char* q, const std::string& order);

  // Puts an order that was popped but could not be sent back at the head of q, so it is
  // the next one popped. Meant for a stopping program: one attempt (and one reconnect)
  // that waits at most STOPPING_WAIT_MS for each reply, however Redis behaves. 0 when
  // stored; 1 when the push reached a Redis that did not answer in time (a frozen
  // server carries it out once it runs again); -1 when not stored.
  int give_back(const char* q, const std::string& order);

  enum { STOPPING_WAIT_MS = 300 };

  // "<q>:dead": the dead-letter list of the queue q.
  static std::string dead_letter_name(const char* q);

  redis_helper_t* _r;

 private:
  bool wait_for_redis();  // false when a stop came first
  bool last_command_failed() const;
  int push_once(const std::string& list, const std::string& order, bool at_head);
};

#endif
