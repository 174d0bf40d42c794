// A private MariaDB server for tests: a fresh data directory made by mariadb-install-db
// under a temporary directory, and mariadbd on a free 127.0.0.1 port with its own socket.
// The user root@127.0.0.1 has no password. stop() (or the destructor) ends the server and
// removes the directory. Start-up takes a few seconds; share one server per test suite.
#ifndef HALL_TESTS_MARIADB_SERVER_H
#define HALL_TESTS_MARIADB_SERVER_H

#include <string>

#include "test_support.h"

namespace testsupport {

class MariaDbServer {
 public:
  MariaDbServer() = default;
  ~MariaDbServer() { stop(); }
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  // Installs the data directory and starts the server; true once it accepts
  // connections. On failure, error() says why.
  bool start();
  void stop();
  bool running();

  int port() const { return port_; }
  const std::string& socket_path() const { return socket_; }
  const std::string& error() const { return error_; }

 private:
  TempDir* dir_ = nullptr;
  Process proc_;
  int port_ = 0;
  std::string socket_;
  std::string error_;
};

}  // namespace testsupport

#endif
