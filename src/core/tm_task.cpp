#include "tm_task.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

// The record layout of getdents64 (the C library declares no wrapper for it here).
struct linux_dirent64 {
  unsigned long long d_ino;
  long long d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

const int kRecordSize = sizeof(time_mgr);
// Writer period and the number of periods between two refreshes of `tm`.
const int kPeriodUs = 5000;
const int kTmEvery = 21;
// A reader that keeps meeting an update in progress (the writer was preempted or
// killed in the middle of one) gives up and asks the system clock.
const int kMaxReadTries = 1000;
// A record further than this from the system clock is not being written (its task died,
// was stopped, or the clock stepped and the task no longer runs): the read falls back to
// the system clock. The comparison uses the coarse clock, which the C library reads from
// memory without a system call.
const long long kStaleUs = 1000000;
// How long get_timetask waits for a killed task to release the lock, and for a new
// task to report that it holds it.
const int kTaskWaitMs = 3000;

// The anonymous record of the last get_timetask in this process whose file could not
// be opened, so that readers of the same process tree can still find it.
time_mgr* g_anon_record = nullptr;
std::string g_anon_name;
pid_t g_anon_task = 0;

const char* file_or_default(const char* tmfile) { return tmfile != nullptr ? tmfile : TM_TASK_DEFAULT_FILE; }

int load(const atomic_t* v) { return __atomic_load_n(&v->counter, __ATOMIC_ACQUIRE); }

struct timespec coarse_now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return ts;
}

bool tval_is_fresh(long long sec, long long usec) {
  const struct timespec c = coarse_now();
  const long long lag = (static_cast<long long>(c.tv_sec) - sec) * 1000000 + c.tv_nsec / 1000 - usec;
  return lag < kStaleUs && lag > -kStaleUs;
}

bool tm_is_fresh(int t) {
  const long long lag = static_cast<long long>(coarse_now().tv_sec) - t;
  return lag <= 1 && lag >= -1;
}

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The process holding a write lock on the whole of fd's file, or 0 when none.
pid_t lock_holder(int fd) {
  struct flock fl;
  memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
  return fl.l_pid;
}

// Both update protocols bracket the stores with two increments: the counter is odd
// while an update is in progress, so a reader can tell a torn copy from a whole one
// even when its two reads of the counter fall inside the same update.
void write_tval(time_mgr* rec, const struct timeval& tv) {
  atomic_add(1, &rec->tval_fag);
  volatile struct timeval* dst = &rec->tval;
  dst->tv_sec = tv.tv_sec;
  dst->tv_usec = tv.tv_usec;
  atomic_add(1, &rec->tval_fag);
}

void write_tm(time_mgr* rec, int t) {
  atomic_add(1, &rec->tm_fag);
  *static_cast<volatile int*>(&rec->tm) = t;
  atomic_add(1, &rec->tm_fag);
}

// A writer killed inside an update leaves its counter odd; a new writer starts even.
void make_even(atomic_t* v) {
  if (load(v) & 1) atomic_add(1, v);
}

// The record a reader uses: the file's, only while a task holds its lock (otherwise
// the record is stale or empty and the system clock is right); or the anonymous record
// that get_timetask made in this process tree for the same name. A reader never
// creates the file.
time_mgr* open_reader_record(const char* tmfile) {
  const char* name = file_or_default(tmfile);
  int fd = open(name, O_RDWR);
  if (fd < 0) {
    if (g_anon_record != nullptr && g_anon_name == name) return g_anon_record;
    return nullptr;
  }
  struct stat st;
  time_mgr* rec = nullptr;
  if (fstat(fd, &st) == 0 && st.st_size >= kRecordSize && lock_holder(fd) > 0) {
    void* p = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) rec = static_cast<time_mgr*>(p);
  }
  close(fd);
  return rec;
}

// The task lives on after its starter and must not keep the starter's sockets, pipes
// and files open (a listening port would stay bound after the starter ends). Standard
// input, output and error stay; so do the two descriptors the task needs. Raw
// getdents64 on a stack buffer: after fork in a threaded starter, malloc (which
// opendir uses) may be locked by a thread that no longer exists. The descriptors are
// gathered 1024 at a time; a pass that filled its list is followed by another, so that
// a starter holding thousands of them leaves none behind.
void close_inherited(int keep1, int keep2) {
  const int kBatch = 1024;
  int n = kBatch;
  while (n == kBatch) {
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    int fds[kBatch];
    n = 0;
    char buf[4096];
    for (;;) {
      long got = syscall(SYS_getdents64, dir, buf, sizeof(buf));
      if (got <= 0) break;
      for (long off = 0; off < got;) {
        const struct linux_dirent64* e = reinterpret_cast<const struct linux_dirent64*>(buf + off);
        off += e->d_reclen;
        const int fd = atoi(e->d_name);
        if (fd > 2 && fd != dir && fd != keep1 && fd != keep2 && n < kBatch) fds[n++] = fd;
      }
    }
    close(dir);
    for (int i = 0; i < n; ++i) close(fds[i]);
  }
}

// The task: never returns. `fd` is the open file (or -1 for an anonymous record);
// `ready` is the pipe end on which it reports that it runs and holds the lock.
[[noreturn]] void run_task(time_mgr* rec, int fd, int ready) {
  // Before the lock: closing any descriptor of the file would release it.
  close_inherited(fd, ready);
  if (fd >= 0) {
    // Held until the task dies: the kernel releases it then, whatever killed it. A task
    // that another start forked at the same moment may have taken it between our
    // starter's look and now; the later start wins, as when the two come one after the
    // other, so that only one task ever writes the record.
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    const long long end = now_ms() + kTaskWaitMs;
    while (fcntl(fd, F_SETLK, &fl) != 0 && now_ms() < end) {
      const pid_t holder = lock_holder(fd);
      if (holder > 0 && holder != getpid()) kill(holder, SIGKILL);
      usleep(2000);
    }
  }
  rec->pid = getpid();
  char one = 1;
  if (::write(ready, &one, 1) < 0) {
    // The starter is gone; the clock is still worth keeping.
  }
  close(ready);

  int turn = 0;
  for (;;) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    write_tval(rec, tv);
    if (++turn >= kTmEvery) {
      turn = 0;
      write_tm(rec, static_cast<int>(time(nullptr)));
    }
    usleep(kPeriodUs);
  }
}

// Kills the running task of this file, if there verifiably is one, and waits (bounded)
// until it has released the lock.
void stop_previous_task(time_mgr* rec, int fd, const char* name) {
  if (fd >= 0) {
    pid_t holder = lock_holder(fd);
    if (holder > 0) {
      do_kill(9, holder);
      const long long end = now_ms() + kTaskWaitMs;
      while (lock_holder(fd) > 0 && now_ms() < end) usleep(2000);
    }
  } else if (g_anon_task > 0 && g_anon_name == name && waitpid(g_anon_task, nullptr, WNOHANG) == 0) {
    // Our own child still running on the previous anonymous record of this name.
    do_kill(9, g_anon_task);
    waitpid(g_anon_task, nullptr, 0);
  }
  rec->pid = 0;
}

}  // namespace

extern "C" int atomic_add(int i, atomic_t* v) {
  return __atomic_fetch_add(&v->counter, i, __ATOMIC_SEQ_CST);  // lock xadd
}

void* map_file(const char* filename, int size, bool& f_new) {
  f_new = true;
  int probe = open(filename, O_RDONLY);
  if (probe >= 0) {
    close(probe);
    f_new = false;
  }

  int fd = open(filename, O_RDWR | O_CREAT, 0666);
  if (fd >= 0) {
    if (size > 0) {
      if (ftruncate(fd, size) != 0) {
        close(fd);
        return nullptr;
      }
    } else {
      struct stat st;
      size = fstat(fd, &st) == 0 ? static_cast<int>(st.st_size) : 0;
    }
    void* p =
        size > 0 ? mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
  }

  if (size <= 0) return nullptr;
  // Shared, not private: see the header.
  void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

int get_timeofday(struct timeval* pval, const char* tmfile) {
  static time_mgr* const rec = open_reader_record(tmfile);
  if (rec != nullptr) {
    for (int tries = 0; tries < kMaxReadTries; ++tries) {
      const int before = load(&rec->tval_fag);
      if (before & 1) {
        sched_yield();
        continue;
      }
      const volatile struct timeval* src = &rec->tval;
      const long long sec = src->tv_sec;
      const long long usec = src->tv_usec;
      __atomic_thread_fence(__ATOMIC_ACQUIRE);
      if (load(&rec->tval_fag) != before) continue;
      if (!tval_is_fresh(sec, usec)) break;
      pval->tv_sec = sec;
      pval->tv_usec = usec;
      return 0;
    }
  }
  return gettimeofday(pval, nullptr);
}

int get_time(const char* tmfile) {
  static time_mgr* const rec = open_reader_record(tmfile);
  if (rec != nullptr) {
    for (int tries = 0; tries < kMaxReadTries; ++tries) {
      const int before = load(&rec->tm_fag);
      if (before & 1) {
        sched_yield();
        continue;
      }
      const int t = *static_cast<const volatile int*>(&rec->tm);
      __atomic_thread_fence(__ATOMIC_ACQUIRE);
      if (load(&rec->tm_fag) != before) continue;
      if (!tm_is_fresh(t)) break;
      return t;
    }
  }
  return static_cast<int>(time(nullptr));
}

int getdelay(const struct timeval& begin) {
  struct timeval now;
  get_timeofday(&now, TM_TASK_DEFAULT_FILE);
  // 32-bit arithmetic as callers expect, without signed overflow.
  int ms = static_cast<int>(static_cast<unsigned>((now.tv_sec - begin.tv_sec) * 1000));
  if (now.tv_usec > begin.tv_usec) {
    ms += static_cast<int>((now.tv_usec - begin.tv_usec) / 1000);
  } else {
    ms -= static_cast<int>((begin.tv_usec - now.tv_usec) / 1000);
  }
  return ms;
}

void do_kill(int signo, int procid) {
  if (procid <= 0) return;
  char cmd[64];
  snprintf(cmd, sizeof(cmd), "kill -%d %u > /dev/null 2>&1", signo, static_cast<unsigned>(procid));
  if (system(cmd) == -1) {
    // Nothing to do: the caller checks for itself whether the process went away.
  }
}

int get_timetask(const char* tmfile) {
  const char* name = file_or_default(tmfile);
  bool f_new = false;
  time_mgr* rec = static_cast<time_mgr*>(map_file(name, kRecordSize, f_new));
  if (rec == nullptr) {
    printf("map ./timemgrtask fail\n ");
    printf("create time mgr task fail\n");
    exit(0);
  }
  // Open again only to see and to take the task's lock; -1 for an anonymous record.
  int fd = open(name, O_RDWR);
  if (fd < 0 && g_anon_record != nullptr && g_anon_name == name) {
    // Keep feeding the pages that readers forked earlier already hold.
    munmap(rec, kRecordSize);
    rec = g_anon_record;
  }

  stop_previous_task(rec, fd, name);
  make_even(&rec->tval_fag);
  make_even(&rec->tm_fag);
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  write_tval(rec, tv);
  write_tm(rec, static_cast<int>(time(nullptr)));

  int ready[2];
  if (pipe(ready) != 0) {
    printf("create time mgr task fail: %m\n");
    exit(0);
  }
  fflush(stdout);  // the child must not print the caller's buffered output again
  pid_t pid = fork();
  if (pid < 0) {
    printf("create time mgr task fail: %m\n");
    exit(0);
  }
  if (pid == 0) {
    close(ready[0]);
    run_task(rec, fd, ready[1]);
  }

  close(ready[1]);
  rec->pid = pid;
  // Return only once the task holds the lock, so that an immediate second
  // get_timetask already finds and stops it.
  struct pollfd p = {ready[0], POLLIN, 0};
  const long long end = now_ms() + kTaskWaitMs;
  for (;;) {
    long long left = end - now_ms();
    if (left <= 0) break;
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0 || (r < 0 && errno != EINTR)) break;
  }
  close(ready[0]);
  if (fd >= 0) {
    close(fd);
  } else {
    g_anon_record = rec;
    g_anon_name = name;
    g_anon_task = pid;
  }
  if (rec != g_anon_record) munmap(rec, kRecordSize);
  return pid;
}
