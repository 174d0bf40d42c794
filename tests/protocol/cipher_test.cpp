// The byte-map cipher and its checksum, against packets enciphered by hand from the table.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "packets.h"
#include "test_support.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes bytes_of(const char* p, int n) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  return Bytes(b, b + n);
}

TEST(CipherMaps, PermutationWithoutFixedPointAndInverse) {
  std::set<int> seen;
  for (int b = 0; b < 256; ++b) {
    BYTE e = CEncryptDecrypt::m_SendByteMap[b];
    EXPECT_NE(e, b) << "fixed point at " << b;
    seen.insert(e);
    EXPECT_EQ(CEncryptDecrypt::m_RecvByteMap[e], b);
    EXPECT_EQ(CEncryptDecrypt::MapSendByte(static_cast<BYTE>(b)), e);
    EXPECT_EQ(CEncryptDecrypt::MapRecvByte(CEncryptDecrypt::m_SendByteMap[b]), b);
    EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[CEncryptDecrypt::m_RecvByteMap[b]], b);
  }
  EXPECT_EQ(seen.size(), 256u);
  // Corners of the installation's table, copied by hand.
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0x00], 0xE9);
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0x01], 0x57);
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0x0F], 0x18);
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0x80], 0x12);
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0xF0], 0x16);
  EXPECT_EQ(CEncryptDecrypt::m_SendByteMap[0xFF], 0x6A);
  EXPECT_EQ(CEncryptDecrypt::m_RecvByteMap[0x00], 0xB8);
  EXPECT_EQ(CEncryptDecrypt::m_RecvByteMap[0xE9], 0x00);
}

// Command 2 with client id 7 and "abc", enciphered by hand: body bytes through the send
// map (00->E9, 07->30, 04->4C, 61->5D, 62->82, 63->84); plain sum 0x131, so code 0xCF.
const Bytes kRequest = {0x00, 0x13, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0xCF,  // header
                        0xE9, 0xE9, 0xE9, 0x30, 0xE9, 0xE9, 0xE9, 0x4C, 0x5D, 0x82, 0x84, 0xE9};

TEST(Cipher, EnciphersARequestAsWrittenByHand) {
  NETOutputPacket out;
  out.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  out.WriteInt(7);
  out.WriteString("abc");
  out.End();
  CEncryptDecrypt cipher;
  EXPECT_EQ(cipher.EncryptBuffer(&out), 12);
  EXPECT_TRUE(out.IsCheckCode());
  EXPECT_EQ(bytes_of(out.packet_buf(), out.packet_size()), kRequest);
}

TEST(Cipher, DeciphersARequestWrittenByHand) {
  NETInputPacket in;
  ASSERT_TRUE(in.Copy(kRequest.data(), static_cast<int>(kRequest.size())));
  CEncryptDecrypt cipher;
  EXPECT_EQ(cipher.DecryptBuffer(&in), 12);
  EXPECT_EQ(in.ReadInt(), 7);
  EXPECT_EQ(in.ReadString(), "abc");
}

TEST(Cipher, ChecksumCases) {
  CEncryptDecrypt cipher;
  NETOutputPacket out;

  // One plain byte 0x01: code 0xFF, body 0x57.
  out.Begin(SERVER_CMD_REP);
  out.WriteByte(0x01);
  out.End();
  EXPECT_EQ(cipher.EncryptBuffer(&out), 1);
  EXPECT_EQ(bytes_of(out.packet_buf(), out.packet_size()),
            (Bytes{0x00, 0x08, 0x54, 0x51, 0x01, 0x01, 0x10, 0x01, 0xFF, 0x57}));

  // 256 plain bytes 0x01 sum to 0 modulo 256: code 0.
  out.Begin(SERVER_CMD_REP);
  for (int i = 0; i < 256; ++i) out.WriteByte(0x01);
  out.End();
  EXPECT_EQ(cipher.EncryptBuffer(&out), 256);
  Bytes expect = {0x01, 0x07, 0x54, 0x51, 0x01, 0x01, 0x10, 0x01, 0x00};
  expect.resize(9 + 256, 0x57);
  EXPECT_EQ(bytes_of(out.packet_buf(), out.packet_size()), expect);

  // Empty body: code 0 deciphers to length 0, any other code fails.
  NETInputPacket in;
  Bytes empty = {0x00, 0x07, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00};
  ASSERT_TRUE(in.Copy(empty.data(), 9));
  EXPECT_EQ(cipher.DecryptBuffer(&in), 0);
  empty[8] = 0x01;
  ASSERT_TRUE(in.Copy(empty.data(), 9));
  EXPECT_EQ(cipher.DecryptBuffer(&in), -1);
}

// Bodies of every length over a few steps of the cipher's inner loop: the same bytes as
// the harness's byte-at-a-time encoder, and back to the plain body.
TEST(Cipher, EveryBodyLengthMatchesTheByteAtATimeCipher) {
  CEncryptDecrypt cipher;
  for (int n = 0; n <= 70; ++n) {
    std::string body;
    for (int i = 0; i < n; ++i) body.push_back(static_cast<char>(i * 37 + n));
    std::string wire = testpackets::packet(SERVER_CMD_REP, body, false);
    ASSERT_EQ(cipher.EncryptPacket(&wire[0], static_cast<int>(wire.size())), n);
    ASSERT_EQ(wire, testpackets::packet(SERVER_CMD_REP, body)) << n;
    ASSERT_EQ(cipher.DecryptPacket(&wire[0], static_cast<int>(wire.size())), n);
    ASSERT_EQ(wire.substr(9), body) << n;
  }
}

TEST(Cipher, EnciphersOnlyOnce) {
  NETOutputPacket out;
  out.Begin(CLIENT_CMD_DATA_REQ);
  out.WriteInt(7);
  out.WriteString("abc");
  out.End();
  CEncryptDecrypt cipher;
  EXPECT_EQ(cipher.EncryptBuffer(&out), 12);
  EXPECT_EQ(cipher.EncryptBuffer(&out), 0);
  EXPECT_EQ(bytes_of(out.packet_buf(), out.packet_size()), kRequest);
}

// Every single-byte change of the body, including the code byte, is caught, and the body
// is left deciphered.
TEST(Cipher, OneAlteredByteFailsTheChecksum) {
  CEncryptDecrypt cipher;
  for (size_t pos = 8; pos < kRequest.size(); ++pos) {
    for (int delta = 1; delta < 256; delta += 37) {
      Bytes b = kRequest;
      b[pos] = static_cast<unsigned char>(b[pos] + delta);
      NETInputPacket in;
      ASSERT_TRUE(in.Copy(b.data(), static_cast<int>(b.size())));
      EXPECT_EQ(cipher.DecryptBuffer(&in), -1) << "pos " << pos << " delta " << delta;
      for (size_t i = 9; i < b.size(); ++i) {
        EXPECT_EQ(static_cast<unsigned char>(in.packet_buf()[i]), CEncryptDecrypt::m_RecvByteMap[b[i]]);
      }
    }
  }
}

TEST(Cipher, RoundTripRestoresEveryByteValue) {
  NETOutputPacket out;
  out.Begin(SERVER_CMD_DATA_FW_REQ);
  for (int i = 0; i < 256; ++i) out.WriteByte(static_cast<unsigned char>(255 - i));
  out.End();
  Bytes plain = bytes_of(out.packet_buf(), out.packet_size());
  CEncryptDecrypt cipher;
  ASSERT_EQ(cipher.EncryptBuffer(&out), 256);
  NETInputPacket in;
  ASSERT_TRUE(in.Copy(out.packet_buf(), out.packet_size()));
  EXPECT_EQ(cipher.DecryptBuffer(&in), 256);
  // Everything but the code byte is as before enciphering.
  Bytes got = bytes_of(in.packet_buf(), in.packet_size());
  EXPECT_EQ(got[8], 0x80);  // 0 + 1 + ... + 255 = 0x7F80
  got[8] = 0;
  EXPECT_EQ(got, plain);
}

// Headers that do not describe the bytes held: nothing is touched, failure is reported.
TEST(Cipher, MalformedHeadersAreLeftAlone) {
  CEncryptDecrypt cipher;
  const Bytes cases[] = {
      {0x00, 0x06, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00, 0x41},        // length below 7
      {0x00, 0x00, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00},              // length 0
      {0x00, 0x0A, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00, 0x41, 0x42},  // one byte short
      {0xFF, 0xFF, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00, 0x41},        // 65535 declared
      {0x00, 0x07, 0x54},                                                  // shorter than a header
  };
  for (const Bytes& b : cases) {
    NETInputPacket in;
    ASSERT_TRUE(in.Copy(b.data(), static_cast<int>(b.size())));
    EXPECT_EQ(cipher.DecryptBuffer(&in), -1);
    EXPECT_EQ(bytes_of(in.packet_buf(), in.packet_size()), b);
    Bytes raw = b;
    EXPECT_EQ(CEncryptDecrypt::EncryptPacket(reinterpret_cast<char*>(raw.data()), static_cast<int>(raw.size())), -1);
    EXPECT_EQ(raw, b);
  }
  // A writer that never reached End() has length 0: not enciphered, still enciphers later.
  NETOutputPacket out;
  out.Begin(CLIENT_CMD_DATA_REQ);
  out.WriteInt(1);
  Bytes before = bytes_of(out.packet_buf(), out.packet_size());
  EXPECT_EQ(cipher.EncryptBuffer(&out), 0);
  EXPECT_FALSE(out.IsCheckCode());
  EXPECT_EQ(bytes_of(out.packet_buf(), out.packet_size()), before);
  out.End();
  EXPECT_EQ(cipher.EncryptBuffer(&out), 4);
  EXPECT_EQ(cipher.DecryptBuffer(nullptr), -1);
  EXPECT_EQ(cipher.EncryptBuffer(nullptr), 0);
}

}  // namespace

namespace {

// The protocol document gives peers the send map; it must be the table the code uses.
TEST(CipherMaps, ProtocolDocumentShowsTheSameSendMap) {
  std::string doc = testsupport::read_file(testsupport::source_path("docs/protocol.md"));
  size_t at = doc.find("### SEND_MAP");
  ASSERT_NE(at, std::string::npos);
  at = doc.find("```", at);
  ASSERT_NE(at, std::string::npos);
  size_t end = doc.find("```", at + 3);
  ASSERT_NE(end, std::string::npos);
  std::vector<int> values;
  for (size_t i = at; i + 4 <= end; ++i) {
    if (doc.compare(i, 2, "0x") == 0) {
      values.push_back(std::stoi(doc.substr(i + 2, 2), nullptr, 16));
      i += 3;
    }
  }
  ASSERT_EQ(values.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(values[b], CEncryptDecrypt::m_SendByteMap[b]) << "entry " << b;
}

}  // namespace
