#include "mariadb_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace testsupport {

namespace {

std::string find_program(const std::vector<std::string>& candidates) {
  for (const auto& c : candidates)
    if (access(c.c_str(), X_OK) == 0) return c;
  return "";
}

}  // namespace

bool MariaDbServer::start() {
  stop();
  error_.clear();
  std::string install = find_program({"/usr/bin/mariadb-install-db", "/usr/bin/mysql_install_db"});
  std::string server = find_program({"/usr/sbin/mariadbd", "/usr/sbin/mysqld"});
  if (install.empty() || server.empty()) {
    error_ = "mariadb-install-db or mariadbd not found";
    return false;
  }
  dir_ = new TempDir();
  std::string data = dir_->file("data");
  socket_ = dir_->file("mysql.sock");
  bool as_root = geteuid() == 0;

  // Options shared by the installer (which passes them on to its bootstrap server) and
  // the server itself: small buffers and logs, and a private temporary directory, since
  // a starting server deletes the temporary tables it finds there, including those of
  // another server that is bootstrapping at the same time.
  std::string tmp = dir_->file("tmp");
  mkdir(tmp.c_str(), 0700);
  std::vector<std::string> common = {"--innodb-buffer-pool-size=16M", "--innodb-log-file-size=8M", "--tmpdir=" + tmp};
  std::vector<std::string> argv = {
      install,          "--no-defaults",      "--datadir=" + data, "--auth-root-authentication-method=normal",
      "--skip-test-db", "--skip-name-resolve"};
  if (as_root) argv.push_back("--user=root");
  argv.insert(argv.end(), common.begin(), common.end());
  std::string output;
  int st = run_program(argv, dir_->path(), 120000, &output);
  if (st != 0) {
    // The bootstrap server's own complaint is in the output or in an .err file.
    error_ = "mariadb-install-db failed (status " + std::to_string(st) + "): " + output;
    run_program({"/bin/sh", "-c", "cat " + data + "/*.err 2>/dev/null | tail -20"}, "", 5000, &output);
    error_ += output;
    return false;
  }

  port_ = free_port();
  argv = {server,
          "--no-defaults",
          "--datadir=" + data,
          "--port=" + std::to_string(port_),
          "--bind-address=127.0.0.1",
          "--socket=" + socket_,
          "--pid-file=" + dir_->file("mysqld.pid"),
          "--log-error=" + dir_->file("error.log"),
          "--skip-name-resolve",
          "--skip-log-bin"};
  if (as_root) argv.push_back("--user=root");
  argv.insert(argv.end(), common.begin(), common.end());
  if (!proc_.start(argv, dir_->path(), dir_->file("mysqld.out"), dir_->file("mysqld.out"))) {
    error_ = "cannot start mariadbd";
    return false;
  }
  if (!wait_until([&] { return port_open(port_) || !proc_.running(); }, 60000) || !proc_.running()) {
    error_ = "mariadbd did not start: " + read_file(dir_->file("error.log"));
    proc_.stop(SIGKILL, 5000);
    return false;
  }
  return true;
}

bool MariaDbServer::running() { return proc_.running(); }

void MariaDbServer::stop() {
  // A clean shutdown is quick on a fresh data directory; Process::stop kills it if not.
  if (proc_.running()) proc_.stop(SIGTERM, 30000);
  delete dir_;
  dir_ = nullptr;
}

}  // namespace testsupport
