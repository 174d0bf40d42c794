#include "upgrade/upgrade.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_unit.h"
#include "decode_unit.h"
#include "global.h"
#include "upgrade/hand_over.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "listener.h"
#include "log.h"
#include "metrics/registry.h"
#include "net.h"
#include "poller.h"
#include "proxy_module.h"
#include "stats.h"
#include "timerlist.h"
#include "timestamp.h"

extern char** environ;

namespace hall_upgrade {

using namespace __http_svr_ns__;

namespace {

const char kFdEnv[] = "HALL_UPGRADE_FD";
const char kListenEnv[] = "HALL_UPGRADE_LISTEN";
// The new process says ready within this long, or the upgrade is given up.
const int kReadySeconds = 10;
// Every wait on the socket once the hand-over has begun.
const int kHandOverWaitMs = 20000;
// The old process half-closes its logic links once what its clients sent is written, and
// leaves when their servers have closed them: each server answers what it read first.
// At most kLeaveMaxUs for each of the two waits.
const int64_t kLeaveMaxUs = 3000000;
// A frame of connections closes before its records pass this size.
const size_t kBatchBytes = 1u << 20;
// Descriptors the new process keeps free beyond the connections it takes.
const int kFdMargin = 32;

// Appends what the hand-over socket holds to `in`: false once the other side has closed
// it or it failed, true when it is merely empty for now.
bool read_available(int fd, std::string* in) {
  char buf[16384];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      in->append(buf, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

enum TResult {
  RESULT_OK,
  RESULT_START_FAILED,
  RESULT_EXITED,
  RESULT_TIMEOUT,
  RESULT_REFUSED,
  RESULT_FAILED,
  RESULT_KINDS
};
const char* const kResultNames[RESULT_KINDS] = {"ok", "start_failed", "exited", "timeout", "refused", "failed"};

volatile sig_atomic_t g_requested = 0;
std::string g_path;               // the binary an upgrade starts
std::vector<std::string> g_argv;  // the command line it gets
int g_successor_fd = -1;          // the successor's end of the hand-over socket

// Figures for /metrics and the log.
struct {
  uint64_t results[RESULT_KINDS] = {};
  double pause_seconds = 0;  // the loop's pause during the last hand-over
  uint64_t clients = 0;      // connections handed over (old) or taken (new) the last time
  uint64_t bytes = 0;        // state bytes of those
  uint64_t results_passed = 0;
} g_fig;

void requested(int) { g_requested = 1; }

// The upgrade's families, after the gateway's own on the metrics page.
void register_metrics() {
  using hall_metrics::CExposition;
  using hall_metrics::CMetricsRegistry;
  CMetricsRegistry::add("hall_upgrades_total", "counter", "Live upgrades by result.", [](CExposition& e) {
    for (int r = 0; r < RESULT_KINDS; ++r)
      e.sample("hall_upgrades_total", std::string("result=\"") + kResultNames[r] + "\"",
               static_cast<unsigned long long>(g_fig.results[r]));
  });
  CMetricsRegistry::add("hall_upgrade_pause_seconds", "gauge", "The loop's pause during the last hand-over.",
                        [](CExposition& e) {
                          char pause[64];
                          snprintf(pause, sizeof(pause), "%.6f", g_fig.pause_seconds);
                          e.sample("hall_upgrade_pause_seconds", "", std::string(pause));
                        });
  CMetricsRegistry::add_gauge("hall_upgrade_clients", "Client connections of the last hand-over.",
                              [] { return static_cast<long long>(g_fig.clients); });
  CMetricsRegistry::add_gauge("hall_upgrade_state_bytes", "State bytes of the last hand-over.",
                              [] { return static_cast<long long>(g_fig.bytes); });
  CMetricsRegistry::add_counter("hall_upgrade_results_passed_total",
                                "Results passed on to the process that took the clients over.", &g_fig.results_passed);
}

int count_open_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return 0;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n > 3 ? n - 3 : 0;  // ".", ".." and the directory's own descriptor
}

// Connections this process can still take: descriptors under RLIMIT_NOFILE and poller
// slots under MaxFdCount, less a margin for the links it opens itself.
int descriptor_room() {
  struct rlimit rl;
  long fds = INT_MAX;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    fds = static_cast<long>(rl.rlim_cur) - count_open_fds() - kFdMargin;
  CPollerUnit* unit = CIncoming::Instance()->pollerunit();
  long slots = unit != nullptr ? unit->GetMaxPollers() - unit->GetUsedPollers() - kFdMargin : 0;
  const long room = std::min(fds, slots);
  return room > 0 ? static_cast<int>(room) : 0;
}

void set_blocking(int fd, bool blocking, int timeout_ms) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
  struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Writes the hello, the connections in batches (descriptors with their records) and the
// end. False when a frame could not be written (errno tells why).
bool send_state(int fd, const std::vector<CDecoderUnit*>& units, const std::vector<TConnCarry>& carries,
                uint64_t* bytes) {
  CWriter hello;
  hello.u32(kStateVersion);
  hello.u32(static_cast<uint32_t>(units.size()));
  hello.u64(0);
  bool ok = send_frame(fd, FRAME_HELLO, hello.text());
  // Batches of at most kMaxFds descriptors and about kBatchBytes of records.
  for (size_t at = 0; ok && at < units.size();) {
    CWriter batch;
    std::vector<int> fds;
    CWriter records;
    while (at < units.size() && static_cast<int>(fds.size()) < kMaxFds && records.text().size() < kBatchBytes) {
      write_carry(&records, carries[at]);
      fds.push_back(units[at]->get_netfd());
      ++at;
    }
    batch.u32(static_cast<uint32_t>(fds.size()));
    batch.text() += records.text();
    *bytes += batch.text().size();
    ok = send_frame(fd, FRAME_CONNS, batch.text(), fds.data(), static_cast<int>(fds.size()));
  }
  CWriter end;
  end.u32(static_cast<uint32_t>(units.size()));
  return ok && send_frame(fd, FRAME_END, end.text());
}

// ---------------------------------------------------------------------------------------
// The old process: starts the new binary, waits for ready, hands over, then passes results
// on until it leaves.
class CUpgrader : public CPollerObject, public CTimerObject {
 public:
  explicit CUpgrader(CPollerUnit* unit) : CPollerObject(unit, -1) {}

  // An upgrade was asked for: starts the new process unless one is under way.
  void begin(int64_t now);
  bool on_turn(int64_t now);
  int InputNotify() override;
  int HangupNotify() override { return InputNotify(); }
  void TimerNotify() override;
  // Passes a result on to the new process (the sink of CHelperUnit).
  bool pass_result(const char* packet, unsigned len);

 private:
  enum Stage { kIdle, kWaiting, kLeaving };
  // The upgrade did not happen: logged, counted, the child ended, serving goes on.
  void give_up(TResult result, const std::string& why);
  void close_link();
  void hand_over(const std::string& ready);
  void leave(const std::vector<CDecoderUnit*>& units, int stay, uint64_t bytes, uint32_t pid, int64_t t0);

  Stage _stage = kIdle;
  pid_t _child = -1;
  std::string _in;              // bytes read while waiting for ready
  int64_t _handed_at = 0;       // when the hand-over ended
  int64_t _half_closed_at = 0;  // when the logic links were half-closed (0: not yet)
  int64_t _drain_until = 0;     // clients left here (TLS, WebSocket) are closed then
};

CUpgrader* g_upgrader = nullptr;

bool sink(const char* packet, unsigned len) { return g_upgrader != nullptr && g_upgrader->pass_result(packet, len); }

void CUpgrader::close_link() {
  DisableInput();
  DetachPoller();
  if (netfd >= 0) ::close(netfd);
  netfd = -1;
}

void CUpgrader::give_up(TResult result, const std::string& why) {
  DisableTimer();
  close_link();
  // The child is reaped by the kernel (SIGCHLD is ignored); it may still run when it did
  // not answer in time or was refused.
  if (_child > 0 && result != RESULT_START_FAILED && result != RESULT_EXITED) kill(_child, SIGKILL);
  _child = -1;
  _stage = kIdle;
  _in.clear();
  ++g_fig.results[result];
  log_error("upgrade failed (%s): %s; this process serves on", kResultNames[result], why.c_str());
}

void CUpgrader::begin(int64_t now) {
  (void)now;
  if (_stage != kIdle) {
    log_error("upgrade asked for while one is under way: ignored");
    return;
  }
  if (TGlobal::_drainRequested) {
    log_error("upgrade asked for while draining: ignored");
    return;
  }
  log_boot("upgrade: starting %s", g_path.c_str());
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    ++g_fig.results[RESULT_START_FAILED];
    log_error("upgrade failed (start_failed): socketpair: %s; this process serves on", strerror(errno));
    return;
  }
  // Everything the child needs is made before fork: after it, only async-signal-safe
  // calls (the rolling log has a thread of its own).
  std::vector<int> keep = {0, 1, 2, sv[1]};
  std::string listen_env = std::string(kListenEnv) + "=";
  for (const CNet::TListening& l : CNet::listening()) {
    keep.push_back(l.fd);
    listen_env += std::to_string(l.addr) + ":" + std::to_string(l.port) + ":" + std::to_string(l.fd) + ",";
  }
  std::sort(keep.begin(), keep.end());
  const std::string fd_env = std::string(kFdEnv) + "=" + std::to_string(sv[1]);
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    if (strncmp(*e, "HALL_UPGRADE_", 13) != 0) envp.push_back(*e);
  envp.push_back(const_cast<char*>(fd_env.c_str()));
  envp.push_back(const_cast<char*>(listen_env.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (const std::string& a : g_argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  struct rlimit rl;
  const unsigned top =
      getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 1048576 ? static_cast<unsigned>(rl.rlim_cur) : 1048576u;

  const pid_t pid = fork();
  if (pid == 0) {
    // A session of its own: the old process's exit, or a signal to its process group,
    // does not reach the new one. No parent-death signal is set.
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Only the standard descriptors, the socket and the listening sockets go to the new
    // binary: client connections, logic links and log files of this process do not.
    unsigned from = 0;
    for (int fd : keep) {
      fcntl(fd, F_SETFD, 0);
      if (static_cast<unsigned>(fd) > from && close_range(from, static_cast<unsigned>(fd) - 1, 0) != 0)
        for (unsigned f = from; f < static_cast<unsigned>(fd); ++f) close(static_cast<int>(f));
      from = static_cast<unsigned>(fd) + 1;
    }
    if (close_range(from, ~0u, 0) != 0)
      for (unsigned f = from; f < top; ++f) close(static_cast<int>(f));
    execve(g_path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(sv[1]);
  if (pid < 0) {
    ::close(sv[0]);
    ++g_fig.results[RESULT_START_FAILED];
    log_error("upgrade failed (start_failed): fork: %s; this process serves on", strerror(errno));
    return;
  }
  _child = pid;
  netfd = sv[0];
  set_blocking(netfd, false, 0);
  EnableInput();
  if (AttachPoller() < 0) {
    give_up(RESULT_FAILED, "the socket could not be polled");
    return;
  }
  AttachTimer(CIncoming::Instance()->timerunit()->GetTimerList(kReadySeconds));
  _stage = kWaiting;
}

int CUpgrader::InputNotify() {
  if (_stage == kLeaving) {
    // The new process never writes after its ACK: the end of the stream, or an error.
    char buf[256];
    if (recv(netfd, buf, sizeof(buf), MSG_DONTWAIT) <= 0) close_link();
    return 0;
  }
  if (_stage != kWaiting) return 0;
  if (!read_available(netfd, &_in)) {
    give_up(RESULT_EXITED, "the new process ended before it was ready (see its start-up lines in the process log)");
    return 1;
  }
  if (_in.size() < 8) return 0;
  uint32_t head[2];
  memcpy(head, _in.data(), sizeof(head));
  if (head[0] != FRAME_READY || head[1] > 64) {
    give_up(RESULT_REFUSED, "the new process did not speak the hand-over protocol");
    return 1;
  }
  if (_in.size() < 8 + head[1]) return 0;
  DisableTimer();
  hand_over(_in.substr(8, head[1]));
  return 1;
}

void CUpgrader::TimerNotify() {
  if (_stage == kWaiting) {
    give_up(RESULT_TIMEOUT, "the new process did not say ready within " + std::to_string(kReadySeconds) + " s");
    return;
  }
  // While leaving, the timer only wakes the loop so that on_turn looks again.
  if (_stage == kLeaving) AttachTimer(CIncoming::Instance()->timerunit()->GetTimerListMs(50));
}

void CUpgrader::hand_over(const std::string& ready) {
  CReader r(ready.data(), ready.size());
  const uint32_t version = r.u32();
  const uint32_t room = r.u32();
  const uint32_t pid = r.u32();
  if (!r.ok()) return give_up(RESULT_REFUSED, "a ready message cut short");
  if (version != kStateVersion)
    return give_up(RESULT_REFUSED, "the new binary reads state format " + std::to_string(version) +
                                       ", this one writes " + std::to_string(kStateVersion));

  CIncoming* incoming = CIncoming::Instance();
  const int64_t t0 = GET_TIMESTAMP();
  // The forwards read in this turn go into the links' sockets before the clients can send
  // anything to the new process: a logic server then has a client's earlier requests
  // before its later ones (unless a link's socket is full and its queue waits here).
  CHelperUnit::flush_deferred();
  // From here the loop pauses: nothing is read from the clients, nothing accepted.
  incoming->hold_listeners(true);
  std::vector<CDecoderUnit*> units;
  std::vector<TConnCarry> carries;
  int stay = 0;
  for (CListener* l : incoming->listeners())
    for (CDecoderUnit* u : l->clients()) {
      TConnCarry c;
      if (u->carry_out(&c)) {
        units.push_back(u);
        carries.push_back(std::move(c));
      } else {
        ++stay;
      }
    }
  const auto undo = [&](TResult res, const std::string& why) {
    for (CDecoderUnit* u : units)
      if (u->get_web_unit() != nullptr) u->get_web_unit()->resume();
    incoming->hold_listeners(false);
    give_up(res, why);
  };
  if (units.size() > room)
    return undo(RESULT_REFUSED, "the new process has room for " + std::to_string(room) + " connections, " +
                                    std::to_string(units.size()) + " would travel");

  set_blocking(netfd, true, kHandOverWaitMs);
  uint64_t bytes = 0;
  const bool ok = send_state(netfd, units, carries, &bytes);
  uint32_t type = 0;
  std::string answer, why;
  std::vector<int> none;
  if (!ok) return undo(RESULT_FAILED, std::string("the hand-over could not be written: ") + strerror(errno));
  if (!recv_frame(netfd, kHandOverWaitMs, &type, &answer, &none, &why))
    return undo(RESULT_FAILED, "no answer to the hand-over: " + why);
  for (int fd : none) ::close(fd);
  if (type == FRAME_NAK) return undo(RESULT_REFUSED, "the new process refused the hand-over: " + answer);
  if (type != FRAME_ACK) return undo(RESULT_FAILED, "an unexpected answer to the hand-over");

  leave(units, stay, bytes, pid, t0);
}

// The new process serves the clients from its ACK on: this one lets them go and waits for
// its logic links to fall quiet, passing on what they still bring.
void CUpgrader::leave(const std::vector<CDecoderUnit*>& units, int stay, uint64_t bytes, uint32_t pid, int64_t t0) {
  CIncoming* incoming = CIncoming::Instance();
  const int64_t t1 = GET_TIMESTAMP();
  // Each leaves the poller before this process's copy of its descriptor closes, with no
  // shutdown() and no close notice.
  for (CDecoderUnit* u : units) u->let_go();
  incoming->let_go_listeners();
  const int64_t t2 = GET_TIMESTAMP();
  ++g_fig.results[RESULT_OK];
  g_fig.pause_seconds = static_cast<double>(t1 - t0) / 1e6;
  g_fig.clients = units.size();
  g_fig.bytes = bytes;
  log_boot(
      "upgrade: handed over %zu clients (%zu fds, %llu state bytes) to pid %u; loop paused %.1f ms, then %.1f ms "
      "to let them go here; %d clients stay to drain",
      units.size(), units.size(), static_cast<unsigned long long>(bytes), pid, static_cast<double>(t1 - t0) / 1000.0,
      static_cast<double>(t2 - t1) / 1000.0, stay);
  _stage = kLeaving;
  _handed_at = t2;
  _half_closed_at = 0;
  _drain_until = t1 + static_cast<int64_t>(TGlobal::_drainTimeout) * 1000000;
  // Another drain or upgrade is the new process's to do: a drain here would withdraw the
  // registration that the new process owns now.
  signal(SIGUSR1, SIG_IGN);
  signal(SIGUSR2, SIG_IGN);
  // Results for the clients handed over go to the new process from now on.
  set_blocking(netfd, true, 1000);
  CHelperUnit::set_result_sink(sink);
  AttachTimer(incoming->timerunit()->GetTimerListMs(50));
}

bool CUpgrader::pass_result(const char* packet, unsigned len) {
  if (_stage != kLeaving || netfd < 0) return false;
  if (!send_frame(netfd, FRAME_RESULT, std::string(packet, len))) {
    log_error("upgrade: a result could not be passed on to the new process: %s", strerror(errno));
    close_link();
    return false;
  }
  ++g_fig.results_passed;
  return true;
}

bool CUpgrader::on_turn(int64_t now) {
  if (g_requested) {
    g_requested = 0;
    begin(now);
  }
  if (_stage != kLeaving) return false;
  int left = 0;
  for (CListener* l : CIncoming::Instance()->listeners()) left += l->client_count();
  if (left > 0) {
    if (now < _drain_until) return false;
    log_boot("upgrade: %d clients that could not travel closed after %d s", left, TGlobal::_drainTimeout);
    for (CListener* l : CIncoming::Instance()->listeners())
      for (CDecoderUnit* u : l->clients()) u->complete();
    return false;
  }
  // Results for forwards still in a logic server come back on this process's links, at
  // whatever time the server takes: a link is done when its server closes it, after the
  // half-close that follows the last forward, as in a drain.
  if (_half_closed_at == 0) {
    bool written = true;
    if (_helperpool != nullptr)
      for (const auto& link : _helperpool->m_helpermap)
        if (link.second != nullptr && link.second->pending_output() > 0) written = false;
    if (!written && now - _handed_at < kLeaveMaxUs) return false;
    if (_helperpool != nullptr)
      for (const auto& link : _helperpool->m_helpermap)
        if (link.second != nullptr) link.second->half_close();
    _half_closed_at = now;
  }
  int up = 0;
  if (_helperpool != nullptr)
    for (const auto& link : _helperpool->m_helpermap) up += link.second != nullptr && link.second->link_up();
  if (up > 0 && now - _half_closed_at < kLeaveMaxUs) return false;
  log_boot("upgrade: logic links closed (%d left open); %llu results passed on; this process leaves", up,
           static_cast<unsigned long long>(g_fig.results_passed));
  CHelperUnit::set_result_sink(nullptr);
  DisableTimer();
  close_link();
  return true;
}

// ---------------------------------------------------------------------------------------
// The new process: results the old process passes on, delivered as if they came on a
// logic link of this one.
class CInlet : public CPollerObject {
 public:
  CInlet(CPollerUnit* unit, int fd) : CPollerObject(unit, fd) {}
  int InputNotify() override;
  int HangupNotify() override { return InputNotify(); }

 private:
  std::string _in;
};

int CInlet::InputNotify() {
  // Results that arrived together with the end of the stream are delivered before the
  // socket closes.
  const bool open = read_available(netfd, &_in);
  size_t at = 0;
  while (_in.size() - at >= 8) {
    uint32_t head[2];
    memcpy(head, _in.data() + at, sizeof(head));
    if (_in.size() - at - 8 < head[1]) break;
    if (head[0] != FRAME_RESULT || CHelperUnit::route_result(_in.data() + at + 8, head[1]) < 0)
      log_error("upgrade: a message from the old process that is not a result (type %u, %u bytes): dropped", head[0],
                head[1]);
    at += 8 + head[1];
  }
  _in.erase(0, at);
  if (open) return 0;
  // The old process has left.
  log_info("upgrade: the old process closed the hand-over socket");
  DisableInput();
  DetachPoller();
  ::close(netfd);
  netfd = -1;
  return 1;
}

CInlet* g_inlet = nullptr;

int refuse(int sock, const std::string& why) {
  send_frame(sock, FRAME_NAK, why);
  log_boot("upgrade: this process does not take over: %s", why.c_str());
  return -1;
}

}  // namespace

void note_start(int argc, char** argv) {
  g_argv.assign(argv, argv + argc);
  g_path.clear();
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-u") == 0) g_path = argv[i + 1];
  char buf[PATH_MAX];
  if (g_path.empty()) {
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) g_path.assign(buf, static_cast<size_t>(n));
  } else if (realpath(g_path.c_str(), buf) != nullptr) {
    g_path = buf;
  }
  TGlobal::CatchSignal(SIGUSR2, requested);
  CIncoming::set_more_metrics(register_metrics);

  const char* fd_text = getenv(kFdEnv);
  if (fd_text != nullptr) {
    g_successor_fd = atoi(fd_text);
    fcntl(g_successor_fd, F_SETFD, FD_CLOEXEC);
    // addr:port:fd,... of every listening socket handed down.
    const char* listen_text = getenv(kListenEnv);
    std::string rest = listen_text != nullptr ? listen_text : "";
    for (size_t at = 0; at < rest.size();) {
      size_t end = rest.find(',', at);
      if (end == std::string::npos) end = rest.size();
      unsigned long addr = 0, port = 0;
      int fd = -1;
      if (sscanf(rest.substr(at, end - at).c_str(), "%lu:%lu:%d", &addr, &port, &fd) == 3 && fd > 2) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        CNet::inherit_listening(static_cast<uint32_t>(addr), static_cast<unsigned short>(port), fd);
      }
      at = end + 1;
    }
    unsetenv(kFdEnv);
    unsetenv(kListenEnv);
  }
  CIncoming::Instance()->set_turn_hook(on_turn);
}

bool successor() { return g_successor_fd >= 0; }

// Closes the descriptors of a batch from `first` on (those not adopted).
void close_from(const std::vector<int>& fds, size_t first) {
  for (size_t k = first; k < fds.size(); ++k) ::close(fds[k]);
}

// Serves one batch of handed-over connections: "" or why the hand-over is refused (the
// batch's descriptors not yet adopted are closed then).
std::string adopt_batch(const std::string& payload, const std::vector<int>& fds, uint32_t* taken, uint32_t* lost) {
  CIncoming* incoming = CIncoming::Instance();
  CReader r(payload.data(), payload.size());
  const uint32_t count = r.u32();
  if (!r.ok() || count != fds.size()) {
    close_from(fds, 0);
    return "a batch whose records and descriptors disagree";
  }
  for (uint32_t i = 0; i < count; ++i) {
    TConnCarry c;
    if (!read_carry(&r, &c)) {
      close_from(fds, i);
      return "a broken state record";
    }
    CListener* home = nullptr;
    for (CListener* l : incoming->listeners())
      if (l->transport_kind() == c.kind) home = l;
    if (home == nullptr) {
      close_from(fds, i);
      return std::string("no listener for ") +
             hall_transport::transport_name(static_cast<hall_transport::TTransportKind>(c.kind)) +
             " clients in this configuration";
    }
    fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    if (home->adopt_client(fds[i], c) == nullptr)
      ++*lost;
    else
      ++*taken;
  }
  return std::string();
}

int take_over() {
  const int sock = g_successor_fd;
  const int unused = CNet::close_unused_inherited();
  if (unused > 0) log_boot("upgrade: %d listening sockets handed down are not used by this configuration", unused);
  set_blocking(sock, true, kHandOverWaitMs);
  CWriter ready;
  ready.u32(kStateVersion);
  ready.u32(static_cast<uint32_t>(descriptor_room()));
  ready.u32(static_cast<uint32_t>(getpid()));
  if (!send_frame(sock, FRAME_READY, ready.text())) {
    log_boot("upgrade: ready could not be said: %m");
    return -1;
  }
  log_flush();
  uint32_t type = 0;
  std::string payload, why;
  std::vector<int> fds;
  // The old process may refuse on its side and end this one: a closed socket then.
  if (!recv_frame(sock, kHandOverWaitMs, &type, &payload, &fds, &why)) {
    log_boot("upgrade: no hand-over: %s", why.c_str());
    return -1;
  }
  const int64_t t0 = GET_TIMESTAMP();
  CReader hello(payload.data(), payload.size());
  const uint32_t version = hello.u32();
  const uint32_t expected = hello.u32();
  if (type != FRAME_HELLO || !hello.ok()) return refuse(sock, "no hello");
  if (version != kStateVersion)
    return refuse(sock, "state format " + std::to_string(version) + " is not read by this version (it reads " +
                            std::to_string(kStateVersion) + ")");
  if (static_cast<int>(expected) > descriptor_room()) return refuse(sock, "no descriptor room for the connections");

  CIncoming* incoming = CIncoming::Instance();
  uint32_t taken = 0, lost = 0;
  uint64_t bytes = 0;
  for (;;) {
    if (!recv_frame(sock, kHandOverWaitMs, &type, &payload, &fds, &why)) return refuse(sock, why);
    if (type == FRAME_END) break;
    if (type != FRAME_CONNS) {
      for (int fd : fds) ::close(fd);
      return refuse(sock, "an unexpected message in the hand-over");
    }
    bytes += payload.size();
    const std::string refused = adopt_batch(payload, fds, &taken, &lost);
    if (!refused.empty()) return refuse(sock, refused);
  }
  if (!send_frame(sock, FRAME_ACK, std::string())) {
    log_boot("upgrade: the hand-over could not be confirmed: %m");
    return -1;
  }
  const int64_t t1 = GET_TIMESTAMP();
  ++g_fig.results[RESULT_OK];
  g_fig.clients = taken;
  g_fig.bytes = bytes;
  g_fig.pause_seconds = static_cast<double>(t1 - t0) / 1e6;
  log_boot("upgrade: pid %u took over %u clients (%llu state bytes) in %.1f ms; %u could not be served",
           static_cast<unsigned>(getpid()), taken, static_cast<unsigned long long>(bytes),
           static_cast<double>(t1 - t0) / 1000.0, lost);
  char state[64];
  snprintf(state, sizeof(state), "MAINPID=%u\nREADY=1", static_cast<unsigned>(getpid()));
  CProxyModule::notify_service_manager(state);
  // Results the old process's links still bring come on the same socket.
  set_blocking(sock, false, 0);
  g_inlet = new CInlet(incoming->pollerunit(), sock);
  g_inlet->EnableInput();
  if (g_inlet->AttachPoller() < 0) log_error("upgrade: the hand-over socket could not be polled");
  g_successor_fd = -1;
  return 0;
}

bool on_turn(int64_t now_us) {
  if (g_upgrader == nullptr) {
    if (!g_requested) return false;
    g_upgrader = new CUpgrader(CIncoming::Instance()->pollerunit());
  }
  if (!g_upgrader->on_turn(now_us)) return false;
  delete g_upgrader;
  g_upgrader = nullptr;
  return true;
}

}  // namespace hall_upgrade
