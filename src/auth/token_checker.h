// The gateway's check of a client token: form, known key, signature, expiry, the most
// lifetime a token may have left, and a single use of every kid + nonce.
#ifndef HALL_AUTH_TOKEN_CHECKER_H
#define HALL_AUTH_TOKEN_CHECKER_H

#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "auth/token.h"

namespace hall_auth {

// The outcome of a check, in the order the checks are made.
enum TAuthResult {
  AUTH_OK,
  AUTH_MALFORMED,
  AUTH_UNKNOWN_KEY,
  AUTH_BAD_SIGNATURE,
  AUTH_EXPIRED,
  AUTH_TTL_TOO_LONG,
  AUTH_REPLAYED,
  AUTH_RESULTS
};

// "ok", "malformed", "unknown_key", ...
const char* result_name(int result);

// Every kid + nonce accepted, each until its token expires. The memory is bounded: with
// `capacity` entries held, the one closest to its expiry makes room (logged by the caller
// through evictions()); the signer alone can make entries, and no more than it issues.
class CReplayCache {
 public:
  explicit CReplayCache(size_t capacity) : _capacity(capacity) {}
  // False when the pair is held already; else holds it until `expires`.
  bool remember(std::string_view kid, std::string_view nonce, int64_t expires, int64_t now);
  size_t size() const { return _by_key.size(); }
  uint64_t evictions() const { return _evictions; }

 private:
  void forget_expired(int64_t now);

  size_t _capacity;
  std::unordered_map<std::string, int64_t> _by_key;
  std::set<std::pair<int64_t, std::string>> _by_expiry;
  uint64_t _evictions = 0;
};

class CTokenChecker {
 public:
  static const size_t kReplayCapacity = 1 << 18;  // 250 bytes each: 66 MB at most
  explicit CTokenChecker(size_t replay_capacity = kReplayCapacity) : _replays(replay_capacity) {}

  // Loads the public keys of `keys_file`; false with *why when they cannot be used.
  bool load(const std::string& keys_file, int max_ttl, std::string* why);
  // Checks with the public keys of a ring loaded already.
  void use(std::shared_ptr<const CKeyRing> keys, int max_ttl);
  // Checks `text` at unix time `now`; the token's client id goes to *client_id on success.
  TAuthResult check(std::string_view text, int64_t now, int* client_id);
  // check() in two halves around the signature, for a caller that verifies it elsewhere:
  // the form and a known kid (AUTH_OK fills *t, whose views point into `text`, and *key),
  // then, once the signature is found good, the expiry, the lifetime left and single use.
  TAuthResult check_head(std::string_view text, TToken* t, EVP_PKEY** key) const;
  TAuthResult check_tail(const TToken& t, int64_t now, int* client_id);
  const CReplayCache& replays() const { return _replays; }

 private:
  std::shared_ptr<const CKeyRing> _keys = std::make_shared<const CKeyRing>();
  int _max_ttl = 300;
  CReplayCache _replays;
};

}  // namespace hall_auth

#endif
