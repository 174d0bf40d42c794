// The gateway's settings with their built-in defaults, the daemon set-up, and the
// reading of config.xml.
#include "global.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"
#include "markup_stl.h"

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
int TGlobal::_udpSwitch = 0;
std::string TGlobal::_udpIp = "0.0.0.0";
int TGlobal::_udpPort = 0;
int TGlobal::_loopNum = 0;
unsigned TGlobal::_maxClientQueue = 1048576;
unsigned TGlobal::_maxHelperQueue = 67108864;
int TGlobal::_maxClientIds = 16;

namespace {

// Decimal with strtol: leading blanks and a sign are accepted, parsing stops at the
// first non-digit, "" is 0, and the result is cut to 32 bits.
int to_int(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  return static_cast<int>(static_cast<unsigned int>(static_cast<unsigned long>(value)));
}

}  // namespace

void TGlobal::SetupSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGQUIT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);

  sigset_t faults;
  sigemptyset(&faults);
  sigaddset(&faults, SIGSEGV);
  sigaddset(&faults, SIGBUS);
  sigaddset(&faults, SIGABRT);
  sigaddset(&faults, SIGILL);
  sigaddset(&faults, SIGCHLD);
  sigaddset(&faults, SIGFPE);
  sigprocmask(SIG_UNBLOCK, &faults, nullptr);
}

void TGlobal::DaemonStart() {
  SetupSignals();
  // Keep the working directory (every path is relative to it) and the standard
  // descriptors (configuration errors still reach the starting terminal).
  if (daemon(1, 1) != 0) {
    fprintf(stderr, "daemon() failed: %m\n");
  }
}

int TGlobal::DaemonInit(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    fprintf(stderr, "module config file is invalid.\n");
    return -1;
  }

  CMarkupSTL xml;
  if (!xml.Load(path)) {
    fprintf(stderr, "Load xml %s failed\n", path);
    return -1;
  }
  if (!xml.FindElem("SYSTEM")) {
    fprintf(stderr, "Can not FindElem [SYSTEM] in xml %s failed\n", path);
    return -1;
  }

  // The process log first, so that everything after it can be logged. An empty
  // LogDir keeps the built-in "../log": an empty directory would put the ring files
  // into the file system root.
  std::string log_dir = xml.GetAttrib("LogDir");
  int log_num = to_int(xml.GetAttrib("LogNum"));
  int log_size = to_int(xml.GetAttrib("LogSize"));
  char log_name[256];
  snprintf(log_name, sizeof(log_name), "Log_%u", static_cast<unsigned>(getpid()));
  init_log(log_name, log_dir.empty() ? nullptr : log_dir.c_str(), log_num, log_size);

  set_log_level(to_int(xml.GetAttrib("LogLevel")));

  _maxpoller = to_int(xml.GetAttrib("MaxFdCount"));
  if (_maxpoller < 1024) _maxpoller = 1024;

  _webtimeout = to_int(xml.GetAttrib("WebTimeout"));
  if (_webtimeout <= 0) _webtimeout = 1;
  log_boot("_webtimeout is %d", _webtimeout);

  _helpertimeout = to_int(xml.GetAttrib("HelperTimeout"));
  if (_helpertimeout <= 0) _helpertimeout = 1;
  log_boot("HelperTimeout is %d", _helpertimeout);

  _backlog = to_int(xml.GetAttrib("MaxListenCount"));
  if (_backlog < 256) _backlog = 256;

  std::string bind_addr = xml.GetAttrib("BindAddr");
  if (bind_addr.empty()) {
    log_boot("bind ip address invalid.");
    return -1;
  }
  snprintf(_addr, sizeof(_addr), "%s", bind_addr.c_str());

  _redisIp = xml.GetAttrib("RedisServer");
  _redisPort = to_int(xml.GetAttrib("RedisPort"));

  _udpSwitch = to_int(xml.GetAttrib("UdpSwitch"));
  _udpIp = xml.GetAttrib("UdpServer");
  _udpPort = to_int(xml.GetAttrib("UdpPort"));

  // Bounds of what one peer can make the gateway hold; missing, 0 or negative keep the
  // defaults.
  const int max_client_queue = to_int(xml.GetAttrib("MaxClientQueue"));
  _maxClientQueue = max_client_queue > 0 ? static_cast<unsigned>(max_client_queue) : 1048576u;
  const int max_helper_queue = to_int(xml.GetAttrib("MaxHelperQueue"));
  _maxHelperQueue = max_helper_queue > 0 ? static_cast<unsigned>(max_helper_queue) : 67108864u;
  const int max_client_ids = to_int(xml.GetAttrib("MaxClientIds"));
  _maxClientIds = max_client_ids > 0 ? max_client_ids : 16;
  return 0;
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
