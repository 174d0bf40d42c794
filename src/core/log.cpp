// Process log ring. A line written on its own opens, sizes, appends to and closes the
// current file, so an operator may move or delete log files at any time and a fresh one
// appears.
//
// The loop thread may defer its lines for the length of one loop turn (log_defer): they
// are formatted at once, kept in order in memory and handed over by log_flush() to a
// writer thread, which cuts them into ring files line by line exactly as if each had been
// written alone. The loop thus never waits on the disk: when the disk falls behind, the
// lines handed over wait in a queue of at most QUEUE_BYTES, and lines beyond it are
// dropped and counted: standard error hears of it at once (at most once a second), and the
// log once the queue has room again. The writer
// keeps the current file open while lines keep coming and lets it go after a second
// without any; before each batch it looks the path up again (one stat), so a file that
// was moved or deleted is noticed and a fresh one is created in its place, and the size
// from that lookup keeps rotation exact. Lines written while not deferring, and start-up
// lines, are written by the calling thread once everything handed over before them is
// written, in order.
#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

int __log_level__ = 6;
char log_dir[128] = "../log";
int max_file_size = 52428800;
int max_file_num = 3;
char appname[32] = "";
int cur_file_pos = 0;
std::atomic<unsigned long long> log_lines_written(0);
std::atomic<unsigned long long> log_lines_dropped(0);

namespace {

const size_t LINE_BUFFER_SIZE = 1048576;
const size_t MAX_HEADER_LEN = 0xFFFFF;
// Longest line body before the final newline; the newline and the terminator still fit.
const size_t MAX_LINE_LEN = 0xFFFFE;

// Deferred lines: their bytes back to back, and where each one ends.
const size_t PENDING_BYTES = 256 * 1024;
const size_t PENDING_LINES = 2048;
char pending_buf[PENDING_BYTES];
size_t pending_len = 0;
size_t pending_end[PENDING_LINES];
size_t pending_count = 0;
bool deferring = false;

// The writer thread and its queue. Everything below, and the ring file state after it
// (cur_fd and the rest), is touched only with the queue's lock held, or by the writer while it
// is `writing` a batch it took from the queue; the thread that writes synchronously
// holds the lock (CFileTurn) and waits until the writer is idle first.
// A growing array of queued lines (or of their ends), copied with memcpy. Small blocks
// come from the heap, large ones (a burst's: thousands of players connecting at once, a
// disk that stalled) straight from the kernel, so that release() gives them back to the
// system rather than to the heap.
const size_t PAGES_FROM = 64 * 1024;
template <typename T>
class CQueueArray {
 public:
  CQueueArray() = default;
  CQueueArray(const CQueueArray&) = delete;
  CQueueArray& operator=(const CQueueArray&) = delete;
  ~CQueueArray() { release(); }

  T* data() const { return _data; }
  size_t size() const { return _size; }
  bool empty() const { return _size == 0; }
  size_t capacity_bytes() const { return _cap * sizeof(T); }
  void clear() { _size = 0; }
  void append(const T* values, size_t n) {
    if (_size + n > _cap) grow(_size + n);
    memcpy(_data + _size, values, n * sizeof(T));
    _size += n;
  }
  void push_back(T value) { append(&value, 1); }
  void release() {
    free_block(_data, _cap);
    _data = nullptr;
    _size = _cap = 0;
  }

 private:
  static T* allocate_block(size_t n) {
    const size_t bytes = n * sizeof(T);
    void* p = bytes < PAGES_FROM ? malloc(bytes)
                                 : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == nullptr || p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  static void free_block(T* p, size_t n) {
    if (p == nullptr) return;
    if (n * sizeof(T) < PAGES_FROM)
      free(p);
    else
      munmap(p, n * sizeof(T));
  }
  void grow(size_t need) {
    size_t cap = _cap < 256 ? 256 : _cap;
    while (cap < need) cap *= 2;
    T* p = allocate_block(cap);
    if (_size > 0) memcpy(p, _data, _size * sizeof(T));
    free_block(_data, _cap);
    _data = p;
    _cap = cap;
  }

  T* _data = nullptr;
  size_t _size = 0;
  size_t _cap = 0;
};

struct CBatch {
  CQueueArray<char> bytes;
  CQueueArray<size_t> ends;  // where each line ends in `bytes`

  // Gives back the room of a burst; steady traffic never lets the writer idle, so its
  // batches keep their room.
  void release_burst_room() {
    if (bytes.capacity_bytes() >= PAGES_FROM) bytes.release();
    if (ends.capacity_bytes() >= PAGES_FROM) ends.release();
  }
};
const size_t QUEUE_BYTES = 16 * 1024 * 1024;
// The lock and its two conditions. Made once and never destroyed: the writer thread is
// detached and may still wait on them while the process exits.
struct TQueueSync {
  std::mutex lock;
  std::condition_variable ready;  // the writer waits for lines (steady clock)
  std::condition_variable idle;   // others wait for the writer
};
TQueueSync& queue_sync() {
  static TQueueSync* made = new TQueueSync;
  return *made;
}
CBatch* queued = nullptr;         // handed over, not yet taken by the writer
bool writing = false;             // the writer is writing a batch, lock released
bool writer_asleep = false;       // the writer waits for a signal, not just for its next look
bool writer_on = false;           // a writer thread runs in this process
unsigned long dropped_lines = 0;  // dropped since the last count was logged

// The ring file held open: its path when opened, identity, and size after our writes.
int cur_fd = -1;
char cur_path[256];
dev_t cur_dev = 0;
ino_t cur_ino = 0;
off_t cur_size = 0;

// getpid() is a system call on every line otherwise; a forked child learns its own. A
// forked child has no writer thread: it writes its lines itself.
pid_t cached_pid = 0;
void fork_prepare() { queue_sync().lock.lock(); }
void fork_parent() { queue_sync().lock.unlock(); }
void fork_child() {
  cached_pid = 0;
  writer_on = false;
  writing = false;
  if (queued != nullptr) {
    queued->bytes.clear();
    queued->ends.clear();
  }
  queue_sync().lock.unlock();
}
void hook_fork() {
  static bool hooked = false;
  if (!hooked) {
    pthread_atfork(fork_prepare, fork_parent, fork_child);
    hooked = true;
  }
}
pid_t log_pid() {
  if (cached_pid == 0) {
    hook_fork();
    cached_pid = getpid();
  }
  return cached_pid;
}

// localtime_r once per second instead of once per line.
time_t cached_sec = static_cast<time_t>(-1);
struct tm cached_tm;
const struct tm& log_time() {
  time_t now = time(nullptr);
  if (now != cached_sec) {
    localtime_r(&now, &cached_tm);
    cached_sec = now;
  }
  return cached_tm;
}

// "[YYYYmmdd-HH:MM:SS] pid[N]: ", the part of a line header that changes at most once a
// second, made again only when the second or the pid changes.
char stamp_text[64];
size_t stamp_len = 0;
time_t stamp_sec = static_cast<time_t>(-1);
pid_t stamp_pid = 0;
const char* log_stamp(size_t* len) {
  const struct tm& tm = log_time();
  const pid_t pid = log_pid();
  if (cached_sec != stamp_sec || pid != stamp_pid) {
    int n = snprintf(stamp_text, sizeof(stamp_text), "[%04d%02d%02d-%02d:%02d:%02d] pid[%d]: ", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(pid));
    stamp_len = n < 0 ? 0 : static_cast<size_t>(n);
    stamp_sec = cached_sec;
    stamp_pid = pid;
  }
  *len = stamp_len;
  return stamp_text;
}

// A bounded writer: keeps at most `cap` characters, counts them all, as vsnprintf does.
struct Sink {
  char* out;
  size_t cap;
  size_t len;
  void put(char c) {
    if (len < cap) out[len] = c;
    ++len;
  }
  void put(const char* s, size_t n) {
    if (len < cap) memcpy(out + len, s, n < cap - len ? n : cap - len);
    len += n;
  }
};

void put_unsigned(Sink& sink, unsigned long long u, unsigned base, bool upper) {
  const char* digit = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[24];
  int n = 0;
  do {
    text[n++] = digit[u % base];
    u /= base;
  } while (u != 0);
  while (n > 0) sink.put(text[--n]);
}

void put_signed(Sink& sink, long long v) {
  unsigned long long u = (unsigned long long)v;
  if (v < 0) {
    sink.put('-');
    u = 0ull - u;
  }
  put_unsigned(sink, u, 10, false);
}

// The message of a line, as vsnprintf(out, cap + 1, format, ap) would give it (out holds
// cap + 1 bytes), for the formats the gateway's lines use: %d %i %u %x %X (with '#',
// 'l', 'll'), %s, %c and %%. Every line is formatted, several per round trip, so the
// common cases skip the library's general machinery. -1 for any other format: the
// caller then leaves it to vsnprintf, with its own copy of the arguments.
long quick_format(char* out, size_t cap, const char* format, va_list ap) {
  Sink sink = {out, cap, 0};
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      const char* next = strchr(f, '%');
      size_t n = next ? static_cast<size_t>(next - f) : strlen(f);
      sink.put(f, n);
      f += n - 1;
      continue;
    }
    ++f;
    bool alt = false;
    if (*f == '#') {
      alt = true;
      ++f;
    }
    int longs = 0;
    while (*f == 'l' && longs < 2) {
      ++longs;
      ++f;
    }
    switch (*f) {
      case '%':
        if (alt || longs) return -1;
        sink.put('%');
        break;
      case 'd':
      case 'i': {
        if (alt) return -1;
        put_signed(sink, longs == 0 ? va_arg(ap, int) : longs == 1 ? va_arg(ap, long) : va_arg(ap, long long));
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        if (alt && *f == 'u') return -1;
        unsigned long long u = longs == 0   ? va_arg(ap, unsigned int)
                               : longs == 1 ? va_arg(ap, unsigned long)
                                            : va_arg(ap, unsigned long long);
        if (alt && u != 0) sink.put(*f == 'x' ? "0x" : "0X", 2);
        put_unsigned(sink, u, *f == 'u' ? 10 : 16, *f == 'X');
        break;
      }
      case 's': {
        if (alt || longs) return -1;
        const char* text = va_arg(ap, const char*);
        if (text == nullptr) return -1;
        sink.put(text, strlen(text));
        break;
      }
      case 'c':
        if (alt || longs) return -1;
        sink.put(static_cast<char>(va_arg(ap, int)));
        break;
      default:
        return -1;
    }
  }
  out[sink.len < sink.cap ? sink.len : sink.cap] = '\0';
  return static_cast<long>(sink.len);
}

// The last component of a path, as basename() gives it. Paths ending in '/' (never a
// source file name) take basename() itself, which may modify its argument, on a copy.
const char* base_name(const char* path, char* copy, size_t size) {
  if (path == nullptr) return "";
  size_t n = strlen(path);
  if (n > 0 && path[n - 1] != '/') {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
  }
  snprintf(copy, size, "%s", path);
  return basename(copy);
}

// Creates every missing directory of `path`, as "mkdir -p" does.
void make_dirs(const char* path) {
  char part[sizeof(log_dir)];
  snprintf(part, sizeof(part), "%s", path);
  for (char* p = part + 1; *p != '\0'; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    mkdir(part, 0777);
    *p = '/';
  }
  mkdir(part, 0777);
}

// A log that cannot be written is reported on standard error at most once a second,
// with the number of lines lost since the previous report, so that a vanished or
// read-only directory costs a line a second instead of one per line logged.
unsigned long lost_lines = 0;  // lost and not yet reported
struct timespec last_report = {0, 0};
bool reported = false;

bool report_due() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (reported && (now.tv_sec - last_report.tv_sec) * 1000000000L + (now.tv_nsec - last_report.tv_nsec) < 1000000000L)
    return false;
  last_report = now;
  reported = true;
  return true;
}

// `what` is "open", "stat" or "write"; `err` the errno of the failed call.
void report_lost_line(const char* what, int err, unsigned long lines = 1) {
  lost_lines += lines;
  log_lines_dropped += lines;
  if (!report_due()) return;
  errno = err;
  fprintf(stderr, "ATTENTION: %s log file failed, dir[%s] file[%s], error[%m], lines lost: %lu\n", what, log_dir,
          appname, lost_lines);
  lost_lines = 0;
}

// The log works again: the losses not yet reported are, when a report is due.
void report_recovery() {
  if (lost_lines == 0 || !report_due()) return;
  fprintf(stderr, "ATTENTION: log file open again, dir[%s] file[%s], lines lost: %lu\n", log_dir, appname, lost_lines);
  lost_lines = 0;
}

void close_current() {
  if (cur_fd >= 0) close(cur_fd);
  cur_fd = -1;
  cur_path[0] = '\0';
}

// Empties a ring file that is to be written afresh by renaming it aside
// ("<file>.old"): the caller then creates the name anew. Truncating a file of tens of
// megabytes in place waits for its pages under writeback, tens of milliseconds on the
// loop thread at every rotation; the unlink that frees those pages runs on a short-lived
// thread instead, with every signal blocked so that signals still reach the loop.
void discard_aside(const char* path) {
  char aside[sizeof(cur_path) + 8];
  snprintf(aside, sizeof(aside), "%s.old", path);
  if (rename(path, aside) != 0) return;  // nothing to empty, or no rename: O_TRUNC does it
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  try {
    std::thread([name = std::string(aside)] { unlink(name.c_str()); }).detach();
  } catch (...) {
    unlink(aside);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Opens (or keeps) the current ring file, moving on to the next one while the current
// one is full. A file switched to during this call is truncated: it holds the oldest
// lines. The file held open is kept only while its path still names it.
int open_ring_file() {
  bool truncate = false;
  // A full ring turn is enough: a truncated file is empty and thus never full.
  for (int turns = 0; turns <= max_file_num; ++turns) {
    char path[256];
    snprintf(path, sizeof(path), "%s/%s_%d.log", log_dir, appname, cur_file_pos);
    struct stat st;
    if (!truncate && cur_fd >= 0 && strcmp(path, cur_path) == 0 && stat(path, &st) == 0 && st.st_dev == cur_dev &&
        st.st_ino == cur_ino) {
      cur_size = st.st_size;
    } else {
      close_current();
      if (truncate) discard_aside(path);
      // Opening never waits: a FIFO in the file's place that nobody reads fails at once
      // (ENXIO) instead of holding whoever writes, the loop thread for a start-up line.
      int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : 0);
      int fd = open(path, flags, 0644);
      if (fd < 0 && errno == ENOENT) {
        // The directory was removed while we run: make it again.
        make_dirs(log_dir);
        fd = open(path, flags, 0644);
      }
      // Writes block again, as on a slow disk: a reader that falls behind holds the
      // writer thread, and the bounded queue drops and counts lines meanwhile.
      if (fd >= 0) fcntl(fd, F_SETFL, O_APPEND);
      if (fd < 0) {
        report_lost_line("open", errno);
        return -1;
      }
      if (fstat(fd, &st) != 0) {
        report_lost_line("stat", errno);
        close(fd);
        return -1;
      }
      cur_fd = fd;
      snprintf(cur_path, sizeof(cur_path), "%s", path);
      cur_dev = st.st_dev;
      cur_ino = st.st_ino;
      cur_size = st.st_size;
    }
    if (cur_size < max_file_size) return cur_fd;
    cur_file_pos = (cur_file_pos + 1) % max_file_num;
    close_current();
    truncate = true;
  }
  return -1;
}

// Appends `count` whole lines to the file held open and counts them written. When the
// write fails (a full disk, a file size limit), the lines not written are counted as lost.
void write_current(const char* data, size_t len, size_t count) {
  if (len == 0 || cur_fd < 0) return;
  const size_t done = append_lines(cur_fd, data, len);
  const int err = errno;
  cur_size += static_cast<off_t>(done);
  if (done == len) {
    log_lines_written += count;
    if (lost_lines != 0) report_recovery();
    return;
  }
  unsigned long lines = 0;
  for (size_t i = done; i < len; ++i) lines += data[i] == '\n';
  if (lines == 0) lines = 1;
  if (lines > count) lines = count;
  log_lines_written += count - lines;
  report_lost_line("write", err, lines);
}

// Writes lines (bytes back to back, `ends` where each one ends). The file is looked up
// once; after that its size plus the lines gathered for it decide, line by line, where the
// ring moves on, exactly as one open per line would: a file ends with the first line that
// makes it reach the limit.
void write_lines(const char* bytes, const size_t* ends, size_t count) {
  size_t chunk = 0;  // start of the bytes not yet written
  size_t first = 0;  // the line they start with
  size_t begin = 0;  // start of line i
  bool checked = false;
  for (size_t i = 0; i < count; ++i) {
    const size_t end = ends[i];
    if (!checked || cur_fd < 0 || cur_size + static_cast<off_t>(begin - chunk) >= max_file_size) {
      if (cur_fd >= 0) write_current(bytes + chunk, begin - chunk, i - first);
      chunk = begin;
      first = i;
      checked = true;
      if (open_ring_file() < 0) {
        chunk = end;  // the line is dropped, as when written alone
        first = i + 1;
        checked = false;
      }
    }
    begin = end;
  }
  if (cur_fd >= 0) write_current(bytes + chunk, begin - chunk, count - first);
}

// Waits on the queue's `ready` for at most `ms` milliseconds, with `held` holding its
// lock; true when the wait timed out.
bool wait_ready(std::unique_lock<std::mutex>& held, long ms) {
  return queue_sync().ready.wait_for(held, std::chrono::milliseconds(ms)) == std::cv_status::timeout;
}

// The writer thread: takes whatever is queued, writes it with the lock released, and
// lets the file go after a second without lines. While lines keep coming it looks for
// more every WRITER_PERIOD_MS instead of being woken at every loop turn: a wake-up per
// turn would cost the loop a system call and the machine a switch each time.
const long WRITER_PERIOD_MS = 5;
void writer_main() {
  CBatch* mine = new CBatch;
  std::unique_lock<std::mutex> held(queue_sync().lock);
  for (;;) {
    if (queued->ends.empty()) wait_ready(held, WRITER_PERIOD_MS);
    if (queued->ends.empty()) {
      // A look without lines: whatever burst grew the batches is over.
      mine->release_burst_room();
      queued->release_burst_room();
      writer_asleep = true;
      while (queued->ends.empty()) {
        if (cur_fd < 0)
          queue_sync().ready.wait(held);
        else if (wait_ready(held, 1000) && queued->ends.empty())
          close_current();
      }
      writer_asleep = false;
    }
    std::swap(mine, queued);
    writing = true;
    held.unlock();
    write_lines(mine->bytes.data(), mine->ends.data(), mine->ends.size());
    mine->bytes.clear();
    mine->ends.clear();
    held.lock();
    writing = false;
    queue_sync().idle.notify_all();
  }
}

// Starts the writer, with every signal blocked so that signals still reach the loop. Left
// synchronous when no thread can be made.
void start_writer() {
  if (writer_on) return;
  hook_fork();
  static bool made = false;
  if (!made) {
    queue_sync();
    queued = new CBatch;
    made = true;
  }
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  try {
    std::thread(writer_main).detach();
    writer_on = true;
  } catch (const std::system_error&) {
    writer_on = false;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Holds the ring file for the calling thread: with a writer running, the lock is held
// and the writer has written everything handed over before.
class CFileTurn {
 public:
  explicit CFileTurn(bool take = true) {
    if (!take || !writer_on) return;
    _held = std::unique_lock<std::mutex>(queue_sync().lock);
    queue_sync().idle.wait(_held, [] { return !writing && queued->ends.empty(); });
  }

 private:
  std::unique_lock<std::mutex> _held;  // owns the lock when taken
};

// At most once a second (the formatting thread's own clock of drop reports).
bool drop_report_due() {
  static struct timespec last = {0, 0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (last.tv_sec != 0 && (now.tv_sec - last.tv_sec) * 1000000000L + (now.tv_nsec - last.tv_nsec) < 1000000000L)
    return false;
  last = now;
  return true;
}

// Moves the deferred lines to the writer's queue, or drops and counts them when the queue
// is full. Returns the lines dropped since the count was last taken.
unsigned long hand_over() {
  std::unique_lock<std::mutex> held(queue_sync().lock);
  if (queued->bytes.size() + pending_len > QUEUE_BYTES) {
    dropped_lines += pending_count;
    log_lines_dropped += pending_count;
    // Said at once on standard error: the line that counts them in the log waits for room.
    if (drop_report_due()) {
      fprintf(stderr, "ATTENTION: log writer behind, dir[%s] file[%s], lines dropped: %lu\n", log_dir, appname,
              dropped_lines);
    }
  } else {
    const size_t base = queued->bytes.size();
    queued->bytes.append(pending_buf, pending_len);
    for (size_t i = 0; i < pending_count; ++i) queued->ends.push_back(base + pending_end[i]);
    if (writer_asleep) queue_sync().ready.notify_one();
  }
  unsigned long dropped = 0;
  if (queued->bytes.size() < QUEUE_BYTES / 2) std::swap(dropped, dropped_lines);
  held.unlock();
  pending_len = 0;
  pending_count = 0;
  return dropped;
}

void report_dropped(unsigned long dropped) {
  log_error("%lu log lines dropped: the log file did not keep up", dropped);
}

// Writes or hands over the deferred lines. Hands them over while a writer runs: then the
// lines dropped for a full queue are counted in a line of their own.
void flush_pending() {
  if (pending_count == 0) return;
  const int saved_errno = errno;
  if (writer_on) {
    const unsigned long dropped = hand_over();
    if (dropped != 0) report_dropped(dropped);
    errno = saved_errno;
    return;
  }
  write_lines(pending_buf, pending_end, pending_count);
  pending_len = 0;
  pending_count = 0;
  if (!deferring) close_current();
  errno = saved_errno;
}

// Everything deferred is written, by the writer or here, and the count of lines dropped
// on the way, before the caller goes on.
void settle() {
  for (;;) {
    flush_pending();
    unsigned long dropped = 0;
    {
      CFileTurn turn;
      if (writer_on) std::swap(dropped, dropped_lines);
    }
    if (dropped == 0) return;
    report_dropped(dropped);
  }
}

void flush_at_exit() { settle(); }

}  // namespace

size_t append_lines(int fd, const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t w = write(fd, data + done, len - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      if (w == 0) errno = EIO;
      break;
    }
  }
  if (done == len) return done;
  const int err = errno;
  size_t whole = done;
  while (whole > 0 && data[whole - 1] != '\n') --whole;
  if (whole < done) {
    // With O_APPEND the offset is the end of what this write added.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    const off_t part = static_cast<off_t>(done - whole);
    if (end >= part && ftruncate(fd, end - part) == 0) done = whole;
  }
  errno = err;
  return done;
}

void init_log(const char* app, const char* dir, int max_num, int max_size) {
  flush_pending();
  {
    CFileTurn turn;
    snprintf(appname, sizeof(appname), "%s", app ? app : "");
    if (dir != nullptr) snprintf(log_dir, sizeof(log_dir), "%s", dir);
    // A new configuration starts a fresh count of lost lines.
    lost_lines = 0;
    reported = false;
    make_dirs(log_dir);
    if (max_num > 0) max_file_num = max_num;
    if (max_size > 0) max_file_size = max_size;
  }
  if (access(log_dir, W_OK | X_OK) != 0) log_error("logdir(%s): Not writable", log_dir);
}

void set_log_level(int l) {
  if (l < 0) return;
  __log_level__ = l < 4 ? 4 : l;
}

void log_defer(bool on) {
  static bool hooked = false;
  if (on && !hooked) {
    atexit(flush_at_exit);
    hooked = true;
  }
  // The writer starts with the loop, after any detaching fork.
  if (on) start_writer();
  deferring = on;
  if (on) return;
  settle();
  // Nothing stays open outside deferral.
  CFileTurn turn;
  close_current();
}

void log_flush() {
  if (writer_on) {
    flush_pending();
    return;
  }
  // A turn that logged nothing lets the file go: an idle gateway holds no descriptor
  // for its log, and a busy one opens it once per burst instead of once per turn.
  if (pending_count == 0) close_current();
  flush_pending();
}

void write_log(int level, const char* filename, const char* funcname, int lineno, const char* format, ...) {
  const int saved_errno = errno;
  char buf[LINE_BUFFER_SIZE];

  char file_copy[256];
  const char* base = base_name(filename, file_copy, sizeof(file_copy));
  const char* func = funcname ? funcname : "";
  size_t stamp_size;
  const char* stamp = log_stamp(&stamp_size);
  // "<level>[stamp] pid[N]: file(line)[func]: ", put together by hand rather than by
  // parsing a format on every line; bounded and counted as snprintf would.
  Sink head = {buf, MAX_HEADER_LEN, 0};
  head.put('<');
  put_signed(head, level);
  head.put('>');
  head.put(stamp, stamp_size);
  head.put(base, strlen(base));
  head.put('(');
  put_signed(head, lineno);
  head.put(")[", 2);
  head.put(func, strlen(func));
  head.put("]: ", 3);
  size_t len = head.len;
  // An absurdly long function name must not leave the message a negative room.
  if (len > MAX_LINE_LEN) len = MAX_LINE_LEN;

  if (appname[0] == '\0') {
    fprintf(stderr, "ATTENTION: the prefix of the log file is not set\n");
    errno = saved_errno;
    return;
  }

  // Start-up lines go out at once (they are copied to standard error as well), after
  // whatever was deferred before them.
  const bool defer = deferring && level != LOG_LEVEL_BOOT;
  if (!defer) flush_pending();
  CFileTurn turn(!defer);
  if (!defer) {
    if (open_ring_file() < 0) {
      if (!deferring) close_current();
      // A start-up line still reaches standard error.
      if (level != LOG_LEVEL_BOOT) {
        errno = saved_errno;
        return;
      }
    }
  }

  errno = saved_errno;
  const size_t room = MAX_LINE_LEN - len;
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  long n = quick_format(buf + len, room, format, ap);
  if (n < 0) n = vsnprintf(buf + len, room + 1, format, again);
  va_end(again);
  va_end(ap);
  if (n > 0) len += static_cast<size_t>(n) > room ? room : static_cast<size_t>(n);
  if (len == 0 || buf[len - 1] != '\n') buf[len++] = '\n';

  if (defer) {
    if (pending_len + len > PENDING_BYTES || pending_count == PENDING_LINES) flush_pending();
    if (len <= PENDING_BYTES) {
      memcpy(pending_buf + pending_len, buf, len);
      pending_len += len;
      pending_end[pending_count++] = pending_len;
      errno = saved_errno;
      return;
    }
    // Longer than the whole buffer: written alone, after what was deferred before it.
    flush_pending();
    CFileTurn alone;
    if (open_ring_file() >= 0) write_current(buf, len, 1);
    errno = saved_errno;
    return;
  }

  if (level == -1) {
    ssize_t w = write(STDERR_FILENO, buf, len);
    static_cast<void>(w);
  }
  write_current(buf, len, 1);
  if (!deferring) close_current();
  errno = saved_errno;
}

void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", O_RDWR);  // the lowest free number: fd itself
    if (null_fd < 0) return;
    if (null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}
