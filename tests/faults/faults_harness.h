// Fault-injection helpers: a gateway started with chosen descriptor limits, a Redis
// that keeps its data across a kill, and readings of a running process (descriptors,
// memory, CPU).
#ifndef HALL_TESTS_FAULTS_HARNESS_H
#define HALL_TESTS_FAULTS_HARNESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "../integration/relay_harness.h"
#include "hall_run.h"
#include "test_support.h"

namespace faulttest {

// `hall` in the foreground, with chosen descriptor limits (max_fd: MaxFdCount of
// config.xml; nofile: RLIMIT_NOFILE of the gateway process).
struct FaultGatewayConfig : testsupport::HallConfig {
  FaultGatewayConfig() {
    log_level = 4;
    helper_timeout = 600;
  }
};

class FaultGateway : public testsupport::HallRun {
 public:
  explicit FaultGateway(const FaultGatewayConfig& cfg) : HallRun(cfg) {}
  void kill9() { stop(SIGKILL); }
};

// redis-server that keeps what it acknowledged across a kill.
struct DurableRedis : testsupport::RedisServer {
  DurableRedis() : RedisServer(true) {}
};

int open_fds(pid_t pid);
// The process's descriptors and what each one is, for failure messages.
std::string fd_targets(pid_t pid);  // entries of /proc/PID/fd, -1 when unreadable
long rss_kb(pid_t pid);             // VmRSS of /proc/PID/status, -1 when unreadable
using testsupport::count_of;
using testsupport::cpu_ticks;

}  // namespace faulttest

#endif
