#!/usr/bin/env bash
# The station window in automatic mode on a virtual display with an accessibility bus of its
# own, against three sockets: a board behind RFC 2217 through a proxy that drops every 4th
# connection, a slow crystal's chip that takes 9600 bit/s alone (the job pins no speed), and
# an RFC 2217 server that accepts and never answers. An AT-SPI client puts the boards in and
# reads the tiles (station_auto_atspi_check.py).
# Usage: run_station_auto_atspi.sh <kavel-isp-station> <kavel-isp-sim> <kavel-isp-cli> <kavel-test-netfault> <image>
set -euo pipefail
station="$1" sim="$2" cli="$3" netfault="$4" image="$5"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/atspi_session.sh"
atspi_session "station automatic atspi" "$0" "$@"
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
board=$(free_port) flaky=$(free_port) silent=$(free_port)
"$sim" --rfc2217 "$board" --out >"$work/board.out" 2>&1 & pids+=($!); export KAVEL_BOARD_PIDS=$!
"$sim" --port COM2 --port-dir "$work/ports" --speeds 9600 --out >/dev/null 2>&1 & pids+=($!); KAVEL_BOARD_PIDS+=" $!"
"$netfault" drop "$flaky" "$board" 4 >"$work/proxy.out" 2>&1 & pids+=($!)
"$netfault" silent "$silent" >"$work/silent.out" 2>&1 & pids+=($!)
for _ in $(seq 50); do
  [ -e "$work/ports/COM2" ] && grep -q listening "$work/proxy.out" && grep -q listening "$work/silent.out" &&
    grep -q rfc2217 "$work/board.out" && break
  sleep 0.1
done
cat > "$work/line.toml" <<JOB
operation = "program"
image = "$image"
sha256 = "$(sha256sum "$image" | cut -c1-64)"
ports = ["rfc2217://127.0.0.1:$flaky", "COM2", "rfc2217://127.0.0.1:$silent"]
db = "$work/station.db"
lot = "W-1"
operator = "Ana"
JOB
export KAVEL_ISP_PORT_DIR="$work/ports" KAVEL_ISP_CLI="$cli" KAVEL_STATION="$station" KAVEL_WORK="$work"
if ! /usr/bin/python3 "$here/station_auto_atspi_check.py"; then
  grep -q "could not connect to display" "$work"/app*.log 2>/dev/null && exit 75
  cat "$work"/app*.log >&2 || true
  exit 1
fi
