#!/usr/bin/env bash
# kavel-isp-cli programming a 64 KB BIN image (4096 data records + the end record) into the
# simulated chip over a pty, replies awaited, at 9600 and 38400 bit/s: the time taken against
# the line-limited minimum (every record and its echo on the line, 10 bits a character, plus
# its "."). The reply wait's 50 ms settle pause after the first byte of each answer is the
# rest. Usage: bench/cli_program_bench.sh [build dir, default build/release]
source "$(dirname "$0")/cli_bench_setup.sh"
echo "kavel-isp-cli program, 64 KB image (4097 records), replies awaited"
for baud in 38400 9600; do
  StartSim
  start=$(date +%s.%N)
  "$build/cli/kavel-isp-cli" --quiet --no-verify --baud "$baud" program "$work/image.bin"
  end=$(date +%s.%N)
  kill "$sim"; wait "$sim" 2>/dev/null || true
  # 4096 records of 43 characters and one of 11, each with its echo and a "."
  awk -v s="$start" -v e="$end" -v b="$baud" 'BEGIN {
    chars = 4096 * 44 + 12; min = chars * 10 / b;
    printf "  %5d bit/s: %.1f s against a line-limited minimum of %.1f s: ratio %.2f (%.1f ms a record)\n",
           b, e - s, min, (e - s) / min, (e - s) * 1000 / 4097 }'
done
