// clib_log: a rolling log file. Each object appends lines to one file (optionally with a
// strftime suffix such as a date), stamps them with the local time, and rotates the file
// into numbered backups ("name.1" newest) once it grows above a size limit. Rotation and
// append can be serialised across processes by a System V semaphore. Lines that carry a
// user id can be filtered by a "coloring" list of uids read from a file.
// Nothing stays open between writes, and opening never waits (a FIFO nobody reads in a
// file's place fails at once). Lines are written by the caller, or by a writer thread
// (write_off_thread). One formatting thread per object. Failures are reported by results
// and counts; nothing here aborts the process.
#ifndef HALL_PROXY_CLIB_LOG_H
#define HALL_PROXY_CLIB_LOG_H

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "noncopyable.h"

// Adds the families hall_log_lines_total and hall_log_lines_dropped_total (the process
// log's lines and the rolling logs') to the metrics page.
void register_log_metrics();

class clib_log : noncopyable {
 public:
  // as_file null: no file yet (see set_file). ai_pathtype 2 puts as_file under "/tmp".
  // as_sem non-zero: writes are serialised by a semaphore keyed on the file's directory and
  // name (stable across rotation, so every process writing the file shares it).
  // Null texts and negative numbers take the defaults: "[%Y-%m-%d %H:%M:%S] ", level 0,
  // 5 backups, 10485760 bytes, no name suffix, "\n".
  clib_log(const char* as_file, int as_sem, const char* as_tformat, int ai_level, int ai_maxfile, int ai_maxsize,
           const char* as_logtype, const char* as_eol, int ai_pathtype, const char* as_coloring);
  ~clib_log();

  // Lines stored in their file, and lines that passed the filters but were lost (a full
  // queue, a file that could not be opened or written), over every rolling log of the
  // process.
  static std::atomic<unsigned long long> lines_written;
  static std::atomic<unsigned long long> lines_dropped;

  // On: every rolling log of the process is written by a writer thread of its own, the
  // caller only formats and queues (bounded; lines beyond are dropped and counted). Off:
  // what is queued is written first, then lines are written by the caller again. Either
  // way the lines dropped so far are reported (report_dropped).
  static void write_off_thread(bool on);
  // Logs one level-3 line with the number of lines dropped for a full queue since the
  // previous report, when there are any and (unless `now`) the previous report is a
  // second old. For the loop, once per turn: it costs one atomic read.
  static void report_dropped(bool now = false);

  // Setters return 0, or -1 when refused (negative value, null text).
  int set_level(int ai_level);
  int set_maxfile(int ai_maxfile);  // 0 turns rotation off
  int set_maxsize(int ai_maxsize);  // 0 turns rotation off
  int set_eol(const char* as_eol);
  int set_timeformat(const char* as_tformat);
  int set_logtype(const char* as_logtype);
  // Names the file and creates it (and its directory) if missing; -1 for null, or when it
  // cannot be created, errno saying why (the name is kept: later writes try again).
  int set_file(const char* as_file, int ai_pathtype);
  // Reloads the uid list; -1 (filter off) when the file cannot be opened.
  int set_coloring_file(const char* as_coloring);
  // Reads the uid list of a coloring file into *uins. With `notes`, adds one message for
  // each line that starts with a number that is no uid, and one when the file cannot be
  // opened (-1).
  static int read_coloring_file(const char* as_coloring, std::set<uint32_t>* uins,
                                std::vector<std::string>* notes = nullptr);

  // Writes one message. 0 written (or queued) or filtered out; -1 no file, no message, or
  // the line could not be stored (or queued).
  int write(const char* as_msg, int ai_level, unsigned ai_uin);
  int apwrite(int ai_level, const char* as_msgformat, va_list ast_ap, unsigned ai_uin)
      __attribute__((format(printf, 3, 0)));
  int vwrite(int ai_level, unsigned ai_uin, const char* as_msgformat, ...) __attribute__((format(printf, 4, 5)));
  int vwrite(int ai_level, const char* as_msgformat, ...) __attribute__((format(printf, 3, 4)));
  // Level 1, no uid: always passes the level test.
  int logMsg(const char* as_msgformat, ...) __attribute__((format(printf, 2, 3)));

  // Rotates `as_file` when it is above the size limit. 401 for an empty name, else 0.
  int check_file(char* as_file);

  // Read-only views.
  const char* file() const { return ms_file; }
  int level() const { return mi_level; }
  int maxfile() const { return mi_maxfile; }
  int maxsize() const { return mi_maxsize; }
  int semid() const { return mi_semid; }
  bool coloring() const { return mb_coloring; }
  const std::set<uint32_t>& uins() const { return setUins; }

 private:
  int open_file(const char* as_file, int ai_pathtype);

  char ms_file[1024];
  char ms_tformat[64];
  char ms_eol[16];
  int mi_level;
  int mi_maxfile;
  int mi_maxsize;
  char ms_logtype[64];
  int mi_semopen;
  int mi_semid;
  bool mb_coloring;
  std::set<uint32_t> setUins;
};

// Makes (value 1) or opens the one-semaphore set of SemKey into *pSID.
// 0 success; -1 neither (then *pSID is -1); -2 made but not initialised.
// sErrMsg, when given, receives the reason (at most 256 bytes).
int createSem(int SemKey, int* pSID, char* sErrMsg);

// Appends ai_len bytes to as_file with one open/write/close. 0, or -1 on failure.
int clib_log_write(const char* as_file, const char* as_msg, unsigned long ai_len);

// The gateway's rolling logs, created when the module opens (null before).
extern clib_log* g_pDebugLog;
extern clib_log* g_pErrorLog;

#endif
