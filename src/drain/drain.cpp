#include "drain.h"

#include <stdio.h>
#include <string.h>

#include "client_unit.h"
#include "decode_unit.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "listener.h"
#include "log.h"
#include "net.h"
#include "redis_server.h"

namespace __http_svr_ns__ {

namespace {

const int64_t kMicros = 1000000;

}  // namespace

CDrain::CDrain(const std::vector<CListener*>& listeners, CRedisServer* registry, CPollerUnit* unit,
               CTimerList* everySecond)
    : _listeners(listeners), _registry(registry), _unit(unit), _everySecond(everySecond) {}

std::vector<CDecoderUnit*> CDrain::Clients() const {
  std::vector<CDecoderUnit*> all;
  for (CListener* l : _listeners) {
    const std::vector<CDecoderUnit*> some = l->clients();
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

int CDrain::ClientCount() const {
  int count = 0;
  for (CListener* l : _listeners) count += l->client_count();
  return count;
}

bool CDrain::Step(int64_t now_us) {
  switch (_stage) {
    case kServing:
      if (TGlobal::_drainRequested == 0) return false;
      Begin(now_us);
      // The clients may be gone already.
      return Step(now_us);
    case kHolding:
      if (ClientCount() == 0)
        StopHolding(now_us, false);
      else if (now_us >= _holdUntil)
        StopHolding(now_us, true);
      return false;
    case kFlushing: {
      const bool written = QueuedAnswers() == 0 || now_us >= _flushUntil;
      const bool withdrawn = _registry == nullptr || _registry->Unanswered() == 0 || now_us >= _registryUntil;
      if (!written || !withdrawn) return false;
      HalfCloseClients(now_us);
      return Step(now_us);
    }
    case kClosing:
      if (ClientCount() != 0 && now_us < _closeUntil) return false;
      CloseClients(now_us);
      return Step(now_us);
    case kForwarding:
      if (QueuedForwards() != 0 && now_us < _forwardUntil) return false;
      LeaveLogicServers(now_us);
      return Step(now_us);
    case kLeaving:
      if (LinksUp() != 0 && now_us < _leaveUntil) return false;
      Finish();
      return true;
    case kDone:
      break;
  }
  return true;
}

void CDrain::Begin(int64_t now_us) {
  _stage = kHolding;
  _holdUntil = now_us + TGlobal::_drainTimeout * kMicros;
  if (_registry != nullptr) _registry->Withdraw(_unit, TGlobal::_svid);
  for (CListener* l : _listeners) l->close_for_good();
  log_boot("drain: started on SIGUSR1: registration withdrawn, listener closed, %d clients held, time-out %d s",
           ClientCount(), TGlobal::_drainTimeout);
  if (_everySecond != nullptr) AttachTimer(_everySecond);
}

void CDrain::TimerNotify() {
  if (_stage != kHolding) return;
  log_boot("drain: %d clients left", ClientCount());
  AttachTimer(_everySecond);
}

void CDrain::StopHolding(int64_t now_us, bool timedOut) {
  _stage = kFlushing;
  _flushUntil = now_us + kFlushSeconds * kMicros;
  _registryUntil = now_us + kRegistryWaitSeconds * kMicros;
  DisableTimer();
  if (timedOut)
    log_boot("drain: ended: timed out with %d clients still connected", ClientCount());
  else
    log_boot("drain: ended: all clients left");
}

void CDrain::HalfCloseClients(int64_t now_us) {
  _stage = kClosing;
  _closeUntil = now_us + kHalfCloseSeconds * kMicros;
  _unwrittenAnswers = QueuedAnswers();
  _unconfirmed = _registry != nullptr && _registry->Unanswered() != 0;
  _droppedBeforeClose = DroppedForwards();
  // A client that wrote a request just before the end would otherwise meet a close with
  // its request unread, which resets the connection and loses the request. After the
  // half-close the client reads end-of-file, stops writing and closes, and the gateway
  // reads up to that close.
  for (CDecoderUnit* unit : Clients()) {
    CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) client->half_close();
  }
}

void CDrain::CloseClients(int64_t now_us) {
  _stage = kForwarding;
  _forwardUntil = now_us + kFlushSeconds * kMicros;
  // The connections still open end as an idle time-out ends them, once what their
  // sockets hold is handled: their close notices go to the logic servers with the
  // forwards still queued.
  for (CDecoderUnit* unit : Clients()) {
    CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) client->read_rest();
    unit->complete();
  }
  CHelperUnit::flush_deferred();
  const unsigned long forwards = QueuedForwards();
  if (forwards != 0) log_boot("drain: clients closed, %lu bytes still queued for logic servers", forwards);
}

void CDrain::LeaveLogicServers(int64_t now_us) {
  _stage = kLeaving;
  _leaveUntil = now_us + kHalfCloseSeconds * kMicros;
  // A link closed while its server's answers wait unread in it is reset, and a server
  // that sees the reset may drop forwards it has received and not yet read. Half-closed,
  // the server reads to the end and closes the link itself; answers read meanwhile find
  // no client and are dropped.
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr) link.second->half_close();
}

int CDrain::LinksUp() {
  int up = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap) up += link.second != nullptr && link.second->link_up();
  return up;
}

void CDrain::Finish() {
  _stage = kDone;
  // What is still queued, and what was dropped since the clients were closed (their
  // close notices and the forwards queued then, for a logic server that cannot be reached).
  const unsigned long forwards = QueuedForwards() + (DroppedForwards() - _droppedBeforeClose);
  char rest[128] = "";
  if (forwards != 0) snprintf(rest, sizeof(rest), ", %lu bytes for logic servers not written", forwards);
  if (_unconfirmed) snprintf(rest + strlen(rest), sizeof(rest) - strlen(rest), ", removal from redis not confirmed");
  if (_unwrittenAnswers == 0)
    log_boot("drain: exiting: queued answers written%s", rest);
  else
    log_boot("drain: exiting: %lu queued bytes not written%s", _unwrittenAnswers, rest);
}

unsigned long CDrain::QueuedAnswers() const {
  unsigned long queued = 0;
  for (CDecoderUnit* unit : Clients()) {
    const CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) queued += client->pending_output() + CNet::unacked_bytes(client->GetNetfd());
  }
  return queued;
}

unsigned long CDrain::QueuedForwards() {
  unsigned long queued = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr)
        queued += link.second->pending_output() + CNet::unacked_bytes(link.second->GetNetfd());
  return queued;
}

unsigned long CDrain::DroppedForwards() {
  unsigned long dropped = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr) dropped += static_cast<unsigned long>(link.second->dropped_bytes());
  return dropped;
}

}  // namespace __http_svr_ns__
