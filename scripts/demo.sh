#!/usr/bin/env bash
# Builds the program and the simulated chip, starts the chip and a communication controller on
# COM1 of the demo's own port directory (build/demo-ports) and the window in the service view
# against them (with --normal: in the normal view, for the full cycle and FULL CHIP ERASE).
# The demo keeps its own settings (build/demo-config), so neither the user's port mapping nor
# the user's settings are touched. Without a display it runs on a virtual one (xvfb-run) and says so.
# Other arguments go to the window (for example /6 or /SAME).
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

view=(/Kavel)
if [ "${1:-}" = "--normal" ]; then
  view=()
  shift
fi

# The controller polls every 1.5 s until the full cycle or FULL CHIP ERASE suspends it.
./build/debug/sim/kavel-isp-sim --port COM1 --port-dir "$ports" --log "$PWD/build/demo-wire.log" \
  --ktn --ktn-poll-ms 1500 \
  --flash-out "$PWD/build/demo-flash.bin" --report "$PWD/build/demo-report.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
# Ready once COM1 is claimed by this simulator (an earlier demo's entry may still be there).
for _ in $(seq 50); do
  grep -qs "^pid=$sim\$" "$ports/COM1.kavel-claim" && [ -e "$ports/COM1" ] && break
  sleep 0.1
done

echo "Simulated chip and controller on COM1 (wire log: build/demo-wire.log; the chip's flash goes to"
echo "build/demo-flash.bin, its bits, status byte and the controller's state to build/demo-report.txt"
echo "when the demo ends)."
if [ ${#view[@]} -eq 0 ]; then
  echo "Press Full programming cycle, open examples/blink/blink.hex and answer the prompts."
else
  echo "Press Synchronize, then Send hex and open examples/blink/blink.hex."
fi
echo "Close the window to end the demo."
export KAVEL_ISP_PORT_DIR="$ports" XDG_CONFIG_HOME="$PWD/build/demo-config"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: the window runs on a virtual one (xvfb-run), where nobody sees it."
  echo "Run this on a desktop to see it; scripts/screenshots.sh takes pictures of it."
  xvfb-run -a -s "-screen 0 1024x768x24" ./build/debug/app/kavel-isp "${view[@]}" "$@"
else
  ./build/debug/app/kavel-isp "${view[@]}" "$@"
fi
