#!/usr/bin/env bash
# Builds the program and the simulated chip, starts the chip on COM1 of the demo's own port
# directory (build/demo-ports) and the window in the service view against it. The demo keeps
# its own settings (build/demo-config), so neither the user's port mapping nor the user's
# settings are touched. Without a display it runs on a virtual one (xvfb-run) and says so.
# Extra arguments go to the window (for example /6 or /SAME).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp kavel-isp-sim

ports="$PWD/build/demo-ports"
mkdir -p "$ports" "$PWD/build/demo-config/KAVEL"
# A first demo offers the example image in the file dialog of "Send hex".
settings="$PWD/build/demo-config/KAVEL/ISP.conf"
[ -e "$settings" ] || printf '[TMainISPForm]\nOpenDialog1_FileName=%s\n' \
  "$PWD/examples/blink/blink.hex" > "$settings"

./build/debug/sim/kavel-isp-sim --port COM1 --port-dir "$ports" --log "$PWD/build/demo-wire.log" \
  --flash-out "$PWD/build/demo-flash.bin" --report "$PWD/build/demo-report.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
# Ready once COM1 is claimed by this simulator (an earlier demo's entry may still be there).
for _ in $(seq 50); do
  grep -qs "^pid=$sim\$" "$ports/COM1.kavel-claim" && [ -e "$ports/COM1" ] && break
  sleep 0.1
done

echo "Simulated chip on COM1 (wire log: build/demo-wire.log; its flash goes to build/demo-flash.bin"
echo "and its bits and status byte to build/demo-report.txt when the demo ends)."
echo "Press Synchronize, then Send hex and open examples/blink/blink.hex."
echo "Close the window to end the demo."
export KAVEL_ISP_PORT_DIR="$ports" XDG_CONFIG_HOME="$PWD/build/demo-config"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: the window runs on a virtual one (xvfb-run), where nobody sees it."
  echo "Run this on a desktop to see it; scripts/screenshots.sh takes pictures of it."
  xvfb-run -a -s "-screen 0 1024x768x24" ./build/debug/app/kavel-isp /Kavel "$@"
else
  ./build/debug/app/kavel-isp /Kavel "$@"
fi
