#include "faults_harness.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace faulttest {

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

}  // namespace faulttest
