// The client's packet writer must produce exactly what the gateway's reader and cipher take.
#include <gtest/gtest.h>

#include <string>

#include "EncryptDecrypt.h"
#include "order_sync_client.h"
#include "packet.h"
#include "packet_base.h"

namespace {

TEST(ClientPacket, OrderPacketDecodesWithTheGatewaysReaderAndCipher) {
  unsigned char buf[order_sync_client_t::PACKET_BUF_SIZE] = {};
  packet_t pkt;
  pkt._data = buf;
  pkt.sz = sizeof(buf);
  std::string order = "{\"id\":7,\"name\":\"caf\xc3\xa9 au lait\"}";
  ASSERT_TRUE(order_sync_client_t::build_packet(&pkt, -12345, order));
  ASSERT_EQ(order.size() + 18, pkt.len);

  // Header: length, "TQ", 1, 1, command 2.
  EXPECT_EQ(pkt.len - 2, (buf[0] << 8) | buf[1]);
  EXPECT_EQ('T', buf[2]);
  EXPECT_EQ('Q', buf[3]);
  EXPECT_EQ(1, buf[4]);
  EXPECT_EQ(1, buf[5]);
  EXPECT_EQ(0, buf[6]);
  EXPECT_EQ(2, buf[7]);
  // The body travels enciphered: the text is not visible on the wire.
  EXPECT_EQ(std::string::npos, std::string(reinterpret_cast<char*>(buf), pkt.len).find("lait"));

  NETOutputPacket reference;
  reference.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  reference.WriteInt(-12345);
  reference.WriteString(order);
  reference.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&reference);
  ASSERT_EQ(reference.packet_size(), pkt.len);
  EXPECT_EQ(0, memcmp(reference.packet_buf(), buf, pkt.len));

  NETInputPacket in;
  ASSERT_TRUE(in.Copy(buf, pkt.len));
  ASSERT_EQ(static_cast<int>(pkt.len) - 9, cipher.DecryptBuffer(&in));
  EXPECT_EQ(CLIENT_CMD_DATA_REQ, in.GetCmdType());
  EXPECT_EQ(-12345, in.ReadInt());
  EXPECT_EQ(order, in.ReadString());
}

TEST(ClientPacket, WritersRefuseFieldsBeyondTheCapacity) {
  unsigned char buf[32] = {};
  packet_t pkt;
  pkt._data = buf;
  pkt.sz = 20;
  pkt.len = 9;
  EXPECT_TRUE(pkt.write_int(1));          // 13
  EXPECT_FALSE(pkt.write_string("abc"));  // would need 8 more: 21 > 20
  EXPECT_EQ(13, pkt.len);
  EXPECT_TRUE(pkt.write_string("ab"));  // 20
  EXPECT_FALSE(pkt.write_int(1));
  EXPECT_EQ(20, pkt.len);
  EXPECT_EQ(0, buf[20]);

  packet_t none;
  EXPECT_FALSE(none.write_int(1));
  EXPECT_EQ(-1, none.encode());
}

TEST(ClientOrderCheck, WhatCannotBeSentAndWhy) {
  const int limit = order_sync_client_t::MAX_ORDER_TEXT;
  ASSERT_EQ(7982, limit);
  std::string fits = "\"" + std::string(static_cast<size_t>(limit - 2), 'x') + "\"";
  EXPECT_EQ("", order_sync_client_t::unsendable_reason(fits));
  EXPECT_EQ("too long",
            order_sync_client_t::unsendable_reason("\"" + std::string(static_cast<size_t>(limit - 1), 'x') + "\""));
  EXPECT_EQ("", order_sync_client_t::unsendable_reason("{\"a\":1} // note"));
  EXPECT_EQ("", order_sync_client_t::unsendable_reason(" 42 "));
  EXPECT_EQ("not JSON", order_sync_client_t::unsendable_reason("{\"a\":"));
  EXPECT_EQ("not JSON", order_sync_client_t::unsendable_reason("{\"a\":1}{\"b\":2}"));
  EXPECT_EQ("not JSON", order_sync_client_t::unsendable_reason(""));
  EXPECT_EQ("not JSON", order_sync_client_t::unsendable_reason("{\"a\":+1}"));
  EXPECT_EQ("holds a zero byte", order_sync_client_t::unsendable_reason(std::string("{\"a\":\"x\0y\"}", 11)));
}

}  // namespace
