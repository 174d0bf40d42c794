#!/usr/bin/env bash
# Soak run of the gateway: a real `hall` in front of two sample logic servers, driven for
# DURATION seconds by tools/soak_client with a few hundred clients that connect, send and
# disconnect at random. Not part of the default test command.
#
#   bash scripts/soak.sh DURATION [--clients N] [--rate R] [--build-dir DIR]
#                        [--leak-seconds S] [--leak-clients N] [--no-leak-check] [--keep]
#
# Checks, each reported as PASS or FAIL:
#   clients     soak_client: every graceful connection got all its answers (two per
#               request), every answer was well formed, none came twice, the gateway
#               dropped no connection and no connect failed;
#   forwards    every request written by a client that left gracefully reached both logic
#               servers exactly once; an abrupt leaver's requests at most once each; no
#               forward names a client id that never connected;
#   descriptors the gateway's /proc/PID/fd count is back to its start value once the
#               clients are gone, and never above clients + start value;
#   memory      VmRSS in the second half of the run stays within 10% + 2 MB of the
#               largest value of the first half after warm-up (the first quarter);
#   leaks       a shorter run (--leak-seconds, default 60) under valgrind
#               --leak-check=full, the gateway ended by SIGTERM: no definitely or
#               indirectly lost block and no memory error.
# Figures go to standard output; the exit status is 0 only when every check passed.
set -uo pipefail
cd "$(dirname "$0")/.."
src_dir=$(pwd)

[ $# -ge 1 ] || { sed -n '2,24p' "$0"; exit 2; }
duration=$1
shift
clients=300
rate=1
build_dir=$src_dir/build
leak_seconds=60
leak_clients=50
leak_check=1
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --clients) clients=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --leak-seconds) leak_seconds=$2; shift 2 ;;
    --leak-clients) leak_clients=$2; shift 2 ;;
    --no-leak-check) leak_check=0; shift ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "soak: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)
case "$duration" in ''|*[!0-9]*) echo "soak: DURATION must be whole seconds" >&2; exit 2 ;; esac

say() { printf '[soak] %s\n' "$*"; }
failures=0
check() {  # check NAME CONDITION-STATUS DETAIL
  if [ "$2" -eq 0 ]; then say "PASS $1: $3"; else say "FAIL $1: $3"; failures=$((failures + 1)); fi
}

cmake -S . -B "$build_dir" >/dev/null || { say "cmake configure failed"; exit 1; }
cmake --build "$build_dir" -j2 --target hall logic_server soak_client >/dev/null ||
  { say "build failed (run: cmake --build $build_dir)"; exit 1; }

run=$(mktemp -d /tmp/hall-soak.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  if [ "$keep" -eq 1 ]; then say "run directory kept: $run"; else rm -rf "$run"; fi
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# setup DIR: a run directory bin/ conf/ log/ with two logic servers started; sets
# $gw_port and the logic-server pids.
setup() {
  local dir=$1 p1 p2 no_redis
  mkdir -p "$dir/bin" "$dir/conf" "$dir/log"
  p1=$(free_port); p2=$(free_port); no_redis=$(free_port); gw_port=$(free_port)
  cat >"$dir/conf/config.xml" <<EOF
<SYSTEM LogDir="../log" LogNum="3" LogSize="20000000" LogLevel="4" MaxFdCount="4096" WebTimeout="60" HelperTimeout="600" MaxListenCount="1024" BindAddr="127.0.0.1" RedisServer="127.0.0.1" RedisPort="$no_redis" UdpSwitch="0"/>
EOF
  cat >"$dir/conf/server.xml" <<EOF
<SYSTEM>
  <Node>
    <ServerList>
      <Server svid="1" ip="127.0.0.1" port="$p1"/>
      <Server svid="2" ip="127.0.0.1" port="$p2"/>
    </ServerList>
  </Node>
</SYSTEM>
EOF
  "$build_dir/logic_server" --name A "$p1" >"$dir/A.log" 2>&1 &
  pids+=($!)
  "$build_dir/logic_server" --name B "$p2" >"$dir/B.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q "listening" "$dir/A.log" 2>/dev/null && grep -q "listening" "$dir/B.log" 2>/dev/null && return 0
    sleep 0.1
  done
  say "logic servers did not start"; return 1
}

# wait_ready PID OUTPUT: true once the gateway PID has logged the end of its start-up
# into OUTPUT (its standard error); false as soon as it has exited (a port in use, a
# logic server not reachable) or after 30 s. A port that merely answers proves nothing:
# another program may hold it.
wait_ready() {
  for _ in $(seq 300); do
    grep -q "Proxy open is done" "$2" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

fds_of() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
rss_of() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# forwards DIR REPORT: checks every connection of the report against both logic logs.
check_forwards() {
  local dir=$1 report=$2
  awk '
    FNR == 1 { file++ }
    file <= 2 && /recv cmd=0x1003 forward client=/ {
      match($0, /forward client=-?[0-9]+/); id = substr($0, RSTART + 15, RLENGTH - 15); fw[file, id]++; ids[id] = 1
    }
    file == 3 && /^conn / {
      split($2, a, "="); split($3, b, "="); split($5, m, "="); id = a[2]
      sent[id] = b[2]; mode[id] = m[2]; known[id] = 1
    }
    END {
      bad = 0; checked = 0
      for (id in ids) if (!(id in known)) { bad++; if (bad < 5) printf "forward for unknown client %s\n", id }
      for (id in known) {
        for (f = 1; f <= 2; f++) {
          n = fw[f, id] + 0
          if ((mode[id] == "graceful" && n != sent[id]) || n > sent[id]) {
            bad++; if (bad < 5) printf "client %s (%s): sent %d, logic server %d got %d\n", id, mode[id], sent[id], f, n
          }
        }
        checked++
      }
      printf "%d connections checked, %d mismatches\n", checked, bad
      exit bad > 0
    }' "$dir/A.log" "$dir/B.log" "$report"
}

# --- the soak run ---------------------------------------------------------------------
soak=$run/soak
setup "$soak" || exit 1
(cd "$soak/bin" && ulimit -n 8192 && exec "$build_dir/hall" -p "$gw_port" -s 7 -h 127.0.0.1 -f) \
  >"$soak/hall.out" 2>&1 &
hall_pid=$!
pids+=($hall_pid)
wait_ready $hall_pid "$soak/hall.out" || { say "gateway did not start: $(cat "$soak/hall.out")"; exit 1; }
sleep 1
fd0=$(fds_of $hall_pid); rss0=$(rss_of $hall_pid)
say "gateway pid $hall_pid on port $gw_port: $fd0 descriptors, VmRSS $rss0 kB before clients"
say "driving $clients clients for $duration s, $rate requests/s per open connection"

"$build_dir/soak_client" -p "$gw_port" -n "$clients" -d "$duration" -a 2 -r "$rate" -s "$$" \
  -o "$soak/report.txt" >"$soak/client.out" 2>&1 &
client_pid=$!
pids+=($client_pid)
start=$(date +%s)
: >"$soak/samples.txt"
while kill -0 $client_pid 2>/dev/null; do
  echo "$(( $(date +%s) - start )) $(fds_of $hall_pid) $(rss_of $hall_pid)" >>"$soak/samples.txt"
  sleep 2
done
wait $client_pid
client_status=$?
sleep 2
fd1=$(fds_of $hall_pid); rss1=$(rss_of $hall_pid)
say "$(cat "$soak/client.out")"
check clients $client_status "soak_client exit status $client_status"

forward_text=$(check_forwards "$soak" "$soak/report.txt")
check forwards $? "$forward_text"

fd_max=$(awk 'BEGIN{m=0} {if ($2 > m) m = $2} END{print m}' "$soak/samples.txt")
fd_ok=1
[ "$fd1" -le "$fd0" ] && [ "$fd_max" -le $((fd0 + clients)) ] && fd_ok=0
check descriptors $fd_ok "start $fd0, peak $fd_max (clients $clients), after the clients left $fd1"

mem_text=$(awk -v d="$duration" '
  { t = $1; if (t > d) next; if (t >= d / 4 && t <= d / 2) { if ($3 > early) early = $3 }
    else if (t > d / 2) { if ($3 > late) late = $3 } }
  END { limit = early * 1.1 + 2048
        printf "steady peak (second quarter) %d kB, peak of the second half %d kB, limit %d kB", early, late, limit
        exit (early == 0 || late > limit) }' "$soak/samples.txt")
check memory $? "$mem_text; before clients $rss0 kB, after $rss1 kB"

kill -TERM $hall_pid 2>/dev/null
wait $hall_pid 2>/dev/null
others=("${pids[@]}")
for pid in "${others[@]}"; do kill -TERM "$pid" 2>/dev/null; done
wait 2>/dev/null
pids=()

# --- the leak run under valgrind ---------------------------------------------------------
if [ "$leak_check" -eq 1 ]; then
  if ! command -v valgrind >/dev/null; then
    check leaks 1 "valgrind is not installed"
  else
    leak=$run/leak
    setup "$leak" || exit 1
    (cd "$leak/bin" && exec valgrind --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --log-file="$leak/valgrind.txt" "$build_dir/hall" -p "$gw_port" -s 7 -h 127.0.0.1 -f) >"$leak/hall.out" 2>&1 &
    vg_pid=$!
    pids+=($vg_pid)
    if ! wait_ready $vg_pid "$leak/hall.out"; then
      check leaks 1 "gateway under valgrind did not start"
    else
      say "leak run: $leak_clients clients for $leak_seconds s under valgrind"
      "$build_dir/soak_client" -p "$gw_port" -n "$leak_clients" -d "$leak_seconds" -a 2 -r "$rate" -s 7 \
        -o "$leak/report.txt" >"$leak/client.out" 2>&1
      leak_client=$?
      say "$(cat "$leak/client.out")"
      kill -TERM $vg_pid
      for _ in $(seq 600); do kill -0 $vg_pid 2>/dev/null || break; sleep 0.1; done
      wait $vg_pid 2>/dev/null
      summary=$(grep -E "definitely lost|indirectly lost|ERROR SUMMARY|All heap blocks" "$leak/valgrind.txt" | sed 's/^==[0-9]*== *//')
      say "valgrind: $(echo "$summary" | tr '\n' ';')"
      leak_bad=1
      if grep -q "ERROR SUMMARY: 0 errors" "$leak/valgrind.txt" &&
         ! grep -qE "(definitely|indirectly) lost: [1-9]" "$leak/valgrind.txt" && [ "$leak_client" -eq 0 ]; then
        leak_bad=0
      fi
      check leaks $leak_bad "valgrind report of a $leak_seconds s run (soak_client status $leak_client)"
    fi
  fi
fi

if [ "$failures" -eq 0 ]; then say "all checks passed"; exit 0; fi
say "$failures check(s) failed; run directory: $run"
keep=1
exit 1
