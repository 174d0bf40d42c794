// The fuzz drivers of tests/fuzz, compiled into this test program so that the replay
// tests run exactly the code the fuzzers run.
#include "../fuzz/client_stream_driver.cpp"
#include "../fuzz/gateway_rig.cpp"
#include "../fuzz/ini_driver.cpp"
#include "../fuzz/logic_stream_driver.cpp"
#include "../fuzz/markup_driver.cpp"
#include "../fuzz/order_driver.cpp"
#include "../fuzz/packet_driver.cpp"
