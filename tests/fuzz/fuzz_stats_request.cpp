// libFuzzer entry of the stats request driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return hallfuzz::stats_request_one(data, size);
}
