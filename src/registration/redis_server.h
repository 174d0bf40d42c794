// Announces the gateway in Redis: one synchronous connection and one HSET of the
// field "HALLSERVER<svid>" in the hash "HALLSERVER" with the gateway's address, port
// and server id as compact JSON, during start-up. Once the loop's poller and timers
// exist, StartRefresh keeps the registration true: every interval the record is
// written again and the heartbeat "HALLSERVER<svid>" in the hash "HALLSERVER_ALIVE"
// gets the current unix time, over a second, asynchronous connection driven by the
// gateway's own poller, so that a slow or frozen Redis never holds the loop. Owned by
// the module object; runs on the loop thread; its destructor frees both connections.
//
// With sentinels set (SetSentinels), the Redis server is the master the sentinels name:
// start-up asks them in turn with blocking, bounded calls; the refresh asks them over
// asynchronous links on the poller, one sentinel at a time, each given kStepSeconds to
// answer, and confirms the named server with ROLE before writing. A lost link, a
// READONLY or LOADING reply, or a ROLE other than master starts the search again at
// once; a search that finds no master is repeated after 1 s, 1 s, 2 s, then every
// kMaxBackoffSeconds.
#ifndef HALL_REGISTRATION_REDIS_SERVER_H
#define HALL_REGISTRATION_REDIS_SERVER_H

#include <string>
#include <vector>

#include "noncopyable.h"
#include "sentinel/redis_sentinel.h"

struct redisAsyncContext;
struct redisContext;
struct redisReply;
class CPollerUnit;
class CTimerUnit;
class CTimerList;

namespace __http_svr_ns__ {

class CRedisServer : private noncopyable {
 public:
  // How long a connect attempt or a command may block before it is given up.
  static const int kTimeoutMs = 3000;

  CRedisServer();
  ~CRedisServer();

  // Connects to ip:port with a bounded time-out. Returns 0 on success, -1 when no
  // connection could be made (logged at level 3; the object then holds no context).
  int Connect(std::string& ip, int port);
  // Makes the master known to `sentinels` as `name` the Redis server: Connect then
  // connects to it (its arguments unused) and the refresh follows it.
  void SetSentinels(const std::vector<TRedisAddress>& sentinels, const std::string& name);
  static const int kStepSeconds = 2;
  static const int kMaxBackoffSeconds = 4;
  // The wait before the next search after `failedRounds` searches in a row found no
  // master: 1 s after the first two (a failover takes a few seconds), then 2 s, then
  // kMaxBackoffSeconds.
  static int SearchWaitSeconds(int failedRounds);

  // Writes the registration record. Always returns 0: a missing connection or a
  // failed command is logged at level 3 as "registration not written" and sends
  // nothing further.
  int SetInfo(std::string ip, int port, int svid);

  // The registration value for these arguments: {"IP":..,"PORT":..,"SVID":..} and a
  // line feed.
  static std::string RecordValue(const std::string& ip, int port, int svid);
  // The field of this gateway in both hashes: "HALLSERVER<svid>", cut at 31 characters.
  static std::string RecordField(int svid);

  // Writes the record of ip, port and svid and the heartbeat now and then every
  // `interval` seconds (when `interval` is above 0) on an asynchronous link to the
  // address given to Connect, opened without blocking and reopened at the next interval
  // whenever it is lost. An interval's write is skipped while the previous one is still
  // unanswered, and a link that has left writes unanswered for three intervals is
  // dropped and reopened. The Redis host is the address start-up's connection reached,
  // or is resolved here, once (in the background when that fails, and again after each
  // failed lookup). 0, or -1 when
  // `interval` is not above 0 (nothing is started).
  int StartRefresh(CPollerUnit* unit, CTimerUnit* timers, int interval, const std::string& ip, int port, int svid);
  // Closes the asynchronous link and stops the timer; must run before the poller unit
  // and the timer unit are destroyed.
  void StopRefresh();
  // Queues one command, each argument whole, on the asynchronous link; it goes out when
  // the socket can take it and its reply is only counted. False when no link is open (or,
  // following the master, while the link's server is not yet confirmed as master).
  bool QueueCommand(const std::vector<std::string>& args);
  // Poller slots the refreshing registration needs and does not hold at the moment: 1
  // while it runs without an open link, else 0. Kept free from clients (CPollerSlots).
  static int PollerSlotsKept();

  // The gateway leaves the registry: no refresh after this, and HDEL of the record
  // "HALLSERVER<svid>" and of its heartbeat queued on the asynchronous link, which is
  // opened on `unit` when none is. Nothing waits here; Unanswered() tells when Redis
  // has answered both.
  void Withdraw(CPollerUnit* unit, int svid);
  // Commands sent on the asynchronous link and not answered yet; 0 once it is closed.
  // A removal not yet queued, or one that Redis refused or that its link lost, counts as
  // one.
  int Unanswered() const { return (_async != nullptr ? _pending : 0) + (_removalDue ? 1 : 0); }

  static const char* const kAliveKey;  // "HALLSERVER_ALIVE"

 private:
  class CLink;
  class CTick;
  class CStep;
  struct TLookup;
  friend class CLink;
  friend class CTick;
  friend class CStep;
  enum TPhase { kIdle, kWaiting, kAsking, kVerifying };

  void Refresh();   // one interval's work
  void OpenLink();  // a non-blocking connect; the link is null when it fails
  // A host name that did not resolve at start-up is looked up in the background
  // (getaddrinfo_a): a lookup on the loop would hold it for the resolver's time-out.
  // True once _linkHost holds an address; otherwise starts or checks the lookup.
  bool LinkHostKnown();
  void StartLookup();
  void EndLookup();
  void DropLink(const char* why);
  void LinkGone();             // the asynchronous context is being freed
  void Lost(const char* why);  // logs the first failure of an outage
  void WriteRecord();          // the record and the heartbeat
  static void OnReply(redisAsyncContext* ac, void* reply, void* privdata);
  static void OnRemovalReply(redisAsyncContext* ac, void* reply, void* privdata);
  bool Queue(const std::vector<std::string>& args, void (*done)(redisAsyncContext*, void*, void*));
  // The search for the master through the sentinels.
  bool Following() const { return !_sentinels.empty(); }
  void StartSearch();
  void AskNext();           // the next sentinel of this round, or a back-off after the last
  void WaitBeforeSearch();  // the back-off after a round that found no master
  void ProbeGone();         // the link to a sentinel is being freed
  void StepDue();           // a sentinel or a named master did not answer in time, or a back-off ended
  void Verify(const TRedisAddress& master);
  static void OnSentinelReply(redisAsyncContext* ac, void* reply, void* privdata);
  static void OnRoleReply(redisAsyncContext* ac, void* reply, void* privdata);

  std::string _linkHost;       // numeric address of the Redis host; empty while unknown
  TLookup* _lookup = nullptr;  // the background lookup of the host name, while one runs
  std::string _record;         // the record value
  int _svid = 0;
  CLink* _link = nullptr;
  CTick* _tick = nullptr;
  CTimerList* _tickList = nullptr;
  redisAsyncContext* _async = nullptr;
  int _pending = 0;          // commands sent and not answered
  int _skipped = 0;          // intervals skipped in a row because of them
  bool _outage = false;      // a failure was logged and no write has succeeded since
  bool _refused = false;     // Redis refused a command of the current interval
  bool _withdrawn = false;   // Withdraw ran
  bool _removalDue = false;  // Withdraw ran and its HDELs are not queued yet

  std::vector<TRedisAddress> _sentinels;
  std::string _masterName;
  CTimerUnit* _timers = nullptr;
  CLink* _probeLink = nullptr;
  redisAsyncContext* _probe = nullptr;  // the link to the sentinel being asked
  CStep* _step = nullptr;
  TPhase _phase = kIdle;
  size_t _nextSentinel = 0;
  int _failedRounds = 0;   // rounds of questions in a row that found no master
  bool _verified = false;  // the link's server answered ROLE with master
  long _verifiedAt = 0;    // when it did, unix seconds
  bool _stopping = false;
  TRedisAddress _master;  // the server of the link

 private:
  std::string _ip;
  int _port;
  redisContext* _redisConn;
  redisReply* _redisReply;
};

}  // namespace __http_svr_ns__

#endif
