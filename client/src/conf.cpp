#include "conf.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "IniFile.h"
#include "sentinel/redis_sentinel.h"
#include "auth/token.h"

conf_s g_conf;

namespace {

// Reads one raw value. Returns 1 when present, 0 when missing (or the file unreadable).
int read_value(const char* file, const char* section, const char* key, std::string* value) {
  char buf[512];
  int found = read_profile_string(section, key, buf, sizeof(buf), NULL, file);
  if (found) *value = buf;
  return found;
}

std::string name_of(const char* section, const char* key) { return std::string("[") + section + "] " + key; }

// Collects the outcome of reading one file: a problem for every setting start-up
// refuses, a fall-back for every optional setting that is missing.
struct reader_s {
  const char* file;
  conf_notes_s* notes;

  void problem(const std::string& text) { notes->problems.push_back(text); }
  // Reads one value; false when it is missing, after noting that (a required key is a
  // problem, an optional one falls back to `used`).
  bool value(const char* section, const char* key, bool required, const std::string& used, std::string* v) {
    if (read_value(file, section, key, v)) return true;
    if (required)
      problem("missing setting " + name_of(section, key));
    else
      notes->fallbacks.push_back(name_of(section, key) + " missing; \"" + used + "\" used");
    return false;
  }
};

void read_text(reader_s* r, const char* section, const char* key, bool required, bool allow_empty, char* out,
               size_t size) {
  std::string v;
  if (!r->value(section, key, required, out, &v)) return;
  if (v.empty() && !allow_empty) {
    r->problem("empty setting " + name_of(section, key));
  } else if (v.size() >= size) {
    r->problem("setting " + name_of(section, key) + " is longer than " + std::to_string(size - 1) + " characters");
  } else {
    std::memset(out, 0, size);
    std::memcpy(out, v.data(), v.size());
  }
}

void read_ip(reader_s* r, const char* section, const char* key, bool required, char* out) {
  std::string v;
  if (!r->value(section, key, required, out, &v)) return;
  in_addr addr;
  if (v.size() >= 16 || inet_pton(AF_INET, v.c_str(), &addr) != 1) {
    r->problem("setting " + name_of(section, key) + " is not a dotted IPv4 address: \"" + v + "\"");
    return;
  }
  std::memset(out, 0, 16);
  std::memcpy(out, v.data(), v.size());
}

void read_long(reader_s* r, const char* section, const char* key, bool required, long lo, long hi, long* out) {
  std::string v;
  if (!r->value(section, key, required, std::to_string(*out), &v)) return;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno == ERANGE || n < lo || n > hi) {
    r->problem("setting " + name_of(section, key) + " must be a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi) + ": \"" + v + "\"");
    return;
  }
  *out = n;
}

void read_port(reader_s* r, const char* section, const char* key, bool required, unsigned short* out) {
  long n = *out;
  read_long(r, section, key, required, 1, 65535, &n);
  *out = static_cast<unsigned short>(n);
}

// [redis] sentinels and master: true when both are set (a bad list is a problem).
bool read_sentinels(reader_s* r, conf_s* conf) {
  std::string list, master;
  const bool has_list = read_value(r->file, "redis", "sentinels", &list) && !list.empty();
  const bool has_master = read_value(r->file, "redis", "master", &master) && !master.empty();
  if (has_list != has_master) {
    r->notes->fallbacks.push_back(name_of("redis", has_list ? "sentinels" : "master") + " set without " +
                                  name_of("redis", has_list ? "master" : "sentinels") + "; ignored, [redis] ip used");
    return false;
  }
  if (!has_list) return false;
  std::vector<TRedisAddress> parsed;
  std::string why;
  if (!parse_sentinel_list(list, &parsed, &why)) {
    r->problem("setting " + name_of("redis", "sentinels") + ": " + why);
    return true;
  }
  read_text(r, "redis", "sentinels", true, false, conf->redis_sentinels, sizeof(conf->redis_sentinels));
  read_text(r, "redis", "master", true, false, conf->redis_master, sizeof(conf->redis_master));
  return true;
}

}  // namespace

int read_conf(const char* file, conf_s* conf, conf_notes_s* notes) {
  *notes = conf_notes_s();
  std::memset(conf, 0, sizeof(*conf));
  char probe[INI_BUF_SIZE];
  int size = 0;
  int loaded = load_ini_file(file, probe, &size);
  if (loaded == 0) {
    notes->problems.push_back(std::string("cannot read settings file ") + file + ": " + std::strerror(errno));
    return -1;
  }
  if (loaded < 0) {
    notes->problems.push_back(std::string("settings file ") + file + " is too large (at most 16383 bytes)");
    return -1;
  }

  // Optional settings and their defaults.
  std::strcpy(conf->mysql_ip, "127.0.0.1");
  conf->mysql_port = 3306;
  std::strcpy(conf->log_dir, "../log");
  conf->log_level = 6;
  conf->order_pause_ms = 10;
  conf->auth_key_file[0] = '\0';

  reader_s r = {file, notes};
  long client_id = 0, level = conf->log_level, pause = conf->order_pause_ms;
  read_ip(&r, "gateway", "ip", true, conf->server_ip);
  read_port(&r, "gateway", "port", true, &conf->server_port);
  read_long(&r, "gateway", "client_id", true, INT_MIN, INT_MAX, &client_id);
  // With both sentinels and master set, the sentinels name the Redis server.
  if (!read_sentinels(&r, conf)) {
    read_ip(&r, "redis", "ip", true, conf->redis_ip);
    read_port(&r, "redis", "port", true, &conf->redis_port);
  }
  read_text(&r, "redis", "key", true, false, conf->redis_key, sizeof(conf->redis_key));
  // Each instance needs a list of its own: one that starts would otherwise hand back the
  // orders another instance has in hand, and they would be sent twice. Gateway and client
  // id name an instance, since two instances with both alike would take each other's
  // registration at the gateway anyway.
  std::snprintf(conf->sending_list, sizeof(conf->sending_list), "%s:sending:%s:%u:%ld", conf->redis_key,
                conf->server_ip, static_cast<unsigned>(conf->server_port), client_id);
  read_text(&r, "redis", "sending", false, false, conf->sending_list, sizeof(conf->sending_list));
  // The sending list must be a list of its own: as the order list, orders in hand would
  // be taken again and sent twice; as the dead-letter list, orders set aside would go
  // back to the order list.
  const std::string key = conf->redis_key;
  if (!key.empty() && (conf->sending_list == key || conf->sending_list == key + ":dead"))
    r.problem("setting " + name_of("redis", "sending") + " names the order list or its dead-letter list");
  read_ip(&r, "mysql", "ip", false, conf->mysql_ip);
  read_port(&r, "mysql", "port", false, &conf->mysql_port);
  read_text(&r, "mysql", "username", false, true, conf->mysql_username, sizeof(conf->mysql_username));
  read_text(&r, "mysql", "password", false, true, conf->mysql_password, sizeof(conf->mysql_password));
  read_text(&r, "mysql", "db", false, true, conf->mysql_db, sizeof(conf->mysql_db));
  read_text(&r, "log", "dir", false, false, conf->log_dir, sizeof(conf->log_dir));
  read_long(&r, "log", "level", false, 4, 7, &level);
  read_long(&r, "order", "pause_ms", false, 0, 60000, &pause);
  // Tokens are an addition: a file without the key reads as before, with no note.
  std::string key_file;
  if (read_value(file, "gateway", "auth_key_file", &key_file))
    read_text(&r, "gateway", "auth_key_file", false, false, conf->auth_key_file, sizeof(conf->auth_key_file));
  if (conf->auth_key_file[0] != '\0') {
    hall_auth::CKeyRing keys;
    std::string why;
    if (!keys.load(conf->auth_key_file, true, &why))
      r.problem("setting " + name_of("gateway", "auth_key_file") + ": " + why);
    if (client_id < 0)
      r.problem("setting " + name_of("gateway", "client_id") + " is negative: a token holds 0 or more");
  }
  conf->client_id = static_cast<int>(client_id);
  conf->log_level = static_cast<int>(level);
  conf->order_pause_ms = static_cast<int>(pause);
  return notes->problems.empty() ? 0 : -1;
}

int load_conf(const char* file, conf_s* conf, std::string* error) {
  conf_notes_s notes;
  if (read_conf(file, conf, &notes) == 0) return 0;
  *error = notes.problems.front();
  return -1;
}

int check_conf(const char* file, FILE* out) {
  conf_s conf;
  conf_notes_s notes;
  const int rc = read_conf(file, &conf, &notes);
  for (const std::string& p : notes.problems) std::fprintf(out, "%s: %s\n", file, p.c_str());
  for (const std::string& f : notes.fallbacks) std::fprintf(out, "%s: %s\n", file, f.c_str());
  if (rc != 0)
    std::fprintf(out, "order_sync_client: settings refused: %zu problem(s)\n", notes.problems.size());
  else
    std::fprintf(out, "order_sync_client: settings OK: %zu default(s) used\n", notes.fallbacks.size());
  std::fflush(out);
  return rc == 0 ? 0 : 1;
}
