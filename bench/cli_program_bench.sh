#!/usr/bin/env bash
# kavel-isp-cli programming a 64 KB BIN image (4096 data records + the end record) into the
# simulated chip over a pty, replies awaited, at 38400 bit/s, the chip's bytes held to the
# line rate (kavel-isp-sim --pace). Against the line's own limit: each record with its echo
# alongside, one character of lag and the "." (45 characters a data record, 13 for the end
# record), 10 bits a character; with verification, plus the read-back's limit (each 1 KB
# display record's echo and 39 characters a line). Then 8 boards at once against one, and
# the CPU of a run as a share of one core.
# Usage: bench/cli_program_bench.sh [build dir, default build/release]
source "$(dirname "$0")/cli_bench_setup.sh"
baud=38400
program=$(awk -v b=$baud 'BEGIN { print (4096 * 45 + 13) * 10 / b }')
readback=$(awk -v b=$baud 'BEGIN { print 64 * (21 + 64 * 39) * 10 / b }')
echo "kavel-isp-cli program, 64 KB image (4097 records), replies awaited, $baud bit/s, paced chip"

StartSim COM1 --pace
"$cli" --quiet --baud $baud sync >/dev/null  # the chip takes up the speed first
Timed "$cli" --quiet --no-verify --baud $baud program "$work/image.bin"
one=$real
awk -v r="$real" -v u="$user" -v s="$sys" -v m="$program" 'BEGIN {
  printf "  program:           %6.1f s against a line limit of %5.1f s: ratio %.2f; CPU %.2f s = %.1f%% of one core\n",
         r, m, r / m, u + s, 100 * (u + s) / r }'
one_cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
Timed "$cli" --quiet --baud $baud program "$work/image.bin"
awk -v r="$real" -v m="$program" -v v="$readback" 'BEGIN {
  printf "  program + verify:  %6.1f s against a line limit of %5.1f s: ratio %.2f\n", r, m + v, r / (m + v) }'
StopSims

ports=()
for n in 1 2 3 4 5 6 7 8; do
  StartSim "COM$n" --pace
  ports+=(--port "COM$n")
done
"$cli" --quiet --baud $baud "${ports[@]}" sync >/dev/null
Timed "$cli" --quiet --no-verify --baud $baud "${ports[@]}" program "$work/image.bin"
awk -v r="$real" -v u="$user" -v s="$sys" -v o="$one" -v oc="$one_cpu" 'BEGIN {
  printf "  8 boards at once:  %6.1f s against %.1f s for one: ratio %.2f; CPU a board %.2f s against %.2f s: ratio %.2f\n",
         r, o, r / o, (u + s) / 8, oc, (u + s) / 8 / oc }'
StopSims
