#include "faults_harness.h"

#include <dirent.h>
#include <hiredis/hiredis.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace faulttest {

using testsupport::wait_until;

DurableRedis::DurableRedis() : port_(testsupport::free_port()) {}

bool DurableRedis::start() {
  std::vector<std::string> argv = {"/usr/bin/redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
                                   "--save", "", "--appendonly", "yes", "--appendfsync", "always",
                                   "--dir", dir_.path(), "--daemonize", "no"};
  if (!proc_.start(argv, dir_.path(), dir_.file("redis.log"), dir_.file("redis.log"))) return false;
  return wait_until([&] { return command({"PING"}) == "PONG"; }, 10000);
}

void DurableRedis::kill9() { proc_.stop(SIGKILL, 5000); }

std::string DurableRedis::command(const std::vector<std::string>& args) {
  timeval tv{2, 0};
  redisContext* c = redisConnectWithTimeout("127.0.0.1", port_, tv);
  if (c == nullptr || c->err) {
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
  redisReply* r = static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
  std::string out = "ERR:io";
  if (r != nullptr) {
    if (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS)
      out.assign(r->str, r->len);
    else if (r->type == REDIS_REPLY_INTEGER)
      out = std::to_string(r->integer);
    else if (r->type == REDIS_REPLY_NIL)
      out = "(nil)";
    else if (r->type == REDIS_REPLY_ERROR)
      out = "ERR:" + std::string(r->str, r->len);
    else
      out = "(other)";
    freeReplyObject(r);
  }
  redisFree(c);
  return out;
}

// ---------------------------------------------------------------------------------------

int open_fds(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

std::string fd_targets(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[256];
    ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
    out += std::string(e->d_name) + "->" + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?") + " ";
  }
  closedir(d);
  return out;
}

long rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  return -1;
}

long cpu_ticks(pid_t pid) {
  std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
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

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

}  // namespace faulttest
