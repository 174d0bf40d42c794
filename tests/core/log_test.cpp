// Process log: ring rotation, line layout, call-site filtering, the standard error copy
// of start-up lines, and the cut of over-long lines. Every test works in its own
// directory and restores the process-wide settings afterwards.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::file_size;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

// Sends standard error to a file for the lifetime of the object.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

class ProcessLog : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = __log_level__;
    memcpy(saved_dir_, log_dir, sizeof(log_dir));
    memcpy(saved_app_, appname, sizeof(appname));
    saved_size_ = max_file_size;
    saved_num_ = max_file_num;
    saved_pos_ = cur_file_pos;
    cur_file_pos = 0;
  }
  void TearDown() override {
    __log_level__ = saved_level_;
    memcpy(log_dir, saved_dir_, sizeof(log_dir));
    memcpy(appname, saved_app_, sizeof(appname));
    max_file_size = saved_size_;
    max_file_num = saved_num_;
    cur_file_pos = saved_pos_;
  }
  std::string ring_file(int n) const { return dir_.file(std::string(appname) + "_" + std::to_string(n) + ".log"); }
  // Logs as `app` into a ring whose first file is a pipe nobody reads yet, so that the
  // writer blocks on it as on a stalled disk, and defers the lines: the pipe's read end
  // (non-blocking), or -1.
  int defer_into_a_stalled_pipe(const char* app) {
    init_log(app, dir_.path().c_str(), 2, 1 << 30);
    if (mkfifo(ring_file(0).c_str(), 0644) != 0) return -1;
    const int fd = open(ring_file(0).c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) log_defer(true);
    return fd;
  }

  TempDir dir_;
  TempDir scratch_;

 private:
  int saved_level_ = 0;
  char saved_dir_[sizeof(log_dir)] = {};
  char saved_app_[sizeof(appname)] = {};
  int saved_size_ = 0;
  int saved_num_ = 0;
  int saved_pos_ = 0;
};

int evaluations = 0;
int counted(int v) {
  ++evaluations;
  return v;
}

}  // namespace

TEST_F(ProcessLog, LineCarriesLevelTimePidFileLineAndFunction) {
  init_log("fmt", dir_.path().c_str(), 3, 1 << 20);
  const int line = __LINE__ + 1;
  log_error("hello %d", 42);
  const std::string text = read_file(ring_file(0));
  const std::regex layout("<3>\\[\\d{8}-\\d{2}:\\d{2}:\\d{2}\\] pid\\[" + std::to_string(getpid()) +
                          "\\]: log_test\\.cpp\\(" + std::to_string(line) + "\\)\\[TestBody\\]: hello 42\n");
  EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(ProcessLog, NewlineIsAddedOnlyWhenMissingAndErrnoSurvives) {
  init_log("nl", dir_.path().c_str(), 3, 1 << 20);
  log_error("ends with newline\n");
  errno = ENOENT;
  log_error("caller error: %m");
  EXPECT_EQ(ENOENT, errno) << "the log must not clobber the caller's errno";
  const std::string text = read_file(ring_file(0));
  EXPECT_NE(std::string::npos, text.find("ends with newline\n<3>"));
  EXPECT_NE(std::string::npos, text.find("caller error: " + std::string(strerror(ENOENT)) + "\n"));
  EXPECT_EQ(std::string::npos, text.find("\n\n"));
}

TEST_F(ProcessLog, RingRotatesBySizeAndWrapsOntoAnEmptiedFile) {
  // Measure one line, then allow a file to take three of them: two stay below the
  // limit, the third reaches it.
  init_log("ring", dir_.path().c_str(), 3, 1 << 20);
  log_error("line %03d", 0);
  const long one = file_size(ring_file(0));
  ASSERT_GT(one, 0);
  unlink(ring_file(0).c_str());
  init_log("ring", NULL, 3, static_cast<int>(2 * one + 1));

  for (int i = 1; i <= 10; ++i) log_error("line %03d", i);

  auto lines_of = [&](int n) {
    std::string got;
    const std::string text = read_file(ring_file(n));
    for (size_t pos = text.find("line "); pos != std::string::npos; pos = text.find("line ", pos + 1))
      got += text.substr(pos + 5, 3) + " ";
    return got;
  };
  EXPECT_EQ("010 ", lines_of(0)) << "wrapping to file 0 empties it";
  // The file emptied is set aside and removed off the caller's thread.
  EXPECT_TRUE(testsupport::wait_until([&] { return !file_exists(ring_file(0) + ".old"); }, 5000));
  EXPECT_EQ("004 005 006 ", lines_of(1));
  EXPECT_EQ("007 008 009 ", lines_of(2));
  EXPECT_EQ(0, cur_file_pos);
  EXPECT_FALSE(file_exists(ring_file(3)));
}

TEST_F(ProcessLog, RestartResumesAtFileZeroAndSkipsItWhenFull) {
  init_log("restart", dir_.path().c_str(), 3, 100);
  testsupport::write_file(ring_file(0), std::string(150, 'x'));
  testsupport::write_file(ring_file(1), "stale content of an earlier run\n");
  log_error("after restart");
  EXPECT_EQ(1, cur_file_pos);
  EXPECT_EQ(150, file_size(ring_file(0))) << "a full file is left as it is";
  const std::string text = read_file(ring_file(1));
  EXPECT_EQ(std::string::npos, text.find("stale")) << "the file switched to is truncated";
  EXPECT_NE(std::string::npos, text.find("after restart"));
}

TEST_F(ProcessLog, DeletedFileIsRecreatedAtTheNextLine) {
  init_log("gone", dir_.path().c_str(), 3, 1 << 20);
  log_error("first");
  ASSERT_EQ(0, unlink(ring_file(0).c_str()));
  log_error("second");
  const std::string text = read_file(ring_file(0));
  EXPECT_EQ(std::string::npos, text.find("first"));
  EXPECT_NE(std::string::npos, text.find("second"));
}

TEST_F(ProcessLog, CallSitesFilterLevelsFourToSevenOnly) {
  init_log("filter", dir_.path().c_str(), 3, 1 << 20);
  set_log_level(4);
  evaluations = 0;
  log_debug("debug %d", counted(7));
  log_info("info %d", counted(6));
  log_notice("notice %d", counted(5));
  EXPECT_EQ(0, evaluations) << "a filtered line must not even be formatted";
  log_warning("warning %d", counted(4));
  log_error("error %d", counted(3));
  {
    StderrCapture err(scratch_.file("stderr"));
    log_boot("boot %d", counted(-1));
  }
  EXPECT_EQ(3, evaluations);

  set_log_level(7);
  log_debug("debug again");
  const std::string text = read_file(ring_file(0));
  EXPECT_EQ(std::string::npos, text.find("debug 7"));
  EXPECT_EQ(std::string::npos, text.find("info 6"));
  EXPECT_EQ(std::string::npos, text.find("notice 5"));
  EXPECT_NE(std::string::npos, text.find("<4>["));
  EXPECT_NE(std::string::npos, text.find("warning 4"));
  EXPECT_NE(std::string::npos, text.find("error 3"));
  EXPECT_NE(std::string::npos, text.find("<-1>["));
  EXPECT_NE(std::string::npos, text.find("<7>["));
  EXPECT_NE(std::string::npos, text.find("debug again"));
}

TEST_F(ProcessLog, SetLogLevelKeepsErrorsAndWarningsAndIgnoresNegatives) {
  set_log_level(2);
  EXPECT_EQ(4, __log_level__);
  set_log_level(0);
  EXPECT_EQ(4, __log_level__);
  set_log_level(-5);
  EXPECT_EQ(4, __log_level__);
  set_log_level(7);
  EXPECT_EQ(7, __log_level__);
}

TEST_F(ProcessLog, StartupLinesAreCopiedToStandardErrorAndErrorsAreNot) {
  init_log("boot", dir_.path().c_str(), 3, 1 << 20);
  StderrCapture err(scratch_.file("stderr"));
  log_boot("*STEP: starting");
  log_error("only in the file");
  const std::string copied = err.text();
  const std::string text = read_file(ring_file(0));
  ASSERT_NE(std::string::npos, text.find("*STEP: starting\n"));
  EXPECT_EQ(text.substr(0, text.find("*STEP: starting\n") + 16), copied);
  EXPECT_NE(std::string::npos, text.find("only in the file"));
}

TEST_F(ProcessLog, NothingIsWrittenBeforeThePrefixIsSet) {
  memset(appname, 0, sizeof(appname));
  StderrCapture err(scratch_.file("stderr"));
  log_boot("lost line");
  EXPECT_EQ("ATTENTION: the prefix of the log file is not set\n", err.text());
}

TEST_F(ProcessLog, UnopenableFileIsReportedAndDropped) {
  // A plain file where the directory should be.
  const std::string not_a_dir = scratch_.file("plain");
  testsupport::write_file(not_a_dir, "x");
  snprintf(appname, sizeof(appname), "%s", "bad");
  snprintf(log_dir, sizeof(log_dir), "%s", not_a_dir.c_str());
  StderrCapture err(scratch_.file("stderr"));
  errno = EBADF;
  log_error("dropped");
  EXPECT_EQ(EBADF, errno);
  const std::string text = err.text();
  EXPECT_EQ(0u, text.find("ATTENTION: open log file failed, dir[" + not_a_dir + "] file[bad], error[")) << text;
}

TEST_F(ProcessLog, InitKeepsPreviousLimitsForZeroAndCutsLongNames) {
  init_log("limits", dir_.path().c_str(), 5, 4096);
  init_log("limits", NULL, 0, 0);
  EXPECT_EQ(5, max_file_num);
  EXPECT_EQ(4096, max_file_size);
  EXPECT_EQ(dir_.path(), std::string(log_dir)) << "a null directory keeps the previous one";

  const std::string long_name(40, 'a');
  init_log(long_name.c_str(), dir_.file("created").c_str(), -1, -1);
  EXPECT_EQ(std::string(31, 'a'), std::string(appname));
  EXPECT_EQ(5, max_file_num);
  log_error("into a directory made by init_log");
  EXPECT_TRUE(file_exists(dir_.file("created/" + std::string(31, 'a') + "_0.log")));
}

TEST_F(ProcessLog, OverlongMessageIsCutAndStillEndsInNewline) {
  init_log("long", dir_.path().c_str(), 3, 64 << 20);
  const std::string huge(2 << 20, 'z');
  log_error("%s", huge.c_str());
  const std::string text = read_file(ring_file(0));
  EXPECT_EQ(0xFFFFFu, text.size()) << "0xFFFFE bytes of line and the newline";
  EXPECT_EQ('\n', text.back());
  EXPECT_EQ('z', text[text.size() - 2]);

  // A message that just fits is kept whole.
  unlink(ring_file(0).c_str());
  log_error("short");
  const size_t header = read_file(ring_file(0)).size() - 6;
  unlink(ring_file(0).c_str());
  const std::string fits(0xFFFFE - header, 'y');
  log_error("%s", fits.c_str());
  const std::string whole = read_file(ring_file(0));
  EXPECT_EQ(0xFFFFFu, whole.size());
  EXPECT_EQ(fits + "\n", whole.substr(header));

  // A function name longer than a whole line is cut inside the header.
  unlink(ring_file(0).c_str());
  const std::string func(2 << 20, 'f');
  write_log(3, "x.cpp", func.c_str(), 7, "never seen");
  const std::string cut = read_file(ring_file(0));
  EXPECT_EQ(0xFFFFFu, cut.size());
  EXPECT_EQ(0u, cut.find("<3>["));
  EXPECT_NE(std::string::npos, cut.find("x.cpp(7)[ffff"));
  EXPECT_EQ("ff\n", cut.substr(cut.size() - 3));
}

TEST_F(ProcessLog, MessagesReadExactlyAsPrintfFormatsThem) {
  init_log("printf", dir_.path().c_str(), 3, 64 << 20);
  std::string expected;
  // Each case is logged and printed with the same arguments.
#define SAME_AS_PRINTF(...)                    \
  do {                                         \
    char want[512];                            \
    snprintf(want, sizeof(want), __VA_ARGS__); \
    expected += std::string(want) + "\n";      \
    log_error(__VA_ARGS__);                    \
  } while (0)
  SAME_AS_PRINTF("plain text only");
  SAME_AS_PRINTF("%d|%d|%d|%i", 0, -1, INT32_MIN, INT32_MAX);
  SAME_AS_PRINTF("%u|%x|%X|%#x|%#X|%#x", 4294967295u, 0xbeefu, 0xbeefu, 0x9001u, 0x1003u, 0u);
  SAME_AS_PRINTF("%ld|%lu|%lld|%llu|%#lx", -5L, 18446744073709551615UL, (long long)INT64_MIN, 7ULL, 255UL);
  SAME_AS_PRINTF("[%s][%c]%%[%s]", "text", 'x', "");
  // Formats the quick path leaves to the library, mixed with ones it handles.
  SAME_AS_PRINTF("%5d|%-4s|%05.1f|%p|%d", 42, "ab", 3.14159, (void*)0x1234, 7);
  SAME_AS_PRINTF("%s|%hd|%zu|%lc", "a", (short)-3, (size_t)9, (wint_t)'w');
#undef SAME_AS_PRINTF
  const std::string text = read_file(ring_file(0));
  std::string messages;
  for (size_t pos = 0; pos < text.size();) {
    size_t eol = text.find('\n', pos);
    size_t body = text.find("]: ", text.find("pid[", pos));
    body = text.find("]: ", body + 3) + 3;
    messages += text.substr(body, eol + 1 - body);
    pos = eol + 1;
  }
  EXPECT_EQ(expected, messages);
}

TEST_F(ProcessLog, DeferredLinesRotateExactlyWhereLinesWrittenAloneDo) {
  // Twenty lines of about 170 bytes against a 1000-byte limit: six to a file, twice
  // round the ring, whether the lines go out one by one or in one flush.
  auto sizes = [&](const char* app, bool defer) {
    init_log(app, dir_.path().c_str(), 3, 1000);
    cur_file_pos = 0;
    log_defer(defer);
    for (int i = 0; i < 20; ++i) log_error("%0100d", i);
    log_defer(false);
    std::string got;
    for (int n = 0; n < 3; ++n) got += std::to_string(file_size(ring_file(n))) + " ";
    return got;
  };
  const std::string alone = sizes("alone", false);
  EXPECT_EQ(alone, sizes("deferred", true));
}

TEST_F(ProcessLog, RemovedDirectoryIsMadeAgainAndAFailingLogReportsOnceASecond) {
  const std::string dir = dir_.file("a/b");
  init_log("gone", dir.c_str(), 3, 1 << 20);
  const std::string file = dir + "/gone_0.log";
  log_error("before");
  ASSERT_EQ(0, unlink(file.c_str()));
  ASSERT_EQ(0, rmdir(dir.c_str()));
  ASSERT_EQ(0, rmdir(dir_.file("a").c_str()));
  log_error("after the directory went");
  EXPECT_NE(std::string::npos, read_file(file).find("after the directory went"));

  // A plain file where the directory should be: every line is lost, and standard error
  // hears of it at most once a second, with the count of lines lost.
  ASSERT_EQ(0, unlink(file.c_str()));
  ASSERT_EQ(0, rmdir(dir.c_str()));
  testsupport::write_file(dir, "x");
  const std::string err_path = scratch_.file("stderr");
  StderrCapture err(err_path);
  const time_t start = time(NULL);
  for (int i = 0; i < 5000; ++i) log_error("lost %d", i);
  log_boot("start-up line still shown");
  auto reports = [&] {
    const std::string text = read_file(err_path);
    long lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
  };
  EXPECT_LE(reports(), 3 + (long)(time(NULL) - start));
  EXPECT_NE(std::string::npos, read_file(err_path).find("]: start-up line still shown\n"));
  EXPECT_EQ(0u, read_file(err_path).find("ATTENTION: open log file failed, dir[" + dir + "] file[gone], error["));

  // Once the log works again, the lines not yet reported are.
  ASSERT_EQ(0, unlink(dir.c_str()));
  int written = 0;
  EXPECT_TRUE(testsupport::wait_until(
      [&] {
        log_error("back %d", written++);
        return read_file(err_path).find("ATTENTION: log file open again") != std::string::npos;
      },
      5000));
  const std::string text = err.text();
  long lost = 0;
  for (size_t pos = text.find("lines lost: "); pos != std::string::npos; pos = text.find("lines lost: ", pos + 1))
    lost += atol(text.c_str() + pos + 12);
  EXPECT_EQ(5001, lost) << text;
  EXPECT_NE(std::string::npos, read_file(file).find("back 0\n"));
}

// A disk that is full: lines that cannot be written are reported as lost, like lines
// whose file cannot be opened, and the part of a line that went in before the write
// failed is taken out again, so that the next line does not run into it.
TEST_F(ProcessLog, AFailedWriteIsReportedAndLeavesNoPartOfALine) {
  init_log("full", dir_.path().c_str(), 3, 1 << 20);
  ASSERT_EQ(0, symlink("/dev/full", ring_file(0).c_str()));
  {
    StderrCapture err(scratch_.file("stderr"));
    log_error("no room");
    const std::string text = err.text();
    EXPECT_EQ(0u, text.find("ATTENTION: write log file failed, dir[" + dir_.path() + "] file[full], error[" +
                            strerror(ENOSPC) + "], lines lost: 1\n"))
        << text;
  }
  ASSERT_EQ(0, unlink(ring_file(0).c_str()));

  // A file size limit stops the write in the middle of a line, as a filling disk does.
  log_error("%s", std::string(2000, 'a').c_str());
  const long before = file_size(ring_file(0));
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct rlimit small = saved;
  small.rlim_cur = static_cast<rlim_t>(before + 10);
  sighandler_t old = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  log_error("cut short by the limit");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old);
  log_error("after");
  const std::string tail = read_file(ring_file(0)).substr(static_cast<size_t>(before));
  EXPECT_EQ(std::string::npos, tail.find("<3>[", 1)) << tail;
  EXPECT_EQ(tail.size() - 9, tail.find("]: after\n")) << tail;
}

// The ring file is a pipe that nobody reads at first: the writer blocks on it as on a
// stalled disk. The loop's calls still return, lines past the queue's bound are dropped,
// and once the pipe is read every line is there or counted as dropped.
TEST_F(ProcessLog, DeferredLinesNeverWaitForTheDiskAndDroppedOnesAreCounted) {
  const int pipe_fd = defer_into_a_stalled_pipe("slow");
  ASSERT_GE(pipe_fd, 0);
  const unsigned long long counted_before = log_lines_written;
  log_error("first");
  const std::string text(1000, 'x');
  const int kLines = 24 * 1024;  // about 24 MiB, more than the queue holds
  for (int i = 1; i <= kLines; ++i) {
    log_error("%s", text.c_str());
    if (i % 100 == 0) log_flush();
  }
  log_flush();

  std::string got;
  std::atomic<bool> done(false);
  std::thread reader([&] {
    char buf[65536];
    for (int turns = 0; turns < 600; ++turns) {  // 60 s at most
      pollfd p = {pipe_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        if (done) break;
        continue;
      }
      const ssize_t n = read(pipe_fd, buf, sizeof(buf));
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      if (n <= 0 && done) break;
    }
  });
  log_defer(false);  // returns once everything is written, the count of dropped lines too
  done = true;
  reader.join();
  close(pipe_fd);

  const size_t written = testsupport::count_of(got, text);
  const size_t notice = got.find(" log lines dropped: the log file did not keep up");
  ASSERT_NE(std::string::npos, notice) << "no line tells of the dropped lines; " << written << " written";
  const size_t number = got.rfind(": ", notice);
  const unsigned long dropped = std::stoul(got.substr(number + 2, notice - number - 2));
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(static_cast<unsigned long>(kLines), written + dropped);
  ASSERT_NE(std::string::npos, got.find("]: first\n"));
  EXPECT_LT(got.find("]: first\n"), got.find(text));
  // The count of lines written (a metric) holds the lines that reached the file, no dropped ones.
  EXPECT_EQ(static_cast<unsigned long long>(std::count(got.begin(), got.end(), '\n')),
            log_lines_written - counted_before);
}

// Resident memory of this process, in KiB.
static long resident_kb() {
  long pages = 0, resident = 0;
  FILE* f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  fclose(f);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 12 MiB of lines wait in the queue while the ring file (a pipe nobody reads yet) holds
// the writer, as a stalled disk would; once they are written and no more come, the
// queue's memory goes back to the system instead of staying with the process.
TEST_F(ProcessLog, TheQueueGivesBackTheMemoryOfABurstOnceItIsWritten) {
  const int pipe_fd = defer_into_a_stalled_pipe("burst");
  ASSERT_GE(pipe_fd, 0);
  const std::string text(1000, 'x');
  for (int i = 1; i <= 12 * 1024; ++i) {
    log_error("%s", text.c_str());
    if (i % 100 == 0) log_flush();
  }
  log_flush();
  const long peak = resident_kb();
  std::atomic<bool> done(false);
  std::thread reader([&] {
    char buf[65536];
    for (int turns = 0; turns < 600 && !(done && read(pipe_fd, buf, sizeof(buf)) <= 0); ++turns) {
      pollfd p = {pipe_fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) (void)!read(pipe_fd, buf, sizeof(buf));
    }
  });
  log_defer(false);  // returns once everything is written
  done = true;
  reader.join();
  close(pipe_fd);
  EXPECT_TRUE(testsupport::wait_until([&] { return resident_kb() < peak - 8 * 1024; }, 5000))
      << "resident " << resident_kb() << " KiB, " << peak << " KiB with the burst queued";
}
