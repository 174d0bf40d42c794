// libFuzzer entry of the markup driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::markup_one(data, size); }
