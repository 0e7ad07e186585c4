#!/usr/bin/env bash
# Start-up of the programmer's window (service view, against a simulated chip on COM1, with
# settings of its own) against a Qt Widgets window with one button and one status label, on a
# virtual display with the accessibility bus on: milliseconds from exec to the status panel
# painted, and the peak memory, the median of RUNS runs each (default 61), taken in turns,
# and their ratios.
# Target: the window within 1.15 times the minimal program's time.
# Usage: bench/startup_bench.sh [build dir, default build/release] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
runs="${2:-61}"
cmake --build "$build" --target startup_probe kavel-isp-sim >/dev/null
if [ -z "${KAVEL_STARTUP_INNER:-}" ]; then
  export KAVEL_STARTUP_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
work="$(mktemp -d)"
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 & bus=$!
"$build/sim/kavel-isp-sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 & sim=$!
trap 'kill $bus $sim 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A ms kb
for mode in minimal window; do
  "$build/bench/startup_probe" "$mode" >/dev/null 2>&1  # warm the caches first
  : > "$work/$mode"
done
# The two programs take turns, so that a change in the machine's load falls on both alike.
for _ in $(seq "$runs"); do
  for mode in minimal window; do
    start=$(date +%s%N)
    read -r end peak < <("$build/bench/startup_probe" "$mode" 2>/dev/null)
    echo "$(( (end - start) / 1000 )) $peak" >> "$work/$mode"  # microseconds, KB
  done
done
for mode in minimal window; do
  ms[$mode]=$(cut -d' ' -f1 "$work/$mode" | median | awk '{ print $1 / 1000 }')
  kb[$mode]=$(cut -d' ' -f2 "$work/$mode" | median)
done
echo "Start-up to the status panel painted (virtual display, accessibility on; median of $runs)"
awk -v wm="${ms[window]}" -v mm="${ms[minimal]}" -v wk="${kb[window]}" -v mk="${kb[minimal]}" 'BEGIN {
  printf "  minimal Qt program:  %6.1f ms, %5.1f MB peak\n", mm, mk / 1024
  printf "  kavel-isp /Kavel:    %6.1f ms, %5.1f MB peak\n", wm, wk / 1024
  printf "  ratio: time %.2f, memory %.2f\n", wm / mm, wk / mk }'
