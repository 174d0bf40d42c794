// Bounds on what a Redis or Sentinel server may send, for both programs: a hostile or
// broken server must make neither grow without limit nor wait for ever. hiredis 0.14,
// the version this system builds with, takes a bulk string of any announced length and
// arrays of up to INT_MAX elements, and its reader's maxbuf only says when an emptied
// buffer is freed (it keeps hiredis's 16 KB default). So the element bound is checked as
// the reader makes an array, before anything is allocated for the elements, and the byte
// bound on what the reader holds of an unfinished reply after every read. A whole reply
// is waited for against one deadline, not one time-out per read, so that a server that
// trickles bytes cannot hold a caller.
#ifndef HALL_SENTINEL_REDIS_BOUNDS_H
#define HALL_SENTINEL_REDIS_BOUNDS_H

#include <stddef.h>

#include <string>

struct redisContext;
struct redisReader;
struct redisReply;

// No reply of this system holds more elements: the largest is ROLE on a master, which
// lists its replicas.
const long long kRedisMaxElements = 4096;
// What a sentinel's answers and ROLE may take.
const size_t kSentinelReplyBytes = 64 * 1024;

inline bool redis_array_allowed(long long elements) { return elements <= kRedisMaxElements; }
// Bytes the reader holds of a reply that is not whole yet.
size_t reader_pending(const redisReader* r);

// How a bounded wait for a reply ended.
enum TReplyEnd { kReplyWhole, kReplyTimedOut, kReplyStopped, kReplyTooLarge, kReplyFailed };

// A blocking context connected to ip:port within timeout_ms, waited for in slices of at
// most 50 ms so that `stop` (when given) is heard at once, its reader bounded in elements.
// Null when no context could be made; otherwise check c->err as after redisConnect.
redisContext* bounded_connect(const std::string& ip, int port, int timeout_ms, bool (*stop)() = nullptr);
// The next reply owed on `c` (one the reader holds already, or one read now), whole
// within timeout_ms (0: no limit) and at most max_bytes. Null otherwise, with the reason
// in *end (when given) and c->err set: the connection is of no further use then. A reply
// past a bound is logged at level 3.
redisReply* bounded_reply(redisContext* c, int timeout_ms, size_t max_bytes, bool (*stop)() = nullptr,
                          TReplyEnd* end = nullptr);
// One command (redisCommand's format) written, and its reply read as bounded_reply does.
redisReply* bounded_command(redisContext* c, int timeout_ms, size_t max_bytes, bool (*stop)(), const char* format, ...);

#endif
