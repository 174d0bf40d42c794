#include "client_unit.h"

#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "auth/client_auth.h"
#include "decode_unit.h"
#include "global.h"
#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "log.h"
#include "net.h"
#include "packet_frame.h"
#include "proxy_module.h"
#include "stats.h"
#include "timestamp.h"

namespace __http_svr_ns__ {

namespace {

// The cross-domain policy request (with its terminating zero byte) and its answer
// (sent without one).
const char kPolicyRequest[] = "<policy-file-request/>";
const int kPolicyRequestSize = 23;
const char kPolicyAnswer[] =
    "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" /></cross-domain-policy>";
const int kPolicyAnswerSize = 88;
static_assert(sizeof(kPolicyRequest) == kPolicyRequestSize, "policy request is 23 bytes");
static_assert(sizeof(kPolicyAnswer) == kPolicyAnswerSize + 1, "policy answer is 88 bytes");

}  // namespace

CClientUnit::CClientUnit(CDecoderUnit* owner, int fd, hall_transport::CTransport* transport)
    : CPollerObject(owner->pollerunit(), fd),
      _api(0),
      _send_error_times(0),
      _stage(CONN_IDLE),
      _decoderunit(owner),
      _uid(0),
      _r(*_webMp),
      _w(*_webMp),
      _ending(false),
      _queued_counted(0),
      _half_closed(false),
      _close_when_sent(false),
      _auth_ticket(0),
      _transport(transport != nullptr ? transport : new hall_transport::CTcpTransport(fd)) {
  // Edge-triggered: a client at end-of-file is reported once, and departs on that one event.
  SetEdgeTriggered(true);
}

CClientUnit::~CClientUnit() {
  // CDecoderUnit::complete has taken the connection off the poller and its timer list.
  assert(GetEpollSlot() == nullptr);
  // A verdict that comes after the connection is gone is dropped.
  hall_auth::client_auth_cancel(_auth_ticket);
  _w.skip(_w.data_len());
  _r.skip(_r.data_len());
  count_queued();
}

void CClientUnit::count_queued() {
  g_stats.client_queued_bytes += static_cast<int64_t>(_w.data_len()) - _queued_counted;
  _queued_counted = _w.data_len();
}

int CClientUnit::Attach() {
  EnableInput();
  if (AttachPoller() == -1) {
    log_error("invoke CPollerObject::AttachPoller() failed.");
    return -1;
  }
  _stage = CONN_IDLE;
  AttachTimer(_decoderunit->get_web_timer());
  return 0;
}

int CClientUnit::InputNotify() {
  // A departed client is read once more when its departure is completed.
  if (_decoderunit->departing()) return 1;
  update_timer();
  // What a transport holds already (part of a TLS record, WebSocket messages beyond one
  // read) is not reported again by the kernel: it is read here. Each further pass only
  // works off what the layers hold, so the passes end.
  if (recv() == 0)
    for (int pass = 0; pass < MAX_HELD_READS && _stage == CONN_DATA_RECVING && !_ending && _transport->input_pending();
         ++pass)
      if (recv() < 0) break;
  want_transport_output();
  log_debug("InputNotify");
  const int ret = _decoderunit->web_input();
  if (ret == 0) read_later_if_left();
  return ret;
}

void CClientUnit::read_later_if_left() {
  // One read per connection and turn: what it left (a read that filled the buffer, bytes a
  // layer holds) is read at the next turn, since the kernel reports no edge for it.
  if (_ending || _close_when_sent || _auth_ticket != 0 || (GetNewEvents() & EPOLLIN) == 0) return;
  if (_transport->input_pending() || _transport->read_filled() || _peek_filled) PostInput();
}

int CClientUnit::OutputNotify() {
  if (_decoderunit->departing()) return 1;
  update_timer();
  const bool flushing = _w.data_len() == 0 && _transport->output_pending();
  if (_w.data_len() > 0) {
    send();
  } else if (flushing && _transport->flush() < 0) {
    // The transport's own close is done, or the connection failed under it.
    _stage = CONN_FATAL_ERROR;
  } else if (_stage != CONN_FATAL_ERROR) {
    // A transport's step on writability (a TLS handshake message, a read that had to
    // write first) may have left the client's bytes waiting in the socket: read again.
    if (flushing && !_ending && (GetNewEvents() & EPOLLIN) != 0) PostInput();
    // Writability with nothing queued is no failure: the answers are all out. The
    // mask goes to the kernel here, since the dispatcher applies nothing after a
    // non-zero result.
    if (!_transport->output_pending()) DisableOutput();
    ApplyEvents();
    _stage = CONN_SEND_DONE;
  }
  return _decoderunit->web_output();
}

int CClientUnit::HangupNotify() {
  if (_decoderunit->departing()) return 1;
  log_error("*STEP: web connection is hangup, netfd[%d] stage[%d]", netfd, _stage);
  // Nothing is read here: what the client sent last is read when its departure is
  // completed (read_rest), so that a departure costs the loop only its event now.
  return _decoderunit->web_hangup();
}

int CClientUnit::PeerShutdownNotify() {
  if (_decoderunit->departing()) return 1;
  log_debug("peer shut down fd[%d] uid[%d]", netfd, _uid);
  // A client that has sent all it will send departs, like one whose end a read found;
  // its last bytes are read when the departure is completed.
  _decoderunit->depart();
  return 1;
}

void CClientUnit::read_rest() {
  // Requests that reached the socket are handled whether or not their sender still
  // waits for the answers. After end-of-file was read nothing more can come, and while a
  // token is checked nothing is read.
  if (_stage == CONN_DISCONNECT) return;
  for (int reads = 0; reads < MAX_READS_AT_HANGUP && !_ending && _auth_ticket == 0 &&
                      (CNet::unread_bytes(netfd) > 0 || _transport->input_pending());
       ++reads)
    if (recv() < 0 || _stage != CONN_DATA_RECVING) return;
}

void CClientUnit::half_close() {
  if (_ending || _half_closed) return;
  _half_closed = true;
  // The transport's last word (a WebSocket close frame, a TLS close_notify) goes ahead
  // of the end-of-file.
  _transport->goodbye();
  ::shutdown(netfd, SHUT_WR);
  _w.skip(_w.data_len());
  count_queued();
  DisableOutput();
  EnableInput();
  ApplyEvents();
}

bool CClientUnit::carry_out(TConnCarry* out) {
  if (_ending || _half_closed) return false;
  // The answers that the socket takes now are written here; the rest travels.
  if (_w.data_len() > 0 && send() < 0) return false;
  if (_ending || !_transport->carry_out(&out->transport)) return false;
  out->closeWhenSent = _close_when_sent;
  out->unframed.assign(_r.data(), _r.data_len());
  out->unwritten.assign(_w.data(), _w.data_len());
  const int64_t left = GetExpireTime() - GET_TIMESTAMP();
  out->idleLeftUs = left > 0 ? left : 0;
  // Interest stays as it is: the loop waits for the hand-over and serves no event
  // meanwhile, and one change of it for each connection would lengthen that pause.
  return true;
}

int CClientUnit::carry_in(const TConnCarry& in) {
  if (!_transport->carry_in(in.transport)) {
    log_error("the transport state handed over with fd[%d] is not understood", netfd);
    return -1;
  }
  _close_when_sent = in.closeWhenSent;
  _uid = in.lastId;
  try {
    if (!in.unframed.empty()) _r.append(in.unframed.data(), static_cast<unsigned>(in.unframed.size()));
    if (!in.unwritten.empty()) _w.append(in.unwritten.data(), static_cast<unsigned>(in.unwritten.size()));
  } catch (int) {
    log_error("web pool exhausted taking over fd[%d]", netfd);
    return -1;
  }
  count_queued();
  _stage = _w.data_len() > 0 ? CONN_DATA_SENDING : CONN_IDLE;
  if (!_close_when_sent) EnableInput();
  if (_w.data_len() > 0 || _transport->output_pending()) EnableOutput();
  if (AttachPoller() == -1) {
    log_error("invoke CPollerObject::AttachPoller() failed.");
    return -1;
  }
  // The socket's bytes are reported by the registration; what the transport brought along is not.
  if (!_close_when_sent && _transport->input_pending()) PostInput();
  // The idle time-out goes on where it was, to the whole second above.
  const int64_t seconds = (in.idleLeftUs + 999999) / 1000000;
  CTimerUnit* timers = CIncoming::Instance()->timerunit();
  AttachTimer(seconds >= 1 && seconds < TGlobal::_webtimeout && timers != nullptr
                  ? timers->GetTimerList(static_cast<int>(seconds))
                  : _decoderunit->get_web_timer());
  return 0;
}

void CClientUnit::resume() {
  if (_ending || _half_closed) return;
  if (!_close_when_sent) EnableInput();
  if (_w.data_len() > 0 || _transport->output_pending()) EnableOutput();
  ApplyEvents();
}

void CClientUnit::let_go() {
  _transport->handed_over();
  DisableTimer();
  DetachPoller();
}

void CClientUnit::shut() {
  _transport->goodbye();
  DisableTimer();
  DetachPoller();
}

void CClientUnit::TimerNotify() {
  if (_decoderunit->gate().awaiting_proxy_header()) {
    _decoderunit->gate().proxy_timed_out();
    log_warning("no complete PROXY header within %d s on fd[%d]: closed", TGlobal::_webtimeout, netfd);
  } else if (_ending)
    log_error("web connection failed, closing it, fd[%d], stage[%d]", netfd, _stage);
  else
    log_warning("*STEP: web client timer expired, fd[%d] timeout, stage[%d]", netfd, _stage);
  _decoderunit->web_timer();
}

void CClientUnit::update_timer() {
  // A connection waiting on the pending list for its close stays there. A balancer's
  // header and a transport's handshake keep the deadline of the accept: each must be
  // whole within the web time-out, however it trickles in.
  if (_ending || _decoderunit->gate().awaiting_proxy_header() || !_transport->established()) return;
  DisableTimer();
  AttachTimer(_decoderunit->get_web_timer());
}

int CClientUnit::recv() {
  TDecodeStatus status;
  try {
    status = proc_pkg();
  } catch (int) {
    // The web pool could not take the bytes: this connection ends, the others go on.
    log_error("receive cache of fd[%d] uid[%d] cannot grow: web pool exhausted", netfd, _uid);
    status = DECODE_FATAL_ERROR;
  }
  log_debug("recv ret [%d]", status);

  switch (status) {
    case DECODE_WAIT_HEAD:
    case DECODE_WAIT_CONTENT:
      _stage = CONN_DATA_RECVING;
      log_debug("recving data, netfd[%d] stage[%d] msg[%s]", netfd, _stage, strerror(errno));
      return 0;
    case DECODE_DISCONNECT_BY_USER:
      DisableInput();
      _stage = CONN_DISCONNECT;
      log_debug("disconnect by user, netfd[%d] stage[%d] msg[%s]", netfd, _stage, strerror(errno));
      return 0;
    default:
      DisableInput();
      _stage = CONN_FATAL_ERROR;
      log_debug("decode fatal error netfd[%d] stage[%d] msg[%s]", netfd, _stage, strerror(errno));
      return -1;
  }
}

TDecodeStatus CClientUnit::proc_pkg() {
  // Nothing is read while a token is being checked (any path that turned input on again
  // is undone here): what follows the token is judged by its verdict.
  if (_auth_ticket != 0) {
    DisableInput();
    return _r.data_len() > 0 ? DECODE_WAIT_CONTENT : DECODE_WAIT_HEAD;
  }
  // A balancer's PROXY header comes first on the socket itself, before any transport's
  // own bytes (a TLS handshake reads the descriptor directly): it is taken off the socket
  // here, and the transport starts on what follows it.
  if (_decoderunit->gate().awaiting_proxy_header()) {
    const int header = read_proxy_header();
    if (header != 0) return static_cast<TDecodeStatus>(header);
  }

  _peek_filled = false;
  // Not cleared: only the `got` bytes that recv() fills are ever looked at.
  char buffer[RECV_BUFFER_SIZE];
  const ssize_t got = _transport->read(buffer, _decoderunit->gate().read_budget(sizeof(buffer)));
  log_debug("*STEP: receiving HTTP request, length[%d]", static_cast<int>(got));

  if (got < 0) {
    const int err = errno;
    // Input is only ever handled while the connection reads on: waiting for a packet.
    if (err == EAGAIN || err == EINTR || err == EINPROGRESS)
      return _r.data_len() > 0 ? DECODE_WAIT_CONTENT : DECODE_WAIT_HEAD;
    log_warning("recv failed from fd[%d], msg[%s]", netfd, strerror(err));
    return DECODE_FATAL_ERROR;
  }
  if (got == 0) {
    log_debug("%s||Connect disconnect by client, uid:[%d]", __FUNCTION__, _uid);
    return DECODE_DISCONNECT_BY_USER;
  }
  const char* data = buffer;
  const unsigned len = static_cast<unsigned>(got);

  // A policy request arrives alone as the first bytes of a connection; it is answered
  // and the connection closes. Its bytes never enter the packet stream. A read that
  // continues a part packet is packet bytes, whatever they look like. The connection
  // keeps its type: one that never registered is silent already, and the ids of one that
  // did are announced as leaving like on any other close.
  if (len == kPolicyRequestSize && data[0] == '<' && data[1] == 'p' && _r.data_len() == 0) {
    if (memcmp(data, kPolicyRequest, kPolicyRequestSize) == 0) {
      add_rsp_buf(kPolicyAnswer, kPolicyAnswerSize);
      send();
    }
    return DECODE_FATAL_ERROR;
  }
  const TDecodeStatus status = handle_read(data, len);
  // Back-pressure on a connection whose forwards fill the logic links' queues: it is not
  // read until they drain (share_drained), so the others' forwards keep their room.
  if (status != DECODE_FATAL_ERROR && !_ending && _decoderunit->gate().should_pause()) {
    log_info("fd[%d] uid[%d] not read until its forwards queued for logic servers drain", netfd, _uid);
    DisableInput();
    ApplyEvents();
  }
  return status;
}

int CClientUnit::read_proxy_header() {
  // Peeked, so that the bytes behind the header stay in the socket for the transport;
  // the reader takes the header's bytes only, which are then read off for real.
  char head[256];
  const ssize_t got = ::recv(netfd, head, sizeof(head), MSG_PEEK);
  if (got < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EINTR) return DECODE_WAIT_HEAD;
    log_warning("recv failed from fd[%d], msg[%s]", netfd, strerror(err));
    return DECODE_FATAL_ERROR;
  }
  if (got == 0) return DECODE_DISCONNECT_BY_USER;
  const char* data = head;
  unsigned left = static_cast<unsigned>(got);
  const int status = proxy_header(&data, &left);
  const size_t used = static_cast<size_t>(got) - left;
  if (used > 0 && ::recv(netfd, head, used, 0) != static_cast<ssize_t>(used)) {
    log_warning("PROXY header on fd[%d] could not be taken off the socket", netfd);
    return DECODE_FATAL_ERROR;
  }
  // A header longer than one peek: the rest waits in the socket, unreported.
  _peek_filled = status == DECODE_WAIT_HEAD && got == static_cast<ssize_t>(sizeof(head));
  // 0 when bytes follow the header: the transport reads them now.
  return status;
}

int CClientUnit::proxy_header(const char** data, unsigned* len) {
  hall_admission::CConnGate& gate = _decoderunit->gate();
  size_t left = *len;
  const hall_admission::CProxyHeaderReader::Status st = gate.proxy_input(data, &left);
  *len = static_cast<unsigned>(left);
  if (st == hall_admission::CProxyHeaderReader::NEED_MORE) return DECODE_WAIT_HEAD;
  char text[INET_ADDRSTRLEN] = {0};
  const uint32_t addr = gate.client_addr();
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  if (st == hall_admission::CProxyHeaderReader::BAD) {
    log_warning("PROXY header on fd[%d] from %s refused: %s", netfd, text, gate.proxy_problem().c_str());
    return DECODE_FATAL_ERROR;
  }
  if (gate.refused_after_header()) {
    log_info("client ip=%s refused: %d connections from it already", text, hall_admission::settings().max_conns_per_ip);
    return DECODE_FATAL_ERROR;
  }
  _decoderunit->set_ip(addr);
  log_debug("client ip=%s", text);
  // The idle time-out runs from here like on any connection.
  update_timer();
  return *len == 0 ? DECODE_WAIT_HEAD : 0;
}

void CClientUnit::share_drained() {
  // A connection waiting for its verdict resumes reading with it.
  if (_ending || _auth_ticket != 0) return;
  EnableInput();
  // Input turned on again: the kernel reports the bytes that waited in the socket.
  ApplyEvents();
  if (_transport->input_pending()) PostInput();
}

TDecodeStatus CClientUnit::handle_read(const char* buffer, unsigned got) {
  // The one read loop of a client connection. With nothing held from earlier reads the
  // packets are handled straight from the read buffer, sparing a copy of every read;
  // else the read joins the held part packet and the packets are handled from the
  // queue. Either way only a trailing part packet stays queued. A close scheduled
  // meanwhile has emptied the queue and ends the pass.
  const bool from_queue = _r.data_len() > 0;
  if (from_queue) _r.append(buffer, got);
  const char* data = from_queue ? _r.data() : buffer;
  const int len = static_cast<int>(from_queue ? _r.data_len() : got);
  TDecodeStatus status = DECODE_WAIT_HEAD;
  int used = 0;
  // The packets of one read arrived together: one clock reading serves the rate limit.
  const int64_t now = hall_admission::settings().max_requests_per_second > 0 ? GET_TIMESTAMP() : 0;
  while (used < len && !_ending && !_close_when_sent && _auth_ticket == 0) {
    const int n = HandleInput(data + used, len - used);
    if (n > 0 && !_decoderunit->gate().take_request(now)) {
      ++g_stats.client_rejected[REJECT_RATE_LIMITED];
      log_warning("fd[%d] uid[%d] sends more than %d requests a second: closed", netfd, _uid,
                  hall_admission::settings().max_requests_per_second);
      return DECODE_FATAL_ERROR;
    }
    if (n < 0 || (n > 0 && HandleInputBuf(data + used, n) < 0)) return DECODE_FATAL_ERROR;
    if (n == 0) {
      status = DECODE_WAIT_CONTENT;
      break;
    }
    used += n;
  }
  if (_ending || _close_when_sent) return status;
  if (from_queue)
    _r.skip(static_cast<unsigned>(used));
  else if (used < len)
    _r.append(data + used, static_cast<unsigned>(len - used));
  return status;
}

int CClientUnit::HandleInput(const char* data, int len) {
  const TFrame frame = frame_packet(data, static_cast<size_t>(len), MAX_CLIENT_PACKET, true);
  if (frame.size == 0 && frame.status == FRAME_NEED_MORE) {
    log_debug("len < headlen [%d]", len);
    return 0;
  }
  if (frame.status == FRAME_BAD_FLAG) {
    ++g_stats.client_rejected[REJECT_BAD_FLAG];
    log_error("%s||Invalid packet, uid:[%d]", __FUNCTION__, _uid);
    return -1;
  }
  log_traffic("client packet body length:[%d], cmd:[%d]", static_cast<int>(pkg_length(data)),
              static_cast<int>(pkg_cmd(data)));
  if (frame.status == FRAME_BAD_SIZE) {
    ++g_stats.client_rejected[REJECT_BAD_SIZE];
    log_error("%s||Invalid packet, uid:[%d], pkglen:[%d]", __FUNCTION__, _uid, frame.size);
    return -1;
  }
  return frame.status == FRAME_WHOLE ? frame.size : 0;
}

int CClientUnit::HandleInputBuf(const char* data, int len) {
  NETInputPacket packet;
  if (!packet.Copy(data, len)) {
    ++g_stats.client_rejected[REJECT_BAD_SIZE];
    log_error("%s||packet of %d bytes does not fit, uid:[%d]", __FUNCTION__, len, _uid);
    return -1;
  }
  CEncryptDecrypt cipher;
  if (cipher.DecryptBuffer(&packet) == -1) {
    ++g_stats.client_rejected[REJECT_BAD_CHECKSUM];
    log_error("decode failed.");
    return -1;
  }
  const int cmd = packet.GetCmdType();
  log_debug("%s||HandleInputBuf cmd:[0x%x]", __FUNCTION__, cmd);
  if (cmd == CLIENT_CMD_DATA_REQ) return cmd_data_handler(&packet);
  if (cmd == CLIENT_CMD_AUTH_REQ && TGlobal::_clientAuth) return cmd_auth_handler(&packet);
  ++g_stats.client_rejected[REJECT_BAD_COMMAND];
  log_error("cmd %d is invailed.", cmd);
  return -1;
}

int CClientUnit::cmd_data_handler(NETInputPacket* packet) {
  log_debug("-------- CClientUnit::cmd_data_handler begin --------");
  const int client_id = packet->ReadInt();
  const std::string_view data = packet->ReadString();
  log_debug("client_id: %d data: %.*s", client_id, static_cast<int>(data.size()), data.data());

  if (TGlobal::_clientAuth) {
    // Only an id authenticated here, and not taken over since, is forwarded.
    CHelperPool::ClientMap::const_iterator held = _helperpool->m_objmap.find(client_id);
    if (held == _helperpool->m_objmap.end() || held->second != _decoderunit) {
      ++g_stats.client_rejected[REJECT_NOT_AUTHENTICATED];
      log_error("%s||client id %d not authenticated on fd[%d]: client closed", __FUNCTION__, client_id, netfd);
      return -1;
    }
  } else if (cmd_login_handler(client_id) < 0) {
    return -1;
  }
  ++g_stats.client_packets;

  NETOutputPacket forward;
  forward.Begin(SERVER_CMD_DATA_FW_REQ, 1, 1);
  forward.WriteInt(client_id);
  forward.WriteString(data);
  forward.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&forward);

  // The same bytes go to every logic server. They are queued on each link here and
  // written by CHelperUnit::flush_deferred, which takes the links in ascending svid
  // order whatever their state: every server sees the client's order, and every
  // request reaches the servers in svid order.
  std::map<int, CHelperUnit*>& helpers = _helperpool->m_helpermap;
  const unsigned size = static_cast<unsigned>(forward.packet_size());
  // Queued under this connection's account: its share of the queues (see proc_pkg).
  hall_admission::CShareAccount* share = _decoderunit->gate().share(this);
  for (std::map<int, CHelperUnit*>::iterator it = helpers.begin(); it != helpers.end(); ++it) {
    if (it->second == nullptr) {
      log_error("svid:[%d] helper is null.", it->first);
      continue;
    }
    if (it->second->defer_pkg(forward.packet_buf(), size, nullptr, share) < 0) {
      it->second->count_refused_forward();
      log_error("svid:[%d] forward of client %d dropped", it->first, client_id);
    }
  }
  CHelperUnit::flush_if_full();

  log_debug("-------- CClientUnit::cmd_data_handler end --------");
  return 0;
}

int CClientUnit::cmd_login_handler(int client_id) {
  log_debug("-------- CClientUnit::cmd_login_handle begin --------");
  if (!_decoderunit->add_registered_uid(client_id)) {
    ++g_stats.client_rejected[REJECT_TOO_MANY_IDS];
    log_error("%s||more than %d client ids on fd[%d], uid:[%d]: bad client closed", __FUNCTION__,
              TGlobal::_maxClientIds, netfd, client_id);
    return -1;
  }
  _helperpool->m_objmap[client_id] = _decoderunit;
  _decoderunit->set_flag(client_id);
  // A registered client's departure is announced to a logic server.
  _decoderunit->set_conn_type(0);
  _uid = client_id;
  log_debug("-------- CClientUnit::cmd_login_handle end --------");
  return 0;
}

int CClientUnit::cmd_auth_handler(NETInputPacket* packet) {
  int client_id = 0;
  hall_auth::TAuthResult result = hall_auth::AUTH_MALFORMED;
  _auth_ticket = hall_auth::client_auth_begin(GetOwnerUnit(), packet->ReadString(), this, &result, &client_id);
  if (_auth_ticket != 0) {
    DisableInput();
    ApplyEvents();
    return 0;
  }
  return auth_answer(result, client_id);
}

void CClientUnit::auth_verdict(hall_auth::TAuthResult result, int client_id) {
  _auth_ticket = 0;
  if (_ending) return;
  if (auth_answer(result, client_id) < 0) {
    fail_and_schedule_close();
    return;
  }
  resume_after_verdict();
}

void CClientUnit::resume_after_verdict() {
  TDecodeStatus status = DECODE_WAIT_HEAD;
  if (_r.data_len() > 0 && !_close_when_sent) {
    try {
      const char none = 0;
      status = handle_read(&none, 0);
    } catch (int) {
      status = DECODE_FATAL_ERROR;
    }
  }
  if (status == DECODE_FATAL_ERROR) {
    fail_and_schedule_close();
    return;
  }
  // Another token, an answer that ends the connection, or the fair share keeps it unread.
  if (_ending || _close_when_sent || _auth_ticket != 0) return;
  if (_decoderunit->gate().should_pause() || _decoderunit->gate().share(this)->paused) return;
  EnableInput();
  ApplyEvents();
  // What the transport holds already is not reported again by the kernel.
  for (int pass = 0; pass < MAX_HELD_READS && _transport->input_pending() && _auth_ticket == 0; ++pass)
    if (recv() < 0 || _stage != CONN_DATA_RECVING) {
      fail_and_schedule_close();
      return;
    }
  read_later_if_left();
}

int CClientUnit::auth_answer(hall_auth::TAuthResult result, int client_id) {
  if (result == hall_auth::AUTH_OK) {
    if (cmd_login_handler(client_id) < 0) return -1;
    log_info("client id %d authenticated on fd[%d]", client_id, netfd);
    answer(0, "auth ok");
    return 0;
  }
  log_warning("token refused on fd[%d]: %s", netfd, hall_auth::result_name(result));
  answer(2, std::string("auth failed: ") + hall_auth::result_name(result));
  // Written whole: the connection ends now. Else it ends once the queue is out.
  if (_ending || pending_output() == 0) return -1;
  _close_when_sent = true;
  DisableInput();
  ApplyEvents();
  return 0;
}

void CClientUnit::answer(int status, const std::string& text) {
  NETOutputPacket out;
  out.Begin(SERVER_CMD_REP, 1, 1);
  out.WriteInt(status);
  out.WriteString(text);
  out.End();
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&out);
  send_answer(out.packet_buf(), static_cast<unsigned>(out.packet_size()));
}

void CClientUnit::add_rsp_buf(const char* data, unsigned len) {
  if (_ending || _half_closed) return;
  // A client that reads slower than its answers come is closed before its queue holds
  // more than the bound: partial writes keep it from ever counting as blocked.
  if (static_cast<uint64_t>(_w.data_len()) + len > TGlobal::_maxClientQueue) {
    log_error("send queue of fd[%d] uid[%d] would pass %u bytes: client closed", netfd, _uid, TGlobal::_maxClientQueue);
    fail_and_schedule_close();
    return;
  }
  try {
    _w.append(data, len);
  } catch (int) {
    log_error("send cache of fd[%d] uid[%d] cannot grow: web pool exhausted", netfd, _uid);
    fail_and_schedule_close();
  }
  count_queued();
}

int CClientUnit::send_answer(const char* data, unsigned len) {
  if (_half_closed) return -1;
  if (_ending || _w.data_len() > 0 || len == 0) {
    add_rsp_buf(data, len);
    return send();
  }
  return send(data, len);
}

int CClientUnit::send(const char* direct, unsigned direct_len) {
  // Without a direct buffer the send queue is written. A direct buffer is written in
  // place (the queue is empty then) and only what the socket does not take is queued:
  // the same bytes in the same order as queueing it all first, without the copy.
  const bool from_queue = direct == nullptr;
  const char* data = from_queue ? _w.data() : direct;
  const unsigned len = from_queue ? _w.data_len() : direct_len;
  log_debug("CClientUnit response bufLen:[%d] netfd[%d]", static_cast<int>(len), netfd);
  if (len == 0) {
    DisableOutput();
    ApplyEvents();
    _stage = CONN_FATAL_ERROR;
    log_error("send process failure");
    return -1;
  }

  log_traffic("send packet before, length[%d]", static_cast<int>(len));
  const ssize_t sent = _transport->write(data, len);
  const int err = errno;
  if (sent > 0) g_stats.bytes_written += static_cast<uint64_t>(sent);
  log_traffic("sent packet length[%d] netfd[%d]", static_cast<int>(sent), netfd);

  if (sent < 0) {
    if (err == EINTR || err == EAGAIN || err == EINPROGRESS) {
      log_error("errno:[%d]", err);
      if (++_send_error_times >= MAX_SEND_BLOCKED) {
        log_error("%s|CClientUnit::send, send error more,%d|%d", __FUNCTION__, _uid, _api);
        fail_and_schedule_close();
        return -1;
      }
      if (!from_queue) {
        add_rsp_buf(data, len);
        if (_ending) return -1;
      }
      EnableOutput();
      ApplyEvents();
      _stage = CONN_DATA_SENDING;
      return CONN_DATA_SENDING;
    }
    log_error("sending package to client failed, ret[%d], errno[%d]", static_cast<int>(sent), err);
    fail_and_schedule_close();
    return -1;
  }

  if (static_cast<unsigned>(sent) == len) {
    log_debug("send complete");
    if (!_transport->output_pending()) DisableOutput();
    ApplyEvents();
    if (from_queue) _w.skip(static_cast<unsigned>(sent));
    count_queued();
    _stage = CONN_SEND_DONE;
    if (_close_when_sent) fail_and_schedule_close();
  } else {
    log_debug("had sent part of data");
    if (from_queue) {
      _w.skip(static_cast<unsigned>(sent));
      count_queued();
    } else {
      add_rsp_buf(data + sent, len - static_cast<unsigned>(sent));
      if (_ending) return -1;
    }
    EnableOutput();
    ApplyEvents();
    _stage = CONN_DATA_SENDING;
  }
  _send_error_times = 0;
  return static_cast<int>(sent);
}

void CClientUnit::want_transport_output() {
  if (_ending || !_transport->output_pending()) return;
  EnableOutput();
  ApplyEvents();
}

void CClientUnit::fail_and_schedule_close() {
  DisableInput();
  DisableOutput();
  ApplyEvents();
  _w.skip(_w.data_len());
  _r.skip(_r.data_len());
  count_queued();
  _stage = CONN_FATAL_ERROR;
  _ending = true;
  // Inside this connection's own notification the owner completes it right away (and
  // the destructor takes it off the pending list). When a helper unit delivered the
  // bytes, nobody else would end it before the idle time-out: the pending list ends it
  // at the close of this loop turn, after the caller has returned.
  CTimerUnit* timers = CIncoming::Instance()->timerunit();
  if (timers != nullptr) AttachZeroTimer(timers);
}

}  // namespace __http_svr_ns__
