#include "hall_run.h"

#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

HallRun::HallRun(const HallConfig& cfg) : cfg_(cfg), port_(free_port()) {
  for (const char* d : {"bin", "conf", "log"}) mkdir(dir_.file(d).c_str(), 0755);
  const int redis_port = cfg.redis_port > 0 ? cfg.redis_port : free_port();
  std::string conf = "<SYSTEM LogDir=\"../log\" LogNum=\"3\" LogSize=\"" + std::to_string(cfg.log_size) +
                     "\" LogLevel=\"" + std::to_string(cfg.log_level) + "\"";
  if (cfg.max_fd > 0) conf += " MaxFdCount=\"" + std::to_string(cfg.max_fd) + "\"";
  conf += " WebTimeout=\"" + std::to_string(cfg.web_timeout) + "\" HelperTimeout=\"" +
          std::to_string(cfg.helper_timeout) + "\"";
  if (cfg.max_listen > 0) conf += " MaxListenCount=\"" + std::to_string(cfg.max_listen) + "\"";
  conf += " BindAddr=\"" + cfg.bind_addr + "\" RedisServer=\"" + cfg.redis_ip + "\" RedisPort=\"" +
          std::to_string(redis_port) + "\" UdpSwitch=\"" + std::to_string(cfg.udp_switch) + "\"";
  if (cfg.udp_port >= 0) conf += " UdpServer=\"127.0.0.1\" UdpPort=\"" + std::to_string(cfg.udp_port) + "\"";
  for (const auto& a : cfg.attrs) conf += " " + a.first + "=\"" + a.second + "\"";
  write_file(dir_.file("conf/config.xml"), conf + "/>\n");
  std::string servers = "<SYSTEM>\n";
  if (cfg.with_node) {
    servers += "  <Node>\n    <ServerList>\n";
    for (const auto& s : cfg.servers)
      servers += "      <Server svid=\"" + std::to_string(s.first) + "\" ip=\"" + cfg.servers_ip + "\" port=\"" +
                 std::to_string(s.second) + "\"/>\n";
    servers += "    </ServerList>\n  </Node>\n";
  }
  write_file(dir_.file("conf/server.xml"), servers + "</SYSTEM>\n");
  if (cfg.coloring_file) write_file(dir_.file("conf/clib_log_coloring.conf"), "");
}

HallRun::~HallRun() { stop(); }

std::vector<std::string> HallRun::argv(bool foreground) const {
  std::vector<std::string> a = {binary("hall"), "-p",   std::to_string(port_), "-s", std::to_string(cfg_.svid),
                                "-h",           cfg_.ip};
  if (foreground) a.push_back("-f");
  a.insert(a.end(), cfg_.args.begin(), cfg_.args.end());
  return a;
}

bool HallRun::start(int timeout_ms) {
  std::vector<std::string> a = argv(true);
  if (cfg_.nofile > 0) {
    // The shell lowers the limit and becomes the gateway: the test's own limit stays.
    a.insert(a.begin(), {"/bin/sh", "-c", "ulimit -n " + std::to_string(cfg_.nofile) + " && exec \"$@\"", "sh"});
  }
  a.insert(a.begin(), cfg_.launcher.begin(), cfg_.launcher.end());
  // The port takes connections as soon as the gateway listens, before it has connected
  // to its logic servers; start-up is over only when this process logs its last line.
  if (!proc_.start(a, bin(), dir_.file("stdout.txt"), dir_.file("stderr.txt"))) return false;
  return wait_until([&] { return !proc_.running() || started_up(); }, timeout_ms) && proc_.running();
}

int HallRun::start_daemon(std::string* output) {
  const int st = run_program(argv(false), bin(), 30000, output);
  // Only a gateway that reported success is ours to stop later; the pid of a failed
  // one may already belong to someone else.
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) daemon_pid_ = logged_pid();
  if (daemon_pid_ > 0) kill_at_stop_signal(daemon_pid_);
  return st;
}

pid_t HallRun::logged_pid() const {
  pid_t pid = -1;
  DIR* d = opendir(dir_.file("log").c_str());
  if (d == nullptr) return -1;
  // Failed starts leave their files too: the gateway that runs is the one to name.
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "debug.", 6) != 0) continue;
    const pid_t logged = static_cast<pid_t>(atoi(e->d_name + 6));
    if (pid <= 0 || process_alive(logged)) pid = logged;
  }
  closedir(d);
  return pid;
}

bool HallRun::alive() { return daemon_pid_ > 0 ? kill(daemon_pid_, 0) == 0 : proc_.running(); }

int HallRun::stop(int sig) {
  if (daemon_pid_ > 0) {
    const pid_t pid = daemon_pid_;
    daemon_pid_ = -1;
    forget_at_stop_signal(pid);
    if (kill(pid, sig) == 0 && !wait_until([&] { return kill(pid, 0) != 0; }, 5000)) kill(pid, SIGKILL);
  }
  return proc_.stop(sig, 5000);
}

bool HallRun::started_up() const {
  static const std::string kDone = "Proxy open is done!!";
  const std::string me = "pid[" + std::to_string(proc_.pid()) + "]";
  const std::string log = process_log();
  for (size_t at = log.find(kDone); at != std::string::npos; at = log.find(kDone, at + kDone.size())) {
    const size_t line = log.rfind('\n', at);
    const size_t from = line == std::string::npos ? 0 : line + 1;
    if (log.substr(from, at - from).find(me) != std::string::npos) return true;
  }
  return false;
}

std::string HallRun::stderr_text() const { return read_file(dir_.file("stderr.txt")); }

int HallRun::check(std::string* out) const { return exit_code(run_program({binary("hall"), "-t"}, bin(), 30000, out)); }

std::string HallRun::process_log() const {
  std::string all;
  DIR* d = opendir(dir_.file("log").c_str());
  if (d == nullptr) return all;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "Log_", 4) == 0) all += read_file(dir_.file("log/") + e->d_name);
  }
  closedir(d);
  return all;
}

bool HallRun::wait_log(const std::string& needle, int timeout_ms) const {
  return wait_until([&] { return process_log().find(needle) != std::string::npos; }, timeout_ms);
}

bool start_order_sync_client(Process* client, const std::string& dir, int gateway_port, int redis_port, int client_id,
                             const std::string& redis_lines, const std::string& gateway_ip, const std::string& redis_ip,
                             const std::vector<std::string>& launcher, const std::string& gateway_lines) {
  const std::string conf = dir + "/client.ini";
  write_file(conf, "[gateway]\nip=" + gateway_ip + "\nport=" + std::to_string(gateway_port) +
                       "\nclient_id=" + std::to_string(client_id) + "\n" + gateway_lines + "[redis]\nip=" + redis_ip +
                       "\nport=" + std::to_string(redis_port) + "\nkey=orders\n" + redis_lines + "[log]\ndir=" + dir +
                       "/log\n");
  std::vector<std::string> argv = launcher;
  argv.insert(argv.end(), {binary("order_sync_client"), conf});
  return client->start(argv, dir, dir + "/out", dir + "/out");
}

std::string http(int port, const std::string& request) {
  const int fd = tcp_connect_local(port);
  if (fd < 0) return "no connection";
  std::string out;
  if (send_all(fd, request.data(), request.size())) {
    char buf[4096];
    for (int i = 0; i < 1000; ++i) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

std::string scrape(int port) {
  const std::string reply = http(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

double figure(const std::string& text, const std::string& series) {
  const size_t at = ("\n" + text).find("\n" + series + " ");
  return at == std::string::npos ? -1 : strtod(text.c_str() + at + series.size() + 1, nullptr);
}

}  // namespace testsupport
