// Shared clock for cooperating processes on one host. A forked task rewrites the time
// into a 32-byte record of a mapped file ("./timemgrtask" by default) every 5 ms;
// readers in any process map the same file and read the time from memory, retrying
// while the writer's version counter shows an update in progress. A reader decides at
// its first call: without a live task then (no file, or no task holding the file's
// lock) it uses the system clock for good, since a record nobody writes is stale. A
// record that stops being written later (the task died or is stopped) is noticed on
// each read: one more than a second away from the system clock is not used.
//
// The task holds a POSIX write lock on the file for as long as it runs. That lock is
// how get_timetask recognises a still running task of the same file: the process id
// stored in the file may be stale (crash, reboot) and is never killed on its own word.
#ifndef HALL_CORE_TM_TASK_H
#define HALL_CORE_TM_TASK_H

#include <stddef.h>
#include <sys/time.h>

typedef struct {
  volatile int counter;
} atomic_t;

// The whole content of the mapped file, in the host's byte order.
struct time_mgr {
  struct timeval tval;  // last gettimeofday, refreshed every 5 ms
  int tm;               // last time(NULL), refreshed about every 105 ms
  atomic_t tm_fag;      // version of tm: odd while the writer updates it
  atomic_t tval_fag;    // version of tval: odd while the writer updates it
  int pid;              // process id of the running task, 0 when none
};

static_assert(sizeof(struct time_mgr) == 32, "time_mgr is the 32-byte file record");
static_assert(offsetof(struct time_mgr, tval) == 0 && sizeof(((time_mgr*)0)->tval.tv_sec) == 8 &&
                  sizeof(((time_mgr*)0)->tval.tv_usec) == 8,
              "tval: signed 64-bit seconds and microseconds at offset 0");
static_assert(offsetof(struct time_mgr, tm) == 16, "tm at offset 16");
static_assert(offsetof(struct time_mgr, tm_fag) == 20, "tm_fag at offset 20");
static_assert(offsetof(struct time_mgr, tval_fag) == 24, "tval_fag at offset 24");
static_assert(offsetof(struct time_mgr, pid) == 28, "pid at offset 28");

#define TM_TASK_DEFAULT_FILE "./timemgrtask"

// Maps `filename` read-write and shared, creating it (mode 0666) when missing. With
// size > 0 the file is first set to that length; otherwise its current length is
// mapped. f_new tells whether the file did not exist before. When the file cannot be
// opened, an anonymous *shared* mapping of `size` bytes is returned instead (f_new
// true): a task forked afterwards writes into the same pages that the caller and its
// later children read, so the clock still works inside one process tree. Null on
// failure or when nothing is to be mapped.
void* map_file(const char* filename, int size, bool& f_new);

// Fills pval from the shared record, or with gettimeofday when there is none. The
// record is chosen on the first call of the process (later names are ignored); null
// means TM_TASK_DEFAULT_FILE. Returns 0, or the result of gettimeofday.
int get_timeofday(struct timeval* pval, const char* tmfile = NULL);

// Seconds since the epoch from the shared record, or time(NULL) when there is none.
// Same one-time choice of the record as get_timeofday, kept separately.
int get_time(const char* tmfile = NULL);

// Milliseconds from `begin` to now (get_timeofday on the default file), in 32 bits.
int getdelay(const struct timeval& begin);

// Starts the task for `tmfile` (null: TM_TASK_DEFAULT_FILE) and returns its process
// id once it runs and holds the file's lock. A previous task of the same file is
// killed with signal 9 first, but only when it is verifiably running (it holds the
// lock); a stale process id in the file is overwritten, never killed. Of two tasks
// started at the same moment, the one that takes the lock last stays. A mapping or
// fork failure ends the calling process with exit status 0.
int get_timetask(const char* tmfile = NULL);

// Runs "kill -<signo> <procid>" through the shell when procid > 0.
void do_kill(int signo, int procid);

// Adds i to *v with one locked instruction; returns the value before the addition.
extern "C" int atomic_add(int i, atomic_t* v);

#endif
