// The helper unit against the fake logic server, which the test accepts from and writes
// raw packets to, while the test drives a real poller unit and timer unit by hand.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "EncryptDecrypt.h"
#include "client_unit.h"
#include "decode_unit.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "log.h"
#include "logic_servers.h"
#include "mempool.h"
#include "packet_base.h"
#include "poller.h"
#include "process_objects.h"
#include "proxy_module.h"
#include "packets.h"
#include "test_support.h"
#include "timerlist.h"

using namespace __http_svr_ns__;

namespace {

// A whole packet built with the project's writer; the body is enciphered.
std::string report(unsigned short cmd, int qlen, int ctime) {
  NETOutputPacket p;
  p.Begin(cmd, 1, 1);
  p.WriteInt(qlen);
  p.WriteInt(ctime);
  p.End();
  CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

std::string result(const std::string& json, bool encipher = true) {
  NETOutputPacket p;
  p.Begin(INTER_CMD_RES, 1, 1);
  p.WriteByte(0);
  p.WriteString(json);
  p.End();
  if (encipher) CEncryptDecrypt().EncryptBuffer(&p);
  return std::string(p.packet_buf(), static_cast<size_t>(p.packet_size()));
}

using testpackets::raw_header;

using testsupport::FakeLogic;

class HelperUnitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static testsupport::TempDir logs;
    init_log("helper_test", logs.path().c_str(), 3, 50000000);
    set_log_level(7);
    ASSERT_EQ(create_process_objects(), 0);
  }
  static void TearDownTestSuite() { destroy_process_objects(); }

  void SetUp() override {
    *gSvrStat = server_stat_s();
    *gSvrSwitch = server_switch_s();
    ASSERT_EQ(poller_.InitializePollerUnit(), 0);
  }

  void TearDown() override { _helperpool->m_objmap.clear(); }

  // Runs loop turns until pred holds (bounded by timeout_ms).
  bool pump_until(const std::function<bool()>& pred, int timeout_ms = 3000) {
    return testsupport::wait_until(
        [&] {
          poller_.WaitPollerEvents(10);
          poller_.ProcessPollerEvents();
          return pred();
        },
        timeout_ms);
  }

  // A unit connected to `srv`, with the server side accepted.
  std::unique_ptr<CHelperUnit> connected_unit(FakeLogic& srv) {
    std::unique_ptr<CHelperUnit> u(new CHelperUnit(&poller_));
    u->addr = "127.0.0.1";
    u->port = srv.port();
    EXPECT_EQ(u->connect(true), 0);
    EXPECT_EQ(u->stage(), CONN_CONNECTED);
    EXPECT_TRUE(srv.accept_link());
    return u;
  }

  // Queues `pkt` on `u` and sends the queue, putting the link's idle time-out on `list`.
  static int queue_and_send(CHelperUnit& u, const std::string& pkt, CTimerList* list = nullptr) {
    u.append_pkg(pkt.data(), static_cast<unsigned>(pkt.size()));
    return list != nullptr ? u.send_to_logic(list) : u.send_to_logic();
  }

  CPollerUnit poller_{1024};
  CTimerUnit timers_;
};

TEST_F(HelperUnitTest, SendToRefusingServerFailsAndDropsTheQueuedPacket) {
  CHelperUnit u(&poller_);
  u.addr = "127.0.0.1";
  u.port = testsupport::free_port();
  std::string pkt = report(SERVER_CMD_DATA_FW_REQ, 1, 2);
  EXPECT_EQ(u.append_pkg(pkt.data(), static_cast<unsigned>(pkt.size())), 0);
  EXPECT_EQ(u.pending_output(), pkt.size());
  // The connect runs on without the caller waiting; the refusal drops the queue.
  EXPECT_EQ(u.send_to_logic(), CONN_DATA_SENDING);
  EXPECT_EQ(u.stage(), CONN_CONNECTING);
  EXPECT_FALSE(u.link_up());
  ASSERT_TRUE(pump_until([&] { return u.get_netfd() == -1; }));
  EXPECT_EQ(u.stage(), CONN_IDLE);
  EXPECT_EQ(u.get_netfd(), -1);
  EXPECT_EQ(u.pending_output(), 0u);
  EXPECT_EQ(poller_.GetUsedPollers(), 0);
}

TEST_F(HelperUnitTest, QueuedBytesReachTheServerUnchanged) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  std::string a = report(SERVER_CMD_DATA_FW_REQ, 7, 8);
  std::string b = report(SERVER_CMD_DATA_FW_REQ, 9, 10);
  u->append_pkg(a.data(), static_cast<unsigned>(a.size()));
  u->append_pkg(b.data(), static_cast<unsigned>(b.size()));
  EXPECT_EQ(u->send_to_logic(), static_cast<int>(a.size() + b.size()));
  EXPECT_EQ(u->stage(), CONN_SEND_DONE);
  std::string got(a.size() + b.size(), '\0');
  ASSERT_EQ(testsupport::recv_exact(srv.fd(), &got[0], got.size(), 3000), got.size());
  EXPECT_EQ(got, a + b);
}

TEST_F(HelperUnitTest, BatchTheSocketCannotTakeKeepsItsPlaceAheadOfLaterPackets) {
  FakeLogic srv(4096);  // reads only at the end; small windows fill quickly
  auto u = connected_unit(srv);
  const int sndbuf = 4096;
  ASSERT_EQ(setsockopt(u->get_netfd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
  // Distinct bytes, so that a lost, repeated or reordered piece shows in the comparison.
  std::string sent;
  auto next_piece = [&](size_t n) {
    std::string piece(n, '\0');
    for (size_t i = 0; i < n; ++i) piece[i] = static_cast<char>((sent.size() + i) * 7 + (sent.size() + i) / 251);
    sent += piece;
    return piece;
  };
  // A plain append queues behind what is batched.
  std::string first = next_piece(1000), second = next_piece(1000);
  ASSERT_EQ(u->defer_pkg(first.data(), 1000), 0);
  ASSERT_EQ(u->append_pkg(second.data(), 1000), 0);
  // Batches until one does not go out whole.
  bool held = false;
  for (int i = 0; i < 400 && !held; ++i) {
    std::string piece = next_piece(16384);
    ASSERT_EQ(u->defer_pkg(piece.data(), static_cast<unsigned>(piece.size())), 0);
    int r = u->send_to_logic();
    ASSERT_NE(r, -1);
    held = u->pending_output() > 0;
  }
  ASSERT_TRUE(held);
  // Queued behind the unsent part of the batch, whether a deferral or a plain append.
  std::string a = next_piece(20000), b = next_piece(30000);
  ASSERT_EQ(u->defer_pkg(a.data(), static_cast<unsigned>(a.size())), 0);
  ASSERT_EQ(u->append_pkg(b.data(), static_cast<unsigned>(b.size())), 0);
  std::string got(sent.size(), '\0');
  size_t have = 0;
  ASSERT_TRUE(pump_until(
      [&] {
        ssize_t n;
        while (have < got.size() && (n = recv(srv.fd(), &got[have], got.size() - have, MSG_DONTWAIT)) > 0)
          have += static_cast<size_t>(n);
        return have == got.size();
      },
      10000))
      << have << " of " << sent.size() << ", pending " << u->pending_output() << " fd " << u->get_netfd();
  EXPECT_TRUE(got == sent);
  EXPECT_EQ(u->pending_output(), 0u);
}

TEST_F(HelperUnitTest, LoadReportsUpdateTheRecordsWhetherBatchedOrSplit) {
  FakeLogic srv;
  auto u = connected_unit(srv);

  // Two reports in one write, before the gateway has sent anything on the link.
  ASSERT_TRUE(srv.send(report(INTER_CMD_WAITER_STAT_RES, 1025, 77) + report(INTER_CMD_NOTIFY_STAT_RES, 7, 8)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_n_qlen == 7; }));
  EXPECT_EQ(gSvrStat->_w_qlen, 1025u);
  EXPECT_EQ(gSvrStat->_w_ctime, 77u);
  EXPECT_EQ(gSvrStat->_n_ctime, 8u);
  EXPECT_TRUE(gSvrSwitch->_w_is_busyed);
  EXPECT_FALSE(gSvrSwitch->_n_is_busyed);

  // 1024 is not busy; a notify report leaves the waiter side alone.
  ASSERT_TRUE(srv.send(report(INTER_CMD_WAITER_STAT_RES, 1024, 5)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_w_qlen == 1024; }));
  EXPECT_FALSE(gSvrSwitch->_w_is_busyed);
  ASSERT_TRUE(srv.send(report(INTER_CMD_NOTIFY_STAT_RES, 2000, 6)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_n_qlen == 2000; }));
  EXPECT_TRUE(gSvrSwitch->_n_is_busyed);
  EXPECT_EQ(gSvrStat->_w_qlen, 1024u);
  EXPECT_EQ(gSvrStat->_w_ctime, 5u);

  // A report split over three writes is handled when its last byte arrives.
  std::string split = report(INTER_CMD_WAITER_STAT_RES, 42, 43);
  ASSERT_TRUE(srv.send(split.substr(0, 4)));
  pump_until([] { return false; }, 100);
  ASSERT_TRUE(srv.send(split.substr(4, 8)));
  pump_until([] { return false; }, 100);
  EXPECT_EQ(gSvrStat->_w_qlen, 1024u);
  EXPECT_EQ(u->pending_input(), 12u);
  ASSERT_TRUE(srv.send(split.substr(12)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_w_qlen == 42; }));
  EXPECT_EQ(u->pending_input(), 0u);

  // One read that ends a split report, carries many whole ones and starts another: the
  // gateway keeps only the started one, whatever the reads brought.
  ASSERT_TRUE(srv.send(split.substr(0, 3)));
  pump_until([] { return false; }, 100);
  std::string burst = split.substr(3);
  for (int q = 1; q <= 500; ++q) burst += report(INTER_CMD_NOTIFY_STAT_RES, q, q);
  const std::string last = report(INTER_CMD_WAITER_STAT_RES, 43, 44);
  ASSERT_TRUE(srv.send(burst + last.substr(0, 5)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_n_qlen == 500; }));
  EXPECT_EQ(u->pending_input(), 5u);
  ASSERT_TRUE(srv.send(last.substr(5)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_w_qlen == 43; }));
  EXPECT_EQ(u->pending_input(), 0u);

  // Missing fields read as -1: stored as 4294967295, and not busy.
  NETOutputPacket empty;
  empty.Begin(INTER_CMD_WAITER_STAT_RES, 1, 1);
  empty.End();
  ASSERT_TRUE(srv.send(std::string(empty.packet_buf(), 9)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_w_qlen == 4294967295u; }));
  EXPECT_EQ(gSvrStat->_w_ctime, 4294967295u);
  EXPECT_FALSE(gSvrSwitch->_w_is_busyed);
  EXPECT_GT(u->get_netfd(), 0);
}

TEST_F(HelperUnitTest, OversizedAndUnknownPacketsAreSkippedAndTheLinkStays) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  // length 10240: accepted by the framing, too big for a packet buffer, dropped whole.
  std::string big = raw_header(10240, INTER_CMD_RES, 10240 - 7);
  std::string unknown = report(0x7777, 1, 1);
  ASSERT_TRUE(srv.send(big + unknown + report(INTER_CMD_NOTIFY_STAT_RES, 55, 1)));
  ASSERT_TRUE(pump_until([&] { return gSvrStat->_n_qlen == 55; }));
  EXPECT_GT(u->get_netfd(), 0);
  EXPECT_EQ(u->pending_input(), 0u);
}

TEST_F(HelperUnitTest, LengthOutsideTheProtocolResetsTheLink) {
  for (int length : {10241, 6, 0}) {
    SCOPED_TRACE(length);
    FakeLogic srv;
    auto u = connected_unit(srv);
    ASSERT_TRUE(srv.send(raw_header(length, INTER_CMD_RES, 20) + report(INTER_CMD_NOTIFY_STAT_RES, 99, 1)));
    ASSERT_TRUE(pump_until([&] { return u->get_netfd() == -1; }));
    EXPECT_EQ(u->stage(), CONN_IDLE);
    EXPECT_EQ(u->pending_input(), 0u);
    EXPECT_NE(gSvrStat->_n_qlen, 99u);
    EXPECT_TRUE(srv.wait_closed(3000));
    EXPECT_EQ(poller_.GetUsedPollers(), 0);
  }
}

TEST_F(HelperUnitTest, ServerCloseIsNoticedAndTheNextSendReconnects) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  srv.close_link();
  // The unit listens from its connect on, so the close is seen without any send.
  ASSERT_TRUE(pump_until([&] { return u->get_netfd() == -1; }));
  EXPECT_EQ(u->stage(), CONN_IDLE);

  // The packet waits in the queue for the handshake and goes out once it ends.
  std::string pkt = report(SERVER_CMD_DATA_FW_REQ, 3, 4);
  EXPECT_EQ(queue_and_send(*u, pkt), CONN_DATA_SENDING);
  ASSERT_TRUE(pump_until([&] { return u->stage() != CONN_CONNECTING; }));
  EXPECT_EQ(u->pending_output(), 0u);
  ASSERT_TRUE(srv.accept_link());
  std::string got(pkt.size(), '\0');
  ASSERT_EQ(testsupport::recv_exact(srv.fd(), &got[0], got.size(), 3000), got.size());
  EXPECT_EQ(got, pkt);
}

TEST_F(HelperUnitTest, FiftiethBlockedSendResetsAndTheNextLinkStartsAfresh) {
  FakeLogic srv(4096);  // never reads; a small window fills quickly
  auto u = connected_unit(srv);
  const std::string chunk(65536, 'x');
  int blocked_before = 0;
  bool reset = false;
  for (int i = 0; i < 5000 && !reset; ++i) {
    u->append_pkg(chunk.data(), i < 2000 && blocked_before == 0 ? 65536u : 16u);
    int r = u->send_to_logic();
    if (r == CONN_DATA_SENDING) {
      EXPECT_EQ(u->send_error_times(), blocked_before + 1);
      EXPECT_GT(u->get_netfd(), 0);
      blocked_before = u->send_error_times();
    } else if (r < 0) {
      EXPECT_EQ(blocked_before, 49);
      reset = true;
    } else {
      EXPECT_EQ(u->send_error_times(), 0);  // any byte written restarts the count
      blocked_before = 0;
    }
  }
  ASSERT_TRUE(reset);
  EXPECT_EQ(u->stage(), CONN_FATAL_ERROR);
  EXPECT_EQ(u->get_netfd(), -1);
  EXPECT_EQ(u->pending_output(), 0u);
  EXPECT_EQ(u->send_error_times(), 0);

  // The next send connects again.
  std::string pkt = report(SERVER_CMD_DATA_FW_REQ, 1, 1);
  EXPECT_EQ(queue_and_send(*u, pkt), CONN_DATA_SENDING);
  EXPECT_GT(u->get_netfd(), 0);
}

TEST_F(HelperUnitTest, IdleTimeOutClosesTheLinkAndLeavesTheUnitReusable) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  CTimerList* list = timers_.GetTimerList(1);
  std::string pkt = report(SERVER_CMD_DATA_FW_REQ, 1, 1);
  ASSERT_GT(queue_and_send(*u, pkt, list), 0);
  EXPECT_EQ(u->helper_timer(), list);
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        timers_.CheckExpired(0);
        return u->get_netfd() == -1;
      },
      5000));
  EXPECT_EQ(u->stage(), CONN_IDLE);
  EXPECT_TRUE(srv.wait_closed(3000));
  // A second expiry of an idle unit changes nothing.
  u->TimerNotify();
  EXPECT_EQ(u->stage(), CONN_IDLE);
}

TEST_F(HelperUnitTest, PacketDeferredInTheTurnItsLinkTimesOutIsStillWritten) {
  // A forward is queued for the end of the loop turn in which the link's idle time-out
  // also ends: it reaches the server over the same link instead of being dropped with it.
  FakeLogic srv;
  auto u = connected_unit(srv);
  std::string a = report(SERVER_CMD_DATA_FW_REQ, 1, 1), b = report(SERVER_CMD_DATA_FW_REQ, 2, 2);
  ASSERT_GT(queue_and_send(*u, a, timers_.GetTimerList(1)), 0);
  _helperpool->m_helpermap[7] = u.get();
  ASSERT_EQ(u->defer_pkg(b.data(), static_cast<unsigned>(b.size())), 0);
  timers_.CheckExpired(u->GetExpireTime());
  CHelperUnit::flush_deferred();
  _helperpool->m_helpermap.erase(7);
  std::string got(a.size() + b.size(), '\0');
  EXPECT_EQ(testsupport::recv_exact(srv.fd(), &got[0], got.size(), 3000), got.size());
  EXPECT_EQ(got, a + b);
  EXPECT_GT(u->get_netfd(), 0);
}

TEST_F(HelperUnitTest, SendsKeepALinkOnTheTimerListAlive) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  CTimerList* list = timers_.GetTimerList(1);
  std::string pkt = report(SERVER_CMD_DATA_FW_REQ, 1, 1);
  ASSERT_GT(queue_and_send(*u, pkt, list), 0);
  // Forwards every 200 ms to a server that never answers, for twice the time-out.
  for (int i = 0; i < 10; ++i) {
    usleep(200000);
    timers_.CheckExpired(0);
    ASSERT_GT(u->get_netfd(), 0) << "closed as idle after " << i << " sends";
    ASSERT_GT(queue_and_send(*u, pkt), 0);
  }
}

// A client connection built as the listener would build it, over one end of a
// socketpair; the test reads the gateway's answers from the other end.
class ClientEnd {
 public:
  ClientEnd(CPollerUnit* poller, CTimerList* web, int uid) {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds_);
    decoder_ = new CDecoderUnit(nullptr);
    decoder_->set_netfd(fds_[0]);
    decoder_->pollerunit(poller);
    decoder_->set_web_timer(web);
    ok_ = decoder_->listener_input() == 0;
    _helperpool->m_objmap[uid] = decoder_;
    decoder_->set_flag(uid);
    decoder_->add_registered_uid(uid);
  }
  ~ClientEnd() {
    decoder_->complete();
    close(fds_[1]);
  }
  bool ok() const { return ok_; }
  int peer_fd() const { return fds_[1]; }
  int gateway_fd() const { return fds_[0]; }
  bool readable() const {
    pollfd p{fds_[1], POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
  // Reads one answer: status and result text; false when none arrives in time.
  bool answer(int* status, std::string* text, int timeout_ms = 1000) {
    char head[9];
    if (testsupport::recv_exact(fds_[1], head, 9, timeout_ms) != 9) return false;
    std::string pkt(head, 9);
    std::string body(pkg_length(head) - 7, '\0');
    if (testsupport::recv_exact(fds_[1], &body[0], body.size(), timeout_ms) != body.size()) return false;
    return decode(pkt + body, status, text);
  }
  // Decodes one whole answer packet.
  static bool decode(const std::string& pkt, int* status, std::string* text) {
    NETInputPacket in;
    in.Copy(pkt.data(), static_cast<int>(pkt.size()));
    if (in.GetCmdType() != SERVER_CMD_REP || CEncryptDecrypt().DecryptBuffer(&in) < 0) return false;
    *status = in.ReadInt();
    *text = in.ReadString();
    return true;
  }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
  CDecoderUnit* decoder_ = nullptr;
};

TEST_F(HelperUnitTest, ResultsReachTheClientThatFlowNames) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  CTimerList* web = timers_.GetTimerList(30);
  ClientEnd seven(&poller_, web, 7);
  ClientEnd one(&poller_, web, 1);
  ASSERT_TRUE(seven.ok());
  ASSERT_TRUE(one.ok());
  int status = -9;
  std::string text;

  ASSERT_TRUE(srv.send(result("{\"flow\":7,\"result\":\"done\"}")));
  ASSERT_TRUE(pump_until([&] { return seven.readable(); }));
  ASSERT_TRUE(seven.answer(&status, &text));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "done");

  // Absent result: status 0 with the empty text. A result that is not text: status 1.
  ASSERT_TRUE(srv.send(result("{\"flow\":7}") + result("{\"flow\":7,\"result\":{\"a\":1}}")));
  ASSERT_TRUE(pump_until([&] { return seven.readable(); }));
  ASSERT_TRUE(seven.answer(&status, &text));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "");
  ASSERT_TRUE(pump_until([&] { return seven.readable(); }));
  ASSERT_TRUE(seven.answer(&status, &text));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(text, "");

  // Flows that name no one: beyond the int range (2^32 + 1 must not reach client 1),
  // negative, text, missing, JSON that does not parse, a text that is not an object, and
  // nesting deep enough to make the JSON reader throw. The link survives them all.
  ASSERT_TRUE(srv.send(result("{\"flow\":4294967297,\"result\":\"x\"}") + result("{\"flow\":-1,\"result\":\"x\"}") +
                       result("{\"flow\":\"1\",\"result\":\"x\"}") + result("{\"result\":\"x\"}") +
                       result("{\"flow\":1,") + result("[1,2]") + result(std::string(5000, '[')) +
                       result("{\"flow\":1,\"result\":\"last\"}")));
  ASSERT_TRUE(pump_until([&] { return one.readable(); }));
  ASSERT_TRUE(one.answer(&status, &text));
  EXPECT_EQ(text, "last");
  EXPECT_FALSE(one.answer(&status, &text, 100));
  EXPECT_FALSE(seven.answer(&status, &text, 100));
  EXPECT_GT(u->get_netfd(), 0);

  // A flow whose client has gone is dropped.
  _helperpool->m_objmap.erase(7);
  ASSERT_TRUE(srv.send(result("{\"flow\":7,\"result\":\"late\"}") + result("{\"flow\":1,\"result\":\"after\"}")));
  ASSERT_TRUE(pump_until([&] { return one.readable(); }));
  ASSERT_TRUE(one.answer(&status, &text));
  EXPECT_EQ(text, "after");
  EXPECT_FALSE(seven.answer(&status, &text, 100));
}

TEST_F(HelperUnitTest, AnswersTheClientSocketCannotTakeAtOnceArriveWholeAndInOrder) {
  FakeLogic srv;
  auto u = connected_unit(srv);
  ClientEnd slow(&poller_, timers_.GetTimerList(30), 9);
  ASSERT_TRUE(slow.ok());
  const int sndbuf = 4096;
  ASSERT_EQ(setsockopt(slow.gateway_fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
  // Written while the client does not read: the first go out whole, one in part, and
  // the rest wait in the queue behind it.
  // Sizes that do not divide the socket's buffer, so that some write goes out in part.
  const int kAnswers = 12;
  auto text_of = [](int i) { return std::to_string(i) + std::string(static_cast<size_t>(5000 + i * 13), 'a' + i); };
  std::string batch;
  for (int i = 0; i < kAnswers; ++i) batch += result("{\"flow\":9,\"result\":\"" + text_of(i) + "\"}");
  ASSERT_TRUE(srv.send(batch));
  pump_until([] { return false; }, 300);
  std::string got;
  std::vector<std::string> packets;
  ASSERT_TRUE(pump_until(
      [&] {
        char buf[65536];
        ssize_t n;
        while ((n = recv(slow.peer_fd(), buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
        while (got.size() >= 9 && got.size() >= pkg_length(got.data()) + 2u) {
          packets.push_back(got.substr(0, pkg_length(got.data()) + 2u));
          got.erase(0, packets.back().size());
        }
        return packets.size() >= static_cast<size_t>(kAnswers);
      },
      10000))
      << packets.size() << " answers";
  EXPECT_TRUE(got.empty());
  for (int i = 0; i < kAnswers; ++i) {
    int status = -9;
    std::string text;
    ASSERT_TRUE(ClientEnd::decode(packets[static_cast<size_t>(i)], &status, &text)) << i;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, text_of(i));
  }
}

}  // namespace
