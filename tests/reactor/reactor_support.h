// Shared by the reactor tests: a process log in a private directory, so that tests can
// look for the lines the poller and the timer lists write.
#ifndef HALL_TESTS_REACTOR_SUPPORT_H
#define HALL_TESTS_REACTOR_SUPPORT_H

#include <string>

namespace reactortest {

// Points the process log at a directory private to this test program (once) and
// returns everything written to it since the last call.
std::string take_log();

}  // namespace reactortest

#endif
