// Live figures of the gateway for the metrics endpoint. Events are counted in one plain
// record, each with one increment where it happens; what the gateway holds anyway (logic
// links and their queues, registered ids) is read when a scrape asks. Loop thread only.
#ifndef HALL_PROXY_STATS_H
#define HALL_PROXY_STATS_H

#include <stdint.h>

#include <string>

namespace __http_svr_ns__ {

// Why a client packet was refused; the connection is closed with each.
enum TRejectReason {
  REJECT_BAD_FLAG,           // the header's flag is not "TQ"
  REJECT_BAD_SIZE,           // the header names a packet too short or too long
  REJECT_BAD_CHECKSUM,       // the deciphered body does not match the checksum
  REJECT_BAD_COMMAND,        // a command other than the data request
  REJECT_TOO_MANY_IDS,       // one more client id than a connection may register
  REJECT_NOT_AUTHENTICATED,  // a data request for an id the connection has not authenticated
  REJECT_RATE_LIMITED,       // a request beyond the connection's MaxRequestsPerSecond
  REJECT_REASONS
};

// Why forwards to a logic server were lost. All but the last were never written.
enum TDropReason {
  DROP_QUEUE_FULL,  // the link's queue would pass MaxHelperQueue
  DROP_NO_MEMORY,   // the helper pool could not take the bytes
  DROP_LINK_DOWN,   // the server could not be connected
  DROP_LINK_RESET,  // the link failed, was closed by the server or went idle
  DROP_UNACKED,     // written, but not yet acknowledged by the server when its link was closed
  DROP_REASONS
};

struct hall_stats_s {
  uint64_t client_packets;                   // data requests taken and forwarded
  uint64_t client_rejected[REJECT_REASONS];  // client packets refused
  uint64_t results;                          // results handed to a client connection
  uint64_t results_unroutable;               // results naming no client the gateway holds
  int64_t client_queued_bytes;               // answer bytes waiting for clients to read
  uint64_t clients_refused;                  // accepted connections closed before serving
  uint64_t accept_pauses;                    // times the client listener stopped accepting
  int64_t start_time;                        // seconds since the epoch
  uint64_t clients_ended;                    // client connections closed
  uint64_t bytes_written;                    // bytes written to clients and logic servers
};

// Time each loop turn spent working, from the event wait's return to the next wait.
struct loop_turns_s {
  static const int BUCKETS = 9;  // upper bounds kLoopTurnBounds, the last +Inf
  uint64_t count[BUCKETS];       // turns per bucket (not cumulative)
  uint64_t total;                // turns
  double sum;                    // seconds
  double max_since_scrape;       // seconds; a scrape reads and clears it
};

extern loop_turns_s g_loop_turns;

// Adds one turn of `seconds` to g_loop_turns.
void record_loop_turn(double seconds);

// Forwards of one logic link: written, or lost by reason.
struct link_stats_s {
  uint64_t sent;
  uint64_t dropped[DROP_REASONS];
};

extern hall_stats_s g_stats;

// Every figure in the Prometheus text exposition format (version 0.0.4).
std::string render_metrics();
// Further families an addition renders after the gateway's own (live upgrade); null for none.
extern std::string (*g_render_more_metrics)();

}  // namespace __http_svr_ns__

#endif
