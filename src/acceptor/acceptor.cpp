#include "acceptor/acceptor.h"

#include <assert.h>
#include <errno.h>
#include <sys/socket.h>

#include <map>
#include <new>
namespace hall_acceptor {

namespace {

std::map<int, std::function<int()>>& keepers() {
  static std::map<int, std::function<int()>> all;
  return all;
}

}  // namespace

int CPollerSlots::keep(std::function<int()> kept) {
  static int next_id = 0;
  keepers()[++next_id] = std::move(kept);
  return next_id;
}

void CPollerSlots::forget(int id) { keepers().erase(id); }

int CPollerSlots::kept() {
  int sum = 0;
  for (const auto& k : keepers()) sum += k.second();
  return sum;
}

CAcceptor::CAcceptor(int batch, int batches, bool yields_kept)
    : CPollerObject(nullptr, -1),
      _batch(batch > 0 ? batch : 1),
      _batches(batches),
      _yields_kept(yields_kept),
      _fds(new (std::nothrow) int[_batch]),
      _peers(new (std::nothrow) sockaddr_in[_batch]) {
  assert(_fds != nullptr && _peers != nullptr);
  for (int i = 0; i < _batch; ++i) _fds[i] = -1;
}

CAcceptor::~CAcceptor() {
  delete[] _fds;
  delete[] _peers;
}

bool CAcceptor::accept_waiting() {
  // A batch that takes none after full ones only found the queue emptied by them.
  for (int n = 0; _batches == 0 || n < _batches; ++n) {
    const int drained = accept_batch();
    if (_gathered <= 0) return n == 0;
    take_batch(_fds, _peers, _batch);
    if (drained == -1) return false;
  }
  return false;
}

int CAcceptor::accept_batch() {
  for (int i = 0; i < _batch; ++i) _fds[i] = -1;
  _gathered = 0;
  // Every peer of an IPv4 socket has the same address size.
  socklen_t peer_size = sizeof(sockaddr_in);
  for (int i = 0; i < _batch; ++i) {
    // A connection taken from the queue without a slot to serve it could only be
    // closed, and its peer may already have written into it: it waits in the queue
    // until a slot frees instead.
    if (room() <= 0) {
      pause_accept(0);
      return -1;
    }
    before_accept();
    const int fd = ::accept(netfd, reinterpret_cast<sockaddr*>(&_peers[i]), &peer_size);
    if (fd >= 0) {
      _fds[i] = fd;
      ++_gathered;
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return -1;
    accept_failed(err);
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      // Every further attempt would fail alike, and the socket stays readable: stop
      // here and wait for a descriptor to come free.
      pause_accept(err);
      return -1;
    }
  }
  return 0;
}

int CAcceptor::room() const {
  if (ownerUnit == nullptr) return _batch;
  return ownerUnit->GetMaxPollers() - ownerUnit->GetUsedPollers() - (_yields_kept ? CPollerSlots::kept() : 0) -
         _gathered;
}

void CAcceptor::pause_accept(int err) {
  if (_paused) return;
  _paused = true;
  DisableInput();
  ApplyEvents();
  if (CTimerList* list = retry_list(err)) AttachTimer(list);
  paused_for(err);
}

void CAcceptor::resume_accept() {
  if (!_paused || !may_resume()) return;
  _paused = false;
  DisableTimer();
  EnableInput();
  ApplyEvents();
}

}  // namespace hall_acceptor
