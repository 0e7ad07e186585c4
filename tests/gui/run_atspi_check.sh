#!/usr/bin/env bash
# Starts the simulated chip and the window in the service view on a virtual display with an
# accessibility bus of its own, then reads the window with an AT-SPI client.
# Usage: run_atspi_check.sh <kavel-isp> <kavel-isp-sim>
set -euo pipefail
app="$1" sim="$2"
here="$(cd "$(dirname "$0")" && pwd)"
if [ -z "${KAVEL_ATSPI_INNER:-}" ]; then
  # What a display and a bus need; without them the check is skipped (77), not failed.
  for need in dbus-run-session xvfb-run /usr/libexec/at-spi-bus-launcher /usr/bin/python3; do
    command -v "$need" >/dev/null || { echo "atspi: skipped, $need is missing"; exit 77; }
  done
  /usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "atspi: skipped, pyatspi is missing"; exit 77; }
  export KAVEL_ATSPI_INNER=1
  # A virtual display now and then goes away under a starting client (xvfb-run's display
  # numbers are reused at once); that run says so with status 75 and is tried again.
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
"$sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1
"$app" /Kavel >"$work/app.log" 2>&1 & pids+=($!)
if ! /usr/bin/python3 "$here/atspi_check.py"; then
  grep -q "could not connect to display" "$work/app.log" && exit 75
  cat "$work/app.log" >&2
  exit 1
fi
