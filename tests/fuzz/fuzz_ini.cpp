// libFuzzer entry of the ini driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::ini_one(data, size); }
