#!/usr/bin/env bash
# Quick start: installs what is missing, builds, and runs the whole system on private
# loopback ports inside one temporary run directory:
#
#   redis-server  <- order_sync_client --> hall --> logic-1, logic-2
#   (orders list)                           ^  <-- results
#                                  player --+  (hall_cli, client id 1001)
#
# Sample orders are pushed into the Redis list; each one is shown reaching both logic
# servers, and each result reaching the player. Stops everything on Ctrl-C or after
# the given duration. Exits non-zero if a piece fails to start or the orders do not
# get through.
#
# With --sentinel, Redis is a master with one replica watched by three sentinels
# (redis-server --sentinel); hall and order_sync_client find the master through them.
# Half-way through the orders the master is killed (kill -9): the sentinels promote the
# replica, both programs follow it, and the rest of the orders go to the new master.
#
#   bash scripts/demo.sh [-d SECONDS] [-n ORDERS] [--gateways N | --sentinel] [--web] [--no-build] [--build-dir DIR] [--keep]
#
# --gateways N (default 1) runs a fleet: N gateways registered in the same Redis, one
# order_sync_client per gateway on the one order list, and the player finding a live
# gateway through Redis (hall_cli --redis); the summary tells through which gateway each
# order entered and which gateway holds the player.
#
# --web (one gateway) also opens the gateway's WebSocket listener (WsPort) and serves the
# browser player of tools/web from a local web server (python3 -m http.server on
# 127.0.0.1); the URL to open is printed. The page plays as client id 2001: each request
# it sends comes back as one answer from each logic server.
set -uo pipefail
cd "$(dirname "$0")/.."
src_dir=$(pwd)

duration=0          # 0: until Ctrl-C
orders=5
build=1
build_dir=$src_dir/build
keep=0
sentinel=0
gateways=1
web=0
while [ $# -gt 0 ]; do
  case "$1" in
    -d) duration=$2; shift 2 ;;
    -n) orders=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --sentinel) sentinel=1; shift ;;
    --gateways) gateways=$2; shift 2 ;;
    --web) web=1; shift ;;
    -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
    *) echo "demo: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done

say() { printf '[demo] %s\n' "$*"; }
die() { printf '[demo] FAILED: %s\n' "$*" >&2; keep=1; exit 1; }
[[ "$gateways" =~ ^[1-9]$ ]] || die "--gateways takes 1 to 9"
[[ "$duration" =~ ^[0-9]+$ ]] || { echo "demo: -d takes whole seconds, not '$duration'" >&2; exit 2; }
[[ "$orders" =~ ^[0-9]+$ ]] || { echo "demo: -n takes a whole number of orders, not '$orders'" >&2; exit 2; }
[ "$sentinel" -eq 0 ] || [ "$gateways" -eq 1 ] || die "--sentinel runs one gateway; leave out --gateways"
[ "$web" -eq 0 ] || [ "$gateways" -eq 1 ] || die "--web runs one gateway; leave out --gateways"

build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)
if [ "$build" -eq 1 ]; then
  bash scripts/install-deps.sh || die "could not install the dependencies"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || die "cmake configure failed"
  cmake --build "$build_dir" -j "$(nproc)" --target hall order_sync_client logic_server hall_cli \
    >/dev/null || die "build failed (run: cmake --build $build_dir)"
fi
for prog in hall order_sync_client logic_server hall_cli; do
  [ -x "$build_dir/$prog" ] || die "$build_dir/$prog is missing; build first"
done
command -v redis-server >/dev/null || die "redis-server is not installed"
command -v redis-cli >/dev/null || die "redis-cli is not installed"
[ "$web" -eq 0 ] || command -v python3 >/dev/null || die "--web needs python3 for the page's web server"

run=$(mktemp -d /tmp/hall-demo.XXXXXX)
mkdir -p "$run/bin" "$run/conf" "$run/log"
pids=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  if [ "$keep" -eq 1 ]; then say "run directory kept: $run"; else rm -rf "$run"; fi
}
trap cleanup EXIT
trap 'say "interrupted"; if [ -n "${orders_pushed:-}" ] && summary; then exit 0; fi; exit 1' INT TERM

# A port is taken as free when nothing listens or answers on it. Servers start one
# after the other, each listening before the next port is picked.
free_port() {
  local p
  for _ in $(seq 200); do
    p=$((10000 + RANDOM % 22000))  # below the kernel's ephemeral range
    if ! listening "$p" && ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}
# True when a socket listens on the port (read from the kernel's table, so that the
# check does not show up as a connection in the logs of the servers).
listening() {
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex[0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
wait_port() {  # pid port what
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || return 1
    listening "$2" && return 0
    sleep 0.1
  done
  die "$3 is not listening on 127.0.0.1:$2 after 10 s"
}
# Starts a program in the background. Its output is kept in log/NAME.out and shown
# with the prefix [NAME] (unless the program labels its own lines: prefix "").
start() {  # name prefix command...
  local name=$1 prefix=$2; shift 2
  "$@" > >(tee -a "$run/log/$name.out" | sed -u "s/^/$prefix/") 2>&1 &
  pids+=($!)
}

# Starts a server on a free port. Another program may take the port between the check
# and the start: then the server exits at once and the next port is tried.
launch() {  # var what name prefix command... (@PORT@ in the command becomes the port)
  local var=$1 what=$2 name=$3 prefix=$4; shift 4
  local port a args
  for _ in 1 2 3 4 5; do
    port=$(free_port) || die "no free loopback port"
    args=()
    for a in "$@"; do args+=("${a//@PORT@/$port}"); done
    start "$name" "$prefix" "${args[@]}"
    if wait_port "$!" "$port" "$what"; then
      printf -v "$var" '%s' "$port"
      return 0
    fi
    say "$what did not start on port $port; trying another port"
  done
  die "$what failed to start (see $run/log)"
}

say "run directory $run"
launch redis_port redis-server redis "[redis] " redis-server --bind 127.0.0.1 --port @PORT@ \
  --save "" --appendonly no --dir "$run" --logfile "$run/log/redis.log" --daemonize no
say "redis-server is up on 127.0.0.1:$redis_port"
redis_master_pid=${pids[-1]}
# Where hall and order_sync_client find Redis.
redis_attrs="RedisServer=\"127.0.0.1\" RedisPort=\"$redis_port\""
redis_ini="ip=127.0.0.1
port=$redis_port"
if [ "$sentinel" -eq 1 ]; then
  mkdir -p "$run/replica"
  launch replica_port "the Redis replica" replica "[replica] " redis-server --bind 127.0.0.1 --port @PORT@ \
    --save "" --appendonly no --dir "$run/replica" --logfile "$run/log/replica.log" --daemonize no \
    --replicaof 127.0.0.1 "$redis_port"
  sentinels=""
  for i in 1 2 3; do
    # Sentinel 1 speaks on the terminal: its +sdown, +odown and +switch-master lines show
    # the failover.
    printf 'bind 127.0.0.1\ndir %s\nsentinel monitor hallmaster 127.0.0.1 %s 2\n%s\n%s\n' "$run" "$redis_port" \
      "sentinel down-after-milliseconds hallmaster 1000" "sentinel failover-timeout hallmaster 5000" \
      > "$run/sentinel-$i.conf"
    logfile=()
    [ "$i" -eq 1 ] || logfile=(--logfile "$run/log/sentinel-$i.log")
    launch sentinel_port "sentinel $i" "sentinel-$i" "[sentinel-$i] " redis-server "$run/sentinel-$i.conf" \
      --sentinel --port @PORT@ "${logfile[@]}"
    sentinels+="${sentinels:+,}127.0.0.1:$sentinel_port"
  done
  say "replica on 127.0.0.1:$replica_port; sentinels $sentinels watch master hallmaster"
  redis_attrs="RedisSentinels=\"$sentinels\" RedisMaster=\"hallmaster\" RegisterInterval=\"1\""
  redis_ini="sentinels=$sentinels
master=hallmaster"
fi
# The port of the Redis master: the one the first sentinel that answers names.
master_port() {
  local s a
  if [ "$sentinel" -eq 0 ]; then echo "$redis_port"; return; fi
  for s in ${sentinels//,/ }; do
    a=$(redis-cli -p "${s#*:}" SENTINEL get-master-addr-by-name hallmaster 2>/dev/null | sed -n 2p)
    [ -n "$a" ] && { echo "$a"; return; }
  done
}
launch logic1_port "logic server 1" logic-1 "" "$build_dir/logic_server" --name logic-1 @PORT@
launch logic2_port "logic server 2" logic-2 "" "$build_dir/logic_server" --name logic-2 @PORT@
# Both logic servers, for every gateway.
cat > "$run/conf/server.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<SYSTEM><Node><ServerList>
  <Server svid="1" ip="127.0.0.1" port="$logic1_port"/>
  <Server svid="2" ip="127.0.0.1" port="$logic2_port"/>
</ServerList></Node></SYSTEM>
EOF

# --gateways N: gateways 1..N, each in its own directory gwK (bin, conf, log) with a
# heartbeat every second; order_sync_client 10K sends through gateway K; the player
# finds a live gateway in Redis.
start_fleet() {
  local k dir port_var
  for k in $(seq "$gateways"); do
    dir=$run/gw$k
    port_var=hall_port_$k
    mkdir -p "$dir/bin" "$dir/conf" "$dir/log"
    cat > "$dir/conf/config.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<SYSTEM LogDir="../log" LogNum="3" LogSize="10485760" LogLevel="6" MaxFdCount="1024"
        WebTimeout="3600" HelperTimeout="5" MaxListenCount="256" BindAddr="127.0.0.1"
        RedisServer="127.0.0.1" RedisPort="$redis_port" RegisterInterval="1" UdpSwitch="0"/>
EOF
    cp "$run/conf/server.xml" "$src_dir/conf/clib_log_coloring.conf" "$dir/conf/"
    cd "$dir/bin"
    launch "$port_var" "hall $k" "hall-$k" "[hall-$k] " "$build_dir/hall" -p @PORT@ -s "$k" -h 127.0.0.1 -f
    say "hall $k is listening on 127.0.0.1:${!port_var}"
  done
  for _ in $(seq 100); do
    [ "$(redis-cli -p "$redis_port" HLEN HALLSERVER_ALIVE)" -ge "$gateways" ] && break
    sleep 0.1
  done
  say "registered gateways: $(redis-cli -p "$redis_port" HKEYS HALLSERVER | sort | tr '\n' ' ')"
  start player "[player] " "$build_dir/hall_cli" --redis "127.0.0.1:$redis_port" --interval 1 -i 1001 -w -1
  player_pid=$!
  for k in $(seq "$gateways"); do
    dir=$run/gw$k
    port_var=hall_port_$k
    cat > "$dir/conf/order_sync_client.ini" <<EOF
[gateway]
ip=127.0.0.1
port=${!port_var}
client_id=$((100 + k))
[redis]
ip=127.0.0.1
port=$redis_port
key=orders
[log]
dir=../log
level=6
EOF
    cd "$dir/bin"
    start "order-sync-$k" "[order-sync-$k] " "$build_dir/order_sync_client" "$dir/conf/order_sync_client.ini"
  done
  cd "$run"
  for _ in $(seq 50); do
    grep -q 'answer status=0' "$run/log/player.out" 2>/dev/null && break
    sleep 0.1
  done
  kill -0 "$player_pid" 2>/dev/null || die "the player client exited at start"
  say "the player is held by $(grep -o 'gateway [0-9]*' "$run/log/player.out" | tail -1)"
}
# Through which gateway each order entered (order_sync_client 10K, that forwarded it,
# sends through gateway K), beside the gateway that holds the player.
fleet_summary() {
  local i k held crossed=0
  held=$(grep -o 'connected to gateway [0-9]*' "$run/log/player.out" | tail -1 | grep -o '[0-9]*$')
  for i in $(seq "$orders"); do
    k=$(grep -o "forward client=1[0-9][0-9] data={\"flow\":1001,\"order\":\"A-$i\"" "$run/log/logic-1.out" |
      head -1 | sed 's/forward client=1\([0-9][0-9]\).*/\1/')
    k=$((10#${k:-0}))
    [ "$k" -ne "${held:-0}" ] && crossed=$((crossed + 1))
    say "order A-$i entered through gateway $k; the player is held by gateway ${held:-?}"
  done
  say "fleet: $crossed of $orders orders entered through another gateway than the player's"
}

if [ "$gateways" -gt 1 ]; then
  start_fleet
else
web_attrs=""
if [ "$web" -eq 1 ]; then
  ws_port=$(free_port) || die "no free loopback port"
  web_attrs="WsPort=\"$ws_port\" WsPath=\"/\""
fi
cat > "$run/conf/config.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<SYSTEM LogDir="../log" LogNum="3" LogSize="10485760" LogLevel="6" MaxFdCount="1024"
        WebTimeout="3600" HelperTimeout="5" MaxListenCount="256" BindAddr="127.0.0.1"
        $redis_attrs UdpSwitch="0" UdpServer="127.0.0.1" UdpPort="0" $web_attrs/>
EOF
cp "$src_dir/conf/clib_log_coloring.conf" "$run/conf/"

cd "$run/bin"
launch hall_port hall hall "[hall] " "$build_dir/hall" -p @PORT@ -s 1 -h 127.0.0.1 -f
say "hall is listening on 127.0.0.1:$hall_port with logic servers 1 and 2"
if [ "$web" -eq 1 ]; then
  wait_port "${pids[-1]}" "$ws_port" "the WebSocket listener of hall"
  launch web_port "the web server of the page" web "[web] " python3 -m http.server --bind 127.0.0.1 \
    --directory "$src_dir/tools/web" @PORT@
  say "hall takes WebSocket players on ws://127.0.0.1:$ws_port/"
  say "open http://127.0.0.1:$web_port/index.html?gw=ws://127.0.0.1:$ws_port/&id=2001 in a browser"
fi
# The registration record the gateway wrote in Redis at start.
say "registration: $(redis-cli -p "$(master_port)" HGET HALLSERVER HALLSERVER1 | tr -d '\n')"

cat > "$run/conf/order_sync_client.ini" <<EOF
[gateway]
ip=127.0.0.1
port=$hall_port
client_id=100
[redis]
$redis_ini
key=orders
[log]
dir=../log
level=6
EOF
# The player registers client id 1001 with its first request and then waits for the
# results that the orders name for it.
start player "[player] " "$build_dir/hall_cli" -h 127.0.0.1 -p "$hall_port" -i 1001 -w -1 '{"hello":"player 1001"}'
player_pid=$!
sleep 0.5
start order-sync "[order-sync] " "$build_dir/order_sync_client" "$run/conf/order_sync_client.ini"
osc_pid=$!
sleep 0.5
kill -0 "$osc_pid" 2>/dev/null || die "order_sync_client exited at start"
kill -0 "$player_pid" 2>/dev/null || die "the player client exited at start"
fi

# Kills the master once the orders pushed so far have reached logic-1, and waits (at most
# 30 s) until the sentinels name the replica.
failover() {
  local sent=$1 t0 now
  for _ in $(seq 100); do
    [ "$(grep -c 'forward client=100 .*"order":"A-' "$run/log/logic-1.out")" -ge "$sent" ] && break
    sleep 0.1
  done
  say "killing the Redis master 127.0.0.1:$redis_port (kill -9)"
  t0=$(date +%s%N)
  kill -KILL "$redis_master_pid"
  local alive=()
  for pid in "${pids[@]}"; do [ "$pid" = "$redis_master_pid" ] || alive+=("$pid"); done
  pids=("${alive[@]}")
  for _ in $(seq 300); do
    [ "$(master_port)" = "$replica_port" ] && break
    sleep 0.1
  done
  [ "$(master_port)" = "$replica_port" ] || die "the sentinels did not promote the replica within 30 s"
  now=$(date +%s%N)
  say "the sentinels named the new master 127.0.0.1:$replica_port $(((now - t0) / 1000000)) ms after the kill"
  # Both programs log the master they follow.
  for _ in $(seq 100); do
    grep -qs "redis master hallmaster at 127.0.0.1:$replica_port" "$run"/log/Log_* &&
      grep -qs "redis master 127.0.0.1:$replica_port" "$run"/log/order_sync_client_*.log && break
    sleep 0.1
  done
  now=$(date +%s%N)
  grep -qs "redis master hallmaster at 127.0.0.1:$replica_port" "$run"/log/Log_* ||
    die "hall did not follow the new master within 10 s"
  grep -qs "redis master 127.0.0.1:$replica_port" "$run"/log/order_sync_client_*.log ||
    die "order_sync_client did not follow the new master within 10 s"
  say "hall and order_sync_client follow the new master $(((now - t0) / 1000000)) ms after the kill"
}

for i in $(seq "$orders"); do
  if [ "$sentinel" -eq 1 ] && [ "$i" -eq $((orders / 2 + 1)) ]; then failover $((i - 1)); fi
  order="{\"flow\":1001,\"order\":\"A-$i\",\"item\":\"gold\",\"amount\":$((i * 100))}"
  for _ in $(seq 50); do  # a master just promoted may refuse writes for a moment
    reply=$(redis-cli -p "$(master_port)" RPUSH orders "$order" 2>&1)
    [[ $reply =~ ^[0-9]+$ ]] && break
    sleep 0.1
  done
  [[ $reply =~ ^[0-9]+$ ]] || die "RPUSH failed: $reply"
  say "pushed order $order"
  sleep 0.5
done

# Counts what arrived: every order at both logic servers, and both results of every
# order (plus the two answers to the player's own greeting) at the player.
summary() {
  local l1 l2 answers
  l1=$(grep -c 'recv cmd=0x1003 forward client=1[0-9][0-9] .*"order":"A-' "$run/log/logic-1.out")
  l2=$(grep -c 'recv cmd=0x1003 forward client=1[0-9][0-9] .*"order":"A-' "$run/log/logic-2.out")
  answers=$(grep -c '^answer status=0' "$run/log/player.out")
  [ "$gateways" -gt 1 ] && fleet_summary
  say "summary: logic-1 received $l1/$orders orders, logic-2 received $l2/$orders," \
      "the player got $answers/$((2 * orders + 2)) answers"
  [ "$l1" -eq "$orders" ] && [ "$l2" -eq "$orders" ] && [ "$answers" -eq $((2 * orders + 2)) ]
}

orders_pushed=1
if [ "$duration" -gt 0 ]; then
  say "running for $duration s more"
  end=$((SECONDS + duration))
  while [ $SECONDS -lt $end ]; do
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || die "a piece stopped (pid $pid)"; done
    sleep 1
  done
else
  say "running; press Ctrl-C to stop"
  while :; do
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || die "a piece stopped (pid $pid)"; done
    sleep 1
  done
fi
say "stopping"
summary || die "not every order or result got through"
exit 0
