// The gateway's settings with their built-in defaults, the daemon set-up, and the
// reading of config.xml and server.xml.
#include "global.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <set>

#include "clib_log.h"
#include "auth/client_auth.h"
#include "log.h"
#include "markup_stl.h"
#include "net.h"
#include "metrics_http/metrics_listener.h"
#include "transport/tls_transport.h"

namespace __http_svr_ns__ {

volatile int* TGlobal::_module_close = nullptr;
volatile int TGlobal::_stopped = 0;
const char* TGlobal::_progname = "hall";
const char* TGlobal::_version = "svr 2.0";

char TGlobal::_addr[64] = "0.0.0.0";
uint16_t TGlobal::_port = 80;
int TGlobal::_backlog = 256;
int TGlobal::_maxpoller = 1024;
int TGlobal::_webtimeout = 10;
int TGlobal::_helpertimeout = 5;
int TGlobal::_timerConnect = 500;
int TGlobal::_svid = 0;
std::string TGlobal::_ip = "0.0.0.0";
std::string TGlobal::_redisIp = "0.0.0.0";
int TGlobal::_redisPort = 0;
std::vector<TRedisAddress> TGlobal::_redisSentinels;
std::string TGlobal::_redisMaster;
int TGlobal::_registerInterval = 10;
int TGlobal::_udpSwitch = 0;
std::string TGlobal::_udpIp = "0.0.0.0";
int TGlobal::_udpPort = 0;
int TGlobal::_loopNum = 0;
const char* const TGlobal::_serverListPath = "../conf/server.xml";
std::vector<TServerEntry> TGlobal::_servers;
unsigned TGlobal::_maxClientQueue = 1048576;
unsigned TGlobal::_maxHelperQueue = 67108864;
int TGlobal::_maxClientIds = 16;
int TGlobal::_trafficLogLevel = LOG_LEVEL_ERROR;
int TGlobal::_drainTimeout = 30;
volatile sig_atomic_t TGlobal::_drainRequested = 0;
char TGlobal::_statsAddr[64] = "127.0.0.1";
int TGlobal::_statsPort = 0;
bool TGlobal::_clientAuth = false;
std::string TGlobal::_authKeysFile;
int TGlobal::_authMaxTtl = 300;
int TGlobal::_wsPort = 0;
int TGlobal::_wssPort = 0;
int TGlobal::_tlsPort = 0;
std::string TGlobal::_wsPath = "/";
std::vector<std::string> TGlobal::_wsOrigins;
std::string TGlobal::_tlsCert;
std::string TGlobal::_tlsKey;

namespace {

// Decimal with strtol: leading blanks and a sign are accepted, parsing stops at the
// first non-digit, "" is 0, and the result is cut to 32 bits.
int to_int(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  return static_cast<int>(static_cast<unsigned int>(static_cast<unsigned long>(value)));
}

const int kMinPollers = 1024;
const int kRegisterInterval = 10;
const int kDrainTimeout = 30;

// The most descriptors the process may open, and never more than epoll_wait takes
// events at once.
long descriptor_limit() {
  long most = INT_MAX / static_cast<long>(sizeof(struct epoll_event));
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < static_cast<rlim_t>(most))
    most = static_cast<long>(rl.rlim_cur);
  return most;
}

// A whole decimal number from lo to hi with nothing around it.
bool whole_number(const std::string& text, long lo, long hi, long* out) {
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+')) return false;
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// "file: element attribute="value": why", with a long value cut and its length given.
std::string problem(const char* file, const std::string& element, const char* attribute, const std::string& value,
                    const std::string& why) {
  const std::string shown =
      value.size() <= 64 ? "\"" + value + "\""
                         : "\"" + value.substr(0, 64) + "...\" (" + std::to_string(value.size()) + " characters)";
  return std::string(file) + ": " + element + " " + attribute + "=" + shown + ": " + why;
}

// A LogDir the process log cannot hold whole would send the log to another directory.
std::string log_dir_problem(const char* file, const std::string& dir) {
  if (dir.size() < sizeof(::log_dir)) return "";
  return problem(file, "SYSTEM", "LogDir", dir, "longer than " + std::to_string(sizeof(::log_dir) - 1) + " characters");
}

// Whether a log can write into `dir`: it exists and is writable, or its nearest existing
// ancestor is, so that start-up can create the missing levels (as mkdir -p does). Nothing
// is created here.
bool log_dir_usable(const std::string& dir) {
  std::string path = dir;
  for (;;) {
    if (access(path.c_str(), W_OK | X_OK) == 0) return true;
    if (errno != ENOENT) return false;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return access(".", W_OK | X_OK) == 0;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

// A number attribute of SYSTEM read as start-up reads it. `use` turns the number read
// into the value used and, when they differ, says why; a note records every value used
// that is not the one written.
template <typename Rule>
int read_number(const CMarkupSTL& xml, const char* file, const char* attribute, std::vector<TConfigNote>* notes,
                Rule use, int* read = nullptr) {
  const std::string text = xml.GetAttrib(attribute);
  const int number = to_int(text);
  std::string why;
  const int used = use(number, &why);
  long whole = 0;
  if (!whole_number(text, INT_MIN, INT_MAX, &whole))
    why = text.empty() ? "missing or empty" : "not a whole number";
  else if (used == number)
    why.clear();
  if (!why.empty())
    notes->push_back({false, problem(file, "SYSTEM", attribute, text, why + "; " + std::to_string(used) + " used")});
  if (read != nullptr) *read = number;
  return used;
}

// Rules of read_number.
auto at_least(int least, const char* why) {
  return [least, why](int v, std::string* w) {
    *w = why;
    return v < least ? least : v;
  };
}
auto kept_unless_positive(int kept) {
  return [kept](int v, std::string* w) {
    *w = "not above 0";
    return v > 0 ? v : kept;
  };
}
auto as_read() {
  return [](int v, std::string*) { return v; };
}

// server.xml: its logic servers into r->servers and its notes; the number of servers it
// lists.
int read_server_xml(const char* serverPath, TConfigReading* r) {
  std::vector<TConfigNote>* out = &r->notes;
  const std::string file = serverPath;
  CMarkupSTL servers;
  if (!servers.Load(serverPath)) {
    out->push_back({true, file + ": cannot be read, or is not well-formed XML"});
    return 0;
  }
  if (!servers.FindElem("SYSTEM") || !servers.IntoElem()) {
    out->push_back({true, file + ": no SYSTEM element at the top level"});
    return 0;
  }
  if (!servers.FindElem("Node")) {
    out->push_back({false, file + ": no Node; the gateway starts with no logic server"});
    return 0;
  }
  if (!servers.IntoElem() || !servers.FindElem("ServerList") || !servers.IntoElem()) {
    out->push_back({true, file + ": Node holds no ServerList"});
    return 0;
  }
  std::map<long, int> listed;  // svid -> position of its Server element
  int count = 0;
  while (servers.FindElem("Server")) {
    const std::string element = "Server " + std::to_string(++count);
    const std::string svid_text = servers.GetAttrib("svid");
    const std::string ip = servers.GetAttrib("ip");
    const std::string port_text = servers.GetAttrib("port");
    long svid = 0;
    long port = 0;
    struct in_addr address;
    if (!whole_number(svid_text, 1, INT_MAX, &svid)) {
      out->push_back({true, problem(serverPath, element, "svid", svid_text,
                                    "not a server id (a whole number from 1 to 2147483647)")});
    } else if (listed.count(svid) != 0) {
      out->push_back({true, problem(serverPath, element, "svid", svid_text,
                                    "listed twice (also Server " + std::to_string(listed[svid]) + ")")});
    } else {
      listed[svid] = count;
    }
    if (!CNet::connect_address(ip.c_str(), &address))
      out->push_back({true, problem(serverPath, element, "ip", ip, "not a dotted IPv4 address")});
    if (!whole_number(port_text, 1, 65535, &port))
      out->push_back(
          {true, problem(serverPath, element, "port", port_text, "not a port (a whole number from 1 to 65535)")});
    r->servers.push_back({to_int(svid_text), ip, to_int(port_text)});
  }
  return count;
}

// LogDir, LogNum, LogSize and LogLevel of the process log.
void read_log_settings(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  // An empty LogDir keeps the built-in directory: an empty one would put the ring files
  // into the file system root.
  r->logDir = xml.GetAttrib("LogDir");
  r->logDirTooLong = log_dir_problem(path, r->logDir);
  if (!r->logDirTooLong.empty())
    notes->push_back({true, r->logDirTooLong});
  else if (r->logDir.empty())
    notes->push_back(
        {false, problem(path, "SYSTEM", "LogDir", "", std::string("missing or empty; ") + ::log_dir + " used")});
  read_number(xml, path, "LogNum", notes, kept_unless_positive(::max_file_num), &r->logNum);
  read_number(xml, path, "LogSize", notes, kept_unless_positive(::max_file_size), &r->logSize);
  read_number(
      xml, path, "LogLevel", notes,
      [](int v, std::string* why) {
        *why = v < 0 ? "negative" : "below 4";
        return v < 0 ? __log_level__ : v < 4 ? 4 : v;
      },
      &r->logLevel);
}

// The poller capacity, the time-outs and the listen backlog.
void read_poller_and_timers(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  r->maxpoller = read_number(
      xml, path, "MaxFdCount", notes,
      [](int v, std::string* why) {
        *why = v < kMinPollers
                   ? "below " + std::to_string(kMinPollers)
                   : "more than the " + std::to_string(descriptor_limit()) + " descriptors this process may open";
        return TGlobal::PollerCapacity(v);
      },
      &r->maxFdCount);
  r->maxFdCountText = xml.GetAttrib("MaxFdCount");
  r->webtimeout = read_number(xml, path, "WebTimeout", notes, kept_unless_positive(1));
  r->helpertimeout = read_number(xml, path, "HelperTimeout", notes, kept_unless_positive(1));
  r->backlog = read_number(xml, path, "MaxListenCount", notes, at_least(256, "below 256"));
}

// BindAddr: the address the listener binds.
void read_bind_address(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  const std::string bind_addr = xml.GetAttrib("BindAddr");
  struct in_addr address;
  r->addr = bind_addr.substr(0, sizeof(TGlobal::_addr) - 1);
  if (bind_addr.empty())
    notes->push_back({true, problem(path, "SYSTEM", "BindAddr", "", "missing or empty (the address to listen on)")});
  else if (r->addr != bind_addr)
    notes->push_back({false, problem(path, "SYSTEM", "BindAddr", bind_addr,
                                     "longer than " + std::to_string(sizeof(TGlobal::_addr) - 1) + " characters; \"" +
                                         r->addr + "\" used")});
  if (!bind_addr.empty() && !CNet::listen_address(r->addr.c_str(), &address))
    notes->push_back(
        {true, problem(path, "SYSTEM", "BindAddr", r->addr, "not a dotted IPv4 address or * to listen on")});
}

// The Redis server and its refresh interval, and the UDP server.
void read_redis_and_udp(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  r->redisIp = xml.GetAttrib("RedisServer");
  r->redisPort = read_number(xml, path, "RedisPort", notes, as_read());
  // Missing or negative: the default refresh; an explicit 0 keeps the single write of
  // start-up.
  const bool interval_given = !xml.GetAttrib("RegisterInterval").empty();
  r->registerInterval = read_number(xml, path, "RegisterInterval", notes, [interval_given](int v, std::string* why) {
    *why = "negative";
    return v < 0 || !interval_given ? kRegisterInterval : v;
  });
  r->udpSwitch = read_number(xml, path, "UdpSwitch", notes, as_read());
  r->udpIp = xml.GetAttrib("UdpServer");
  r->udpPort = read_number(xml, path, "UdpPort", notes, as_read());
}

// RedisSentinels and RedisMaster: both set replace RedisServer and RedisPort.
void read_redis_sentinels(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  const std::string list = xml.GetAttrib("RedisSentinels");
  const std::string master = xml.GetAttrib("RedisMaster");
  if (list.empty() != master.empty()) {
    const char* given = list.empty() ? "RedisMaster" : "RedisSentinels";
    r->notes.push_back({false, problem(path, "SYSTEM", given, list.empty() ? master : list,
                                       std::string("set without ") + (list.empty() ? "RedisSentinels" : "RedisMaster") +
                                           "; ignored, RedisServer and RedisPort used")});
    return;
  }
  if (list.empty()) return;
  std::string why;
  if (!parse_sentinel_list(list, &r->redisSentinels, &why)) {
    r->notes.push_back({true, problem(path, "SYSTEM", "RedisSentinels", list, why)});
    r->redisSentinels.clear();
    return;
  }
  r->redisMaster = master;
}

// Bounds of what one peer can make the gateway hold, and the traffic log level.
void read_bounds(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  r->maxClientQueue = read_number(xml, path, "MaxClientQueue", notes, kept_unless_positive(1048576));
  r->maxHelperQueue = read_number(xml, path, "MaxHelperQueue", notes, kept_unless_positive(67108864));
  r->maxClientIds = read_number(xml, path, "MaxClientIds", notes, kept_unless_positive(16));
  r->trafficLogLevel = read_number(xml, path, "TrafficLogLevel", notes, [](int v, std::string* why) {
    *why = "not a level from 3 to 7";
    return v >= LOG_LEVEL_ERROR && v <= LOG_LEVEL_DEBUG ? v : LOG_LEVEL_ERROR;
  });
}

// DrainTimeout: a whole number of seconds, 0 or more. Missing keeps the default without
// a note; anything else that is not such a number is noted and the default used.
void read_drain(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  long whole = 0;
  const bool usable = whole_number(xml.GetAttrib("DrainTimeout"), 0, INT_MAX, &whole);
  r->drainTimeout = kDrainTimeout;
  if (xml.GetAttrib("DrainTimeout").empty()) return;
  r->drainTimeout = read_number(xml, path, "DrainTimeout", &r->notes, [usable](int v, std::string* why) {
    *why = "negative";
    return usable ? v : kDrainTimeout;
  });
}

// The admission of client connections: per-source and rate limits, trusted networks and
// the PROXY header of balancers. All off unless given.
void read_admission(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<hall_admission::TSettingNote> notes;
  hall_admission::read_settings(xml.GetAttrib("MaxConnsPerIp"), xml.GetAttrib("MaxRequestsPerSecond"),
                                xml.GetAttrib("TrustedNets"), xml.GetAttrib("ProxyProtocol"),
                                xml.GetAttrib("ProxyFrom"), &r->admission, &notes);
  for (const hall_admission::TSettingNote& n : notes)
    r->notes.push_back({n.refused, problem(path, "SYSTEM", n.attribute.c_str(), n.value, n.why)});
}

void drain_requested(int) { TGlobal::_drainRequested = 1; }

// StatsAddr and StatsPort: the metrics endpoint, off unless StatsPort is given. A value
// given but unusable is refused: an operator who asked for metrics gets no gateway
// without them.
void read_stats_endpoint(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  const std::string addr = xml.GetAttrib("StatsAddr");
  r->statsAddr = addr.empty() ? "127.0.0.1" : addr;
  struct in_addr address;
  if (r->statsAddr.size() >= sizeof(TGlobal::_statsAddr) || !CNet::listen_address(r->statsAddr.c_str(), &address))
    notes->push_back({true, problem(path, "SYSTEM", "StatsAddr", addr, "not a dotted IPv4 address or * to listen on")});
  const std::string port = xml.GetAttrib("StatsPort");
  long number = 0;
  if (!port.empty() && !whole_number(port, 0, 65535, &number))
    notes->push_back({true, problem(path, "SYSTEM", "StatsPort", port, "not a port number from 0 to 65535")});
  r->statsPort = static_cast<int>(number);
}

// ClientAuth, AuthKeysFile and AuthMaxTtl: signed tokens, off unless ClientAuth is 1.
// Anything unusable is refused: an operator who asked for tokens gets no gateway that
// takes any client id.
void read_client_auth(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  const std::string on = xml.GetAttrib("ClientAuth");
  if (!on.empty() && on != "0" && on != "1")
    r->notes.push_back({true, problem(path, "SYSTEM", "ClientAuth", on, "not 0 or 1")});
  r->clientAuth = on == "1";
  const std::string ttl = xml.GetAttrib("AuthMaxTtl");
  long seconds = r->authMaxTtl;
  if (!ttl.empty() && !whole_number(ttl, 1, 86400, &seconds))
    r->notes.push_back({true, problem(path, "SYSTEM", "AuthMaxTtl", ttl, "not a number of seconds from 1 to 86400")});
  r->authMaxTtl = static_cast<int>(seconds);
  r->authKeysFile = xml.GetAttrib("AuthKeysFile");
  if (!r->clientAuth) return;
  std::string why;
  if (r->authKeysFile.empty())
    r->notes.push_back({true, problem(path, "SYSTEM", "AuthKeysFile", "", "missing (the signers' public keys)")});
  else if ((r->authKeys = hall_auth::load_keys(r->authKeysFile, &why)) == nullptr)
    r->notes.push_back({true, problem(path, "SYSTEM", "AuthKeysFile", r->authKeysFile, why)});
}

// WsPort, WssPort, TlsPort and what they need: each port 0 (off) to 65535, no two
// alike, a WsPath that is an absolute path, and for a TLS port a certificate pair that
// loads and matches.
void read_transports(const CMarkupSTL& xml, const char* path, TConfigReading* r) {
  std::vector<TConfigNote>* notes = &r->notes;
  std::map<long, const char*> taken;
  if (r->statsPort > 0) taken[r->statsPort] = "StatsPort";
  for (const auto& entry : {std::make_pair("WsPort", &r->wsPort), std::make_pair("WssPort", &r->wssPort),
                            std::make_pair("TlsPort", &r->tlsPort)}) {
    const std::string text = xml.GetAttrib(entry.first);
    long number = 0;
    if (!text.empty() && !whole_number(text, 0, 65535, &number)) {
      notes->push_back({true, problem(path, "SYSTEM", entry.first, text, "not a port number from 0 to 65535")});
      continue;
    }
    if (number > 0 && taken.count(number) != 0) {
      notes->push_back({true, problem(path, "SYSTEM", entry.first, text, std::string("the port of ") + taken[number])});
      continue;
    }
    if (number > 0) taken[number] = entry.first;
    *entry.second = static_cast<int>(number);
  }
  const std::string ws_path = xml.GetAttrib("WsPath");
  if (!ws_path.empty()) r->wsPath = ws_path;
  if (r->wsPath[0] != '/' || r->wsPath.find_first_of(" ?#\t\r\n") != std::string::npos)
    notes->push_back({true, problem(path, "SYSTEM", "WsPath", ws_path, "not a path starting with /")});
  const std::string origins = xml.GetAttrib("WsOrigins");
  for (size_t start = 0; start < origins.size();) {
    size_t comma = origins.find(',', start);
    if (comma == std::string::npos) comma = origins.size();
    std::string one = origins.substr(start, comma - start);
    one.erase(0, one.find_first_not_of(' '));
    one.erase(one.find_last_not_of(' ') + 1);
    if (!one.empty()) r->wsOrigins.push_back(one);
    start = comma + 1;
  }
  r->tlsCert = xml.GetAttrib("TlsCert");
  r->tlsKey = xml.GetAttrib("TlsKey");
  if (r->wssPort == 0 && r->tlsPort == 0) return;
  if (r->tlsCert.empty() || r->tlsKey.empty()) {
    const char* missing = r->tlsCert.empty() ? "TlsCert" : "TlsKey";
    notes->push_back({true, problem(path, "SYSTEM", missing, "", "missing or empty (needed by WssPort and TlsPort)")});
    return;
  }
  std::string why;
  r->tlsStamp = hall_transport::tls_pair_stamp(r->tlsCert, r->tlsKey);
  r->tlsPair.reset(hall_transport::load_tls_pair(r->tlsCert, r->tlsKey, &why), SSL_CTX_free);
  if (r->tlsPair == nullptr) notes->push_back({true, std::string(path) + ": SYSTEM TlsCert/TlsKey: " + why});
}

// config.xml: every setting of its SYSTEM element, and its notes.
void read_config_xml(const char* path, TConfigReading* r) {
  if (path == nullptr || path[0] == '\0') {
    r->loadFailure = "module config file is invalid.\n";
    r->notes.push_back({true, "config.xml: no path given"});
    return;
  }
  CMarkupSTL xml;
  if (!xml.Load(path)) {
    r->loadFailure = std::string("Load xml ") + path + " failed\n";
    r->notes.push_back({true, std::string(path) + ": cannot be read, or is not well-formed XML"});
    return;
  }
  if (!xml.FindElem("SYSTEM")) {
    r->loadFailure = std::string("Can not FindElem [SYSTEM] in xml ") + path + " failed\n";
    r->notes.push_back({true, std::string(path) + ": no SYSTEM element at the top level"});
    return;
  }
  r->read = true;
  read_log_settings(xml, path, r);
  read_poller_and_timers(xml, path, r);
  read_bind_address(xml, path, r);
  read_redis_and_udp(xml, path, r);
  read_redis_sentinels(xml, path, r);
  read_bounds(xml, path, r);
  read_drain(xml, path, r);
  read_stats_endpoint(xml, path, r);
  read_client_auth(xml, path, r);
  read_admission(xml, path, r);
  read_transports(xml, path, r);
}

}  // namespace

void TGlobal::CatchSignal(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
}

void TGlobal::SetupSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGQUIT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);

  // Installed first thing at start-up, so that a drain asked for while the gateway is
  // still starting begins with the loop instead of killing the process. SA_RESTART keeps
  // blocking start-up calls going; the loop's event wait returns early anyway.
  CatchSignal(SIGUSR1, drain_requested);

  // The mask is inherited across exec: a starter that blocks signals (a threaded
  // supervisor blocks them before it forks) would otherwise leave the stop signals and
  // the drain pending for ever.
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGCHLD, SIGFPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1})
    sigaddset(&wanted, sig);
  sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
}

void TGlobal::DaemonStart() {
  SetupSignals();
  // Keep the working directory (every path is relative to it) and the standard
  // descriptors (configuration errors still reach the starting terminal).
  if (daemon(1, 1) != 0) {
    fprintf(stderr, "daemon() failed: %m\n");
  }
}

int TGlobal::DaemonInit(const TConfigReading& r) {
  if (!r.read) {
    fprintf(stderr, "%s", r.loadFailure.c_str());
    return -1;
  }
  if (!r.logDirTooLong.empty()) {
    fprintf(stderr, "%s\n", r.logDirTooLong.c_str());
    return -1;
  }

  // The process log first, so that everything after it can be logged.
  char log_name[256];
  snprintf(log_name, sizeof(log_name), "Log_%u", static_cast<unsigned>(getpid()));
  init_log(log_name, r.logDir.empty() ? nullptr : r.logDir.c_str(), r.logNum, r.logSize);
  set_log_level(r.logLevel);

  _maxpoller = r.maxpoller;
  if (_maxpoller < r.maxFdCount)
    log_error("MaxFdCount %d is more than the %ld descriptors this process may open; %d used", r.maxFdCount,
              descriptor_limit(), _maxpoller);
  _webtimeout = r.webtimeout;
  log_boot("_webtimeout is %d", _webtimeout);
  _helpertimeout = r.helpertimeout;
  log_boot("HelperTimeout is %d", _helpertimeout);
  _backlog = r.backlog;

  if (r.addr.empty()) {
    log_boot("bind ip address invalid.");
    return -1;
  }
  snprintf(_addr, sizeof(_addr), "%s", r.addr.c_str());

  _redisIp = r.redisIp;
  _redisPort = r.redisPort;
  _redisSentinels = r.redisSentinels;
  _redisMaster = r.redisMaster;
  _registerInterval = r.registerInterval;
  _udpSwitch = r.udpSwitch;
  _udpIp = r.udpIp;
  _udpPort = r.udpPort;
  _maxClientQueue = static_cast<unsigned>(r.maxClientQueue);
  _maxHelperQueue = static_cast<unsigned>(r.maxHelperQueue);
  _maxClientIds = r.maxClientIds;
  _trafficLogLevel = r.trafficLogLevel;
  _drainTimeout = r.drainTimeout;
  snprintf(_statsAddr, sizeof(_statsAddr), "%s", r.statsAddr.c_str());
  _statsPort = r.statsPort;
  hall_admission::TSettings admission = r.admission;
  admission.max_helper_queue = _maxHelperQueue;
  hall_admission::configure(admission);
  _clientAuth = r.clientAuth;
  _authKeysFile = r.authKeysFile;
  _authMaxTtl = r.authMaxTtl;
  _wsPort = r.wsPort;
  _wssPort = r.wssPort;
  _tlsPort = r.tlsPort;
  _wsPath = r.wsPath;
  _wsOrigins = r.wsOrigins;
  _tlsCert = r.tlsCert;
  _tlsKey = r.tlsKey;
  _servers = r.servers;
  // A configuration with problems is refused right after this, each problem named;
  // otherwise the keys and the certificate pair the reading loaded are the ones used.
  bool refused = false;
  for (const TConfigNote& n : r.notes) refused = refused || n.refused;
  if (refused) return 0;
  if (_clientAuth) hall_auth::client_auth_start(r.authKeys, _authMaxTtl);
  if (r.tlsPair != nullptr) hall_transport::tls_setup(r.tlsPair.get(), _tlsCert, _tlsKey, r.tlsStamp);
  return 0;
}

int TGlobal::PollerCapacity(int maxFdCount) {
  const long most = descriptor_limit();
  if (maxFdCount > most) maxFdCount = static_cast<int>(most);
  return maxFdCount < kMinPollers ? kMinPollers : maxFdCount;
}

void TGlobal::ReadConfiguration(const char* configPath, const char* serverPath, TConfigReading* r) {
  *r = TConfigReading();
  read_config_xml(configPath, r);
  // Start-up goes on without a usable log directory, but logs nothing then.
  if (r->read && r->logDirTooLong.empty() && !log_dir_usable(r->logDir.empty() ? ::log_dir : r->logDir))
    r->notes.push_back({false, problem(configPath, "SYSTEM", "LogDir", r->logDir,
                                       "cannot be created or written; the process log is lost")});
  // The rolling logs (debug.<pid>, error.<pid>) always go to ../log, whatever LogDir says.
  if (r->read && !log_dir_usable("../log"))
    r->notes.push_back({false, "../log: cannot be created or written; the rolling logs are lost"});
  const int count = read_server_xml(serverPath, r);

  // The listener takes a poller slot, every logic server two (one for its link and one
  // the listener keeps free for reconnecting it), and the refreshing registration one
  // (two while it follows a master through sentinels).
  const int registry = r->registerInterval > 0 ? (r->redisMaster.empty() ? 1 : 2) : 0;
  // The metrics endpoint: its listener and the stats connections it may hold.
  const int stats = r->statsPort > 0 ? 1 + hall_metrics::CMetricsListener::MAX_CONNS : 0;
  const int listeners = 1 + (r->wsPort > 0) + (r->wssPort > 0) + (r->tlsPort > 0);
  if (r->read && listeners + registry + stats + 2L * count >= r->maxpoller) {
    r->notes.push_back(
        {true,
         problem(configPath, "SYSTEM", "MaxFdCount", r->maxFdCountText,
                 std::to_string(r->maxpoller) + " poller slots leave none for clients beside the " +
                     (listeners > 1 ? std::to_string(listeners) + " listeners" : std::string("listener")) +
                     (registry != 0 ? ", the Redis registration" : "") + (stats != 0 ? ", the metrics endpoint" : "") +
                     " and the " + std::to_string(count) + " logic servers of " + serverPath + " (two slots each)")});
  }
}

std::vector<std::string> TGlobal::ConfigProblems(const TConfigReading& r) {
  std::vector<std::string> out;
  for (const TConfigNote& n : r.notes)
    if (n.refused) out.push_back(n.text);
  return out;
}

int TGlobal::CheckConfig(const TConfigReading& r, const char* coloringPath, FILE* out) {
  std::vector<TConfigNote> notes = r.notes;
  std::set<uint32_t> uins;
  std::vector<std::string> coloring;
  clib_log::read_coloring_file(coloringPath, &uins, &coloring);
  for (const std::string& c : coloring) notes.push_back({false, c});
  int refused = 0;
  int replaced = 0;
  for (const TConfigNote& n : notes) {
    fprintf(out, "%s\n", n.text.c_str());
    (n.refused ? refused : replaced) += 1;
  }
  if (refused > 0)
    fprintf(out, "%s: configuration refused: %d problem(s), %d other note(s)\n", _progname, refused, replaced);
  else
    fprintf(out, "%s: configuration OK: %d note(s)\n", _progname, replaced);
  fflush(out);
  return refused > 0 ? 1 : 0;
}

int TGlobal::RefuseConfigProblems(const TConfigReading& r) {
  const std::vector<std::string> problems = ConfigProblems(r);
  for (const std::string& p : problems) log_boot("%s", p.c_str());
  return problems.empty() ? 0 : -1;
}

int TGlobal::LoopSvid(std::vector<int>& list) {
  int n = static_cast<int>(list.size());
  if (n == 0) return -1;
  if (_loopNum >= n - 1 || _loopNum < 0) {
    _loopNum = 0;
    return list[0];
  }
  ++_loopNum;
  return list[static_cast<size_t>(_loopNum)];
}

}  // namespace __http_svr_ns__
