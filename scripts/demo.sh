#!/usr/bin/env bash
# Builds the project and starts the simulated chip on COM1 of a port directory of the demo's
# own (build/demo-ports), never the user's. Extra arguments go to kavel-isp-sim (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp-sim

ports="$PWD/build/demo-ports"
mkdir -p "$ports"
rm -f "$ports/COM1"   # a stale entry of an earlier demo

echo
echo "Simulated chip starting. Programs opening COM1 find it when started with"
echo "  KAVEL_ISP_PORT_DIR=$ports"
echo "The wire log follows below (> to the chip, < from the chip)."
echo
exec ./build/debug/sim/kavel-isp-sim --port COM1 --port-dir "$ports" --log - "$@"
