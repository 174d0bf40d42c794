// The gateway's hook into client authentication: one process-wide token checker, turned
// on at start-up with the signers' public keys, and a count of every check by result.
// Loop thread only.
#ifndef HALL_AUTH_CLIENT_AUTH_H
#define HALL_AUTH_CLIENT_AUTH_H

#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>

#include "token_checker.h"

namespace hall_auth {

// The public keys of `keys_file`; null, with *why, when they cannot be used. Reads the
// file only: start-up and the configuration check read it here, once.
std::shared_ptr<const CKeyRing> load_keys(const std::string& keys_file, std::string* why);

// Turns checking on with the keys loaded.
void client_auth_start(std::shared_ptr<const CKeyRing> keys, int max_ttl);

// Checks a token a client sent, at the current time, and counts the result. The token's
// client id goes to *client_id on success. AUTH_MALFORMED when checking is off.
TAuthResult client_auth_check(std::string_view token, int* client_id);

// Checks made so far with `result`.
uint64_t client_auth_count(int result);

// Adds the family hall_client_auth_total to the metrics page.
void register_metrics();

}  // namespace hall_auth

#endif
