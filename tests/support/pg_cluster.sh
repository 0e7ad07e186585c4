#!/usr/bin/env bash
# A private PostgreSQL cluster for tests and benchmarks, in a folder of its own, on a free
# loopback port, run as the postgres user when started by root (initdb refuses root).
#   pg_cluster.sh start DIR   makes the cluster (if DIR holds none) and starts it; prints its URL
#   pg_cluster.sh stop DIR    stops it at once (as a server that goes away would)
#   pg_cluster.sh remove DIR  stops it and removes DIR
#   pg_cluster.sh freeze DIR  stops the server and its processes where they stand (SIGSTOP), as
#                             a host that stops answering would; thaw DIR lets them go on
# Commits are not flushed to disk (fsync off) unless KAVEL_PG_FSYNC=on: tests need no durability.
set -euo pipefail
action="$1" dir="$2"
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "pg_cluster: no PostgreSQL server installed (scripts/setup.sh installs it)" >&2; exit 1; }
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u postgres --); fi
case "$action" in
  start)
    mkdir -p "$dir"
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      [ "$(id -u)" -ne 0 ] || chown postgres: "$dir"
      "${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -U kavel -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
      port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
      echo "$port" > "$dir/port"
    fi
    port=$(cat "$dir/port")
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=${KAVEL_PG_FSYNC:-off}" start >/dev/null ||
      { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql://kavel@127.0.0.1:$port/postgres"
    ;;
  stop)
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
  freeze|thaw)
    signal=STOP; [ "$action" = freeze ] || signal=CONT
    pid=$(head -1 "$dir/data/postmaster.pid")
    kill -s "$signal" "$pid"   # the postmaster first: it starts no process after this
    for child in $(pgrep -P "$pid"); do kill -s "$signal" "$child" || true; done
    ;;
  remove)
    [ ! -f "$dir/data/postmaster.pid" ] || bash "$0" thaw "$dir" 2>/dev/null || true
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  *) echo "usage: pg_cluster.sh start|stop|remove|freeze|thaw DIR" >&2; exit 2 ;;
esac
