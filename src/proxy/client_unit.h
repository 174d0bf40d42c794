// CClientUnit: the gateway's end of one client connection. It reads and frames the
// client's packets, deciphers and checks them, answers the cross-domain policy request,
// handles the data command (register the client id, forward to every logic server), and
// queues and writes the answers that helper units hand it. Owned and deleted by its
// CDecoderUnit, which decides after every notification whether the connection lives on
// and ends it in CDecoderUnit::complete. Runs on the loop thread only.
//
// The client's bytes come and go through its transport (plain TCP, TLS, WebSocket; see
// transport.h), which it owns and whose kind it never asks.
#ifndef HALL_PROXY_CLIENT_UNIT_H
#define HALL_PROXY_CLIENT_UNIT_H

#include <memory>
#include <string>

#include "admission/admission.h"
#include "auth/client_auth.h"
#include "conn_carry.h"
#include "conn_state.h"
#include "noncopyable.h"
#include "packet_base.h"
#include "poller.h"
#include "raw_cache.h"
#include "timerlist.h"
#include "transport/transport.h"

namespace __http_svr_ns__ {

class CDecoderUnit;

class CClientUnit : public CPollerObject,
                    public CTimerObject,
                    public hall_admission::CShareOwner,
                    public hall_auth::CAuthWaiter,
                    private noncopyable {
 public:
  static const int RECV_BUFFER_SIZE = 102400;  // one recv per input notification
  static const int MAX_CLIENT_PACKET = 8000;   // largest packet, header included
  static const int MAX_SEND_BLOCKED = 50;      // this many blocked writes in a row close
  static const int MAX_READS_AT_HANGUP = 256;  // reads of what a broken connection still holds
  static const int MAX_HELD_READS = 16;        // further reads of what the transport holds

  // Takes `transport` (plain TCP on `netfd` when null).
  CClientUnit(CDecoderUnit* owner, int netfd, hall_transport::CTransport* transport = nullptr);
  virtual ~CClientUnit();

  // Registers for input and arms the idle timer. 0, or -1 when epoll refused it.
  int Attach();

  // Notifications. The results are those of the owner's web_* calls. For input and
  // hang-up, non-zero means the connection has been completed and this object no longer
  // exists. Output always returns 1: the object may live on, and it has applied its
  // event mask itself, which the dispatcher skips after a non-zero result.
  virtual int InputNotify() override;
  virtual int OutputNotify() override;
  virtual int HangupNotify() override;
  // The client shut its side down: it departs, without a read (see read_rest). 1.
  virtual int PeerShutdownNotify() override;
  virtual void TimerNotify() override;
  // The forwards this connection queued for logic servers drained below its share:
  // reading resumes.
  virtual void share_drained() override;

  // Re-arms the idle timer: deadline now plus the web time-out.
  void update_timer();

  // Takes the connection off its timer list and the poller; the descriptor closes with
  // the object. The step of CDecoderUnit::complete that concerns this unit.
  void shut();

  // One read pass; -1 when the connection must close, else 0. Sets _stage.
  int recv();
  // Handles what the socket still holds once the client has left (its last requests, or
  // packets sent just before a reset), up to MAX_READS_AT_HANGUP reads. Called when the
  // departure is completed.
  void read_rest();
  // One recv and the handling of what it brought: the decode status of the read.
  TDecodeStatus proc_pkg();
  // A balancer's PROXY header at the start of the stream: takes its bytes from *data /
  // *len. DECODE_WAIT_HEAD while it is incomplete or when nothing follows it, 0 when
  // client bytes follow, DECODE_FATAL_ERROR when the connection must close.
  int proxy_header(const char** data, unsigned* len);
  // Reads the PROXY header off the socket, leaving what follows it to the transport:
  // 0 when the transport may read on, else the decode status to return.
  int read_proxy_header();
  // Frames and handles the packets of one read, queueing a trailing part packet.
  TDecodeStatus handle_read(const char* buffer, unsigned got);
  // Size of the complete packet at the head of data, 0 when more bytes are needed, -1
  // for a stream that is not a valid packet stream (frame_packet's bounds).
  int HandleInput(const char* data, int len);
  // Handles one complete packet; -1 ends the connection.
  int HandleInputBuf(const char* data, int len);

  // Command 2: register the client id and forward the request to every logic server.
  int cmd_data_handler(NETInputPacket* packet);
  // Routes `client_id` to this connection; -1 (the connection ends) when it would be
  // one id more than TGlobal::_maxClientIds on this connection.
  int cmd_login_handler(int client_id);
  // Command 3 (with ClientAuth): checks the token and routes its client id here, taking
  // the id over from another connection. Answers "auth ok", or "auth failed: <reason>"
  // and closes the connection once that answer is written. While the signature is
  // checked off the loop, nothing more of the connection is read or handled: the
  // packets behind the token wait in the receive queue and are judged by its verdict.
  int cmd_auth_handler(NETInputPacket* packet);
  // The verdict on the token: answered, then the held packets are handled and reading
  // resumes.
  virtual void auth_verdict(hall_auth::TAuthResult result, int client_id) override;

  // Queues bytes for the client; callers call send() right after. When the web pool
  // cannot take them, or the queue would pass TGlobal::_maxClientQueue, the connection
  // is marked as ending and closed at the end of this loop turn.
  void add_rsp_buf(const char* data, unsigned len);
  // Writes as much of the send queue as the socket takes. The byte count written, 6
  // (CONN_DATA_SENDING) after a write that would block, or -1 when the connection has
  // failed. A failure outside the connection's own notification (an answer delivered by
  // a helper unit) closes the connection at the end of the loop turn.
  // With `direct`, those bytes are written in place of the queue (which must be empty)
  // and only what the socket does not take is queued.
  int send(const char* direct = nullptr, unsigned direct_len = 0);
  // Sends an answer: written straight from `data` when nothing is queued before it,
  // else queued behind the rest. Results as for send().
  int send_answer(const char* data, unsigned len);

  // The gateway is leaving (the drain's end): the write side closes (the client reads
  // end-of-file), queued answers are dropped, and reading and forwarding go on until the
  // client closes too, so that nothing it sent before it saw the end is lost.
  void half_close();
  bool half_closed() const { return _half_closed; }

  // Live upgrade (see CDecoderUnit::carry_out). carry_out adds the queues, the timer
  // and the flags (the caller's loop serves nothing until let_go or resume). False
  // when the transport or the connection's state cannot travel. carry_in: takes those
  // over and registers for input and its idle time-out; -1 when epoll refused it.
  // resume: the hand-over failed: this process serves the connection on. let_go: off the
  // poller and the timer; the copy of the descriptor closes with the object, with no last
  // word to the client.
  bool carry_out(TConnCarry* out);
  int carry_in(const TConnCarry& in);
  void resume();
  void let_go();

  CConnState stage() const { return _stage; }
  unsigned pending_output() const { return _w.data_len(); }
  unsigned pending_input() const { return _r.data_len(); }

 private:
  // Marks the connection as ending, drops both queues, stops all interest and puts the
  // unit on the pending timer list, whose notification calls CDecoderUnit::complete at
  // the end of this loop turn, so that no caller is left holding a deleted object.
  void fail_and_schedule_close();
  // Output interest while the transport has bytes of its own to write.
  void want_transport_output();
  // Posts the connection for a read at the next turn when its last read left input that
  // the edge-triggered registration will not report.
  void read_later_if_left();
  // Brings the send queue's length into g_stats.client_queued_bytes.
  void count_queued();
  // Sends a 0x1001 answer made here: status and text.
  void answer(int status, const std::string& text);
  // Acts on a token check's result; -1 when the connection ends now.
  int auth_answer(hall_auth::TAuthResult result, int client_id);
  // After a verdict: the held packets, then reading, unless something stops it again.
  void resume_after_verdict();

  short _api;
  short _send_error_times;
  CConnState _stage;
  CDecoderUnit* _decoderunit;  // owner, not owned
  int _uid;
  comm::sockcommu::CRawCache _r;
  comm::sockcommu::CRawCache _w;
  // The connection is ending (fail_and_schedule_close ran): nothing more is queued or
  // handled, and its end waits on the pending timer list.
  bool _ending;
  unsigned _queued_counted;  // send queue length last counted in g_stats
  bool _half_closed;         // half_close ran: nothing more is written
  // An answer that ends the connection is queued: nothing more is read, and the
  // connection closes once the queue is written.
  bool _close_when_sent;
  // The ticket of the token check this connection waits for; 0 when none.
  uint64_t _auth_ticket;
  // The last peek for a PROXY header filled its buffer: more of the header waits.
  bool _peek_filled = false;
  std::unique_ptr<hall_transport::CTransport> _transport;
};

}  // namespace __http_svr_ns__

#endif
