#include "RedisHelper.h"

#include "sentinel/redis_bounds.h"

#include <stdarg.h>
#include <time.h>

CRedisHelper::CRedisHelper()
    : context(nullptr),
      reply(nullptr),
      timeout{0, 0},
      port_(0),
      command_timeout_ms(0),
      cancel(nullptr),
      gave_up_(false) {}

CRedisHelper::~CRedisHelper() {
  release_reply();
  drop_context();
}

void CRedisHelper::release_reply() {
  if (reply != nullptr) {
    freeReplyObject(reply);
    reply = nullptr;
  }
}

void CRedisHelper::drop_context() {
  if (context != nullptr) {
    redisFree(context);
    context = nullptr;
  }
}

int CRedisHelper::Connect(const char* host, const unsigned short& port, unsigned short second) {
  timeval tv;
  tv.tv_sec = second;
  tv.tv_usec = 0;
  return connect_with(host, port, tv);
}

int CRedisHelper::Connect() {
  if (!sentinels.empty()) return connect_through_sentinels(timeout);
  return connect_with(host_.c_str(), port_, timeout);
}

// Each sentinel in turn, until one names a server that says it is the master. Every
// connect and every answer waits at most `tv`; a stop request ends the search.
int CRedisHelper::connect_through_sentinels(const timeval& tv) {
  release_reply();
  drop_context();
  TRedisAddress master;
  context = connect_to_master(sentinels, master_name, tv, &master, cancel);
  if (context == nullptr) return 1;
  server_ = master;
  // The connection keeps the command time-out of an ordinary one.
  if (command_timeout_ms > 0) redisSetTimeout(context, command_deadline());
  return 0;
}

int CRedisHelper::connect_with(const char* host, unsigned short port, const timeval& tv) {
  release_reply();
  drop_context();
  server_.ip = host;
  server_.port = port;
  context = bounded_connect(host, port, static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000), cancel);
  if (context == nullptr) return 1;
  // The socket's own time-outs bound the reading of a reply that arrives in pieces and
  // the writing of a command; await_reply bounds the wait for its first byte.
  if (context->err == 0 && command_timeout_ms > 0) redisSetTimeout(context, command_deadline());
  return 0;
}

timeval CRedisHelper::command_deadline() const {
  timeval ct;
  ct.tv_sec = command_timeout_ms / 1000;
  ct.tv_usec = (command_timeout_ms % 1000) * 1000;
  return ct;
}

bool CRedisHelper::write_commands() {
  int done = 0;
  do {
    if (redisBufferWrite(context, &done) != REDIS_OK) return false;
  } while (!done);
  return true;
}

// The next reply owed on the connection: one already read (a pipeline's replies often
// arrive together) or one waited for as await_reply allows.
redisReply* CRedisHelper::next_reply() {
  TReplyEnd end = kReplyFailed;
  void* r = bounded_reply(context, command_timeout_ms, MAX_REPLY_BYTES, cancel, &end);
  if (r == nullptr) {
    gave_up_ = end == kReplyTimedOut || end == kReplyStopped;
    drop_context();  // a reply still owed would answer the next command
    return nullptr;
  }
  if (lost_master_reply(static_cast<redisReply*>(r))) {
    // A replica or a loading server carried nothing out: the master is to be found again.
    freeReplyObject(r);
    drop_context();
    return nullptr;
  }
  const redisReply* reply = static_cast<redisReply*>(r);
  if (reply->type == REDIS_REPLY_ERROR && reply->str != nullptr) refusal_.assign(reply->str, reply->len);
  return static_cast<redisReply*>(r);
}

redisReply* CRedisHelper::command(const char* format, ...) {
  gave_up_ = false;
  if (context == nullptr || context->err != 0) return nullptr;
  va_list ap;
  va_start(ap, format);
  const int appended = redisvAppendCommand(context, format, ap);
  va_end(ap);
  if (appended != REDIS_OK || !write_commands()) return nullptr;
  return next_reply();
}

size_t CRedisHelper::pipeline(size_t count, const std::function<int(size_t)>& append,
                              const std::function<void(size_t, const redisReply*)>& take) {
  gave_up_ = false;
  if (context == nullptr || context->err != 0) return 0;
  for (size_t i = 0; i < count; ++i) {
    if (append(i) != REDIS_OK) {
      drop_context();  // the commands appended so far must not go out with the next one
      return 0;
    }
  }
  if (!write_commands()) return 0;
  for (size_t i = 0; i < count; ++i) {
    redisReply* r = next_reply();
    if (r == nullptr) return i;
    take(i, r);
    freeReplyObject(r);
  }
  return count;
}

bool CRedisHelper::ping() {
  reply = command("ping");
  if (reply == nullptr) return false;
  bool pong =
      reply->type == REDIS_REPLY_STATUS && reply->str != nullptr && std::string(reply->str, reply->len) == "PONG";
  release_reply();
  return pong;
}

int CRedisHelper::integer_command(const char* format, const std::string& a, const std::string& b) {
  reply = command(format, a.c_str(), b.c_str());
  if (reply == nullptr) return 1;
  int result = static_cast<int>(reply->integer);
  release_reply();
  return result;
}

int CRedisHelper::integer_command_bytes(const char* format, const std::string& a, const std::string& b) {
  reply = command(format, a.c_str(), b.data(), b.size());
  if (reply == nullptr) return 1;
  int result = static_cast<int>(reply->integer);
  release_reply();
  return result;
}

// Value becomes the text of the reply in hand when it is a string; true then.
bool CRedisHelper::take_text(std::string& value) {
  if (reply == nullptr) return false;
  const bool text = reply->type == REDIS_REPLY_STRING;
  if (text) value.assign(reply->str, reply->len);
  release_reply();
  return text;
}

void CRedisHelper::string_command(const char* format, const std::string& a, std::string& value) {
  reply = command(format, a.c_str());
  take_text(value);
}

int CRedisHelper::Set(const std::string& key, const std::string& value) {
  return integer_command("SET %s %s", key, value);
}

int CRedisHelper::Enqueue(const std::string& queue, const std::string& value) {
  return integer_command("rpush %s %s", queue, value);
}

int CRedisHelper::Push(const std::string& stack, const std::string& value) {
  return integer_command("rpush %s %s", stack, value);
}

int CRedisHelper::EnqueueBytes(const std::string& queue, const std::string& value) {
  return integer_command_bytes("rpush %s %b", queue, value);
}

int CRedisHelper::Requeue(const std::string& queue, const std::string& value) {
  return integer_command_bytes("lpush %s %b", queue, value);
}

void CRedisHelper::Dequeue(const std::string& queue, std::string& value) { string_command("lpop %s", queue, value); }

void CRedisHelper::Pop(const std::string& stack, std::string& value) { string_command("rpop %s", stack, value); }

void CRedisHelper::Get(const std::string& key, std::string& value) { string_command("GET %s", key, value); }

bool CRedisHelper::move(const char* format, const std::string& from, const std::string& to, std::string& value) {
  reply = command(format, from.c_str(), to.c_str());
  return take_text(value);
}

bool CRedisHelper::MoveHeadToTail(const std::string& from, const std::string& to, std::string& value) {
  return move("LMOVE %s %s LEFT RIGHT", from, to, value);
}

int CRedisHelper::MoveTailToHead(const std::string& from, const std::string& to) {
  reply = command("LMOVE %s %s RIGHT LEFT", from.c_str(), to.c_str());
  if (reply == nullptr) return -1;
  const int moved = reply->type == REDIS_REPLY_STRING ? 1 : reply->type == REDIS_REPLY_NIL ? 0 : -1;
  release_reply();
  return moved;
}

size_t CRedisHelper::move_many(const char* format, const std::string& from, const std::string& to, size_t count,
                               std::vector<std::string>* values) {
  return pipeline(
      count, [&](size_t) { return redisAppendCommand(context, format, from.c_str(), to.c_str()); },
      [&](size_t, const redisReply* r) {
        if (r->type == REDIS_REPLY_STRING) values->emplace_back(r->str, r->len);
      });
}

size_t CRedisHelper::MoveHeadsToTail(const std::string& from, const std::string& to, size_t count,
                                     std::vector<std::string>* values) {
  return move_many("LMOVE %s %s LEFT RIGHT", from, to, count, values);
}

size_t CRedisHelper::MoveTailsToHead(const std::string& from, const std::string& to, size_t count,
                                     std::vector<std::string>* values) {
  return move_many("LMOVE %s %s RIGHT LEFT", from, to, count, values);
}

size_t CRedisHelper::RemoveEach(const std::string& list, const std::vector<std::string>& values) {
  size_t confirmed = 0;  // leading removals answered with a count, not with an error
  pipeline(
      values.size(),
      [&](size_t i) {
        return redisAppendCommand(context, "LREM %s 1 %b", list.c_str(), values[i].data(), values[i].size());
      },
      [&](size_t i, const redisReply* r) {
        if (confirmed == i && r->type == REDIS_REPLY_INTEGER) ++confirmed;
      });
  return confirmed;
}

int CRedisHelper::Remove(const std::string& list, const std::string& value) {
  reply = command("LREM %s 1 %b", list.c_str(), value.data(), value.size());
  if (reply == nullptr) return -1;
  const int removed = reply->type == REDIS_REPLY_INTEGER ? static_cast<int>(reply->integer) : -1;
  release_reply();
  return removed;
}
