// Cost of the gateway's token check (command 3).
//   auth_bench --keys PRIVATE_FILE [--players N] [--port P --pid PID [--window W]]
// First, in this process on one core: N distinct tokens (signed beforehand) through the
// gateway's checker, and the signature check alone. Then, with --port, a reconnect storm
// against a running gateway with ClientAuth="1" whose AuthKeysFile holds the public key
// of PRIVATE_FILE: N players, W at a time, each connects, sends its command 3, waits for
// "auth ok" and stays connected until the last is admitted (the process and the gateway
// need N descriptors and some more). It prints the wall time of the storm and the gateway's CPU time
// (of process PID), and "RESULT key=value ..." lines. Beside the storm one player already
// admitted sends requests one at a time (the gateway's logic server answers them): its
// round trips during the storm, and the longest, show whether the storm stalls the others.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "EncryptDecrypt.h"
#include "packet_base.h"
#include "proc_stat.h"
#include "auth/token.h"
#include "auth/token_checker.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU time of this thread: on a machine other processes share, a rate per CPU second
// moves far less than one per wall second.
double thread_cpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// utime + stime of a process, in seconds; -1 when unreadable.
double cpu_seconds(int pid) {
  const long long ticks = proc_cpu_ticks(pid);
  return ticks < 0 ? -1 : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string auth_packet(const std::string& token) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_AUTH_REQ, 1, 1);
  p.WriteString(token);
  p.End();
  CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

std::string data_packet(int client_id) {
  NETOutputPacket p;
  p.Begin(CLIENT_CMD_DATA_REQ, 1, 1);
  p.WriteInt(client_id);
  p.WriteString("{}");
  p.End();
  CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

// Sends `out` and reads one whole packet back on a blocking socket (5 s bound per read);
// false on failure.
bool round_trip(int fd, const std::string& out) {
  if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return false;
  std::string in;
  char buf[4096];
  while (in.size() < 9 || in.size() < static_cast<size_t>(pkg_length(in.data())) + 2) {
    const ssize_t got = recv(fd, buf, sizeof(buf), 0);
    if (got <= 0) return false;
    in.append(buf, static_cast<size_t>(got));
  }
  return true;
}

// The player beside the storm: admitted with `token` before it starts, then one request
// every 5 ms (a busy player, not a load of its own) until *stop. Round trips in ms go to *rtts; false when it lost its link.
bool beside(int port, const std::string& token, int client_id, const std::atomic<bool>* stop, std::atomic<bool>* ready,
            std::vector<double>* rtts) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && round_trip(fd, auth_packet(token));
  ready->store(true);
  const std::string request = data_packet(client_id);
  while (ok && !stop->load()) {
    const Clock::time_point t0 = Clock::now();
    ok = round_trip(fd, request);
    if (ok) rtts->push_back(seconds_since(t0) * 1000.0);
    usleep(5000);
  }
  close(fd);
  return ok;
}

struct Player {
  int fd = -1;
  size_t index = 0;
  std::string in;
};

// The storm: every player connects, sends its packet and waits for its answer, `window`
// at a time; an admitted player stays connected (its descriptor goes to *held). Returns
// the players admitted ("auth ok").
size_t storm(int port, const std::vector<std::string>& packets, size_t window, size_t* refused,
             std::vector<int>* held) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Player> slots(window);
  size_t next = 0, done = 0, admitted = 0;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto open_one = [&](size_t slot) {
    Player& p = slots[slot];
    p.in.clear();
    p.index = next++;
    p.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // Each player from an address of its own in 127/8, as a storm comes from many
    // machines: with one source address the kernel's search for a free local port grows
    // with every connection held, and the generator, not the gateway, sets the pace.
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f010000u + 1 + static_cast<uint32_t>(p.index % 60000));
    setsockopt(p.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
    bind(p.fd, reinterpret_cast<sockaddr*>(&from), sizeof(from));
    const std::string& pkt = packets[p.index];
    if (connect(p.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        send(p.fd, pkt.data(), pkt.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(pkt.size())) {
      fprintf(stderr, "auth_bench: connect or send failed: %s\n", strerror(errno));
      exit(1);
    }
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = slot;
    epoll_ctl(ep, EPOLL_CTL_ADD, p.fd, &ev);
  };
  for (size_t s = 0; s < window && next < packets.size(); ++s) open_one(s);
  epoll_event events[256];
  while (done < packets.size()) {
    const int n = epoll_wait(ep, events, 256, 10000);
    if (n <= 0) {
      fprintf(stderr, "auth_bench: no answer for 10 s (%zu of %zu done)\n", done, packets.size());
      break;
    }
    for (int i = 0; i < n; ++i) {
      const size_t slot = events[i].data.u64;
      Player& p = slots[slot];
      char buf[256];
      const ssize_t got = recv(p.fd, buf, sizeof(buf), 0);
      if (got > 0) p.in.append(buf, static_cast<size_t>(got));
      const bool whole = p.in.size() >= 9 && p.in.size() >= static_cast<size_t>(pkg_length(p.in.data())) + 2;
      if (!whole && got > 0) continue;
      bool ok = false;
      NETInputPacket answer;
      if (whole && answer.Copy(p.in.data(), static_cast<int>(pkg_length(p.in.data())) + 2) &&
          CEncryptDecrypt().DecryptBuffer(&answer) != -1)
        ok = answer.ReadInt() == 0;
      ++(ok ? admitted : *refused);
      ++done;
      epoll_ctl(ep, EPOLL_CTL_DEL, p.fd, nullptr);
      if (ok)
        held->push_back(p.fd);
      else
        close(p.fd);
      p.fd = -1;
      if (next < packets.size()) open_one(slot);
    }
  }
  close(ep);
  return admitted;
}

}  // namespace

int main(int argc, char** argv) {
  std::string keys_file;
  int port = 0, pid = 0;
  size_t players = 19000, window = 256;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--keys")
      keys_file = argv[i + 1];
    else if (a == "--players")
      players = strtoul(argv[i + 1], nullptr, 10);
    else if (a == "--port")
      port = atoi(argv[i + 1]);
    else if (a == "--pid")
      pid = atoi(argv[i + 1]);
    else if (a == "--window")
      window = strtoul(argv[i + 1], nullptr, 10);
  }
  hall_auth::CKeyRing signer;
  std::string why, kid;
  if (keys_file.empty() || players == 0 || window == 0 || !signer.load(keys_file, true, &why)) {
    fprintf(stderr, "usage: auth_bench --keys PRIVATE_FILE [--players N] [--port P --pid PID [--window W]]\n%s\n",
            why.c_str());
    return 2;
  }
  EVP_PKEY* key = signer.first(&kid);
  unsigned char pub[hall_auth::kKeySize];
  hall_auth::raw_public_key(key, pub);
  char pub_path[] = "/tmp/auth_bench_XXXXXX";
  const int pub_fd = mkstemp(pub_path);
  const std::string pub_line = kid + " " + hall_auth::base64_encode(pub, sizeof(pub)) + "\n";
  if (pub_fd < 0 || write(pub_fd, pub_line.data(), pub_line.size()) != static_cast<ssize_t>(pub_line.size())) return 1;
  close(pub_fd);

  const int64_t now = time(nullptr);
  std::vector<std::string> tokens;
  tokens.reserve(players);
  for (size_t i = 0; i < players; ++i)
    tokens.push_back(
        hall_auth::issue_token(key, kid, static_cast<int>(1000000 + i), now + 250, hall_auth::random_nonce()));

  hall_auth::CTokenChecker checker;
  const bool loaded = checker.load(pub_path, 300, &why);
  unlink(pub_path);
  if (!loaded) return 1;
  Clock::time_point t0 = Clock::now();
  double c0 = thread_cpu();
  size_t ok = 0;
  int id = 0;
  for (const std::string& t : tokens) ok += checker.check(t, now, &id) == hall_auth::AUTH_OK;
  const double check_s = seconds_since(t0), check_cpu = thread_cpu() - c0;
  hall_auth::TToken parsed;
  c0 = thread_cpu();
  for (const std::string& t : tokens)
    if (hall_auth::read_token(t, &parsed))
      ok += hall_auth::verify_signature(key, parsed.signed_part, parsed.sig) ? 0 : 1;
  const double verify_cpu = thread_cpu() - c0;
  printf(
      "in process: %zu checks in %.3f s (%.3f s of CPU): %.0f checks per CPU second (signature alone: %.0f); "
      "%zu accepted\n",
      players, check_s, check_cpu, players / check_cpu, players / verify_cpu, ok);
  printf("RESULT checks_per_cpu_s=%.0f verify_per_cpu_s=%.0f\n", players / check_cpu, players / verify_cpu);
  if (port == 0) return ok == players ? 0 : 1;

  std::vector<std::string> packets;
  packets.reserve(players);
  for (const std::string& t : tokens) packets.push_back(auth_packet(t));
  const int beside_id = 999999;
  const std::string beside_token = hall_auth::issue_token(key, kid, beside_id, now + 250, hall_auth::random_nonce());
  std::atomic<bool> stop(false), ready(false);
  std::vector<double> rtts;
  bool beside_ok = true;
  std::thread player([&] { beside_ok = beside(port, beside_token, beside_id, &stop, &ready, &rtts); });
  for (int i = 0; i < 5000 && !ready.load(); ++i) usleep(1000);
  const double cpu0 = pid > 0 ? cpu_seconds(pid) : -1;
  t0 = Clock::now();
  size_t refused = 0;
  std::vector<int> held;
  held.reserve(players);
  const size_t admitted = storm(port, packets, window, &refused, &held);
  const double wall = seconds_since(t0);
  const double cpu = pid > 0 ? cpu_seconds(pid) - cpu0 : -1;
  stop.store(true);
  player.join();
  for (int fd : held) close(fd);
  std::sort(rtts.begin(), rtts.end());
  const double rt_max = rtts.empty() ? 0 : rtts.back();
  const double rt_p99 = rtts.empty() ? 0 : rtts[rtts.size() * 99 / 100];
  printf("player beside: %zu round trips during the storm (%.0f/s), p99 %.2f ms, max %.2f ms%s\n", rtts.size(),
         rtts.size() / wall, rt_p99, rt_max, beside_ok ? "" : " (its link failed)");
  printf(
      "storm: %zu players (%zu at a time) admitted in %.2f s (%.0f/s), %zu refused; gateway CPU %.2f s (%.0f "
      "admissions per CPU second)\n",
      admitted, window, wall, admitted / wall, refused, cpu, cpu > 0 ? admitted / cpu : 0.0);
  printf(
      "RESULT storm_players=%zu storm_s=%.2f admitted_per_s=%.0f gateway_cpu_s=%.2f refused=%zu beside_rtts=%zu "
      "beside_p99_ms=%.2f beside_max_ms=%.2f\n",
      admitted, wall, admitted / wall, cpu, refused, rtts.size(), rt_p99, rt_max);
  return admitted == players && beside_ok ? 0 : 1;
}
