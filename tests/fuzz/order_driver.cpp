// The order check of the order-sync client over arbitrary popped texts: it must answer
// for every text, and a text it passes must make a packet the gateway takes whole.
#include <string>

#include "fuzz_driver.h"
#include "order_sync_client.h"

namespace hallfuzz {

int order_one(const uint8_t* data, size_t size) {
  const std::string order(reinterpret_cast<const char*>(data), size);
  const std::string why = order_sync_client_t::unsendable_reason(order);
  FUZZ_CHECK(why.empty() || why == "not JSON" || why == "holds a zero byte" || why == "too long", "reason \"%s\"",
             why.c_str());
  if (!why.empty()) return 0;
  FUZZ_CHECK(order.size() <= static_cast<size_t>(order_sync_client_t::MAX_ORDER_TEXT), "%zu bytes passed",
             order.size());
  FUZZ_CHECK(order.find('\0') == std::string::npos, "a zero byte passed");
  static unsigned char buf[order_sync_client_t::PACKET_BUF_SIZE];
  packet_t pkt;
  pkt._data = buf;
  pkt.sz = sizeof(buf);
  FUZZ_CHECK(order_sync_client_t::build_packet(&pkt, 7, order), "no packet for %zu bytes", order.size());
  FUZZ_CHECK(
      pkt.len == order.size() + order_sync_client_t::PACKET_OVERHEAD && pkt.len <= order_sync_client_t::MAX_PACKET,
      "packet of %u bytes for %zu", static_cast<unsigned>(pkt.len), order.size());
  return 0;
}

}  // namespace hallfuzz
