#include "IniFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Precondition check that stays on in release builds (assert() would vanish with NDEBUG).
#define INI_REQUIRE(cond)                                                                               \
  do {                                                                                                  \
    if (!(cond)) {                                                                                      \
      std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, #cond); \
      std::abort();                                                                                     \
    }                                                                                                   \
  } while (0)

namespace {

enum LoadResult { LOAD_MISSING = 0, LOAD_OK = 1, LOAD_TOO_LARGE = -1 };

// Reads the file as load_ini_file describes. *errno_out keeps the reason of a failed open
// and *whole tells whether the text holds every byte of the file (no 0xFF and no zero
// byte cut it short), which the writer needs before it rewrites the file.
int load_text(const char* file, char* buf, int* file_size, int* errno_out, bool* whole) {
  *file_size = 0;
  *errno_out = 0;
  *whole = true;
  buf[0] = '\0';
  FILE* in = std::fopen(file, "rb");
  if (in == nullptr) {
    *errno_out = errno;
    return LOAD_MISSING;
  }
  int n = 0;
  int c;
  while ((c = std::fgetc(in)) != EOF) {
    if (c == 0xFF) {
      *whole = false;
      break;
    }
    if (n == INI_BUF_SIZE - 1) {  // no room left for the terminating zero byte
      std::fclose(in);
      buf[0] = '\0';
      return LOAD_TOO_LARGE;
    }
    if (c == 0) *whole = false;
    buf[n++] = static_cast<char>(c);
  }
  if (std::ferror(in)) {  // a directory, or an I/O error part way: not the file's text
    *errno_out = errno;
    std::fclose(in);
    buf[0] = '\0';
    errno = *errno_out;
    return LOAD_MISSING;
  }
  std::fclose(in);
  buf[n] = '\0';
  *file_size = n;
  return LOAD_OK;
}

// Whether a '[' at i starts a line: at the start of the text (after a UTF-8 byte-order
// mark that some editors put there) or right after a line end.
bool starts_line(const char* buf, int i) {
  if (i == 0) return true;
  if (newline(buf[i - 1])) return true;
  return i == 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0;
}

// Whether the entry can be written as one line that reads back as itself: no line end
// anywhere, no ']' in the section (it would end the header), no '=' in the key (the key
// ends at the first one), and a key that does not start a comment or a header.
bool writable_entry(const char* section, const char* key, const char* value) {
  return std::strpbrk(section, "\r\n]") == nullptr && std::strpbrk(key, "\r\n=") == nullptr && key[0] != ';' &&
         key[0] != '[' && std::strpbrk(value, "\r\n") == nullptr;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at `path` by the text: written to a file beside it and renamed over
// it, so that a crash or a full disk part way leaves the old file whole. The new file
// keeps the old one's mode and owner; a symbolic link is followed, not replaced. Where
// no file can be made beside it (a directory that is not writable), the file is
// rewritten in place. True when the whole text is in the file.
bool replace_file(const char* path, const char* text, size_t len) {
  char resolved[PATH_MAX];
  struct stat st;
  const bool existed = ::stat(path, &st) == 0;
  const std::string target = existed && ::realpath(path, resolved) != nullptr ? resolved : path;
  const std::string temp = target + ".tmp" + std::to_string(static_cast<long>(::getpid()));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    FILE* f = std::fopen(target.c_str(), "w");
    if (f == nullptr) return false;
    const size_t written = std::fwrite(text, 1, len, f);
    return std::fclose(f) == 0 && written == len;
  }
  bool ok = true;
  if (existed) {
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Not ours to give away: the file keeps our owner.
    }
    ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  }
  ok = ok && write_all(fd, text, len) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);  // the rename itself survives a crash
      ::close(dfd);
    }
    return true;
  }
  ::unlink(temp.c_str());
  return false;
}

// Index of the first character at or after i that ends a line or the text.
int line_end(const char* buf, int i) {
  while (!end_of_string(buf[i]) && !newline(buf[i])) ++i;
  return i;
}

}  // namespace

extern "C" {

int newline(char c) { return c == '\n' || c == '\r'; }
int end_of_string(char c) { return c == '\0'; }
int left_barce(char c) { return c == '['; }

int load_ini_file(const char* file, char* buf, int* file_size) {
  INI_REQUIRE(file != NULL);
  INI_REQUIRE(buf != NULL);
  INI_REQUIRE(file_size != NULL);
  int err;
  bool whole;
  return load_text(file, buf, file_size, &err, &whole);
}

int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e, int* key_s, int* key_e,
               int* value_s, int* value_e) {
  INI_REQUIRE(section != NULL && std::strlen(section) > 0);
  INI_REQUIRE(key != NULL && std::strlen(key) > 0);
  INI_REQUIRE(buf != NULL);
  *sec_s = *sec_e = *key_s = *key_e = *value_s = *value_e = -1;

  int i = 0;
  while (!end_of_string(buf[i])) {
    if (!(left_barce(buf[i]) && starts_line(buf, i))) {
      ++i;
      continue;
    }
    // A header: its name runs to the next ']' on the same line. A header without ']'
    // ends at its line end, so that it cannot swallow the lines (and headers) below it.
    int name = i + 1;
    int close = name;
    while (!end_of_string(buf[close]) && buf[close] != ']' && !newline(buf[close])) ++close;
    int n = close - name;
    i = buf[close] == ']' ? close + 1 : close;
    if (std::strncmp(section, buf + name, static_cast<size_t>(n)) != 0) continue;

    int first = i;
    while (!end_of_string(buf[first]) && std::isspace(static_cast<unsigned char>(buf[first]))) ++first;
    *sec_s = name;
    *sec_e = first;

    int p = first;
    for (;;) {
      if (end_of_string(buf[p])) return 0;
      if (left_barce(buf[p])) break;  // the next header ends this section
      int q = line_end(buf, p);
      if (buf[p] != ';' && buf[p] != '=') {
        const char* eq = static_cast<const char*>(std::memchr(buf + p, '=', static_cast<size_t>(q - p)));
        if (eq != nullptr) {
          int e = static_cast<int>(eq - buf);
          if (std::strncmp(key, buf + p, static_cast<size_t>(e - p)) == 0) {
            *key_s = p;
            *key_e = e - 1;
            *value_s = e + 1;
            *value_e = q;
            return 1;
          }
        }
      }
      p = q;
      while (newline(buf[p])) ++p;
    }
    i = p;  // resume the walk at the header that ended the section
  }
  return 0;
}

int read_profile_string(const char* section, const char* key, char* value, int size, const char* default_value,
                        const char* file) {
  INI_REQUIRE(section != NULL && std::strlen(section) > 0);
  INI_REQUIRE(key != NULL && std::strlen(key) > 0);
  INI_REQUIRE(value != NULL);
  INI_REQUIRE(size > 0);
  INI_REQUIRE(file != NULL);

  static_assert(INI_BUF_SIZE == 16384, "the format promises a 16384-byte buffer");
  char* buf = static_cast<char*>(std::calloc(INI_BUF_SIZE, 1));
  if (buf == nullptr) return 0;
  int file_size = 0;
  int sec_s, sec_e, key_s, key_e, value_s, value_e;
  int found = load_ini_file(file, buf, &file_size) == LOAD_OK &&
              parse_file(section, key, buf, &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e);
  if (!found) {
    if (default_value != NULL) {
      std::strncpy(value, default_value, static_cast<size_t>(size));
      value[size - 1] = '\0';  // strncpy leaves a long default unterminated
    }
    std::free(buf);
    return 0;
  }
  std::memset(value, 0, static_cast<size_t>(size));
  int n = value_e - value_s;
  if (n > size - 1) n = size - 1;
  std::memcpy(value, buf + value_s, static_cast<size_t>(n));
  value[n] = '\0';
  std::free(buf);
  return 1;
}

int read_profile_int(const char* section, const char* key, int default_value, const char* file) {
  char value[32] = {0};
  if (!read_profile_string(section, key, value, sizeof(value), NULL, file)) return default_value;
  return static_cast<int>(std::strtol(value, NULL, 10));
}

int write_profile_string(const char* section, const char* key, const char* value, const char* file) {
  INI_REQUIRE(section != NULL && std::strlen(section) > 0);
  INI_REQUIRE(key != NULL && std::strlen(key) > 0);
  INI_REQUIRE(value != NULL);
  INI_REQUIRE(file != NULL);

  char* buf = static_cast<char*>(std::calloc(INI_BUF_SIZE, 1));
  char* out = static_cast<char*>(std::calloc(INI_BUF_SIZE, 1));
  int result = 0;
  int file_size = 0, load_errno = 0;
  bool whole = true;
  int loaded = load_text(file, buf, &file_size, &load_errno, &whole);
  // Only a file that does not exist counts as empty: rewriting a file we could not read,
  // could not hold or could not read whole would destroy what it holds.
  bool usable = buf != nullptr && out != nullptr && writable_entry(section, key, value) &&
                ((loaded == LOAD_OK && whole) || (loaded == LOAD_MISSING && load_errno == ENOENT));
  if (usable) {
    int sec_s, sec_e, key_s, key_e, value_s, value_e;
    int found = parse_file(section, key, buf, &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e);
    int len;  // length of the new text, or > INI_BUF_SIZE - 1 when it does not fit
    if (found) {
      len = std::snprintf(out, INI_BUF_SIZE, "%.*s%s%s", value_s, buf, value, buf + value_e);
    } else if (std::isspace(static_cast<unsigned char>(key[0]))) {
      // A new entry becomes the first line of its section, and the reader passes over the
      // blanks that start it: a key that starts with one would never be found again.
      len = -1;
    } else if (sec_s != -1) {
      // A header on the last line without a line end gets one, so that the new entry
      // starts a line of its own.
      const char* sep = (buf[sec_e] == '\0' && sec_e > 0 && !newline(buf[sec_e - 1])) ? "\n" : "";
      len = std::snprintf(out, INI_BUF_SIZE, "%.*s%s%s=%s\n%s", sec_e, buf, sep, key, value, buf + sec_e);
    } else if (file_size > 0) {
      len = std::snprintf(out, INI_BUF_SIZE, "%s\n[%s]\n%s=%s\n", buf, section, key, value);
    } else {
      len = std::snprintf(out, INI_BUF_SIZE, "[%s]\n%s=%s\n", section, key, value);
    }
    if (len >= 0 && len <= INI_BUF_SIZE - 1) result = replace_file(file, out, static_cast<size_t>(len)) ? 1 : 0;
  }
  std::free(buf);
  std::free(out);
  return result;
}

}  // extern "C"
