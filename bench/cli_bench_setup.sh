# Sourced by the kavel-isp-cli benchmarks: builds the two programs in the build directory
# given (default build/release), makes a work directory that goes at exit with a random 64 KB
# image.bin in it, and gives StartSim [options]: a simulated chip on COM1 of the work
# directory's port directory, which KAVEL_ISP_PORT_DIR then names.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
cmake --build "$build" --target kavel-isp-cli kavel-isp-sim >/dev/null
work="$(mktemp -d)"
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 65536 /dev/urandom > "$work/image.bin"
export KAVEL_ISP_PORT_DIR="$work/ports"
StartSim() {
  "$build/sim/kavel-isp-sim" --port COM1 --port-dir "$work/ports" "$@" >/dev/null 2>&1 &
  sim=$!
  for _ in $(seq 50); do grep -qs "^pid=$sim\$" "$work/ports/COM1.kavel-claim" && break; sleep 0.1; done
}
