#include "conf.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "IniFile.h"

conf_s g_conf;

namespace {

// Reads one raw value. Returns 1 when present, 0 when missing (or the file unreadable).
int read_value(const char* file, const char* section, const char* key, std::string* value) {
  char buf[512];
  int found = read_profile_string(section, key, buf, sizeof(buf), NULL, file);
  if (found) *value = buf;
  return found;
}

std::string name_of(const char* section, const char* key) {
  return std::string("[") + section + "] " + key;
}

// Each reader: 0 on success; -1 with *error set. A missing optional key keeps *out.
int read_text(const char* file, const char* section, const char* key, bool required, bool allow_empty,
              char* out, size_t size, std::string* error) {
  std::string v;
  if (!read_value(file, section, key, &v)) {
    if (!required) return 0;
    *error = "missing setting " + name_of(section, key);
    return -1;
  }
  if (v.empty() && !allow_empty) {
    *error = "empty setting " + name_of(section, key);
    return -1;
  }
  if (v.size() >= size) {
    *error = "setting " + name_of(section, key) + " is longer than " + std::to_string(size - 1) + " characters";
    return -1;
  }
  std::memset(out, 0, size);
  std::memcpy(out, v.data(), v.size());
  return 0;
}

int read_ip(const char* file, const char* section, const char* key, bool required, char* out,
            std::string* error) {
  std::string v;
  if (!read_value(file, section, key, &v)) {
    if (!required) return 0;
    *error = "missing setting " + name_of(section, key);
    return -1;
  }
  in_addr addr;
  if (v.size() >= 16 || inet_pton(AF_INET, v.c_str(), &addr) != 1) {
    *error = "setting " + name_of(section, key) + " is not a dotted IPv4 address: \"" + v + "\"";
    return -1;
  }
  std::memset(out, 0, 16);
  std::memcpy(out, v.data(), v.size());
  return 0;
}

int read_long(const char* file, const char* section, const char* key, bool required, long lo, long hi,
              long* out, std::string* error) {
  std::string v;
  if (!read_value(file, section, key, &v)) {
    if (!required) return 0;
    *error = "missing setting " + name_of(section, key);
    return -1;
  }
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno == ERANGE || n < lo || n > hi) {
    *error = "setting " + name_of(section, key) + " must be a whole number from " + std::to_string(lo) +
             " to " + std::to_string(hi) + ": \"" + v + "\"";
    return -1;
  }
  *out = n;
  return 0;
}

int read_port(const char* file, const char* section, const char* key, bool required, unsigned short* out,
              std::string* error) {
  long n = *out;
  if (read_long(file, section, key, required, 1, 65535, &n, error) != 0) return -1;
  *out = static_cast<unsigned short>(n);
  return 0;
}

}  // namespace

int load_conf(const char* file, conf_s* conf, std::string* error) {
  char probe[INI_BUF_SIZE];
  int size = 0;
  int loaded = load_ini_file(file, probe, &size);
  if (loaded == 0) {
    *error = std::string("cannot read settings file ") + file + ": " + std::strerror(errno);
    return -1;
  }
  if (loaded < 0) {
    *error = std::string("settings file ") + file + " is too large (at most 16383 bytes)";
    return -1;
  }

  std::memset(conf, 0, sizeof(*conf));
  // Optional settings and their defaults.
  std::strcpy(conf->mysql_ip, "127.0.0.1");
  conf->mysql_port = 3306;
  std::strcpy(conf->log_dir, "../log");
  conf->log_level = 6;

  long client_id = 0, level = conf->log_level;
  if (read_ip(file, "gateway", "ip", true, conf->server_ip, error) != 0 ||
      read_port(file, "gateway", "port", true, &conf->server_port, error) != 0 ||
      read_long(file, "gateway", "client_id", true, INT_MIN, INT_MAX, &client_id, error) != 0 ||
      read_ip(file, "redis", "ip", true, conf->redis_ip, error) != 0 ||
      read_port(file, "redis", "port", true, &conf->redis_port, error) != 0 ||
      read_text(file, "redis", "key", true, false, conf->redis_key, sizeof(conf->redis_key), error) != 0 ||
      read_ip(file, "mysql", "ip", false, conf->mysql_ip, error) != 0 ||
      read_port(file, "mysql", "port", false, &conf->mysql_port, error) != 0 ||
      read_text(file, "mysql", "username", false, true, conf->mysql_username, sizeof(conf->mysql_username),
                error) != 0 ||
      read_text(file, "mysql", "password", false, true, conf->mysql_password, sizeof(conf->mysql_password),
                error) != 0 ||
      read_text(file, "mysql", "db", false, true, conf->mysql_db, sizeof(conf->mysql_db), error) != 0 ||
      read_text(file, "log", "dir", false, false, conf->log_dir, sizeof(conf->log_dir), error) != 0 ||
      read_long(file, "log", "level", false, 4, 7, &level, error) != 0)
    return -1;
  conf->client_id = static_cast<int>(client_id);
  conf->log_level = static_cast<int>(level);
  return 0;
}
