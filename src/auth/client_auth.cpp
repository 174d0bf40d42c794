#include "client_auth.h"

#include <time.h>

#include <memory>

#include "metrics/registry.h"

namespace hall_auth {

namespace {

std::unique_ptr<CTokenChecker> g_checker;
uint64_t g_counts[AUTH_RESULTS];

}  // namespace

std::shared_ptr<const CKeyRing> load_keys(const std::string& keys_file, std::string* why) {
  std::shared_ptr<CKeyRing> keys = std::make_shared<CKeyRing>();
  if (!keys->load(keys_file, false, why)) return nullptr;
  return keys;
}

void client_auth_start(std::shared_ptr<const CKeyRing> keys, int max_ttl) {
  std::unique_ptr<CTokenChecker> checker(new CTokenChecker());
  checker->use(std::move(keys), max_ttl);
  g_checker = std::move(checker);
}

TAuthResult client_auth_check(std::string_view token, int* client_id) {
  const TAuthResult result = g_checker ? g_checker->check(token, time(nullptr), client_id) : AUTH_MALFORMED;
  ++g_counts[result];
  return result;
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
