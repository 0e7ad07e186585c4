#!/usr/bin/env bash
# "Send hex" in the programmer's window (service view) on a virtual display with the
# accessibility bus on: a 4 KB image (257 records) into a simulated chip on COM1 at D = 20 ms,
# "Wait for confirmation" off, so each record is paced by D alone; the time it took against
# 257 x 20 ms, the median of RUNS runs (default 9), and the same offscreen for comparison.
# Each run checks that every record's "Programming line: i / 257" was painted, in order.
# Target: on the virtual display at most 1.02 times 257 x D.
# Usage: bench/pace_bench.sh [build dir, default build/release] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
runs="${2:-9}"
delay=20
cmake --build "$build" --target pace_probe kavel-isp-sim >/dev/null
if [ -z "${KAVEL_PACE_INNER:-}" ]; then
  export KAVEL_PACE_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
work="$(mktemp -d)"
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 & bus=$!
"$build/sim/kavel-isp-sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 & sim=$!
trap 'kill $bus $sim 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do grep -qs "^pid=$sim\$" "$work/ports/COM1.kavel-claim" && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# One run on the platform given ("" for the virtual display); appends its milliseconds to
# $work/<name>, and fails when a record's text was not painted or the operation failed.
Run() {
  local name="$1" platform="$2" ms painted failed
  read -r ms painted failed < <(QT_QPA_PLATFORM="${platform:-xcb}" "$build/bench/pace_probe" "$work" "$delay" 2>/dev/null)
  if [ "$painted" != 257 ] || [ "$failed" != 0 ]; then
    echo "$name: $painted of 257 progress texts painted in order, OperationFailed $failed" >&2
    exit 1
  fi
  echo "$ms" >> "$work/$name"
}
: > "$work/xcb"
: > "$work/offscreen"
for _ in $(seq "$runs"); do
  Run xcb ""
  Run offscreen offscreen
done
echo "Send hex in the window, 4 KB image (257 records), D = $delay ms, replies not awaited (median of $runs)"
for name in xcb offscreen; do
  label="virtual display, accessibility on"
  [ "$name" = offscreen ] && label="offscreen"
  median < "$work/$name" | awk -v label="$label" -v d="$delay" -v all="$(sort -n "$work/$name" | tr '\n' ' ')" '{
    pauses = 257 * d
    split(all, v, " ")
    printf "  %-34s %6.0f ms against 257 x %d = %d ms of pauses: ratio %.3f (runs %.3f to %.3f)\n",
           label ":", $1, d, pauses, $1 / pauses, v[1] / pauses, v[length(v)] / pauses }'
done
