#!/usr/bin/env bash
# What the production station adds to each board: the database's work for one board (checked,
# the row begun with a serial number drawn, the row finished; bench/station_probe.cpp, median
# of 51) on an SQLite file and on a PostgreSQL server of its own on this machine, against
# the time kavel-isp-cli takes to program a 16 KB image (with its read-back) at 115200 bit/s
# into the simulated chip with its bytes held to the line rate (median of RUNS, default 5).
# Target: under 1% a board.
# Usage: bench/station_bench.sh [build dir, default build/release] [runs]
source "$(dirname "$0")/cli_bench_setup.sh"
runs="${2:-5}"
cmake --build "$build" --target station_probe >/dev/null
head -c 16384 /dev/urandom > "$work/16k.bin"
pg="$(mktemp -d /tmp/kavel-pg-XXXXXX)"  # its own: the postgres user may not enter $work
url=$(KAVEL_PG_FSYNC=on bash tests/support/pg_cluster.sh start "$pg")  # commits flushed, as on a real server
trap 'kill "${sims[@]}" 2>/dev/null || true; bash tests/support/pg_cluster.sh remove "$pg"; rm -rf "$work"' EXIT
StartSim COM1 --pace
times=()
for _ in $(seq "$runs"); do
  Timed "$cli" --no-db --baud 115200 --quiet program "$work/16k.bin"
  times+=("$real")
done
StopSims
program=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
sqlite=$("$build/bench/station_probe" "$work/station.db")
postgres=$("$build/bench/station_probe" "$url")
echo "The station's work a board, against programming a 16 KB image at 115200 bit/s (${program} s, median of $runs)"
awk -v p="$program" -v s="$sqlite" -v g="$postgres" 'BEGIN {
  printf "  SQLite file:        %6.2f ms a board: %.2f%% of the programming\n", s, 100 * s / (p * 1000)
  printf "  PostgreSQL server:  %6.2f ms a board: %.2f%% of the programming\n", g, 100 * g / (p * 1000) }'
