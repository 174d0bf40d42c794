// The order source of the order-sync client: takes orders from a Redis list through its
// own CRedisHelper (owned, deleted by the destructor) and keeps the Redis connection alive,
// reconnecting once a second while Redis does not answer. A stop request cuts every wait
// for Redis short. One thread.
//
// An order taken from the list q moves, in the same step, to the tail of the sending
// list (see sending_name), and leaves it only once it is settled (sent, set aside, or
// given back). A reply lost with a killed Redis, or one the client gave up on, thus loses
// no order: after every (re)connect, orders found in the sending list go back to the head
// of q. The sending list belongs to one client alone; several clients may work one q.
// Several orders may be taken, and settled, in one round trip (a pipeline of the
// single-order commands), each still one step of its own for Redis.
//
// When the connection is remade, the Redis behind it may be another one (a replica that
// took the master's place) holding the lists as far as they were replicated. Settling an
// order in hand therefore looks at where the take left it: in the sending list when the
// take reached this Redis; else still in q (the take was lost, the push was not), where
// it is removed so that it is not taken and sent again; or nowhere. Orders settled just
// before a switch to another server may still sit in its sending list (the removal was
// not replicated): they are removed from it before it is recovered instead of going
// back to q.
#ifndef ORDER_SYNC_FETCHER_H
#define ORDER_SYNC_FETCHER_H

#include <time.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "RedisHelper.h"
#include "noncopyable.h"

typedef CRedisHelper redis_helper_t;

class fetcher_t : private noncopyable {
 public:
  // Takes ownership of r. `sending`: the name of this client's sending list; empty
  // means "<q>:sending".
  explicit fetcher_t(redis_helper_t* r, const std::string& sending = std::string());
  ~fetcher_t();

  // Takes up to count orders from the head of q (count at most MAX_BATCH), all in one
  // round trip, and appends them to *orders in list order; returns how many, 0 when the
  // list is empty. Blocks while Redis does not answer; returns 0 at once when a stop is
  // requested. An empty element is an order like any other.
  size_t fetch(const char* q, size_t count, std::vector<std::string>* orders);

  // Orders that must not be sent go, unchanged, to the tail of the dead-letter list of q
  // (see dead_letter_name); the caller settles them after. Waits for Redis like fetch;
  // once a stop is requested it makes one short attempt instead (see give_back). 0 when
  // stored; 1 when handed to Redis without confirmation; -1 when not stored (Redis away,
  // or it refused the push because the name holds something other than a list).
  int dead_letter(const char* q, const std::string& order);

  // The order in hand is done with: it leaves the sending list. Waits for Redis like
  // dead_letter, with the same results; a removal Redis refuses is tried again once a
  // second until it takes it or a stop is requested.
  int settle(const char* q, const std::string& order);
  // Settles orders of the last fetch, given in the order taken, as settle does each one;
  // the result of the last settle made. Once a stop is requested, the first removal Redis
  // does not confirm ends it: the rest stay in the sending list, for the next start to
  // send again, rather than holding the stop for a wait on every order.
  int settle_all(const char* q, const std::vector<std::string>& orders);

  // Puts the last count orders in hand, which could not be sent, back at the head of q in
  // their order, so they are the next ones taken; the orders of the same fetch before them
  // are to be settled first. Meant for a stopping program: one attempt (and one
  // reconnect) that waits at most STOPPING_WAIT_MS for each reply, however Redis behaves.
  // 0 when done; 1 when the commands reached a Redis that did not answer in time (a
  // frozen server carries them out once it runs again, and a later run recovers the
  // orders anyway); -1 otherwise.
  int give_back(const char* q, size_t count);

  enum { STOPPING_WAIT_MS = 300, MAX_BATCH = 64 };

  // "<q>:dead": the dead-letter list of the queue q.
  static std::string dead_letter_name(const char* q);
  // The list of this client's orders in hand taken from q.
  std::string sending_name(const char* q) const;

  redis_helper_t* _r;

 private:
  bool wait_for_redis(const char* q);  // false when a stop came first
  bool last_command_failed() const;
  bool recover(const char* q);  // false when Redis failed meanwhile
  int once_while_stopping(const std::function<int()>& command);
  int until_answered(const char* q, const std::function<int()>& command);

  void report_refusal(const char* q);
  void forget_settled(const std::string& sending);  // drops recently settled orders from it
  void remember_settled(const std::string& order);

  bool recover_;  // the sending list is to be emptied into q before the next take
  std::string sending_;
  int connects_;  // connections made to Redis so far
  int taken_on_;  // connects_ when the orders in hand were taken
  struct settled_s {
    TRedisAddress on;  // the server it was settled on
    std::string order;
  };
  std::deque<settled_s> settled_;  // the last orders settled, newest last
  TRedisAddress logged_server_;    // the server last named in the log
  std::string reported_refusal_;   // the refusal of a take last logged, and when
  time_t refusal_reported_at_ = 0;
  enum { KEEP_SETTLED = MAX_BATCH };
};

#endif
