// TGlobal: every setting of the gateway, as static members with built-in defaults.
// The class has no instances. DaemonInit fills the settings from config.xml, the
// command line fills port, svid and address, and nothing changes them afterwards.
// Written during start-up and read without locks from the one loop thread.
#ifndef HALL_PROXY_GLOBAL_H
#define HALL_PROXY_GLOBAL_H

#include <signal.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "admission/admission.h"
#include "log.h"
#include "sentinel/redis_sentinel.h"

typedef struct ssl_ctx_st SSL_CTX;
namespace hall_auth {
class CKeyRing;
}

namespace __http_svr_ns__ {

// One logic server of server.xml.
struct TServerEntry {
  int svid;
  std::string ip;
  int port;
};

// One finding of reading the configuration: a value start-up refuses, or one that is
// replaced by another (the message then names the value used instead).
struct TConfigNote {
  bool refused;
  std::string text;  // "file: element attribute="value": why"
};

// config.xml and server.xml as start-up takes them: every setting with its default and
// limit applied, the logic servers, the files they name loaded, and a note for each
// value refused or replaced. Reading them changes nothing.
struct TConfigReading {
  bool read = false;           // the file loaded and has a top-level SYSTEM element
  std::string loadFailure;     // when not read: DaemonInit's message for standard error
  std::string logDirTooLong;   // the note refusing LogDir, when it is refused
  std::string logDir;          // empty: the process log keeps its built-in directory
  int logNum = 0;              // as read: the process log keeps its default when <= 0
  int logSize = 0;             // likewise
  int logLevel = 0;            // as read: see set_log_level
  int maxFdCount = 0;          // as read
  std::string maxFdCountText;  // as written
  int maxpoller = 0;
  int webtimeout = 0;
  int helpertimeout = 0;
  int backlog = 0;
  std::string addr;  // empty: start-up refuses it
  std::string redisIp;
  int redisPort = 0;
  int registerInterval = 0;  // as used
  int udpSwitch = 0;
  std::string udpIp;
  int udpPort = 0;
  int maxClientQueue = 0;  // as used: the defaults replace values not above 0
  int maxHelperQueue = 0;
  int maxClientIds = 0;
  int trafficLogLevel = 0;
  int drainTimeout = 0;                 // as used
  std::string statsAddr;                // as used
  int statsPort = 0;                    // as used: 0 when missing or refused
  bool clientAuth = false;              // ClientAuth="1"
  std::string authKeysFile;             // as written
  int authMaxTtl = 300;                 // as used
  hall_admission::TSettings admission;  // MaxConnsPerIp, MaxRequestsPerSecond, TrustedNets, ProxyProtocol, ProxyFrom
  int wsPort = 0;                       // WebSocket, WebSocket over TLS and TLS listeners: 0 off
  int wssPort = 0;
  int tlsPort = 0;
  std::string wsPath = "/";
  std::vector<std::string> wsOrigins;
  std::string tlsCert;
  std::string tlsKey;
  std::vector<TConfigNote> notes;

  // With redisMaster set, Redis is the master these sentinels name.
  std::vector<TRedisAddress> redisSentinels;
  std::string redisMaster;

  std::vector<TServerEntry> servers;  // server.xml's, in file order
  // The files the settings name, loaded here once for start-up to use: the signers'
  // public keys (with ClientAuth) and the certificate pair (with WssPort or TlsPort),
  // with what the pair's files looked like before; null when off or unusable.
  std::shared_ptr<const hall_auth::CKeyRing> authKeys;
  std::shared_ptr<SSL_CTX> tlsPair;
  std::string tlsStamp;
};

class TGlobal {
 public:
  TGlobal() = delete;

  // Termination signals keep their default action, SIGPIPE and SIGCHLD are ignored, and
  // the fault signals are unblocked (whoever started us may have blocked them). SIGUSR1
  // only sets _drainRequested: the loop then drains (see drain.h).
  static void SetupSignals();
  // Installs `handler` for `sig` with SA_RESTART (blocking start-up calls go on) and
  // unblocks the signal, whatever mask the starter left.
  static void CatchSignal(int sig, void (*handler)(int));
  // SetupSignals() and daemon(1, 1); the parent exits 0. The gateway itself detaches
  // through CProxyModule so that the starting process learns how start-up ended.
  static void DaemonStart();

  // Reads config.xml at `configPath` and server.xml at `serverPath`, each once, into *r,
  // and loads the key and certificate files they name, without applying or logging
  // anything. Start-up and the configuration check both read here, so they cannot
  // disagree. The notes come in file order: config.xml, the log directories, server.xml,
  // then what the poller holds.
  static void ReadConfiguration(const char* configPath, const char* serverPath, TConfigReading* r);

  // Applies a reading: every setting of config.xml with its default and clamp, the
  // logic servers, and opens the process log; with nothing refused, turns on the token
  // check and the certificate pair it loaded. 0 on success, -1 on failure; the first
  // three failures are reported on standard error (the process log does not exist
  // yet), an empty BindAddr in the process log.
  static int DaemonInit(const TConfigReading& r);

  // The configuration check (hall -t): writes every note of `r`, then those of the
  // coloring file of the rolling logs, to `out` and a last line with the verdict. 0 when
  // the gateway would start with these files, 1 when it would refuse. Touches nothing:
  // no log, no socket, no Redis.
  static int CheckConfig(const TConfigReading& r, const char* coloringPath, FILE* out);

  // Every reason why the configuration files read cannot work as written, one message
  // each, naming the file, the element, the attribute and the value. Empty when there
  // is none.
  static std::vector<std::string> ConfigProblems(const TConfigReading& r);
  // Start-up's use of ConfigProblems: each problem is written at level -1 (process log
  // and standard error). -1 when there is one, else 0.
  static int RefuseConfigProblems(const TConfigReading& r);
  // The poller capacity for a MaxFdCount value: at least 1024, and no more than the
  // descriptors the process may open when that limit is higher (a larger table only
  // costs memory, and one too large for epoll_wait makes every wait fail).
  static int PollerCapacity(int maxFdCount);

  // The next server id of `list` in round-robin order, with the position in _loopNum
  // shared by every call whatever list it passes. `list` must not be empty; for an
  // empty list the result is -1 and _loopNum is left alone.
  static int LoopSvid(std::vector<int>& list);

  static volatile int* _module_close;  // address of the stop flag read by the main loop
  static volatile int _stopped;        // the stop flag; nothing in the gateway sets it
  static const char* _progname;        // "hall"
  static const char* _version;         // "svr 2.0"

  static char _addr[64];                     // listener bind address (BindAddr), "0.0.0.0"
  static uint16_t _port;                     // listener port (command line), 80
  static int _backlog;                       // listen backlog (MaxListenCount), at least 256
  static int _maxpoller;                     // poller capacity (MaxFdCount), see PollerCapacity
  static int _webtimeout;                    // client idle time-out in seconds (WebTimeout), >= 1
  static int _helpertimeout;                 // helper timer list time-out in seconds, >= 1
  static int _timerConnect;                  // helper connect time-out in milliseconds, 500
  static int _svid;                          // own server id (command line), 0
  static std::string _ip;                    // own announced address (command line), "0.0.0.0"
  static std::string _redisIp;               // Redis host (RedisServer), "0.0.0.0"
  static int _redisPort;                     // Redis port (RedisPort), 0
  static int _registerInterval;              // seconds between registration refreshes, 0 none (RegisterInterval), 10
  static int _udpSwitch;                     // non-zero turns the UDP reporter on (UdpSwitch), 0
  static std::string _udpIp;                 // UDP collector address (UdpServer), "0.0.0.0"
  static int _udpPort;                       // UDP collector port (UdpPort), 0
  static int _loopNum;                       // round-robin position of LoopSvid, 0
  static const char* const _serverListPath;  // "../conf/server.xml"
  static unsigned _maxClientQueue;           // bytes queued for one client at most (MaxClientQueue), 1048576
  static unsigned _maxHelperQueue;           // bytes queued for one logic link at most (MaxHelperQueue), 67108864
  static int _maxClientIds;                  // client ids one connection may register (MaxClientIds), 16
  static int _trafficLogLevel;               // level of the per-packet traffic lines (TrafficLogLevel), 3
  static int _drainTimeout;                  // seconds a drain waits for clients to leave (DrainTimeout), 30
  static volatile sig_atomic_t _drainRequested;  // set by SIGUSR1, never cleared
  static char _statsAddr[64];                    // metrics endpoint bind address (StatsAddr), "127.0.0.1"
  static int _statsPort;                         // metrics endpoint port (StatsPort), 0: no endpoint
  static bool _clientAuth;                       // data requests need a signed token first (ClientAuth), false
  static std::string _authKeysFile;              // the token signers' public keys (AuthKeysFile), ""
  static int _authMaxTtl;                        // seconds a token may have left at most (AuthMaxTtl), 300
  static int _wsPort;                            // WebSocket client port (WsPort), 0: none
  static int _wssPort;                           // WebSocket-over-TLS client port (WssPort), 0: none
  static int _tlsPort;                           // TLS client port for native clients (TlsPort), 0: none
  static std::string _wsPath;                    // the WebSocket handshake's path (WsPath), "/"
  static std::vector<std::string> _wsOrigins;    // allowed Origin values (WsOrigins), empty: any
  static std::string _tlsCert;                   // PEM certificate chain file (TlsCert)
  static std::string _tlsKey;                    // PEM private key file (TlsKey)

  // With both set, Redis is the master the sentinels name, not _redisIp:_redisPort
  // (RedisSentinels, RedisMaster); empty by default.
  static std::vector<TRedisAddress> _redisSentinels;
  static std::string _redisMaster;

  // The logic servers of server.xml, in file order.
  static std::vector<TServerEntry> _servers;
};

// The lines written for every packet that crosses the gateway: at TrafficLogLevel, so
// that an operator can keep them out of a log filtered at a lower level.
#define log_traffic(fmt, ...) log_generic(::__http_svr_ns__::TGlobal::_trafficLogLevel, fmt, ##__VA_ARGS__)

}  // namespace __http_svr_ns__

#endif
