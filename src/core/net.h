// CNet: static helpers that create ready-to-use TCP sockets and report their set-up
// through the process log. The caller owns every descriptor they return or leave behind.
#ifndef HALL_CORE_NET_H
#define HALL_CORE_NET_H

#include <netinet/in.h>

#include <vector>

class CNet {
 public:
  // The address tcp_bind listens on for `addr` (see there). False when it names none.
  static bool listen_address(const char* addr, struct in_addr* out);
  // The address tcp_connect connects to: a dotted IPv4 address. False for anything else.
  static bool connect_address(const char* address, struct in_addr* out);

  // A listening IPv4 socket on `addr`:`port`, left blocking, with SO_REUSEADDR,
  // TCP_NODELAY and a 60-second TCP_DEFER_ACCEPT. `addr` is a dotted IPv4 address or "*"
  // (any address); text from the first colon on is ignored. Returns the descriptor, or -1
  // (every outcome is logged at level -1, so also on standard error).
  // A listening socket of the same address and port handed down by the process this one
  // takes over from (inherit_listening) is taken instead of binding a new one.
  static int tcp_bind(const char* addr, unsigned short port, int backlog);

  // The listening sockets tcp_bind made or took and that are still open, by the address
  // (network byte order) and port they listen on. A live upgrade hands them down.
  struct TListening {
    uint32_t addr;
    unsigned short port;
    int fd;
  };
  static const std::vector<TListening>& listening();
  // A listening socket closes: it is no longer handed down.
  static void forget_listening(int fd);
  // A listening socket inherited from the process this one takes over from, for tcp_bind.
  static void inherit_listening(uint32_t addr, unsigned short port, int fd);
  // Closes the inherited listening sockets that no tcp_bind took: the new configuration
  // no longer listens there. Returns how many.
  static int close_unused_inherited();

  // Starts connecting a new non-blocking IPv4 socket (TCP_NODELAY) to `address`:`port`
  // without waiting: 0 connected at once, 1 while the handshake runs (the socket turns
  // writable when it ends; connect_result tells how), -1 failed, -2 no socket could be
  // made. After any failure but -2 the socket stays open in *netfd for the caller.
  static int tcp_connect_start(int* netfd, const char* address, int port);
  // How the connect started on `fd` ended: 0 connected, 1 still in progress, -1 failed
  // (logged; a connection that met itself included).
  static int connect_result(int fd, const char* address, int port);
  // tcp_connect_start, then a wait of at most `timeout` milliseconds for the handshake
  // (start-up only, never the serving loop); a negative time-out counts as 0 and `block`
  // has no effect. 0 connected, -1 failed (a connection that met itself included), -2 no
  // socket could be made. After any failure but -2 the socket stays open in *netfd.
  static int tcp_connect(int* netfd, const char* address, int port, int block, int timeout);

  // Whether the connected socket `fd` reached itself. A connect to a port of this host on
  // which nothing listens may take that very port as its source and meet itself (TCP's
  // simultaneous open): such a link carries nothing to anyone, and holds the port that
  // the server it was meant for would listen on.
  static bool connected_to_itself(int fd);

  // Bytes received on socket `fd` and not yet read; 0 when there are none or the socket
  // cannot tell. A connection the peer has reset still holds what came before the reset.
  static int unread_bytes(int fd);
  // Bytes written to socket `fd` that the peer has not acknowledged yet (unsent, or sent
  // and not acknowledged); 0 when there are none or the socket cannot tell. A close while
  // the socket holds unread input resets the connection, which throws these away.
  static int unacked_bytes(int fd);
};

#endif
