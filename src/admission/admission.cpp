#include "admission.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "metrics/registry.h"
#include "timestamp.h"

namespace hall_admission {

const char* const kRefuseReasonNames[REFUSE_REASONS] = {"per_ip_limit", "proxy_header", "proxy_timeout"};
TCounters g_counters;

namespace {

TSettings g_settings;
// Open connections by client address (network byte order), of the sources counted.
std::unordered_map<uint32_t, int> g_per_source;
int g_live = 0;
// Every logic link's ledger, and the accounts paused now (each holding a reference).
std::vector<CShareLedger*> g_ledgers;
std::vector<CShareAccount*> g_paused;
// Additions of a connection's bytes to any ledger, ever: a connection that finds more of
// them at a read than its own since the last one was read among others.
uint64_t g_added = 0;

const uint64_t kShareMost = 64 * 1024;
const uint64_t kShareLeast = 16 * 1024;
const int64_t kMicros = 1000000;

// A whole number from 0 to INT_MAX; missing is 0.
void read_count(const char* attribute, const std::string& text, int* out, std::vector<TSettingNote>* notes) {
  *out = 0;
  if (text.empty()) return;
  char* end = nullptr;
  const long v = text.size() > 10 || text[0] < '0' || text[0] > '9' ? -1 : strtol(text.c_str(), &end, 10);
  if (v < 0 || v > INT_MAX || end == nullptr || *end != '\0') {
    notes->push_back({true, attribute, text, "not a whole number from 0 (off) to 2147483647"});
    return;
  }
  *out = static_cast<int>(v);
}

void read_nets(const char* attribute, const std::string& text, CNetList* out, std::vector<TSettingNote>* notes) {
  std::string why;
  if (!out->parse(text, &why))
    notes->push_back({true, attribute, text, "not a comma-separated list of IPv4 CIDR blocks: " + why});
}

}  // namespace

void read_settings(const std::string& maxConns, const std::string& maxRate, const std::string& trusted,
                   const std::string& proxy, const std::string& proxyFrom, TSettings* out,
                   std::vector<TSettingNote>* notes) {
  read_count("MaxConnsPerIp", maxConns, &out->max_conns_per_ip, notes);
  read_count("MaxRequestsPerSecond", maxRate, &out->max_requests_per_second, notes);
  read_nets("TrustedNets", trusted, &out->trusted, notes);
  read_nets("ProxyFrom", proxyFrom, &out->proxy_from, notes);
  out->proxy_protocol = proxy == "1";
  if (!proxy.empty() && proxy != "0" && proxy != "1")
    notes->push_back({true, "ProxyProtocol", proxy, "not 0 (off) or 1 (on)"});
  else if (out->proxy_protocol && out->proxy_from.empty())
    notes->push_back({true, "ProxyProtocol", proxy,
                      "needs ProxyFrom, the balancers' networks (a header from anyone else would let a client "
                      "pose as any address)"});
  else if (!out->proxy_protocol && !proxyFrom.empty())
    notes->push_back({false, "ProxyFrom", proxyFrom, "ignored: ProxyProtocol is not 1"});
}

void configure(const TSettings& s) { g_settings = s; }
const TSettings& settings() { return g_settings; }

uint64_t fair_share() {
  const uint64_t active = static_cast<uint64_t>(std::max(g_live, 1));
  return std::max(kShareLeast, std::min(kShareMost, g_settings.max_helper_queue / active));
}

uint64_t share_of(const CShareAccount& account) { return account.crowded ? kShareLeast : fair_share(); }

// --- the ledger of a logic link's queue ---

namespace {

void resume(CShareAccount* account) {
  account->paused = false;
  g_paused.erase(std::remove(g_paused.begin(), g_paused.end(), account), g_paused.end());
  if (account->owner != nullptr) account->owner->share_drained();
  account->release();
}

}  // namespace

CShareLedger::CShareLedger() { g_ledgers.push_back(this); }

CShareLedger::~CShareLedger() {
  // A link goes only when the gateway ends, and the connections it would wake may be
  // going too: its bytes leave the accounts without waking anyone.
  for (const TEntry& e : _entries) {
    if (e.account == nullptr) continue;
    e.account->queued -= std::min(e.account->queued, e.bytes);
    e.account->release();
  }
  _entries.clear();
  g_ledgers.erase(std::remove(g_ledgers.begin(), g_ledgers.end(), this), g_ledgers.end());
}

bool CShareLedger::any_stalled(int64_t now_us) {
  for (const CShareLedger* l : g_ledgers)
    if (l->stalled(now_us)) return true;
  return false;
}

bool any_paused() { return !g_paused.empty(); }

void resume_if_stalled() {
  if (g_paused.empty() || !CShareLedger::any_stalled(GET_TIMESTAMP())) return;
  while (!g_paused.empty()) resume(g_paused.back());
}

void CShareLedger::add(CShareAccount* account, uint64_t bytes) {
  if (bytes == 0) return;
  if (_entries.empty()) _progress_at = GET_TIMESTAMP();
  _total += bytes;
  if (account != nullptr) {
    account->queued += bytes;
    ++account->added;
    ++g_added;
  }
  // A flooder's forwards come one after another: they share one entry.
  if (!_entries.empty() && _entries.back().account == account) {
    _entries.back().bytes += bytes;
    return;
  }
  if (account != nullptr) ++account->refs;
  _entries.push_back(TEntry{account, bytes});
}

void CShareLedger::take_from(CShareAccount* account, uint64_t bytes) {
  if (account == nullptr) return;
  account->queued -= std::min(account->queued, bytes);
  if (account->paused && account->queued <= share_of(*account) / 2) resume(account);
}

void CShareLedger::consume(uint64_t bytes) {
  if (bytes > 0) _progress_at = GET_TIMESTAMP();
  _total -= std::min(_total, bytes);
  while (bytes > 0 && !_entries.empty()) {
    TEntry& e = _entries.front();
    const uint64_t n = std::min(bytes, e.bytes);
    e.bytes -= n;
    bytes -= n;
    CShareAccount* account = e.account;
    const bool done = e.bytes == 0;
    if (done) _entries.pop_front();
    take_from(account, n);
    if (done && account != nullptr) account->release();
  }
}

void CShareLedger::clear() {
  _total = 0;
  _connecting = false;
  while (!_entries.empty()) {
    const TEntry e = _entries.front();
    _entries.pop_front();
    take_from(e.account, e.bytes);
    if (e.account != nullptr) e.account->release();
  }
}

// --- one connection ---

CConnGate::CConnGate() { ++g_live; }

CConnGate::~CConnGate() {
  --g_live;
  if (_counted) {
    auto it = g_per_source.find(_addr);
    if (it != g_per_source.end() && --it->second <= 0) g_per_source.erase(it);
  }
  release_share();
}

void CConnGate::release_share() {
  if (_share == nullptr) return;
  _share->owner = nullptr;
  _share->release();
  _share = nullptr;
}

int CConnGate::live() { return g_live; }

bool CConnGate::exempt() const { return g_settings.trusted.contains(_addr); }

bool CConnGate::hold_source_slot() {
  if (g_settings.max_conns_per_ip <= 0 || exempt()) return true;
  int& held = g_per_source[_addr];
  if (held >= g_settings.max_conns_per_ip) {
    if (held == 0) g_per_source.erase(_addr);
    ++g_counters.refused[REFUSE_PER_IP_LIMIT];
    _refused = true;
    return false;
  }
  ++held;
  _counted = true;
  return true;
}

CConnGate::Verdict CConnGate::accept(uint32_t peer) {
  _addr = peer;
  if (g_settings.proxy_protocol && g_settings.proxy_from.contains(peer)) {
    _proxy.reset(new CProxyHeaderReader());
    return AWAIT_PROXY_HEADER;
  }
  return hold_source_slot() ? ADMIT : REFUSE;
}

void CConnGate::adopt(uint32_t client, bool awaitHeader) {
  _addr = client;
  if (awaitHeader) {
    _proxy.reset(new CProxyHeaderReader());
  } else if (g_settings.max_conns_per_ip > 0 && !exempt()) {
    // Counted even beyond the limit: a player already served is not turned away.
    ++g_per_source[_addr];
    _counted = true;
  }
}

CProxyHeaderReader::Status CConnGate::proxy_input(const char** data, size_t* len) {
  if (_proxy == nullptr) return CProxyHeaderReader::DONE;
  size_t used = 0;
  const CProxyHeaderReader::Status st = _proxy->feed(reinterpret_cast<const uint8_t*>(*data), *len, &used);
  *data += used;
  *len -= used;
  if (st == CProxyHeaderReader::NEED_MORE) return st;
  if (st == CProxyHeaderReader::BAD) {
    _proxy_problem = _proxy->why();
    ++g_counters.refused[REFUSE_PROXY_HEADER];
    _proxy.reset();
    return st;
  }
  const CProxyHeaderReader::Source source = _proxy->source();
  if (source == CProxyHeaderReader::SOURCE_IPV4) _addr = _proxy->client_addr();
  _proxy.reset();
  if (source == CProxyHeaderReader::SOURCE_UNSUPPORTED) {
    _proxy_problem = "a client address that is not IPv4";
    ++g_counters.refused[REFUSE_PROXY_HEADER];
    return CProxyHeaderReader::BAD;
  }
  hold_source_slot();
  return CProxyHeaderReader::DONE;
}

void CConnGate::proxy_timed_out() {
  if (_proxy == nullptr) return;
  _proxy.reset();
  ++g_counters.refused[REFUSE_PROXY_TIMEOUT];
}

bool CConnGate::take_request(int64_t now_us) {
  const int64_t rate = g_settings.max_requests_per_second;
  if (rate <= 0 || exempt()) return true;
  const int64_t full = rate * kMicros;
  if (_bucket_at < 0) {
    _tokens = full;
  } else {
    // At most a second's refill: the burst equals the rate.
    const int64_t elapsed = std::min(std::max<int64_t>(now_us - _bucket_at, 0), kMicros);
    _tokens = std::min(full, _tokens + elapsed * rate);
  }
  _bucket_at = now_us;
  if (_tokens < kMicros) return false;
  _tokens -= kMicros;
  return true;
}

CShareAccount* CConnGate::share(CShareOwner* owner) {
  if (_share == nullptr) _share = new CShareAccount();
  _share->owner = owner;
  return _share;
}

bool CConnGate::should_pause() {
  if (_share == nullptr || _share->paused || _share->queued <= share_of(*_share)) return false;
  if (CShareLedger::any_stalled(GET_TIMESTAMP())) return false;
  _share->paused = true;
  ++_share->refs;
  g_paused.push_back(_share);
  ++g_counters.read_pauses;
  return true;
}

size_t CConnGate::read_budget(size_t most) {
  if (_share == nullptr) return most;
  CShareAccount& a = *_share;
  a.calm = g_added - a.seen > a.added ? 0 : std::min(a.calm + 1, CShareAccount::CALM_READS);
  a.crowded = a.calm < CShareAccount::CALM_READS;
  a.seen = g_added;
  a.added = 0;
  if (!a.crowded || g_ledgers.empty()) return most;
  const uint64_t share = share_of(a);
  const uint64_t left = a.queued < share ? share - a.queued : 0;
  return static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(READ_LEAST, left / g_ledgers.size()), most));
}

void register_metrics() {
  using hall_metrics::CMetricsRegistry;
  CMetricsRegistry::add(
      "hall_connections_refused_total", "counter",
      "Client connections closed before anything of theirs was served, by reason.", [](hall_metrics::CExposition& e) {
        for (int r = 0; r < REFUSE_REASONS; ++r)
          e.sample("hall_connections_refused_total", std::string("reason=\"") + kRefuseReasonNames[r] + "\"",
                   static_cast<unsigned long long>(g_counters.refused[r]));
      });
  CMetricsRegistry::add_counter(
      "hall_client_read_pauses_total",
      "Times a client connection stopped being read while its forwards queued for logic servers passed its share.",
      &g_counters.read_pauses);
}

}  // namespace hall_admission
