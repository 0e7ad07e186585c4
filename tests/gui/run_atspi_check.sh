#!/usr/bin/env bash
# Starts the simulated chip and the window in the service view on a virtual display with an
# accessibility bus of its own, then reads the window with an AT-SPI client.
# Usage: run_atspi_check.sh <kavel-isp> <kavel-isp-sim>
set -euo pipefail
app="$1" sim="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/atspi_session.sh"
atspi_session atspi "$0" "$@"
"$sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config"
"$app" /Kavel >"$work/app.log" 2>&1 & pids+=($!)
if ! /usr/bin/python3 "$here/atspi_check.py"; then
  grep -q "could not connect to display" "$work/app.log" && exit 75
  cat "$work/app.log" >&2
  exit 1
fi
