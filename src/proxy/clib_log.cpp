// Rolling log file. See clib_log.h for the contract.
#include "clib_log.h"

#include <ctype.h>
#include <pthread.h>
#include <signal.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "log.h"
#include "metrics/registry.h"

clib_log* g_pDebugLog = nullptr;
std::atomic<unsigned long long> clib_log::lines_written(0);
std::atomic<unsigned long long> clib_log::lines_dropped(0);
clib_log* g_pErrorLog = nullptr;

namespace {

const char* const DEFAULT_TFORMAT = "[%Y-%m-%d %H:%M:%S] ";
const int DEFAULT_MAXFILE = 5;
const int DEFAULT_MAXSIZE = 10485760;
const size_t LINE_SIZE = 1024;  // a line, its message and the file name are cut to 1023 bytes
const unsigned MIN_COLOR_UIN = 10000;

// Copies at most size-1 bytes of src and always terminates.
void copy_text(char* dst, size_t size, const char* src) { snprintf(dst, size, "%s", src); }

// semop on semaphore 0 with SEM_UNDO, so a process that dies holding the lock releases it.
int sem_step(int semid, short op) {
  struct sembuf sb;
  sb.sem_num = 0;
  sb.sem_op = op;
  sb.sem_flg = SEM_UNDO;
  int rc;
  do {
    rc = semop(semid, &sb, 1);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Start of a line of the coloring file: blanks, then an unsigned decimal number; the
// first other character ends it. Sets *complete when the number ended inside `s` (so the
// next read cannot continue it). Returns 0 for no number or one that does not fit 32 bits.
uint32_t parse_uin(const char* s, bool* complete) {
  while (*s == ' ' || *s == '\t') ++s;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + uint64_t(*s - '0');
    if (v > 0xFFFFFFFFull) return 0;
  }
  *complete = *s != '\0';
  return uint32_t(v);
}

// The semaphore key of a log file. It must not change while the file rotates: a key
// taken from the file itself would follow its inode, which every rotation replaces, so
// processes that opened the log at different times would hold different semaphores and
// rotate over each other. The key comes from the directory instead, with the project id
// (1..127, so the key stays positive) drawn from the file's base name.
key_t semaphore_key(const char* file) {
  const char* slash = strrchr(file, '/');
  char dir[LINE_SIZE];
  if (slash == nullptr) {
    copy_text(dir, sizeof(dir), ".");
  } else if (slash == file) {
    copy_text(dir, sizeof(dir), "/");
  } else {
    snprintf(dir, sizeof(dir), "%.*s", int(slash - file), file);
  }
  const char* base = slash == nullptr ? file : slash + 1;
  uint32_t h = 2166136261u;
  for (const char* p = base; *p != '\0'; ++p) h = (h ^ uint8_t(*p)) * 16777619u;
  return ftok(dir, int(1 + h % 127));
}

// Opens a log file for appending, creating it; a missing directory (removed while the
// process runs, or not made yet) is made first. Only the directory itself: a missing
// parent means a wrong path. errno tells why when the result is negative. Never waits:
// a FIFO in the file's place that nobody reads fails at once (ENXIO), and one whose
// reader falls behind refuses the bytes it cannot take.
int open_log_file(const char* file) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC;
  int fd = open(file, flags, 0666);
  const char* slash = strrchr(file, '/');
  if (fd < 0 && errno == ENOENT && slash != nullptr && slash != file) {
    char dir[LINE_SIZE + 80];
    snprintf(dir, sizeof(dir), "%.*s", int(slash - file), file);
    mkdir(dir, 0777);
    fd = open(file, flags, 0666);
  }
  return fd;
}

// Rotates `file` into numbered backups when it is above `maxsize` (see check_file).
void rotate_if_full(const char* file, int maxfile, int maxsize) {
  if (maxfile <= 0 || maxsize <= 0) return;
  struct stat st;
  if (stat(file, &st) != 0 || st.st_size <= maxsize) return;
  // Shift the backups up by one (the oldest is overwritten), then the file becomes .1;
  // the next append creates a fresh file. Missing backups are simply skipped.
  std::string from, to;
  for (int i = maxfile; i >= 2; --i) {
    from = std::string(file) + "." + std::to_string(i - 1);
    to = std::string(file) + "." + std::to_string(i);
    rename(from.c_str(), to.c_str());
  }
  to = std::string(file) + ".1";
  rename(file, to.c_str());
}

// One formatted line and where it goes: the file's name as at the time of the line, its
// rotation limits and the semaphore that serialises it with other processes (-1: none).
struct RollingLine {
  std::string name;
  int maxfile;
  int maxsize;
  int semid;
  std::string text;
};

// Rotates if needed and appends the line, under the semaphore. Counts it written or lost.
void store_line(const RollingLine& line) {
  bool locked = false;
  if (line.semid != -1) locked = sem_step(line.semid, -1) == 0;
  rotate_if_full(line.name.c_str(), line.maxfile, line.maxsize);
  const int rc = clib_log_write(line.name.c_str(), line.text.data(), line.text.size());
  if (locked) sem_step(line.semid, 1);
  if (rc == 0)
    ++clib_log::lines_written;
  else
    ++clib_log::lines_dropped;
}

// The rolling logs' writer thread: the loop formats a line and queues it; this thread
// rotates, opens, writes and closes in queue order, so the files, their rotation points
// and the order of lines are those of writing each line at once. The queue is bounded:
// lines beyond QUEUE_BYTES are dropped and counted.
class RollingWriter {
 public:
  static const size_t QUEUE_BYTES = 16 * 1024 * 1024;
  static constexpr int PERIOD_MS = 5;

  // Starts the thread (signals blocked, so that they still reach the loop). False when
  // none could be made: lines are then written by the caller.
  bool start() {
    std::lock_guard<std::mutex> hold(lock_);
    if (running_) return true;
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    try {
      stop_ = false;
      thread_ = std::thread([this] { run(); });
      running_ = true;
    } catch (...) {
      running_ = false;
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return running_;
  }
  // Writes everything queued, then ends the thread.
  void stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!running_) return;
      stop_ = true;
      ready_.notify_one();
    }
    thread_.join();
    std::lock_guard<std::mutex> hold(lock_);
    running_ = false;
  }
  enum TPush { QUEUED, DROPPED, NOT_RUNNING };
  // Queues a line: QUEUED, DROPPED (and counted) when the queue is full, NOT_RUNNING when
  // no thread writes (the caller writes the line itself).
  TPush push(RollingLine&& line) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!running_) return NOT_RUNNING;
    if (bytes_ + line.text.size() > QUEUE_BYTES) {
      ++clib_log::lines_dropped;
      ++dropped_;
      return DROPPED;
    }
    bytes_ += line.text.size();
    queue_.push_back(std::move(line));
    // Only a thread that has gone to sleep is woken: while lines keep coming it looks for
    // them every PERIOD_MS by itself, so that a burst (thousands of players leaving at
    // once) costs the loop no wake-up and no switch per line.
    if (asleep_) ready_.notify_one();
    return QUEUED;
  }
  // Lines dropped for a full queue since the last call.
  unsigned long take_dropped() { return dropped_.exchange(0); }
  bool has_dropped() const { return dropped_.load(std::memory_order_relaxed) != 0; }

 private:
  void run() {
    std::deque<RollingLine> mine;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      if (queue_.empty() && !stop_) ready_.wait_for(hold, std::chrono::milliseconds(PERIOD_MS));
      if (queue_.empty()) {
        asleep_ = true;
        ready_.wait(hold, [this] { return stop_ || !queue_.empty(); });
        asleep_ = false;
      }
      if (queue_.empty()) return;  // stopping, everything written
      mine.swap(queue_);
      hold.unlock();
      size_t taken = 0;
      for (const RollingLine& line : mine) {
        store_line(line);
        taken += line.text.size();
      }
      mine.clear();
      hold.lock();
      bytes_ -= taken;
    }
  }

  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<RollingLine> queue_;
  size_t bytes_ = 0;
  std::atomic<unsigned long> dropped_{0};
  bool asleep_ = false;
  bool stop_ = false;
  bool running_ = false;
  std::thread thread_;
};

RollingWriter& rolling_writer() {
  static RollingWriter* writer = new RollingWriter;  // never destroyed: may run at exit
  return *writer;
}

}  // namespace

clib_log::clib_log(const char* as_file, int as_sem, const char* as_tformat, int ai_level, int ai_maxfile,
                   int ai_maxsize, const char* as_logtype, const char* as_eol, int ai_pathtype, const char* as_coloring)
    : mi_level(0),
      mi_maxfile(DEFAULT_MAXFILE),
      mi_maxsize(DEFAULT_MAXSIZE),
      mi_semopen(0),
      mi_semid(-1),
      mb_coloring(false) {
  ms_file[0] = '\0';
  if (as_file != nullptr) {
    mi_semopen = as_sem;
    open_file(as_file, ai_pathtype);
  }
  copy_text(ms_tformat, sizeof(ms_tformat), as_tformat != nullptr ? as_tformat : DEFAULT_TFORMAT);
  mi_maxfile = ai_maxfile < 0 ? DEFAULT_MAXFILE : ai_maxfile;
  mi_maxsize = ai_maxsize < 0 ? DEFAULT_MAXSIZE : ai_maxsize;
  mi_level = ai_level < 0 ? 0 : ai_level;
  copy_text(ms_logtype, sizeof(ms_logtype), as_logtype != nullptr ? as_logtype : "");
  copy_text(ms_eol, sizeof(ms_eol), as_eol != nullptr ? as_eol : "\n");
  set_coloring_file(as_coloring);
}

clib_log::~clib_log() { setUins.clear(); }

int clib_log::open_file(const char* as_file, int ai_pathtype) {
  if (ai_pathtype == 2) {
    snprintf(ms_file, sizeof(ms_file), "/tmp/%s", as_file);
  } else {
    copy_text(ms_file, sizeof(ms_file), as_file);
  }
  int fd = open_log_file(ms_file);
  const int open_errno = errno;
  if (fd >= 0) close(fd);
  key_t key = semaphore_key(ms_file);
  if (mi_semopen != 0 && key > 0) createSem(key, &mi_semid, nullptr);
  errno = open_errno;
  return fd >= 0 ? 0 : -1;
}

int clib_log::set_level(int ai_level) {
  if (ai_level < 0) return -1;
  mi_level = ai_level;
  return 0;
}

int clib_log::set_maxfile(int ai_maxfile) {
  if (ai_maxfile < 0) return -1;
  mi_maxfile = ai_maxfile;
  return 0;
}

int clib_log::set_maxsize(int ai_maxsize) {
  if (ai_maxsize < 0) return -1;
  mi_maxsize = ai_maxsize;
  return 0;
}

int clib_log::set_eol(const char* as_eol) {
  if (as_eol == nullptr) return -1;
  copy_text(ms_eol, sizeof(ms_eol), as_eol);
  return 0;
}

int clib_log::set_timeformat(const char* as_tformat) {
  if (as_tformat == nullptr) return -1;
  copy_text(ms_tformat, sizeof(ms_tformat), as_tformat);
  return 0;
}

int clib_log::set_logtype(const char* as_logtype) {
  copy_text(ms_logtype, sizeof(ms_logtype), as_logtype != nullptr ? as_logtype : "");
  return 0;
}

int clib_log::set_file(const char* as_file, int ai_pathtype) {
  if (as_file == nullptr) return -1;
  return open_file(as_file, ai_pathtype);
}

int clib_log::set_coloring_file(const char* as_coloring) {
  if (as_coloring == nullptr) return -1;
  const int rc = read_coloring_file(as_coloring, &setUins);
  mb_coloring = !setUins.empty();
  return rc;
}

int clib_log::read_coloring_file(const char* as_coloring, std::set<uint32_t>* uins, std::vector<std::string>* notes) {
  uins->clear();
  FILE* fp = fopen(as_coloring, "r");
  if (fp == nullptr) {
    if (notes != nullptr)
      notes->push_back(std::string(as_coloring) + ": cannot be read (" + strerror(errno) + "); no user id is filtered");
    return -1;
  }
  char buf[19];  // a uid line is short; longer lines are read in pieces of 18
  bool line_start = true;
  unsigned line = 0;
  while (fgets(buf, sizeof(buf), fp) != nullptr) {
    size_t len = strlen(buf);
    bool line_end = len > 0 && buf[len - 1] == '\n';
    // Only the start of a line can hold a uid: the tail of an over-long line is skipped
    // instead of being read as a uid of its own, and a number that runs past the piece
    // is too long to be one.
    if (line_start) {
      ++line;
      bool complete = false;
      uint32_t uin = parse_uin(buf, &complete);
      if (!complete) {
        // The number reached the end of the piece: it is whole when no digit follows
        // (a line of exactly 18 characters, or the end of the file).
        const int next = getc(fp);
        if (next != EOF) ungetc(next, fp);
        complete = !isdigit(next);
      }
      if (uin >= MIN_COLOR_UIN && complete) {
        uins->insert(uin);
      } else if (notes != nullptr && isdigit(static_cast<unsigned char>(buf[strspn(buf, " \t")]))) {
        // Lines without a number are comments; a number that is no uid is a mistake.
        const std::string shown(buf, line_end ? len - 1 : len);
        notes->push_back(std::string(as_coloring) + ": line " + std::to_string(line) + " \"" + shown +
                         (line_end ? "\"" : "...\"") + ": not a user id from 10000 to 4294967295; ignored");
      }
    }
    line_start = line_end;
  }
  fclose(fp);
  return 0;
}

int clib_log::write(const char* as_msg, int ai_level, unsigned ai_uin) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);

  bool colored = ai_uin != 0 && mb_coloring;
  if (ai_level > mi_level && !colored) return 0;
  if (ms_file[0] == '\0' || as_msg == nullptr || as_msg[0] == '\0') return -1;
  if (colored && setUins.count(ai_uin) == 0) return 0;

  char stamp[64];
  stamp[0] = '\0';
  if (ms_tformat[0] != '\0' && strftime(stamp, sizeof(stamp), ms_tformat, &tmv) == 0) stamp[0] = '\0';

  // The line is cut to 1023 bytes, but always inside the message: the end-of-line text
  // stays, so a long message never runs into the next line.
  char line[LINE_SIZE];
  int head;
  if (colored) {
    head = snprintf(line, sizeof(line), "%s[%u]", stamp, ai_uin);
  } else {
    head = snprintf(line, sizeof(line), "%s", stamp);
  }
  if (head < 0) return -1;
  size_t used = size_t(head);
  size_t eol_len = strlen(ms_eol);
  size_t room = sizeof(line) - 1 - used - eol_len;  // head <= 63 + 12, eol <= 15
  size_t msg_len = strnlen(as_msg, room);
  memcpy(line + used, as_msg, msg_len);
  used += msg_len;
  memcpy(line + used, ms_eol, eol_len);
  used += eol_len;
  line[used] = '\0';

  char suffix[64];
  suffix[0] = '\0';
  if (ms_logtype[0] != '\0' && strftime(suffix, sizeof(suffix), ms_logtype, &tmv) == 0) suffix[0] = '\0';

  RollingLine out;
  out.name = std::string(ms_file) + suffix;
  out.maxfile = mi_maxfile;
  out.maxsize = mi_maxsize;
  out.semid = mi_semopen != 0 ? mi_semid : -1;
  out.text.assign(line, used);
  const RollingWriter::TPush pushed = rolling_writer().push(std::move(out));
  if (pushed != RollingWriter::NOT_RUNNING) return pushed == RollingWriter::QUEUED ? 0 : -1;
  const unsigned long long lost = lines_dropped;
  store_line(out);
  return lines_dropped == lost ? 0 : -1;
}

void clib_log::write_off_thread(bool on) {
  if (on) {
    rolling_writer().start();
  } else {
    rolling_writer().stop();
  }
  report_dropped(true);
}

void clib_log::report_dropped(bool now) {
  // At most one line a second while lines keep being dropped.
  static int64_t last = 0;
  if (!rolling_writer().has_dropped()) return;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  if (!now && last != 0 && ms - last < 1000) return;
  const unsigned long dropped = rolling_writer().take_dropped();
  if (dropped == 0) return;
  last = ms;
  log_error("%lu rolling log lines dropped: the log file did not keep up", dropped);
}

int clib_log::apwrite(int ai_level, const char* as_msgformat, va_list ast_ap, unsigned ai_uin) {
  if (as_msgformat == nullptr || as_msgformat[0] == '\0') return -1;
  char msg[LINE_SIZE];
  int n = vsnprintf(msg, sizeof(msg), as_msgformat, ast_ap);
  if (n < 0) return n;
  return write(msg, ai_level, ai_uin);
}

int clib_log::vwrite(int ai_level, unsigned ai_uin, const char* as_msgformat, ...) {
  if (as_msgformat == nullptr || as_msgformat[0] == '\0') return -1;
  va_list ap;
  va_start(ap, as_msgformat);
  int rc = apwrite(ai_level, as_msgformat, ap, ai_uin);
  va_end(ap);
  return rc;
}

int clib_log::vwrite(int ai_level, const char* as_msgformat, ...) {
  if (as_msgformat == nullptr || as_msgformat[0] == '\0') return -1;
  va_list ap;
  va_start(ap, as_msgformat);
  int rc = apwrite(ai_level, as_msgformat, ap, 0);
  va_end(ap);
  return rc;
}

int clib_log::logMsg(const char* as_msgformat, ...) {
  if (as_msgformat == nullptr || as_msgformat[0] == '\0') return -1;
  va_list ap;
  va_start(ap, as_msgformat);
  int rc = apwrite(1, as_msgformat, ap, 0);
  va_end(ap);
  return rc;
}

int clib_log::check_file(char* as_file) {
  if (as_file == nullptr || as_file[0] == '\0') return 401;
  rotate_if_full(as_file, mi_maxfile, mi_maxsize);
  return 0;
}

int createSem(int SemKey, int* pSID, char* sErrMsg) {
  const size_t ERR_SIZE = 256;
  int id = semget(SemKey, 1, IPC_CREAT | IPC_EXCL | 0666);
  if (id >= 0) {
    *pSID = id;
    union semun_u {
      int val;
      struct semid_ds* buf;
      unsigned short* array;
    } arg;
    arg.val = 1;
    if (semctl(id, 0, SETVAL, arg) != 0) {
      if (sErrMsg != nullptr) snprintf(sErrMsg, ERR_SIZE, "semctl error: key=%d,%m", SemKey);
      // A set left at 0 would block every writer for ever: drop it and write unlocked.
      semctl(id, 0, IPC_RMID);
      *pSID = -1;
      return -2;
    }
    return 0;
  }
  id = semget(SemKey, 1, 0);
  *pSID = id;
  if (id >= 0) return 0;
  if (sErrMsg != nullptr) snprintf(sErrMsg, ERR_SIZE, "semget error: key=%d,%m", SemKey);
  return -1;
}

int clib_log_write(const char* as_file, const char* as_msg, unsigned long ai_len) {
  int fd = open_log_file(as_file);
  if (fd < 0) return -1;  // descriptor 0 is a valid one when standard input is closed
  // A full disk or an I/O error must not pass as a stored line; a part line written is
  // taken out again.
  const int rc = append_lines(fd, as_msg, ai_len) == ai_len ? 0 : -1;
  close(fd);
  return rc;
}

void register_log_metrics() {
  using hall_metrics::CMetricsRegistry;
  CMetricsRegistry::add("hall_log_lines_total", "counter", "Lines written to the process log and the rolling logs.",
                        [](hall_metrics::CExposition& e) {
                          e.sample("hall_log_lines_total", "",
                                   static_cast<unsigned long long>(log_lines_written + clib_log::lines_written));
                        });
  CMetricsRegistry::add("hall_log_lines_dropped_total", "counter",
                        "Lines for the process log and the rolling logs that were lost: queue full, file not writable.",
                        [](hall_metrics::CExposition& e) {
                          e.sample("hall_log_lines_dropped_total", "",
                                   static_cast<unsigned long long>(log_lines_dropped + clib_log::lines_dropped));
                        });
}
