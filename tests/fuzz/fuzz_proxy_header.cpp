// libFuzzer entry of the PROXY header driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return hallfuzz::proxy_header_one(data, size);
}
