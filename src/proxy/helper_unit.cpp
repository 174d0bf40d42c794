#include "helper_unit.h"

#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "EncryptDecrypt.h"
#include "client_unit.h"
#include "clib_log.h"
#include "decode_unit.h"
#include "global.h"
#include "helper_pool.h"
#include "incoming.h"
#include "log.h"
#include "metrics/registry.h"
#include "net.h"
#include "packet_frame.h"
#include "proxy_module.h"
#include "result_fields.h"
#include "timestamp.h"

namespace __http_svr_ns__ {

server_stat_s* gSvrStat = nullptr;
server_switch_s* gSvrSwitch = nullptr;

namespace {

bool would_block(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

// Some link was named by defer_pkg since the last flush; some link's deferred packets
// reached FORWARD_BATCH_BYTES.
bool g_flush_wanted = false;
// Forwards remembered as written before the acknowledged ones are forgotten.
const size_t kForgetBatch = 1024;
bool g_batch_full = false;
// Where results for clients not held here go (live upgrade); null: they are dropped.
CHelperUnit::ResultSink g_result_sink = nullptr;

// Packets of command `cmd` among the whole packets at the head of `data`.
unsigned count_cmd(const char* data, size_t len, unsigned cmd) {
  unsigned n = 0;
  for (size_t at = 0;;) {
    const TFrame frame = frame_packet(data + at, len - at, 0xFFFF + 2, false);
    if (frame.status != FRAME_WHOLE) return n;
    if (pkg_cmd(data + at) == cmd) ++n;
    at += static_cast<size_t>(frame.size);
  }
}

}  // namespace

CHelperUnit::CHelperUnit(CPollerUnit* unit)
    : CPollerObject(unit, 0),
      port(0),
      _stage(CONN_IDLE),
      _helperTimer(nullptr),
      _send_error_times(0),
      _connect_retry_at(0),
      _resets(0),
      _flush_pending(false),
      _dropped_forwards(0),
      _dropped_notices(0),
      _fw(),
      _dropped_bytes(0),
      _head_rest(0),
      _last_drop(DROP_LINK_RESET),
      _written_total(0),
      _forget_at(kForgetBatch),
      _r(*_helpMp),
      _w(*_helpMp) {}

CHelperUnit::~CHelperUnit() {
  reset_helper();
  _w.skip(_w.data_len());
  _r.skip(_r.data_len());
}

void CHelperUnit::close_socket() {
  DisableInput();
  DisableOutput();
  ApplyEvents();
  DetachPoller();
  if (netfd > 0) ::close(netfd);
  netfd = -1;
  std::deque<uint64_t>().swap(_written_ends);
  _written_total = 0;
  _forget_at = kForgetBatch;
}

int CHelperUnit::connect(bool wait) {
  log_debug("*STEP: PROXY CNet::tcp_connect before");
  // The handshake under way ends in OutputNotify or in the connect time-out.
  if (_stage == CONN_CONNECTING && netfd >= 0) return 1;
  int ret = 0;
  if (_stage == CONN_IDLE || netfd < 0) {
    const int64_t start = GET_TIMESTAMP();
    if (start < _connect_retry_at) {
      log_debug("helper %s:%d unreachable a moment ago, no connect attempt", addr.c_str(), port);
      return -1;
    }
    if (_connect_retry_at != 0) end_backoff();
    // A socket left open here would leak when a new connect overwrites netfd.
    if (netfd > 0) close_socket();
    // Only start-up waits for the handshake; the serving loop never does.
    ret = wait ? CNet::tcp_connect(&netfd, addr.c_str(), port, 0, TGlobal::_timerConnect)
               : CNet::tcp_connect_start(&netfd, addr.c_str(), port);
    if (ret < 0 && wait && GET_TIMESTAMP() - start >= static_cast<int64_t>(TGlobal::_timerConnect) * 1000) {
      connect_failed(true);
      return -1;
    }
  }
  if (ret == 1) {
    _stage = CONN_CONNECTING;
    _shares.set_connecting(true);
    // Writable once the handshake has ended either way; nothing is read before.
    DisableInput();
    EnableOutput();
    if (AttachPoller() < 0) {
      connect_failed(false);
      return -1;
    }
    CTimerUnit* timers = CIncoming::Instance()->timerunit();
    if (timers != nullptr) AttachTimer(timers->GetTimerListMs(TGlobal::_timerConnect));
    return 1;
  }
  return connected(ret);
}

int CHelperUnit::connected(int ret) {
  log_debug("*STEP: PROXY CNet::tcp_connect ret :[%d], netfd:[%d]", ret, netfd);
  if (ret < 0) {
    log_error("Connect Helper error, ip:[%s], port:[%d]", addr.c_str(), port);
    // A failed connect leaves its socket open for its caller.
    close_socket();
    return -1;
  }
  _stage = CONN_CONNECTED;
  _shares.set_connecting(false);
  // Listen from the start: a server that reports its load before the first forward is
  // heard, and one that closes the link is noticed before a forward is written into it.
  EnableInput();
  return AttachPoller();
}

int CHelperUnit::finish_connect() {
  const int ret = CNet::connect_result(netfd, addr.c_str(), port);
  if (ret == 1) return 0;  // not ended yet: the next notice or the time-out decides
  if (ret < 0) {
    connect_failed(false);
    return 1;
  }
  DisableTimer();
  DisableOutput();  // send_to_cgi asks for it again while the queue does not fit the socket
  if (connected(0) < 0) {
    reset_helper(DROP_LINK_DOWN);
    return 1;
  }
  if (_helperTimer != nullptr) AttachTimer(_helperTimer);
  // What waited in the queue during the handshake goes out now, in its order.
  send_to_cgi();
  return 1;
}

void CHelperUnit::connect_failed(bool timed_out) {
  DisableTimer();  // the connect time-out, when the handshake failed first
  if (timed_out) {
    // A server that cannot be reached is not tried again for a while: each attempt
    // would hold the link's queue for the whole time-out again.
    _connect_retry_at = GET_TIMESTAMP() + static_cast<int64_t>(CONNECT_RETRY_AFTER_TIMEOUT_MS) * 1000;
    log_error("connect to helper %s:%d timed out; next attempt in %d ms at the earliest", addr.c_str(), port,
              CONNECT_RETRY_AFTER_TIMEOUT_MS);
  }
  connected(-1);
  if (_connect_retry_at != 0) count_dropped();
  reset_helper(DROP_LINK_DOWN);
  log_debug("Connect logic server failed!");
  if (timed_out) {
    // The timer ends the back-off even when no packet comes to try again.
    CTimerUnit* timers = CIncoming::Instance()->timerunit();
    CTimerList* backoff = timers == nullptr ? nullptr : timers->GetTimerList(CONNECT_RETRY_AFTER_TIMEOUT_MS / 1000);
    if (backoff != nullptr) AttachTimer(backoff);
  }
}

bool CHelperUnit::cache_append(comm::sockcommu::CRawCache& cache, const char* data, unsigned len, const char* what) {
  try {
    cache.append(data, len);
  } catch (int) {
    report_exhausted(len, what);
    return false;
  }
  return true;
}

void CHelperUnit::report_exhausted(unsigned len, const char* what) {
  log_error("helper pool exhausted: %u bytes %s dropped, link to %s:%d reset", len, what, addr.c_str(), port);
}

bool CHelperUnit::queue_has_room(unsigned len) {
  if (static_cast<uint64_t>(pending_output()) + len <= TGlobal::_maxHelperQueue) return true;
  if (_stage == CONN_CONNECTING) {
    // The handshake under way and what waits for it are kept: a reset would only start
    // another connect with an empty queue, over and over while a flood lasts. The packet
    // that does not fit is refused instead (its caller logs and counts it).
    _last_drop = DROP_QUEUE_FULL;
    return false;
  }
  log_error("send queue to logic server %s:%d would pass %u bytes: link reset", addr.c_str(), port,
            TGlobal::_maxHelperQueue);
  reset_helper(DROP_QUEUE_FULL);
  return false;
}

int CHelperUnit::append_pkg(const char* data, unsigned int len, hall_admission::CShareAccount* owner) {
  if (!queue_has_room(len)) return -1;
  // Whatever this turn has batched goes first: the server sees packets in queue order.
  if (!_batch.empty() && !spill_batch(0)) return -1;
  if (!cache_append(_w, data, len, "to send")) {
    reset_helper(DROP_NO_MEMORY);
    return -1;
  }
  _shares.add(owner, len);
  return 0;
}

int CHelperUnit::defer_pkg(const char* data, unsigned int len, CTimerList* list, hall_admission::CShareAccount* owner) {
  if (list != nullptr) _helperTimer = list;
  if (_w.data_len() > 0) {
    if (append_pkg(data, len, owner) < 0) {
      _dropped_bytes += len;
      return -1;
    }
  } else {
    if (!queue_has_room(len)) {
      _dropped_bytes += len;
      return -1;
    }
    try {
      _batch.append(data, len);
    } catch (...) {
      report_exhausted(len, "to send");
      reset_helper(DROP_NO_MEMORY);
      _dropped_bytes += len;
      return -1;
    }
    _shares.add(owner, len);
  }
  _flush_pending = true;
  g_flush_wanted = true;
  if (pending_output() >= FORWARD_BATCH_BYTES) g_batch_full = true;
  return 0;
}

void CHelperUnit::flush_deferred() { flush_links(false); }

void CHelperUnit::flush_links(bool mid_turn) {
  if (!g_flush_wanted || _helperpool == nullptr) return;
  g_flush_wanted = false;
  g_batch_full = false;
  for (std::map<int, CHelperUnit*>::iterator it = _helperpool->m_helpermap.begin();
       it != _helperpool->m_helpermap.end(); ++it) {
    CHelperUnit* helper = it->second;
    if (helper == nullptr || !helper->_flush_pending) continue;
    // Within a turn, a link whose socket was full at its last write waits for
    // writability (its output notification writes the queue): writing again now would
    // only count one more blocked write per forward, and one busy client's read would
    // reach the blocked-writes bound and reset the link for everyone. The end of the
    // turn tries it once.
    if (mid_turn && helper->link_up() && (helper->GetNewEvents() & EPOLLOUT) != 0) {
      g_flush_wanted = true;
      continue;
    }
    helper->_flush_pending = false;
    // A link reset meanwhile has dropped its queue: it is not reconnected for nothing.
    if (helper->pending_output() > 0) helper->send_to_logic();
  }
}

void CHelperUnit::settle_shares() {
  _shares.settle(static_cast<uint64_t>(pending_output()) + static_cast<uint64_t>(CNet::unacked_bytes(netfd)));
}

void CHelperUnit::settle_all_shares() {
  if (_helperpool == nullptr) return;
  // Bytes written still wait in a socket only while the server is behind.
  for (std::map<int, CHelperUnit*>::iterator it = _helperpool->m_helpermap.begin();
       it != _helperpool->m_helpermap.end(); ++it)
    if (it->second != nullptr && it->second->_shares.total() > it->second->pending_output())
      it->second->settle_shares();
}

void CHelperUnit::flush_if_full() {
  if (g_batch_full) flush_links(true);
}

bool CHelperUnit::spill_batch(unsigned sent) {
  bool ok = sent >= _batch.size() ||
            cache_append(_w, _batch.data() + sent, static_cast<unsigned>(_batch.size() - sent), "to send");
  _batch.clear();
  if (!ok) reset_helper(DROP_NO_MEMORY);
  return ok;
}

int CHelperUnit::send_to_logic() {
  // Sending is activity too: a unit already on a timer list is re-armed, so a link in
  // use is not closed as idle while its answers are slow.
  return send_to_logic(_helperTimer);
}

int CHelperUnit::send_to_logic(CTimerList* list) {
  _helperTimer = list;
  const int ret = connect();
  if (ret < 0) {
    if (_connect_retry_at != 0) count_dropped();
    reset_helper(DROP_LINK_DOWN);
    log_debug("Connect logic server failed!");
    return -1;
  }
  // The queue waits for the handshake; finish_connect writes it.
  if (ret > 0) return CONN_DATA_SENDING;
  if (_helperTimer != nullptr) AttachTimer(_helperTimer);
  return send_to_cgi();
}

int CHelperUnit::send_to_cgi() {
  // The batch is only ever filled while the queue is empty, so one of them holds it all.
  const bool from_batch = !_batch.empty();
  unsigned len = from_batch ? static_cast<unsigned>(_batch.size()) : _w.data_len();
  log_debug("_w data size:[%d]", static_cast<int>(len));
  if (len == 0) return 0;
  if (netfd < 0) return -1;
  if (_stage == CONN_CONNECTING) return CONN_DATA_SENDING;

  ssize_t ret = ::send(netfd, from_batch ? _batch.data() : _w.data(), len, MSG_NOSIGNAL);
  int err = errno;
  if (ret > 0) g_stats.bytes_written += static_cast<uint64_t>(ret);
  log_debug("sent packet size:[%d]", static_cast<int>(ret));
  if (ret < 0) {
    if (would_block(err)) {
      if (from_batch && !spill_batch(0)) {
        _stage = CONN_FATAL_ERROR;
        return -1;
      }
      ++_send_error_times;
      if (_send_error_times >= MAX_SEND_BLOCKED) {
        if (g_pErrorLog != nullptr) g_pErrorLog->logMsg("CHelperUnit::send_to_cgi, send error more");
        reset_helper();
        _stage = CONN_FATAL_ERROR;
        return -1;
      }
      EnableOutput();
      ApplyEvents();
      return CONN_DATA_SENDING;
    }
    log_error("*STEP: sending package to logic server failed, ret code[%d], errno:[%d], ip:[%s], port:[%d]",
              static_cast<int>(ret), err, addr.c_str(), port);
    reset_helper();
    _stage = CONN_FATAL_ERROR;
    return -1;
  }
  count_written(from_batch ? _batch.data() : _w.data(), len, static_cast<unsigned>(ret));
  if (!from_batch) {
    _w.skip(static_cast<unsigned>(ret));
  } else if (!spill_batch(static_cast<unsigned>(ret))) {
    _stage = CONN_FATAL_ERROR;
    return -1;
  }
  _send_error_times = 0;
  settle_shares();
  if (static_cast<unsigned>(ret) == len) {
    DisableOutput();
    ApplyEvents();
    _stage = CONN_SEND_DONE;
    log_debug("*STEP: sent package to logic server, netfd[%d] packet size[%d]", netfd, static_cast<int>(ret));
  } else {
    EnableOutput();
    ApplyEvents();
    _stage = CONN_DATA_SENDING;
  }
  return static_cast<int>(ret);
}

int CHelperUnit::recv_from_cgi() {
  ssize_t ret = ::recv(netfd, _curRecvBuf, RECV_BUFFER_SIZE, 0);
  int err = errno;
  log_traffic("*STEP: recv from logic server fd[%d] recv len[%d] this time", netfd, static_cast<int>(ret));
  if (ret < 0) {
    log_debug("*STEP: ret = -1");
    if (would_block(err)) {
      _stage = CONN_DATA_RECVING;
      return 0;
    }
    _stage = CONN_FATAL_ERROR;
    log_error("*STEP: recv from logic server failed, unix fd[%d]", netfd);
    return -1;
  }
  if (ret == 0) {
    _stage = CONN_DISCONNECT;
    log_error("*STEP:logic server close, unix fd[%d]", netfd);
    return -1;
  }
  if (handle_read(_curRecvBuf, static_cast<unsigned>(ret)) < 0) return -1;
  _stage = CONN_RECV_DONE;
  log_debug("*STEP: recving from logic server complete, unix fd[%d] current recv len[%d]", netfd,
            static_cast<int>(ret));
  return static_cast<int>(ret);
}

int CHelperUnit::handle_read(const char* data, unsigned left) {
  // The one read loop of a logic link. Packets are handled where they were read. Only a
  // packet split over reads is gathered in the queue, and the queue takes no more than
  // that packet's bytes, so it never holds more than one packet.
  while (left > 0) {
    if (_r.data_len() == 0) {
      const int used = process_pkg(data, left);
      if (used < 0) return -1;
      const unsigned rest = left - static_cast<unsigned>(used);
      return rest == 0 || cache_append(_r, data + used, rest, "received") ? 0 : -1;
    }
    const unsigned want = std::min(left, queued_packet_missing());
    if (!cache_append(_r, data, want, "received")) return -1;
    data += want;
    left -= want;
    if (queued_packet_missing() == 0 && process_pkg() < 0) return -1;
  }
  return 0;
}

unsigned CHelperUnit::queued_packet_missing() const {
  const TFrame frame = frame_packet(_r.data(), _r.data_len(), MAX_BODY_LENGTH + 2, false);
  if (frame.status != FRAME_NEED_MORE) return 0;  // whole, or broken: process_pkg decides
  const unsigned want = frame.size == 0 ? static_cast<unsigned>(PACKET_HEADER_SIZE) : static_cast<unsigned>(frame.size);
  return want - _r.data_len();
}

int CHelperUnit::process_pkg() {
  int used = process_pkg(_r.data(), _r.data_len());
  if (used < 0) return -1;
  _r.skip(static_cast<unsigned>(used));
  return 0;
}

int CHelperUnit::process_pkg(const char* data, unsigned len) {
  log_debug("--------------- CHelperUnit::process_pkg begin --------------");
  log_debug("forward packets to headLen [%d]:", PACKET_HEADER_SIZE);
  log_debug("forward packets to totalLen [%d]:", static_cast<int>(len));
  log_debug("forward packets to the client start headLen[%d],totalLen[%d]", PACKET_HEADER_SIZE, static_cast<int>(len));

  const unsigned resets_at_start = _resets;
  unsigned used = 0;
  for (;;) {
    const char* head = data + used;
    const TFrame frame = frame_packet(head, len - used, MAX_BODY_LENGTH + 2, false);
    if (frame.size == 0) break;  // no whole header
    const int length = pkg_length(head);
    const unsigned cmd = pkg_cmd(head);
    log_traffic("helper packet body length:[%d], cmd:[%#x]", length, cmd);
    // A length outside the bounds cannot frame anything: the stream is lost.
    if (frame.status == FRAME_BAD_SIZE) {
      log_error("helper packet length:[%d] out of range, link to %s:%d dropped", length, addr.c_str(), port);
      return -1;
    }
    if (frame.status == FRAME_NEED_MORE) break;
    const unsigned total = static_cast<unsigned>(frame.size);
    used += total;
    if (total > static_cast<unsigned>(PACKET_BUFFER_SIZE)) {
      log_error("helper packet of %u bytes does not fit a packet buffer, cmd:[%#x] dropped", total, cmd);
      if (cmd == INTER_CMD_RES) ++g_stats.results_unroutable;  // its answer reaches no one
      continue;
    }
    NETInputPacket pkt;
    pkt.Copy(head, static_cast<int>(total));
    CEncryptDecrypt cipher;
    cipher.DecryptBuffer(&pkt);

    if (_helperpool == nullptr) {
      log_error("_helperpool is null");
      continue;
    }
    switch (cmd) {
      case INTER_CMD_RES:
        _pay_res(&pkt, head, total);
        break;
      case INTER_CMD_WAITER_STAT_RES:
      case INTER_CMD_NOTIFY_STAT_RES:
        _worker_stat_chk(&pkt);
        break;
      default:
        log_error("cmd:[%X] is invalied.", cmd);
        break;
    }
    // A reset while the packet was handled has dropped the queue data may point into,
    // and with it the rest of the stream: nothing is left to handle or keep.
    if (_resets != resets_at_start) return static_cast<int>(len);
  }
  return static_cast<int>(used);
}

int CHelperUnit::_worker_stat_chk(NETInputPacket* pkt) {
  log_debug("-------- CHelperUnit::_worker_stat_chk begin --------");
  int qlen = pkt->ReadInt();
  int ctime = pkt->ReadInt();
  unsigned cmd = pkt->GetCmdType();
  log_debug("Cmd: [%#x]", cmd);
  if (gSvrStat != nullptr && gSvrSwitch != nullptr) {
    if (cmd == INTER_CMD_WAITER_STAT_RES) {
      gSvrStat->_w_qlen = static_cast<uint32_t>(qlen);
      gSvrStat->_w_ctime = static_cast<uint32_t>(ctime);
      gSvrSwitch->_w_is_busyed = qlen > BUSY_QUEUE_LENGTH;
    } else if (cmd == INTER_CMD_NOTIFY_STAT_RES) {
      gSvrStat->_n_qlen = static_cast<uint32_t>(qlen);
      gSvrStat->_n_ctime = static_cast<uint32_t>(ctime);
      gSvrSwitch->_n_is_busyed = qlen > BUSY_QUEUE_LENGTH;
    }
    log_info("-------- Server_Stat begin --------");
    log_info("_w_qlen:  %d", static_cast<int>(gSvrStat->_w_qlen));
    log_info("_w_ctime: %d", static_cast<int>(gSvrStat->_w_ctime));
    log_info("_n_qlen:  %d", static_cast<int>(gSvrStat->_n_qlen));
    log_info("_n_ctime: %d", static_cast<int>(gSvrStat->_n_ctime));
    log_info("_w_is_busyed: %s", gSvrSwitch->_w_is_busyed ? "true" : "false");
    log_info("_n_is_busyed: %s", gSvrSwitch->_n_is_busyed ? "true" : "false");
    log_info("-------- Server_Stat end --------");
  }
  log_debug("-------- CHelperUnit::_worker_stat_chk end --------");
  return 0;
}

void CHelperUnit::set_result_sink(ResultSink sink) { g_result_sink = sink; }

int CHelperUnit::route_result(const char* packet, unsigned len) {
  const TFrame frame = frame_packet(packet, len, MAX_BODY_LENGTH + 2, false);
  if (frame.status != FRAME_WHOLE || static_cast<unsigned>(frame.size) != len || pkg_cmd(packet) != INTER_CMD_RES ||
      len > static_cast<unsigned>(PACKET_BUFFER_SIZE))
    return -1;
  NETInputPacket pkt;
  pkt.Copy(packet, static_cast<int>(len));
  CEncryptDecrypt cipher;
  cipher.DecryptBuffer(&pkt);
  _pay_res(&pkt);
  return 0;
}

int CHelperUnit::_pay_res(NETInputPacket* pkt, const char* raw, unsigned raw_len) {
  log_debug("-------- CHelperUnit::_pay_res begin --------");
  int errcode = pkt->ReadByte();
  const std::string_view json = pkt->ReadString();
  log_debug("ErrCode: %d", errcode);
  log_debug("JSON: %.*s", static_cast<int>(json.size()), json.data());

  ResultFields fields;
  read_result_fields(json, &fields);

  NETOutputPacket out;
  out.Begin(SERVER_CMD_REP, 1, 1);
  unsigned long flow = fields.flow;
  bool has_flow = fields.has_flow;
  int ret = -1;
  if (fields.parsed) {
    if (!fields.has_result) {
      out.WriteInt(0);
      out.WriteString("");
      ret = 0;
    } else if (fields.result_is_text) {
      out.WriteInt(0);
      out.WriteString(fields.result);
      ret = 0;
    } else {
      log_error("%s||result is not a text, flow:[%lu]", __FUNCTION__, flow);
      out.WriteInt(1);
      out.WriteString("");
    }
  } else {
    out.WriteInt(1);
    out.WriteString("");
    log_debug("-------- CHelperUnit::_pay_res error --------");
  }
  out.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&out);

  if (!has_flow) {
    log_error("%s||result names no receiver, answer dropped", __FUNCTION__);
    ++g_stats.results_unroutable;
    ret = -1;
  } else {
    CDecoderUnit* decoder = nullptr;
    CClientUnit* client = _get_client_by_id(flow, &decoder);
    if (client == nullptr && g_result_sink != nullptr && raw != nullptr && g_result_sink(raw, raw_len)) {
      log_debug("%s||result for flow:[%lu] passed on to the process that took the clients over", __FUNCTION__, flow);
      ret = 0;
    } else if (client == nullptr) {
      log_warning("%s||Cannot find client, flow:[%lu], answer dropped", __FUNCTION__, flow);
      ++g_stats.results_unroutable;
      ret = -1;
    } else if (client->half_closed()) {
      log_warning("%s||client of flow:[%lu] is leaving, answer dropped", __FUNCTION__, flow);
      ++g_stats.results_unroutable;
      ret = -1;
    } else if (client->stage() == CONN_FATAL_ERROR) {
      log_warning("%s||client of flow:[%lu] is failing, answer dropped", __FUNCTION__, flow);
      ++g_stats.results_unroutable;
      ret = -1;
    } else {
      ret = client->send_answer(out.packet_buf(), static_cast<unsigned>(out.packet_size()));
      // An answer the connection could not take (its queue bound passed, its socket
      // failed) closes it and reaches no one.
      if (ret < 0)
        ++g_stats.results_unroutable;
      else
        ++g_stats.results;
    }
  }
  log_debug("-------- CHelperUnit::_pay_res end --------");
  return ret;
}

CClientUnit* CHelperUnit::_get_client_by_id(const unsigned long& id, CDecoderUnit** out) {
  *out = nullptr;
  // Client ids are ints: a larger flow names no one.
  if (_helperpool == nullptr || id > static_cast<unsigned long>(INT_MAX)) return nullptr;
  CHelperPool::ClientMap::iterator it = _helperpool->m_objmap.find(static_cast<int>(id));
  // A client that has left, its end still queued, is found by no one, as once it ends.
  if (it == _helperpool->m_objmap.end() || it->second == nullptr || it->second->departing()) return nullptr;
  CClientUnit* client = it->second->get_web_unit();
  if (client == nullptr) return nullptr;
  *out = it->second;
  return client;
}

void CHelperUnit::count_dropped() {
  // Nothing of the queues was written (the link is down): they hold whole packets.
  const char* data = _batch.empty() ? _w.data() : _batch.data();
  const size_t len = _batch.empty() ? _w.data_len() : _batch.size();
  _dropped_forwards += count_cmd(data, len, SERVER_CMD_DATA_FW_REQ);
  _dropped_notices += count_cmd(data, len, CLIENT_CMD_DATA_REQ);
}

void CHelperUnit::count_written(const char* data, unsigned len, unsigned sent) {
  // The queue holds whole packets but for the rest of one written in part at its head.
  unsigned at = _head_rest;
  while (at < sent) {
    const TFrame frame = frame_packet(data + at, len - at, 0xFFFF + 2, false);
    if (frame.status != FRAME_WHOLE) {
      at = sent;
      break;
    }
    if (pkg_cmd(data + at) == SERVER_CMD_DATA_FW_REQ) {
      ++_fw.sent;
      _written_ends.push_back(_written_total + at + static_cast<unsigned>(frame.size));
    }
    at += static_cast<unsigned>(frame.size);
  }
  _head_rest = at - sent;
  _written_total += sent;
  if (_written_ends.size() >= _forget_at) forget_acked();
}

void CHelperUnit::forget_acked() {
  // One ioctl per batch of forwards: the list holds no more than the socket's send
  // buffer can leave unacknowledged, and twice what that was at the last look.
  const uint64_t acked = _written_total - static_cast<uint64_t>(CNet::unacked_bytes(netfd));
  while (!_written_ends.empty() && _written_ends.front() <= acked) _written_ends.pop_front();
  _forget_at = std::max(kForgetBatch, 2 * _written_ends.size());
}

unsigned CHelperUnit::unacked_forwards() const {
  const uint64_t acked = _written_total - static_cast<uint64_t>(CNet::unacked_bytes(netfd));
  return static_cast<unsigned>(_written_ends.end() -
                               std::upper_bound(_written_ends.begin(), _written_ends.end(), acked));
}

void CHelperUnit::end_backoff() {
  log_error("Connect Helper back-off over, ip:[%s], port:[%d], dropped forwards:[%u], close notices:[%u]", addr.c_str(),
            port, _dropped_forwards, _dropped_notices);
  _dropped_forwards = 0;
  _dropped_notices = 0;
  _connect_retry_at = 0;
  DisableTimer();
}

void CHelperUnit::update_timer() {
  DisableTimer();
  if (_helperTimer != nullptr) AttachTimer(_helperTimer);
}

void CHelperUnit::reset_helper(TDropReason reason) {
  log_debug("reset helper object");
  ++_resets;
  const char* queued = _batch.empty() ? _w.data() : _batch.data();
  const size_t queued_len = _batch.empty() ? _w.data_len() : _batch.size();
  if (queued_len > _head_rest)
    _fw.dropped[reason] += count_cmd(queued + _head_rest, queued_len - _head_rest, SERVER_CMD_DATA_FW_REQ);
  // What the socket still holds unacknowledged goes with the close as well: the close is
  // made a reset then, so that those forwards are lost for certain, as counted, and not
  // perhaps delivered later by the kernel alone.
  const int unacked = CNet::unacked_bytes(netfd);
  _fw.dropped[DROP_UNACKED] += unacked_forwards();
  _dropped_bytes += queued_len + static_cast<unsigned>(unacked);
  if (unacked > 0) {
    const struct linger abort_close = {1, 0};
    setsockopt(netfd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof(abort_close));
  }

  _head_rest = 0;
  _last_drop = reason;
  std::string().swap(_batch);
  _w.skip(_w.data_len());
  _r.skip(_r.data_len());
  _shares.clear();
  close_socket();
  assert(GetEpollSlot() == nullptr && netfd == -1);
  _stage = CONN_IDLE;
  // A fresh connection starts with a clean count; otherwise its first blocked send
  // would reset it at once.
  _send_error_times = 0;
}

int CHelperUnit::InputNotify() {
  if (_stage == CONN_CONNECTING) return finish_connect();
  update_timer();
  if (recv_from_cgi() < 0) {
    log_error("call recv failed, helper client netfd[%d]", netfd);
    reset_helper();
    return 1;
  }
  return 0;
}

int CHelperUnit::OutputNotify() {
  if (_stage == CONN_CONNECTING) return finish_connect();
  update_timer();
  send_to_cgi();
  return 0;
}

int CHelperUnit::HangupNotify() {
  log_debug("CHelperUnit object hangup notify: fd[%d]", netfd);
  if (_stage == CONN_CONNECTING) {
    if (finish_connect() == 0) connect_failed(false);
    return 1;
  }
  update_timer();
  process_pkg();
  // Results that reached the socket before the server reset the link are delivered.
  for (int reads = 0; reads < MAX_READS_AT_HANGUP && CNet::unread_bytes(netfd) > 0; ++reads)
    if (recv_from_cgi() < 0) break;
  reset_helper();
  return 1;
}

void CHelperUnit::TimerNotify() {
  if (_stage == CONN_CONNECTING) {
    connect_failed(true);
    return;
  }
  if (_connect_retry_at != 0) {
    end_backoff();
    return;
  }
  // Packets deferred in this turn are written at its end: the link is in use, and a
  // reset now would drop them with it.
  if (_flush_pending && pending_output() > 0) {
    update_timer();
    return;
  }
  log_debug("*STEP: timer expired, unix fd[%d], timeout.", netfd);
  reset_helper();
}

namespace {

const char* const kDropReasons[DROP_REASONS] = {"queue_full", "no_memory", "link_down", "link_reset", "unacknowledged"};

std::string svid_label(int svid) { return "svid=\"" + std::to_string(svid) + "\""; }

// The samples of one family, one logic link after the other in ascending server id.
void per_link(hall_metrics::CExposition& e,
              void (*write)(hall_metrics::CExposition& e, const std::string& svid, const CHelperUnit& link)) {
  if (_helperpool == nullptr) return;
  for (const auto& l : _helperpool->m_helpermap)
    if (l.second != nullptr) write(e, svid_label(l.first), *l.second);
}

}  // namespace

void CHelperUnit::register_metrics() {
  using hall_metrics::CExposition;
  using hall_metrics::CMetricsRegistry;
  CMetricsRegistry::add("hall_forwards_total", "counter", "Client requests written to a logic server.",
                        [](CExposition& e) {
                          per_link(e, [](CExposition& e, const std::string& svid, const CHelperUnit& link) {
                            e.sample("hall_forwards_total", svid, static_cast<unsigned long long>(link._fw.sent));
                          });
                        });
  CMetricsRegistry::add(
      "hall_forwards_dropped_total", "counter",
      "Client requests for a logic server lost, by reason (unacknowledged: written, lost with the link).",
      [](CExposition& e) {
        per_link(e, [](CExposition& e, const std::string& svid, const CHelperUnit& link) {
          for (int r = 0; r < DROP_REASONS; ++r)
            e.sample("hall_forwards_dropped_total", svid + ",reason=\"" + kDropReasons[r] + "\"",
                     static_cast<unsigned long long>(link._fw.dropped[r]));
        });
      });
  CMetricsRegistry::add("hall_logic_link_up", "gauge", "1 while the link to the logic server is connected.",
                        [](CExposition& e) {
                          per_link(e, [](CExposition& e, const std::string& svid, const CHelperUnit& link) {
                            e.sample("hall_logic_link_up", svid, link.link_up() ? 1LL : 0LL);
                          });
                        });
  CMetricsRegistry::add("hall_logic_queued_bytes", "gauge", "Bytes queued for the logic server, not yet written.",
                        [](CExposition& e) {
                          per_link(e, [](CExposition& e, const std::string& svid, const CHelperUnit& link) {
                            e.sample("hall_logic_queued_bytes", svid, static_cast<long long>(link.pending_output()));
                          });
                        });
}

}  // namespace __http_svr_ns__
