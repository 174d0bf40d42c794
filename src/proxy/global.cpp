// The gateway's settings with their built-in defaults, the daemon set-up, and the
// reading of config.xml.
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
const char* const TGlobal::_serverListPath = "../conf/server.xml";
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

const int kMinPollers = 1024;

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
  const std::string shown = value.size() <= 64 ? "\"" + value + "\""
                                               : "\"" + value.substr(0, 64) + "...\" (" +
                                                     std::to_string(value.size()) + " characters)";
  return std::string(file) + ": " + element + " " + attribute + "=" + shown + ": " + why;
}

// A LogDir the process log cannot hold whole would send the log to another directory.
std::string log_dir_problem(const char* file, const std::string& dir) {
  if (dir.size() < sizeof(::log_dir)) return "";
  return problem(file, "SYSTEM", "LogDir", dir, "longer than " + std::to_string(sizeof(::log_dir) - 1) + " characters");
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
  const std::string dir_problem = log_dir_problem(path, log_dir);
  if (!dir_problem.empty()) {
    fprintf(stderr, "%s\n", dir_problem.c_str());
    return -1;
  }
  int log_num = to_int(xml.GetAttrib("LogNum"));
  int log_size = to_int(xml.GetAttrib("LogSize"));
  char log_name[256];
  snprintf(log_name, sizeof(log_name), "Log_%u", static_cast<unsigned>(getpid()));
  init_log(log_name, log_dir.empty() ? nullptr : log_dir.c_str(), log_num, log_size);

  set_log_level(to_int(xml.GetAttrib("LogLevel")));

  const int max_fd = to_int(xml.GetAttrib("MaxFdCount"));
  _maxpoller = PollerCapacity(max_fd);
  if (_maxpoller < max_fd)
    log_error("MaxFdCount %d is more than the %ld descriptors this process may open; %d used", max_fd,
              descriptor_limit(), _maxpoller);

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

int TGlobal::PollerCapacity(int maxFdCount) {
  const long most = descriptor_limit();
  if (maxFdCount > most) maxFdCount = static_cast<int>(most);
  return maxFdCount < kMinPollers ? kMinPollers : maxFdCount;
}

std::vector<std::string> TGlobal::ConfigProblems(const char* configPath, const char* serverPath) {
  std::vector<std::string> out;
  CMarkupSTL conf;
  bool conf_read = false;
  std::string max_fd;
  if (!conf.Load(configPath)) {
    out.push_back(std::string(configPath) + ": cannot be read, or is not well-formed XML");
  } else if (!conf.FindElem("SYSTEM")) {
    out.push_back(std::string(configPath) + ": no SYSTEM element at the top level");
  } else {
    conf_read = true;
    const std::string dir_problem = log_dir_problem(configPath, conf.GetAttrib("LogDir"));
    if (!dir_problem.empty()) out.push_back(dir_problem);
    max_fd = conf.GetAttrib("MaxFdCount");
  }

  CMarkupSTL servers;
  if (!servers.Load(serverPath)) {
    out.push_back(std::string(serverPath) + ": cannot be read, or is not well-formed XML");
    return out;
  }
  if (!servers.FindElem("SYSTEM") || !servers.IntoElem()) {
    out.push_back(std::string(serverPath) + ": no SYSTEM element at the top level");
    return out;
  }
  if (!servers.FindElem("Node")) return out;  // no logic server at all
  if (!servers.IntoElem() || !servers.FindElem("ServerList") || !servers.IntoElem()) {
    out.push_back(std::string(serverPath) + ": Node holds no ServerList");
    return out;
  }
  std::map<long, int> listed;  // svid -> position of its Server element
  int count = 0;
  while (servers.FindElem("Server")) {
    const std::string element = "Server " + std::to_string(++count);
    const std::string svid_text = servers.GetAttrib("svid");
    const std::string port_text = servers.GetAttrib("port");
    long svid = 0;
    long port = 0;
    if (!whole_number(svid_text, 1, INT_MAX, &svid)) {
      out.push_back(problem(serverPath, element, "svid", svid_text, "not a server id (a whole number from 1 to 2147483647)"));
    } else if (listed.count(svid) != 0) {
      out.push_back(problem(serverPath, element, "svid", svid_text,
                            "listed twice (also Server " + std::to_string(listed[svid]) + ")"));
    } else {
      listed[svid] = count;
    }
    if (!whole_number(port_text, 1, 65535, &port))
      out.push_back(problem(serverPath, element, "port", port_text, "not a port (a whole number from 1 to 65535)"));
  }

  // The listener takes a poller slot, and every logic server two: one for its link and
  // one the listener keeps free for reconnecting it.
  const int capacity = PollerCapacity(to_int(max_fd));
  if (conf_read && 1 + 2L * count >= capacity)
    out.push_back(problem(configPath, "SYSTEM", "MaxFdCount", max_fd,
                          std::to_string(capacity) + " poller slots leave none for clients beside the listener and the " +
                              std::to_string(count) + " logic servers of " + serverPath + " (two slots each)"));
  return out;
}

int TGlobal::RefuseConfigProblems(const char* configPath, const char* serverPath) {
  const std::vector<std::string> problems = ConfigProblems(configPath, serverPath);
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
