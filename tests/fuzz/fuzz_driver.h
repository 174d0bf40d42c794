// Drivers of the fuzz targets. Each takes one input, runs it through one reader of the
// project and checks the guarantees that reader gives; a broken guarantee aborts with a
// message, which libFuzzer reports as a finding. The libFuzzer programs (fuzz_*.cpp)
// and the replay tests of tests/fuzz_regress call the same drivers, so a saved input
// replays exactly the path that failed.
#ifndef HALL_TESTS_FUZZ_DRIVER_H
#define HALL_TESTS_FUZZ_DRIVER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#define FUZZ_CHECK(cond, ...)                                                         \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                                   \
      fputc('\n', stderr);                                                            \
      hallfuzz::remove_scratch();                                                     \
      abort();                                                                        \
    }                                                                                 \
  } while (0)

namespace hallfuzz {

// Scratch files and directories of this process, removed at exit and before a failed
// check aborts.
inline std::vector<std::string>& scratch_paths() {
  static std::vector<std::string> paths;
  return paths;
}
inline void remove_scratch() {
  for (const std::string& p : scratch_paths()) {
    const std::string cmd = "rm -rf '" + p + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", p.c_str());
  }
  scratch_paths().clear();
}
inline void add_scratch(const std::string& path) {
  if (scratch_paths().empty()) atexit(remove_scratch);
  scratch_paths().push_back(path);
}

// One received packet read field by field in an order the input picks.
int packet_one(const uint8_t* data, size_t size);
// The XML reader over one document, walked whole.
int markup_one(const uint8_t* data, size_t size);
// The INI reader and writer over one file and one section/key/value.
int ini_one(const uint8_t* data, size_t size);
// What one client sends, in reads, through a real client connection of the gateway.
int client_stream_one(const uint8_t* data, size_t size);
// What one logic server sends, in reads, through a real helper connection.
int logic_stream_one(const uint8_t* data, size_t size);
// The order-sync client's check of one popped order, and the packet of an order it passes.
int order_one(const uint8_t* data, size_t size);
// The metrics endpoint's reader of one request head.
int stats_request_one(const uint8_t* data, size_t size);
// The token reader and the gateway's token check over one text, or the key-file reader.
int token_one(const uint8_t* data, size_t size);
// The PROXY protocol header reader over one stream, whole and in pieces.
int proxy_header_one(const uint8_t* data, size_t size);
// The WebSocket handshake reader over one request head.
int ws_head_one(const uint8_t* data, size_t size);
// What one WebSocket client sends after its handshake, in reads, through the transport.
int ws_frames_one(const uint8_t* data, size_t size);

// Cuts an input into reads: each is a 2-byte big-endian length L followed by L bytes
// (fewer at the end of the input). A read of length 0 stands for the peer shutting
// down its sending side.
class ReadSplitter {
 public:
  ReadSplitter(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  // False when the input is used up; otherwise the next read in *chunk / *len.
  bool next(const uint8_t** chunk, size_t* len) {
    if (left_ < 2) return false;
    size_t want = (static_cast<size_t>(p_[0]) << 8) | p_[1];
    p_ += 2;
    left_ -= 2;
    if (want > left_) want = left_;
    *chunk = p_;
    *len = want;
    p_ += want;
    left_ -= want;
    return true;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

}  // namespace hallfuzz

#endif
