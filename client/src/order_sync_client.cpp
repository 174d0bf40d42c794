#include "order_sync_client.h"

#include <cstring>
#include <memory>

#include "conf.h"
#include "json_text.h"
#include "log.h"
#include "packet_base.h"
#include "run_control.h"

// Every line of the loop names the program and its loop, whatever C++ function writes it.
#define OSC_LOG(level, fmt, ...) write_log(level, "order_sync_client", "run", __LINE__, fmt, ##__VA_ARGS__)
#define OSC_DEBUG(fmt, ...)                                                             \
  do {                                                                                  \
    if (__log_level__ >= LOG_LEVEL_DEBUG) OSC_LOG(LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__); \
  } while (0)

order_sync_client_t::order_sync_client_t(fetcher_t* f, tcp_client_t* c, mysql_helper_t* m, poller_t* p)
    : _f(f), _c(c), _m(m), _p(p), backoff_ms_(1000) {}

order_sync_client_t::~order_sync_client_t() {
  delete _f;
  delete _c;
  delete _m;
  delete _p;
}

std::string order_sync_client_t::unsendable_reason(const std::string& order) {
  // The gateway reads the text up to its first zero byte: one inside would cut the order.
  if (order.find('\0') != std::string::npos) return "holds a zero byte";
  Json::Value value;
  if (!jsontext::parse(order, &value, true)) return "not JSON";
  if (order.size() > static_cast<size_t>(MAX_ORDER_TEXT)) return "too long";
  return "";
}

bool order_sync_client_t::build_packet(packet_t* pkt, int client_id, const std::string& order) {
  pkt->len = PACKET_HEADER_SIZE;
  pkt->idx = 0;
  if (!pkt->write_int(client_id) || !pkt->write_string(order)) return false;
  pkt->finish(CLIENT_CMD_DATA_REQ);
  return pkt->encode() >= 0;
}

void order_sync_client_t::attach() {
  _c->event |= EPOLLIN | EPOLLOUT;
  _p->attach(_c);
}

void order_sync_client_t::drop_connection() {
  _c->IsConnected = false;
  _p->detach(_c);  // before Close: epoll forgets a closed descriptor by itself anyway
  _c->Close();
}

// A link that is down is retried with a growing pause (1 s, 2 s, 4 s, then every 4 s),
// so a gateway that stays away costs little and one that comes back is found quickly.
void order_sync_client_t::reconnect_idle_link() {
  nap_ms(backoff_ms_);
  if (stop_requested()) return;
  if (_c->Reconnect() == 0) {
    attach();
    backoff_ms_ = 1000;
    OSC_LOG(3, "connected to gateway %s:%u", _c->host_.c_str(), static_cast<unsigned>(_c->port_));
    return;
  }
  OSC_LOG(1, "connected server failed");
  backoff_ms_ = backoff_ms_ * 2 > MAX_BACKOFF_MS ? MAX_BACKOFF_MS : backoff_ms_ * 2;
}

// Sends one packet, reconnecting in place until it is out. A last look for a pending
// close before each write keeps an order from going into a connection the gateway has
// already left. Returns false only when a stop came first.
bool order_sync_client_t::send_until_done(const packet_t& pkt) {
  for (;;) {
    if (stop_requested()) return false;
    int r = 0;
    int discarded = 0;
    if (_c->IsConnected) {
      if (_c->check(&discarded) != 0)
        r = _c->Send(reinterpret_cast<const char*>(pkt._data), pkt.len);
      else
        OSC_LOG(1, "Tcp connection closed.");  // the same close the loop reports, seen first here
    }
    if (discarded > 0) OSC_DEBUG("discarded %d bytes from the gateway", discarded);
    OSC_LOG(3, "SEND: %d", r);
    if (r != 0) return true;
    drop_connection();
    if (_c->Reconnect() != 0) {
      OSC_LOG(1, "connected server failed");
      nap_ms(RETRY_SEND_MS);
    } else {
      attach();
      backoff_ms_ = 1000;
    }
  }
}

void order_sync_client_t::set_aside(const std::string& order, const std::string& reason) {
  std::string dead = fetcher_t::dead_letter_name(g_conf.redis_key);
  const int stored = _f->dead_letter(g_conf.redis_key, order);
  if (stored == 0)
    OSC_LOG(1, "order %s (%zu bytes), moved to %s", reason.c_str(), order.size(), dead.c_str());
  else if (stored == 1)
    OSC_LOG(1, "order %s (%zu bytes), sent to %s, unconfirmed: %s", reason.c_str(), order.size(), dead.c_str(),
            order.c_str());
  else
    OSC_LOG(1, "order %s (%zu bytes), could not be moved to %s: %s", reason.c_str(), order.size(), dead.c_str(),
            order.c_str());
}

int order_sync_client_t::run() {
  if (_c == nullptr || _p == nullptr) {
    OSC_LOG(1, "no gateway connection or poller; nothing to do");
    return -1;
  }
  packet_t pkt;
  pkt.sz = PACKET_BUF_SIZE;
  std::unique_ptr<unsigned char[]> buffer;
  std::string order;

  if (_c->IsConnected) attach();
  while (!stop_requested()) {
    if (!_c->IsConnected) {
      reconnect_idle_link();
      continue;
    }
    int n = _p->wait(100);
    if (n <= 0) continue;
    uint32_t ev = _p->events[0].events;

    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
      int discarded = 0;
      int alive = _c->check(&discarded);
      if (discarded > 0) OSC_DEBUG("discarded %d bytes from the gateway", discarded);
      if (alive == 0) {
        drop_connection();
        OSC_LOG(1, "Tcp connection closed.");
        backoff_ms_ = 1000;
        continue;  // the next turn reconnects after the first pause
      }
    }
    if (!(ev & EPOLLOUT)) continue;
    if (_f == nullptr) {
      nap_ms(IDLE_WAIT_MS);
      continue;
    }

    bool popped = false;
    order = _f->fetch(g_conf.redis_key, &popped);
    if (!popped) {
      nap_ms(IDLE_WAIT_MS);
      continue;
    }
    std::string why = unsendable_reason(order);
    if (why == "not JSON") OSC_LOG(1, "json: %s parse failed.", order.c_str());
    if (!why.empty()) {
      set_aside(order, why);
      _f->settle(g_conf.redis_key, order);
      continue;
    }
    OSC_LOG(3, "JSON: %s", order.c_str());

    if (!buffer) {
      buffer.reset(new unsigned char[PACKET_BUF_SIZE]());
      pkt._data = buffer.get();
    }
    build_packet(&pkt, g_conf.client_id, order);
    if (!send_until_done(pkt)) {
      const int stored = _f->give_back(g_conf.redis_key, order);
      if (stored == 0)
        OSC_LOG(1, "stopping: unsent order put back at the head of %s", g_conf.redis_key);
      else if (stored == 1)
        OSC_LOG(1, "stopping: unsent order sent back to the head of %s, unconfirmed: %s", g_conf.redis_key,
                order.c_str());
      else
        OSC_LOG(1, "stopping: unsent order could not be put back: %s", order.c_str());
      break;
    }
    _f->settle(g_conf.redis_key, order);
    std::memset(buffer.get(), 0, PACKET_BUF_SIZE);
    pkt.len = 0;
    pkt.idx = 0;
    nap_ms(g_conf.order_pause_ms);  // [order] pause_ms
  }
  return 0;
}
