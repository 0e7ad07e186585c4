#!/usr/bin/env bash
# The command line in one go: builds kavel-isp-cli and the simulated chip and controller,
# starts them on COM1 of a port directory of its own, runs the full programming cycle of the
# example image with kavel-isp-cli, and shows what the simulated chip was left with.
# Other arguments go to kavel-isp-cli before the command (for example --no-confirm).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$(nproc 2>/dev/null || echo 2)" --target kavel-isp-cli kavel-isp-sim >/dev/null
work="$(mktemp -d)"
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
./build/debug/sim/kavel-isp-sim --port COM1 --port-dir "$work/ports" --ktn --report "$work/report" \
  >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do grep -qs "^pid=$sim\$" "$work/ports/COM1.kavel-claim" && break; sleep 0.1; done
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_DATA_HOME="$work/data"
echo "\$ kavel-isp-cli $* --yes cycle examples/blink/blink.hex"
status=0
./build/debug/cli/kavel-isp-cli "$@" --yes cycle examples/blink/blink.hex || status=$?
kill "$sim"
wait "$sim" 2>/dev/null || true
echo "exit status: $status; the simulated chip and controller now report:"
sed 's/^/  /' "$work/report"
echo "\$ kavel-isp-cli log"
./build/debug/cli/kavel-isp-cli log
exit "$status"
