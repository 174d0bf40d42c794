#include "sentinel/redis_bounds.h"

#include <errno.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>

#include "log.h"

namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void fail(redisContext* c, int err, const char* why) {
  c->err = err;
  snprintf(c->errstr, sizeof(c->errstr), "%s", why);
}

// hiredis's own reply builders, but for arrays past kRedisMaxElements: refused, which
// fails the read ("Out of memory" in hiredis's words) before the element table exists.
const redisReplyObjectFunctions* g_plain = nullptr;
redisReplyObjectFunctions g_bounded;

void bound_reader(redisReader* r) {
  if (g_plain == nullptr) {
    g_plain = r->fn;
    g_bounded = *g_plain;
    g_bounded.createArray = [](const redisReadTask* t, int n) -> void* {
      if (!redis_array_allowed(n)) {
        log_error("redis reply of an array of %d elements (more than %lld): connection dropped", n, kRedisMaxElements);
        return nullptr;
      }
      return g_plain->createArray(t, n);
    };
  }
  if (r->fn == g_plain) r->fn = &g_bounded;
}

// Waits in slices of at most 50 ms for `events` on fd until deadline (0: none). 1 when
// ready, 0 when the time passed, -1 when stop said so.
int wait_for(int fd, short events, long long deadline, bool (*stop)()) {
  for (;;) {
    if (stop != nullptr && stop()) return -1;
    int slice = 50;
    if (deadline != 0) {
      const long long left = deadline - now_ms();
      if (left <= 0) return 0;
      if (left < slice) slice = static_cast<int>(left);
    }
    pollfd p = {fd, events, 0};
    if (poll(&p, 1, slice) > 0) return 1;  // ready, or an error the next call reports
  }
}

}  // namespace

size_t reader_pending(const redisReader* r) { return r == nullptr || r->len < r->pos ? 0 : r->len - r->pos; }

redisContext* bounded_connect(const std::string& ip, int port, int timeout_ms, bool (*stop)()) {
  redisContext* c = redisConnectNonBlock(ip.c_str(), port);
  if (c == nullptr || c->err != 0) return c;
  const int ready = wait_for(c->fd, POLLOUT, now_ms() + timeout_ms, stop);
  int err = 0;
  socklen_t len = sizeof(err);
  if (ready <= 0) {
    fail(c, REDIS_ERR_IO, ready == 0 ? "connect timed out" : "stopped");
  } else if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    fail(c, REDIS_ERR_IO, "connect failed");
  } else {
    // From here on the context is used as redisConnect makes it: blocking.
    const int flags = fcntl(c->fd, F_GETFL);
    if (flags < 0 || fcntl(c->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) fail(c, REDIS_ERR_IO, "fcntl failed");
    c->flags |= REDIS_BLOCK;
  }
  bound_reader(c->reader);
  return c;
}

redisReply* bounded_reply(redisContext* c, int timeout_ms, size_t max_bytes, bool (*stop)(), TReplyEnd* end) {
  TReplyEnd local;
  if (end == nullptr) end = &local;
  *end = kReplyFailed;
  if (c == nullptr || c->err != 0) return nullptr;
  bound_reader(c->reader);
  const long long deadline = timeout_ms > 0 ? now_ms() + timeout_ms : 0;
  void* reply = nullptr;
  if (redisGetReplyFromReader(c, &reply) != REDIS_OK) return nullptr;
  while (reply == nullptr) {
    const int ready = wait_for(c->fd, POLLIN, deadline, stop);
    if (ready <= 0) {
      *end = ready == 0 ? kReplyTimedOut : kReplyStopped;
      fail(c, REDIS_ERR_IO, ready == 0 ? "reply timed out" : "stopped");
      return nullptr;
    }
    if (redisBufferRead(c) != REDIS_OK || redisGetReplyFromReader(c, &reply) != REDIS_OK) return nullptr;
    if (reply == nullptr && reader_pending(c->reader) > max_bytes) {
      log_error("redis %s:%d: reply past %zu bytes: connection dropped", c->tcp.host != nullptr ? c->tcp.host : "?",
                c->tcp.port, max_bytes);
      *end = kReplyTooLarge;
      fail(c, REDIS_ERR_OTHER, "reply too large");
      return nullptr;
    }
  }
  *end = kReplyWhole;
  return static_cast<redisReply*>(reply);
}

redisReply* bounded_command(redisContext* c, int timeout_ms, size_t max_bytes, bool (*stop)(), const char* format,
                            ...) {
  if (c == nullptr || c->err != 0) return nullptr;
  va_list ap;
  va_start(ap, format);
  const int appended = redisvAppendCommand(c, format, ap);
  va_end(ap);
  if (appended != REDIS_OK) return nullptr;
  int done = 0;
  do {
    if (redisBufferWrite(c, &done) != REDIS_OK) return nullptr;
  } while (!done);
  return bounded_reply(c, timeout_ms, max_bytes, stop);
}
