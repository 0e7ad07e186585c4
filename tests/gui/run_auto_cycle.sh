#!/usr/bin/env bash
# Automatic mode as a production script runs it: the real program with /AUTO on a virtual
# display against the simulated chip and controller over a pseudo-terminal. An "operator"
# presses Return at every dialog and box (the offered image file, the jumper prompts, the
# close warning); afterwards the simulator's report must show the example image, status byte
# 0, the three security bits and a suspended controller, and the program must have closed.
# Usage: run_auto_cycle.sh <kavel-isp> <kavel-isp-sim> <examples dir>
set -euo pipefail
app="$1" sim="$2" examples="$3"
here="$(cd "$(dirname "$0")" && pwd)"
# In the sanitizer build: what system libraries keep at exit is theirs.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
if [ -z "${KAVEL_AUTO_INNER:-}" ]; then
  # What a virtual display and its "operator" need; without them the check is skipped (77).
  for need in xvfb-run xdotool; do
    command -v "$need" >/dev/null || { echo "auto cycle: skipped, $need is missing"; exit 77; }
  done
  export KAVEL_AUTO_INNER=1
  # A virtual display now and then goes away under a starting client; that run says so with
  # status 75 and is tried again.
  for attempt in 1 2 3; do
    status=0
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@" || status=$?
    [ "$status" -ne 75 ] && exit "$status"
    echo "auto cycle: the virtual display failed (attempt $attempt); trying again" >&2
  done
  exit 1
fi
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$sim" --port COM1 --port-dir "$work/ports" --ktn --report "$work/report.txt" \
  --flash-out "$work/flash.bin" >"$work/sim.log" 2>&1 &
simpid=$!
pids+=($simpid)
for _ in $(seq 50); do grep -qs "^pid=$simpid\$" "$work/ports/COM1.kavel-claim" && break; sleep 0.1; done
mkdir -p "$work/config/KAVEL"
printf '[TMainISPForm]\nComComboBox1_Tag=1\nOpenDialog1_FileName=%s\n' "$examples/blink/blink.hex" \
  > "$work/config/KAVEL/ISP.conf"
export KAVEL_ISP_PORT_DIR="$work/ports" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb
"$app" /AUTO >"$work/app.log" 2>&1 &
apppid=$!
pids+=($apppid)
for _ in $(seq 240); do
  kill -0 "$apppid" 2>/dev/null || break
  sleep 0.5
  xdotool key Return 2>/dev/null || true
done
if kill -0 "$apppid" 2>/dev/null; then
  echo "auto cycle: the program did not close within 2 minutes" >&2
  cat "$work/app.log" >&2
  exit 1
fi
appstatus=0
wait "$apppid" || appstatus=$?
if [ "$appstatus" -ne 0 ]; then
  grep -q "could not connect to display" "$work/app.log" && exit 75
  echo "auto cycle: the program ended with status $appstatus" >&2
  cat "$work/app.log" >&2
  exit 1
fi
kill -TERM "$simpid"
wait "$simpid" || true
failed=0
for line in security1=1 security2=1 security3=1 status=00 controller_suspended=1; do
  grep -qx "$line" "$work/report.txt" || { echo "auto cycle: report lacks $line" >&2; failed=1; }
done
size=$(stat -c %s "$examples/blink/blink.bin")
cmp -n "$size" "$work/flash.bin" "$examples/blink/blink.bin" >&2 || failed=1
if [ "$failed" -ne 0 ]; then
  cat "$work/report.txt" "$work/sim.log" >&2
  exit 1
fi
echo "auto cycle: image, status byte, security bits and suspension as expected"
