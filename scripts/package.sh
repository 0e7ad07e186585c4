#!/usr/bin/env bash
# Builds the Debian package (build/package/kavel-isp_*.deb) from everything the package
# installs (the build folder holds nothing else: no tests, no benchmarks) and, with --check,
# first empties that folder, so that nothing built by another command can stand in for a
# file the package needs; then runs lintian
# on it (an error or a warning fails the check), installs it
# with apt-get, programs the example image into the installed simulator with the installed
# kavel-isp-cli, starts the installed window on a virtual display, removes the package again
# and checks that nothing of it is left. A kavel-isp installed before is left alone, and the
# check then fails: a check that was not run has not passed.
#   --tree DIR (after --check): package the optimized build in DIR instead, which the caller has
#   just built from this checkout (scripts/test.sh: its release build, built once for both).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
tree=build/package
if [ "${2:-}" = "--tree" ]; then
  tree="${3:?--tree needs a folder}"
  grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$tree/CMakeCache.txt" ||
    { echo "package: $tree is no optimized build" >&2; exit 1; }
else
  if [ "${1:-}" = "--check" ]; then rm -rf build/package; fi
  cmake --preset package >/dev/null
  cmake --build --preset package -j "$(nproc 2>/dev/null || echo 2)"
fi
(cd "$tree" && rm -f kavel-isp_*.deb && cpack >/dev/null)
deb="$(ls "$PWD/$tree"/kavel-isp_*.deb)"
echo "package: $deb"
[ "${1:-}" = "--check" ] || exit 0

# Debian's own checks first: any error or warning fails (information is only listed).
lintian --fail-on error,warning --info "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "package check: lintian found errors or warnings" >&2; exit 1; }
echo "package check: lintian reports no error and no warning"

if dpkg-query -W -f='${Status}' kavel-isp 2>/dev/null | grep -q "install ok installed"; then
  echo "package check: kavel-isp is installed on this machine already; it is yours, so it is not" >&2
  echo "touched, and the package cannot be checked here (remove it first to check)" >&2
  exit 1
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
work="$(mktemp -d)"
cleanup() {
  kill "${sim:-}" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' kavel-isp 2>/dev/null | grep -q "install ok installed"; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y kavel-isp >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >/dev/null
dpkg -L kavel-isp | sort > "$work/files"
# The installed programs by their full paths: nothing else of the same name on the PATH.
/usr/bin/kavel-isp-cli --version
/usr/bin/kavel-isp-station --version
/usr/bin/kavel-isp-dashboard --version
/usr/bin/kavel-isp-sim --port COM1 --port-dir "$work/ports" --report "$work/report" --flash-out "$work/flash" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
KAVEL_ISP_PORT_DIR="$work/ports" XDG_DATA_HOME="$work/data" /usr/bin/kavel-isp-cli --quiet program examples/blink/blink.hex
# The board's row in the station's log (SQLite and OpenSSL as the package depends on them).
XDG_DATA_HOME="$work/data" /usr/bin/kavel-isp-cli log --csv | grep -q ",COM1,program,examples/blink/blink.hex,[0-9a-f]\{64\},C2,.*,ok,0," ||
  { echo "package check: the board is not in the station's log" >&2; exit 1; }
# The window starts (and keeps running until it is stopped).
status=0
XDG_CONFIG_HOME="$work/config" KAVEL_ISP_PORT_DIR="$work/ports" QT_QPA_PLATFORM=offscreen \
  timeout 3 /usr/bin/kavel-isp /Kavel >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "package check: the installed window ended with $status" >&2; exit 1; }
kill "$sim"
wait "$sim" 2>/dev/null || true
cmp -s -n 152 "$work/flash" examples/blink/blink.bin || { echo "package check: the chip was not programmed" >&2; cat "$work/report" >&2; exit 1; }
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y kavel-isp >/dev/null
left=0
while read -r f; do
  if [ -f "$f" ] || [ -L "$f" ]; then echo "package check: $f is left behind" >&2; left=1; fi
done < "$work/files"
[ "$left" -eq 0 ] || exit 1
echo "package check: installed, programmed the simulator, started the window, removed without a trace"
