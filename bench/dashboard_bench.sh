#!/usr/bin/env bash
# The line's page over a month of a line's log: 1,000,000 rows over the last 30 days from 8
# stations, in an SQLite file and in a PostgreSQL server of its own on this machine. For each:
# the wall time of /api/stats?by=station,hour&since=-1d (median of RUNS, default 5; target
# 300 ms), the time until the page's first refresh is shown in headless Chromium (target
# 1 s), and the CPU that 20 browsers polling the page for 60 s cost the log's reader (the
# dashboard, which holds SQLite in its own process, and the PostgreSQL server's processes;
# target under 5% of a core).
# Usage: bench/dashboard_bench.sh [build dir, default build/release] [runs]
source "$(dirname "$0")/cli_bench_setup.sh"
runs="${2:-5}"
cmake --build "$build" --target kavel-isp-dashboard >/dev/null
pg="$(mktemp -d /tmp/kavel-pg-XXXXXX)"  # its own: the postgres user may not enter $work
url=$(bash tests/support/pg_cluster.sh start "$pg")
dash=""
trap '[ -z "$dash" ] || kill "$dash" 2>/dev/null; bash tests/support/pg_cluster.sh remove "$pg"; rm -rf "$work"' EXIT
now=$(date +%s)
first=$((now - 30 * 86400))
source "$(dirname "$0")/fill_log.sh"
# A row every 2.592 s from 30 days ago until now: eight stations of four ports.
FillLog "$work/station.db" "$url" "$first" 2.592 8 4
# CPU ticks (user + system, children ended included) of a process and those it started.
Ticks() {
  local total=0 p
  for p in "$@" $(pgrep -P "$1" || true); do
    total=$((total + $(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
hz=$(getconf CLK_TCK)
Measure() {  # name db [server pid]
  local name="$1" db="$2" server="${3:-}" port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$build/dashboard/kavel-isp-dashboard" --db "$db" --listen "127.0.0.1:$port" >"$work/dash.out" 2>&1 &
  dash=$!
  for _ in $(seq 50); do grep -q "page is at" "$work/dash.out" && break; sleep 0.1; done
  local page="http://127.0.0.1:$port/"
  local stats_ms ready_ms before after polled
  stats_ms=$(/usr/bin/python3 bench/dashboard_probe.py answer "${page}api/stats?by=station,hour&since=-1d" "$runs")
  ready_ms=$(/usr/bin/python3 bench/dashboard_probe.py ready "$page" "$runs")
  Both() { if [ -n "$server" ]; then echo $(( $(Ticks "$dash") + $(Ticks "$server") )); else Ticks "$dash"; fi; }
  before=$(Both)
  polled=$(/usr/bin/python3 bench/dashboard_probe.py poll "$page" 20 60)
  after=$(Both)
  kill "$dash"; wait "$dash" 2>/dev/null || true; dash=""
  awk -v n="$name" -v s="$stats_ms" -v r="$ready_ms" -v t=$((after - before)) -v hz="$hz" -v p="$polled" 'BEGIN {
    printf "  %-11s stats by station,hour over a day %4d ms (target 300); page ready %4d ms (target 1000);\n", n, s, r
    printf "              20 browsers polling: %4.1f%% of a core (target 5%%); answered, failed: %s\n", t / hz / 60 * 100, p }'
}
echo "kavel-isp-dashboard over 1,000,000 rows, 30 days, 8 stations (median of $runs)"
Measure "SQLite" "$work/station.db"
Measure "PostgreSQL" "$url" "$(head -1 "$pg/data/postmaster.pid")"
