#!/usr/bin/env bash
# Side-by-side relay benchmark on loopback: the bare echo server (no relay, the floor),
# HAProxy (TCP mode, one thread) and nginx (stream proxy, one worker) in front of it, and
# hall with sample logic servers (one that answers; three of which one answers; and one
# that answers, with the per-packet traffic lines at level 7, out of the log: hall-quiet).
# The gateway of hall-1 also listens for WebSocket (hall-ws), WebSocket over TLS (hall-wss)
# and packets over TLS (hall-tls) players; those cells, and nginx terminating TLS in front
# of the echo server (nginx-tls), run at 64-byte bodies with 64 and 1,000 connections.
# TLS everywhere uses one EC P-256 certificate made for the run and the X25519 key
# exchange; full TLS handshakes per second are measured against hall and nginx-tls.
#
#   scripts/bench.sh [--quick] [--rounds N] [--duration S] [--warmup S]
#                    [--memory-conns N] [--no-memory | --memory-only] [--no-install] [--keep]
#   scripts/bench.sh --report RESULTS   (prints the tables again from a kept run)
#   scripts/bench.sh --orders [--order-count N] [--pause-ms MS] [--keep]
#                    (orders/s of one order_sync_client; see run_orders below)
#   scripts/bench.sh --scale [--idle N] [--duration S] [--keep]
#                    (64 active connections beside N idle players; see run_scale below)
#   scripts/bench.sh --stalls [--stall-seconds S] [--idle N] [--departures-only] [--keep]
#                    (64 players while something outside holds the gateway up; see run_stalls;
#                    --departures-only: the undisturbed run and the mass departure alone)
#   scripts/bench.sh --auth [--players N] [--keep]
#                    (token checks per second and a reconnect storm; see run_auth below)
#   scripts/bench.sh --flood [--duration S] [--keep]
#                    (64 players in the closed loop beside one flooding connection; see run_flood)
#   scripts/bench.sh --upgrade [--duration S] [--keep]
#                    (the players' longest round trip across a live upgrade; see run_upgrade)
#
# Installs HAProxy and nginx when missing, builds the programs it needs in $BUILD_DIR
# (default build-bench), starts everything on free loopback ports in a temporary
# directory, measures memory per idle connection, then runs the load configurations
# interleaved (echo, haproxy, nginx, hall-1, hall-3, hall-quiet, and again) for every body size and
# connection count, and prints medians, spread, ratios, CPU and system calls per round trip
# (the relay's raw_syscalls:sys_enter events over the window, counted by perf where it can
# count tracepoints).
# --quick: short windows and 1,000 connections for the memory figures (a couple of
# minutes); the default run takes about a quarter of an hour.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
ROUNDS=3
DURATION=5
WARMUP=1
MEM_CONNS=5000
DO_MEMORY=1
DO_LOAD=1
DO_INSTALL=1
KEEP=0
REPORT=
# BENCH_BODIES, BENCH_CONNS and BENCH_CONFIGS narrow a run to some cells, e.g. the
# transports': BENCH_BODIES=64 BENCH_CONNS="64 1000" BENCH_CONFIGS="hall-1 hall-ws hall-wss hall-tls nginx-tls".
BODIES=${BENCH_BODIES:-64 512}
CONNS=${BENCH_CONNS:-1 64 1000}
CONFIGS=${BENCH_CONFIGS:-echo haproxy nginx nginx-tls hall-1 hall-ws hall-wss hall-tls hall-3 hall-quiet}
# The cells of the configurations that speak another transport than TCP.
TRANSPORT_BODIES="64"
TRANSPORT_CONNS="64 1000"
HS_CONNS=16  # connections handshaking at once in the handshake runs
ORDERS=0
ORDER_COUNT=200000
ORDER_PAUSE=0
SCALE=0
SCALE_IDLE=19000
STALLS=0
STALL_SECONDS=30
DEPARTURES_ONLY=0
AUTH=0
AUTH_PLAYERS=19000
FLOOD=0
UPGRADE=0

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) DURATION=1; WARMUP=0.3; MEM_CONNS=1000 ;;
    --rounds) ROUNDS=$2; shift ;;
    --duration) DURATION=$2; shift ;;
    --warmup) WARMUP=$2; shift ;;
    --memory-conns) MEM_CONNS=$2; shift ;;
    --no-memory) DO_MEMORY=0 ;;
    --memory-only) DO_LOAD=0 ;;
    --no-install) DO_INSTALL=0 ;;
    --keep) KEEP=1 ;;
    --report) REPORT=$2; shift ;;
    --orders) ORDERS=1 ;;
    --order-count) ORDER_COUNT=$2; shift ;;
    --pause-ms) ORDER_PAUSE=$2; shift ;;
    --scale) SCALE=1 ;;
    --idle) SCALE_IDLE=$2; shift ;;
    --stalls) STALLS=1 ;;
    --stall-seconds) STALL_SECONDS=$2; shift ;;
    --departures-only) DEPARTURES_ONLY=1 ;;
    --auth) AUTH=1 ;;
    --players) AUTH_PLAYERS=$2; shift ;;
    --flood) FLOOD=1 ;;
    --upgrade) UPGRADE=1 ;;
    *) echo "usage: $0 [--quick] [--rounds N] [--duration S] [--warmup S] [--memory-conns N] [--no-memory|--memory-only] [--no-install] [--keep] | --report FILE | --orders [--order-count N] [--pause-ms MS] | --scale [--idle N] | --stalls [--stall-seconds S] [--idle N] [--departures-only] | --auth [--players N] | --flood | --upgrade" >&2
       exit 2 ;;
  esac
  shift
done
if [ "$ROUNDS" -lt 1 ]; then echo "bench: --rounds must be at least 1" >&2; exit 2; fi

log() { echo "bench: $*" >&2; }

# Medians, spread and ratios from the RESULT lines of a run.
summarize() {
  echo "== results: medians over the rounds; spread = (max - min) / median of round trips/s"
  echo
  awk -v configs="$CONFIGS" -v bodies="$BODIES" -v connsl="$CONNS" '
function median(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  if (n == 0) return ""
  return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function extreme(list, want_max,   a, n, i, m) {
  n = split(list, a, " "); m = a[1] + 0
  for (i = 2; i <= n; i++) if ((want_max && a[i] + 0 > m) || (!want_max && a[i] + 0 < m)) m = a[i] + 0
  return m
}
{
  delete f
  for (i = 1; i <= NF; i++) { if (split($i, kv, "=") == 2) f[kv[1]] = kv[2] }
  k = f["cfg"] SUBSEP f["body"] SUBSEP f["conns"]
  ran[k] = 1
  if ("failed" in f || f["rps"] == "") { failed[k]++; next }
  rps[k] = rps[k] " " f["rps"]; p50[k] = p50[k] " " f["p50_us"]; p99[k] = p99[k] " " f["p99_us"]
  p999[k] = p999[k] " " f["p999_us"]; cpu[k] = cpu[k] " " f["cpu_us_per_rt"]; share[k] = share[k] " " f["cpu_share"]
  gen[k] = gen[k] " " f["gen_cpu_share"]; busy[k] = busy[k] " " f["machine_busy"]
  if ("sys_per_rt" in f) sys[k] = sys[k] " " f["sys_per_rt"]
  peer[k] = peer[k] " " (("peer_cpu_us_per_rt" in f) ? f["peer_cpu_us_per_rt"] : 0)
  err[k] += f["errors"]
}
END {
  nc = split(configs, C, " "); nb = split(bodies, B, " "); nn = split(connsl, N, " ")
  printf "%-5s %-5s %-8s %10s %7s %9s %9s %9s %10s %7s %6s %10s %6s %6s %5s\n", "body", "conns", "config", "rt/s", "spread", "p50_us", "p99_us", "p999_us", "cpu_us/rt", "sys/rt", "cpu", "peer_us/rt", "gen", "errors", "busy"
  for (b = 1; b <= nb; b++) for (n = 1; n <= nn; n++) {
    for (c = 1; c <= nc; c++) {
      k = C[c] SUBSEP B[b] SUBSEP N[n]
      if (!(k in ran)) continue
      if (rps[k] == "") { printf "%-5s %-5s %-8s %10s (failed %d)\n", B[b], N[n], C[c], "-", failed[k]; continue }
      m = median(rps[k]); med[k] = m; mp99[k] = median(p99[k])
      printf "%-5s %-5s %-8s %10.0f %6.1f%% %9.1f %9.1f %9.1f %10.2f %7s %5.0f%% %10.2f %5.0f%% %6d %5.2f\n", B[b], N[n], C[c], m,
             (m > 0 ? 100 * (extreme(rps[k], 1) - extreme(rps[k], 0)) / m : 0), median(p50[k]), mp99[k],
             median(p999[k]), median(cpu[k]), (sys[k] == "" ? "-" : sprintf("%.2f", median(sys[k]))),
             100 * median(share[k]), median(peer[k]), 100 * median(gen[k]), err[k] + failed[k], median(busy[k])
    }
  }
  print ""
  print "== ratios of round trips/s (medians); p99 ratio: hall p99 / HAProxy p99 (lower is better)"
  printf "%-5s %-5s %-10s %12s %10s %9s %14s\n", "body", "conns", "hall", "/haproxy", "/nginx", "/echo", "p99/haproxy"
  for (b = 1; b <= nb; b++) for (n = 1; n <= nn; n++) for (h = 1; h <= 3; h++) {
    hc = (h == 1) ? "hall-1" : (h == 2) ? "hall-3" : "hall-quiet"
    kh = hc SUBSEP B[b] SUBSEP N[n]; ka = "haproxy" SUBSEP B[b] SUBSEP N[n]
    kn = "nginx" SUBSEP B[b] SUBSEP N[n]; ke = "echo" SUBSEP B[b] SUBSEP N[n]
    printf "%-5s %-5s %-10s %12s %10s %9s %14s\n", B[b], N[n], hc,
           (med[ka] > 0 ? sprintf("%.2f", med[kh] / med[ka]) : "-"), (med[kn] > 0 ? sprintf("%.2f", med[kh] / med[kn]) : "-"),
           (med[ke] > 0 ? sprintf("%.2f", med[kh] / med[ke]) : "-"), (mp99[ka] > 0 ? sprintf("%.2f", mp99[kh] / mp99[ka]) : "-")
  }
  print ""
  print "== transports: round trips/s of each transport / the same gateway over TCP (hall-1), same cell"
  printf "%-5s %-5s %-10s %8s %8s %7s\n", "body", "conns", "config", "ratio", "target", "met"
  for (b = 1; b <= nb; b++) for (n = 1; n <= nn; n++) for (t = 1; t <= 4; t++) {
    tc = (t == 1) ? "hall-ws" : (t == 2) ? "hall-wss" : (t == 3) ? "hall-tls" : "nginx-tls"
    base = (t == 4) ? "nginx" : "hall-1"; goal = (t == 1) ? 0.85 : (t == 4) ? 0 : 0.7
    kt = tc SUBSEP B[b] SUBSEP N[n]; kb = base SUBSEP B[b] SUBSEP N[n]
    if (!(kt in ran) || !(kb in ran)) continue
    r = (med[kb] > 0) ? med[kt] / med[kb] : 0
    printf "%-5s %-5s %-10s %8.2f %8s %7s\n", B[b], N[n], tc "/" (t == 4 ? "nginx" : "tcp"), r,
           (goal > 0 ? ">= " goal : "-"), (goal > 0 ? (r >= goal ? "yes" : "NO") : "-")
  }
}' "$1"
}


if [ -n "$REPORT" ]; then summarize "$REPORT"; exit 0; fi

# --- dependencies and build ---
if [ "$DO_INSTALL" -eq 1 ] && [ "$ORDERS" -eq 0 ] && [ "$AUTH" -eq 0 ] && [ "$UPGRADE" -eq 0 ]; then
  EXTRA_PACKAGES="haproxy nginx libnginx-mod-stream linux-perf iptables" bash "$ROOT/scripts/install-deps.sh"
fi
HAPROXY=$(command -v haproxy || echo /usr/sbin/haproxy)
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
NGINX_STREAM=/usr/lib/nginx/modules/ngx_stream_module.so
for f in "$HAPROXY" "$NGINX" "$NGINX_STREAM"; do
  [ "$ORDERS" -eq 1 ] || [ "$UPGRADE" -eq 1 ] || [ "$AUTH" -eq 1 ] || [ -e "$f" ] || { log "missing $f (run without --no-install, as root)"; exit 1; }
done

log "building in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" >/dev/null
TARGETS="hall logic_server load_gen echo_server"
command -v openssl >/dev/null || { log "openssl is needed for the test certificate"; exit 1; }
[ "$ORDERS" -eq 0 ] || TARGETS="hall logic_server order_sync_client"
[ "$SCALE" -eq 0 ] || TARGETS="hall logic_server load_gen"
[ "$STALLS" -eq 0 ] || TARGETS="hall logic_server load_gen"
[ "$AUTH" -eq 0 ] || TARGETS="hall logic_server hall_token auth_bench"
[ "$FLOOD" -eq 0 ] || TARGETS="hall logic_server load_gen"
[ "$UPGRADE" -eq 0 ] || TARGETS="hall logic_server load_gen"
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j2 --target $TARGETS >/dev/null
for p in $TARGETS; do
  [ -x "$BUILD_DIR/$p" ] || { log "$BUILD_DIR/$p was not built"; exit 1; }
done
LOAD_GEN=$BUILD_DIR/load_gen

# --- processes: every one started here is stopped on exit, by its own pid ---
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hall-bench.XXXXXX")
PIDS=()
NETNS=
MOUNTS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  for p in "${MOUNTS[@]}"; do umount -l "$p" 2>/dev/null || true; done
  [ -z "$NETNS" ] || ip netns del "$NETNS" 2>/dev/null || true
  [ -z "$NETNS" ] || ip link del "${NETNS}a" 2>/dev/null || true
  if [ "$KEEP" -eq 0 ]; then rm -rf "$WORK"; else log "kept $WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
USED_PORTS=" "
free_port() {
  local p i
  for i in $(seq 1 200); do
    p=$((20000 + RANDOM % 12000))
    case "$USED_PORTS" in *" $p "*) continue ;; esac
    if ! port_in_use "$p"; then USED_PORTS="$USED_PORTS$p "; echo "$p"; return 0; fi
  done
  return 1
}
wait_port() {
  local i
  for i in $(seq 1 100); do
    port_in_use "$1" && return 0
    sleep 0.1
  done
  log "nothing listens on port $1"
  return 1
}

# One gateway directory: bin/ (working directory), conf/, log/. $1 name, $2.. logic ports
# (the first answers, the others read and stay silent; ADDR:PORT names a server started
# elsewhere); HALL_ATTRS: further attributes of config.xml; LOGIC_ARGS: further options of
# the logic servers started here.
start_hall() {
  local name=$1; shift
  local dir=$WORK/$name svid=1 port lport
  mkdir -p "$dir/bin" "$dir/conf" "$dir/log"
  port=$(free_port)
  # Registration in Redis goes to a port where nothing listens: it fails at once, and the
  # gateway runs on without it.
  cat >"$dir/conf/config.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<SYSTEM LogDir="../log" LogNum="2" LogSize="10485760" LogLevel="4" MaxFdCount="30000"
    WebTimeout="300" HelperTimeout="300" MaxListenCount="4096" BindAddr="127.0.0.1"
    RedisServer="127.0.0.1" RedisPort="$(free_port)" UdpSwitch="0" UdpServer="127.0.0.1" UdpPort="9" ${HALL_ATTRS:-}/>
EOF
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<SYSTEM><Node><ServerList>'
    for lport in "$@"; do
      case "$lport" in
        *:*) echo "  <Server svid=\"$svid\" ip=\"${lport%:*}\" port=\"${lport#*:}\"/>" ;;
        *) echo "  <Server svid=\"$svid\" ip=\"127.0.0.1\" port=\"$lport\"/>" ;;
      esac
      svid=$((svid + 1))
    done
    echo '</ServerList></Node></SYSTEM>'
  } >"$dir/conf/server.xml"
  [ -f "$ROOT/conf/clib_log_coloring.conf" ] && cp "$ROOT/conf/clib_log_coloring.conf" "$dir/conf/"
  local first=1 lpids=""
  for lport in "$@"; do
    local extra=()
    case "$lport" in *:*) continue ;; esac
    [ "$first" -eq 1 ] || extra=(--silent)
    # shellcheck disable=SC2086
    "$BUILD_DIR/logic_server" --name "$name-$lport" "${extra[@]}" ${LOGIC_ARGS:-} "$lport" >/dev/null 2>"$dir/logic-$lport.err" &
    PIDS+=("$!")
    lpids="$lpids $!"
    first=0
  done
  for lport in "$@"; do case "$lport" in *:*) ;; *) wait_port "$lport" ;; esac; done
  (cd "$dir/bin" && exec "$BUILD_DIR/hall" -p "$port" -s 1 -h 127.0.0.1 -f) >"$dir/hall.out" 2>&1 &
  PIDS+=("$!")
  eval "${name//-/_}_PID=$!"
  eval "${name//-/_}_PORT=$port"
  eval "${name//-/_}_LOGIC='$lpids'"
}

# --- orders: Redis list -> order_sync_client -> hall -> two logic servers ---
# A fresh redis-server holds a pre-filled list of ORDER_COUNT orders of 200 bytes each;
# one order_sync_client ([order] pause_ms=ORDER_PAUSE) drains it through a hall with two
# logic servers (one answers). Orders/s = orders / time from the client's start until the
# list and the client's sending list are both empty. The anchor: redis-benchmark's LPOP
# rate on the same machine, over one connection (what one client does) and over 50.
run_orders() {
  local rport dir key=orders i t0 t1 left sent limit
  rport=$(free_port)
  redis-server --port "$rport" --bind 127.0.0.1 --save '' --appendonly no --dir "$WORK" \
    >"$WORK/redis.out" 2>&1 &
  PIDS+=("$!")
  wait_port "$rport"
  start_hall hall-orders "$(free_port)" "$(free_port)"
  wait_port "$hall_orders_PORT"
  # 200 bytes each, numbered, in list order.
  redis-cli -p "$rport" EVAL "for i = 1, tonumber(ARGV[1]) do
      local head = string.format('{\"flow\":0,\"order\":\"B-%09d\",\"pad\":\"', i)
      redis.call('RPUSH', KEYS[1], head .. string.rep('x', 198 - #head) .. '\"}')
    end
    return redis.call('LLEN', KEYS[1])" 1 "$key" "$ORDER_COUNT" >/dev/null
  dir=$WORK/client
  mkdir -p "$dir/bin" "$dir/log"
  cat >"$dir/order_sync_client.ini" <<EOC
[gateway]
ip=127.0.0.1
port=$hall_orders_PORT
client_id=100
[redis]
ip=127.0.0.1
port=$rport
key=$key
sending=$key:sending
[order]
pause_ms=$ORDER_PAUSE
[log]
dir=../log
level=4
EOC
  echo "== orders (one order_sync_client, $ORDER_COUNT orders of 200 bytes, pause_ms=$ORDER_PAUSE)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "client $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$ROOT" diff --quiet 2>/dev/null || echo ' (modified)')"
  t0=$(date +%s.%N)
  (cd "$dir/bin" && exec "$BUILD_DIR/order_sync_client" ../order_sync_client.ini) >"$dir/client.out" 2>&1 &
  PIDS+=("$!")
  # Bounded wait: at least 20 orders/s, or the run counts as failed.
  limit=$((ORDER_COUNT / 2 + 600))
  left=1
  for i in $(seq 1 "$limit"); do
    left=$(redis-cli -p "$rport" EVAL "return redis.call('LLEN', KEYS[1]) + redis.call('LLEN', KEYS[2])" 2 \
             "$key" "$key:sending")
    [ "$left" = 0 ] && break
    sleep 0.1
  done
  t1=$(date +%s.%N)
  sent=$(cat "$dir"/log/* 2>/dev/null | grep -c 'SEND: [1-9]' || true)
  awk -v n="$ORDER_COUNT" -v a="$t0" -v b="$t1" -v left="$left" -v sent="$sent" 'BEGIN {
      printf "orders/s: %.0f (%d orders in %.2f s; sent %d, left in Redis %d)\n", n / (b - a), n - left, b - a, sent, left }'
  echo "anchor, redis-benchmark LPOP of 200-byte values on the same machine:"
  for c in 1 50; do
    redis-benchmark -p "$rport" -c "$c" -n "$ORDER_COUNT" -d 200 -t lpush,lpop -q 2>/dev/null | tr '\r' '\n' |
      awk -v c="$c" '/^LPOP: [0-9]/ { printf "  LPOP, %2d connection(s): %s requests/s\n", c, $2 }'
  done
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  [ "$left" = 0 ]
}
if [ "$ORDERS" -eq 1 ]; then run_orders; exit $?; fi

# --- auth: the cost of command 3 ---
# A new Ed25519 key (hall_token keygen); auth_bench checks AUTH_PLAYERS distinct tokens in
# its own process (rates per CPU second of its one thread), then storms a gateway with
# ClientAuth="1": every player connects, sends its token and waits for "auth ok", 256 at
# a time, and stays connected until the last is in. The gateway's CPU time over the storm
# gives the admissions one core of it makes per second.
run_auth() {
  local rc=0
  "$BUILD_DIR/hall_token" keygen bench "$WORK/auth.key" "$WORK/auth.pub"
  HALL_ATTRS="ClientAuth=\"1\" AuthKeysFile=\"$WORK/auth.pub\"" start_hall hall-auth "$(free_port)"
  wait_port "$hall_auth_PORT"
  echo "== auth ($AUTH_PLAYERS players, command 3 each)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  "$BUILD_DIR/auth_bench" --keys "$WORK/auth.key" --players "$AUTH_PLAYERS" --port "$hall_auth_PORT" \
    --pid "$hall_auth_PID" || rc=$?
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  return $rc
}
if [ "$AUTH" -eq 1 ]; then run_auth; exit $?; fi

# --- scale: one gateway holding SCALE_IDLE registered, idle players ---
# Every process here may hold at most 20,000 descriptors, so the idle players come from
# generators of at most 9,500 connections each, each from its own loopback source address.
# 64 connections run the closed loop before and while the idle ones are held; the time to
# accept (and register) them and to release them all at once (close notices included) is
# read from the gateway's descriptor count.
fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
slab_kb() { awk '/^Slab:/ { print $2 }' /proc/meminfo; }
# Waits (at most $3 s) until the gateway's descriptor count passes the test "$2" (ge N or le N).
wait_fds() {
  local pid=$1 op=$2 n=$3 limit=$4 i
  for i in $(seq 1 $((limit * 20))); do
    [ "$(fd_count "$pid")" -"$op" "$n" ] && return 0
    sleep 0.05
  done
  return 1
}
# A table of RESULT lines: print_results TITLE RATIO_LABEL "label|RESULT ..."...; the ratio
# of the second row to the first (round trips/s and p99) ends it.
print_results() {
  local title=$1 ratio=$2 line; shift 2
  printf "%-22s %10s %10s %10s %10s %8s\n" "$title" rps p50_us p99_us p999_us errors
  for line in "$@"; do
    echo "${line#*|}" | awk -v label="${line%%|*}" '{
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "%-22s %10s %10s %10s %10s %8s\n", label, f["rps"], f["p50_us"], f["p99_us"], f["p999_us"], f["errors"] }'
  done
  echo "${1#*|} ${2#*|}" | awk -v ratio="$ratio" '{
      for (i = 1; i <= NF; i++) { split($i, kv, "="); if (kv[1] in f) g[kv[1]] = kv[2]; else f[kv[1]] = kv[2] }
      if (f["rps"] > 0 && f["p99_us"] > 0)
        printf "%s: rps %.2f, p99 %.2f\n", ratio, g["rps"] / f["rps"], g["p99_us"] / f["p99_us"] }'
}

run_scale() {
  local per=9500 procs i n left fifo pid base_fd base_rss idle_rss mem0 mem1 t0 t1 t2 t3 before during
  local -a writers=()
  procs=$(((SCALE_IDLE + per - 1) / per))
  start_hall hall-scale "$(free_port)"
  wait_port "$hall_scale_PORT"
  pid=$hall_scale_PID
  active() {
    "$LOAD_GEN" --mode gateway --port "$hall_scale_PORT" --conns 64 --body 64 --duration "$DURATION" \
      --warmup "$WARMUP" --pid "$pid" --id-base "$1" | grep '^RESULT' || echo "RESULT failed=1"
  }
  echo "== scale ($SCALE_IDLE idle registered players in $procs generators, 64 active connections, 64 B)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  before=$(active 3000000)
  base_fd=$(fd_count "$pid")
  base_rss=$(rss_kb "$pid")
  mem0=$(slab_kb)
  t0=$(date +%s.%N)
  left=$SCALE_IDLE
  for i in $(seq 1 "$procs"); do
    n=$((left < per ? left : per))
    left=$((left - n))
    fifo=$WORK/hold-$i.fifo
    mkfifo "$fifo"
    "$LOAD_GEN" --hold --mode gateway --port "$hall_scale_PORT" --conns "$n" --source "127.0.0.$((i + 1))" \
      --id-base $((4000000 + i * 100000)) <"$fifo" >"$WORK/hold-$i.out" 2>&1 &
    PIDS+=("$!")
    # The generator holds its players until this end of the pipe closes.
    exec {fd}>"$fifo"
    writers+=("$fd")
  done
  if ! wait_fds "$pid" ge $((base_fd + SCALE_IDLE)) 180; then
    log "the gateway holds $(($(fd_count "$pid") - base_fd)) of $SCALE_IDLE idle players"
    cat "$WORK"/hold-*.out >&2
    return 1
  fi
  t1=$(date +%s.%N)
  # Registrations are written before "HOLD ready"; one more round trip of every active
  # connection below comes after them on the gateway's loop.
  for i in $(seq 1 "$procs"); do
    for n in $(seq 1 600); do grep -q '^HOLD ready' "$WORK/hold-$i.out" && break; sleep 0.1; done
  done
  during=$(active 3500000)
  idle_rss=$(rss_kb "$pid")
  mem1=$(slab_kb)
  t2=$(date +%s.%N)
  for fd in "${writers[@]}"; do exec {fd}>&-; done
  wait_fds "$pid" le "$base_fd" 180 || log "the gateway still holds $(($(fd_count "$pid") - base_fd)) players"
  t3=$(date +%s.%N)
  grep -h '^HOLD' "$WORK"/hold-*.out | sed 's/^/  /'
  awk -v n="$SCALE_IDLE" -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v r0="$base_rss" -v r1="$idle_rss" \
      -v m0="$mem0" -v m1="$mem1" 'BEGIN {
      printf "accepted and registered: %d idle players in %.2f s (%.0f/s)\n", n, b - a, n / (b - a)
      printf "released all at once (descriptors closed, close notices queued): %.2f s\n", d - c
      printf "gateway resident memory: %d kB before, %d kB with the idle players: %.0f B per idle player\n",
             r0, r1, (r1 - r0) * 1024 / n
      printf "kernel slab memory (whole machine, both ends of each connection): %.0f B per idle player\n",
             (m1 - m0) * 1024 / n }'
  print_results "64 active connections" "with/without" "without idle players|$before" "with idle players|$during"
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "$SCALE" -eq 1 ]; then run_scale; exit $?; fi

# --- upgrade: the players' longest round trip across a live upgrade (SIGUSR2) ---
# 1,000 players run the closed loop; for the second figure 18,000 more hold idle,
# registered connections (generators of at most 9,500 each, each from its own loopback
# source), so that 19,000 connections are handed over. Two seconds into the measuring
# window the gateway is upgraded to the same binary; the window's longest round trip is
# the one across the hand-over (targets: 100 ms with 1,000 players, 1 s with 19,000).
run_upgrade() {
  local total idle per=9500 procs i n left fifo pid base_fd out dir next handed
  local -a writers
  echo "== upgrade (1,000 players in the closed loop, 64 B; the gateway upgraded once in the window)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for total in 1000 19000; do
    writers=()
    idle=$((total - 1000))
    start_hall "hall-up-$total" "$(free_port)"
    dir=$WORK/hall-up-$total
    eval "pid=\$hall_up_${total}_PID; port=\$hall_up_${total}_PORT"
    wait_port "$port"
    base_fd=$(fd_count "$pid")
    procs=$(((idle + per - 1) / per))
    left=$idle
    for i in $(seq 1 "$procs"); do
      n=$((left < per ? left : per))
      left=$((left - n))
      fifo=$WORK/up-hold-$total-$i.fifo
      mkfifo "$fifo"
      "$LOAD_GEN" --hold --mode gateway --port "$port" --conns "$n" --source "127.0.0.$((i + 1))" \
        --id-base $((4000000 + i * 100000)) <"$fifo" >"$WORK/up-hold-$total-$i.out" 2>&1 &
      PIDS+=("$!")
      exec {fd}>"$fifo"
      writers+=("$fd")
    done
    [ "$idle" -eq 0 ] || wait_fds "$pid" ge $((base_fd + idle)) 180 || { log "idle players not all held"; return 1; }
    out=$WORK/up-$total.out
    "$LOAD_GEN" --mode gateway --port "$port" --conns 1000 --body 64 --duration $((DURATION < 6 ? 6 : DURATION)) \
      --warmup "$WARMUP" --timeout-ms 10000 --id-base 3000000 >"$out" 2>&1 &
    local lg=$!
    PIDS+=("$lg")
    wait_fds "$pid" ge $((base_fd + total)) 120 || { log "players not all connected"; return 1; }
    sleep "$(awk -v w="$WARMUP" 'BEGIN { print w + 2 }')"
    kill -USR2 "$pid"
    wait "$lg" || true
    handed=$(grep -h "handed over" "$dir"/log/*.log 2>/dev/null | tail -1)
    next=$(echo "$handed" | sed -n 's/.* to pid \([0-9]*\);.*/\1/p')
    [ -z "$next" ] || PIDS+=("$next")
    grep '^RESULT' "$out" | awk -v total="$total" '{
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "%6d players connected: longest round trip %.1f ms (p99 %.1f ms, p50 %.1f ms), %s round trips, errors %s, closed %s\n",
               total, f["max_us"] / 1000, f["p99_us"] / 1000, f["p50_us"] / 1000, f["rt"], f["errors"], f["closed"] }'
    echo "        ${handed#*upgrade: }"
    for fd in "${writers[@]}"; do exec {fd}>&-; done
    [ -z "$next" ] || kill "$next" 2>/dev/null || true
  done
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "$UPGRADE" -eq 1 ]; then run_upgrade; exit $?; fi

# --- stalls: what 64 players feel while something outside holds the gateway up ---
# One gateway, two logic servers: svid 1 answers on loopback, svid 2 reads and stays silent
# in a network namespace of its own behind a veth pair. 64 players run a closed loop for
# STALL_SECONDS undisturbed, then once beside each disturbance, which starts a second into
# the window and lasts until its end. Printed per run: the players' p99.9 and maximum round
# trip and the gateway's longest loop turn (hall_loop_turn_max_seconds, read after the
# window; the scrape before it clears the figure).
scrape_metrics() {
  local line
  exec {sfd}<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf 'GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&"$sfd"
  while IFS= read -r -t 5 -u "$sfd" line; do echo "$line"; done
  exec {sfd}>&-
}
turn_max() { scrape_metrics "$1" | awk '/^hall_loop_turn_max_seconds / { printf "%.4f", $2 }'; }
# Time the hypervisor ran something else on this machine's CPUs (steal, in ms, all CPUs):
# a virtual CPU taken away for a while stalls the loop and the players alike, and no
# change of the gateway's shows or mends that.
steal_ms() { awk '/^cpu / { print $9 * 1000 / '"$(getconf CLK_TCK)"' }' /proc/stat; }
run_stalls() {
  local n=$((RANDOM % 200 + 20)) ns_ip nsport stats pid label result i per=9500 procs left fifo fd
  local -a writers=()
  STALL_WRITERS=
  NETNS="hb$$"
  ns_ip=10.219.$n.2
  nsport=$(free_port)
  stats=$(free_port)
  local ns_ok=0 fs_ok=1
  if ip netns add "$NETNS" 2>"$WORK/netns.err" &&
     ip link add "${NETNS}a" type veth peer name "${NETNS}b" 2>>"$WORK/netns.err" &&
     ip link set "${NETNS}b" netns "$NETNS" && ip addr add "10.219.$n.1/30" dev "${NETNS}a" &&
     ip link set "${NETNS}a" up && ip netns exec "$NETNS" ip addr add "$ns_ip/30" dev "${NETNS}b" &&
     ip netns exec "$NETNS" ip link set "${NETNS}b" up && ip netns exec "$NETNS" ip link set lo up; then
    ns_ok=1
  else
    log "network namespaces cannot be made here ($(head -1 "$WORK/netns.err")): svid 2 runs on loopback and the unreachable-host disturbance is skipped"
    ns_ip=127.0.0.1
  fi
  start_ns_logic() {
    if [ "$ns_ok" -eq 1 ]; then
      ip netns exec "$NETNS" "$BUILD_DIR/logic_server" --bind "$ns_ip" --silent --name stalls-2 "$nsport" \
        >/dev/null 2>>"$WORK/logic-ns.err" &
    else
      "$BUILD_DIR/logic_server" --silent --name stalls-2 "$nsport" >/dev/null 2>>"$WORK/logic-ns.err" &
    fi
    NS_LOGIC=$!
    PIDS+=("$NS_LOGIC")
    for i in $(seq 1 100); do
      (exec 3<>"/dev/tcp/$ns_ip/$nsport") 2>/dev/null && return 0
      sleep 0.1
    done
  }
  start_ns_logic
  HALL_ATTRS="StatsPort=\"$stats\"" start_hall hall-stalls "$(free_port)" "$ns_ip:$nsport"
  wait_port "$hall_stalls_PORT"
  pid=$hall_stalls_PID
  echo "== stalls (64 players, 64 B, two logic servers; ${STALL_SECONDS}s per run, each disturbance from the run's second second to its end)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "hall $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')$(git -C "$ROOT" diff --quiet 2>/dev/null || echo ' (modified)')"
  printf "%-34s %10s %10s %10s %12s %8s %9s\n" run rps p999_ms max_ms turn_max_ms errors steal_ms
  local id=5000000
  # $1 label, $2 command that starts the disturbance, $3 command that ends it.
  stall_run() {
    local out lg w steal0
    turn_max "$stats" >/dev/null
    steal0=$(steal_ms)
    # Without the pipes that hold the idle players: their release must not wait for it.
    ( for w in $STALL_WRITERS; do exec {w}>&-; done
      exec "$LOAD_GEN" --mode gateway --port "$hall_stalls_PORT" --conns 64 --body 64 --duration "$STALL_SECONDS" \
        --warmup 1 --pid "$pid" --id-base "$id" ) >"$WORK/stall.out" 2>&1 &
    lg=$!
    PIDS+=("$lg")
    id=$((id + 1000))
    sleep 2
    eval "$2" || log "$1: the disturbance did not start as meant"
    wait "$lg" || true
    eval "$3" || log "$1: the disturbance did not end as meant"
    out=$(grep '^RESULT' "$WORK/stall.out" || echo "RESULT failed=1")
    echo "$out" | awk -v label="$1" -v tm="$(turn_max "$stats")" -v st="$(($(steal_ms) - steal0))" '{
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "%-34s %10.0f %10.2f %10.2f %12.2f %8s %9d\n", label, f["rps"], f["p999_us"] / 1000, f["max_us"] / 1000,
               tm * 1000, f["errors"] + f["failed"], st }'
    echo "$1 $out turn_max_s=$(turn_max "$stats")" >>"$WORK/stalls.txt"
  }
  stall_run "undisturbed" ":" ":"
  if [ "$DEPARTURES_ONLY" -eq 1 ]; then
    :
  elif [ "$ns_ok" -eq 1 ]; then
    # The server goes (its link closes) and its host then drops every SYN: each reconnect
    # runs into the connect time-out.
    stall_run "svid 2 host drops SYNs" \
      'ip netns exec "$NETNS" iptables -A INPUT -p tcp --syn -j DROP; kill "$NS_LOGIC"' \
      'ip netns exec "$NETNS" iptables -D INPUT -p tcp --syn -j DROP; start_ns_logic'
  else
    printf "%-34s skipped: no network namespace\n" "svid 2 host drops SYNs"
  fi
  # Idle registered players, held by generators of at most 9,500 connections each, all
  # released at once a second into the window.
  procs=$(((SCALE_IDLE + per - 1) / per))
  left=$SCALE_IDLE
  for i in $(seq 1 "$procs"); do
    local k=$((left < per ? left : per))
    left=$((left - k))
    fifo=$WORK/stall-hold-$i.fifo
    mkfifo "$fifo"
    ( for w in "${writers[@]}"; do exec {w}>&-; done
      exec "$LOAD_GEN" --hold --mode gateway --port "$hall_stalls_PORT" --conns "$k" --source "127.0.0.$((i + 1))" \
        --id-base $((6000000 + i * 100000)) ) <"$fifo" >"$WORK/stall-hold-$i.out" 2>&1 &
    PIDS+=("$!")
    exec {fd}>"$fifo"
    writers+=("$fd")
  done
  for i in $(seq 1 "$procs"); do
    for k in $(seq 1 1800); do grep -q '^HOLD ready' "$WORK/stall-hold-$i.out" && break; sleep 0.1; done
  done
  STALL_WRITERS="${writers[*]}"
  stall_run "$SCALE_IDLE idle players leave at once" \
    'for fd in $STALL_WRITERS; do exec {fd}>&-; done' ':'
  # The log directory on a full filesystem: a small tmpfs mounted over it and filled.
  local logdir=$WORK/hall-stalls/log
  if [ "$DEPARTURES_ONLY" -eq 1 ]; then
    :
  elif mount -t tmpfs -o size=256k tmpfs "$logdir" 2>"$WORK/mount.err"; then
    MOUNTS+=("$logdir")
    umount "$logdir"
    stall_run "log directory on a full filesystem" \
      'mount -t tmpfs -o size=256k tmpfs "$logdir"; dd if=/dev/zero of="$logdir/fill" bs=4k 2>/dev/null || true' \
      'umount -l "$logdir"'
  else
    printf "%-34s skipped: %s\n" "log directory on a full filesystem" "$(head -1 "$WORK/mount.err")"
  fi
  # /metrics scraped 100 times a second.
  [ "$DEPARTURES_ONLY" -eq 1 ] ||
    stall_run "/metrics scraped 100 times a second" \
      '( mkfifo "$WORK/tick"; exec {tick}<>"$WORK/tick"
         while :; do scrape_metrics "$stats" >/dev/null 2>&1; read -r -t 0.01 -u "$tick" || true; done ) & SCRAPER=$!' \
      'kill "$SCRAPER"; wait "$SCRAPER" 2>/dev/null || true'
  echo "target: each disturbed maximum within 20 ms of the undisturbed one; no loop turn above 20 ms"
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "$STALLS" -eq 1 ]; then run_stalls; exit $?; fi
# --- flood: 64 players in the closed loop, alone and beside one connection that writes
# requests as fast as the gateway takes them. Two logic servers (one answers), as in
# production. Prints the players' round trips/s and p99 both ways, the flooder's rate,
# and from the metrics endpoint the forwards dropped and the flooder's read pauses; then
# the same beside the flooder on a gateway with MaxRequestsPerSecond="10000".
metrics_of() {
  local port=$1
  exec {m}<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /metrics HTTP/1.0\r\n\r\n' >&$m
  cat <&$m
  exec {m}>&-
}
# One flood cell on a gateway of its own: the players alone, then beside the flooder, then
# the flooder's rate, the forwards dropped (every logic server, every reason) and its read
# pauses. $1 label, $2 gateway name, $3 the logic servers' options, $4 further attributes
# of config.xml, $5 the players' first client id; $6 "apart": the flooder writes to a second
# gateway with logic servers of its own (what the flood's CPU alone costs the players).
flood_cell() {
  local label=$1 name=$2 stats port pid alone beside flood dropped pauses fport
  stats=$(free_port)
  LOGIC_ARGS=$3 HALL_ATTRS="StatsPort=\"$stats\" TrafficLogLevel=\"7\" $4" \
    start_hall "$name" "$(free_port)" "$(free_port)"
  port=$(eval echo "\$${name//-/_}_PORT")
  pid=$(eval echo "\$${name//-/_}_PID")
  wait_port "$port"
  fport=$port
  if [ "${6:-}" = apart ]; then
    LOGIC_ARGS=$3 HALL_ATTRS="TrafficLogLevel=\"7\" $4" start_hall "$name-own" "$(free_port)" "$(free_port)"
    fport=$(eval echo "\$${name//-/_}_own_PORT")
    wait_port "$fport"
  fi
  # A run with lost requests exits 1 and still prints its RESULT line.
  players() {
    { "$LOAD_GEN" --mode gateway --port "$port" --conns 64 --body 64 --duration "$DURATION" \
      --warmup "$WARMUP" --pid "$pid" --id-base "$1" || true; } | grep -m1 "^RESULT" || echo "RESULT failed=1"
  }
  alone=$(players "$5")
  "$LOAD_GEN" --flood --port "$fport" --body 64 --duration "$DURATION" --warmup "$WARMUP" \
    --id-base 3900000 >"$WORK/$name.flood" 2>&1 &
  local flooder=$!
  beside=$(players $(($5 + 100000)))
  wait "$flooder" || true
  flood=$(grep '^FLOOD' "$WORK/$name.flood" || echo "FLOOD failed=1")
  metrics_of "$stats" >"$WORK/$name.metrics"
  dropped=$(awk '/^hall_forwards_dropped_total/ { s += $2 } END { print s + 0 }' "$WORK/$name.metrics")
  pauses=$(awk '/^hall_client_read_pauses_total/ { print $2 }' "$WORK/$name.metrics")
  echo "-- $label"
  print_results "64 players" "beside/alone" "alone|$alone" "beside the flooder|$beside"
  echo "flooder: $flood"
  echo "forwards dropped (all logic servers, all reasons): $dropped; flooder read pauses: ${pauses:-?}"
  echo
}

# The flood cell on the gateway as configured by default, beside the same with logic servers
# that keep their receive buffer small (64 KB and 256 KB: what they hold unread the gateway
# cannot see), the control (the flooder apart: the CPU it takes on a shared machine, no
# queue shared), and with MaxRequestsPerSecond set.
run_flood() {
  echo "== flood (64 players in the closed loop, 64 B, beside one connection writing 64 B requests at full speed)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  flood_cell "logic servers with the kernel's receive buffer (autotuned)" hall-flood "" "" 3000000
  flood_cell "logic servers with --rcvbuf 65536" hall-rcv64 "--rcvbuf 65536" "" 3200000
  flood_cell "logic servers with --rcvbuf 262144" hall-rcv256 "--rcvbuf 262144" "" 3400000
  flood_cell "control: the flooder on a second gateway with logic servers of its own" hall-apart "" "" 3800000 apart
  flood_cell "gateway with MaxRequestsPerSecond=\"10000\" (logic servers autotuned)" hall-limited "" \
    'MaxRequestsPerSecond="10000"' 3600000
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "$FLOOD" -eq 1 ]; then run_flood; exit $?; fi

# One certificate for every TLS server of the run: hall and nginx-tls.
mkdir -p "$WORK/tls"
TLS_CERT=$WORK/tls/cert.pem
TLS_KEY=$WORK/tls/key.pem
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$TLS_KEY" -out "$TLS_CERT" \
  -days 2 -subj /CN=127.0.0.1 2>/dev/null || { log "openssl could not make the certificate"; exit 1; }

ECHO_PORT=$(free_port)
"$BUILD_DIR/echo_server" "$ECHO_PORT" >"$WORK/echo.out" 2>&1 &
ECHO_PID=$!; PIDS+=("$ECHO_PID")

HAPROXY_PORT=$(free_port)
cat >"$WORK/haproxy.cfg" <<EOF
global
    nbthread 1
    maxconn 9000

defaults
    mode tcp
    maxconn 9000
    timeout connect 5s
    timeout client 300s
    timeout server 300s

frontend bench
    bind 127.0.0.1:$HAPROXY_PORT
    default_backend echo

backend echo
    server echo 127.0.0.1:$ECHO_PORT
EOF
"$HAPROXY" -db -f "$WORK/haproxy.cfg" >"$WORK/haproxy.out" 2>&1 &
HAPROXY_PID=$!; PIDS+=("$HAPROXY_PID")

NGINX_PORT=$(free_port)
NGINX_TLS_PORT=$(free_port)
mkdir -p "$WORK/nginx"
cat >"$WORK/nginx/nginx.conf" <<EOF
load_module $NGINX_STREAM;
daemon off;
worker_processes 1;
worker_rlimit_nofile 30000;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 12000; }
stream {
    server {
        listen 127.0.0.1:$NGINX_PORT;
        proxy_pass 127.0.0.1:$ECHO_PORT;
        proxy_timeout 300s;
    }
    server {
        listen 127.0.0.1:$NGINX_TLS_PORT ssl;
        ssl_certificate $TLS_CERT;
        ssl_certificate_key $TLS_KEY;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_ecdh_curve X25519;
        proxy_pass 127.0.0.1:$ECHO_PORT;
        proxy_timeout 300s;
    }
}
EOF
"$NGINX" -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" >"$WORK/nginx.out" 2>&1 &
NGINX_MASTER=$!; PIDS+=("$NGINX_MASTER")

WS_PORT=$(free_port); WSS_PORT=$(free_port); TLS_PORT=$(free_port)
HALL_ATTRS="WsPort=\"$WS_PORT\" WssPort=\"$WSS_PORT\" TlsPort=\"$TLS_PORT\" TlsCert=\"$TLS_CERT\" TlsKey=\"$TLS_KEY\"" \
  start_hall hall-1 "$(free_port)"
start_hall hall-3 "$(free_port)" "$(free_port)" "$(free_port)"
HALL_ATTRS='TrafficLogLevel="7"' start_hall hall-quiet "$(free_port)"

for p in "$ECHO_PORT" "$HAPROXY_PORT" "$NGINX_PORT" "$NGINX_TLS_PORT" "$hall_1_PORT" "$WS_PORT" "$WSS_PORT" "$TLS_PORT" \
  "$hall_3_PORT" "$hall_quiet_PORT"; do wait_port "$p"; done
NGINX_PID=""
for i in $(seq 1 50); do
  NGINX_PID=$(pgrep -P "$NGINX_MASTER" | head -1 || true)
  [ -n "$NGINX_PID" ] && break
  sleep 0.1
done
[ -n "$NGINX_PID" ] || { log "no nginx worker"; exit 1; }

# config name -> port, load_gen mode, pid whose CPU is the relay's, transport (default tcp)
declare -A CPORT CMODE CPID CPEERS CTRANS
CPORT[echo]=$ECHO_PORT;      CMODE[echo]=raw;         CPID[echo]=$ECHO_PID
CPORT[haproxy]=$HAPROXY_PORT; CMODE[haproxy]=raw;     CPID[haproxy]=$HAPROXY_PID
CPORT[nginx]=$NGINX_PORT;    CMODE[nginx]=raw;        CPID[nginx]=$NGINX_PID
CPORT[hall-1]=$hall_1_PORT;  CMODE[hall-1]=gateway;   CPID[hall-1]=$hall_1_PID
CPORT[hall-3]=$hall_3_PORT;  CMODE[hall-3]=gateway;   CPID[hall-3]=$hall_3_PID
CPORT[hall-quiet]=$hall_quiet_PORT; CMODE[hall-quiet]=gateway; CPID[hall-quiet]=$hall_quiet_PID
CPORT[nginx-tls]=$NGINX_TLS_PORT; CMODE[nginx-tls]=raw; CPID[nginx-tls]=$NGINX_PID; CTRANS[nginx-tls]=tls
CPORT[hall-ws]=$WS_PORT;     CMODE[hall-ws]=gateway;  CPID[hall-ws]=$hall_1_PID; CTRANS[hall-ws]=ws
CPORT[hall-wss]=$WSS_PORT;   CMODE[hall-wss]=gateway; CPID[hall-wss]=$hall_1_PID; CTRANS[hall-wss]=wss
CPORT[hall-tls]=$TLS_PORT;   CMODE[hall-tls]=gateway; CPID[hall-tls]=$hall_1_PID; CTRANS[hall-tls]=tls
# load_gen's arguments for a configuration's transport.
transport_args() {
  local t=${CTRANS[$1]:-tcp}
  echo "--transport $t"
  case "$t" in tls|wss) echo "--tls-groups X25519" ;; esac
}
# True when the configuration runs in this cell: TCP everywhere, other transports only in
# their own cells.
runs_in_cell() {  # cfg body conns
  [ "${CTRANS[$1]:-tcp}" = tcp ] && return 0
  [[ " $TRANSPORT_BODIES " == *" $2 "* ]] && [[ " $TRANSPORT_CONNS " == *" $3 "* ]]
}
# The servers behind each relay: their CPU per round trip is shown apart.
CPEERS[echo]=""; CPEERS[haproxy]=$ECHO_PID; CPEERS[nginx]=$ECHO_PID
CPEERS[hall-1]=$hall_1_LOGIC; CPEERS[hall-3]=$hall_3_LOGIC; CPEERS[hall-quiet]=$hall_quiet_LOGIC
CPEERS[nginx-tls]=$ECHO_PID; CPEERS[hall-ws]=$hall_1_LOGIC; CPEERS[hall-wss]=$hall_1_LOGIC; CPEERS[hall-tls]=$hall_1_LOGIC

echo "== machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; memory: $(free -m | awk '/Mem:/{print $2}') MB"
echo "kernel: $(uname -sr); $(. /etc/os-release && echo "$PRETTY_NAME")"
echo "relays: $("$HAPROXY" -v | head -1 | cut -d' ' -f1-3); $("$NGINX" -v 2>&1 | cut -d: -f2 | sed 's/^ //'); hall $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "run: rounds=$ROUNDS duration=${DURATION}s warmup=${WARMUP}s memory_conns=$MEM_CONNS"

# --- memory per idle connection, on fresh processes ---
if [ "$DO_MEMORY" -eq 1 ]; then
  echo
  echo "== memory per connection ($MEM_CONNS connections; hall: registered, then one round trip each)"
  printf "%-8s %10s %10s %10s %14s %14s %7s\n" relay base_kB idle_kB rt_kB idle_B/conn rt_B/conn errors
  id_base=1000000
  for cfg in hall-1 hall-wss haproxy nginx; do
    # shellcheck disable=SC2046
    out=$("$LOAD_GEN" --mode "${CMODE[$cfg]}" $(transport_args "$cfg") --port "${CPORT[$cfg]}" --conns "$MEM_CONNS" \
            --memory "${CPID[$cfg]}" \
            --id-base "$id_base" --settle-ms 2000 --timeout-ms 10000 || true)
    echo "$out" >>"$WORK/memory.txt"
    echo "$out" | awk -v cfg="$cfg" '/^MEMORY/ {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "%-8s %10s %10s %10s %14s %14s %7s\n", cfg, f["rss_base_kb"], f["rss_idle_kb"], f["rss_rt_kb"],
               f["idle_bytes_per_conn"], f["rt_bytes_per_conn"], f["errors"] }'
    id_base=$((id_base + 100000))
  done
  echo "target: at most 16384 B per idle wss player (hall-wss idle_B/conn; the memory of the TLS sessions included)"
fi

# --- full TLS handshakes per second: hall's TLS listener against nginx's ssl stream ---
echo
echo "== TLS handshakes/s (full handshakes, $HS_CONNS connections at once, X25519, the same P-256 certificate)"
# One generator does the client's half of every handshake (the signature check is the
# dearer half), so on a small machine it, not the server, may set the rate: the server's
# CPU per handshake, and the rate one core of it would reach at that cost, are shown too.
printf "%-10s %10s %10s %10s %12s %12s\n" server median min max cpu_us/hs hs/s/core
declare -A HS
for round in $(seq 1 "$ROUNDS"); do
  for cfg in hall-tls nginx-tls; do
    out=$("$LOAD_GEN" --mode raw --transport tls --tls-groups X25519 --handshakes --port "${CPORT[$cfg]}" \
            --conns "$HS_CONNS" --duration "$DURATION" --warmup "$WARMUP" --pid "${CPID[$cfg]}" || true)
    line=$(echo "$out" | grep '^HANDSHAKES' || echo "HANDSHAKES failed=1")
    echo "cfg=$cfg round=$round $line" >>"$WORK/handshakes.txt"
  done
done
awk '{
  for (i = 1; i <= NF; i++) { if (split($i, kv, "=") == 2) f[kv[1]] = kv[2] }
  if (!("rate" in f)) { delete f; next }
  r[f["cfg"]] = r[f["cfg"]] " " f["rate"]; c[f["cfg"]] = c[f["cfg"]] " " f["cpu_us_per_rt"]; delete f
}
function med(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n == 0 ? 0 : (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function lo(list,   a, n, i, m) { n = split(list, a, " "); m = a[1] + 0; for (i = 2; i <= n; i++) if (a[i] + 0 < m) m = a[i] + 0; return m }
function hi(list,   a, n, i, m) { n = split(list, a, " "); m = a[1] + 0; for (i = 2; i <= n; i++) if (a[i] + 0 > m) m = a[i] + 0; return m }
END {
  split("hall-tls nginx-tls", S, " ")
  for (s = 1; s <= 2; s++) {
    if (r[S[s]] == "") { printf "%-10s %10s\n", S[s], "failed"; continue }
    core[S[s]] = med(c[S[s]]) > 0 ? 1e6 / med(c[S[s]]) : 0
    printf "%-10s %10.0f %10.0f %10.0f %12.1f %12.0f\n", S[s], med(r[S[s]]), lo(r[S[s]]), hi(r[S[s]]), med(c[S[s]]),
           core[S[s]]
  }
  if (med(r["nginx-tls"]) > 0 && core["nginx-tls"] > 0)
    printf "hall / nginx: %.2f in handshakes/s, %.2f per core (target: at least 1.00: %s)\n",
           med(r["hall-tls"]) / med(r["nginx-tls"]), core["hall-tls"] / core["nginx-tls"],
           (med(r["hall-tls"]) >= med(r["nginx-tls"]) ? "met" : "NOT met")
}' "$WORK/handshakes.txt"

# --- interleaved load runs ---
if [ "$DO_LOAD" -eq 0 ]; then exit 0; fi
# System calls of the relay: perf counts its raw_syscalls:sys_enter events over the middle
# three fifths of each window (clear of the connects and of the window's edges); per round
# trip = their rate / the round trips' rate.
PERF_OK=0
if perf stat -e raw_syscalls:sys_enter -x, -o "$WORK/perf-probe" -- true >/dev/null 2>&1 &&
   grep -q '^[0-9]' "$WORK/perf-probe"; then
  PERF_OK=1
else
  log "perf cannot count the raw_syscalls:sys_enter tracepoint here (not installed, or perf_event_paranoid/tracefs refuse it): no system calls per round trip"
fi
RESULTS=$WORK/results.txt
: >"$RESULTS"
echo
echo "== load runs (each line: one configuration, one cell, one round)" >&2
id_base=2000000
for body in $BODIES; do
  for conns in $CONNS; do
    for round in $(seq 1 "$ROUNDS"); do
      for cfg in $CONFIGS; do
        runs_in_cell "$cfg" "$body" "$conns" || continue
        peer_args=()
        for p in ${CPEERS[$cfg]}; do peer_args+=(--peer-pid "$p"); done
        perf_pid=
        if [ "$PERF_OK" -eq 1 ]; then
          rm -f "$WORK/perf.out"
          ( sleep "$(awk -v w="$WARMUP" -v d="$DURATION" 'BEGIN { print w + d / 5 }')"
            exec perf stat -e raw_syscalls:sys_enter -x, -o "$WORK/perf.out" -p "${CPID[$cfg]}" -- \
              sleep "$(awk -v d="$DURATION" 'BEGIN { print d * 3 / 5 }')" ) >/dev/null 2>&1 &
          perf_pid=$!
        fi
        # shellcheck disable=SC2046
        out=$("$LOAD_GEN" --mode "${CMODE[$cfg]}" $(transport_args "$cfg") --port "${CPORT[$cfg]}" --conns "$conns" --body "$body" \
                --duration "$DURATION" --warmup "$WARMUP" --pid "${CPID[$cfg]}" "${peer_args[@]}" \
                --id-base "$id_base" || true)
        line=$(echo "$out" | grep '^RESULT' || echo "RESULT failed=1 body=$body conns=$conns")
        if [ -n "$perf_pid" ]; then
          wait "$perf_pid" || true
          calls=$(awk -F, '/raw_syscalls:sys_enter/ && $1 ~ /^[0-9]+$/ { print $1 }' "$WORK/perf.out" 2>/dev/null)
          rps=$(echo "$line" | grep -o 'rps=[0-9.]*' | cut -d= -f2)
          if [ -n "$calls" ] && [ -n "$rps" ]; then
            line="$line $(awk -v c="$calls" -v r="$rps" -v d="$DURATION" 'BEGIN { if (r > 0) printf "sys_per_rt=%.2f", c / (d * 3 / 5) / r }')"
          fi
        fi
        echo "cfg=$cfg round=$round $line" >>"$RESULTS"
        echo "  $cfg body=$body conns=$conns round=$round: $(echo "$line" | grep -o 'rps=[^ ]*') $(echo "$line" | grep -o 'errors=[^ ]*')" >&2
        id_base=$((id_base + conns))
      done
    done
  done
done

echo
summarize "$RESULTS"
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cpu_us/rt and cpu = the relay's CPU time per round trip and over the window (100%: one core); sys/rt = the relay's"
echo "system calls per round trip (perf, raw_syscalls:sys_enter; - where perf cannot count them); peer_us/rt ="
echo "the CPU per round trip of the servers behind it (echo server, logic servers); gen = the generator's CPU; busy = share of the whole machine busy during"
echo "the window (1.00: every core busy, including the generator, the echo/logic servers and anything else running)"
if [ "$KEEP" -eq 1 ]; then echo "raw lines: $RESULTS"; fi
