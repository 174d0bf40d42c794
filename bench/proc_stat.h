// Readers of /proc shared by the benchmark programs.
#ifndef HALL_BENCH_PROC_STAT_H
#define HALL_BENCH_PROC_STAT_H

#include <stdio.h>
#include <string.h>

// utime + stime of a process in clock ticks; -1 when it cannot be read.
inline long long proc_cpu_ticks(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[2048];
  size_t n = fread(line, 1, sizeof(line) - 1, f);
  fclose(f);
  line[n] = 0;
  // The command name may hold spaces and parentheses: the fields start after the last ')'.
  const char* p = strrchr(line, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  // Fields after ')': state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime(14) stime(15).
  if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return -1;
  return static_cast<long long>(utime + stime);
}

#endif
