#include "gateway_harness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>

namespace gwtest {

using testsupport::wait_until;

Gateway::~Gateway() { stop(); }

int Gateway::start_daemon(std::string* output) {
  const int st = testsupport::run_program(argv(false), bin(), 30000, output);
  // Only a gateway that reported success is ours to stop later; the pid of a failed
  // one may already belong to someone else.
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) daemon_pid_ = logged_pid();
  return st;
}

pid_t Gateway::logged_pid() const {
  pid_t pid = -1;
  DIR* d = opendir((root() + "/log").c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "debug.", 6) == 0) pid = static_cast<pid_t>(atoi(e->d_name + 6));
  }
  closedir(d);
  return pid;
}

void Gateway::stop() {
  HallRun::stop();
  if (daemon_pid_ > 0) {
    if (kill(daemon_pid_, SIGTERM) == 0) {
      const pid_t pid = daemon_pid_;
      if (!wait_until([&] { return kill(pid, 0) != 0; }, 5000)) kill(pid, SIGKILL);
    }
    daemon_pid_ = -1;
  }
}

bool Gateway::alive() {
  if (daemon_pid_ > 0) return kill(daemon_pid_, 0) == 0;
  return HallRun::alive();
}

}  // namespace gwtest
