#include "order_sync_client.h"

#include <time.h>

#include <algorithm>

#include "EncryptDecrypt.h"
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
    : _f(f), _c(c), _m(m), _p(p), backoff_ms_(1000) {
  if (_c != nullptr) _c->cancel = stop_requested;
}

order_sync_client_t::~order_sync_client_t() {
  delete _f;
  delete _c;
  delete _m;
  delete _p;
}

std::string order_sync_client_t::unsendable_reason(const std::string& order) {
  // The gateway reads the text up to its first zero byte: one inside would cut the order.
  if (order.find('\0') != std::string::npos) return "holds a zero byte";
  // Length first: a list element may be hundreds of megabytes, and reading it as JSON
  // would cost minutes and gigabytes for a text that cannot be sent anyway.
  if (order.size() > static_cast<size_t>(MAX_ORDER_TEXT)) return "too long";
  Json::Value value;
  if (!jsontext::parse(order, &value, true)) return "not JSON";
  return "";
}

bool order_sync_client_t::build_packet(packet_t* pkt, int client_id, const std::string& order) {
  pkt->len = PACKET_HEADER_SIZE;
  pkt->idx = 0;
  if (!pkt->write_int(client_id) || !pkt->write_string(order)) return false;
  pkt->finish(CLIENT_CMD_DATA_REQ);
  return pkt->encode() >= 0;
}

std::string order_sync_client_t::auth_packet(EVP_PKEY* key, const std::string& kid, int client_id) {
  const std::string nonce = hall_auth::random_nonce();
  const std::string token =
      nonce.empty()
          ? ""
          : hall_auth::issue_token(key, kid, client_id, static_cast<int64_t>(time(nullptr)) + TOKEN_TTL, nonce);
  if (token.empty()) return "";
  unsigned char buf[PACKET_BUF_SIZE];
  packet_t pkt;
  pkt._data = buf;
  pkt.sz = sizeof(buf);
  pkt.len = PACKET_HEADER_SIZE;
  if (!pkt.write_string(token)) return "";
  pkt.finish(CLIENT_CMD_AUTH_REQ);
  if (pkt.encode() < 0) return "";
  return std::string(reinterpret_cast<const char*>(buf), pkt.len);
}

bool order_sync_client_t::auth_accepted(const std::string& packet, std::string* text) {
  NETInputPacket in;
  if (!in.Copy(packet.data(), static_cast<int>(packet.size())) || CEncryptDecrypt().DecryptBuffer(&in) == -1 ||
      in.GetCmdType() != SERVER_CMD_REP) {
    *text = "not an answer packet";
    return false;
  }
  const int status = in.ReadInt();
  *text = std::string(in.ReadString());
  return status == 0;
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

// Sends orders[from, end), all sendable, in order and in as few writes as the socket
// allows, reconnecting in place until every one is out. When a write fails part way, the
// packets the socket took count as sent, and the rest go again, whole, on the next
// connection. The lines are those of sending each order alone. A last look for a pending
// close before each write keeps orders from going into a connection the gateway has
// already left. Returns how many were sent: fewer only when a stop came first.
size_t order_sync_client_t::send_until_done(const std::vector<std::string>& orders, size_t from, size_t end) {
  std::vector<unsigned char> buffer(PACKET_BUF_SIZE);
  packet_t pkt;
  pkt._data = buffer.data();
  pkt.sz = PACKET_BUF_SIZE;
  std::string out;
  std::vector<int> sizes;
  for (size_t i = from; i < end; ++i) {
    build_packet(&pkt, g_conf.client_id, orders[i]);
    out.append(reinterpret_cast<const char*>(pkt._data), pkt.len);
    sizes.push_back(pkt.len);
  }
  size_t next = from;      // the first order not yet wholly written
  size_t offset = 0;       // where its packet starts in out
  bool announced = false;  // its "JSON" line is written
  auto announce = [&] {
    if (!announced) OSC_LOG(3, "JSON: %s", orders[next].c_str());
    announced = true;
  };
  for (;;) {
    announce();
    if (stop_requested()) return next - from;
    int accepted = 0;
    int discarded = 0;
    if (_c->IsConnected) {
      if (_c->check(&discarded) != 0)
        _c->Send(out.data() + offset, static_cast<int>(out.size() - offset), &accepted);
      else
        OSC_LOG(1, "Tcp connection closed.");  // the same close the loop reports, seen first here
    }
    if (discarded > 0) OSC_DEBUG("discarded %d bytes from the gateway", discarded);
    for (; next < end && accepted >= sizes[next - from]; ++next) {
      const int size = sizes[next - from];
      announce();
      OSC_LOG(3, "SEND: %d", size);
      announced = false;
      accepted -= size;
      offset += static_cast<size_t>(size);
    }
    if (next == end) return end - from;
    announce();
    OSC_LOG(3, "SEND: %d", 0);
    drop_connection();
    if (stop_requested()) continue;
    if (_c->Reconnect() != 0) {
      OSC_LOG(1, "connected server failed");
      nap_ms(RETRY_SEND_MS);
    } else {
      attach();
      backoff_ms_ = 1000;
    }
  }
}

// The orders of one take, in order: runs of sendable ones go out together, unsendable
// ones are set aside between them, then all are settled. When a stop comes first, the
// orders dealt with are settled and the rest given back, in order; false then.
bool order_sync_client_t::deliver(const std::vector<std::string>& orders) {
  const char* q = g_conf.redis_key;
  std::vector<std::string> why(orders.size());
  for (size_t i = 0; i < orders.size(); ++i) why[i] = unsendable_reason(orders[i]);
  size_t done = 0;  // orders sent or set aside
  while (done < orders.size()) {
    if (!why[done].empty()) {
      if (done > 0 && stop_requested()) break;
      if (why[done] == "not JSON") OSC_LOG(1, "json: %s parse failed.", orders[done].c_str());
      set_aside(orders[done], why[done]);
      ++done;
      continue;
    }
    size_t end = done + 1;
    while (end < orders.size() && why[end].empty()) ++end;
    const size_t sent = send_until_done(orders, done, end);
    done += sent;
    if (done < end) break;
  }
  if (done == orders.size()) {
    _f->settle_all(q, orders);
    return true;
  }
  // Redis that did not confirm a removal would not take the give-back either: the unsent
  // orders then stay in the sending list, and the next start sends them.
  const int settled =
      _f->settle_all(q, std::vector<std::string>(orders.begin(), orders.begin() + static_cast<long>(done)));
  const int stored = settled == 0 ? _f->give_back(q, orders.size() - done) : -1;
  for (size_t i = done; i < orders.size(); ++i) {
    if (stored == 0)
      OSC_LOG(1, "stopping: unsent order put back at the head of %s", q);
    else if (stored == 1)
      OSC_LOG(1, "stopping: unsent order sent back to the head of %s, unconfirmed: %s", q, orders[i].c_str());
    else
      OSC_LOG(1, "stopping: unsent order could not be put back: %s", orders[i].c_str());
  }
  return false;
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
  std::vector<std::string> orders;
  size_t want = 1;  // orders per take: doubles while takes come back full

  // The loop's lines are formatted at once and written by the log's writer thread, handed
  // over before every wait (nap_ms hands them over too), so a busy loop does not open,
  // write and close the log file for each line.
  log_defer(true);
  if (_c->IsConnected) attach();
  while (!stop_requested()) {
    if (!_c->IsConnected) {
      reconnect_idle_link();
      continue;
    }
    log_flush();
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

    // With a pause, one order per turn; without, as many as the last take suggests.
    orders.clear();
    const size_t got = _f->fetch(g_conf.redis_key, g_conf.order_pause_ms > 0 ? 1 : want, &orders);
    if (got == 0) {
      want = 1;
      nap_ms(IDLE_WAIT_MS);
      continue;
    }
    want = got < want ? got : std::min<size_t>(want * 2, fetcher_t::MAX_BATCH);
    if (!deliver(orders)) break;
    nap_ms(g_conf.order_pause_ms);  // [order] pause_ms
  }
  log_defer(false);  // everything written before run returns
  return 0;
}
