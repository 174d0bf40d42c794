// The relay harness of tests/integration (packets, sample logic servers, clients),
// compiled into this program as well so that both programs drive the gateway alike.
#include "../integration/relay_harness.cpp"
