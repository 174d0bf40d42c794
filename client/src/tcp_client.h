// The order-sync client's TCP connection to the gateway. Owns its socket (closed by
// Close() and by the destructor). Reads and writes never block: Send waits for room with
// a time-out, so a gateway that stops reading cannot stall the client for ever, and gives
// up at once when cancel (when set) returns true. One thread.
#ifndef ORDER_SYNC_TCP_CLIENT_H
#define ORDER_SYNC_TCP_CLIENT_H

#include <cstdint>
#include <functional>
#include <string>

#include "noncopyable.h"

class CTcpClient : private noncopyable {
 public:
  CTcpClient(const std::string& host, unsigned short port, int connect_timeout_ms = 3000, int send_timeout_ms = 5000);
  ~CTcpClient();

  // Closes any open socket and connects again to host_:port_ within the connect time-out,
  // giving up at once when cancel (when set) returns true.
  // 0 on success (IsConnected becomes true), -1 on failure (socketfd_ is then -1).
  int Reconnect();

  // Closes the socket; safe to call twice. Does not touch IsConnected. The close is
  // announced first and what the gateway sends is dropped until it closes too (at most
  // close_wait_ms), so that the close does not reset the connection and what the socket
  // took is still delivered.
  void Close();

  // Reads and throws away whatever the gateway sent (answers meant for this client id are
  // of no use here), without blocking. Returns 0 when the peer has closed the connection
  // or it failed, else 1. The byte count read goes to *discarded when given.
  int check(int* discarded = nullptr);

  // Writes the whole buffer. Returns len, or 0 on failure (no socket, peer gone, the send
  // time-out passed without the socket taking a byte, or cancel said so). The count of
  // bytes the socket took goes to *accepted when given, on failure too.
  int Send(const char* data, int len, int* accepted = nullptr);

  int socketfd_;
  std::string host_;
  unsigned short port_;
  bool IsConnected;
  uint32_t event;  // epoll mask used when the connection is attached to a poller
  bool (*cancel)();
  int close_wait_ms;  // how long Close waits for the gateway to close too (500 ms)
  // When set, the bytes it gives are written first on every new connection (the token
  // packet), and the gateway's first packet is handed to greeting_answer, which accepts
  // the connection or not. An empty greeting, no answer within the connect time-out or a
  // refusal fails the connect: nothing is written into a connection the gateway is about
  // to close.
  std::function<std::string()> greeting;
  std::function<bool(const std::string& packet)> greeting_answer;

 private:
  // Reads one whole packet within the connect time-out; false on close, time-out or cancel.
  bool read_packet(std::string* out);

  int connect_timeout_ms_;
  int send_timeout_ms_;
};

typedef CTcpClient tcp_client_t;

#endif
