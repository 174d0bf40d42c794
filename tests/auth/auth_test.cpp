// Signed client tokens, black-box: a real gateway with ClientAuth="1", a fake logic
// server, and tokens signed here, by hall_token, by the order-sync client and by PyNaCl.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "hall_run.h"
#include "logic_servers.h"
#include "packets.h"
#include "auth/token.h"

using namespace testsupport;
using namespace testpackets;

namespace {

const unsigned short kAuthReq = 0x0003;
const unsigned short kForward = 0x1003;

// The worked example of the protocol notes: seed bytes 0 to 31, fixed fields.
const char kExampleSeed[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const char kExamplePublic[] = "A6EHv/POEL4dcN0Y50vAmWfk1jCbpQ1fHdyGZBJVMbg=";
const char kExampleToken[] =
    "v1.login-2026.10086.1767225600.q9ZmH2xYpLk4T1aw."
    "f0KccKcM7mEfRkFyyJFELAn_yFevA7a5l1es4emgJ-wn5qWV3YNo10uDY37pE3u2S2Ah8zRRaScknL1rWQqlBQ";

hall_auth::PkeyPtr key_from_seed(const std::string& base64_seed) {
  unsigned char seed[32];
  EXPECT_TRUE(hall_auth::base64_decode(base64_seed, 32, seed));
  return hall_auth::private_key_from_seed(seed);
}

std::string public_line(const std::string& kid, EVP_PKEY* key) {
  unsigned char raw[32];
  EXPECT_TRUE(hall_auth::raw_public_key(key, raw));
  return kid + " " + hall_auth::base64_encode(raw, sizeof(raw)) + "\n";
}

std::string auth_req(const std::string& token) { return packet(kAuthReq, str_field(token)); }

// A program run to its end: its exit code, its output in *out.
int run(const std::vector<std::string>& argv, std::string* out) { return exit_code(run_program(argv, "", 30000, out)); }

// PyNaCl, an Ed25519 implementation nobody here wrote, from the system's own Python.
bool have_pynacl() {
  std::string out;
  return run({"/usr/bin/python3", "-c", "import nacl.signing"}, &out) == 0;
}

class ClientAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_ = key_from_seed(kExampleSeed);
    stranger_ = key_from_seed("ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZY=");
    // The example key signs; a second line stands for a retired or rotated-in key.
    write_file(dir_.file("keys.pub"), "# signers of the login service\n" + public_line("login-2026", signer_.get()) +
                                          public_line("old", stranger_.get()) + "\n");
    write_file(dir_.file("keys.priv"), std::string("login-2026 ") + kExampleSeed + "\n");
    stats_ = free_port();
    HallConfig cfg;
    cfg.servers = {{3, logic_.port()}};
    cfg.attrs = {{"ClientAuth", "1"},
                 {"AuthKeysFile", dir_.file("keys.pub")},
                 {"MaxClientIds", "2"},
                 {"StatsPort", std::to_string(stats_)}};
    gw_.reset(new HallRun(cfg));
    ASSERT_TRUE(gw_->start()) << gw_->stderr_text();
    ASSERT_TRUE(logic_.accept_link());
  }

  std::string token(int id, int64_t ttl = 60, const std::string& kid = "login-2026", EVP_PKEY* key = nullptr) {
    return hall_auth::issue_token(key != nullptr ? key : signer_.get(), kid, id, time(nullptr) + ttl,
                                  hall_auth::random_nonce());
  }
  // A fresh connection sends `token`: the answer's text, the status checked.
  std::string try_token(Client* c, const std::string& token, int want_status) {
    int status = -1;
    std::string text;
    EXPECT_TRUE(c->send(auth_req(token)));
    EXPECT_TRUE(c->answer(&status, &text)) << token;
    EXPECT_EQ(want_status, status) << text;
    return text;
  }
  double auth_count(const std::string& result) {
    return figure(scrape(stats_), "hall_client_auth_total{result=\"" + result + "\"}");
  }

  TempDir dir_;
  FakeLogic logic_;
  hall_auth::PkeyPtr signer_, stranger_;
  int stats_ = 0;
  std::unique_ptr<HallRun> gw_;
};

TEST_F(ClientAuth, TokensOpenTheirIdsEveryFailureIsAnsweredAndTakeoverMovesTheId) {
  // A token and a request behind it in one write: the request is forwarded.
  Client a(gw_->port());
  const std::string a_token = token(101);
  ASSERT_TRUE(a.send(auth_req(a_token) + data_req(101, "hello")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(a.answer(&status, &text));
  EXPECT_EQ(0, status);
  EXPECT_EQ("auth ok", text);
  ASSERT_TRUE(logic_.wait_for(kForward, 1, 5000));

  // Each failure is answered with its reason and closes the connection.
  std::string altered = token(102);
  altered.replace(altered.find(".102."), 5, ".103.");
  const struct {
    std::string token, reason;
  } failures[] = {
      {"v1.login-2026.102.99.short.sig", "malformed"},
      {token(102, 60, "nobody", stranger_.get()), "unknown_key"},
      {token(102, 60, "old"), "bad_signature"},  // signed by another key than "old"
      {altered, "bad_signature"},
      {token(102, -5), "expired"},
      {token(102, 301), "ttl_too_long"},
      {a_token, "replayed"},
  };
  for (const auto& f : failures) {
    Client c(gw_->port());
    EXPECT_EQ("auth failed: " + f.reason, try_token(&c, f.token, 2));
    EXPECT_TRUE(wait_closed(c.fd(), 5000)) << f.reason;
  }

  // A request for an id the connection has not authenticated closes it, unanswered.
  Client anonymous(gw_->port());
  ASSERT_TRUE(anonymous.send(data_req(101, "not me")));
  EXPECT_TRUE(wait_closed(anonymous.fd(), 5000));
  Client other(gw_->port());
  EXPECT_EQ("auth ok", try_token(&other, token(201), 0));
  ASSERT_TRUE(other.send(data_req(202, "not mine")));
  EXPECT_TRUE(wait_closed(other.fd(), 5000));

  // A player reconnecting: the new connection's token takes 101 over, its answers go
  // there, and the old connection may no longer send for it.
  Client again(gw_->port());
  EXPECT_EQ("auth ok", try_token(&again, token(101), 0));
  ASSERT_TRUE(logic_.send(result_pkt("{\"flow\":101,\"result\":\"yours\"}")));
  ASSERT_TRUE(again.answer(&status, &text));
  EXPECT_EQ("yours", text);
  ASSERT_TRUE(a.send(data_req(101, "stale")));
  EXPECT_TRUE(wait_closed(a.fd(), 5000));
  EXPECT_EQ(1u, logic_.count(kForward));

  // Up to MaxClientIds ids, one token each.
  EXPECT_EQ("auth ok", try_token(&again, token(102), 0));
  ASSERT_TRUE(again.send(data_req(102, "second id")));
  ASSERT_TRUE(logic_.wait_for(kForward, 2, 5000));
  ASSERT_TRUE(again.send(auth_req(token(103))));
  EXPECT_TRUE(wait_closed(again.fd(), 5000));

  const std::string m = scrape(stats_);
  EXPECT_EQ(5, figure(m, "hall_client_auth_total{result=\"ok\"}")) << m;
  for (const char* r : {"malformed", "unknown_key", "expired", "ttl_too_long", "replayed"})
    EXPECT_EQ(1, figure(m, std::string("hall_client_auth_total{result=\"") + r + "\"}")) << r;
  EXPECT_EQ(2, figure(m, "hall_client_auth_total{result=\"bad_signature\"}"));
  EXPECT_EQ(3, figure(m, "hall_client_packets_rejected_total{reason=\"not_authenticated\"}"));
  EXPECT_EQ(1, figure(m, "hall_client_packets_rejected_total{reason=\"too_many_ids\"}"));
}

TEST_F(ClientAuth, AStormOfTokensIsCheckedWhileThePlayerBesideIsServed) {
  Client player(gw_->port());
  EXPECT_EQ("auth ok", try_token(&player, token(7), 0));

  // Every connection sends its token with a request behind it in one write; only the
  // requests behind good tokens are forwarded, whatever order the checks end in.
  const int kConns = 240;
  std::vector<std::unique_ptr<Client>> storm;
  std::string first_good;
  for (int i = 0; i < kConns; ++i) {
    const int id = 1000 + i;
    std::string t = i % 3 == 1 ? token(id, 60, "old") : i % 3 == 2 ? token(id, -5) : token(id);
    if (i == 0) first_good = t;
    storm.emplace_back(new Client(gw_->port()));
    ASSERT_TRUE(storm.back()->send(auth_req(t) + data_req(id, "after the token")));
  }
  // One more that leaves at once (a reset) while its check is queued behind the others.
  Client leaving(gw_->port());
  ASSERT_TRUE(leaving.send(auth_req(token(5000)) + data_req(5000, "gone")));
  const linger reset = {1, 0};
  setsockopt(leaving.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  leaving.close();

  // The player beside is served while the checks run.
  ASSERT_TRUE(player.send(data_req(7, "beside")));
  ASSERT_TRUE(logic_.wait_for(kForward, 1, 10000));
  ASSERT_TRUE(logic_.send(result_pkt("{\"flow\":7,\"result\":\"served\"}")));
  int status = -1;
  std::string text;
  ASSERT_TRUE(player.answer(&status, &text, 10000));
  EXPECT_EQ("served", text);

  const char* const want[] = {"auth ok", "auth failed: bad_signature", "auth failed: expired"};
  for (int i = 0; i < kConns; ++i) {
    ASSERT_TRUE(storm[i]->answer(&status, &text, 20000)) << i;
    EXPECT_EQ(want[i % 3], text) << i;
    EXPECT_TRUE(i % 3 == 0 || wait_closed(storm[i]->fd(), 5000)) << i;
  }
  // A token accepted once is refused after.
  Client replay(gw_->port());
  EXPECT_EQ("auth failed: replayed", try_token(&replay, first_good, 2));

  const size_t good = (kConns + 2) / 3;
  ASSERT_TRUE(logic_.wait_for(kForward, 1 + good, 10000));
  for (const Packet& p : logic_.packets()) {
    const int id = p.cmd == kForward ? p.int_at(0) : 7;
    EXPECT_TRUE(id == 7 || (id >= 1000 && (id - 1000) % 3 == 0)) << id;
  }
  EXPECT_EQ(1 + good, logic_.count(kForward));
  const std::string m = scrape(stats_);
  // The connection that left is counted only when its verdict came before its reset.
  const double ok = figure(m, "hall_client_auth_total{result=\"ok\"}");
  EXPECT_TRUE(ok == 1 + good || ok == 2 + good) << m;
  EXPECT_EQ(kConns / 3, figure(m, "hall_client_auth_total{result=\"bad_signature\"}"));
  EXPECT_EQ(kConns / 3, figure(m, "hall_client_auth_total{result=\"expired\"}"));
  EXPECT_EQ(1, figure(m, "hall_client_auth_total{result=\"replayed\"}"));
  EXPECT_EQ(0, figure(m, "hall_client_packets_rejected_total{reason=\"not_authenticated\"}"));
  // A drained stop ends the verifying threads with the loop; a sanitizer build finds
  // nothing then.
  storm.clear();
  player.close();
  replay.close();
  EXPECT_EQ(0, exit_code(gw_->stop(SIGUSR1))) << gw_->stderr_text();
}

TEST_F(ClientAuth, TokensOfPyNaClAndHallTokenInteroperateAndTheWorkedExampleHolds) {
  // The worked example of the protocol notes, signed by this code.
  EXPECT_EQ(kExampleToken, hall_auth::issue_token(signer_.get(), "login-2026", 10086, 1767225600, "q9ZmH2xYpLk4T1aw"));
  EXPECT_EQ(std::string("login-2026 ") + kExamplePublic + "\n", public_line("login-2026", signer_.get()));
  const std::string notes = read_file(source_path("docs/protocol.md"));
  for (const char* text : {kExampleSeed, kExamplePublic, kExampleToken})
    EXPECT_NE(std::string::npos, notes.find(text)) << text;
  std::string out;
  EXPECT_EQ(1, run({binary("hall_token"), "verify", dir_.file("keys.pub"), kExampleToken}, &out));
  EXPECT_EQ("expired\n", out);

  if (!have_pynacl()) GTEST_SKIP() << "python3-nacl is not installed (scripts/install-deps.sh installs it)";
  // PyNaCl signs, the gateway accepts.
  const std::string sign =
      "import base64,sys,time,nacl.signing\n"
      "k=nacl.signing.SigningKey(base64.b64decode(sys.argv[1]))\n"
      "b='v1.login-2026.4242.%d.pynacl-nonce-1' % (time.time()+60)\n"
      "print(b+'.'+base64.urlsafe_b64encode(k.sign(b.encode()).signature).decode().rstrip('='))\n";
  ASSERT_EQ(0, run({"/usr/bin/python3", "-c", sign, kExampleSeed}, &out)) << out;
  Client c(gw_->port());
  EXPECT_EQ("auth ok", try_token(&c, out.substr(0, out.find('\n')), 0));

  // A key made by hall_token, a token it signs: PyNaCl verifies it, and so does hall_token.
  const std::string priv = dir_.file("tool.priv"), pub = dir_.file("tool.pub");
  ASSERT_EQ(0, run({binary("hall_token"), "keygen", "tool", priv, pub}, &out)) << out;
  ASSERT_EQ(0, run({binary("hall_token"), "issue", priv, "77", "60"}, &out));
  const std::string issued = out.substr(0, out.find('\n'));
  const std::string pub_text = read_file(pub);
  ASSERT_EQ(0u, pub_text.find("tool ")) << pub_text;
  const std::string verify =
      "import base64,sys,nacl.signing\n"
      "v=nacl.signing.VerifyKey(base64.b64decode(sys.argv[1]))\n"
      "b,s=sys.argv[2].rsplit('.',1)\n"
      "v.verify(b.encode(),base64.urlsafe_b64decode(s+'=='))\n"
      "print('verified',b.split('.')[2])\n";
  EXPECT_EQ(0, run({"/usr/bin/python3", "-c", verify, pub_text.substr(5, 44), issued}, &out)) << out;
  EXPECT_EQ("verified 77\n", out);
  EXPECT_EQ(0, run({binary("hall_token"), "verify", pub, issued}, &out));
  EXPECT_EQ(0u, out.find("ok client_id=77 expires=")) << out;
}

TEST_F(ClientAuth, OrderSyncClientSignsEveryConnectionAndARefusedOneKeepsItsOrders) {
  RedisServer redis;
  ASSERT_TRUE(redis.start());
  // A key the gateway does not know: nothing goes into the closed connection, the order
  // stays at hand.
  TempDir stranger_dir, client_dir;
  write_file(dir_.file("stranger.priv"), "nobody ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZY=\n");
  Process stranger, client;
  ASSERT_TRUE(start_order_sync_client(&stranger, stranger_dir.path(), gw_->port(), redis.port(), 556, "", "127.0.0.1",
                                      "127.0.0.1", {}, "auth_key_file=" + dir_.file("stranger.priv") + "\n"));
  redis.command({"RPUSH", "orders", "{\"order\":0}"});
  const std::string log = stranger_dir.file("log/order_sync_client_0.log");
  EXPECT_TRUE(wait_until(
      [&] {
        return read_file(log).find("gateway refused the token of client id 556: auth failed: unknown_key") !=
               std::string::npos;
      },
      15000))
      << read_file(log);
  EXPECT_EQ(0, exit_code(stranger.stop(SIGTERM, 5000)));
  EXPECT_EQ("1", redis.command({"LLEN", "orders"}));
  EXPECT_EQ(0u, logic_.count(kForward));

  ASSERT_TRUE(start_order_sync_client(&client, client_dir.path(), gw_->port(), redis.port(), 555, "", "127.0.0.1",
                                      "127.0.0.1", {}, "auth_key_file=" + dir_.file("keys.priv") + "\n"));
  for (int i = 1; i < 3; ++i) redis.command({"RPUSH", "orders", "{\"order\":" + std::to_string(i) + "}"});
  ASSERT_TRUE(logic_.wait_for(kForward, 3, 15000));
  for (const Packet& p : logic_.packets()) EXPECT_EQ(555, p.cmd == kForward ? p.int_at(0) : 555);

  // The gateway restarts (a new replay memory); the client's next connection signs anew.
  gw_->stop();
  ASSERT_TRUE(gw_->start()) << gw_->stderr_text();
  ASSERT_TRUE(logic_.accept_link());
  redis.command({"RPUSH", "orders", "{\"order\":3}"});
  ASSERT_TRUE(logic_.wait_for(kForward, 4, 15000));
  EXPECT_EQ(1, auth_count("ok"));
  EXPECT_EQ(0, figure(scrape(stats_), "hall_client_packets_rejected_total{reason=\"not_authenticated\"}"));
  EXPECT_EQ(0, exit_code(client.stop(SIGTERM, 5000)));
}

}  // namespace
