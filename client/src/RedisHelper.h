// One synchronous Redis connection with string, queue and stack operations. The order
// fetcher owns one and pops orders from a list with it. Thin on purpose: no retry, no
// pooling, no log lines; failures show only in the results. Not copyable; used from one
// thread. Whoever constructs it sets host_, port_ and timeout before calling Connect().
//
// A command waits for its whole reply at most command_timeout_ms (0: as long as it
// takes), however slowly it comes, and no longer once cancel (when set) returns true; a
// connect waits as long as the connect time-out, and no longer than cancel allows either.
// Replies are bounded (MAX_REPLY_BYTES, kRedisMaxElements). A command that gave up that way closes
// the connection (its reply may still come) and counts as one without a reply; ping()
// is then false until the next Connect().
//
// With sentinels set, Connect() finds the master itself: it asks each sentinel in turn
// for the address of master_name, connects there and keeps the connection only when
// ROLE answers "master"; each step waits at most the connect time-out. A READONLY or
// LOADING error reply (the server is a replica or not ready) closes the connection and
// counts as no reply, so that the next Connect() asks the sentinels again.
#ifndef ORDER_SYNC_REDISHELPER_H
#define ORDER_SYNC_REDISHELPER_H

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <functional>
#include <string>
#include <vector>

#include "noncopyable.h"
#include "sentinel/redis_sentinel.h"

class CRedisHelper : private noncopyable {
 public:
  CRedisHelper();
  ~CRedisHelper();  // frees a pending reply, then the connection

  // Drops any existing connection and connects with the given time-out in seconds.
  // Returns 1 when no connection object could be made, else 0: a refused connection
  // still yields one (with its error inside), so ask ping() whether the server answers.
  // The arguments are not stored.
  int Connect(const char* host, const unsigned short& port, unsigned short second);
  int Connect();  // the same with host_, port_ and timeout

  // True exactly when the server answers "PONG".
  bool ping();

  // Integer operations: 1 when no reply came back, else the reply's integer (0 for the
  // status reply of SET, the list length after a push).
  int Set(const std::string& key, const std::string& value);
  int Enqueue(const std::string& queue, const std::string& value);  // rpush
  int Push(const std::string& stack, const std::string& value);     // rpush

  // Text operations: value becomes the reply when it is a string and is left unchanged
  // otherwise (nil reply, error reply, no reply).
  void Dequeue(const std::string& queue, std::string& value);  // lpop: with Enqueue, FIFO
  void Pop(const std::string& stack, std::string& value);      // rpop: with Push, LIFO
  void Get(const std::string& key, std::string& value);

  // Moves between lists in one step (LMOVE), binary-safe. MoveHeadToTail takes the head
  // of from into value and appends it to to: true when an element moved (value may then
  // be empty); false when from was empty or there was no reply. MoveTailToHead puts the
  // tail of from in front of to: 1 when an element moved, 0 when from was empty, -1 when
  // there was no reply or Redis refused (an error reply: out of memory, wrong type...).
  bool MoveHeadToTail(const std::string& from, const std::string& to, std::string& value);
  int MoveTailToHead(const std::string& from, const std::string& to);
  // Removes the first element equal to value from list (LREM 1): the count removed, or
  // -1 when no reply came back.
  int Remove(const std::string& list, const std::string& value);

  // Pipelines: every command is written at once, then the replies are read in order, each
  // waited for as a single command's is. They return the number of replies read, fewer
  // than asked when the connection failed, a wait gave up or a server that is no master
  // answered (the commands after the last reply may still have been carried out).
  // MoveHeadsToTail sends count takes from the head of from to the tail of to (LMOVE) and
  // appends every element taken to values, in the order taken. RemoveEach removes the
  // first element equal to each of values from list (LREM 1) and returns how many of them,
  // from the first, Redis answered with a count (an error reply ends them). MoveTailsToHead
  // sends count moves of the tail of from to the head of to, the elements moved going to
  // values.
  size_t MoveHeadsToTail(const std::string& from, const std::string& to, size_t count,
                         std::vector<std::string>* values);
  size_t MoveTailsToHead(const std::string& from, const std::string& to, size_t count,
                         std::vector<std::string>* values);
  size_t RemoveEach(const std::string& list, const std::vector<std::string>& values);

  // Binary-safe pushes: the value travels whole, zero bytes included. EnqueueBytes
  // appends at the tail (rpush); Requeue puts a value back at the head (lpush), so that
  // it is the next one Dequeue returns. Results as for Enqueue.
  int EnqueueBytes(const std::string& queue, const std::string& value);
  int Requeue(const std::string& queue, const std::string& value);

  // Arguments travel as single command arguments; texts are taken up to their first
  // zero byte, except for the binary-safe pushes above.
  redisContext* context;
  redisReply* reply;  // reply of the command in progress, null between commands
  timeval timeout;    // connect time-out used by Connect()
  std::string host_;
  unsigned short port_;
  int command_timeout_ms;
  bool (*cancel)();
  std::vector<TRedisAddress> sentinels;  // empty: host_ and port_ are the server
  std::string master_name;               // the name the sentinels know the master by
  // The server of the open connection (or of the last one opened).
  const TRedisAddress& server() const { return server_; }

  // True when the last command gave up waiting (time-out or cancel): Redis may still
  // carry it out once it answers again.
  bool gave_up() const { return gave_up_; }
  // The largest reply taken: past it the connection is dropped (with a level-3 line), so
  // that a broken or hostile server cannot make this process grow without bound. Orders
  // above 8000 bytes cannot be sent and are set aside; this leaves room for texts many
  // times the largest seen. An order past it stays where it is, and the line says why.
  static const size_t MAX_REPLY_BYTES = 64u << 20;
  // The text of the last error reply Redis gave (a refusal: an unknown command, out of
  // memory, no permission), until cleared; empty when none came.
  const std::string& refusal() const { return refusal_; }
  void clear_refusal() { refusal_.clear(); }

 private:
  int connect_with(const char* host, unsigned short port, const timeval& tv);
  int connect_through_sentinels(const timeval& tv);
  timeval command_deadline() const;
  redisReply* command(const char* format, ...);
  bool write_commands();
  redisReply* next_reply();
  // Appends count commands (append(i) adds the i-th and returns REDIS_OK), writes them and
  // hands each reply, in order, to take(i, reply). The number of replies read.
  size_t pipeline(size_t count, const std::function<int(size_t)>& append,
                  const std::function<void(size_t, const redisReply*)>& take);
  size_t move_many(const char* format, const std::string& from, const std::string& to, size_t count,
                   std::vector<std::string>* values);
  void drop_context();
  int integer_command(const char* format, const std::string& a, const std::string& b);
  int integer_command_bytes(const char* format, const std::string& a, const std::string& b);
  void string_command(const char* format, const std::string& a, std::string& value);
  bool take_text(std::string& value);
  bool move(const char* format, const std::string& from, const std::string& to, std::string& value);
  void release_reply();

  bool gave_up_;
  std::string refusal_;
  TRedisAddress server_;
};

#endif
