// Replays every committed fuzz input (the seed corpus and the inputs of past findings,
// tests/fuzz/corpus/<target>/) through its driver in the ordinary build, and pins the
// faults the fuzzers found with named cases. A driver aborts on a broken check.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "IniFile.h"
#include "fuzz_driver.h"
#include "packet_base.h"
#include "test_support.h"

namespace {

typedef int (*Driver)(const uint8_t*, size_t);

// Runs every file of tests/fuzz/corpus/<target> through `driver`; the number run.
size_t replay(const std::string& target, Driver driver) {
  const std::string dir = testsupport::source_path("tests/fuzz/corpus/" + target);
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    SCOPED_TRACE(target + "/" + name);
    const std::string bytes = testsupport::read_file(dir + "/" + name);
    driver(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  return names.size();
}

// One read of the stream drivers: 2-byte big-endian length, then the bytes.
std::string rd(const std::string& bytes) {
  return std::string{static_cast<char>(bytes.size() >> 8), static_cast<char>(bytes.size() & 0xFF)} + bytes;
}

}  // namespace

TEST(FuzzReplay, PacketCorpus) { EXPECT_GT(replay("packet", hallfuzz::packet_one), 0u); }
TEST(FuzzReplay, MarkupCorpus) { EXPECT_GT(replay("markup", hallfuzz::markup_one), 0u); }
TEST(FuzzReplay, IniCorpus) { EXPECT_GT(replay("ini", hallfuzz::ini_one), 0u); }
TEST(FuzzReplay, ClientStreamCorpus) { EXPECT_GT(replay("client_stream", hallfuzz::client_stream_one), 0u); }
TEST(FuzzReplay, LogicStreamCorpus) { EXPECT_GT(replay("logic_stream", hallfuzz::logic_stream_one), 0u); }
TEST(FuzzReplay, OrderCorpus) { EXPECT_GT(replay("order", hallfuzz::order_one), 0u); }
TEST(FuzzReplay, StatsRequestCorpus) { EXPECT_GT(replay("stats_request", hallfuzz::stats_request_one), 0u); }
TEST(FuzzReplay, TokenCorpus) { EXPECT_GT(replay("token", hallfuzz::token_one), 0u); }
TEST(FuzzReplay, ProxyHeaderCorpus) { EXPECT_GT(replay("proxy_header", hallfuzz::proxy_header_one), 0u); }
TEST(FuzzReplay, WsHeadCorpus) { EXPECT_GT(replay("ws_head", hallfuzz::ws_head_one), 0u); }
TEST(FuzzReplay, WsFramesCorpus) { EXPECT_GT(replay("ws_frames", hallfuzz::ws_frames_one), 0u); }

// A header on the last line without its ']' ("[s"): writing a new key into that section
// must give a file from which the key reads back.
TEST(FuzzRegress, IniKeyWrittenUnderHeaderWithoutBracketReadsBack) {
  testsupport::TempDir dir;
  const std::string path = dir.file("a.ini");
  testsupport::write_file(path, "[s");
  ASSERT_EQ(write_profile_string("s", "k", "v", path.c_str()), 1);
  char value[64] = {0};
  EXPECT_EQ(read_profile_string("s", "k", value, sizeof(value), nullptr, path.c_str()), 1)
      << "file now holds \"" << testsupport::read_file(path) << "\"";
  EXPECT_STREQ(value, "v");
}

// A valid data packet cut by the network after its first 4 bytes, so that the next read
// is exactly 23 bytes starting with the version bytes '<' 'p': those bytes continue the
// packet and must not be taken for a policy request.
TEST(FuzzRegress, PacketContinuationOf23BytesStartingLessThanPIsNoPolicyRequest) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ, '<', 'p');
  p.WriteInt(41);
  p.WriteString("{\"cmd\":1,\"text\":\"split by the network\"}");
  p.End();
  CEncryptDecrypt().EncryptBuffer(&p);
  const std::string pkt(p.packet_buf(), static_cast<size_t>(p.packet_size()));
  ASSERT_GT(pkt.size(), 27u);
  const std::string input = rd(pkt.substr(0, 4)) + rd(pkt.substr(4, 23)) + rd(pkt.substr(27));
  hallfuzz::client_stream_one(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}
