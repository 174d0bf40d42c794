// order_sync_client: feeds orders from a Redis list to the hall gateway.
// Usage: order_sync_client <settings.ini>, or order_sync_client -t <settings.ini> to check
// the settings without starting.
// Runs in the foreground until SIGTERM or SIGINT and then exits with status 0; it never
// detaches itself, so a service manager runs it directly (systemd: Type=simple,
// ExecStart=<path>/order_sync_client <settings.ini>, WorkingDirectory= the directory the
// relative log directory is taken from). Settings are described in
// conf/order_sync_client.ini; a bad one ends the program at start with status 1 and a
// message on standard error that names it.
#include <cstdio>
#include <new>
#include <string>

#include "MysqlHelper.h"
#include "RedisHelper.h"
#include "conf.h"
#include "fetcher.h"
#include "log.h"
#include "order_sync_client.h"
#include "poller.h"
#include "run_control.h"
#include "tcp_client.h"
#include "auth/token.h"

namespace {

// The Redis helper the fetcher reads the orders through, set as the settings say and
// connecting already; null without memory.
CRedisHelper* make_redis_helper() {
  CRedisHelper* redis = new (std::nothrow) CRedisHelper();
  if (redis == nullptr) return nullptr;
  redis->host_ = g_conf.redis_ip;
  redis->port_ = g_conf.redis_port;
  std::string unused;
  if (g_conf.redis_master[0] != '\0' && parse_sentinel_list(g_conf.redis_sentinels, &redis->sentinels, &unused))
    redis->master_name = g_conf.redis_master;
  redis->timeout.tv_sec = 2;
  redis->timeout.tv_usec = 0;
  // A Redis that stops answering is given up after 5 s and connected again; a stop
  // request ends any wait for it at once.
  redis->command_timeout_ms = 5000;
  redis->cancel = stop_requested;  // the first connect too
  redis->Connect();                // the fetcher reconnects until Redis answers
  return redis;
}

// With a signer's key file, every connection of `c` opens with a fresh token signed by
// its first key, which *signer holds for as long as `c` connects. False (logged) when
// the file cannot be used.
bool sign_greetings(CTcpClient* c, hall_auth::CKeyRing* signer) {
  if (g_conf.auth_key_file[0] == '\0') return true;
  std::string why, kid;
  if (!signer->load(g_conf.auth_key_file, true, &why)) {
    log_boot("%s", why.c_str());
    return false;
  }
  EVP_PKEY* key = signer->first(&kid);
  c->greeting = [key, kid]() {
    const std::string packet = order_sync_client_t::auth_packet(key, kid, g_conf.client_id);
    if (packet.empty()) log_boot("cannot sign a token for client id %d", g_conf.client_id);
    return packet;
  };
  c->greeting_answer = [](const std::string& packet) {
    std::string text;
    if (order_sync_client_t::auth_accepted(packet, &text)) return true;
    log_error("gateway refused the token of client id %d: %s", g_conf.client_id, text.c_str());
    return false;
  };
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  if (argc == 3 && std::string(argv[1]) == "-t") return check_conf(argv[2], stdout);
  // An option where the settings file belongs ("-t" without its file, "--help", a
  // mistyped flag) gives the usage, not "cannot read settings file"; a settings file
  // whose name starts with '-' is given as ./-name.
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: %s <settings.ini>\n       %s -t <settings.ini>   (check the settings)\n",
                 argc > 0 ? argv[0] : "order_sync_client", argc > 0 ? argv[0] : "order_sync_client");
    return 2;
  }
  std::string error;
  if (load_conf(argv[1], &g_conf, &error) != 0) {
    std::fprintf(stderr, "order_sync_client: %s\n", error.c_str());
    return 1;
  }
  init_log("order_sync_client", g_conf.log_dir, 0, 0);
  set_log_level(g_conf.log_level);
  if (install_stop_handlers() != 0) {
    log_boot("cannot install signal handlers: %m");
    return 1;
  }

  CRedisHelper* redis = make_redis_helper();
  if (redis == nullptr) {
    log_boot("cannot create the Redis helper");
    return 1;
  }

  fetcher_t* f = new (std::nothrow) fetcher_t(redis, g_conf.sending_list);
  CTcpClient* c = new (std::nothrow) CTcpClient(g_conf.server_ip, g_conf.server_port);
  CMysqlHelper* m =
      new (std::nothrow) CMysqlHelper(g_conf.mysql_ip, g_conf.mysql_port, g_conf.mysql_username, g_conf.mysql_password);
  poller_t* p = new (std::nothrow) poller_t();
  if (f == nullptr) delete redis;
  order_sync_client_t app(f, c, m, p);
  if (f == nullptr || c == nullptr || m == nullptr || p == nullptr || !p->ok()) {
    log_boot("cannot create the %s", f == nullptr   ? "fetcher"
                                     : c == nullptr ? "connection"
                                     : m == nullptr ? "MySQL helper"
                                                    : "poller");
    return 1;
  }

  const std::string redis_at =
      redis->sentinels.empty()
          ? std::string(g_conf.redis_ip) + ":" + std::to_string(g_conf.redis_port)
          : std::string("master ") + g_conf.redis_master + " through sentinels " + g_conf.redis_sentinels;
  log_boot("*STEP: order_sync_client started: gateway %s:%u, redis %s list %s (in hand: %s), client id %d",
           g_conf.server_ip, static_cast<unsigned>(g_conf.server_port), redis_at.c_str(), g_conf.redis_key,
           g_conf.sending_list, g_conf.client_id);
  hall_auth::CKeyRing signer;
  if (!sign_greetings(c, &signer)) return 1;
  if (c->Reconnect() != 0)
    log_boot("gateway %s:%u not reachable yet; retrying", g_conf.server_ip, static_cast<unsigned>(g_conf.server_port));
  app.run();
  log_boot("*STEP: order_sync_client stopped");
  return 0;
}
