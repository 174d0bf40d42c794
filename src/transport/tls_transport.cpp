#include "transport/tls_transport.h"

#include <errno.h>
#include <limits.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <new>
#include <sys/stat.h>

#include "log.h"
#include "timestamp.h"

namespace hall_transport {

namespace {

// OpenSSL's error queue must be empty before an I/O call whose failure SSL_get_error
// reads. Emptying it costs a walk over its slots on every call: it is only emptied
// when it holds something.
void clear_errors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

// The pair new connections get, and what its files looked like when last read.
struct TTlsPair {
  SSL_CTX* ctx = nullptr;
  std::string cert;
  std::string key;
  std::string stamp;
  int64_t looked_at = 0;
};
TTlsPair g_pair;

// OpenSSL's queued errors as one line (and the queue emptied).
std::string ssl_errors() {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char text[256];
    ERR_error_string_n(e, text, sizeof(text));
    if (!out.empty()) out += "; ";
    out += text;
  }
  return out.empty() ? "unknown error" : out;
}

// Identity and change time of both files: a rewrite or a rename onto the path changes it.
std::string file_stamp(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path + ":missing";
  return path + ":" + std::to_string(st.st_dev) + "/" + std::to_string(st.st_ino) + "/" + std::to_string(st.st_size) +
         "/" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

std::string tls_pair_stamp(const std::string& cert, const std::string& key) {
  return file_stamp(cert) + "|" + file_stamp(key);
}

SSL_CTX* load_tls_pair(const std::string& cert, const std::string& key, std::string* why) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *why = "cannot make a TLS context: " + ssl_errors();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // No renegotiation (a client could make the server spend a handshake at will), a
  // peer that closes without close_notify ends the stream like TCP's end does.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Partial writes and a moving buffer: the connection retries a write from its queue,
  // which starts with the same bytes at another address. The record buffers (about 17 KB
  // each way) go back as soon as they hold nothing: an idle player holds none, and the
  // buffer one player gave back is the one the next takes, still in the cache. Kept
  // while a player was active instead, 1,000 players' buffers spread the records over
  // 34 MB that no cache holds (a quarter more CPU per round trip), and freed together
  // once the players went idle they left holes between the sessions' state that kept
  // 3 KB per idle player resident.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Modern AEAD suites with forward secrecy only. AES-128-GCM first: a TLS 1.3 session
  // then keeps a SHA-256 state instead of SHA-384 (about 200 B less per idle player) and
  // seals its records in fewer rounds; clients without AES in hardware may still get
  // ChaCha20-Poly1305, and AES-256-GCM stays on offer.
  if (SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384") !=
          1 ||
      SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20") != 1) {
    *why = "cannot set the TLS cipher suites: " + ssl_errors();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // Resumption by tickets only: no per-session memory on the server.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 1);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
    *why = "TlsCert \"" + cert + "\" does not load: " + ssl_errors();
  } else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    // A key that loads but belongs to another certificate fails here already.
    const unsigned long e = ERR_peek_error();
    const bool other = ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH;
    *why = "TlsKey \"" + key + (other ? "\" does not match TlsCert \"" + cert + "\": " : "\" does not load: ") +
           ssl_errors();
  } else if (SSL_CTX_check_private_key(ctx) != 1) {
    *why = "TlsKey \"" + key + "\" does not match TlsCert \"" + cert + "\": " + ssl_errors();
  } else {
    return ctx;
  }
  SSL_CTX_free(ctx);
  return nullptr;
}

void tls_setup(SSL_CTX* ctx, const std::string& cert, const std::string& key, const std::string& stamp) {
  SSL_CTX_up_ref(ctx);
  tls_teardown();
  g_pair.ctx = ctx;
  g_pair.cert = cert;
  g_pair.key = key;
  g_pair.stamp = stamp;
  g_pair.looked_at = GET_TIMESTAMP();
}

void tls_teardown() {
  SSL_CTX_free(g_pair.ctx);
  g_pair.ctx = nullptr;
}

void tls_reload_if_changed() {
  if (g_pair.ctx == nullptr) return;
  g_pair.looked_at = GET_TIMESTAMP();
  const std::string stamp = tls_pair_stamp(g_pair.cert, g_pair.key);
  if (stamp == g_pair.stamp) return;
  // Recorded before loading: a bad pair is reported once, not at every look.
  g_pair.stamp = stamp;
  std::string why;
  SSL_CTX* ctx = load_tls_pair(g_pair.cert, g_pair.key, &why);
  if (ctx == nullptr) {
    log_error("TLS certificate pair changed but cannot be used, the previous one stays: %s", why.c_str());
    return;
  }
  SSL_CTX_free(g_pair.ctx);
  g_pair.ctx = ctx;
  log_boot("TLS certificate pair reloaded from %s and %s for new connections", g_pair.cert.c_str(), g_pair.key.c_str());
}

// The socket below TLS, as a BIO of the gateway's own: recv/send with MSG_NOSIGNAL, as
// the TCP transport uses. OpenSSL's socket BIO (SSL_set_fd) would do, but it takes every
// record through read()/write() and the generic descriptor layers, and learning whether
// a read filled OpenSSL's buffer took a callback that ran on each of its calls, writes
// and controls included (about a tenth of the CPU of a TLS round trip together).
namespace {

CTlsTransport* owner(BIO* bio) { return static_cast<CTlsTransport*>(BIO_get_data(bio)); }

}  // namespace

BIO_METHOD* CTlsTransport::socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "hall socket");
    if (m == nullptr || BIO_meth_set_read_ex(m, &CTlsTransport::socket_read) != 1 ||
        BIO_meth_set_write_ex(m, &CTlsTransport::socket_write) != 1 ||
        BIO_meth_set_ctrl(m, &CTlsTransport::socket_ctrl) != 1) {
      BIO_meth_free(m);
      return static_cast<BIO_METHOD*>(nullptr);
    }
    return m;
  }();
  return method;
}

int CTlsTransport::socket_read(BIO* bio, char* buf, size_t len, size_t* got) {
  CTlsTransport* t = owner(bio);
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(t->_fd, buf, len, 0);
  t->_filled = n > 0 && static_cast<size_t>(n) == len;
  if (n > 0) {
    *got = static_cast<size_t>(n);
    return 1;
  }
  *got = 0;
  if (n == 0)
    t->_socket_eof = true;
  else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    BIO_set_retry_read(bio);
  return 0;
}

int CTlsTransport::socket_write(BIO* bio, const char* buf, size_t len, size_t* put) {
  CTlsTransport* t = owner(bio);
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(t->_fd, buf, len, MSG_NOSIGNAL);
  if (n >= 0) {
    *put = static_cast<size_t>(n);
    return 1;
  }
  *put = 0;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
  return 0;
}

long CTlsTransport::socket_ctrl(BIO* bio, int cmd, long, void* ptr) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:  // every write went to the socket already
      return 1;
    case BIO_CTRL_EOF:  // tells the end of the stream from a failed read
      return owner(bio)->_socket_eof ? 1 : 0;
    case BIO_C_GET_FD:
      if (ptr != nullptr) *static_cast<int*>(ptr) = owner(bio)->_fd;
      return owner(bio)->_fd;
    default:  // nothing pending, no kernel TLS, no datagrams
      return 0;
  }
}

CTlsTransport* CTlsTransport::Create(int fd) {
  tls_reload_if_changed();
  if (g_pair.ctx == nullptr) {
    log_error("no TLS context for fd[%d]", fd);
    return nullptr;
  }
  BIO_METHOD* method = socket_method();
  SSL* ssl = SSL_new(g_pair.ctx);
  BIO* bio = method != nullptr && ssl != nullptr ? BIO_new(method) : nullptr;
  CTlsTransport* t = bio != nullptr ? new (std::nothrow)
                                          CTlsTransport(ssl, fd, GET_TIMESTAMP() + transport_settings().handshakeMicros)
                                    : nullptr;
  if (t == nullptr) {
    log_error("cannot start TLS on fd[%d]: %s", fd, ssl_errors().c_str());
    BIO_free(bio);
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(bio, t);
  BIO_set_init(bio, 1);
  // One BIO both ways: the SSL takes its one reference.
  SSL_set_bio(ssl, bio, bio);
  SSL_set_accept_state(ssl);
  return t;
}

CTlsTransport::~CTlsTransport() {
  // A handshake that never ended: out of time, or given up by the peer.
  if (!_counted) count(GET_TIMESTAMP() >= _deadline ? TLS_TIMEOUT : TLS_FAILED);
  SSL_free(_ssl);
}

void CTlsTransport::count(TTlsResult result) {
  if (_counted) return;
  _counted = true;
  ++g_transport_stats.tls_handshakes[result];
}

int CTlsTransport::handshake() {
  if (_established) return 1;
  if (_fatal) return -1;
  if (GET_TIMESTAMP() > _deadline) {
    log_warning("TLS handshake of fd[%d] not done in time", _fd);
    count(TLS_TIMEOUT);
    _fatal = true;
    return -1;
  }
  ERR_clear_error();
  const int r = SSL_do_handshake(_ssl);
  const int saved = errno;
  _want_write = false;
  if (r == 1) {
    _established = true;
    count(TLS_OK);
    // Read-ahead: one read() takes as much of the socket as the record buffer holds,
    // not a record's header and then its body (two calls per record). What it takes
    // beyond one record stays in OpenSSL, where the kernel no longer reports it: see
    // input_pending(). Only from here on, so that no data a client sends behind its
    // last handshake message is taken off the socket by a handshake step that a write
    // made, when nobody would read it.
    SSL_set_read_ahead(_ssl, 1);
    return 1;
  }
  switch (SSL_get_error(_ssl, r)) {
    case SSL_ERROR_WANT_READ:
      return 0;
    case SSL_ERROR_WANT_WRITE:
      _want_write = true;
      return 0;
    default:
      // What a peer sends is no fault of the gateway's: warning level.
      log_warning("TLS handshake of fd[%d] failed: %s (errno %d)", _fd, ssl_errors().c_str(), saved);
      count(TLS_FAILED);
      _fatal = true;
      return -1;
  }
}

ssize_t CTlsTransport::read(char* buf, size_t len) {
  const int h = handshake();
  if (h <= 0) {
    errno = h == 0 ? EAGAIN : EPROTO;
    return -1;
  }
  if (_peer_closed) return 0;
  _deferred = false;
  // SSL_read gives one record at a time: the records read ahead are handed out together,
  // as far as buf takes them, like one recv of a plain socket would.
  size_t got = 0;
  for (;;) {
    const size_t want = len - got;
    clear_errors();
    const int n = SSL_read(_ssl, buf + got, want > INT_MAX ? INT_MAX : static_cast<int>(want));
    const int saved = errno;
    if (n > 0) {
      got += static_cast<size_t>(n);
      _starved = false;
      if (got < len && SSL_has_pending(_ssl) == 1) continue;
      return static_cast<ssize_t>(got);
    }
    const int error = SSL_get_error(_ssl, n);
    // OpenSSL asked the socket and it had nothing: what it holds is part of a record.
    if (error == SSL_ERROR_WANT_READ) _starved = true;
    if (error == SSL_ERROR_WANT_WRITE) _want_write = true;
    if (got > 0) {
      // The bytes go first. An end or a failure is met again by the next read, which
      // input_pending() asks for.
      _deferred = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
      ERR_clear_error();
      return static_cast<ssize_t>(got);
    }
    switch (error) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        errno = EAGAIN;
        return -1;
      case SSL_ERROR_ZERO_RETURN:
        _peer_closed = true;
        return 0;
      case SSL_ERROR_SYSCALL:
        _fatal = true;
        errno = saved != 0 ? saved : ECONNRESET;
        return -1;
      default:
        log_warning("TLS read of fd[%d] failed: %s", _fd, ssl_errors().c_str());
        _fatal = true;
        errno = EPROTO;
        return -1;
    }
  }
}

ssize_t CTlsTransport::write(const char* buf, size_t len) {
  const int h = handshake();
  if (h <= 0) {
    errno = h == 0 ? EAGAIN : EPIPE;
    return -1;
  }
  clear_errors();
  const int n = SSL_write(_ssl, buf, len > INT_MAX ? INT_MAX : static_cast<int>(len));
  const int saved = errno;
  if (n > 0) {
    _want_write = false;
    return n;
  }
  switch (SSL_get_error(_ssl, n)) {
    case SSL_ERROR_WANT_WRITE:
    case SSL_ERROR_WANT_READ:
      errno = EAGAIN;
      return -1;
    default:
      _fatal = true;
      errno = saved != 0 ? saved : EPIPE;
      ERR_clear_error();
      return -1;
  }
}

int CTlsTransport::flush() {
  if (_fatal) return -1;
  if (!_established) return handshake() < 0 ? -1 : 0;
  // Only a read that wanted to write ends up here: the next read retries it.
  _want_write = false;
  return 0;
}

bool CTlsTransport::input_pending() const {
  // Read-ahead bytes count while they may hold a whole record: once OpenSSL found the
  // socket empty behind them they are part of one, and the kernel reports the rest.
  return _established && !_fatal && (_deferred || SSL_pending(_ssl) > 0 || (!_starved && SSL_has_pending(_ssl) == 1));
}

void CTlsTransport::goodbye() {
  if (!_established || _fatal || _peer_closed) return;
  // One try, not waited for: the descriptor closes right after.
  ERR_clear_error();
  SSL_shutdown(_ssl);
  ERR_clear_error();
}

}  // namespace hall_transport
