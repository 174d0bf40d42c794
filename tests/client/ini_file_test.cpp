// INI reader and writer on real files in a temporary directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "IniFile.h"
#include "test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

std::string read_str(const std::string& file, const char* section, const char* key, int size = 256,
                     const char* def = "DEF", int* found = nullptr) {
  std::string buf(static_cast<size_t>(size), 'Z');
  int r = read_profile_string(section, key, &buf[0], size, def, file.c_str());
  if (found) *found = r;
  return std::string(buf.c_str());
}

// What a file that held `before` holds after write_profile_string set the key, which
// must return `rc`.
std::string after_write(const std::string& before, const char* section, const char* key, const char* value,
                        int rc = 1) {
  TempDir d;
  const std::string f = d.file("a.ini");
  write_file(f, before);
  EXPECT_EQ(rc, write_profile_string(section, key, value, f.c_str()));
  return read_file(f);
}

TEST(IniRead, SectionHeaderNameIsMatchedAsPrefixOfTheRequest) {
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "[ab]\nx=1\n");
  int found = 0;
  EXPECT_EQ("1", read_str(f, "ab", "x", 256, "DEF", &found));
  EXPECT_EQ(1, found);
  EXPECT_EQ("1", read_str(f, "abc", "x", 256, "DEF", &found));
  EXPECT_EQ(1, found);
  EXPECT_EQ("DEF", read_str(f, "a", "x", 256, "DEF", &found));
  EXPECT_EQ(0, found);
}

TEST(IniRead, KeyMatchingIsPrefixOfTheRequestAndNothingIsTrimmed) {
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "[s]\nab=5\nx = 1\n;c=9\n=7\n");
  EXPECT_EQ("5", read_str(f, "s", "abc"));
  EXPECT_EQ("DEF", read_str(f, "s", "a"));
  EXPECT_EQ("DEF", read_str(f, "s", "x"));   // the file's key is "x "
  EXPECT_EQ(" 1", read_str(f, "s", "x "));   // and its value starts with a blank
  EXPECT_EQ("DEF", read_str(f, "s", "c"));   // comment line
  EXPECT_EQ("DEF", read_str(f, "s", ";c"));  // not even by its literal key
  EXPECT_EQ(5, read_profile_int("s", "ab", -1, f.c_str()));
  EXPECT_EQ(-1, read_profile_int("s", "zz", -1, f.c_str()));
}

TEST(IniRead, CrLfLinesAndSectionsFoundAgainLaterInTheFile) {
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "[a]\r\nk=first\r\n[b]\r\nk=bee\r\n[a]\r\nm=second\r\nk=late\r\n");
  EXPECT_EQ("first", read_str(f, "a", "k"));   // first match in text order, no '\r'
  EXPECT_EQ("second", read_str(f, "a", "m"));  // later header with the same name
  EXPECT_EQ("bee", read_str(f, "b", "k"));

  int sec_s, sec_e, key_s, key_e, value_s, value_e;
  std::string text = read_file(f);
  EXPECT_EQ(1, parse_file("b", "k", text.c_str(), &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e));
  EXPECT_EQ(text.find("[b]") + 1, static_cast<size_t>(sec_s));
  EXPECT_EQ(text.find("k=bee"), static_cast<size_t>(sec_e));
  EXPECT_EQ(sec_e, key_s);
  EXPECT_EQ(key_s, key_e);
  EXPECT_EQ(key_s + 2, value_s);
  EXPECT_EQ('\r', text[static_cast<size_t>(value_e)]);
  EXPECT_EQ(0, parse_file("b", "zz", text.c_str(), &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e));
  EXPECT_EQ(text.find("[b]") + 1, static_cast<size_t>(sec_s));  // section still reported
  EXPECT_EQ(-1, key_s);
  EXPECT_EQ(0, parse_file("q", "k", text.c_str(), &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e));
  EXPECT_EQ(-1, sec_s);
}

TEST(IniRead, ValuesAreCutToTheBufferAndDefaultsAreAlwaysTerminated) {
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "[s]\nv=abcdef\nn=123456789012345678901234567890123456789\n");
  EXPECT_EQ("abc", read_str(f, "s", "v", 4));
  // A default longer than the buffer is cut, never left without its zero byte.
  EXPECT_EQ("lon", read_str(f, "s", "missing", 4, "longdefault"));
  // A missing file gives the default.
  EXPECT_EQ("DEF", read_str(d.file("none.ini"), "s", "v"));
  // Integers are cut to 31 characters before conversion.
  EXPECT_EQ(static_cast<int>(std::strtol("1234567890123456789012345678901", nullptr, 10)),
            read_profile_int("s", "n", 0, f.c_str()));
}

TEST(IniWrite, CreatesMissingFileWithExactText) {
  TempDir d;
  std::string f = d.file("new.ini");
  EXPECT_EQ(1, write_profile_string("sec", "key", "val", f.c_str()));
  EXPECT_EQ("[sec]\nkey=val\n", read_file(f));
}

TEST(IniWrite, ReplacesValueInPlaceKeepingEverythingElse) {
  EXPECT_EQ("; top\r\n[s]\r\nk=new value\r\nother=1\r\n[t]\r\nk=t\r\n",
            after_write("; top\r\n[s]\r\nk=old\r\nother=1\r\n[t]\r\nk=t\r\n", "s", "k", "new value"));
}

TEST(IniWrite, NewKeyGoesRightAfterTheHeaderAndItsBlankLines) {
  EXPECT_EQ("[s]\n\n\nk=v\nold=1\n", after_write("[s]\n\n\nold=1\n", "s", "k", "v"));
}

TEST(IniWrite, NewSectionIsAppendedAndAHeaderWithoutLineEndGetsOne) {
  EXPECT_EQ("[s]\nk=1\n[t]\nx=2\n", after_write("[s]\nk=1", "t", "x", "2"));
  EXPECT_EQ("[s]\nk=v\n", after_write("", "s", "k", "v"));

  TempDir d;
  std::string g = d.file("b.ini");
  write_file(g, "[only]");
  EXPECT_EQ(1, write_profile_string("only", "x", "1", g.c_str()));
  EXPECT_EQ("[only]\nx=1\n", read_file(g));
  EXPECT_EQ("1", read_str(g, "only", "x"));
}

TEST(IniLimits, FileOfBufferSizeIsMissingForReadersAndUntouchedByTheWriter) {
  TempDir d;
  std::string f = d.file("big.ini");
  std::string fits = "[s]\nk=v\n" + std::string(16383 - 8, ';');
  write_file(f, fits);
  char buf[INI_BUF_SIZE];
  int size = -1;
  EXPECT_EQ(1, load_ini_file(f.c_str(), buf, &size));
  EXPECT_EQ(16383, size);
  EXPECT_EQ("v", read_str(f, "s", "k"));

  std::string big = fits + ";";  // 16384 bytes: no room for the terminating zero
  write_file(f, big);
  EXPECT_EQ(-1, load_ini_file(f.c_str(), buf, &size));
  EXPECT_EQ(0, size);
  EXPECT_EQ("DEF", read_str(f, "s", "k"));
  EXPECT_EQ(7, read_profile_int("s", "k", 7, f.c_str()));
  EXPECT_EQ(0, write_profile_string("s", "k", "w", f.c_str()));
  EXPECT_EQ(big, read_file(f));
}

TEST(IniLimits, WriteThatWouldNotFitLeavesTheFileAsItWas) {
  TempDir d;
  std::string f = d.file("a.ini");
  std::string text = "[s]\nk=v\n" + std::string(16000, ';') + "\n";
  write_file(f, text);
  std::string value(400, 'x');
  EXPECT_EQ(0, write_profile_string("s", "k", value.c_str(), f.c_str()));
  EXPECT_EQ(text, read_file(f));
  EXPECT_EQ(1, write_profile_string("s", "k", "short", f.c_str()));
  EXPECT_EQ("short", read_str(f, "s", "k"));
}

TEST(IniLimits, ByteFFEndsTheTextAndTheWriterDoesNotCutTheFile) {
  TempDir d;
  std::string f = d.file("a.ini");
  std::string text = std::string("[s]\nk=v\n\xFF") + "[t]\nz=1\n";
  write_file(f, text);
  EXPECT_EQ("v", read_str(f, "s", "k"));
  EXPECT_EQ("DEF", read_str(f, "t", "z"));
  EXPECT_EQ(0, write_profile_string("s", "k", "w", f.c_str()));
  EXPECT_EQ(text, read_file(f));
}

TEST(IniLimits, WriterRefusesAFileItCannotRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "[s]\nk=v\n");
  chmod(f.c_str(), 0200);
  EXPECT_EQ(0, write_profile_string("s", "k", "w", f.c_str()));
  chmod(f.c_str(), 0600);
  EXPECT_EQ("[s]\nk=v\n", read_file(f));
}

TEST(IniWrite, FailurePartWayLeavesTheOldFileWholeWithItsMode) {
  TempDir d;
  std::string f = d.file("a.ini");
  const std::string text = "[s]\nk=" + std::string(300, 'o') + "\n";
  write_file(f, text);
  chmod(f.c_str(), 0640);
  // A child that may write no file beyond 100 bytes: the write fails part way.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {100, 100};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(write_profile_string("s", "k", std::string(300, 'n').c_str(), f.c_str()) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_EQ(0, status);
  EXPECT_EQ(text, read_file(f));
  EXPECT_FALSE(testsupport::file_exists(f + ".tmp" + std::to_string(pid)));

  EXPECT_EQ(1, write_profile_string("s", "k", "new", f.c_str()));
  EXPECT_EQ("[s]\nk=new\n", read_file(f));
  struct stat st;
  ASSERT_EQ(0, stat(f.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777u);
}

TEST(IniWrite, EntryThatWouldNotReadBackAsWrittenIsRefused) {
  TempDir d;
  std::string f = d.file("a.ini");
  const std::string text = "[s]\nk=1\n x=5\n[t]\nk=2\n";
  write_file(f, text);
  EXPECT_EQ(0, write_profile_string("s", "k", "3\n[t]\nk=evil", f.c_str()));
  EXPECT_EQ(0, write_profile_string("s", "k", "3\r", f.c_str()));
  EXPECT_EQ(0, write_profile_string("s", "a=b", "c", f.c_str()));
  EXPECT_EQ(0, write_profile_string("s", ";k", "c", f.c_str()));
  EXPECT_EQ(0, write_profile_string("s]x", "k", "c", f.c_str()));
  // A new entry is the first line of its section, whose leading blanks the reader passes.
  EXPECT_EQ(0, write_profile_string("s", " y", "c", f.c_str()));
  EXPECT_EQ(0, write_profile_string("u", "\tk", "c", f.c_str()));
  EXPECT_EQ(text, read_file(f));
  EXPECT_EQ(1, write_profile_string("s", "k", "a=b", f.c_str()));  // '=' in a value is fine
  EXPECT_EQ("a=b", read_str(f, "s", "k"));
  EXPECT_EQ(1, write_profile_string("s", " x", "6", f.c_str()));  // an entry that is found
  EXPECT_EQ("6", read_str(f, "s", " x"));
}

TEST(IniRead, ByteOrderMarkIsNotPartOfTheFirstHeaderAndADirectoryIsNoFile) {
  TempDir d;
  std::string f = d.file("a.ini");
  write_file(f, "\xEF\xBB\xBF[s]\nk=v\n");
  EXPECT_EQ("v", read_str(f, "s", "k"));
  EXPECT_EQ(1, write_profile_string("s", "k", "w", f.c_str()));
  EXPECT_EQ("\xEF\xBB\xBF[s]\nk=w\n", read_file(f));

  char buf[INI_BUF_SIZE];
  int size = -1;
  EXPECT_EQ(0, load_ini_file(d.path().c_str(), buf, &size));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(0, size);
}

TEST(IniPreconditionDeathTest, EmptySectionOrKeyAborts) {
  TempDir d;
  std::string f = d.file("a.ini");
  char v[8];
  EXPECT_DEATH(read_profile_string("", "k", v, 8, "", f.c_str()), "strlen\\(section\\) > 0");
  EXPECT_DEATH(write_profile_string("s", "", "v", f.c_str()), "strlen\\(key\\) > 0");
  EXPECT_DEATH(read_profile_string("s", "k", v, 0, "", f.c_str()), "size > 0");
}

}  // namespace
