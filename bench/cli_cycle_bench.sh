#!/usr/bin/env bash
# kavel-isp-cli cycle of a 16 KB image (1024 data records + the end record) at 115200 bit/s
# against the simulated chip behind its RFC 2217 server (the boot loader entered over DTR and
# RTS), its bytes held to the line rate (kavel-isp-sim --pace). Against the floor: the line
# time of every record (its echo alongside, one character of lag and the "." : 45 characters
# a data record, 13 for the end record) and of the read-back (16 display records of 1 KB:
# each record's echo and 64 lines of 39 characters), 10 bits a character, plus the
# simulator's whole-chip erase. With --controller none and with the default search.
# Usage: bench/cli_cycle_bench.sh [build dir, default build/release] [runs, default 3]
source "$(dirname "$0")/cli_bench_setup.sh"
runs="${2:-3}"
baud=115200
erase_ms=3000
head -c 16384 /dev/urandom > "$work/image16.bin"
floor=$(awk -v b=$baud -v e=$erase_ms 'BEGIN { print (1024 * 45 + 13) * 10 / b + 16 * (21 + 64 * 39) * 10 / b + e / 1000 }')
tcp=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "kavel-isp-cli cycle, 16 KB image (1025 records), $baud bit/s, paced chip behind RFC 2217, boot entry dtr-rts (best of $runs)"
for controller in none auto; do
  best=""
  for _ in $(seq "$runs"); do
    "$build/sim/kavel-isp-sim" --rfc2217 "$tcp" --need-entry --pace --speeds $baud --full-erase-ms $erase_ms \
      >"$work/sim.out" 2>&1 &
    sims+=($!)
    for _ in $(seq 50); do grep -qs "rfc2217://" "$work/sim.out" && break; sleep 0.1; done
    Timed "$cli" --quiet --no-db --controller "$controller" --boot-entry dtr-rts -p "rfc2217://127.0.0.1:$tcp" \
      cycle "$work/image16.bin"
    StopSims
    best=$(awk -v a="${best:-$real}" -v b="$real" 'BEGIN { print (b < a ? b : a) }')
  done
  awk -v r="$best" -v f="$floor" -v c="$controller" 'BEGIN {
    printf "  --controller %-5s %6.2f s against a floor of %5.2f s: ratio %.3f\n", c, r, f, r / f }'
done
