#include "auth/client_auth.h"

#include <stdlib.h>
#include <time.h>

#include <memory>
#include <unordered_map>

#include "auth/signature_pool.h"

#include "metrics/registry.h"

namespace hall_auth {

namespace {

std::unique_ptr<CTokenChecker> g_checker;
uint64_t g_counts[AUTH_RESULTS];
// The waiters of the checks whose signatures are with the pool, by ticket.
std::unordered_map<uint64_t, CAuthWaiter*> g_waiting;
std::unique_ptr<CSignaturePool> g_pool;

TAuthResult counted(TAuthResult result) {
  ++g_counts[result];
  return result;
}

// A signature checked: the rest of the check, then the verdict to its waiter.
void signature_done(std::unique_ptr<CSignatureJob> job) {
  auto it = g_waiting.find(job->_ticket);
  if (it == g_waiting.end()) return;
  CAuthWaiter* waiter = it->second;
  g_waiting.erase(it);
  int client_id = 0;
  const TAuthResult result =
      counted(job->_valid ? g_checker->check_tail(job->_token, time(nullptr), &client_id) : AUTH_BAD_SIGNATURE);
  waiter->auth_verdict(result, client_id);
}

}  // namespace

std::shared_ptr<const CKeyRing> load_keys(const std::string& keys_file, std::string* why) {
  std::shared_ptr<CKeyRing> keys = std::make_shared<CKeyRing>();
  if (!keys->load(keys_file, false, why)) return nullptr;
  return keys;
}

void client_auth_start(std::shared_ptr<const CKeyRing> keys, int max_ttl) {
  std::unique_ptr<CTokenChecker> checker(new CTokenChecker());
  checker->use(std::move(keys), max_ttl);
  // The pool's jobs point at the keys of the checker they were read with.
  client_auth_stop();
  g_checker = std::move(checker);
}

TAuthResult client_auth_check(std::string_view token, int* client_id) {
  return counted(g_checker ? g_checker->check(token, time(nullptr), client_id) : AUTH_MALFORMED);
}

uint64_t client_auth_begin(CPollerUnit* loop, std::string_view token, CAuthWaiter* waiter, TAuthResult* result,
                           int* client_id) {
  if (!g_checker) {
    *result = counted(AUTH_MALFORMED);
    return 0;
  }
  std::unique_ptr<CSignatureJob> job(new CSignatureJob());
  job->_text.assign(token.data(), token.size());
  *result = g_checker->check_head(job->_text, &job->_token, &job->_key);
  if (*result != AUTH_OK) {
    counted(*result);
    return 0;
  }
  if (!g_pool) {
    g_pool.reset(new CSignaturePool(signature_done));
    // However the process ends, the threads end before OpenSSL's own clean-up at exit
    // (registered before this), which would otherwise leave their state behind.
    static bool stop_at_exit = atexit(client_auth_stop) == 0;
    (void)stop_at_exit;
  }
  const uint64_t ticket = g_pool->submit(loop, std::move(job));
  if (ticket == 0) {
    // Without verifying threads the loop checks the token itself.
    *result = client_auth_check(token, client_id);
    return 0;
  }
  g_waiting.emplace(ticket, waiter);
  return ticket;
}

void client_auth_cancel(uint64_t ticket) {
  if (ticket != 0) g_waiting.erase(ticket);
}

void client_auth_stop() {
  g_pool.reset();
  g_waiting.clear();
}

uint64_t client_auth_count(int result) { return result >= 0 && result < AUTH_RESULTS ? g_counts[result] : 0; }

void register_metrics() {
  hall_metrics::CMetricsRegistry::add(
      "hall_client_auth_total", "counter", "Client token checks, by result.", [](hall_metrics::CExposition& e) {
        for (int r = 0; r < AUTH_RESULTS; ++r)
          e.sample("hall_client_auth_total", std::string("result=\"") + result_name(r) + "\"",
                   static_cast<unsigned long long>(client_auth_count(r)));
      });
}

}  // namespace hall_auth
