#!/usr/bin/env bash
# kavel-isp-cli reading the whole 64 KB flash of the simulated chip over a pty, the chip's
# bytes paced as a real line carries them (--pace), at 38400 and 9600 bit/s (64 display
# records of 1 KB): the time taken against the line's own limit, the echo of each
# 21-character record and then 5 + 32 + 2 characters a line of 16 bytes, 10 bits a
# character. Target: within 1.2 times the limit at 38400 bit/s.
# Usage: bench/cli_read_bench.sh [build dir, default build/release]
source "$(dirname "$0")/cli_bench_setup.sh"
echo "kavel-isp-cli read, 64 KB (64 display records of 1 KB)"
for baud in 38400 9600; do
  StartSim COM1 --pace --flash-in "$work/image.bin"
  # The synchronization first, timed apart, so that only the reading is set against the line.
  "$cli" --quiet --baud "$baud" sync >/dev/null
  start=$(date +%s.%N)
  "$cli" --quiet --baud "$baud" read "$work/out.bin" 2>/dev/null
  end=$(date +%s.%N)
  StopSims
  cmp -s "$work/out.bin" "$work/image.bin" || { echo "  $baud bit/s: the flash read back differs" >&2; exit 1; }
  # The read includes its own synchronization (a "U" and the set-clock record with echo, and
  # the 100 ms pause after it), counted as line time too.
  awk -v s="$start" -v e="$end" -v b="$baud" 'BEGIN {
    chars = 64 * (21 + 64 * 39) + 2 + 2 * 14 + 1; min = chars * 10 / b + 0.1;
    printf "  %5d bit/s: %.2f s against a line limit of %.2f s: ratio %.2f\n", b, e - s, min, (e - s) / min }'
done
