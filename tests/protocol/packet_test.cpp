// Packet writer and reader against byte sequences written out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "packet_base.h"
#include "packet_frame.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes bytes_of(const NETOutputPacket& p) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p.packet_buf());
  return Bytes(b, b + p.packet_size());
}

// A reader over exactly these bytes.
void load(NETInputPacket* in, const Bytes& b) { ASSERT_TRUE(in->Copy(b.data(), static_cast<int>(b.size()))); }

TEST(PacketWriter, HeaderOnlyPacket) {
  NETOutputPacket p;
  p.Begin(SERVER_CMD_REP, 1, 1);
  p.End();
  EXPECT_EQ(bytes_of(p), (Bytes{0x00, 0x07, 0x54, 0x51, 0x01, 0x01, 0x10, 0x01, 0x00}));

  p.Begin(INTER_CMD_NOTIFY_STAT_RES);  // version and subversion default to 1
  p.End();
  EXPECT_EQ(bytes_of(p), (Bytes{0x00, 0x07, 0x54, 0x51, 0x01, 0x01, 0x90, 0x03, 0x00}));
  EXPECT_FALSE(p.IsCheckCode());
}

TEST(PacketWriter, FieldEncodingsAndEndLengths) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ);
  ASSERT_TRUE(p.WriteInt(11));
  p.End();
  // 9 + 4 - 2 = 11
  EXPECT_EQ(bytes_of(p), (Bytes{0x00, 0x0B, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0B}));

  p.Begin(CLIENT_CMD_DATA_REQ);
  ASSERT_TRUE(p.WriteString(""));
  ASSERT_TRUE(p.WriteString(std::string("abc")));
  ASSERT_TRUE(p.WriteInt(-2));
  ASSERT_TRUE(p.WriteByte(0xAB));
  p.End();
  EXPECT_EQ(bytes_of(p), (Bytes{0x00, 0x19, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00,  // header, length 25
                                0x00, 0x00, 0x00, 0x01, 0x00,                          // ""
                                0x00, 0x00, 0x00, 0x04, 0x61, 0x62, 0x63, 0x00,        // "abc"
                                0xFF, 0xFF, 0xFF, 0xFE,                                // -2
                                0xAB}));
  EXPECT_EQ(p.GetLength(), 25);
  EXPECT_EQ(p.GetCmdType(), CLIENT_CMD_DATA_REQ);
}

TEST(PacketWriter, FieldThatDoesNotFitLeavesThePacketUnchanged) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ);
  // 9 header + 8178 text + 5 = 8192: exactly full.
  std::string big(8178, 'x');
  ASSERT_TRUE(p.WriteString(big));
  EXPECT_EQ(p.packet_size(), 8192);
  EXPECT_FALSE(p.WriteByte(1));
  EXPECT_FALSE(p.WriteInt(1));
  EXPECT_FALSE(p.WriteString(""));

  // One byte too long for the text: neither the length field nor the text is written.
  p.Begin(CLIENT_CMD_DATA_REQ);
  ASSERT_TRUE(p.WriteInt(5));
  Bytes before = bytes_of(p);
  EXPECT_FALSE(p.WriteString(std::string(8175, 'y')));
  EXPECT_EQ(bytes_of(p), before);
  EXPECT_TRUE(p.WriteString(std::string(8174, 'y')));
  EXPECT_EQ(p.packet_size(), 8192);
  // Nothing was left behind the end of the packet by the refused write.
  p.Begin(CLIENT_CMD_DATA_REQ);
  EXPECT_FALSE(p.WriteString(std::string(9000, 'z')));
  EXPECT_EQ(p.packet_size(), 9);
  EXPECT_EQ(p.packet_buf()[9], 0);
  // A null text is written as the empty text.
  EXPECT_TRUE(p.WriteString(static_cast<const char*>(nullptr)));
  EXPECT_EQ(p.packet_size(), 14);
}

TEST(PacketReader, ReadsFieldsWrittenByHand) {
  NETInputPacket in;
  load(&in, {0x00, 0x16, 0x54, 0x51, 0x07, 0x09, 0x90, 0x01, 0x00,  // odd versions are ignored
             0x03,                                                  // byte
             0x00, 0x00, 0x00, 0x04, 0x61, 0x62, 0x63, 0x00,        // "abc"
             0x80, 0x00, 0x00, 0x00,                                // INT_MIN
             0x00, 0x00, 0x00, 0x01, 0x00});                        // ""
  EXPECT_EQ(in.GetCmdType(), INTER_CMD_RES);
  EXPECT_EQ(in.GetLength(), 0x16);
  EXPECT_EQ(in.ReadByte(), 3);
  EXPECT_EQ(in.ReadString(), "abc");
  EXPECT_EQ(in.ReadInt(), INT_MIN);
  EXPECT_EQ(in.ReadString(), "");
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_EQ(in.ReadInt(), -1);
  EXPECT_EQ(in.ReadByte(), 0xFF);
  EXPECT_EQ(in.ReadString(), "");
}

TEST(PacketReader, ReadsPastTheEndFailWithoutMovingTheCursor) {
  NETInputPacket in;
  // Header-only packet: nothing to read, and the zeroed buffer behind it is never used.
  load(&in, {0x00, 0x07, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00});
  EXPECT_EQ(in.ReadInt(), -1);
  EXPECT_EQ(in.ReadString(), "");
  EXPECT_EQ(in.ReadByte(), 0xFF);

  // Three body bytes: the int fails, then the bytes are still there one by one.
  load(&in, {0x00, 0x0A, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00, 0x11, 0x22, 0x33});
  EXPECT_EQ(in.ReadInt(), -1);
  EXPECT_EQ(in.ReadString(), "");
  EXPECT_EQ(in.ReadByte(), 0x11);
  EXPECT_EQ(in.ReadByte(), 0x22);
  EXPECT_EQ(in.ReadByte(), 0x33);
  EXPECT_EQ(in.ReadByte(), 0xFF);

  // A packet shorter than its header: every read fails.
  load(&in, {0x00, 0x07, 0x54});
  EXPECT_EQ(in.ReadInt(), -1);
  EXPECT_EQ(in.ReadByte(), 0xFF);
  EXPECT_EQ(in.ReadString(), "");

  EXPECT_FALSE(in.Copy("", -1));
  std::vector<char> huge(8193, 'a');
  EXPECT_FALSE(in.Copy(huge.data(), 8193));
  EXPECT_TRUE(in.Copy(huge.data(), 8192));
}

// Hostile string lengths: the text is empty, the cursor sits after the length field, and
// the following field is still readable where the length field left off.
TEST(PacketReader, BadStringLengthsReadAsEmptyText) {
  struct Case {
    Bytes len;
  } cases[] = {
      {{0x00, 0x00, 0x00, 0x09}},  // one more than the 8 bytes left
      {{0x7F, 0xFF, 0xFF, 0xFF}},  // huge
      {{0xFF, 0xFF, 0xFF, 0xFF}},  // -1
      {{0x80, 0x00, 0x00, 0x00}},  // INT_MIN
      {{0x00, 0x00, 0x00, 0x00}},  // zero: no text at all, not the bytes that follow
  };
  for (const Case& c : cases) {
    Bytes b = {0x00, 0x13, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00};
    b.insert(b.end(), c.len.begin(), c.len.end());
    b.insert(b.end(), {0x61, 0x62, 0x63, 0x00, 0x00, 0x00, 0x00, 0x2A});
    NETInputPacket in;
    load(&in, b);
    EXPECT_EQ(in.ReadString(), "");
    EXPECT_EQ(in.ReadByte(), 0x61);
  }
}

// A string field whose bytes hold no zero ends at the end of its own field, never in the
// fields after it.
TEST(PacketReader, StringWithoutZeroEndsAtItsField) {
  NETInputPacket in;
  load(&in, {0x00, 0x13, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00,  // header
             0x00, 0x00, 0x00, 0x02, 0x61, 0x62,                    // N = 2, "ab" without a zero byte
             0x00, 0x00, 0x00, 0x2A,                                // 42
             0x63, 0x64});
  EXPECT_EQ(in.ReadString(), "ab");
  EXPECT_EQ(in.ReadInt(), 42);

  // A zero byte inside the field ends the text; the cursor still skips the whole field.
  load(&in, {0x00, 0x10, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00,  // header
             0x00, 0x00, 0x00, 0x04, 0x61, 0x00, 0x62, 0x00, 0x07});
  EXPECT_EQ(in.ReadString(), "a");
  EXPECT_EQ(in.ReadByte(), 0x07);
}

// Regression: a packet filling the whole 8192-byte buffer with a string that has no zero
// byte. The text must end at the packet's end instead of running past the buffer.
TEST(PacketReader, FullBufferStringWithoutZeroEndsAtPacketEnd) {
  Bytes b = {0x1F, 0xFE, 0x54, 0x51, 0x01, 0x01, 0x00, 0x02, 0x00,  // length 8190
             0x00, 0x00, 0x1F, 0xF3};                               // N = 8179, all that is left
  b.resize(8192, 'q');
  NETInputPacket in;
  load(&in, b);
  std::string s(in.ReadString());
  EXPECT_EQ(s.size(), 8179u);
  EXPECT_EQ(s, std::string(8179, 'q'));
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_EQ(in.ReadByte(), 0xFF);
}

TEST(PacketFraming, HeaderHelpersReadRawBytes) {
  const char head[9] = {0x01, 0x02, 'T', 'Q', 0x01, 0x01, static_cast<char>(0x90), 0x02, 0x00};
  EXPECT_EQ(pkg_length(head), 0x0102);
  EXPECT_EQ(pkg_cmd(head), 0x9002);
  EXPECT_TRUE(pkg_flag_ok(head));
  const char bad[9] = {0x00, 0x07, 'T', 'X', 0x01, 0x01, 0x00, 0x02, 0x00};
  EXPECT_FALSE(pkg_flag_ok(bad));
}

// The framer's bounds: header incomplete, part packet, whole packet, smallest and
// largest packet a reader takes, one byte past either, and the flag where it is checked.
TEST(PacketFraming, FramerBounds) {
  auto frame = [](int length, size_t held, int max_size, bool flag_ok, bool check_flag) {
    std::string b(std::max<size_t>(held, 9), '\0');
    b[0] = static_cast<char>(length >> 8);
    b[1] = static_cast<char>(length & 0xFF);
    b[2] = 'T';
    b[3] = flag_ok ? 'Q' : 'X';
    return frame_packet(b.data(), held, max_size, check_flag);
  };
  auto is = [](TFrame f, TFrameStatus status, int size) { return f.status == status && f.size == size; };
  EXPECT_TRUE(is(frame(7, 8, 100, true, true), FRAME_NEED_MORE, 0));
  EXPECT_TRUE(is(frame(7, 9, 100, true, true), FRAME_WHOLE, 9));
  EXPECT_TRUE(is(frame(6, 9, 100, true, true), FRAME_BAD_SIZE, 8));
  EXPECT_TRUE(is(frame(98, 99, 100, true, true), FRAME_NEED_MORE, 100));
  EXPECT_TRUE(is(frame(98, 150, 100, true, true), FRAME_WHOLE, 100));
  EXPECT_TRUE(is(frame(99, 150, 100, true, true), FRAME_BAD_SIZE, 101));
  EXPECT_TRUE(is(frame(0xFFFF, 9, 0xFFFF + 2, true, true), FRAME_NEED_MORE, 0xFFFF + 2));
  EXPECT_TRUE(is(frame(7, 9, 100, false, true), FRAME_BAD_FLAG, 0));
  EXPECT_TRUE(is(frame(7, 9, 100, false, false), FRAME_WHOLE, 9));
}

}  // namespace
