// Helpers shared by the test programs: temporary directories, free loopback ports,
// child processes, loopback sockets, and a real redis-server on a private port.
// Every wait here is bounded in time.
#ifndef HALL_TESTS_SUPPORT_H
#define HALL_TESTS_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);  // "" when missing
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);
long file_size(const std::string& path);  // -1 when missing

// A TCP port on 127.0.0.1 that nobody listens on right now.
int free_port();
// n such ports, all different.
std::vector<int> free_ports(size_t n);
// A UDP socket bound to 127.0.0.1 on a free port; returns the fd and stores the port.
int udp_listener(int* port);
// A TCP socket listening on 127.0.0.1 on a free port; returns the fd (-1 on failure) and
// stores the port. rcvbuf > 0: that receive buffer, which accepted connections inherit.
int tcp_listener(int* port, int backlog = 16, int rcvbuf = 0);
// True when a connection waits to be accepted on the listening socket `fd` (no wait).
bool connection_waiting(int fd);
// One datagram within timeout_ms, or "" when none came.
std::string recv_datagram(int fd, int timeout_ms);

// Repeats pred every few milliseconds until it holds or timeout_ms passed.
bool wait_until(const std::function<bool()>& pred, int timeout_ms);

// Blocking TCP connect to 127.0.0.1:port, from the loopback address `from` when given;
// -1 on failure.
int tcp_connect_local(int port, int timeout_ms = 2000, const char* from = nullptr);
bool port_open(int port);
bool wait_port(int port, int timeout_ms);
// Writes everything; false on error.
bool send_all(int fd, const void* data, size_t len);
// Reads exactly len bytes within timeout_ms (total); returns bytes read (< len on
// time-out, error or peer close).
size_t recv_exact(int fd, void* data, size_t len, int timeout_ms);
// True when the peer closed the connection (EOF or reset) within timeout_ms.
bool wait_closed(int fd, int timeout_ms);
// True while a connection accepted on 127.0.0.1:port holds bytes its owner has not read.
bool unread_bytes_on_port(int port);
// True while a socket of local port `port` has received its peer's end of the stream
// and not closed (CLOSE_WAIT).
bool peer_closed_on_port(int port);

// utime + stime of a process in clock ticks (/proc/PID/stat); -1 when unreadable.
long cpu_ticks(pid_t pid);

// The exit code of a wait status; -1 for any other end, and for -1 (no status).
int exit_code(int status);
// How many times `needle` stands in `text`, not overlapping.
size_t count_of(const std::string& text, const std::string& needle);

// Path of a program built by this project.
std::string binary(const std::string& name);
std::string source_path(const std::string& rel);

// Runs `body` in a child process with a network namespace of its own: loopback up and
// `port` the only local port a connect may take, so that a connect to 127.0.0.1:`port`,
// where nothing listens, meets itself. Returns what body returned (0 to 125), or -1
// where this machine allows no such namespace (not root); -2 when the child did not end.
int where_connects_meet_themselves(int port, const std::function<int()>& body);

// A process that Ctrl-C, SIGTERM or SIGHUP on the test kills with its process group (the
// children that Process starts are noted by themselves; a detached gateway is not a child).
void kill_at_stop_signal(pid_t pid);
void forget_at_stop_signal(pid_t pid);
// Running: neither gone nor a zombie that nobody has reaped yet (a detached process's
// parent may never reap it).
bool process_alive(pid_t pid);

// A child process with its standard output and error captured in files.
class Process {
 public:
  Process() = default;
  ~Process();  // kills (SIGKILL) and reaps the process if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (a path) with the given working directory; false when fork fails.
  bool start(const std::vector<std::string>& argv, const std::string& cwd = "", const std::string& out_file = "",
             const std::string& err_file = "");
  pid_t pid() const { return pid_; }
  bool running();
  // Sends sig and waits up to timeout_ms for the exit; returns the wait status or -1.
  int stop(int sig = 15, int timeout_ms = 5000);
  // Waits for the exit; returns the wait status, or -1 on time-out.
  int wait(int timeout_ms);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs a program to completion (bounded) the way a shell's `$(...)` does: its output and
// error go into one pipe that is read to its end. Returns its wait status, or -1 when it
// did not end, or something (a daemon it left behind) held the pipe open, for timeout_ms.
int run_program(const std::vector<std::string>& argv, const std::string& cwd = "", int timeout_ms = 30000,
                std::string* output = nullptr);

// A self-signed EC pair made by the openssl program, renamed into place as dir/cert.pem
// and dir/key.pem (a watcher never reads half a file); `san` adds a subjectAltName.
// Returns the base64 SHA-256 of the public key (a browser's SPKI pin), "" on failure.
std::string make_certificate(const std::string& dir, const std::string& cn, const std::string& san = "");

// A private redis-server on 127.0.0.1 in its own directory, without persistence unless
// `durable`: then an append-only file synced on every write, so that a kill loses
// nothing it acknowledged and start() after kill9() finds it all on the same port.
class RedisServer {
 public:
  explicit RedisServer(bool durable = false) : durable_(durable) {}
  ~RedisServer() { stop(); }
  // Starts an empty server on `port`, or on a free port when it is 0.
  bool start(int port = 0);
  // Further command-line arguments of the server (--replicaof HOST PORT, ...).
  std::vector<std::string> extra_args;
  void stop();
  void kill9() { proc_.stop(SIGKILL, 5000); }
  int port() const { return port_; }
  // Further addresses to listen on beside 127.0.0.1, from the next start on (private
  // addresses of a test's own network namespace: protected mode is then off).
  void also_bind(const std::string& addr) { also_bind_.push_back(addr); }
  // Runs one command over a fresh connection; the reply as text ("(nil)" for nil,
  // integers in decimal, arrays joined by '\n', errors prefixed with "ERR:").
  std::string command(const std::vector<std::string>& args);
  // Freezes (SIGSTOP) or thaws (SIGCONT) the server: its connections stay open and
  // nothing is answered. stop() thaws it first.
  void freeze(bool frozen);
  // True while a connection to the server holds bytes it has not read: a command that
  // waits on a frozen server.
  bool has_unread_command() const;

 private:
  bool durable_;
  std::vector<std::string> also_bind_;
  TempDir* dir_ = nullptr;
  Process proc_;
  int port_ = 0;
};

// One command to the Redis server (or sentinel) on 127.0.0.1:port, answered as by
// RedisServer::command.
std::string redis_command(int port, const std::vector<std::string>& args);

}  // namespace testsupport

#endif
