# Sourced by the benchmarks over a million rows (stats_bench.sh, dashboard_bench.sh), after
# cli_bench_setup.sh. FillLog SQLITE_FILE PG_URL FIRST STEP STATIONS PORTS: both logs made by
# the program itself (a refused run on a port that is not there), then filled with 1,000,000
# rows, row n starting at FIRST + n * STEP seconds (Unix time) on station line-(n % STATIONS)
# and one of PORTS ports, with the usual failures, runs the station refused, and later tries.
FillLog() {
  local sqlite="$1" url="$2" first="$3" step="$4" stations="$5" ports="$6" db
  local columns="started, ended, station, port, command, image, image_sha256, device_id, serial_name, serial,
    serial_verified, result, exit_status, seconds, speed, retries, operator_name, lot, device, reason, serial_kept,
    result_class"
  local values="'line-' || (n % $stations), 'COM' || (n / $stations % $ports + 1), 'cycle', 'fw.hex', 'c0ffee', 194,
    'default', n + 1, 1,
    CASE WHEN n % 50 = 7 THEN 'no_answer' WHEN n % 97 = 3 THEN 'mismatch' WHEN n % 211 = 11 THEN 'bad_image'
         WHEN n % 1009 = 5 THEN 'unfinished' ELSE 'ok' END,
    CASE WHEN n % 50 = 7 OR n % 97 = 3 THEN 1 WHEN n % 211 = 11 THEN 4 ELSE 0 END, 10.5 + (n % 13) * 0.1, 115200,
    0, 'op' || (n % 3), 'W-' || (n / 10000), '/dev/ttyUSB0', 'cycle: programmed 1025 records, verified, locked',
    CASE WHEN n % 20 = 9 THEN 1 ELSE 0 END, CASE WHEN n % 211 = 11 THEN 'station' ELSE 'board' END"
  for db in "$sqlite" "$url"; do
    "$cli" --db "$db" --port COM9 --quiet erase >/dev/null 2>&1 || true
  done
  sqlite3 "$sqlite" "DELETE FROM kavel_runs;
    WITH RECURSIVE s(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM s WHERE n < 999999)
    INSERT INTO kavel_runs ($columns) SELECT strftime('%Y-%m-%dT%H:%M:%fZ', $first + n * $step, 'unixepoch'),
    strftime('%Y-%m-%dT%H:%M:%fZ', $first + n * $step + 11, 'unixepoch'), $values FROM s;"
  psql -q "$url" -c "DELETE FROM kavel_runs" -c "INSERT INTO kavel_runs ($columns) SELECT
    to_timestamp($first + n * $step), to_timestamp($first + n * $step + 11), $values FROM generate_series(0, 999999) AS n" \
    -c "VACUUM ANALYZE kavel_runs"
}
