// CHelperUnit: the gateway's connection to one backend logic server. One unit per
// server id lives in _helperpool->m_helpermap from start-up until the process ends; it
// owns its socket, connects on demand, queues outgoing packets and writes them when the
// socket allows, and handles what the server sends back: results for clients (0x9001)
// and load reports (0x9002, 0x9003). Any socket error or time-out drops the connection
// (reset_helper) and the next send connects again. Runs on the loop thread only.
//
// Also here: the process-wide load records gSvrStat and gSvrSwitch, which hold the last
// report of any logic server. They are stored and logged, never used for routing.
#ifndef HALL_PROXY_HELPER_UNIT_H
#define HALL_PROXY_HELPER_UNIT_H

#include <stdint.h>
#include <sys/socket.h>

#include <deque>
#include <string>

#include "admission/admission.h"
#include "conn_state.h"
#include "noncopyable.h"
#include "packet_base.h"
#include "poller.h"
#include "raw_cache.h"
#include "stats.h"
#include "timerlist.h"

namespace __http_svr_ns__ {

class CClientUnit;
class CDecoderUnit;

// Last queue length and time value reported for the waiter side (_w_) and the notify
// side (_n_).
struct server_stat_s {
  uint32_t _w_qlen;
  uint32_t _n_qlen;
  uint32_t _w_ctime;
  uint32_t _n_ctime;
};

// True when the last reported queue length of that side was above 1024.
struct server_switch_s {
  bool _w_is_busyed;
  bool _n_is_busyed;
};

// Created zero-filled when the module opens.
extern server_stat_s* gSvrStat;
extern server_switch_s* gSvrSwitch;

class CHelperUnit : public CPollerObject, public CTimerObject, private noncopyable {
 public:
  static const int RECV_BUFFER_SIZE = 65536;   // one recv per input notification
  static const int MAX_BODY_LENGTH = 10240;    // largest `length` a logic server may send
  static const int MAX_SEND_BLOCKED = 50;      // this many blocked sends in a row reset
  static const int MAX_READS_AT_HANGUP = 256;  // reads of what a broken link still holds
  static const int BUSY_QUEUE_LENGTH = 1024;   // a reported queue above this is busy
  // After a connect that ran into its time-out (TGlobal::_timerConnect), the server is
  // taken as unreachable and not tried again for this long (milliseconds). Each drop of
  // queued packets during that time is counted, and its end logged.
  static const int CONNECT_RETRY_AFTER_TIMEOUT_MS = 3000;
  // Deferred packets on one link are written without waiting for the end of the turn
  // once they reach this size.
  static const unsigned FORWARD_BATCH_BYTES = 16384;

  // Bound to `unit` without registering; no socket until connect().
  explicit CHelperUnit(CPollerUnit* unit);
  virtual ~CHelperUnit();

  // Starts a connect when there is no open socket and registers with the poller: 0 when
  // connected, 1 while the handshake runs (the queue waits; OutputNotify finishes it and
  // writes the queue, the TGlobal::_timerConnect time-out drops it), -1 on failure, and
  // -1 at once while a connect that timed out is less than CONNECT_RETRY_AFTER_TIMEOUT_MS
  // ago. `wait` (start-up only, before the loop serves) waits for the handshake instead.
  int connect(bool wait = false);

  // Queues bytes for the server; sends nothing. 0, or -1 when the helper pool cannot
  // take them or the queue would pass TGlobal::_maxHelperQueue (the link is then reset,
  // unless it is connecting: then only these bytes are refused). `owner`, when given, is
  // the client connection whose forward this is: its bytes count in its share until
  // written or dropped.
  int append_pkg(const char* data, unsigned int len, hall_admission::CShareAccount* owner = nullptr);
  // Queues a packet like append_pkg and names the link for flush_deferred, which writes
  // it before the loop sleeps. `list`, when given, becomes the unit's timer list.
  int defer_pkg(const char* data, unsigned int len, CTimerList* list = nullptr,
                hall_admission::CShareAccount* owner = nullptr);

  // The one place where forwards and close notices are written: every link named by
  // defer_pkg since the last flush (its _flush_pending flag), in ascending svid order
  // (the order of _helperpool->m_helpermap), one write per link. CIncoming::turn calls it
  // at the end of every loop turn, before the loop sleeps.
  static void flush_deferred();
  // Brings that flush forward once a link holds FORWARD_BATCH_BYTES or more, so that a
  // busy turn keeps the queues small. Called after a request has been queued on every link.
  static void flush_if_full();
  // Once a loop turn: the bytes of every link that its server has taken since its last
  // write leave the connections' shares (see hall_admission::CShareLedger).
  static void settle_all_shares();

  // Connect if needed, then write what is queued. The result of send_to_cgi, 6
  // (CONN_DATA_SENDING) while the handshake runs, or -1 when the connection failed (the
  // queue is then dropped). The second form also puts the
  // unit on `list`, whose time-out then closes an idle link.
  int send_to_logic();
  int send_to_logic(CTimerList* list);

  // One write of the whole send queue: the byte count, 6 (CONN_DATA_SENDING) when the
  // socket would block, 0 when nothing is queued, -1 after a failure (link reset).
  int send_to_cgi();
  // One read: the byte count, 0 when the read would block, -1 when the link failed or
  // the server closed it (the caller resets).
  int recv_from_cgi();
  // Handles every whole packet held in the receive queue. 0, or -1 for a stream that
  // breaks the protocol (the caller resets the link).
  int process_pkg();

  // Load report (0x9002, 0x9003) into gSvrStat/gSvrSwitch. Always 0.
  int _worker_stat_chk(NETInputPacket* pkt);
  // Result (0x9001): the answer goes to the client that "flow" names. The result of the
  // client's send(), or -1 when no answer could be delivered.
  int _pay_res(NETInputPacket* pkt);
  // The client unit registered under client id `id`, with its decoder unit in *out, or
  // null (and *out null) when no live connection holds that id.
  CClientUnit* _get_client_by_id(const unsigned long& id, CDecoderUnit** out);

  // Re-arms the time-out when the unit has a timer list.
  void update_timer();
  // Drops both queues, unregisters and closes the socket; the unit becomes idle and
  // stays in the pool. Safe to call on an idle unit. The forwards dropped with the
  // queues are counted under `reason`.
  void reset_helper(TDropReason reason = DROP_LINK_RESET);
  // The gateway is leaving: the write side of an open link closes, so that the server
  // reads what it was sent, then end-of-file, and closes the link (which resets this unit).
  void half_close() {
    if (link_up()) ::shutdown(netfd, SHUT_WR);
  }
  // A forward that defer_pkg refused: counted under the reason of the reset it caused.
  void count_refused_forward() { ++_fw.dropped[_last_drop]; }

  virtual int InputNotify() override;
  virtual int OutputNotify() override;
  virtual int HangupNotify() override;
  virtual void TimerNotify() override;

  void set_netfd(int fd) { netfd = fd; }
  int get_netfd() const { return netfd; }
  CConnState stage() const { return _stage; }
  unsigned pending_output() const { return _w.data_len() + static_cast<unsigned>(_batch.size()); }
  unsigned pending_input() const { return _r.data_len(); }
  short send_error_times() const { return _send_error_times; }
  const link_stats_s& forward_stats() const { return _fw; }
  // Bytes of packets for the server (forwards, close notices) dropped unwritten, by a
  // reset (with those its socket held unacknowledged) or refused by defer_pkg, over the
  // unit's life.
  uint64_t dropped_bytes() const { return _dropped_bytes; }
  bool link_up() const { return GetEpollSlot() != nullptr && _stage != CONN_CONNECTING; }
  CTimerList* helper_timer() const { return _helperTimer; }

  std::string addr;  // dotted IPv4 address of the logic server
  int port;          // its TCP port

 private:
  // Tells the ledger how many of its bytes the queue and the socket still hold.
  void settle_shares();
  // flush_deferred; `mid_turn` (flush_if_full) leaves out links waiting for writability.
  static void flush_links(bool mid_turn);
  // Appends to a cache; false (after resetting the link) when the pool is exhausted.
  bool cache_append(comm::sockcommu::CRawCache& cache, const char* data, unsigned len, const char* what);
  // Logs that `len` bytes (`what`: "to send", "received") found no memory.
  void report_exhausted(unsigned len, const char* what);
  // Ends a connect: logs a failed one (-1) and closes its socket, or makes the link
  // connected and listening. The connect's result.
  int connected(int ret);
  // Ends the handshake once the socket reported it: the queue goes out, or the connect
  // failed. The notify result for the poller.
  int finish_connect();
  // A connect failed or (`timed_out`) ran into its time-out: logged, the queue dropped
  // and counted, and after a time-out the back-off starts.
  void connect_failed(bool timed_out);
  // Drops the socket without touching the queues.
  void close_socket();
  // Handles every complete packet at the head of data; the bytes used, or -1 when the
  // stream cannot be framed any more.
  int process_pkg(const char* data, unsigned len);
  // Handles the bytes of one read; -1 when the stream broke or the pool is exhausted.
  int handle_read(const char* data, unsigned left);
  // Bytes the part packet held in the receive queue still lacks: up to its header while
  // that is incomplete, then up to its end; 0 for a whole or broken one.
  unsigned queued_packet_missing() const;
  // Moves the batch, less its first `sent` bytes, behind the send queue; false (after a
  // reset) when the pool cannot take it.
  bool spill_batch(unsigned sent);
  // False (after a level-3 line and a reset) when `len` more bytes would take the
  // queued bytes past TGlobal::_maxHelperQueue; while connecting, false without a reset.
  bool queue_has_room(unsigned len);
  // Adds the forwards and close notices held in the queues to the back-off's counts.
  void count_dropped();
  // Logs the back-off's counts and allows connect attempts again.
  void end_backoff();
  // Counts the forwards among the first `sent` of the `len` queued bytes at `data`: a
  // forward counts as written once its first byte is.
  void count_written(const char* data, unsigned len, unsigned sent);
  // Forgets the forwards the server has acknowledged whole, once enough are remembered.
  void forget_acked();
  // Forwards written on the open link and not yet acknowledged whole: lost with a close.
  unsigned unacked_forwards() const;

  CConnState _stage;
  CTimerList* _helperTimer;            // list the unit re-arms itself on; null until named
  char _curRecvBuf[RECV_BUFFER_SIZE];  // one recv
  short _send_error_times;             // consecutive sends that would have blocked
  int64_t _connect_retry_at;           // microseconds; no connect attempt before this
  unsigned _resets;                    // resets so far, to notice one during packet handling
  bool _flush_pending;                 // named by defer_pkg since the last flush_deferred
  unsigned _dropped_forwards;          // forwards dropped since the back-off started
  unsigned _dropped_notices;           // close notices dropped since then
  link_stats_s _fw;                    // forwards written and lost over the unit's life
  uint64_t _dropped_bytes;             // see dropped_bytes()
  unsigned _head_rest;                 // bytes of a packet written in part, at the queue's head
  TDropReason _last_drop;              // reason of the last reset
  // The stream offsets, on the open link, of the ends of the forwards written on it that
  // the server may not have acknowledged yet, in order, and the bytes written on it.
  // SIOCOUTQ tells how many of the bytes written are unacknowledged, and so which forwards
  // a close loses.
  std::deque<uint64_t> _written_ends;
  uint64_t _written_total;
  size_t _forget_at;              // _written_ends is pruned once it holds this many
  comm::sockcommu::CRawCache _r;  // received, not yet handled
  comm::sockcommu::CRawCache _w;  // queued for the server
  // Forwards of this loop turn, written in one send at its end. Kept apart from the
  // pooled send queue: a turn's batch grows through every size class of the pool, which
  // would fill each class with blocks the gateway never needs again. Non-empty only
  // while _w is empty.
  std::string _batch;
  // Whose bytes the queue (_w, then _batch) holds, in queue order.
  hall_admission::CShareLedger _shares;
};

}  // namespace __http_svr_ns__

#endif
