// Live upgrade: a running gateway hands its players to a new binary without a break.
//
// On SIGUSR2 the running gateway (the old process) starts the binary at its own path
// (resolved at start-up, or `-u PATH`) with the same command line, an inherited Unix
// socket (HALL_UPGRADE_FD) and its listening sockets (HALL_UPGRADE_LISTEN: passed at exec,
// so that the new process's start-up takes them where it would bind). The new process
// reads its configuration, connects its logic links and Redis, and says it is ready. The
// old one then stops reading its clients and sends every client connection it can (plain
// TCP) over the socket, with SCM_RIGHTS and a versioned state record each (see
// hand_over.h), and waits for the new process to take them. From then on it serves
// nothing: results its logic links still bring for those clients go over the socket to
// the new process; once they have written what the clients sent it half-closes them, and
// it leaves when their servers have closed them (each answers what it read first), without
// close notices and without touching the Redis registration. TLS and WebSocket
// connections stay with the old process until they leave (DrainTimeout at most).
//
// Whatever fails before the new process has taken the connections (no binary, a bad
// configuration, no ready in time, a state format it cannot read, no descriptor room)
// leaves the old process serving as if nothing happened; the reason is logged at level 3
// and counted in hall_upgrades_total{result}. Runs on the loop thread only.
#ifndef HALL_UPGRADE_UPGRADE_H
#define HALL_UPGRADE_UPGRADE_H

#include <stdint.h>

namespace hall_upgrade {

// First thing in main: keeps the command line, resolves the binary a later upgrade
// starts, installs the SIGUSR2 handler, and when this process was started to take over
// from a running gateway, takes the listening sockets it handed down.
void note_start(int argc, char** argv);

// This process was started by a running gateway to take over from it.
bool successor();

// The successor, once its start-up is over (configuration read, logic links and Redis
// connected): says ready, takes the connections over and tells the service manager its
// pid. 0 when it serves them; -1 when the hand-over did not happen (the old process
// serves on; this one must exit at once, without touching the sockets it received).
int take_over();

// The running gateway's part, once a loop turn (CIncoming::set_turn_hook): starts an
// upgrade asked for with SIGUSR2 and moves it on. True once the connections have been
// handed over and this process may end.
bool on_turn(int64_t now_us);

}  // namespace hall_upgrade

#endif
