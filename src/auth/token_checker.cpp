#include "auth/token_checker.h"

namespace hall_auth {

namespace {

const char* const kResultNames[AUTH_RESULTS] = {"ok",      "malformed",    "unknown_key", "bad_signature",
                                                "expired", "ttl_too_long", "replayed"};

}  // namespace

const char* result_name(int result) { return result >= 0 && result < AUTH_RESULTS ? kResultNames[result] : "?"; }

void CReplayCache::forget_expired(int64_t now) {
  while (!_by_expiry.empty() && _by_expiry.begin()->first < now) {
    _by_key.erase(_by_expiry.begin()->second);
    _by_expiry.erase(_by_expiry.begin());
  }
}

bool CReplayCache::remember(std::string_view kid, std::string_view nonce, int64_t expires, int64_t now) {
  forget_expired(now);
  // A dot never occurs in a kid or a nonce.
  std::string key;
  key.reserve(kid.size() + 1 + nonce.size());
  key.append(kid).append(1, '.').append(nonce);
  if (_by_key.count(key) != 0) return false;
  if (_capacity == 0) return true;
  if (_by_key.size() >= _capacity) {
    _by_key.erase(_by_expiry.begin()->second);
    _by_expiry.erase(_by_expiry.begin());
    ++_evictions;
  }
  _by_expiry.emplace(expires, key);
  _by_key.emplace(std::move(key), expires);
  return true;
}

bool CTokenChecker::load(const std::string& keys_file, int max_ttl, std::string* why) {
  std::shared_ptr<CKeyRing> keys = std::make_shared<CKeyRing>();
  if (!keys->load(keys_file, false, why)) return false;
  use(std::move(keys), max_ttl);
  return true;
}

void CTokenChecker::use(std::shared_ptr<const CKeyRing> keys, int max_ttl) {
  _keys = std::move(keys);
  _max_ttl = max_ttl;
}

TAuthResult CTokenChecker::check(std::string_view text, int64_t now, int* client_id) {
  TToken t;
  EVP_PKEY* key = nullptr;
  const TAuthResult head = check_head(text, &t, &key);
  if (head != AUTH_OK) return head;
  if (!verify_signature(key, t.signed_part, t.sig)) return AUTH_BAD_SIGNATURE;
  return check_tail(t, now, client_id);
}

TAuthResult CTokenChecker::check_head(std::string_view text, TToken* t, EVP_PKEY** key) const {
  if (!read_token(text, t)) return AUTH_MALFORMED;
  *key = _keys->find(t->kid);
  return *key == nullptr ? AUTH_UNKNOWN_KEY : AUTH_OK;
}

TAuthResult CTokenChecker::check_tail(const TToken& t, int64_t now, int* client_id) {
  if (t.expires < now) return AUTH_EXPIRED;
  if (t.expires - now > _max_ttl) return AUTH_TTL_TOO_LONG;
  if (!_replays.remember(t.kid, t.nonce, t.expires, now)) return AUTH_REPLAYED;
  *client_id = t.client_id;
  return AUTH_OK;
}

}  // namespace hall_auth
