// Admission of client connections: who may connect and how fast a connection may send.
//  - per-source limits (MaxConnsPerIp), a per-connection request rate (MaxRequestsPerSecond)
//    and the networks exempt from both (TrustedNets);
//  - the PROXY protocol header from trusted balancers (ProxyProtocol, ProxyFrom), whose
//    address then stands for the client's everywhere;
//  - the fair share: a connection whose own forwards waiting in the logic links' queues
//    pass its share is not read until they drain, so one flooder cannot fill a queue
//    to its bound and have the link reset for everyone. Always on.
// Every setting is off by default. The relay hooks in at the listener's accept, at the
// start of a client connection's raw read path, at each request, and where a logic
// link's queue takes or loses bytes. Loop thread only.
#ifndef HALL_ADMISSION_ADMISSION_H
#define HALL_ADMISSION_ADMISSION_H

#include <stdint.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net_list.h"
#include "proxy_header.h"

namespace hall_admission {

struct TSettings {
  int max_conns_per_ip = 0;         // 0: no limit
  int max_requests_per_second = 0;  // 0: no limit; the burst equals the rate
  CNetList trusted;                 // exempt from both limits
  bool proxy_protocol = false;      // connections from proxy_from start with a PROXY header
  CNetList proxy_from;
  unsigned max_helper_queue = 67108864;  // the logic links' queue bound (MaxHelperQueue)
};

// One finding of reading the settings: `refused` stops start-up.
struct TSettingNote {
  bool refused;
  std::string attribute;
  std::string value;
  std::string why;
};

// Reads the admission settings from the texts of their SYSTEM attributes (empty when
// missing) into *out, noting every value refused or ignored.
void read_settings(const std::string& maxConns, const std::string& maxRate, const std::string& trusted,
                   const std::string& proxy, const std::string& proxyFrom, TSettings* out,
                   std::vector<TSettingNote>* notes);

// The settings in force (start-up sets them once).
void configure(const TSettings& s);
const TSettings& settings();

// Why a connection was closed before it was served.
enum RefuseReason {
  REFUSE_PER_IP_LIMIT,   // its source already held MaxConnsPerIp connections
  REFUSE_PROXY_HEADER,   // no valid PROXY header, or one naming an address not served
  REFUSE_PROXY_TIMEOUT,  // the header was not complete within WebTimeout
  REFUSE_REASONS
};
extern const char* const kRefuseReasonNames[REFUSE_REASONS];

struct TCounters {
  uint64_t refused[REFUSE_REASONS];
  uint64_t read_pauses;  // times a connection stopped being read for its fair share
};
extern TCounters g_counters;

// A connection's forwards waiting in the logic links' queues. Shared by the connection
// and every queue entry of its bytes, so that bytes still queued after the connection
// ended are accounted for until they leave.
class CShareOwner {
 public:
  // The account fell back under the level where reading resumes.
  virtual void share_drained() = 0;

 protected:
  ~CShareOwner() {}
};

struct CShareAccount {
  uint64_t queued = 0;           // bytes of this connection in every logic link's queue
  int refs = 1;                  // the connection, and one per queue entry
  CShareOwner* owner = nullptr;  // null once the connection ended
  bool paused = false;
  // Others queued forwards between two of this connection's reads, and it has not read
  // CALM_READS times in a row alone since: it shares the links with them, and its share
  // and reads are the crowded ones (see CConnGate::read_budget).
  bool crowded = false;
  static constexpr unsigned CALM_READS = 64;
  unsigned calm = CALM_READS;  // its reads in a row that found no one else's additions
  uint64_t seen = 0;           // the ledgers' additions counted at its last read
  uint64_t added = 0;          // its own additions since
  void release() {
    if (--refs == 0) delete this;
  }
};

// The bytes one logic link holds, in queue order, by connection (null for bytes of no
// connection, such as close notices): those queued and those written but still in the
// socket's send buffer, where they wait as long as in the queue (a flooder's bytes there
// would stand before everyone else's). Every byte the queue takes is added here; settle
// is told how many are still held after each write, and a dropped queue is cleared.
//
// A link whose queue has not moved for STALL_US is stalled: its server is slow or
// deaf, not flooded. While any link is stalled nobody is paused (and those paused are
// read again), so a slow server cannot hold the players of the others; its own queue
// keeps the relay's rules (blocked writes, MaxHelperQueue).
class CShareLedger {
 public:
  static const int64_t STALL_US = 250000;

  CShareLedger();
  ~CShareLedger();
  CShareLedger(const CShareLedger&) = delete;
  CShareLedger& operator=(const CShareLedger&) = delete;

  void add(CShareAccount* account, uint64_t bytes);
  // Only the last `held` bytes are still queued or in the socket: the others left.
  void settle(uint64_t held) {
    if (_total > held) consume(_total - held);
  }
  uint64_t total() const { return _total; }
  // The queue was dropped.
  void clear();
  // A link still connecting cannot move its queue at all: it counts as stalled at once
  // instead of after STALL_US, so that a host that does not answer pauses nobody.
  void set_connecting(bool on) { _connecting = on; }
  bool stalled(int64_t now_us) const { return !_entries.empty() && (_connecting || now_us - _progress_at > STALL_US); }
  static bool any_stalled(int64_t now_us);

 private:
  struct TEntry {
    CShareAccount* account;
    uint64_t bytes;
  };
  void take_from(CShareAccount* account, uint64_t bytes);
  // The first `bytes` left.
  void consume(uint64_t bytes);
  std::deque<TEntry> _entries;
  uint64_t _total = 0;
  int64_t _progress_at = 0;  // last write, or when the queue last started to fill
  bool _connecting = false;
};

// Called once a loop turn: connections paused while a link has since stalled are read
// again.
void resume_if_stalled();
// Some connection is paused for its share now.
bool any_paused();

// The bytes past which a connection is no longer read: the queue bound shared among the
// open client connections, at most 64 KB and at least 16 KB (two packets of the largest
// size to each of a few links), whatever the number of connections.
uint64_t fair_share();
// The share of one connection: 16 KB while it is crowded, else fair_share().
uint64_t share_of(const CShareAccount& account);

// The admission state of one client connection, from accept to close.
class CConnGate {
 public:
  enum Verdict { ADMIT, REFUSE, AWAIT_PROXY_HEADER };

  CConnGate();
  ~CConnGate();
  CConnGate(const CConnGate&) = delete;
  CConnGate& operator=(const CConnGate&) = delete;

  // At accept, with the peer's address (network byte order). REFUSE: close at once,
  // counted. AWAIT_PROXY_HEADER: the connection comes from a balancer and must send
  // its header first (proxy_input) before anything else is read.
  Verdict accept(uint32_t peer);
  // A connection handed over by another gateway process (live upgrade): `client` as its
  // address, counted under it without a refusal; with `awaitHeader` its PROXY header is
  // still to come.
  void adopt(uint32_t client, bool awaitHeader);
  bool awaiting_proxy_header() const { return _proxy != nullptr; }
  // Header bytes from the start of the stream: takes what belongs to the header from
  // *data / *len (which then point at the client's own bytes). NEED_MORE, BAD (close;
  // counted) or DONE: the client's address is known (client_addr), and the per-source
  // limit has been applied (DONE with refused_after_header() true: close, counted).
  CProxyHeaderReader::Status proxy_input(const char** data, size_t* len);
  bool refused_after_header() const { return _refused; }
  // The header did not come within its time: counted.
  void proxy_timed_out();
  const std::string& proxy_problem() const { return _proxy_problem; }

  // The client's address (network byte order): the header's, or the peer's.
  uint32_t client_addr() const { return _addr; }

  // One request at `now_us` (monotonic microseconds): false when it goes beyond the
  // connection's rate (the connection is then closed).
  bool take_request(int64_t now_us);

  // Fair share: the account the connection's forwards are queued under, its owner the
  // relay's connection object.
  CShareAccount* share(CShareOwner* owner);
  // The connection's objects go: forwards still queued are accounted for without an owner.
  void release_share();
  // True (counted as a pause) when the connection's forwards now pass its share and it
  // should not be read until share_drained (never while a link is stalled).
  bool should_pause();
  // How many bytes the next read of the connection may take, at most `most`. A connection
  // alone in the logic links' queues reads as much as it likes. A crowded one reads what
  // is left of its share spread over the links each of its forwards goes to (at least
  // READ_LEAST): a flooder's reads then come in small bites between the others' requests
  // instead of a whole receive buffer at a time, far past its share, in front of them.
  size_t read_budget(size_t most);
  static constexpr size_t READ_LEAST = 8 * 1024;

  // Open client connections (gates alive).
  static int live();

 private:
  // Counts the connection under its source; false when that passes the limit.
  bool hold_source_slot();
  bool exempt() const;

  uint32_t _addr = 0;
  bool _counted = false;  // holds a slot in the per-source table
  bool _refused = false;
  std::unique_ptr<CProxyHeaderReader> _proxy;
  std::string _proxy_problem;
  int64_t _bucket_at = -1;  // microseconds of the last refill; -1 before the first request
  int64_t _tokens = 0;      // in millionths of a request
  CShareAccount* _share = nullptr;
};

// Adds the families hall_connections_refused_total and hall_client_read_pauses_total to
// the metrics page.
void register_metrics();

}  // namespace hall_admission

#endif
