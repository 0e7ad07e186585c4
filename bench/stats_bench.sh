#!/usr/bin/env bash
# The log's figures over a million rows: kavel-isp-cli log --stats --by day,station against
# an SQLite file and a PostgreSQL server of its own on this machine, each filled with
# 1,000,000 rows (a board every 8 s for 92 days: four stations, eight ports, the usual
# failures, runs the station refused, later tries), the wall time and the peak memory of
# the command, the median of RUNS (default 5). Targets: under 2 s and under 200 MB.
# Usage: bench/stats_bench.sh [build dir, default build/release] [runs]
source "$(dirname "$0")/cli_bench_setup.sh"
runs="${2:-5}"
pg="$(mktemp -d /tmp/kavel-pg-XXXXXX)"  # its own: the postgres user may not enter $work
url=$(bash tests/support/pg_cluster.sh start "$pg")
trap 'bash tests/support/pg_cluster.sh remove "$pg"; rm -rf "$work"' EXIT
source "$(dirname "$0")/fill_log.sh"
# A board every 8 s for 92 days: four stations of two ports.
FillLog "$work/station.db" "$url" 1796000000 8 4 2
# Median of the runs: wall seconds and peak resident kilobytes.
Measure() {
  local times=() peaks=() t m
  for _ in $(seq "$runs"); do
    read -r t m < <( { /usr/bin/time -f '%e %M' "$cli" --db "$1" log --stats --by day,station >/dev/null; } 2>&1 )
    times+=("$t")
    peaks+=("$m")
  done
  median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  echo "$(median "${times[@]}") $(median "${peaks[@]}")"
}
read -r sqlite_s sqlite_kb < <(Measure "$work/station.db")
read -r pg_s pg_kb < <(Measure "$url")
echo "kavel-isp-cli log --stats --by day,station over 1,000,000 rows (median of $runs)"
awk -v s="$sqlite_s" -v sm="$sqlite_kb" -v p="$pg_s" -v pm="$pg_kb" 'BEGIN {
  printf "  SQLite file:        %5.2f s (target 2 s), %4.0f MB peak (target 200 MB)\n", s, sm / 1024
  printf "  PostgreSQL server:  %5.2f s (target 2 s), %4.0f MB peak (target 200 MB)\n", p, pm / 1024 }'
