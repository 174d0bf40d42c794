// CTlsTransport: TLS 1.2/1.3 over a client's socket with OpenSSL, non-blocking on the
// gateway's loop: the handshake advances on every read or write the connection makes
// and ends within TTransportSettings::handshakeMicros of the accept. OpenSSL's record
// buffers (about 17 KB each way) go back whenever they hold nothing
// (SSL_MODE_RELEASE_BUFFERS), so an idle TLS player holds none. Once the handshake is
// done OpenSSL reads ahead, one read of the socket for what it holds; what it keeps of
// it input_pending() reports. OpenSSL reads and writes the descriptor itself, through a
// socket BIO of the gateway's own: a layer below TLS takes its bytes off the socket
// before the first handshake step. Owned by the client unit (directly, or through the
// WebSocket transport above it). Runs on the loop thread only.
//
// The certificate pair lives in one SSL_CTX for new connections (tls_setup, with the pair
// the configuration reading loaded). Its files are looked at again for every new TLS
// connection and once a minute (tls_reload_if_changed): a changed pair that loads and
// matches serves the following connections, while those already made keep theirs (each SSL holds its context); a
// bad new pair keeps the old one and is logged once at level 3.
#ifndef HALL_TRANSPORT_TLS_TRANSPORT_H
#define HALL_TRANSPORT_TLS_TRANSPORT_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <string>

#include "transport/transport.h"

namespace hall_transport {

// A server context of the pair `cert` (PEM chain) and `key` (PEM); null, with the
// reason in *why, when a file does not load or the key does not match the certificate.
SSL_CTX* load_tls_pair(const std::string& cert, const std::string& key, std::string* why);
// What the pair's files look like now (identity, size, change time): taken before they
// are loaded, it tells tls_reload_if_changed whether they changed since.
std::string tls_pair_stamp(const std::string& cert, const std::string& key);
// Start-up: new connections get `ctx`, the pair loaded from `cert` and `key` when their
// files looked like `stamp` (the function takes a reference of its own to `ctx`).
void tls_setup(SSL_CTX* ctx, const std::string& cert, const std::string& key, const std::string& stamp);
// Frees the context (connections still open keep theirs).
void tls_teardown();
// Looks at the pair's files and takes a changed pair that loads (see above).
void tls_reload_if_changed();

class CTlsTransport : public CTransport {
 public:
  // The transport of an accepted descriptor; null when there is no context or no memory.
  static CTlsTransport* Create(int fd);
  ~CTlsTransport() override;

  ssize_t read(char* buf, size_t len) override;
  ssize_t write(const char* buf, size_t len) override;
  bool output_pending() const override { return _want_write && !_fatal; }
  int flush() override;
  bool input_pending() const override;
  bool read_filled() const override { return _filled; }
  bool established() const override { return _established; }
  void goodbye() override;

 private:
  CTlsTransport(SSL* ssl, int fd, int64_t deadline) : _ssl(ssl), _fd(fd), _deadline(deadline) {}
  // 1 once the handshake is done, 0 while it waits for the socket, -1 when it failed
  // or ran out of time.
  int handshake();
  void count(TTlsResult result);
  // The socket BIO below the SSL (see the .cpp): one method for all connections, each
  // BIO's data its transport.
  static BIO_METHOD* socket_method();
  static int socket_read(BIO* bio, char* buf, size_t len, size_t* got);
  static int socket_write(BIO* bio, const char* buf, size_t len, size_t* put);
  static long socket_ctrl(BIO* bio, int cmd, long num, void* ptr);

  SSL* _ssl;
  int _fd;
  int64_t _deadline;  // the handshake's end, GET_TIMESTAMP microseconds
  bool _established = false;
  bool _want_write = false;  // the last step waits for writability
  bool _fatal = false;       // an error: no more TLS calls but SSL_free
  bool _peer_closed = false;
  bool _counted = false;     // the handshake's result is in the metrics
  bool _starved = false;     // the last read found the socket empty behind the bytes held
  bool _deferred = false;    // an end or failure met behind handed-out bytes, not yet reported
  bool _filled = false;      // the last read of the socket took all it asked for
  bool _socket_eof = false;  // the socket's read found the end of the stream
};

}  // namespace hall_transport

#endif
