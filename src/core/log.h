// Process log: free functions writing one line per call into a small ring of
// size-limited files "<log_dir>/<appname>_<n>.log". Configured once at start-up by
// init_log() and set_log_level(), then written from anywhere on the one thread (the
// writer thread of deferred lines aside).
//
// The level filter lives at the call site (the log_* macros below), so a rejected
// line costs one comparison and no formatting. Levels follow syslog: 3 error,
// 4 warning, 5 notice, 6 info, 7 debug; -1 marks start-up and socket set-up lines,
// which are always written and also copied to standard error.
#ifndef HALL_CORE_LOG_H
#define HALL_CORE_LOG_H

#include <stddef.h>

#include <atomic>

// Highest level (4..7) that call sites pass on; levels 3 and -1 always pass.
extern int __log_level__;

// Ring settings. Exposed for start-up code and tests; change them through init_log().
extern char log_dir[128];  // directory of the ring files, "../log" by default
extern int max_file_size;  // bytes from which a file counts as full
extern int max_file_num;   // number of files in the ring
extern char appname[32];   // file name prefix; nothing is written while it is empty
extern int cur_file_pos;   // index of the ring file currently written
// Lines stored in a ring file since the process started, and lines lost instead (a full
// queue, a file that could not be opened or written). Lines still queued are in neither.
extern std::atomic<unsigned long long> log_lines_written;
extern std::atomic<unsigned long long> log_lines_dropped;

// Points each of standard input, output and error that the starter left closed at
// /dev/null. Called first thing in main: otherwise the first descriptors the program
// opens (a log file, a socket) take those numbers, and start-up lines written to standard
// error would go into a connection.
void open_standard_descriptors();

// Sets the prefix (at most 31 characters), the directory (at most 127, when dir is not
// null; created if missing, and made again if it disappears later) and, when above 0,
// the ring size and the file size limit.
void init_log(const char* app, const char* dir, int max_num, int max_size);

// A negative level is ignored; 0..3 become 4, so errors and warnings are always kept.
void set_log_level(int l);

// Appends one line: "<level>[YYYYmmdd-HH:MM:SS] pid[N]: file(line)[func]: message\n".
// A line that cannot be stored is dropped, and standard error hears of it at most once a
// second, with the number of lines lost (also while the writer's queue is full); errno is preserved, so "%m" in the format
// reports the caller's error.
void write_log(int level, const char* filename, const char* funcname, int lineno, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Deferred writing, for the loop thread: while on, lines other than start-up lines are
// formatted at once and kept in memory, in order, until log_flush(), which hands them to a
// writer thread (started by the first log_defer(true), so after any detaching fork). It
// writes them as if each had been written alone (same files, same rotation points), and
// the loop never waits on the disk: lines beyond a bounded queue (16 MiB) are dropped and
// their number logged. The loop flushes at the end of every turn, before it waits.
// Turning deferral off, a start-up line, and process exit write everything handed over
// first, in order, before they return.
void log_defer(bool on);
void log_flush();

// Appends `len` bytes of whole lines to `fd` (opened with O_APPEND), going on after short
// writes and signals. Returns the bytes written; when that is short of `len`, errno says
// why, and the part of a line that did go in is cut off again, so that the next line
// written does not run into it. Shared by the process log and the rolling logs.
size_t append_lines(int fd, const char* data, size_t len);

#define LOG_LEVEL_BOOT (-1)
#define LOG_LEVEL_ERROR 3
#define LOG_LEVEL_WARNING 4
#define LOG_LEVEL_NOTICE 5
#define LOG_LEVEL_INFO 6
#define LOG_LEVEL_DEBUG 7

// Call-site macros. log_boot and log_error always write; the others only when
// __log_level__ is at least their level.
#define log_generic(level, fmt, ...)                                             \
  do {                                                                           \
    const int log_lvl_ = (level);                                                \
    if (log_lvl_ <= LOG_LEVEL_ERROR || __log_level__ >= log_lvl_)                \
      write_log(log_lvl_, __FILE__, __FUNCTION__, __LINE__, fmt, ##__VA_ARGS__); \
  } while (0)

#define log_boot(fmt, ...) write_log(LOG_LEVEL_BOOT, __FILE__, __FUNCTION__, __LINE__, fmt, ##__VA_ARGS__)
#define log_error(fmt, ...) write_log(LOG_LEVEL_ERROR, __FILE__, __FUNCTION__, __LINE__, fmt, ##__VA_ARGS__)
#define log_warning(fmt, ...) log_generic(LOG_LEVEL_WARNING, fmt, ##__VA_ARGS__)
#define log_notice(fmt, ...) log_generic(LOG_LEVEL_NOTICE, fmt, ##__VA_ARGS__)
#define log_info(fmt, ...) log_generic(LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define log_debug(fmt, ...) log_generic(LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__)

#endif
