#!/usr/bin/env bash
# Takes pictures of both views of the window, running against the simulated chip on a
# virtual display, into docs/: normal-view.png and service-view.png; and of the station window
# in automatic mode with its operator named, boards put into three sockets (one passed, one
# failed, one running) and a fourth that answers but not as a boot loader: station.png; and of
# the line's page in headless Chromium, over the log the station window just wrote and a
# second station's boards: dashboard.png (left out, and said, without chromium).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KAVEL_SHOTS_INNER:-}" ]; then
  bash scripts/setup.sh
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp kavel-isp-sim kavel-isp-cli \
    kavel-isp-station kavel-isp-dashboard
  export KAVEL_SHOTS_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
./build/debug/sim/kavel-isp-sim --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 &
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config"
mkdir -p docs
shoot() {  # shoot <file> [switches...]
  local out="$1"; shift
  ./build/debug/app/kavel-isp "$@" >/dev/null 2>&1 &
  local app=$!
  sleep 2
  import -window "Kavel ISP 2.6.1" "$out"
  kill "$app"; wait "$app" 2>/dev/null || true
  echo "wrote $out"
}
shoot docs/normal-view.png
shoot docs/service-view.png /Kavel

# The station in automatic mode, its operator named: boards put into three empty sockets
# (COM3's locked: it fails; COM4's slow: still running at the picture), and in the fourth a
# line that answers with something else than a boot loader.
build=./build/debug
boards=()
for port in COM2 COM3 COM4 COM5; do
  case $port in
    COM3) extra=(--security 1 --out) ;;
    COM4) extra=(--block-erase-ms 3500 --out) ;;
    COM5) extra=(--loopback) ;;
    *) extra=(--out) ;;
  esac
  "$build/sim/kavel-isp-sim" --port "$port" --port-dir "$work/ports" "${extra[@]}" >/dev/null 2>&1 &
  [ "$port" = COM5 ] || boards+=($!)
done
for _ in $(seq 50); do [ -e "$work/ports/COM5" ] && break; sleep 0.1; done
cp examples/blink/blink.hex "$work/"
cat > "$work/line.toml" <<EOF
operation = "program"
image = "blink.hex"
sha256 = "$(sha256sum examples/blink/blink.hex | cut -c1-64)"
ports = ["COM2", "COM3", "COM4", "COM5"]
baud = 115200
serial = "7FFC"
db = "$work/station.db"
station = "line-2"
lot = "W-1742"
EOF
"$build/stationwin/kavel-isp-station" --automatic --operator "Ana Kovač" "$work/line.toml" >/dev/null 2>&1 &
app=$!
sleep 3  # the sockets found empty
kill -USR1 "${boards[@]}"  # the boards put in
sleep 3.3
import -window "Kavel ISP station - line.toml" docs/station.png
kill "$app"; wait "$app" 2>/dev/null || true
echo "wrote docs/station.png"

# The line's page: the station's boards, and a second station's programmed by the command line.
if ! command -v chromium >/dev/null; then
  echo "docs/dashboard.png left as it is: chromium is missing (apt-get install chromium)"
  exit 0
fi
"$build/sim/kavel-isp-sim" --port COM7 --port-dir "$work/ports" >/dev/null 2>&1 &
for _ in $(seq 50); do [ -e "$work/ports/COM7" ] && break; sleep 0.1; done
for _ in 1 2 3; do
  KAVEL_ISP_PORT_DIR="$work/ports" "$build/cli/kavel-isp-cli" -q program examples/blink/blink.hex --port COM7 \
    --db "$work/station.db" --station line-1 --operator "Ben Okafor" --lot W-1742 >/dev/null 2>&1 || true
done
"$build/dashboard/kavel-isp-dashboard" --db "$work/station.db" --listen 127.0.0.1:48480 >/dev/null 2>&1 &
sleep 1
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,1000 --virtual-time-budget=8000 \
  --screenshot="$PWD/docs/dashboard.png" http://127.0.0.1:48480/ >/dev/null 2>&1
echo "wrote docs/dashboard.png"
