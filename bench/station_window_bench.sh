#!/usr/bin/env bash
# The station window's round of four boards against kavel-isp-cli with the same job: four
# simulated chips on ptys, their bytes held to the line rate (kavel-isp-sim --pace), a 16 KB
# image programmed and verified at 115200 bit/s; the best of RUNS rounds each (default 3),
# each round on fresh simulators. The window's round ends when its counters were read again.
# Target: within 1.05. Then automatic mode with no board: its CPU, under 1% of one core.
# Usage: bench/station_window_bench.sh [build dir, default build/release] [runs]
source "$(dirname "$0")/cli_bench_setup.sh"
runs="${2:-3}"
cmake --build "$build" --target station_window_probe >/dev/null
head -c 16384 /dev/urandom > "$work/image16.bin"
cat > "$work/job.toml" <<JOB
operation = "program"
image = "image16.bin"
sha256 = "$(sha256sum "$work/image16.bin" | cut -c1-64)"
ports = ["COM1", "COM2", "COM3", "COM4"]
baud = 115200
serial = "7FFC"
db = "$work/station.db"
lot = "bench"
JOB
Round() {  # Round cli|window: sets ms
  for port in COM1 COM2 COM3 COM4; do StartSim "$port" --pace; done
  if [ "$1" = cli ]; then
    Timed "$cli" --quiet --job "$work/job.toml"
    ms=$(awk -v r="$real" 'BEGIN { print r * 1000 }')
  else
    read -r ms passed < <("$build/bench/station_window_probe" "$work/job.toml" "$cli")
    [ "$passed" = 4 ] || { echo "station window: $passed of 4 boards passed" >&2; exit 1; }
  fi
  StopSims
}
best_cli="" best_window=""
for _ in $(seq "$runs"); do
  Round cli; best_cli=$(awk -v a="${best_cli:-$ms}" -v b="$ms" 'BEGIN { print (b < a ? b : a) }')
  Round window; best_window=$(awk -v a="${best_window:-$ms}" -v b="$ms" 'BEGIN { print (b < a ? b : a) }')
done
echo "A round of four boards, 16 KB image, 115200 bit/s, paced chips (best of $runs)"
awk -v c="$best_cli" -v w="$best_window" 'BEGIN {
  printf "  kavel-isp-cli --job:  %6.0f ms\n  kavel-isp-station:    %6.0f ms: ratio %.3f\n", c, w, w / c }'
# Automatic mode with no board: every port asked every 500 ms; the CPU of 20 s of it.
cmake --build "$build" --target kavel-isp-station >/dev/null
QT_QPA_PLATFORM=offscreen /usr/bin/time -o "$work/idle" -f "%U %S" timeout 20 \
  "$build/stationwin/kavel-isp-station" --automatic "$work/job.toml" >/dev/null 2>&1 || true
read -r user sys < <(tail -1 "$work/idle")
awk -v u="$user" -v s="$sys" 'BEGIN {
  printf "  automatic mode, no board, 4 ports, 20 s: CPU %.2f s = %.2f%% of one core\n", u + s, 100 * (u + s) / 20 }'
