# Sourced by the checks that read a window over AT-SPI. Run first as
#   atspi_session NAME "$0" "$@"
# which, outside, skips the check (77) when a display or a bus cannot be had, and runs the
# script again on a virtual display with an accessibility bus of its own (a display that goes
# away under a starting client is status 75 and tried again); inside, it returns and leaves a
# work directory ($work), the bus started, and the processes in $pids ended at exit.
atspi_session() {
  local name="$1" script="$2"
  shift 2
  if [ -n "${KAVEL_ATSPI_INNER:-}" ]; then
    work="$(mktemp -d)"
    pids=()
    trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
    /usr/libexec/at-spi-bus-launcher --launch-immediately & pids+=($!)
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1
    return 0
  fi
  local need attempt status
  for need in dbus-run-session xvfb-run /usr/libexec/at-spi-bus-launcher /usr/bin/python3; do
    command -v "$need" >/dev/null || { echo "$name: skipped, $need is missing"; exit 77; }
  done
  /usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "$name: skipped, pyatspi is missing"; exit 77; }
  export KAVEL_ATSPI_INNER=1
  for attempt in 1 2 3; do
    status=0
    dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" bash "$script" "$@" || status=$?
    [ "$status" -ne 75 ] && exit "$status"
    echo "$name: the virtual display failed (attempt $attempt); trying again" >&2
  done
  exit 1
}
