#include "drain/drain.h"

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
#include "registration/redis_server.h"

namespace __http_svr_ns__ {

namespace {

const int64_t kMicros = 1000000;

}  // namespace

CDrain::CDrain(const std::vector<CListener*>& listeners, CRedisServer* registry, CPollerUnit* unit,
               CTimerList* every_second)
    : _listeners(listeners), _registry(registry), _unit(unit), _every_second(every_second) {}

std::vector<CDecoderUnit*> CDrain::clients() const {
  std::vector<CDecoderUnit*> all;
  for (CListener* l : _listeners) {
    const std::vector<CDecoderUnit*> some = l->clients();
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

int CDrain::client_count() const {
  int count = 0;
  for (CListener* l : _listeners) count += l->client_count();
  return count;
}

bool CDrain::step(int64_t now_us) {
  switch (_stage) {
    case kServing:
      if (TGlobal::_drainRequested == 0) return false;
      begin(now_us);
      // The clients may be gone already.
      return step(now_us);
    case kHolding:
      if (client_count() == 0)
        stop_holding(now_us, false);
      else if (now_us >= _hold_until)
        stop_holding(now_us, true);
      return false;
    case kFlushing: {
      const bool written = queued_answers() == 0 || now_us >= _flush_until;
      const bool withdrawn = _registry == nullptr || _registry->Unanswered() == 0 || now_us >= _registry_until;
      if (!written || !withdrawn) return false;
      half_close_clients(now_us);
      return step(now_us);
    }
    case kClosing:
      if (client_count() != 0 && now_us < _close_until) return false;
      close_clients(now_us);
      return step(now_us);
    case kForwarding:
      if (queued_forwards() != 0 && now_us < _forward_until) return false;
      leave_logic_servers(now_us);
      return step(now_us);
    case kLeaving:
      if (links_up() != 0 && now_us < _leave_until) return false;
      finish();
      return true;
    case kDone:
      break;
  }
  return true;
}

void CDrain::begin(int64_t now_us) {
  _stage = kHolding;
  _hold_until = now_us + TGlobal::_drainTimeout * kMicros;
  if (_registry != nullptr) _registry->Withdraw(_unit, TGlobal::_svid);
  for (CListener* l : _listeners) l->close_for_good();
  log_boot("drain: started on SIGUSR1: registration withdrawn, listener closed, %d clients held, time-out %d s",
           client_count(), TGlobal::_drainTimeout);
  if (_every_second != nullptr) AttachTimer(_every_second);
}

void CDrain::TimerNotify() {
  if (_stage != kHolding) return;
  log_boot("drain: %d clients left", client_count());
  AttachTimer(_every_second);
}

void CDrain::stop_holding(int64_t now_us, bool timedOut) {
  _stage = kFlushing;
  _flush_until = now_us + kFlushSeconds * kMicros;
  _registry_until = now_us + kRegistryWaitSeconds * kMicros;
  DisableTimer();
  if (timedOut)
    log_boot("drain: ended: timed out with %d clients still connected", client_count());
  else
    log_boot("drain: ended: all clients left");
}

void CDrain::half_close_clients(int64_t now_us) {
  _stage = kClosing;
  _close_until = now_us + kHalfCloseSeconds * kMicros;
  _unwritten_answers = queued_answers();
  _unconfirmed = _registry != nullptr && _registry->Unanswered() != 0;
  _dropped_before_close = dropped_forwards();
  // A client that wrote a request just before the end would otherwise meet a close with
  // its request unread, which resets the connection and loses the request. After the
  // half-close the client reads end-of-file, stops writing and closes, and the gateway
  // reads up to that close.
  for (CDecoderUnit* unit : clients()) {
    CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) client->half_close();
  }
}

void CDrain::close_clients(int64_t now_us) {
  _stage = kForwarding;
  _forward_until = now_us + kFlushSeconds * kMicros;
  // The connections still open end as an idle time-out ends them, once what their
  // sockets hold is handled: their close notices go to the logic servers with the
  // forwards still queued.
  for (CDecoderUnit* unit : clients()) {
    CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) client->read_rest();
    unit->complete();
  }
  CHelperUnit::flush_deferred();
  const unsigned long forwards = queued_forwards();
  if (forwards != 0) log_boot("drain: clients closed, %lu bytes still queued for logic servers", forwards);
}

void CDrain::leave_logic_servers(int64_t now_us) {
  _stage = kLeaving;
  _leave_until = now_us + kHalfCloseSeconds * kMicros;
  // A link closed while its server's answers wait unread in it is reset, and a server
  // that sees the reset may drop forwards it has received and not yet read. Half-closed,
  // the server reads to the end and closes the link itself; answers read meanwhile find
  // no client and are dropped.
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr) link.second->half_close();
}

int CDrain::links_up() {
  int up = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap) up += link.second != nullptr && link.second->link_up();
  return up;
}

void CDrain::finish() {
  _stage = kDone;
  // What is still queued, and what was dropped since the clients were closed (their
  // close notices and the forwards queued then, for a logic server that cannot be reached).
  const unsigned long forwards = queued_forwards() + (dropped_forwards() - _dropped_before_close);
  char rest[128] = "";
  if (forwards != 0) snprintf(rest, sizeof(rest), ", %lu bytes for logic servers not written", forwards);
  if (_unconfirmed) snprintf(rest + strlen(rest), sizeof(rest) - strlen(rest), ", removal from redis not confirmed");
  if (_unwritten_answers == 0)
    log_boot("drain: exiting: queued answers written%s", rest);
  else
    log_boot("drain: exiting: %lu queued bytes not written%s", _unwritten_answers, rest);
}

unsigned long CDrain::queued_answers() const {
  unsigned long queued = 0;
  for (CDecoderUnit* unit : clients()) {
    const CClientUnit* client = unit->get_web_unit();
    if (client != nullptr) queued += client->pending_output() + CNet::unacked_bytes(client->GetNetfd());
  }
  return queued;
}

unsigned long CDrain::queued_forwards() {
  unsigned long queued = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr)
        queued += link.second->pending_output() + CNet::unacked_bytes(link.second->GetNetfd());
  return queued;
}

unsigned long CDrain::dropped_forwards() {
  unsigned long dropped = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap)
      if (link.second != nullptr) dropped += static_cast<unsigned long>(link.second->dropped_bytes());
  return dropped;
}

}  // namespace __http_svr_ns__
