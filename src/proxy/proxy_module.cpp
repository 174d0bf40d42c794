#include "proxy_module.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>

#include "clib_log.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "log.h"
#include "mempool.h"
#include "process_objects.h"
#include "realtimer.h"
#include "registration/redis_server.h"
#include "watchdog.h"

namespace __http_svr_ns__ {

comm::sockcommu::CMemPool* _webMp = nullptr;
comm::sockcommu::CMemPool* _helpMp = nullptr;

namespace {

const char kConfigPath[] = "../conf/config.xml";
const char kColoringPath[] = "../conf/clib_log_coloring.conf";
const char kTimeFormat[] = "[%Y-%m-%d %H:%M:%S] ";
const char kStartupOk = 'O';

// Detaches like daemon(1, 1) (working directory and standard descriptors kept), but
// the process the shell started does not exit at once: it waits on a pipe until the
// child reports the end of start-up, and exits 0 only when the gateway is listening.
// In the child, returns the write end of the pipe (or -1 after a failure to detach).
int detach_and_wait_for_startup() {
  int fds[2];
  if (pipe(fds) != 0) {
    fprintf(stderr, "%s: cannot create the start-up pipe: %s\n", TGlobal::_progname, strerror(errno));
    return -1;
  }
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "%s: cannot fork: %s\n", TGlobal::_progname, strerror(errno));
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (pid > 0) {
    ::close(fds[1]);
    char status = 0;
    ssize_t n;
    do {
      n = read(fds[0], &status, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1 && status == kStartupOk) _exit(0);
    fprintf(stderr, "%s: start-up failed (see the messages above and the process log)\n", TGlobal::_progname);
    _exit(1);
  }
  ::close(fds[0]);
  setsid();
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return fds[1];
}

// Points standard input, output and error at /dev/null.
void release_standard_streams() {
  fflush(stdout);
  fflush(stderr);
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) dup2(null_fd, fd);
  if (null_fd > STDERR_FILENO) ::close(null_fd);
}

clib_log* open_rolling_log(const char* pattern) {
  char path[100];
  snprintf(path, sizeof(path), pattern, static_cast<unsigned>(getpid()));
  clib_log* log = new (std::nothrow) clib_log(nullptr, 0, kTimeFormat, 0, 5, 10485760, "", "\n", 1, kColoringPath);
  if (log == nullptr) return nullptr;
  // The gateway runs on without it, but its departures and backend traffic would be
  // lost without a word: say so where the starter sees it.
  if (log->set_file(path, 1) != 0) log_boot("rolling log %s cannot be created: %m; its lines are lost", path);
  log->set_level(5);
  log->set_maxfile(5);
  log->set_maxsize(10240000);
  log->set_timeformat(kTimeFormat);
  return log;
}

// A whole decimal number in [lo, hi]; anything else (empty, trailing text, out of
// range) is refused.
bool parse_number(const char* text, long lo, long hi, long* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

const char* arg_or_missing(int argc, char** argv, int i) { return i < argc ? argv[i] : "(missing)"; }

}  // namespace

// Tells a service manager that waits for it (systemd's Type=notify sets NOTIFY_SOCKET)
// that start-up is over. Without it, the manager would count the gateway as started the
// moment it was forked, even when start-up then fails.
void CProxyModule::notify_service_manager(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  const size_t len = strlen(path);
  if (len >= sizeof(addr.sun_path)) return;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // an abstract socket
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr),
                       static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len)) < 0)
    log_boot("cannot tell the service manager %s: %m", state);
  if (fd >= 0) ::close(fd);
}

CProxyModule::CProxyModule() : m_pRedisServer(nullptr), _startup_fd(-1) {}

CProxyModule::~CProxyModule() {
  // Closing the pipe without the success byte tells a waiting parent that start-up
  // failed.
  if (_startup_fd >= 0) ::close(_startup_fd);
  _startup_fd = -1;
  // The module lives as long as the process; it is destroyed only when main ends, after
  // a failed start-up or a stopped loop. Its Redis link goes with it.
  delete m_pRedisServer;
  m_pRedisServer = nullptr;
}

int CProxyModule::check_configuration() {
  TConfigReading reading;
  TGlobal::ReadConfiguration(kConfigPath, TGlobal::_serverListPath, &reading);
  return TGlobal::CheckConfig(reading, kColoringPath, stdout);
}

bool CProxyModule::foreground_requested(int argc, char** argv) {
  for (int i = 7; i < argc; ++i) {
    if (strcmp(argv[i], "-f") == 0 || strcmp(argv[i], "--foreground") == 0) return true;
  }
  return false;
}

void CProxyModule::report_startup(bool ok) {
  if (_startup_fd < 0) {
    // In the foreground the process the service manager started is the gateway itself.
    if (ok) notify_service_manager("READY=1");
    return;
  }
  if (ok) {
    // The starter exits with this byte, but whoever reads its output through a pipe
    // (`$(...)`, ssh, a supervisor) waits until every writer is gone: the detached
    // gateway lets go of the standard descriptors it shares with the starter first.
    release_standard_streams();
    ssize_t n;
    do {
      n = write(_startup_fd, &kStartupOk, 1);
    } while (n < 0 && errno == EINTR);
  }
  ::close(_startup_fd);
  _startup_fd = -1;
}

int CProxyModule::open(int argc, char** argv) {
  open_standard_descriptors();
  TGlobal::SetupSignals();
  if (!_successor && !foreground_requested(argc, argv)) {
    _startup_fd = detach_and_wait_for_startup();
    if (_startup_fd < 0) return -1;
  }

  if (create_process_objects() < 0) return -1;

  // Both files are read once, here; the check (hall -t) reads them the same way.
  TConfigReading reading;
  TGlobal::ReadConfiguration(kConfigPath, TGlobal::_serverListPath, &reading);
  if (TGlobal::DaemonInit(reading) < 0) return -1;
  if (TGlobal::RefuseConfigProblems(reading) < 0) return -1;

  if (argc < 7 || strcmp(argv[1], "-p") != 0 || strcmp(argv[3], "-s") != 0 || strcmp(argv[5], "-h") != 0) {
    log_boot("param format error %s,%s,%s", arg_or_missing(argc, argv, 1), arg_or_missing(argc, argv, 3),
             arg_or_missing(argc, argv, 5));
    fprintf(stderr,
            "usage: %s -p PORT -s SVID -h IP [-f]   (-f: stay in the foreground)\n"
            "       %s -t                           (check the configuration)\n",
            TGlobal::_progname, TGlobal::_progname);
    return -1;
  }
  // A port or server id that is not a whole number in range is refused below ("param
  // value error") instead of being cut to some other value.
  long port = 0;
  long svid = 0;
  const bool port_ok = parse_number(argv[2], 1, 65535, &port);
  const bool svid_ok = parse_number(argv[4], 1, 0x7fffffffL, &svid);
  TGlobal::_port = port_ok ? static_cast<uint16_t>(port) : 0;
  TGlobal::_svid = svid_ok ? static_cast<int>(svid) : 0;
  TGlobal::_ip = argv[6];
  // Checked before the gateway announces itself anywhere: a port of 0 or a bad server
  // id must not reach the Redis registry.
  if (TGlobal::_port == 0 || TGlobal::_svid <= 0) {
    log_boot("param value error");
    return -1;
  }

  if (TGlobal::_udpSwitch != 0) {
    LogFile = new (std::nothrow) Watchdog(TGlobal::_udpIp, TGlobal::_udpPort);
    assert(LogFile != __null);
    if (LogFile == nullptr) return -1;
    LogFile->init();
  }

  m_pRedisServer = new (std::nothrow) CRedisServer();
  if (m_pRedisServer == nullptr) return -1;
  // The gateway starts even when Redis cannot be reached.
  if (!TGlobal::_redisMaster.empty()) m_pRedisServer->SetSentinels(TGlobal::_redisSentinels, TGlobal::_redisMaster);
  m_pRedisServer->Connect(TGlobal::_redisIp, TGlobal::_redisPort);

  g_pDebugLog = open_rolling_log("../log/debug.%u");
  g_pErrorLog = open_rolling_log("../log/error.%u");
  if (g_pDebugLog == nullptr || g_pErrorLog == nullptr) {
    log_boot("create rolling logs failed.");
    return -1;
  }

  if (CIncoming::Instance() == nullptr || CIncoming::Instance()->open() < 0) {
    log_boot("Init incoming instance failed");
    return -1;
  }
  // Announced only once listening: a start-up that fails (port in use, a logic server
  // not reachable) must not overwrite the record of the gateway that runs under this
  // server id, nor leave one of its own behind.
  m_pRedisServer->SetInfo(TGlobal::_ip, TGlobal::_port, TGlobal::_svid);
  m_pRedisServer->StartRefresh(CIncoming::Instance()->pollerunit(), CIncoming::Instance()->timerunit(),
                               TGlobal::_registerInterval, TGlobal::_ip, TGlobal::_port, TGlobal::_svid);
  return 0;
}

CProxyModule::TStopMaker CProxyModule::_stop_maker = nullptr;

int CProxyModule::run(void* arg) {
  TGlobal::_module_close = static_cast<volatile int*>(arg);
  CIncoming* incoming = CIncoming::Instance();
  CLoopStop* stop = _stop_maker != nullptr ? _stop_maker(incoming, m_pRedisServer) : nullptr;
  incoming->set_drain(stop);
  const int ret = incoming->run();
  incoming->set_drain(nullptr);
  delete stop;
  return ret;
}

int CProxyModule::close() {
  if (m_pRedisServer != nullptr) m_pRedisServer->StopRefresh();  // it lives on the reactor
  destroy_process_objects();
  log_boot("%s v%s: stopped", TGlobal::_progname, TGlobal::_version);
  return 0;
}

}  // namespace __http_svr_ns__
