// libFuzzer entry of the logic_stream driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return hallfuzz::logic_stream_one(data, size);
}
