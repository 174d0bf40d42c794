#include "gateway_rig.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "EncryptDecrypt.h"
#include "client_unit.h"
#include "decode_unit.h"
#include "fuzz_driver.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "listener.h"
#include "log.h"
#include "mempool.h"
#include "packet_base.h"
#include "poller.h"
#include "process_objects.h"
#include "proxy_module.h"
#include "timerlist.h"
#include "timestamp.h"

using namespace __http_svr_ns__;

namespace hallfuzz {

namespace {

const int kCloseTurns = 64;  // loop turns a connection gets to close after its peer left

int listen_loopback() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0, "socket: %s", strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0, "bind: %s", strerror(errno));
  FUZZ_CHECK(listen(fd, 16) == 0, "listen: %s", strerror(errno));
  return fd;
}

int port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Loopback TCP may hand bytes over after send() has returned (when the kernel defers
// the work under load). Waiting for them keeps every run of an input the same.
const int kArrivalWaitMs = 2000;

// Waits, polling every 0.1 ms, until done() or until kArrivalWaitMs have passed on the
// clock: counting sleeps instead would stretch the wait under load, where each lasts
// longer than asked.
template <class Done>
void wait_for(Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArrivalWaitMs);
  while (!done() && std::chrono::steady_clock::now() < until) usleep(100);
}

// Bytes a TCP socket has written that its peer has not acknowledged yet (0 once every
// byte is in the peer's socket, or when the socket cannot tell).
int unacknowledged(int fd) {
  int n = 0;
  return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

int local_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : -1;
}

int peer_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : -2;
}

// Everything readable now; *closed when the peer has gone.
std::string drain(int fd, bool* closed) {
  std::string got;
  *closed = false;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) *closed = true;
    return got;
  }
}

}  // namespace

void PacketStream::feed(const std::string& bytes) {
  pending_ += bytes;
  size_t off = 0;
  while (pending_.size() - off >= static_cast<size_t>(PACKET_HEADER_SIZE)) {
    const char* p = pending_.data() + off;
    const int length = pkg_length(p);
    FUZZ_CHECK(pkg_flag_ok(p), "%s: packet without \"TQ\"", who_);
    FUZZ_CHECK(length >= PACKET_HEADER_SIZE - 2 && length + 2 <= PACKET_BUFFER_SIZE, "%s: length %d", who_, length);
    const size_t total = static_cast<size_t>(length) + 2;
    if (pending_.size() - off < total) break;
    check_packet(p, total);
    off += total;
    ++packets_;
  }
  pending_.erase(0, off);
}

void PacketStream::finish() {
  FUZZ_CHECK(pending_.empty(), "%s: link ended inside a packet, %zu bytes left", who_, pending_.size());
}

void PacketStream::check_packet(const char* p, size_t n) {
  NETInputPacket pkt;
  FUZZ_CHECK(pkt.Copy(p, static_cast<int>(n)), "%s: packet of %zu bytes", who_, n);
  const unsigned cmd = pkt.GetCmdType();
  CEncryptDecrypt cipher;
  if (to_client_) {
    FUZZ_CHECK(cmd == SERVER_CMD_REP, "%s: command %#x", who_, cmd);
    FUZZ_CHECK(cipher.DecryptBuffer(&pkt) >= 0, "%s: answer with a bad checksum", who_);
    const int status = pkt.ReadInt();
    const int before = pkt.Remaining();
    const std::string text(pkt.ReadString());
    FUZZ_CHECK(status == 0 || status == 1, "%s: status %d", who_, status);
    FUZZ_CHECK(before >= 5 && pkt.Remaining() == 0, "%s: answer body is not int + string", who_);
    FUZZ_CHECK(status == 0 || text.empty(), "%s: failed answer with text", who_);
    answers.emplace_back(status, text);
  } else if (cmd == SERVER_CMD_DATA_FW_REQ) {
    FUZZ_CHECK(cipher.DecryptBuffer(&pkt) >= 0, "%s: forward with a bad checksum", who_);
    const int id = pkt.ReadInt();
    const int before = pkt.Remaining();
    const std::string text(pkt.ReadString());
    FUZZ_CHECK(before >= 5 && pkt.Remaining() == 0, "%s: forward body is not int + string", who_);
    forwards.emplace_back(id, text);
  } else {
    FUZZ_CHECK(cmd == CLIENT_CMD_DATA_REQ, "%s: command %#x", who_, cmd);
    FUZZ_CHECK(pkt.GetCode() == 0 && n == static_cast<size_t>(PACKET_HEADER_SIZE + 8),
               "%s: close notice of %zu bytes, code %u", who_, n, pkt.GetCode());
    const int uid = pkt.ReadInt();
    const int svid = pkt.ReadInt();
    FUZZ_CHECK(uid > 0, "%s: close notice of uid %d", who_, uid);
    notices.emplace_back(uid, svid);
  }
}

GatewayRig& GatewayRig::get() {
  static GatewayRig* rig = new GatewayRig();
  return *rig;
}

GatewayRig::GatewayRig() {
  // Scratch run directory laid out as the gateway expects: bin/ (the working directory
  // while opening) and log/.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  char tmpl[128];
  snprintf(tmpl, sizeof(tmpl), "%s/hall_fuzz_XXXXXX", base);
  FUZZ_CHECK(mkdtemp(tmpl) != nullptr, "mkdtemp: %s", strerror(errno));
  root_ = tmpl;
  add_scratch(root_);
  mkdir((root_ + "/bin").c_str(), 0755);
  mkdir((root_ + "/log").c_str(), 0755);
  init_log("fuzz", (root_ + "/log").c_str(), 2, 1 << 20);
  set_log_level(0);
  // As in the main loop: a turn's lines are kept and written together at the next turn.
  log_defer(true);

  FUZZ_CHECK(create_process_objects() == 0, "process-wide objects not created");

  TGlobal::_servers.clear();
  for (int i = 0; i < 2; ++i) {
    logic_[i].listen_fd = listen_loopback();
    logic_[i].stream = new PacketStream(i == 0 ? "to logic 1" : "to logic 2", false);
    TGlobal::_servers.push_back({i + 1, "127.0.0.1", port_of(logic_[i].listen_fd)});
  }

  snprintf(TGlobal::_addr, sizeof(TGlobal::_addr), "127.0.0.1");
  TGlobal::_port = 0;
  // Idle time-outs are not what the drivers check: on a loaded machine one input can
  // take seconds, and a link or client closed for idleness in the middle of it would
  // read as a fault of the input.
  TGlobal::_webtimeout = 3600;
  TGlobal::_helpertimeout = 3600;
  char cwd[4096];
  FUZZ_CHECK(getcwd(cwd, sizeof(cwd)) != nullptr, "getcwd");
  FUZZ_CHECK(chdir((root_ + "/bin").c_str()) == 0, "chdir");
  const int opened = CIncoming::Instance()->open();
  FUZZ_CHECK(chdir(cwd) == 0, "chdir back");
  FUZZ_CHECK(opened == 0, "the reactor owner did not open");
  // The links opened at start are accepted and kept like those of any input.
  end_input();
}

int GatewayRig::open_client() {
  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair: %s", strerror(errno));
  CListener* listener = CIncoming::Instance()->listener();
  CDecoderUnit* unit = listener->create_decoderunit(sv[0]);
  FUZZ_CHECK(unit != nullptr, "no decoder unit");
  unit->set_ip(htonl(INADDR_LOOPBACK));
  FUZZ_CHECK(unit->listener_input() == 0, "client unit did not attach");
  return sv[1];
}

void GatewayRig::turn() {
  log_flush();
  CIncoming::Instance()->turn(0);
}

std::string GatewayRig::read_client(int fd, PacketStream* stream, bool* closed) {
  std::string got = drain(fd, closed);
  if (stream != nullptr) stream->feed(got);
  return got;
}

std::string GatewayRig::close_client(int fd, PacketStream* stream) {
  shutdown(fd, SHUT_WR);
  bool closed = false;
  std::string got;
  for (int i = 0; i < kCloseTurns && !closed; ++i) {
    turn();
    got += read_client(fd, stream, &closed);
    service_logic();
  }
  FUZZ_CHECK(closed, "the gateway kept a client connection whose client had left");
  if (stream != nullptr) stream->finish();
  close(fd);
  return got;
}

void GatewayRig::wait_arrival(int fd, size_t n) {
  wait_for([&] {
    int avail = 0;
    return ioctl(fd, FIONREAD, &avail) != 0 || static_cast<size_t>(avail) >= n;
  });
}

void GatewayRig::accept_links(Logic& l) {
  int fd;
  while ((fd = accept4(l.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
    // A helper connects again only after it dropped the old link.
    if (l.conn >= 0) {
      bool closed = false;
      l.stream->feed(drain(l.conn, &closed));
      l.stream->finish();
      close(l.conn);
    }
    l.conn = fd;
    PacketStream* fresh = new PacketStream(&l == &logic_[0] ? "to logic 1" : "to logic 2", false);
    fresh->forwards.swap(l.stream->forwards);
    fresh->notices.swap(l.stream->notices);
    delete l.stream;
    l.stream = fresh;
  }
}

void GatewayRig::service_logic() {
  for (int svid = 1; svid <= 2; ++svid) {
    Logic& l = logic_[svid - 1];
    accept_links(l);
    const int fd = helper(svid)->get_netfd();
    if (fd >= 0) {
      // Wait for the server side of the helper's current link, then for every byte the
      // helper has sent on it.
      // (Counted as acknowledged, not as received against sent: a retransmission under
      // load counts twice as sent.)
      const int port = local_port(fd);
      wait_for([&] {
        accept_links(l);
        return l.conn >= 0 && peer_port(l.conn) == port;
      });
      // The server side reads what arrived and asks for a quick acknowledgement, which
      // the kernel then sends at once: a delayed one (up to 40 ms on Linux) made most of
      // an input's time a wait.
      if (l.conn >= 0 && peer_port(l.conn) == port)
        wait_for([&] {
          const int on = 1;
          setsockopt(l.conn, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
          bool closed = false;
          l.stream->feed(drain(l.conn, &closed));
          return unacknowledged(fd) == 0;
        });
    }
    if (l.conn >= 0) {
      bool closed = false;
      l.stream->feed(drain(l.conn, &closed));
    }
  }
}

int GatewayRig::logic_conn(int svid) { return logic_[svid - 1].conn; }

std::vector<std::pair<int, std::string>> GatewayRig::take_forwards(int svid) {
  std::vector<std::pair<int, std::string>> out;
  out.swap(logic_[svid - 1].stream->forwards);
  return out;
}

std::vector<std::pair<int, int>> GatewayRig::take_notices(int svid) {
  std::vector<std::pair<int, int>> out;
  out.swap(logic_[svid - 1].stream->notices);
  return out;
}

CHelperUnit* GatewayRig::helper(int svid) { return _helperpool->m_helpermap[svid]; }

void GatewayRig::end_input() {
  service_logic();
  FUZZ_CHECK(_helperpool->m_objmap.empty(), "%zu client ids still routed after every client left",
             _helperpool->m_objmap.size());
  int links = 0;
  for (int svid = 1; svid <= 2; ++svid) {
    CHelperUnit* h = helper(svid);
    Logic& l = logic_[svid - 1];
    bool closed = l.conn < 0;
    if (l.conn >= 0) l.stream->feed(drain(l.conn, &closed));
    const bool idle =
        !closed && h->get_netfd() >= 0 && h->pending_input() == 0 && h->pending_output() == 0 && l.stream->idle();
    if (idle) {
      h->update_timer();  // an idle link must not time out in the middle of a later input
      ++links;
      continue;
    }
    h->reset_helper();
    if (l.conn >= 0) {
      l.stream->feed(drain(l.conn, &closed));
      l.stream->finish();
      close(l.conn);
      l.conn = -1;
    }
  }
  // Only the listener and the kept links are left registered.
  const int used = CIncoming::Instance()->pollerunit()->GetUsedPollers();
  FUZZ_CHECK(used == 1 + links, "%d registrations left after every connection ended", used);
}

}  // namespace hallfuzz
