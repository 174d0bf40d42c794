// The gateway's hook into client authentication: one process-wide token checker, turned
// on at start-up with the signers' public keys, and a count of every check by result.
// Loop thread only; the signatures themselves are checked on verifying threads (see
// signature_pool.h) and their verdicts applied back on the loop thread.
#ifndef HALL_AUTH_CLIENT_AUTH_H
#define HALL_AUTH_CLIENT_AUTH_H

#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>

#include "auth/token_checker.h"

class CPollerUnit;

namespace hall_auth {

// A connection waiting for the verdict on its token.
class CAuthWaiter {
 public:
  // The whole check's result (counted already), on the loop thread; the client id of
  // the token on AUTH_OK.
  virtual void auth_verdict(TAuthResult result, int client_id) = 0;

 protected:
  ~CAuthWaiter() = default;
};

// The public keys of `keys_file`; null, with *why, when they cannot be used. Reads the
// file only: start-up and the configuration check read it here, once.
std::shared_ptr<const CKeyRing> load_keys(const std::string& keys_file, std::string* why);

// Turns checking on with the keys loaded.
void client_auth_start(std::shared_ptr<const CKeyRing> keys, int max_ttl);

// Checks a token a client sent, at the current time, and counts the result. The token's
// client id goes to *client_id on success. AUTH_MALFORMED when checking is off.
TAuthResult client_auth_check(std::string_view token, int* client_id);

// Begins the check of a token a client sent. The checks that need no signature run
// here: when one fails, its result is counted and returned with a ticket of 0 (as is a
// whole check made here when no verifying thread can start; *client_id on AUTH_OK). Else the
// signature is checked off the loop and the rest of the check runs when that is done,
// in the loop's poller turn, ending in waiter->auth_verdict; the nonzero ticket then
// returned cancels it (client_auth_cancel), which a waiter must do before it goes. The
// verdicts arrive in the order the checks began. `loop` is the poller of the loop thread.
uint64_t client_auth_begin(CPollerUnit* loop, std::string_view token, CAuthWaiter* waiter, TAuthResult* result,
                           int* client_id);
// Forgets the waiter of `ticket`: its verdict, when it comes, is dropped uncounted and
// its nonce stays unused. Ticket 0 is none.
void client_auth_cancel(uint64_t ticket);
// Stops the verifying threads; called before the loop's poller goes.
void client_auth_stop();

// Checks made so far with `result`.
uint64_t client_auth_count(int result);

// Adds the family hall_client_auth_total to the metrics page.
void register_metrics();

}  // namespace hall_auth

#endif
