// The time-manager task, read from other processes (tools/tm_reader, or a fork).
// Every task a test starts is killed by the test's TaskGuard.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tm_task.h"

using testsupport::TempDir;

namespace {

// Kills and reaps the tasks a test started, however the test ends.
class TaskGuard {
 public:
  ~TaskGuard() {
    for (pid_t p : pids_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
  pid_t add(pid_t p) {
    if (p > 0) pids_.push_back(p);
    return p;
  }

 private:
  std::vector<pid_t> pids_;
};

pid_t lock_holder(const std::string& file) {
  int fd = open(file.c_str(), O_RDWR);
  if (fd < 0) return 0;
  struct flock fl;
  memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  pid_t holder = 0;
  if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) holder = fl.l_pid;
  close(fd);
  return holder;
}

// A task started on a file of its own, killed and reaped at the end.
struct Task {
  TempDir dir;
  const std::string file = dir.file("timemgrtask");
  TaskGuard guard;
  const pid_t pid = guard.add(get_timetask(file.c_str()));
};

// The record as the test sees it: a mapping of its own, not the one-time readers,
// unmapped at the end.
struct Unmap {
  void operator()(time_mgr* rec) const { munmap(rec, 32); }
};
typedef std::unique_ptr<time_mgr, Unmap> Record;
Record map_record(const std::string& file) {
  bool f_new = false;
  return Record(static_cast<time_mgr*>(map_file(file.c_str(), 32, f_new)));
}

std::string reader(const std::vector<std::string>& args, const std::string& cwd = "") {
  std::vector<std::string> argv{testsupport::binary("tm_reader")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  EXPECT_EQ(0, testsupport::run_program(argv, cwd, 30000, &out));
  return out;
}

// tm_reader's "time": the shared clock's seconds agree with the system's.
void expect_shared_time_is_system_time(const std::string& file) {
  std::istringstream out(reader({file, "time"}));
  long shared = 0, sys = 0;
  out >> shared >> sys;
  EXPECT_LE(std::labs(shared - sys), 1);
}

struct Sample {
  long sec, usec;
  long long us() const { return static_cast<long long>(sec) * 1000000 + usec; }
};

// Parses "sec usec" lines followed by "sys sec usec".
std::vector<Sample> parse_tval(const std::string& out, Sample* sys) {
  std::vector<Sample> v;
  std::istringstream in(out);
  std::string first;
  while (in >> first) {
    Sample s{};
    if (first == "sys") {
      in >> sys->sec >> sys->usec;
      break;
    }
    s.sec = atol(first.c_str());
    in >> s.usec;
    v.push_back(s);
  }
  return v;
}

bool reaped_by_signal(pid_t pid, int sig) {
  int status = 0;
  bool done = testsupport::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000);
  return done && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

}  // namespace

TEST(TmTask, RecordLayoutInTheFile) {
  Task task;
  ASSERT_GT(task.pid, 0);
  EXPECT_EQ(32, testsupport::file_size(task.file));
  const std::string bytes = testsupport::read_file(task.file);
  ASSERT_EQ(32u, bytes.size());
  int32_t stored_pid;
  int64_t sec;
  memcpy(&stored_pid, bytes.data() + 28, 4);
  memcpy(&sec, bytes.data() + 0, 8);
  EXPECT_EQ(task.pid, stored_pid);
  EXPECT_LE(std::labs(static_cast<long>(sec - time(nullptr))), 2);
}

TEST(TmTask, TaskFeedsReadersOfAnotherProcessIn5msSteps) {
  Task task;
  ASSERT_GT(task.pid, 0);
  Record rec = map_record(task.file);
  ASSERT_NE(nullptr, rec.get());
  EXPECT_EQ(task.pid, rec->pid);
  EXPECT_EQ(task.pid, lock_holder(task.file));

  Sample sys{};
  std::vector<Sample> v = parse_tval(reader({task.file, "tval", "30"}), &sys);
  ASSERT_GE(v.size(), 20u);
  std::vector<long long> steps;
  for (size_t i = 1; i < v.size(); ++i) steps.push_back(v[i].us() - v[i - 1].us());
  // The writer sleeps 5 ms between updates, so its steps are no shorter. A reader that
  // finds the writer stalled in the middle of an update (or stale) takes the system
  // clock instead, by design, and such a sample may stand closer than that to its
  // neighbours: on a loaded machine one in a run does, so the bound is on all but the
  // shortest tenth. A loaded machine may stretch steps, so the median only has a loose
  // upper bound.
  std::sort(steps.begin(), steps.end());
  EXPECT_GE(steps[steps.size() / 10], 4500);
  EXPECT_LE(steps[steps.size() / 2], 50000);
  EXPECT_LE(std::llabs(sys.us() - v.back().us()), 1000000);
}

TEST(TmTask, TmIsRefreshedOnceEvery21Turns) {
  Task task;
  ASSERT_GT(task.pid, 0);
  Record rec = map_record(task.file);
  ASSERT_NE(nullptr, rec.get());

  const int tval0 = rec->tval_fag.counter, tm0 = rec->tm_fag.counter;
  usleep(1200 * 1000);
  const int tval1 = rec->tval_fag.counter, tm1 = rec->tm_fag.counter;
  const int turns = (tval1 - tval0) / 2;
  const int tm_updates = (tm1 - tm0) / 2;
  EXPECT_GE(turns, 21);
  // One tm refresh per 21 turns, give or take the refresh at either end.
  EXPECT_LE(std::abs(tm_updates * 21 - turns), 2 * 21) << turns << " turns, " << tm_updates;

  EXPECT_LE(std::labs(static_cast<long>(rec->tm - time(nullptr))), 1);
  expect_shared_time_is_system_time(task.file);
}

TEST(TmTask, SecondTaskOnTheSameFileLeavesOneWriter) {
  TempDir dir;
  const std::string file = dir.file("timemgrtask");
  TaskGuard guard;
  const pid_t first = guard.add(get_timetask(file.c_str()));
  const pid_t second = guard.add(get_timetask(file.c_str()));
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  ASSERT_NE(first, second);
  EXPECT_TRUE(reaped_by_signal(first, SIGKILL));
  EXPECT_EQ(0, kill(second, 0));
  EXPECT_EQ(second, lock_holder(file));
  Record rec = map_record(file);
  ASSERT_NE(nullptr, rec.get());
  EXPECT_EQ(second, rec->pid);
}

// Two programs that start the task of one file at the same moment (both see no task yet):
// one task is left writing, not two. Five rounds, since the race is not won every time.
TEST(TmTask, TwoStartsAtTheSameMomentLeaveOneWriter) {
  auto live = [](pid_t p) {
    const std::string stat = testsupport::read_file("/proc/" + std::to_string(p) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
  };
  for (int round = 0; round < 5; ++round) {
    TempDir dir;
    const std::string file = dir.file("timemgrtask");
    TaskGuard guard;
    int go[2], result[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(result));
    pid_t starters[2];
    for (pid_t& st : starters) {
      st = fork();
      if (st == 0) {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) != 0) _exit(1);  // both go when the pipe closes
        const int task = get_timetask(file.c_str());
        _exit(write(result[1], &task, sizeof(task)) == sizeof(task) ? 0 : 1);
      }
      ASSERT_GT(st, 0);
    }
    close(go[0]);
    close(go[1]);
    close(result[1]);
    pid_t tasks[2] = {0, 0};
    for (pid_t& t : tasks) {
      int v = 0;
      ASSERT_EQ(static_cast<ssize_t>(sizeof(v)), read(result[0], &v, sizeof(v)));
      t = guard.add(v);
    }
    close(result[0]);
    for (pid_t st : starters) waitpid(st, nullptr, 0);
    EXPECT_TRUE(testsupport::wait_until([&] { return live(tasks[0]) + live(tasks[1]) == 1; }, 3000))
        << "round " << round << ": " << live(tasks[0]) + live(tasks[1]) << " tasks write the record";
    const pid_t holder = lock_holder(file);
    EXPECT_TRUE(holder == tasks[0] || holder == tasks[1]);
    EXPECT_TRUE(live(holder));
  }
}

TEST(TmTask, StaleProcessIdInTheFileIsNotKilled) {
  // The file names a process that is no time task (after a crash or a reboot the id
  // can belong to anything): get_timetask takes over without killing it.
  TempDir dir;
  const std::string file = dir.file("timemgrtask");
  testsupport::Process bystander;
  ASSERT_TRUE(bystander.start({"/bin/sleep", "30"}));
  Record rec = map_record(file);
  ASSERT_NE(nullptr, rec.get());
  rec->pid = bystander.pid();

  TaskGuard guard;
  const pid_t pid = guard.add(get_timetask(file.c_str()));
  ASSERT_GT(pid, 0);
  usleep(100 * 1000);
  EXPECT_TRUE(bystander.running());
  EXPECT_EQ(pid, rec->pid);
  EXPECT_EQ(pid, lock_holder(file));
}

TEST(TmTask, ReadersWithoutFileUseTheSystemClockAndCreateNothing) {
  TempDir dir;
  const std::string file = dir.file("absent");
  expect_shared_time_is_system_time(file);

  Sample sys_tv{};
  std::vector<Sample> v = parse_tval(reader({file, "tval", "3"}), &sys_tv);
  ASSERT_EQ(3u, v.size());
  EXPECT_LE(std::llabs(sys_tv.us() - v.back().us()), 1000000);
  EXPECT_FALSE(testsupport::file_exists(file));
}

TEST(TmTask, ReadersIgnoreTheRecordOfADeadTask) {
  TempDir dir;
  const std::string file = dir.file("timemgrtask");
  Record rec = map_record(file);
  ASSERT_NE(nullptr, rec.get());
  rec->tm = 12345;
  rec->tval.tv_sec = 12345;
  rec->pid = 999999;
  expect_shared_time_is_system_time(file);
}

// A reader that chose the record of a live task, whose task then dies (killed, crashed):
// once the record is more than a second old, the reads come from the system clock again.
TEST(TmTask, ReadersLeaveTheRecordOfATaskThatDiedAfterTheyStarted) {
  Task task;
  ASSERT_GT(task.pid, 0);
  const std::string& file = task.file;
  int to_child[2], from_child[2];
  ASSERT_EQ(0, pipe(to_child));
  ASSERT_EQ(0, pipe(from_child));
  const std::string bin = testsupport::binary("tm_reader");
  const pid_t child = fork();
  if (child == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    execl(bin.c_str(), bin.c_str(), file.c_str(), "hold", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  close(to_child[0]);
  close(from_child[1]);
  auto read_all = [&](const std::string& until) {
    std::string out;
    char buf[512];
    struct pollfd p = {from_child[0], POLLIN, 0};
    while (out.find(until) == std::string::npos && poll(&p, 1, 10000) == 1) {
      const ssize_t n = read(from_child[0], buf, sizeof(buf));
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  };
  ASSERT_EQ("ready\n", read_all("ready\n"));
  kill(task.pid, SIGKILL);
  ASSERT_TRUE(reaped_by_signal(task.pid, SIGKILL));
  Record rec = map_record(file);
  ASSERT_NE(nullptr, rec.get());
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        struct timeval now;
        gettimeofday(&now, nullptr);
        return (now.tv_sec - rec->tval.tv_sec) * 1000000LL + (now.tv_usec - rec->tval.tv_usec) > 1300000 &&
               time(nullptr) - rec->tm >= 3;
      },
      10000));
  ASSERT_EQ(3, write(to_child[1], "go\n", 3));
  std::istringstream out(read_all("sys "));
  long shared = 0, sys_time = 0;
  out >> shared >> sys_time;
  Sample sys{};
  std::vector<Sample> v = parse_tval(std::string(std::istreambuf_iterator<char>(out), {}), &sys);
  ASSERT_EQ(1u, v.size());
  EXPECT_LE(std::labs(shared - sys_time), 1);
  EXPECT_LE(std::llabs(sys.us() - v[0].us()), 200000);
  close(to_child[1]);
  close(from_child[0]);
  waitpid(child, nullptr, 0);
}

TEST(TmTask, GetdelayCountsMilliseconds) {
  // Without a task the default file is absent and the system clock is used.
  TempDir dir;
  int ms = atoi(reader({"unused", "delay"}, dir.path()).c_str());
  EXPECT_GE(ms, 1499);
  EXPECT_LE(ms, 1600);

  TaskGuard guard;
  ASSERT_GT(guard.add(get_timetask(dir.file("timemgrtask").c_str())), 0);
  ms = atoi(reader({"unused", "delay"}, dir.path()).c_str());
  EXPECT_GE(ms, 1000);  // the shared clock lags the system clock by up to one period
  EXPECT_LE(ms, 1600);
}

TEST(TmTask, AnonymousFallbackIsSharedWithForkedChildren) {
  TempDir dir;
  const std::string unopenable = dir.file("missing/dir/timemgrtask");
  bool f_new = false;
  volatile int* p = static_cast<volatile int*>(map_file(unopenable.c_str(), 32, f_new));
  ASSERT_NE(nullptr, p);
  EXPECT_TRUE(f_new);
  p[0] = 1;
  pid_t child = fork();
  if (child == 0) {
    p[1] = p[0] + 41;
    _exit(0);
  }
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(42, p[1]);
  munmap(const_cast<int*>(p), 32);

  // A task on the anonymous record feeds readers forked after it was started, and a
  // second get_timetask replaces the task but keeps feeding the same pages.
  TaskGuard guard;
  const pid_t first = guard.add(get_timetask(unopenable.c_str()));
  ASSERT_GT(first, 0);
  int go[2];
  ASSERT_EQ(0, pipe(go));
  child = fork();
  if (child == 0) {
    close(go[1]);
    struct timeval a, b, sys;
    get_timeofday(&a, unopenable.c_str());  // the reader picks its record now
    struct pollfd p = {go[0], POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) _exit(2);
    get_timeofday(&a, unopenable.c_str());
    usleep(100 * 1000);
    get_timeofday(&b, unopenable.c_str());
    gettimeofday(&sys, nullptr);
    const bool advanced = b.tv_sec * 1000000LL + b.tv_usec > a.tv_sec * 1000000LL + a.tv_usec;
    const bool close_to_sys = std::llabs(sys.tv_sec - b.tv_sec) <= 1;
    const bool near_tm = std::labs(static_cast<long>(get_time(unopenable.c_str()) - time(nullptr))) <= 1;
    _exit(advanced && close_to_sys && near_tm ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  close(go[0]);
  const pid_t second = guard.add(get_timetask(unopenable.c_str()));
  ASSERT_GT(second, 0);
  EXPECT_NE(0, kill(first, 0));  // killed and reaped by get_timetask: its own child
  ASSERT_EQ(1, write(go[1], "x", 1));
  close(go[1]);
  int status = -1;
  ASSERT_TRUE(testsupport::wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(testsupport::file_exists(unopenable));
}

TEST(TmTask, DoKillSignalsTheNamedProcess) {
  testsupport::Process target;
  ASSERT_TRUE(target.start({"/bin/sleep", "30"}));
  do_kill(9, target.pid());
  EXPECT_TRUE(testsupport::wait_until([&] { return !target.running(); }, 5000));
}

TEST(TmTask, AtomicAddReturnsThePreviousValueAndLosesNoUpdate) {
  atomic_t v;
  v.counter = 5;
  EXPECT_EQ(5, atomic_add(3, &v));
  EXPECT_EQ(8, atomic_add(-8, &v));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&v] {
      for (int i = 0; i < 100000; ++i) atomic_add(1, &v);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(400000, v.counter);
}

TEST(TmTask, WriterStoppedInTheMiddleOfAnUpdateDoesNotHangReaders) {
  // The writer is stopped while its counter says "update in progress": readers give
  // up on the record after a bounded number of tries and ask the system clock.
  Task task;
  ASSERT_GT(task.pid, 0);
  ASSERT_EQ(0, kill(task.pid, SIGSTOP));
  Record rec = map_record(task.file);
  ASSERT_NE(nullptr, rec.get());
  if ((rec->tval_fag.counter & 1) == 0) atomic_add(1, &rec->tval_fag);
  rec->tval.tv_sec = 12345;

  Sample sys{};
  std::vector<Sample> v = parse_tval(reader({task.file, "tval", "1"}), &sys);
  ASSERT_EQ(1u, v.size());
  EXPECT_LE(std::llabs(sys.us() - v[0].us()), 1000000);
}

TEST(TmTask, TaskKeepsNoneOfTheStartersDescriptors) {
  // Pipes open in the starter, one of them numbered past 1100 other descriptors (a
  // gateway holds thousands): once the starter closes their write ends, the readers
  // must see end-of-file, which they would not if the task still held a copy.
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  struct rlimit more = saved;
  if (more.rlim_cur < 1400) more.rlim_cur = std::min<rlim_t>(1400, more.rlim_max);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &more));
  int low[2];
  ASSERT_EQ(0, pipe(low));
  std::vector<int> filler;
  for (int i = 0; i < 1100; ++i) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0) << "descriptor limit " << more.rlim_cur;
    filler.push_back(fd);
  }
  int high[2];
  ASSERT_EQ(0, pipe(high));
  TempDir dir;
  TaskGuard guard;
  const pid_t pid = guard.add(get_timetask(dir.file("timemgrtask").c_str()));
  for (int fd : filler) close(fd);
  ASSERT_GT(pid, 0);
  for (int* fds : {low, high}) {
    close(fds[1]);
    struct pollfd p = {fds[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 2000)) << "write end " << fds[1] << " still open in the task";
    char c;
    EXPECT_EQ(0, read(fds[0], &c, 1));
    close(fds[0]);
  }
  setrlimit(RLIMIT_NOFILE, &saved);
}
