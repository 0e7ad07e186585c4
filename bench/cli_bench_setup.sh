# Sourced by the kavel-isp-cli benchmarks: builds the two programs in the build directory
# given (default build/release), makes a work directory that goes at exit with a random 64 KB
# image.bin in it, and gives StartSim PORT [options] (a simulated chip on PORT of the work
# directory's port directory, which KAVEL_ISP_PORT_DIR then names), StopSims, and
# Timed COMMAND...: runs it and sets real, user and sys (seconds, children included).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
cli="$build/cli/kavel-isp-cli"
cmake --build "$build" --target kavel-isp-cli kavel-isp-sim >/dev/null
work="$(mktemp -d)"
sims=()
trap 'kill "${sims[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 65536 /dev/urandom > "$work/image.bin"
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_DATA_HOME="$work/data"
StartSim() {
  local port="$1"
  shift
  "$build/sim/kavel-isp-sim" --port "$port" --port-dir "$work/ports" "$@" >/dev/null 2>&1 &
  local sim=$!
  sims+=("$sim")
  for _ in $(seq 50); do grep -qs "^pid=$sim\$" "$work/ports/$port.kavel-claim" && break; sleep 0.1; done
}
StopSims() {
  kill "${sims[@]}" 2>/dev/null || true
  wait "${sims[@]}" 2>/dev/null || true
  sims=()
}
Timed() {
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
  read -r real user sys <<< "$t"
}
