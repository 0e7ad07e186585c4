#!/usr/bin/env bash
# The line's page in headless Chromium over a real SQLite log and a private PostgreSQL
# cluster, both filled by kavel-isp-cli runs against two simulators (a chip and a locked one).
# Usage: run_dashboard_browser.sh <kavel-isp-dashboard> <kavel-isp-sim> <kavel-isp-cli> <pg_cluster.sh> <image>
set -euo pipefail
dashboard="$1" sim="$2" cli="$3" cluster="$4" image="$5"
here="$(cd "$(dirname "$0")" && pwd)"
for need in /usr/bin/chromium /usr/bin/chromedriver; do
  [ -x "$need" ] || { echo "dashboard browser check: $need is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
/usr/bin/python3 -c "import selenium" || { echo "dashboard browser check: python3-selenium is missing" >&2; exit 1; }
work="$(mktemp -d)"
chmod 755 "$work"  # the PostgreSQL cluster inside is run by the postgres user
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; bash "$cluster" remove "$work/pg" 2>/dev/null; rm -rf "$work"' EXIT
"$sim" --port COM1 --port-dir "$work/ports" >/dev/null 2>&1 & pids+=($!)
"$sim" --port COM2 --port-dir "$work/ports" --security 1 >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do
  [ -e "$work/ports/COM1" ] && [ -e "$work/ports/COM2" ] && break
  sleep 0.1
done
KAVEL_DASHBOARD="$dashboard" KAVEL_SIM="$sim" KAVEL_CLI="$cli" KAVEL_PG_CLUSTER="$cluster" KAVEL_IMAGE="$image" \
  KAVEL_WORK="$work" HOME="$work" /usr/bin/python3 "$here/dashboard_browser_check.py"
