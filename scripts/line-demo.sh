#!/usr/bin/env bash
# A two-station line and its page, on simulated chips: builds the simulator, kavel-isp-cli and
# kavel-isp-dashboard, then station line-1 (one socket) and station line-2 (two sockets, one
# holding a locked chip that always fails) program a board every few seconds each, numbered
# from one sequence and logged into one SQLite file, while the page shows them live at
# http://127.0.0.1:8480/ (opened in the desktop's browser when there is one). Ctrl-C ends it.
# Usage: scripts/line-demo.sh [HOST:PORT to listen on, default 127.0.0.1:8480]
set -euo pipefail
cd "$(dirname "$0")/.."
listen="${1:-127.0.0.1:8480}"
bash scripts/setup.sh >/dev/null
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp-sim kavel-isp-cli \
  kavel-isp-dashboard >/dev/null
build=./build/debug
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export KAVEL_ISP_PORT_DIR="$work/ports"
"$build/sim/kavel-isp-sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 &
"$build/sim/kavel-isp-sim" --port COM2 --port-dir "$work/ports" >/dev/null 2>&1 &
"$build/sim/kavel-isp-sim" --port COM3 --port-dir "$work/ports" --security 1 >/dev/null 2>&1 &
for _ in $(seq 50); do [ -e "$work/ports/COM3" ] && [ -e "$work/ports/COM2" ] && [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
db="$work/station.db"
"$build/dashboard/kavel-isp-dashboard" --db "$db" --listen "$listen" &
station() {  # station NAME OPERATOR PORT... : a board a socket every few seconds, until the end
  local name="$1" operator="$2"
  shift 2
  while true; do
    "$build/cli/kavel-isp-cli" -q program examples/blink/blink.hex "${@/#/--port=}" --db "$db" --station "$name" \
      --operator "$operator" --lot W-1742 --serial 7F00 --serial-first 1000 >/dev/null 2>&1 || true
    sleep "$((3 + RANDOM % 4))"
  done
}
station line-1 "Ana Kovač" COM1 &
station line-2 "Ben Okafor" COM2 COM3 &
sleep 1
[ -z "${DISPLAY:-}" ] || "$build/dashboard/kavel-isp-dashboard" --listen "$listen" --open >/dev/null 2>&1 || true
echo "Two stations are programming simulated boards; the line's page is at http://$listen/ (Ctrl-C ends it)"
wait
