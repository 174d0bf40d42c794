// The verifying threads on their own, with a real poller: more jobs than are handed over
// at once, verdicts in submission order, and a pool that goes with jobs still queued.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "poller.h"
#include "auth/signature_pool.h"
#include "test_support.h"
#include "auth/token.h"

namespace {

using hall_auth::CSignatureJob;
using hall_auth::CSignaturePool;

std::unique_ptr<CSignatureJob> job_for(EVP_PKEY* key, int i, bool good) {
  std::unique_ptr<CSignatureJob> job(new CSignatureJob());
  job->_text = "message " + std::to_string(i);
  job->_token.signed_part = job->_text;
  EXPECT_TRUE(hall_auth::sign_message(key, job->_text, job->_token.sig));
  if (!good) job->_token.sig[i % hall_auth::kSignatureSize] ^= 1;
  job->_key = key;
  return job;
}

TEST(SignaturePool, ABacklogBeyondTheHandOverIsCheckedAndDeliveredInOrder) {
  unsigned char seed[hall_auth::kKeySize] = {7};
  hall_auth::PkeyPtr key = hall_auth::private_key_from_seed(seed);
  ASSERT_TRUE(key);
  CPollerUnit poller(64);
  ASSERT_EQ(0, poller.InitializePollerUnit());

  const int kJobs = static_cast<int>(CSignaturePool::MOST_HANDED_OVER) * 3;
  std::vector<uint64_t> tickets;
  int wrong = 0;
  CSignaturePool pool([&](std::unique_ptr<CSignatureJob> job) {
    tickets.push_back(job->_ticket);
    const bool good = (job->_ticket - 1) % 5 != 0;
    wrong += job->_valid != good;
  });
  for (int i = 0; i < kJobs; ++i)
    ASSERT_EQ(static_cast<uint64_t>(i + 1), pool.submit(&poller, job_for(key.get(), i, i % 5 != 0)));
  EXPECT_GT(pool.backlog(), 0u);
  EXPECT_GE(pool.threads(), 1u);
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        if (poller.WaitPollerEvents(100) >= 0) poller.ProcessPollerEvents();
        return tickets.size() == static_cast<size_t>(kJobs);
      },
      60000));
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(0u, pool.backlog());
  for (int i = 0; i < kJobs; ++i) ASSERT_EQ(static_cast<uint64_t>(i + 1), tickets[i]);

  // Jobs still with the threads or in the backlog go with the pool (the sanitizer build
  // checks that nothing is left behind).
  std::unique_ptr<CSignaturePool> leaving(new CSignaturePool([](std::unique_ptr<CSignatureJob>) {}));
  for (int i = 0; i < kJobs; ++i) leaving->submit(&poller, job_for(key.get(), i, true));
  leaving.reset();
}

}  // namespace
