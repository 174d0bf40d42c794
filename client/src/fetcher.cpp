#include "fetcher.h"

#include "run_control.h"

fetcher_t::fetcher_t(redis_helper_t* r) : _r(r) {}

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
    if (!wait_for_redis()) return -1;
    int len = _r->EnqueueBytes(name, order);
    if (!last_command_failed()) return len >= 1 ? 0 : -1;  // 0: an error reply (wrong type)
  }
}

int fetcher_t::give_back(const char* q, const std::string& order) {
  if (_r == nullptr || !_r->ping()) return -1;
  int len = _r->Requeue(q, order);
  return (!last_command_failed() && len >= 1) ? 0 : -1;
}
