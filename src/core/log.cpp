// Process log ring: every line opens, sizes, appends to and closes the current file, so
// an operator may move or delete log files at any time and a fresh one appears.
#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

int __log_level__ = 6;
char log_dir[128] = "../log";
int max_file_size = 52428800;
int max_file_num = 3;
char appname[32] = "";
int cur_file_pos = 0;

namespace {

const size_t LINE_BUFFER_SIZE = 1048576;
const size_t MAX_HEADER_LEN = 0xFFFFF;
// Longest line body before the final newline; the newline and the terminator still fit.
const size_t MAX_LINE_LEN = 0xFFFFE;

// basename() may modify its argument, so it works on a copy.
const char* base_name(const char* path, char* copy, size_t size)
{
    if (path == NULL)
        return "";
    snprintf(copy, size, "%s", path);
    return basename(copy);
}

// Opens the current ring file, moving on to the next one while the current one is full.
// A file switched to during this call is truncated: it holds the oldest lines.
int open_ring_file()
{
    bool truncate = false;
    // A full ring turn is enough: a truncated file is empty and thus never full.
    for (int turns = 0; turns <= max_file_num; ++turns) {
        char path[256];
        snprintf(path, sizeof(path), "%s/%s_%d.log", log_dir, appname, cur_file_pos);
        int flags = O_WRONLY | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0);
        int fd = open(path, flags, 0644);
        if (fd < 0) {
            fprintf(stderr, "ATTENTION: open log file failed, dir[%s] file[%s], error[%m]\n",
                    log_dir, appname);
            return -1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            fprintf(stderr, "ATTENTION: stat log file failed, dir[%s] file[%s], error[%m]\n",
                    log_dir, appname);
            close(fd);
            return -1;
        }
        if (st.st_size < max_file_size)
            return fd;
        cur_file_pos = (cur_file_pos + 1) % max_file_num;
        close(fd);
        truncate = true;
    }
    return -1;
}

} // namespace

void init_log(const char* app, const char* dir, int max_num, int max_size)
{
    snprintf(appname, sizeof(appname), "%s", app ? app : "");
    if (dir != NULL)
        snprintf(log_dir, sizeof(log_dir), "%s", dir);
    mkdir(log_dir, 0777);
    if (access(log_dir, W_OK | X_OK) != 0)
        log_error("logdir(%s): Not writable", log_dir);
    if (max_num > 0)
        max_file_num = max_num;
    if (max_size > 0)
        max_file_size = max_size;
}

void set_log_level(int l)
{
    if (l < 0)
        return;
    __log_level__ = l < 4 ? 4 : l;
}

void write_log(int level, const char* filename, const char* funcname, int lineno,
               const char* format, ...)
{
    const int saved_errno = errno;
    char buf[LINE_BUFFER_SIZE];

    time_t now = time(NULL);
    struct tm tm;
    localtime_r(&now, &tm);
    char file_copy[256];
    int n = snprintf(buf, MAX_HEADER_LEN + 1, "<%d>[%04d%02d%02d-%02d:%02d:%02d] pid[%d]: %s(%d)[%s]: ",
                     level, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec, (int)getpid(), base_name(filename, file_copy, sizeof(file_copy)),
                     lineno, funcname ? funcname : "");
    size_t len = n < 0 ? 0 : (size_t)n;
    // An absurdly long function name must not leave the message a negative room.
    if (len > MAX_LINE_LEN)
        len = MAX_LINE_LEN;

    if (appname[0] == '\0') {
        fprintf(stderr, "ATTENTION: the prefix of the log file is not set\n");
        errno = saved_errno;
        return;
    }

    int fd = open_ring_file();
    if (fd < 0) {
        errno = saved_errno;
        return;
    }

    errno = saved_errno;
    const size_t room = MAX_LINE_LEN - len;
    va_list ap;
    va_start(ap, format);
    n = vsnprintf(buf + len, room + 1, format, ap);
    va_end(ap);
    if (n > 0)
        len += (size_t)n > room ? room : (size_t)n;
    if (len == 0 || buf[len - 1] != '\n')
        buf[len++] = '\n';

    if (level == -1) {
        ssize_t w = write(STDERR_FILENO, buf, len);
        (void)w;
    }
    ssize_t w = write(fd, buf, len);
    (void)w;
    close(fd);
    errno = saved_errno;
}
