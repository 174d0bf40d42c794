#include "auth/signature_pool.h"

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <system_error>

#include "log.h"

namespace hall_auth {

CSignaturePool::CSignaturePool(std::function<void(std::unique_ptr<CSignatureJob>)> done)
    : CPollerObject(nullptr, -1), _done_callback(std::move(done)) {}

CSignaturePool::~CSignaturePool() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stopping = true;
  }
  _wake.notify_all();
  for (std::thread& t : _threads) t.join();
  for (CSignatureJob* job : _todo) delete job;
  for (CSignatureJob* job : _finished) delete job;
  // The base class takes the eventfd off the poller and closes it.
}

bool CSignaturePool::start(CPollerUnit* poller) {
  netfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (netfd < 0) {
    log_error("token checks: eventfd failed: %s", strerror(errno));
    netfd = -1;
    return false;
  }
  EnableInput();
  if (AttachPoller(poller) < 0) {
    log_error("token checks: the eventfd cannot join the poller");
    close(netfd);
    netfd = -1;
    return false;
  }
  // One thread per core, at most MOST_THREADS: the loop thread needs a core too, and a
  // signature check is pure CPU work, so more threads than cores only queue longer.
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned count = cores == 0 ? 1 : cores < MOST_THREADS ? cores : MOST_THREADS;
  try {
    for (unsigned i = 0; i < count; ++i) _threads.emplace_back(&CSignaturePool::work, this);
  } catch (const std::system_error& e) {
    log_error("token checks: thread %zu cannot start: %s", _threads.size() + 1, e.what());
  }
  if (_threads.empty()) {
    DetachPoller();
    close(netfd);
    netfd = -1;
    return false;
  }
  log_info("token checks: %zu verifying thread(s)", _threads.size());
  return true;
}

uint64_t CSignaturePool::submit(CPollerUnit* poller, std::unique_ptr<CSignatureJob> job) {
  if (_threads.empty() && !start(poller)) return 0;
  job->_ticket = ++_last_ticket;
  if (_handed_over < MOST_HANDED_OVER && _backlog.empty())
    hand_over(std::move(job));
  else
    _backlog.push_back(std::move(job));
  return _last_ticket;
}

void CSignaturePool::hand_over(std::unique_ptr<CSignatureJob> job) {
  ++_handed_over;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _todo.push_back(job.release());
  }
  _wake.notify_one();
}

void CSignaturePool::work() {
  // One digest context for the thread's whole life, reset between checks.
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::unique_lock<std::mutex> lock(_mutex);
  for (;;) {
    _wake.wait(lock, [this] { return _stopping || !_todo.empty(); });
    if (_stopping) break;
    CSignatureJob* job = _todo.front();
    _todo.pop_front();
    lock.unlock();
    job->_valid = ctx != nullptr && verify_signature(ctx, job->_key, job->_token.signed_part, job->_token.sig);
    lock.lock();
    // The loop is woken once for a batch: only the first finished job since it last
    // took them writes to the eventfd (the loop reads the eventfd before it takes them).
    const bool first = _finished.empty();
    _finished.push_back(job);
    if (first) {
      // Cannot fail short of a counter near 2^64; nothing is logged from this thread.
      const uint64_t one = 1;
      const ssize_t wrote = write(netfd, &one, sizeof(one));
      (void)wrote;
    }
  }
  lock.unlock();
  EVP_MD_CTX_free(ctx);
  // The thread's own OpenSSL state (the error queue a refused signature filled) goes with
  // it: the library does not always free it by itself at a thread's end.
  OPENSSL_thread_stop();
}

int CSignaturePool::InputNotify() {
  uint64_t count = 0;
  if (read(netfd, &count, sizeof(count)) < 0 && errno != EAGAIN)
    log_error("token checks: eventfd read failed: %s", strerror(errno));
  std::vector<CSignatureJob*> finished;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    finished.swap(_finished);
  }
  _handed_over -= finished.size();
  // The threads get their next jobs before the verdicts are applied.
  while (_handed_over < MOST_HANDED_OVER && !_backlog.empty()) {
    hand_over(std::move(_backlog.front()));
    _backlog.pop_front();
  }
  // Every job comes back, so the one due next always does.
  for (CSignatureJob* job : finished) _early.emplace(job->_ticket, std::unique_ptr<CSignatureJob>(job));
  while (!_early.empty() && _early.begin()->first == _next_delivery) {
    std::unique_ptr<CSignatureJob> job = std::move(_early.begin()->second);
    _early.erase(_early.begin());
    ++_next_delivery;
    _done_callback(std::move(job));
  }
  return 0;
}

int CSignaturePool::HangupNotify() {
  // An eventfd does not hang up; should it report an error, it is read as input.
  return InputNotify();
}

}  // namespace hall_auth
