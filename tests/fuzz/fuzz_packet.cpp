// libFuzzer entry of the packet driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::packet_one(data, size); }
