// Stages of a connection (client or helper) and read states of a client connection.
#ifndef HALL_PROXY_CONN_STATE_H
#define HALL_PROXY_CONN_STATE_H

namespace __http_svr_ns__ {

enum CConnState {
  CONN_IDLE = 0,
  CONN_FATAL_ERROR = 1,
  CONN_DATA_ERROR = 2,
  CONN_CONNECTING = 3,
  CONN_DISCONNECT = 4,
  CONN_CONNECTED = 5,
  CONN_DATA_SENDING = 6,
  CONN_DATA_RECVING = 7,
  CONN_SEND_DONE = 8,
  CONN_RECV_DONE = 9,
  CONN_APPEND_SENDING = 10,
  CONN_APPEND_DONE = 11,
};

enum TDecodeStatus {
  DECODE_FATAL_ERROR = 0,
  DECODE_DATA_ERROR = 1,
  DECODE_WAIT_HEAD = 2,
  DECODE_WAIT_CONTENT = 3,
  DECODE_HEAD_DONE = 4,
  DECODE_CONTENT_DONE = 5,
  DECODE_DONE = 6,
  DECODE_DISCONNECT_BY_USER = 7,
};

}  // namespace __http_svr_ns__

#endif
