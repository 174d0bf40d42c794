#include "fetcher.h"

#include "log.h"
#include "run_control.h"

fetcher_t::fetcher_t(redis_helper_t* r, const std::string& sending)
    : _r(r), recover_(true), sending_(sending), connects_(0), taken_on_(0) {
  if (_r != nullptr) _r->cancel = stop_requested;
}

fetcher_t::~fetcher_t() {
  // The helper's destructor frees a pending reply, then the connection.
  delete _r;
  _r = nullptr;
}

std::string fetcher_t::dead_letter_name(const char* q) { return std::string(q) + ":dead"; }
std::string fetcher_t::sending_name(const char* q) const {
  return sending_.empty() ? std::string(q) + ":sending" : sending_;
}

bool fetcher_t::wait_for_redis(const char* q) {
  _r->clear_refusal();
  while (!_r->ping()) {
    // A server that answers, but with an error (a password required, an ACL), would
    // otherwise hold the client here without a word.
    report_refusal(q);
    _r->clear_refusal();
    if (stop_requested()) return false;
    nap_ms(1000);
    if (stop_requested()) return false;
    _r->Connect();
    ++connects_;
    recover_ = true;
  }
  const TRedisAddress& now = _r->server();
  if (!_r->sentinels.empty() && (now.ip != logged_server_.ip || now.port != logged_server_.port)) {
    logged_server_ = now;
    log_notice("redis master %s:%d", now.ip.c_str(), now.port);
  }
  return true;
}

// Orders settled on another server than this one: their removal from the sending list
// may not have been replicated here.
void fetcher_t::forget_settled(const std::string& sending) {
  const TRedisAddress& now = _r->server();
  for (const settled_s& s : settled_)
    if ((s.on.ip != now.ip || s.on.port != now.port) && _r->Remove(sending, s.order) < 0) return;
  settled_.clear();
}

bool fetcher_t::last_command_failed() const { return _r->context == nullptr || _r->context->err != 0; }

// Orders in the sending list are not in hand (an earlier run left them, or the reply
// that took them was lost): they go back to the head of q, oldest first. A move without
// a reply, or one Redis refuses, leaves the rest for the next take to try again, so that
// no order taken later goes out before them.
bool fetcher_t::recover(const char* q) {
  const std::string sending = sending_name(q);
  if (recover_ && !settled_.empty()) forget_settled(sending);
  if (last_command_failed()) return false;
  for (int i = 0; recover_ && i < 1000; ++i) {
    const int moved = _r->MoveTailToHead(sending, q);
    if (moved < 0) return false;
    if (moved == 0) recover_ = false;
  }
  return !recover_;
}

// A connection whose last command was answered is taken on without a ping: should the
// take fail on it, a second attempt pings, reconnects and recovers as the first one
// would have. The ping would cost one more round trip per take.
size_t fetcher_t::fetch(const char* q, size_t count, std::vector<std::string>* orders) {
  const size_t before = orders->size();
  if (_r != nullptr) _r->clear_refusal();
  for (int attempt = 0; _r != nullptr && attempt < 2; ++attempt) {
    const bool answered = attempt == 0 && !last_command_failed();
    if (!answered && !wait_for_redis(q)) break;
    if (!recover(q)) continue;
    // Orders whose take was answered are in hand even when a later reply is missing;
    // the takes without a reply are recovered after the reconnect.
    const size_t replies = _r->MoveHeadsToTail(q, sending_name(q), count, orders);
    taken_on_ = connects_;
    if (orders->size() > before || replies == count) break;
  }
  report_refusal(q);
  return orders->size() - before;
}

// A Redis that answers the takes with errors (no LMOVE before Redis 6.2, out of memory, an
// ACL) would leave the client idle without a word: the error is logged when it first
// comes, when it changes, and once a minute while it lasts.
void fetcher_t::report_refusal(const char* q) {
  if (_r == nullptr || _r->refusal().empty()) return;
  const time_t now = time(nullptr);
  if (_r->refusal() == reported_refusal_ && now >= refusal_reported_at_ && now - refusal_reported_at_ < 60) return;
  reported_refusal_ = _r->refusal();
  refusal_reported_at_ = now;
  log_error("redis refused to take orders from %s: %s", q, reported_refusal_.c_str());
}

// Runs one command the way a stopping program must: whatever Redis does, it waits at most
// STOPPING_WAIT_MS for the connection and for the reply (one reconnect allowed).
int fetcher_t::once_while_stopping(const std::function<int()>& command) {
  const int saved_wait = _r->command_timeout_ms;
  bool (*const saved_cancel)() = _r->cancel;
  const timeval saved_connect = _r->timeout;
  _r->command_timeout_ms = STOPPING_WAIT_MS;
  _r->cancel = nullptr;
  _r->timeout = {0, STOPPING_WAIT_MS * 1000};
  int result = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (last_command_failed() && _r->Connect() != 0) break;
    const int r = command();
    if (_r->gave_up()) {
      result = 1;
      break;
    }
    if (!last_command_failed()) {
      result = r;
      break;
    }
  }
  _r->command_timeout_ms = saved_wait;
  _r->cancel = saved_cancel;
  _r->timeout = saved_connect;
  return result;
}

// Runs a command until Redis has answered it; once a stop is requested, one short
// attempt instead. 0 or -1 as the command says, 1 when Redis did not confirm it.
int fetcher_t::until_answered(const char* q, const std::function<int()>& command) {
  for (;;) {
    if (stop_requested()) return once_while_stopping(command);
    if (!wait_for_redis(q)) continue;
    const int r = command();
    if (_r->gave_up()) return 1;  // cut short by a stop: Redis may still carry it out
    if (!last_command_failed()) return r;
  }
}

int fetcher_t::dead_letter(const char* q, const std::string& order) {
  if (_r == nullptr) return -1;
  const std::string name = dead_letter_name(q);
  // 0 from the push is an error reply: the name holds something other than a list.
  return until_answered(q, [&] { return _r->EnqueueBytes(name, order) >= 1 ? 0 : -1; });
}

void fetcher_t::remember_settled(const std::string& order) {
  settled_.push_back({_r->server(), order});
  if (settled_.size() > KEEP_SETTLED) settled_.pop_front();
}

// A removal Redis refuses (an error reply: writes refused after a failed snapshot, an ACL)
// is tried again once a second: an order left in the sending list would be recovered and
// sent a second time after the next reconnect.
int fetcher_t::settle(const char* q, const std::string& order) {
  if (_r == nullptr) return -1;
  const std::string sending = sending_name(q);
  int r = -1;
  for (bool logged = false;; logged = true) {
    r = until_answered(q, [&] {
      const int removed = _r->Remove(sending, order);
      if (removed != 0 || taken_on_ == connects_) return removed >= 0 ? 0 : -1;
      return _r->Remove(q, order) >= 0 ? 0 : -1;  // the take never reached this Redis
    });
    if (r >= 0 || stop_requested()) break;
    if (!logged)
      log_error("redis refused to settle an order (%zu bytes) in %s; retrying", order.size(), sending.c_str());
    nap_ms(1000);
  }
  remember_settled(order);
  return r;
}

// On the connection of the take, every removal goes out in one round trip; an order
// whose removal was not answered or was refused, those after it, and every order once
// the connection was remade or a stop requested, are settled alone.
int fetcher_t::settle_all(const char* q, const std::vector<std::string>& orders) {
  if (_r == nullptr) return -1;
  size_t done = 0;
  if (orders.size() > 1 && taken_on_ == connects_ && !stop_requested() && !last_command_failed()) {
    done = _r->RemoveEach(sending_name(q), orders);
    for (size_t i = 0; i < done; ++i) remember_settled(orders[i]);
  }
  int r = 0;
  for (size_t i = done; i < orders.size(); ++i) {
    r = settle(q, orders[i]);
    if (r != 0 && stop_requested()) break;
  }
  return r;
}

int fetcher_t::give_back(const char* q, size_t count) {
  if (_r == nullptr) return -1;
  const std::string sending = sending_name(q);
  return once_while_stopping([&] {
    std::vector<std::string> moved;
    _r->MoveTailsToHead(sending, q, count, &moved);
    return moved.size() == count ? 0 : -1;
  });
}
