#!/usr/bin/env bash
# Four simulated boards (COM3 locked) and the station window on a virtual display with an
# accessibility bus of its own; an AT-SPI client presses Start and reads the tiles.
# Usage: run_station_atspi.sh <kavel-isp-station> <kavel-isp-sim> <kavel-isp-cli> <image>
set -euo pipefail
station="$1" sim="$2" cli="$3" image="$4"
here="$(cd "$(dirname "$0")" && pwd)"
if [ -z "${KAVEL_ATSPI_INNER:-}" ]; then
  for need in dbus-run-session xvfb-run /usr/libexec/at-spi-bus-launcher /usr/bin/python3; do
    command -v "$need" >/dev/null || { echo "atspi: skipped, $need is missing"; exit 77; }
  done
  /usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "atspi: skipped, pyatspi is missing"; exit 77; }
  export KAVEL_ATSPI_INNER=1
  for attempt in 1 2 3; do
    status=0
    dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@" || status=$?
    [ "$status" -ne 75 ] && exit "$status"
    echo "atspi: the virtual display failed (attempt $attempt); trying again" >&2
  done
  exit 1
fi
work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
/usr/libexec/at-spi-bus-launcher --launch-immediately & pids+=($!)
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
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1
"$station" "$work/line.toml" >"$work/app.log" 2>&1 & pids+=($!)
if ! /usr/bin/python3 "$here/station_atspi_check.py"; then
  grep -q "could not connect to display" "$work/app.log" && exit 75
  cat "$work/app.log" >&2
  exit 1
fi
