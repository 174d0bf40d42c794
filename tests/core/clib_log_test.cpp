// clib_log on real files in a temporary directory: line layout, level and uid filters,
// size rotation with backup shifting, cut of long lines, and the semaphore that
// serialises two real writer processes.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clib_log.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::file_size;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// The gateway's set-up: constructed without a file, then configured by setters.
clib_log* gateway_log(const std::string& path, const std::string& coloring) {
  clib_log* log = new clib_log(nullptr, 0, "[%Y-%m-%d %H:%M:%S] ", 0, 5, 10485760, "", "\n", 1, coloring.c_str());
  log->set_file(path.c_str(), 1);
  log->set_level(5);
  log->set_maxfile(5);
  log->set_maxsize(10240000);
  log->set_timeformat("[%Y-%m-%d %H:%M:%S] ");
  return log;
}

// A log without time stamps, so that sizes are exact.
clib_log plain_log(const std::string& path, int maxfile, int maxsize) {
  return clib_log(path.c_str(), 0, "", 5, maxfile, maxsize, nullptr, nullptr, 1, nullptr);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

// True when `text` is "[YYYY-mm-dd HH:MM:SS] " followed by `rest`. (std::regex is avoided:
// it does not build warning-free under the sanitizers.)
bool stamped(const std::string& text, const std::string& rest) {
  const char* shape = "[dddd-dd-dd dd:dd:dd] ";
  size_t n = strlen(shape);
  if (text.size() != n + rest.size()) return false;
  for (size_t i = 0; i < n; ++i) {
    bool ok = shape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) return false;
  }
  return text.compare(n, std::string::npos, rest) == 0;
}

// "child NNNN ....." or "parent NNNN ....." with nothing torn.
bool writer_line(const std::string& l) {
  size_t sp = l.find(' ');
  if (sp == std::string::npos) return false;
  std::string who = l.substr(0, sp);
  if (who != "child" && who != "parent") return false;
  if (l.size() != 41) return false;
  for (size_t i = sp + 1; i < sp + 5; ++i) {
    if (l[i] < '0' || l[i] > '9') return false;
  }
  if (l[sp + 5] != ' ') return false;
  return l.find_first_not_of('.', sp + 6) == std::string::npos;
}

// Removes a semaphore set when the test ends, however it ends.
struct SemGuard {
  int id;
  ~SemGuard() {
    if (id != -1) semctl(id, 0, IPC_RMID);
  }
};

}  // namespace

TEST(ClibLog, DefaultsAndTheTimeStampedLine) {
  TempDir dir;
  std::string path = dir.file("debug.1");
  clib_log log(path.c_str(), 0, nullptr, -1, -1, -1, nullptr, nullptr, 1, nullptr);
  EXPECT_TRUE(file_exists(path));  // created at once, empty
  EXPECT_EQ(file_size(path), 0);
  EXPECT_EQ(log.level(), 0);
  EXPECT_EQ(log.maxfile(), 5);
  EXPECT_EQ(log.maxsize(), 10485760);
  EXPECT_EQ(log.semid(), -1);
  EXPECT_FALSE(log.coloring());
  EXPECT_EQ(log.logMsg("dropped: level 1 is above level 0"), 0);
  EXPECT_EQ(file_size(path), 0);
  EXPECT_EQ(log.set_level(1), 0);
  EXPECT_EQ(log.logMsg("%s||Connect close, uid:[%d]", "ProcessUserClose", 42), 0);
  EXPECT_TRUE(stamped(read_file(path), "ProcessUserClose||Connect close, uid:[42]\n")) << read_file(path);
}

TEST(ClibLog, GatewayConfigurationWritesEveryLogMsg) {
  TempDir dir;
  std::string path = dir.file("error.77");
  clib_log* log = gateway_log(path, dir.file("missing.conf"));
  EXPECT_FALSE(log->coloring());
  EXPECT_EQ(log->level(), 5);
  EXPECT_EQ(log->maxsize(), 10240000);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(log->logMsg("line %d", i), 0);
  std::vector<std::string> got = lines_of(read_file(path));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].substr(got[2].size() - 8), "] line 2");
  delete log;
}

TEST(ClibLog, LevelTestAndRefusedWrites) {
  TempDir dir;
  std::string path = dir.file("lvl");
  clib_log log = plain_log(path, 5, 1000);
  EXPECT_EQ(log.vwrite(6, "dropped %d", 6), 0);
  EXPECT_EQ(log.vwrite(5, "kept %d", 5), 0);
  EXPECT_EQ(log.write("kept too", 1, 0), 0);
  EXPECT_EQ(read_file(path), "kept 5\nkept too\n");
  EXPECT_EQ(log.write("", 1, 0), -1);
  EXPECT_EQ(log.write(nullptr, 1, 0), -1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat"
  EXPECT_EQ(log.logMsg(""), -1);
  EXPECT_EQ(log.logMsg(nullptr), -1);
  EXPECT_EQ(log.vwrite(1, 5u, ""), -1);
#pragma GCC diagnostic pop
  EXPECT_EQ(read_file(path), "kept 5\nkept too\n");

  clib_log nofile(nullptr, 0, nullptr, 5, 5, 100, nullptr, nullptr, 1, nullptr);
  EXPECT_EQ(nofile.logMsg("x"), -1);
  EXPECT_EQ(nofile.vwrite(9, "x"), 0);  // filtered before the file is looked at

  // The file cannot be opened: the write says so.
  clib_log lost(dir.file("no/such/dir/f").c_str(), 0, "", 5, 5, 100, nullptr, nullptr, 1, nullptr);
  EXPECT_EQ(lost.logMsg("x"), -1);
  EXPECT_EQ(lost.set_file(dir.file("no/such/dir/g").c_str(), 1), -1);
  EXPECT_EQ(clib_log_write(dir.file("no/such/dir/h").c_str(), "x", 1), -1);
}

TEST(ClibLog, RemovedDirectoryIsMadeAgain) {
  TempDir dir;
  const std::string sub = dir.file("log");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  clib_log log = plain_log(sub + "/debug.1", 5, 1000);
  EXPECT_EQ(log.logMsg("first"), 0);
  ASSERT_EQ(unlink((sub + "/debug.1").c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  EXPECT_EQ(log.logMsg("after the directory went"), 0);
  EXPECT_EQ(read_file(sub + "/debug.1"), "after the directory went\n");
}

TEST(ClibLog, LineCutShortByAFailedWriteIsTakenOutAgain) {
  // A file size limit stops the write in the middle of the line, as a filling disk does:
  // the line is refused, and what of it went in must not run into the next line.
  TempDir dir;
  const std::string path = dir.file("debug.1");
  clib_log log = plain_log(path, 5, 1000);
  EXPECT_EQ(log.logMsg("first"), 0);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = static_cast<rlim_t>(file_size(path) + 5);
  sighandler_t old = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(log.logMsg("cut short by the limit"), -1);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old);
  EXPECT_EQ(log.logMsg("after"), 0);
  EXPECT_EQ(read_file(path), "first\nafter\n");
}

TEST(ClibLog, SettersRefuseBadValues) {
  TempDir dir;
  clib_log log = plain_log(dir.file("s"), 3, 100);
  EXPECT_EQ(log.set_level(-1), -1);
  EXPECT_EQ(log.set_maxfile(-1), -1);
  EXPECT_EQ(log.set_maxsize(-1), -1);
  EXPECT_EQ(log.set_eol(nullptr), -1);
  EXPECT_EQ(log.set_timeformat(nullptr), -1);
  EXPECT_EQ(log.set_file(nullptr, 1), -1);
  EXPECT_EQ(log.set_coloring_file(nullptr), -1);
  EXPECT_EQ(log.level(), 5);
  EXPECT_EQ(log.maxfile(), 3);
  EXPECT_EQ(log.maxsize(), 100);
  EXPECT_EQ(log.set_logtype(nullptr), 0);
  EXPECT_EQ(log.set_eol("\r\n"), 0);
  EXPECT_EQ(log.logMsg("a"), 0);
  EXPECT_EQ(read_file(dir.file("s")), "a\r\n");
}

// With a limit of 100 bytes, a file of exactly 100 bytes is kept; at 101 it becomes .1.
TEST(ClibLog, RotatesOnlyWhenStrictlyAboveTheLimit) {
  TempDir dir;
  std::string path = dir.file("rot");
  clib_log log = plain_log(path, 5, 100);
  write_file(path, std::string(100, 'x'));
  EXPECT_EQ(log.logMsg("a"), 0);
  EXPECT_EQ(file_size(path), 102);
  EXPECT_FALSE(file_exists(path + ".1"));
  EXPECT_EQ(log.logMsg("b"), 0);
  EXPECT_EQ(file_size(path + ".1"), 102);
  EXPECT_EQ(read_file(path), "b\n");
}

TEST(ClibLog, RotationShiftsBackupsAndDropsTheOldest) {
  TempDir dir;
  std::string path = dir.file("shift");
  clib_log log = plain_log(path, 5, 10);
  for (int i = 1; i <= 5; ++i) write_file(path + "." + std::to_string(i), "b" + std::to_string(i));
  write_file(path, "current-over-ten");
  EXPECT_EQ(log.logMsg("new"), 0);
  EXPECT_EQ(read_file(path), "new\n");
  EXPECT_EQ(read_file(path + ".1"), "current-over-ten");
  for (int i = 2; i <= 5; ++i) EXPECT_EQ(read_file(path + "." + std::to_string(i)), "b" + std::to_string(i - 1));
  EXPECT_FALSE(file_exists(path + ".6"));

  // A gap in the backups is simply skipped.
  TempDir dir2;
  std::string p2 = dir2.file("gap");
  clib_log log2 = plain_log(p2, 3, 1);
  write_file(p2 + ".2", "old2");
  write_file(p2, "full");
  EXPECT_EQ(log2.logMsg("n"), 0);
  EXPECT_EQ(read_file(p2 + ".1"), "full");
  EXPECT_EQ(read_file(p2 + ".3"), "old2");
  EXPECT_FALSE(file_exists(p2 + ".2"));
}

TEST(ClibLog, ZeroMaxfileOrMaxsizeTurnsRotationOff) {
  TempDir dir;
  std::string path = dir.file("off");
  clib_log log = plain_log(path, 5, 10);
  EXPECT_EQ(log.set_maxfile(0), 0);
  for (int i = 0; i < 10; ++i) log.logMsg("0123456789");
  EXPECT_EQ(file_size(path), 110);
  EXPECT_EQ(log.set_maxfile(5), 0);
  EXPECT_EQ(log.set_maxsize(0), 0);
  log.logMsg("x");
  EXPECT_FALSE(file_exists(path + ".1"));
  char empty[1] = {'\0'};
  EXPECT_EQ(log.check_file(empty), 401);
  EXPECT_EQ(log.check_file(nullptr), 401);
}

TEST(ClibLog, LongMessageIsCutButKeepsItsEndOfLine) {
  TempDir dir;
  std::string path = dir.file("long");
  clib_log log(path.c_str(), 0, nullptr, 5, 5, 1 << 20, nullptr, nullptr, 1, nullptr);
  std::string msg(3000, 'm');
  EXPECT_EQ(log.write(msg.c_str(), 1, 0), 0);
  EXPECT_EQ(log.logMsg("%s", msg.c_str()), 0);
  EXPECT_EQ(log.logMsg("next"), 0);
  std::vector<std::string> got = lines_of(read_file(path));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].size(), 1022u);  // 1023 bytes with the line feed
  EXPECT_EQ(got[1].size(), 1022u);
  EXPECT_EQ(got[2].substr(got[2].size() - 5), " next");
}

// Lines 12345, 9999 and letters load only 12345. A listed uid is written whatever its
// level; an unlisted uid is dropped even at level 1.
TEST(ClibLog, ColoringFileFiltersByUid) {
  TempDir dir;
  std::string conf = dir.file("clib_log_coloring.conf");
  write_file(conf, "12345\n9999\nletters\n  23456 trailing\n99999999999\n4294967295\n");
  std::string path = dir.file("color");
  clib_log log(path.c_str(), 0, "", 5, 5, 1 << 20, nullptr, nullptr, 1, conf.c_str());
  EXPECT_TRUE(log.coloring());
  EXPECT_EQ(log.uins(), (std::set<uint32_t>{12345u, 23456u, 4294967295u}));
  EXPECT_EQ(log.vwrite(9, 12345u, "deep %d", 9), 0);
  EXPECT_EQ(log.vwrite(1, 777u, "unlisted"), 0);
  EXPECT_EQ(log.vwrite(9, "no uid"), 0);
  EXPECT_EQ(log.vwrite(1, "no uid, level 1"), 0);
  EXPECT_EQ(read_file(path), "[12345]deep 9\nno uid, level 1\n");

  // Reload with an empty file: filter off, uid lines only face the level test.
  write_file(conf, "\n\n");
  EXPECT_EQ(log.set_coloring_file(conf.c_str()), 0);
  EXPECT_FALSE(log.coloring());
  EXPECT_EQ(log.vwrite(1, 777u, "now kept"), 0);
  EXPECT_EQ(log.vwrite(9, 12345u, "now dropped"), 0);
  EXPECT_EQ(read_file(path), "[12345]deep 9\nno uid, level 1\nnow kept\n");

  // A missing file also turns the filter off.
  write_file(conf, "12345\n");
  EXPECT_EQ(log.set_coloring_file(conf.c_str()), 0);
  EXPECT_TRUE(log.coloring());
  EXPECT_EQ(log.set_coloring_file(dir.file("gone").c_str()), -1);
  EXPECT_FALSE(log.coloring());
  EXPECT_TRUE(log.uins().empty());
}

TEST(ClibLog, OverlongColoringLinesAreNotSplitIntoUids) {
  TempDir dir;
  std::string conf = dir.file("c.conf");
  // 30 characters: the tail must not be read as a second uid.
  // A uid line of exactly 18 characters (one whole read) still counts.
  write_file(conf, "12345 xxxxxxxxxx 67890123\n00054321\n000000000000054322\n             23456\n");
  clib_log log(nullptr, 0, nullptr, 5, 5, 100, nullptr, nullptr, 1, conf.c_str());
  EXPECT_EQ(log.uins(), (std::set<uint32_t>{12345u, 23456u, 54321u, 54322u}));
}

TEST(ClibLog, UidLineWithTimeStamp) {
  TempDir dir;
  std::string conf = dir.file("c.conf");
  write_file(conf, "10001\n");
  std::string path = dir.file("ts");
  clib_log log(path.c_str(), 0, nullptr, 5, 5, 1 << 20, nullptr, nullptr, 1, conf.c_str());
  EXPECT_EQ(log.vwrite(7, 10001u, "m"), 0);
  EXPECT_TRUE(stamped(read_file(path), "[10001]m\n")) << read_file(path);
}

TEST(ClibLog, LogTypeAddsADateToTheFileName) {
  TempDir dir;
  std::string path = dir.file("daily.");
  clib_log log(path.c_str(), 0, "", 5, 5, 100, "%Y%m%d", nullptr, 1, nullptr);
  EXPECT_EQ(log.logMsg("d"), 0);
  char day[16];
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(day, sizeof(day), "%Y%m%d", &tmv);
  std::string dated = path + day;
  if (!file_exists(dated)) {  // the day may have turned between the write and here
    now -= 60;
    localtime_r(&now, &tmv);
    strftime(day, sizeof(day), "%Y%m%d", &tmv);
    dated = path + day;
  }
  EXPECT_EQ(read_file(dated), "d\n");
  EXPECT_EQ(file_size(path), 0);
}

TEST(ClibLog, PathTypeTwoPlacesTheFileUnderTmp) {
  std::string name = "hall-clib-log-test-" + std::to_string(getpid()) + "-" + std::to_string(rand());
  std::string full = "/tmp/" + name;
  {
    clib_log log(name.c_str(), 0, "", 5, 5, 100, nullptr, nullptr, 2, nullptr);
    EXPECT_EQ(std::string(log.file()), full);
    EXPECT_EQ(log.logMsg("t"), 0);
    EXPECT_EQ(read_file(full), "t\n");
  }
  unlink(full.c_str());
}

TEST(ClibLog, CreateSemMakesOrOpensOneSetWithValueOne) {
  TempDir dir;
  std::string path = dir.file("sem");
  testsupport::write_file(path, "");
  key_t key = ftok(path.c_str(), 0);
  ASSERT_GT(key, 0);
  int id1 = -5, id2 = -5;
  char err[256] = "";
  ASSERT_EQ(createSem(key, &id1, err), 0);
  SemGuard guard{id1};
  EXPECT_EQ(semctl(id1, 0, GETVAL), 1);
  EXPECT_EQ(createSem(key, &id2, nullptr), 0);
  EXPECT_EQ(id1, id2);
}

// Two processes append to one file with the semaphore on: no line is lost or torn, and
// no file ever grows more than one line past the limit before it is rotated.
TEST(ClibLog, SemaphoreSerialisesRotationAcrossProcesses) {
  TempDir dir;
  std::string path = dir.file("shared");
  const int kLines = 300;
  const int kMaxSize = 2000;
  clib_log parent(path.c_str(), 1, "", 5, 60, kMaxSize, nullptr, nullptr, 1, nullptr);
  int semid = parent.semid();
  SemGuard guard{semid};
  ASSERT_NE(semid, -1);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    clib_log mine(path.c_str(), 1, "", 5, 60, kMaxSize, nullptr, nullptr, 1, nullptr);
    int bad = mine.semid() == semid ? 0 : 1;
    for (int i = 0; i < kLines; ++i) bad |= (mine.vwrite(1, "child %04d ..............................", i) != 0) << 1;
    if (mine.semid() != -1 && mine.semid() != semid) semctl(mine.semid(), 0, IPC_RMID);
    _exit(bad);
  }
  int bad = 0;
  for (int i = 0; i < kLines; ++i) bad |= parent.vwrite(1, "parent %04d .............................", i) != 0;
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(bad, 0);

  int total = 0;
  for (int i = 0; i <= 60; ++i) {
    std::string name = i == 0 ? path : path + "." + std::to_string(i);
    if (!file_exists(name)) continue;
    std::string text = read_file(name);
    if (i > 0) {
      EXPECT_LE(text.size(), size_t(kMaxSize) + 42) << name;
    }
    for (const std::string& l : lines_of(text)) {
      EXPECT_TRUE(writer_line(l)) << l;
      ++total;
    }
  }
  EXPECT_EQ(total, 2 * kLines);
  EXPECT_EQ(semctl(semid, 0, GETVAL), 1);  // released by both
}

TEST(ClibLog, LinesWrittenByTheWriterThreadMatchLinesWrittenAtOnce) {
  // Two logs, interleaved, rotating every few lines: the writer thread leaves the same
  // files, rotation points and order as writing each line at once.
  auto run = [](const std::string& dir, bool off_thread) {
    clib_log a = plain_log(dir + "/a", 50, 40), b = plain_log(dir + "/b", 50, 25);
    if (off_thread) clib_log::write_off_thread(true);
    for (int i = 0; i < 300; ++i) {
      EXPECT_EQ(a.vwrite(1, "a line %d", i), 0);
      if (i % 3 == 0) {
        EXPECT_EQ(b.vwrite(1, "b %d", i), 0);
      }
    }
    if (off_thread) clib_log::write_off_thread(false);  // returns once everything is written
  };
  TempDir at_once, off;
  run(at_once.path(), false);
  const unsigned long long before = clib_log::lines_written;
  run(off.path(), true);
  EXPECT_EQ(clib_log::lines_written - before, 400u);
  for (const char* name : {"a", "b"}) {
    for (int n = 0; n <= 50; ++n) {
      const std::string file = std::string("/") + name + (n == 0 ? "" : "." + std::to_string(n));
      ASSERT_EQ(file_exists(at_once.path() + file), file_exists(off.path() + file)) << file;
      if (file_exists(at_once.path() + file)) {
        EXPECT_EQ(read_file(at_once.path() + file), read_file(off.path() + file)) << file;
      }
    }
  }
  EXPECT_TRUE(file_exists(off.path() + "/a.40"));  // it did rotate, many times
}
