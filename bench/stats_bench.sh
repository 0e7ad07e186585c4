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
# The rows, as the log holds them; n from 0 to 999999, t its start in seconds since 1970.
columns="started, ended, station, port, command, image, image_sha256, device_id, serial_name, serial,
  serial_verified, result, exit_status, seconds, speed, retries, operator_name, lot, device, reason, serial_kept,
  result_class"
values="'line-' || (n % 4), 'COM' || (n % 8 + 1), 'cycle', 'fw.hex', 'c0ffee', 194, 'default', n + 1, 1,
  CASE WHEN n % 50 = 7 THEN 'no_answer' WHEN n % 97 = 3 THEN 'mismatch' WHEN n % 211 = 11 THEN 'bad_image'
       WHEN n % 1009 = 5 THEN 'unfinished' ELSE 'ok' END,
  CASE WHEN n % 50 = 7 OR n % 97 = 3 THEN 1 WHEN n % 211 = 11 THEN 4 ELSE 0 END, 10.5 + (n % 13) * 0.1, 115200,
  0, 'op' || (n % 3), 'W-' || (n / 10000), '/dev/ttyUSB0', 'cycle: programmed 1025 records, verified, locked',
  CASE WHEN n % 20 = 9 THEN 1 ELSE 0 END, CASE WHEN n % 211 = 11 THEN 'station' ELSE 'board' END"
# Each database made by the program itself: a run on a port that is not there, refused.
for db in "$work/station.db" "$url"; do
  "$cli" --db "$db" --port COM9 --quiet erase >/dev/null 2>&1 || true
done
sqlite3 "$work/station.db" "DELETE FROM kavel_runs;
  WITH RECURSIVE s(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM s WHERE n < 999999)
  INSERT INTO kavel_runs ($columns) SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 1796000000 + n * 8, 'unixepoch'),
  strftime('%Y-%m-%dT%H:%M:%fZ', 1796000000 + n * 8 + 11, 'unixepoch'), $values FROM s;"
psql -q "$url" -c "DELETE FROM kavel_runs" -c "INSERT INTO kavel_runs ($columns) SELECT to_timestamp(1796000000 + n * 8),
  to_timestamp(1796000000 + n * 8 + 11), $values FROM generate_series(0, 999999) AS n" -c "VACUUM ANALYZE kavel_runs"
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
