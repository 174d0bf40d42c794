#include "client_auth.h"

#include <time.h>

#include <memory>

namespace hall_auth {

namespace {

std::unique_ptr<CTokenChecker> g_checker;
uint64_t g_counts[AUTH_RESULTS];

}  // namespace

bool keys_file_usable(const std::string& keys_file, std::string* why) {
  CKeyRing keys;
  return keys.load(keys_file, false, why);
}

bool client_auth_start(const std::string& keys_file, int max_ttl, std::string* why) {
  std::unique_ptr<CTokenChecker> checker(new CTokenChecker());
  if (!checker->load(keys_file, max_ttl, why)) return false;
  g_checker = std::move(checker);
  return true;
}

TAuthResult client_auth_check(std::string_view token, int* client_id) {
  const TAuthResult result = g_checker ? g_checker->check(token, time(nullptr), client_id) : AUTH_MALFORMED;
  ++g_counts[result];
  return result;
}

uint64_t client_auth_count(int result) { return result >= 0 && result < AUTH_RESULTS ? g_counts[result] : 0; }

}  // namespace hall_auth
