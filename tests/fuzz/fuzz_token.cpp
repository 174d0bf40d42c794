// libFuzzer entry of the token driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::token_one(data, size); }
