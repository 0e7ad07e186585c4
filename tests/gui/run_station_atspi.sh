#!/usr/bin/env bash
# Four simulated boards (COM3 locked) and the station window on a virtual display with an
# accessibility bus of its own; an AT-SPI client presses Start and reads the tiles.
# Usage: run_station_atspi.sh <kavel-isp-station> <kavel-isp-sim> <kavel-isp-cli> <image>
set -euo pipefail
station="$1" sim="$2" cli="$3" image="$4"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/atspi_session.sh"
atspi_session "station atspi" "$0" "$@"
for port in COM1 COM2 COM3 COM4; do
  extra=()
  [ "$port" = COM3 ] && extra=(--security 1)
  "$sim" --port "$port" --port-dir "$work/ports" "${extra[@]}" >/dev/null 2>&1 & pids+=($!)
done
for _ in $(seq 50); do [ -e "$work/ports/COM4" ] && [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
cat > "$work/line.toml" <<JOB
operation = "program"
image = "$image"
sha256 = "$(sha256sum "$image" | cut -c1-64)"
ports = ["COM1", "COM2", "COM3", "COM4"]
serial = "7FFC"
db = "$work/station.db"
lot = "W-1"
JOB
export KAVEL_ISP_PORT_DIR="$work/ports" KAVEL_ISP_CLI="$cli"
"$station" --operator Ana "$work/line.toml" >"$work/app.log" 2>&1 & pids+=($!)
if ! /usr/bin/python3 "$here/station_atspi_check.py"; then
  grep -q "could not connect to display" "$work/app.log" && exit 75
  cat "$work/app.log" >&2
  exit 1
fi
