// Fire-and-forget UDP reporter: one text line per datagram to the collector, for the
// periodic user count and for each departing client. No queue, no retry, no answer.
// One instance per process (LogFile), created at start-up only when the UDP switch is
// on, never deleted; LogFile stays null otherwise. Used on the loop thread only.
#ifndef HALL_PROXY_WATCHDOG_H
#define HALL_PROXY_WATCHDOG_H

#include <netinet/in.h>

#include <string>

#include "noncopyable.h"

namespace __http_svr_ns__ {

class Watchdog : private noncopyable {
 public:
  // Report line codes.
  static const int kHallUserCount = 2307;
  static const int kUserLeaveHall = 2306;

  Watchdog(std::string host, int port);
  ~Watchdog();  // closes the socket

  // Opens the UDP socket and resolves the collector (a dotted address or a host
  // name). 0 on success; -1 with the reason on standard output and no socket.
  int init();

  // Sends len bytes as one datagram. 0 on success; -1 on failure, which is written to
  // the rolling error log.
  int write(const char* data, int len);

  // "2307#<seconds>#<ip>:<port>#<count>\r\n". Always 0; a failed send is logged.
  int writeHallUserCount(int count, const std::string& ip, int port);
  // "2306#<seconds>#<uid>#<ip>:<port>\r\n". Always 0; a failed send is logged.
  int writeUserLeaveHall(int uid, std::string ip, int port);

  int fd() const { return _fd; }

 private:
  std::string _host;
  int _port;
  int _fd;  // -1 when there is no socket
  struct sockaddr_in _server_addr;
  int _server_addr_len;
};

extern Watchdog* LogFile;

}  // namespace __http_svr_ns__

#endif
