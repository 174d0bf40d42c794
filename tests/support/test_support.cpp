#include "test_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A test killed by Ctrl-C (SIGINT), SIGTERM or SIGHUP runs no destructor: the servers it
// started, each in a process group of its own that the terminal's signal does not reach,
// and its temporary directories would stay behind. The handler kills those groups and
// removes those directories (with async-signal-safe calls only), then dies of the signal.
const int kLeftovers = 256;
std::atomic<pid_t> g_children[kLeftovers];
std::atomic<bool> g_dir_used[kLeftovers];
char g_dirs[kLeftovers][32];  // "/tmp/hall-test-XXXXXX"
pid_t g_owner = 0;

void clean_up_and_die(int sig) {
  if (getpid() == g_owner) {
    for (std::atomic<pid_t>& c : g_children) {
      const pid_t p = c.exchange(0);
      if (p <= 0) continue;
      kill(-p, SIGKILL);
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
    char* argv[kLeftovers + 3];
    int n = 0;
    argv[n++] = const_cast<char*>("rm");
    argv[n++] = const_cast<char*>("-rf");
    for (int i = 0; i < kLeftovers; ++i)
      if (g_dir_used[i].load()) argv[n++] = g_dirs[i];
    argv[n] = nullptr;
    const pid_t rm = n > 2 ? fork() : -1;
    if (rm == 0) {
      execv("/bin/rm", argv);
      _exit(127);
    }
    if (rm > 0) waitpid(rm, nullptr, 0);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void clean_up_on_stop_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  g_owner = getpid();
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = clean_up_and_die;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

}  // namespace

// Slot bookkeeping of what the handler cleans up; a full table only loses the clean-up.
void kill_at_stop_signal(pid_t pid) {
  clean_up_on_stop_signals();
  for (std::atomic<pid_t>& c : g_children) {
    pid_t free_slot = 0;
    if (c.compare_exchange_strong(free_slot, pid)) return;
  }
}
void forget_at_stop_signal(pid_t pid) {
  for (std::atomic<pid_t>& c : g_children) {
    pid_t mine = pid;
    if (c.compare_exchange_strong(mine, 0)) return;
  }
}

// Running: neither gone nor a zombie that nobody has reaped yet.
bool process_alive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close_paren = stat.rfind(')');
  return close_paren == std::string::npos || close_paren + 2 >= stat.size() || stat[close_paren + 2] != 'Z';
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/hall-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  path_ = p ? p : "/tmp";
  if (p == nullptr || path_.size() >= sizeof(g_dirs[0])) return;
  clean_up_on_stop_signals();
  for (int i = 0; i < kLeftovers; ++i) {
    if (g_dir_used[i].load() || g_dirs[i][0] != '\0') continue;
    snprintf(g_dirs[i], sizeof(g_dirs[i]), "%s", path_.c_str());
    g_dir_used[i].store(true);
    break;
  }
}

TempDir::~TempDir() {
  for (int i = 0; i < kLeftovers; ++i) {
    if (g_dir_used[i].load() && path_ == g_dirs[i]) {
      g_dir_used[i].store(false);
      g_dirs[i][0] = '\0';
      break;
    }
  }
  if (path_ != "/tmp") nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

int free_port() {
  // Taken below the kernel's ephemeral range (32768 and up): a port the kernel handed out
  // for a moment would be given again to the outgoing connections of whatever runs beside
  // the test (thousands of them in the load tests), and a server started on it later
  // would find it taken. Each test process walks its own stretch of the range.
  static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr))};
  const unsigned kFirst = 20000, kCount = 12000;
  for (int tries = 0; tries < 200; ++tries) {
    const int port = static_cast<int>(kFirst + next.fetch_add(1) % kCount);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return port;
  }
  return -1;
}

std::string recv_datagram(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return "";
  char buf[2048];
  ssize_t n = recv(fd, buf, sizeof(buf), 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

namespace {

// A socket of `type` bound to 127.0.0.1 on a free port; returns the fd and stores the port.
int loopback_socket(int type, int* port) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

int udp_listener(int* port) { return loopback_socket(SOCK_DGRAM, port); }

int tcp_listener(int* port, int backlog, int rcvbuf) {
  int fd = loopback_socket(SOCK_STREAM, port);
  if (fd < 0) return -1;
  // Set before listening, so that the connections it accepts inherit it.
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  if (listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool connection_waiting(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  long long end = now_ms() + timeout_ms;
  for (;;) {
    if (pred()) return true;
    if (now_ms() >= end) return false;
    usleep(5000);
  }
}

int tcp_connect_local(int port, int timeout_ms, const char* from) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (from != nullptr) {
    sockaddr_in src{};
    src.sin_family = AF_INET;
    if (inet_pton(AF_INET, from, &src.sin_addr) != 1 || bind(fd, (sockaddr*)&src, sizeof src) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  int r = connect(fd, (sockaddr*)&a, sizeof a);
  if (r < 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeout_ms) == 1) {
      int err = 0;
      socklen_t l = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l);
      r = err == 0 ? 0 : -1;
    }
  }
  if (r < 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fl);
  return fd;
}

bool port_open(int port) {
  int fd = tcp_connect_local(port, 500);
  if (fd < 0) return false;
  close(fd);
  return true;
}

long cpu_ticks(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream in(stat.substr(close_paren + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the name start at the state (3rd); utime and stime are the 14th and 15th.
  for (int i = 3; i <= 15 && (in >> field); ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

int exit_code(int status) { return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

bool wait_port(int port, int timeout_ms) {
  return wait_until([&] { return port_open(port); }, timeout_ms);
}

bool send_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

size_t recv_exact(int fd, void* data, size_t len, int timeout_ms) {
  char* p = static_cast<char*>(data);
  size_t got = 0;
  long long end = now_ms() + timeout_ms;
  while (got < len) {
    long long left = end - now_ms();
    if (left <= 0) break;
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, (int)left) <= 0) continue;
    ssize_t n = ::recv(fd, p + got, len - got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    got += (size_t)n;
  }
  return got;
}

bool wait_closed(int fd, int timeout_ms) {
  long long end = now_ms() + timeout_ms;
  char buf[4096];
  for (;;) {
    long long left = end - now_ms();
    if (left <= 0) return false;
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, (int)left) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
  }
}

std::vector<int> free_ports(size_t n) {
  std::vector<int> ports;
  for (int tries = 0; ports.size() < n && tries < 1000; ++tries) {
    const int p = free_port();
    if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
  }
  return ports;
}

std::string make_certificate(const std::string& dir, const std::string& cn, const std::string& san) {
  std::vector<std::string> argv = {"/usr/bin/openssl",
                                   "req",
                                   "-x509",
                                   "-newkey",
                                   "ec",
                                   "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1",
                                   "-nodes",
                                   "-days",
                                   "2",
                                   "-subj",
                                   "/CN=" + cn,
                                   "-keyout",
                                   dir + "/k.tmp",
                                   "-out",
                                   dir + "/c.tmp"};
  if (!san.empty()) argv.insert(argv.end(), {"-addext", "subjectAltName=" + san});
  if (exit_code(run_program(argv, dir)) != 0 || rename((dir + "/k.tmp").c_str(), (dir + "/key.pem").c_str()) != 0 ||
      rename((dir + "/c.tmp").c_str(), (dir + "/cert.pem").c_str()) != 0)
    return "";
  std::string hash;
  const std::string pipeline = "/usr/bin/openssl x509 -in " + dir +
                               "/cert.pem -pubkey -noout | /usr/bin/openssl pkey -pubin -outform der |"
                               " /usr/bin/openssl dgst -sha256 -binary | base64";
  if (run_program({"/bin/sh", "-c", pipeline}, "", 30000, &hash) != 0) return "";
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  return hash;
}

std::string binary(const std::string& name) { return std::string(HALL_BINARY_DIR) + "/" + name; }
std::string source_path(const std::string& rel) { return std::string(HALL_SOURCE_DIR) + "/" + rel; }

Process::~Process() {
  if (pid_ > 0) stop(SIGKILL, 5000);
}

bool Process::start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& out_file,
                    const std::string& err_file) {
  if (argv.empty()) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    int out = out_file.empty() ? devnull : open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = err_file.empty() ? devnull : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    // The child keeps only 0-2: a server started here must not hold copies of the
    // test's sockets (a link the test closes would otherwise stay open in it).
    if (close_range(3, ~0U, 0) != 0) {
      const long max_fd = sysconf(_SC_OPEN_MAX);
      for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd) close(static_cast<int>(fd));
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  status_ = -1;
  kill_at_stop_signal(pid);
  return true;
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    forget_at_stop_signal(pid_);
    status_ = st;
    pid_ = -1;
    return false;
  }
  return true;
}

int Process::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  if (wait_until([&] { return !running(); }, timeout_ms)) return status_;
  return -1;
}

int Process::stop(int sig, int timeout_ms) {
  if (pid_ <= 0) return status_;
  kill(pid_, sig);
  int st = wait(timeout_ms);
  if (st == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    st = wait(5000);
  }
  return st;
}

int where_connects_meet_themselves(int port, const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int kNotHere = 126;
    if (unshare(CLONE_NEWNET) != 0) _exit(kNotHere);
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr = {};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0) _exit(kNotHere);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) _exit(kNotHere);
    close(s);
    FILE* range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "w");
    if (range == nullptr) _exit(kNotHere);
    fprintf(range, "%d %d\n", port, port);
    if (fclose(range) != 0) _exit(kNotHere);
    _exit(body() & 0x7f);
  }
  int status = -1;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -2;
  }
  if (!WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 126 ? -1 : WEXITSTATUS(status);
}

int run_program(const std::vector<std::string>& argv, const std::string& cwd, int timeout_ms, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const std::string write_end = "/dev/fd/" + std::to_string(fds[1]);
  Process p;
  const bool started = p.start(argv, cwd, write_end, write_end);
  close(fds[1]);
  std::string out;
  bool ended = false;
  const bool in_time = started && wait_until(
                                      [&] {
                                        pollfd pfd = {fds[0], POLLIN, 0};
                                        char buf[4096];
                                        while (!ended && poll(&pfd, 1, 0) == 1) {
                                          const ssize_t n = read(fds[0], buf, sizeof(buf));
                                          if (n > 0) out.append(buf, static_cast<size_t>(n));
                                          ended = n <= 0;
                                        }
                                        return ended;
                                      },
                                      timeout_ms);
  close(fds[0]);
  int st = started ? p.wait(in_time ? timeout_ms : 1) : -1;
  if (st == -1 && started) p.stop(SIGKILL);
  if (output) *output = out;
  return in_time ? st : -1;
}

bool RedisServer::start(int port) {
  // A durable server comes back with its data on its port; a port given starts afresh
  // there (an empty Redis in place of the old one).
  if (port != 0 || !durable_ || dir_ == nullptr) {
    stop();
    dir_ = new TempDir();
    port_ = port != 0 ? port : free_port();
  }
  std::vector<std::string> argv = {"/usr/bin/redis-server",
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   durable_ ? "yes" : "no",
                                   "--appendfsync",
                                   "always",
                                   "--dir",
                                   dir_->path(),
                                   "--daemonize",
                                   "no"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  argv.insert(argv.begin() + 5, also_bind_.begin(), also_bind_.end());
  // Peers on the further addresses are no loopback clients; protected mode would refuse them.
  if (!also_bind_.empty()) argv.insert(argv.end(), {"--protected-mode", "no"});
  const char* env = getenv("REDIS_SERVER");
  if (env && *env) argv[0] = env;
  if (!proc_.start(argv, dir_->path(), dir_->file("redis.log"), dir_->file("redis.log"))) return false;
  return wait_until([&] { return command({"PING"}) == "PONG"; }, 10000);
}

void RedisServer::freeze(bool frozen) {
  if (proc_.pid() > 0) kill(proc_.pid(), frozen ? SIGSTOP : SIGCONT);
}

bool RedisServer::has_unread_command() const { return unread_bytes_on_port(port_); }

namespace {

// True when `match(local port, state, receive queue)` holds for an IPv4 TCP socket.
template <class Match>
bool any_tcp_socket(Match match) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // column names
  while (std::getline(tcp, line)) {
    // "sl local rem st tx_queue:rx_queue ...", addresses as HEXIP:HEXPORT
    std::istringstream in(line);
    std::string sl, local, remote, state, queues;
    if (!(in >> sl >> local >> remote >> state >> queues)) continue;
    const size_t colon = local.find(':');
    const size_t q = queues.find(':');
    if (colon == std::string::npos || q == std::string::npos) continue;
    if (match(std::stoi(local.substr(colon + 1), nullptr, 16), state, std::stol(queues.substr(q + 1), nullptr, 16)))
      return true;
  }
  return false;
}

}  // namespace

bool unread_bytes_on_port(int port) {
  return any_tcp_socket(
      [&](int p, const std::string& state, long unread) { return p == port && state == "01" && unread > 0; });
}

bool peer_closed_on_port(int port) {
  // 08: CLOSE_WAIT, the peer's end of the stream arrived.
  return any_tcp_socket([&](int p, const std::string& state, long) { return p == port && state == "08"; });
}

void RedisServer::stop() {
  freeze(false);
  proc_.stop(SIGTERM, 5000);
  delete dir_;
  dir_ = nullptr;
}

std::string RedisServer::command(const std::vector<std::string>& args) { return redis_command(port_, args); }

std::string redis_command(int port, const std::vector<std::string>& args) {
  timeval tv{2, 0};
  redisContext* c = redisConnectWithTimeout("127.0.0.1", port, tv);
  if (!c || c->err) {
    if (c) redisFree(c);
    return "ERR:connect";
  }
  redisSetTimeout(c, tv);
  std::vector<const char*> argv;
  std::vector<size_t> lens;
  for (const auto& a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  redisReply* r = (redisReply*)redisCommandArgv(c, (int)argv.size(), argv.data(), lens.data());
  std::string out;
  std::function<std::string(redisReply*)> text = [&](redisReply* x) -> std::string {
    switch (x->type) {
      case REDIS_REPLY_STRING:
      case REDIS_REPLY_STATUS:
        return std::string(x->str, x->len);
      case REDIS_REPLY_ERROR:
        return "ERR:" + std::string(x->str, x->len);
      case REDIS_REPLY_INTEGER:
        return std::to_string(x->integer);
      case REDIS_REPLY_NIL:
        return "(nil)";
      case REDIS_REPLY_ARRAY: {
        std::string s;
        for (size_t i = 0; i < x->elements; ++i) s += (i ? "\n" : "") + text(x->element[i]);
        return s;
      }
      default:
        return "?";
    }
  };
  out = r ? text(r) : "ERR:noreply";
  if (r) freeReplyObject(r);
  redisFree(c);
  return out;
}

}  // namespace testsupport
