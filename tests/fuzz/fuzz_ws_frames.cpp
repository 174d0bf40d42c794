// libFuzzer entry of the WebSocket frame driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::ws_frames_one(data, size); }
