// The gateway's hook into client authentication: one process-wide token checker, turned
// on at start-up with the signers' public keys, and a count of every check by result.
// Loop thread only.
#ifndef HALL_AUTH_CLIENT_AUTH_H
#define HALL_AUTH_CLIENT_AUTH_H

#include <stdint.h>

#include <string>
#include <string_view>

#include "token_checker.h"

namespace hall_auth {

// Whether `keys_file` holds usable public keys; *why says why not. Reads the file only.
bool keys_file_usable(const std::string& keys_file, std::string* why);

// Loads the keys and turns checking on; false with *why when the keys cannot be used.
bool client_auth_start(const std::string& keys_file, int max_ttl, std::string* why);

// Checks a token a client sent, at the current time, and counts the result. The token's
// client id goes to *client_id on success. AUTH_MALFORMED when checking is off.
TAuthResult client_auth_check(std::string_view token, int* client_id);

// Checks made so far with `result`.
uint64_t client_auth_count(int result);

// Adds the family hall_client_auth_total to the metrics page.
void register_metrics();

}  // namespace hall_auth

#endif
