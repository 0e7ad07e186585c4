#!/usr/bin/env bash
# Every option a program's --help names is in its manual page, and --version answers.
# Usage: man_pages_check.sh CLI SIM PACKAGING_DIR STATION DASHBOARD
set -euo pipefail
cli="$1" sim="$2" pages="$3" station="$4" dashboard="$5"
status=0
for pair in "kavel-isp-cli:$cli" "kavel-isp-sim:$sim" "kavel-isp-station:$station" "kavel-isp-dashboard:$dashboard"; do
  name="${pair%%:*}" exe="${pair#*:}"
  "$exe" --version | grep -qx "$name [0-9.]*" || { echo "$name --version: $("$exe" --version)"; status=1; }
  for option in $("$exe" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
    # man pages write each "-" as "\-"
    grep -qF -- "${option//-/\\-}" "$pages/$name.1" || { echo "$name: $option is not in $name.1"; status=1; }
  done
done
for page in kavel-isp kavel-isp-cli kavel-isp-sim kavel-isp-station kavel-isp-dashboard; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$pages/$page.1" 2>&1 >/dev/null) || true
  [ -z "$out" ] || { echo "$page.1: $out"; status=1; }
done
exit $status
