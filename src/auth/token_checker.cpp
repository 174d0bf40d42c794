#include "token_checker.h"

namespace hall_auth {

namespace {

const char* const kResultNames[AUTH_RESULTS] = {"ok",      "malformed",    "unknown_key", "bad_signature",
                                                "expired", "ttl_too_long", "replayed"};

}  // namespace

const char* result_name(int result) { return result >= 0 && result < AUTH_RESULTS ? kResultNames[result] : "?"; }

void ReplayCache::forget_expired(int64_t now) {
  while (!by_expiry_.empty() && by_expiry_.begin()->first < now) {
    by_key_.erase(by_expiry_.begin()->second);
    by_expiry_.erase(by_expiry_.begin());
  }
}

bool ReplayCache::remember(std::string_view kid, std::string_view nonce, int64_t expires, int64_t now) {
  forget_expired(now);
  // A dot never occurs in a kid or a nonce.
  std::string key;
  key.reserve(kid.size() + 1 + nonce.size());
  key.append(kid).append(1, '.').append(nonce);
  if (by_key_.count(key) != 0) return false;
  if (capacity_ == 0) return true;
  if (by_key_.size() >= capacity_) {
    by_key_.erase(by_expiry_.begin()->second);
    by_expiry_.erase(by_expiry_.begin());
    ++evictions_;
  }
  by_expiry_.emplace(expires, key);
  by_key_.emplace(std::move(key), expires);
  return true;
}

bool TokenChecker::load(const std::string& keys_file, int max_ttl, std::string* why) {
  max_ttl_ = max_ttl;
  return keys_.load(keys_file, false, why);
}

TAuthResult TokenChecker::check(std::string_view text, int64_t now, int* client_id) {
  TToken t;
  EVP_PKEY* key = nullptr;
  const TAuthResult head = check_head(text, &t, &key);
  if (head != AUTH_OK) return head;
  if (!verify_signature(key, t.signed_part, t.sig)) return AUTH_BAD_SIGNATURE;
  return check_tail(t, now, client_id);
}

TAuthResult TokenChecker::check_head(std::string_view text, TToken* t, EVP_PKEY** key) const {
  if (!read_token(text, t)) return AUTH_MALFORMED;
  *key = keys_.find(t->kid);
  return *key == nullptr ? AUTH_UNKNOWN_KEY : AUTH_OK;
}

TAuthResult TokenChecker::check_tail(const TToken& t, int64_t now, int* client_id) {
  if (t.expires < now) return AUTH_EXPIRED;
  if (t.expires - now > max_ttl_) return AUTH_TTL_TOO_LONG;
  if (!replays_.remember(t.kid, t.nonce, t.expires, now)) return AUTH_REPLAYED;
  *client_id = t.client_id;
  return AUTH_OK;
}

}  // namespace hall_auth
