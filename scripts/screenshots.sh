#!/usr/bin/env bash
# Takes pictures of both views of the window, running against the simulated chip on a
# virtual display, into docs/: normal-view.png and service-view.png.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KAVEL_SHOTS_INNER:-}" ]; then
  bash scripts/setup.sh
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp kavel-isp-sim
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
