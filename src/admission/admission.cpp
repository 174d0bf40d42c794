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
Counters g_counters;

namespace {

Settings g_settings;
// Open connections by client address (network byte order), of the sources counted.
std::unordered_map<uint32_t, int> g_per_source;
int g_live = 0;
// Every logic link's ledger, and the accounts paused now (each holding a reference).
std::vector<ShareLedger*> g_ledgers;
std::vector<ShareAccount*> g_paused;

const uint64_t kShareMost = 64 * 1024;
const uint64_t kShareLeast = 16 * 1024;
const int64_t kMicros = 1000000;

// A whole number from 0 to INT_MAX; missing is 0.
void read_count(const char* attribute, const std::string& text, int* out, std::vector<SettingNote>* notes) {
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

void read_nets(const char* attribute, const std::string& text, NetList* out, std::vector<SettingNote>* notes) {
  std::string why;
  if (!out->parse(text, &why))
    notes->push_back({true, attribute, text, "not a comma-separated list of IPv4 CIDR blocks: " + why});
}

}  // namespace

void read_settings(const std::string& maxConns, const std::string& maxRate, const std::string& trusted,
                   const std::string& proxy, const std::string& proxyFrom, Settings* out,
                   std::vector<SettingNote>* notes) {
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

void configure(const Settings& s) { g_settings = s; }
const Settings& settings() { return g_settings; }

uint64_t fair_share() {
  const uint64_t active = static_cast<uint64_t>(std::max(g_live, 1));
  return std::max(kShareLeast, std::min(kShareMost, g_settings.max_helper_queue / active));
}

// --- the ledger of a logic link's queue ---

namespace {

void resume(ShareAccount* account) {
  account->paused = false;
  g_paused.erase(std::remove(g_paused.begin(), g_paused.end(), account), g_paused.end());
  if (account->owner != nullptr) account->owner->share_drained();
  account->release();
}

}  // namespace

ShareLedger::ShareLedger() { g_ledgers.push_back(this); }

ShareLedger::~ShareLedger() {
  // A link goes only when the gateway ends, and the connections it would wake may be
  // going too: its bytes leave the accounts without waking anyone.
  for (const Entry& e : entries_) {
    if (e.account == nullptr) continue;
    e.account->queued -= std::min(e.account->queued, e.bytes);
    e.account->release();
  }
  entries_.clear();
  g_ledgers.erase(std::remove(g_ledgers.begin(), g_ledgers.end(), this), g_ledgers.end());
}

bool ShareLedger::any_stalled(int64_t now_us) {
  for (const ShareLedger* l : g_ledgers)
    if (l->stalled(now_us)) return true;
  return false;
}

bool any_paused() { return !g_paused.empty(); }

void resume_if_stalled() {
  if (g_paused.empty() || !ShareLedger::any_stalled(GET_TIMESTAMP())) return;
  while (!g_paused.empty()) resume(g_paused.back());
}

void ShareLedger::add(ShareAccount* account, uint64_t bytes) {
  if (bytes == 0) return;
  if (entries_.empty()) progress_at_ = GET_TIMESTAMP();
  total_ += bytes;
  if (account != nullptr) account->queued += bytes;
  // A flooder's forwards come one after another: they share one entry.
  if (!entries_.empty() && entries_.back().account == account) {
    entries_.back().bytes += bytes;
    return;
  }
  if (account != nullptr) ++account->refs;
  entries_.push_back(Entry{account, bytes});
}

void ShareLedger::take_from(ShareAccount* account, uint64_t bytes) {
  if (account == nullptr) return;
  account->queued -= std::min(account->queued, bytes);
  if (account->paused && account->queued <= fair_share() / 2) resume(account);
}

void ShareLedger::consume(uint64_t bytes) {
  if (bytes > 0) progress_at_ = GET_TIMESTAMP();
  total_ -= std::min(total_, bytes);
  while (bytes > 0 && !entries_.empty()) {
    Entry& e = entries_.front();
    const uint64_t n = std::min(bytes, e.bytes);
    e.bytes -= n;
    bytes -= n;
    ShareAccount* account = e.account;
    const bool done = e.bytes == 0;
    if (done) entries_.pop_front();
    take_from(account, n);
    if (done && account != nullptr) account->release();
  }
}

void ShareLedger::clear() {
  total_ = 0;
  while (!entries_.empty()) {
    const Entry e = entries_.front();
    entries_.pop_front();
    take_from(e.account, e.bytes);
    if (e.account != nullptr) e.account->release();
  }
}

// --- one connection ---

ConnGate::ConnGate() { ++g_live; }

ConnGate::~ConnGate() {
  --g_live;
  if (counted_) {
    auto it = g_per_source.find(addr_);
    if (it != g_per_source.end() && --it->second <= 0) g_per_source.erase(it);
  }
  release_share();
}

void ConnGate::release_share() {
  if (share_ == nullptr) return;
  share_->owner = nullptr;
  share_->release();
  share_ = nullptr;
}

int ConnGate::live() { return g_live; }

bool ConnGate::exempt() const { return g_settings.trusted.contains(addr_); }

bool ConnGate::hold_source_slot() {
  if (g_settings.max_conns_per_ip <= 0 || exempt()) return true;
  int& held = g_per_source[addr_];
  if (held >= g_settings.max_conns_per_ip) {
    if (held == 0) g_per_source.erase(addr_);
    ++g_counters.refused[REFUSE_PER_IP_LIMIT];
    refused_ = true;
    return false;
  }
  ++held;
  counted_ = true;
  return true;
}

ConnGate::Verdict ConnGate::accept(uint32_t peer) {
  addr_ = peer;
  if (g_settings.proxy_protocol && g_settings.proxy_from.contains(peer)) {
    proxy_.reset(new ProxyHeaderReader());
    return AWAIT_PROXY_HEADER;
  }
  return hold_source_slot() ? ADMIT : REFUSE;
}

void ConnGate::adopt(uint32_t client, bool awaitHeader) {
  addr_ = client;
  if (awaitHeader) {
    proxy_.reset(new ProxyHeaderReader());
  } else if (g_settings.max_conns_per_ip > 0 && !exempt()) {
    // Counted even beyond the limit: a player already served is not turned away.
    ++g_per_source[addr_];
    counted_ = true;
  }
}

ProxyHeaderReader::Status ConnGate::proxy_input(const char** data, size_t* len) {
  if (proxy_ == nullptr) return ProxyHeaderReader::DONE;
  size_t used = 0;
  const ProxyHeaderReader::Status st = proxy_->feed(reinterpret_cast<const uint8_t*>(*data), *len, &used);
  *data += used;
  *len -= used;
  if (st == ProxyHeaderReader::NEED_MORE) return st;
  if (st == ProxyHeaderReader::BAD) {
    proxy_problem_ = proxy_->why();
    ++g_counters.refused[REFUSE_PROXY_HEADER];
    proxy_.reset();
    return st;
  }
  const ProxyHeaderReader::Source source = proxy_->source();
  if (source == ProxyHeaderReader::SOURCE_IPV4) addr_ = proxy_->client_addr();
  proxy_.reset();
  if (source == ProxyHeaderReader::SOURCE_UNSUPPORTED) {
    proxy_problem_ = "a client address that is not IPv4";
    ++g_counters.refused[REFUSE_PROXY_HEADER];
    return ProxyHeaderReader::BAD;
  }
  hold_source_slot();
  return ProxyHeaderReader::DONE;
}

void ConnGate::proxy_timed_out() {
  if (proxy_ == nullptr) return;
  proxy_.reset();
  ++g_counters.refused[REFUSE_PROXY_TIMEOUT];
}

bool ConnGate::take_request(int64_t now_us) {
  const int64_t rate = g_settings.max_requests_per_second;
  if (rate <= 0 || exempt()) return true;
  const int64_t full = rate * kMicros;
  if (bucket_at_ < 0) {
    tokens_ = full;
  } else {
    // At most a second's refill: the burst equals the rate.
    const int64_t elapsed = std::min(std::max<int64_t>(now_us - bucket_at_, 0), kMicros);
    tokens_ = std::min(full, tokens_ + elapsed * rate);
  }
  bucket_at_ = now_us;
  if (tokens_ < kMicros) return false;
  tokens_ -= kMicros;
  return true;
}

ShareAccount* ConnGate::share(ShareOwner* owner) {
  if (share_ == nullptr) share_ = new ShareAccount();
  share_->owner = owner;
  return share_;
}

bool ConnGate::should_pause() {
  if (share_ == nullptr || share_->paused || share_->queued <= fair_share()) return false;
  if (ShareLedger::any_stalled(GET_TIMESTAMP())) return false;
  share_->paused = true;
  ++share_->refs;
  g_paused.push_back(share_);
  ++g_counters.read_pauses;
  return true;
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
