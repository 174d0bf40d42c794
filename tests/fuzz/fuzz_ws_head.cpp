// libFuzzer entry of the WebSocket handshake driver (see fuzz_driver.h).
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return hallfuzz::ws_head_one(data, size); }
