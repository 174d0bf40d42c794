// The INI functions over arbitrary files. Input: section, key and value separated by
// zero bytes, then the file's text. The text is written to a scratch file of this
// process; the driver parses it, reads the entry, writes it and reads it back.
// Section and key are kept within the characters a caller's names use, so that the
// write-then-read round trip must hold; the file itself may hold anything.
#include <string.h>
#include <unistd.h>

#include <string>

#include "IniFile.h"
#include "fuzz_driver.h"

namespace hallfuzz {

namespace {

// Takes the text up to the next zero byte (or the end) from [*p, end).
std::string take_part(const uint8_t** p, const uint8_t* end) {
  const uint8_t* zero = static_cast<const uint8_t*>(memchr(*p, 0, static_cast<size_t>(end - *p)));
  const uint8_t* stop = zero ? zero : end;
  std::string s(reinterpret_cast<const char*>(*p), static_cast<size_t>(stop - *p));
  *p = zero ? zero + 1 : end;
  return s;
}

// A name as callers write them: letters, digits, '_', '.', '-', at most 40 of them.
std::string plain_name(const std::string& raw, const char* fallback) {
  std::string s;
  for (char c : raw) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (ok && s.size() < 40) s += c;
  }
  return s.empty() ? std::string(fallback) : s;
}

// A value on one line: no line end and no 0xFF (which ends the text).
std::string plain_value(const std::string& raw) {
  std::string s;
  for (char c : raw)
    if (c != '\n' && c != '\r' && c != '\xff') s += c;
  return s;
}

const std::string& scratch_path() {
  static const std::string path = [] {
    char p[64];
    snprintf(p, sizeof(p), "/tmp/hall_fuzz_ini_%d.ini", static_cast<int>(getpid()));
    add_scratch(p);
    return std::string(p);
  }();
  return path;
}

bool write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int ini_one(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  const std::string section = plain_name(take_part(&p, end), "s");
  const std::string key = plain_name(take_part(&p, end), "k");
  const std::string value = plain_value(take_part(&p, end));
  const std::string text(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
  const std::string& path = scratch_path();
  FUZZ_CHECK(write_text(path, text), "cannot write %s", path.c_str());

  // The parser over the loaded text: positions inside the text and in order.
  static char buf[INI_BUF_SIZE];
  int file_size = -1;
  const int loaded = load_ini_file(path.c_str(), buf, &file_size);
  FUZZ_CHECK(loaded == 1 || loaded == -1, "load_ini_file gave %d", loaded);
  FUZZ_CHECK(file_size >= 0 && file_size < INI_BUF_SIZE, "file size %d", file_size);
  const int text_len = static_cast<int>(strlen(buf));
  FUZZ_CHECK(text_len <= file_size, "text of %d bytes from %d", text_len, file_size);
  int sec_s, sec_e, key_s, key_e, value_s, value_e;
  const int found = parse_file(section.c_str(), key.c_str(), buf, &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e);
  if (found) {
    FUZZ_CHECK(0 < sec_s && sec_s <= sec_e && sec_e <= key_s && key_s <= key_e + 1 && key_e + 1 < value_s &&
                   value_s <= value_e && value_e <= text_len,
               "positions %d %d %d %d %d %d in %d bytes", sec_s, sec_e, key_s, key_e, value_s, value_e, text_len);
    FUZZ_CHECK(buf[key_e + 1] == '=', "no '=' after the key");
  } else {
    FUZZ_CHECK(key_s == -1 && key_e == -1 && value_s == -1 && value_e == -1, "entry positions without an entry");
    FUZZ_CHECK(sec_s == -1 || (0 < sec_s && sec_s <= sec_e && sec_e <= text_len), "section positions %d %d", sec_s,
               sec_e);
  }

  char small[8];
  const int got =
      read_profile_string(section.c_str(), key.c_str(), small, sizeof(small), "default-value", path.c_str());
  FUZZ_CHECK(got == found, "read_profile_string gave %d, parse_file %d", got, found);
  FUZZ_CHECK(memchr(small, 0, sizeof(small)) != nullptr, "value not terminated");
  (void)read_profile_int(section.c_str(), key.c_str(), -7, path.c_str());

  const int wrote = write_profile_string(section.c_str(), key.c_str(), value.c_str(), path.c_str());
  if (wrote == 1) {
    static char back[INI_BUF_SIZE];
    const int again = read_profile_string(section.c_str(), key.c_str(), back, sizeof(back), nullptr, path.c_str());
    FUZZ_CHECK(again == 1, "[%s] %s=%s written but not found", section.c_str(), key.c_str(), value.c_str());
    FUZZ_CHECK(value == back, "[%s] %s=%s written, read back as \"%s\"", section.c_str(), key.c_str(), value.c_str(),
               back);
  } else {
    // A refused write leaves the file as it was.
    FILE* f = fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr, "file gone after a refused write");
    std::string now;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) now.append(chunk, n);
    fclose(f);
    FUZZ_CHECK(now == text, "a refused write changed the file");
  }
  return 0;
}

}  // namespace hallfuzz
