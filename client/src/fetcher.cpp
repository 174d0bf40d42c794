#include "fetcher.h"

#include "run_control.h"

fetcher_t::fetcher_t(redis_helper_t* r) : _r(r) {
  if (_r != nullptr) _r->cancel = stop_requested;
}

fetcher_t::~fetcher_t() {
  // The helper's destructor frees a pending reply, then the connection.
  delete _r;
  _r = nullptr;
}

std::string fetcher_t::dead_letter_name(const char* q) { return std::string(q) + ":dead"; }

bool fetcher_t::wait_for_redis() {
  while (!_r->ping()) {
    if (stop_requested()) return false;
    nap_ms(1000);
    if (stop_requested()) return false;
    _r->Connect();
  }
  return true;
}

bool fetcher_t::last_command_failed() const { return _r->context == nullptr || _r->context->err != 0; }

std::string fetcher_t::fetch(const char* q, bool* popped) {
  std::string v;
  const bool taken = _r != nullptr && wait_for_redis() && _r->TakeHead(q, v);
  if (popped != nullptr) *popped = taken;
  return v;
}

int fetcher_t::dead_letter(const char* q, const std::string& order) {
  if (_r == nullptr) return -1;
  std::string name = dead_letter_name(q);
  for (;;) {
    if (stop_requested()) return push_once(name, order, false);
    if (!wait_for_redis()) continue;
    int len = _r->EnqueueBytes(name, order);
    if (_r->gave_up()) return 1;  // cut short by a stop: Redis may still store it
    if (!last_command_failed()) return len >= 1 ? 0 : -1;  // 0: an error reply (wrong type)
  }
}

int fetcher_t::give_back(const char* q, const std::string& order) {
  if (_r == nullptr) return -1;
  return push_once(q, order, true);
}

int fetcher_t::push_once(const std::string& list, const std::string& order, bool at_head) {
  const int saved_wait = _r->command_timeout_ms;
  bool (*const saved_cancel)() = _r->cancel;
  const timeval saved_connect = _r->timeout;
  _r->command_timeout_ms = STOPPING_WAIT_MS;
  _r->cancel = nullptr;
  _r->timeout = {0, STOPPING_WAIT_MS * 1000};
  int result = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (last_command_failed() && _r->Connect() != 0) break;
    const int len = at_head ? _r->Requeue(list, order) : _r->EnqueueBytes(list, order);
    if (_r->gave_up()) {
      result = 1;
      break;
    }
    if (!last_command_failed()) {
      result = len >= 1 ? 0 : -1;
      break;
    }
  }
  _r->command_timeout_ms = saved_wait;
  _r->cancel = saved_cancel;
  _r->timeout = saved_connect;
  return result;
}
