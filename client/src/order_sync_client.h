// The order-sync client's main object: pops orders (JSON texts) from a Redis list and
// sends each, with the configured client id, as a CLIENT_CMD_DATA_REQ packet over one
// long-lived connection to the gateway, reconnecting whenever the link breaks. Without a
// pause between orders it takes them several at a time (up to fetcher_t::MAX_BATCH, more
// while takes come back full) and writes their packets together.
// It owns the four members it is given and deletes them in its destructor (_f, _c, _m,
// _p, in that order). Single-threaded (the log's writer thread aside: run() defers its
// lines to it); run() returns only when a stop is requested.
//
// Orders that cannot be delivered are never dropped silently. Those that are not JSON,
// and those whose packet would exceed the gateway's 8000-byte limit (texts above
// MAX_ORDER_TEXT bytes), are logged at level 1 and pushed unchanged to the dead-letter
// list "<redis_key>:dead". Orders popped but still unsent when a stop arrives are put
// back at the head of their list, in order. While in hand an order waits in this client's sending list,
// so that no failure of Redis or of this process loses it (see fetcher_t).
#ifndef ORDER_SYNC_ORDER_SYNC_CLIENT_H
#define ORDER_SYNC_ORDER_SYNC_CLIENT_H

#include <string>
#include <vector>

#include "MysqlHelper.h"
#include "fetcher.h"
#include "noncopyable.h"
#include "packet.h"
#include "poller.h"
#include "tcp_client.h"
#include "auth/token.h"

typedef CMysqlHelper mysql_helper_t;

class order_sync_client_t : private noncopyable {
 public:
  enum {
    PACKET_BUF_SIZE = 16384,  // the reusable packet buffer
    MAX_PACKET = 8000,        // largest packet the gateway accepts from a client
    PACKET_OVERHEAD = 18,     // header 9, client id 4, string length 4, zero byte 1
    MAX_ORDER_TEXT = MAX_PACKET - PACKET_OVERHEAD,
    IDLE_WAIT_MS = 100,     // pause before asking Redis again when the list was empty
    RETRY_SEND_MS = 5000,   // pause after a failed reconnect while an order waits
    MAX_BACKOFF_MS = 4000,  // longest pause between reconnects of an idle link
    TOKEN_TTL = 60          // seconds a connection's token is good for
  };

  order_sync_client_t(fetcher_t* f, tcp_client_t* c, mysql_helper_t* m, poller_t* p);
  ~order_sync_client_t();

  // The main loop. Returns 0 after a stop request, -1 at once when the connection or
  // the poller is missing.
  int run();

  // Why an order cannot be sent ("" when it can), checked in this order: a zero byte
  // inside, a text longer than MAX_ORDER_TEXT, not JSON.
  static std::string unsendable_reason(const std::string& order);

  // Builds the CLIENT_CMD_DATA_REQ packet of an order into pkt (whose _data holds
  // PACKET_BUF_SIZE bytes): client id, the text as popped, body enciphered.
  static bool build_packet(packet_t* pkt, int client_id, const std::string& order);
  // The command 3 packet that opens a connection: a fresh token for `client_id`, good
  // for TOKEN_TTL seconds, signed with `key` named `kid`. "" when signing failed.
  static std::string auth_packet(EVP_PKEY* key, const std::string& kid, int client_id);
  // Whether `packet`, the gateway's answer to the token, accepts it; its text goes to
  // *text ("auth ok", "auth failed: <reason>", or what was wrong with the packet).
  static bool auth_accepted(const std::string& packet, std::string* text);

  fetcher_t* _f;
  tcp_client_t* _c;
  mysql_helper_t* _m;
  poller_t* _p;

 private:
  void attach();
  void drop_connection();
  void reconnect_idle_link();
  size_t send_until_done(const std::vector<std::string>& orders, size_t from, size_t end);
  bool deliver(const std::vector<std::string>& orders);
  void set_aside(const std::string& order, const std::string& reason);

  int backoff_ms_;
};

#endif
